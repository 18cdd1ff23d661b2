// Decoding the pixels of one TIFF page: strips and tiles, contiguous and planar samples, every
// supported compression, bit depth and photometric interpretation, into a TVlBitmap.
//
// Entry points
//   ReadTIFFStrips   decodes a stripped page (StripOffsets / StripByteCounts)
//   ReadTIFFTiles    decodes a tiled page (TileOffsets / TileByteCounts, or strip arrays used
//                    as tile arrays)
//   DecodeRows       decodes the rows of one strip or tile (one data block per plane) into the
//                    bitmap at a given row and column
//   DecodeRow        decompresses the next row of one plane of a strip or tile
//   ConvertRowToBGR  the shared colour converter (CMYK, YCbCr, CIE L*a*b*, 48-bit RGB to B,G,R)
//   CheckTIFFLayout  decides whether a page can be decoded (and into which pixel format)
//
// Method. Every strip or tile is read into memory (its byte count clamped to the bytes the
// stream holds), then decoded one row at a time: the compression delivers the row's packed
// samples (TIFF 6.0 sections 9, 10, 11, 13 and the Deflate and JPEG technical notes), fill
// order 2 is undone for the non-fax codecs, samples of 2 to 7 bits are unpacked to one byte
// each, 16-bit samples are put in host order, and the horizontal predictor is undone after
// LZW and Deflate. Planar pages decode their planes side by side and interleave them, so every
// layout reaches one converter, which writes the part of the row that lies inside the page
// into the bitmap (and the alpha mask). Tiles at the right and bottom edge are clipped to the
// page. YCbCr data with subsampling h x v is decoded v rows at a time (one row of blocks).
// JPEG strips and tiles (compression 7) are decoded whole by the JPEG strip reader
// (tiff/tiff_jpeg.h), which checks each frame against its strip or tile.
//
// Bad input. Strips or tiles whose offset lies at or past the end of the stream are skipped;
// indexes into the offset arrays are bounded; a strip whose data end early keeps the rows
// decoded so far (the rest of the page stays white, the fill the buffer starts with); codec
// faults (an impossible LZW code, a zlib error) set the abort flag and keep the rows already
// decoded. Layouts this reader does not handle (floating-point samples, 10- to 64-bit
// integers, SGILog, unknown compressions ...) are refused by CheckTIFFLayout with a reason
// naming what is unsupported, before anything is allocated.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "imaging/bitmap.h"
#include "imaging/codec_hooks.h"
#include "imaging/progress.h"
#include "imaging/status.h"

class TVlStream;
class TIOParamsVals;

// The working record of one page, filled from its directory before any pixel is read.
// Values are those of the file, checked by the reader (sizes >= 1 and within the ceilings,
// tile sizes >= 1 when tiled, rows per strip >= 1).
struct TTIFFVars {
  std::int32_t imageWidth = 0;
  std::int32_t imageLength = 0;
  std::int32_t samplesPerPixel = 1;
  std::int32_t bitsPerSample = 1;
  std::int64_t rowsPerStrip = 0;  // 0: the image length
  std::int32_t tileWidth = -1;    // tiled only when both tile sizes are >= 1
  std::int32_t tileLength = -1;
  std::uint16_t photometric = 2;
  std::uint16_t planarConfig = 1;
  std::uint16_t orientation = 1;
  std::uint16_t compression = 1;
  std::vector<std::uint32_t> stripOffsets, stripByteCounts;
  std::vector<std::uint32_t> tileOffsets, tileByteCounts;
  std::int32_t resolutionUnit = 2;
  double xResolution = 0, yResolution = 0;
  std::int32_t predictor = 1;
  std::vector<std::uint8_t> jpegTables;
  std::uint32_t t4Options = 0;
  std::int32_t fillOrder = 1;
  double xPosition = 0, yPosition = 0;
  std::string documentName, imageDescription, pageName;
  std::int32_t pageNumber[2] = {0, 0};
  std::string software, artist;
  std::int32_t ycbcrSubsampling[2] = {2, 2};
  std::int32_t jpegProc = 0;
  std::uint32_t jpegInterchangeOffset = 0;
  std::uint32_t jpegInterchangeLength = 0;
  std::vector<TVlRGB> colorMap;  // 2^bits entries (blue, green, red) on palette pages
  LzwDecodeHook lzwDecoder = nullptr;
  bool littleEndian = true;
  bool ignoreAlpha = false;
  TIOParamsVals* params = nullptr;
  TVlMask* alpha = nullptr;        // 8-bit mask of the page size, or none
  std::int32_t extraSamples = 0;   // first value of ExtraSamples: 0 unspecified, 1 associated, 2 unassociated
  std::int32_t sampleFormat = 1;   // 1 unsigned, 2 signed (read as unsigned), 3 IEEE float ...

  TVlStream* stream = nullptr;     // the file; offsets are relative to `base`
  std::int64_t base = 0;
  bool nativePixelFormat = false;
};

// Whether the page's layout can be decoded, and the pixel format it decodes into: vl1g,
// vl8p, vl8g, vl16g, vlCMYK and vlRGB48 are kept only with vars.nativePixelFormat (vl1g
// always); every other page becomes vl24RGB. `unsupported` names the feature in its reason.
TVlStatus CheckTIFFLayout(const TTIFFVars& vars, TVlPixelFormat& target);

// True when the page carries an alpha sample the reader stores in the alpha mask.
bool TIFFPageHasAlpha(const TTIFFVars& vars);

// Decodes a stripped page into `bitmap`, which the caller has allocated at the page size in
// the format CheckTIFFLayout chose. Rows no strip delivered are painted white (palette index 0
// on vl8p pages). Failures set the abort flag through progress.Fail and are returned; the rows
// decoded before stay.
TVlStatus ReadTIFFStrips(TTIFFVars& vars, TVlBitmap& bitmap, ProgressRecord& progress);

// Decodes a tiled page into a bitmap the caller has allocated and filled with white;
// `offsets` and `byteCounts` are the tile arrays (a tiled page that has only strip arrays
// passes those). Failures as for ReadTIFFStrips.
TVlStatus ReadTIFFTiles(TTIFFVars& vars, TVlBitmap& bitmap, ProgressRecord& progress,
                        const std::vector<std::uint32_t>& offsets, const std::vector<std::uint32_t>& byteCounts);

// One plane's compressed data of a strip or tile.
struct TTIFFBlock {
  const std::uint8_t* data = nullptr;
  std::size_t length = 0;
};

// Decodes `rows` rows of `width` pixels (the strip or tile size) from the blocks (one per plane:
// samplesPerPixel blocks for planar pages, else one) into the bitmap at row `firstRow`, column
// `firstColumn`; only the part inside the page is written. A block with no data leaves its
// rows as they are. The data are not changed.
TVlStatus DecodeRows(TTIFFVars& vars, TVlBitmap& bitmap, std::int32_t firstRow, ProgressRecord& progress,
                     std::int32_t rows, std::int32_t width, const TTIFFBlock* blocks, std::int32_t firstColumn);

// Per-plane decompression state of one strip or tile: the compressed data, the strip cursor
// (bytes used), the CCITT bit position and reference row, the LZW decoder state and the
// inflated Deflate data. Made by DecodeRows; exposed for tests.
struct TTIFFRowState {
  TTIFFRowState() = default;
  ~TTIFFRowState();
  TTIFFRowState(const TTIFFRowState&) = delete;
  TTIFFRowState& operator=(const TTIFFRowState&) = delete;

  const std::uint8_t* data = nullptr;
  std::size_t length = 0;
  std::size_t cursor = 0;
  std::int64_t bitPosition = 0;
  std::vector<std::uint8_t> referenceRow;  // CCITT, 1 bits = white
  std::vector<std::uint8_t> inflated;      // Deflate: the whole strip
  std::vector<std::uint8_t> reversed;      // fill order 2: the bit-reversed data
  bool inflatedDone = false;
  bool failedDeflate = false;
  TVlStatus deflateStatus;
  LzwDecodeHook lzw = nullptr;
  TLzwDecoderState* lzwState = nullptr;
  std::int64_t unitsDone = 0;
};

// Decompresses the next row (`rowLength` bytes; for CCITT a bilevel row of `width` pixels,
// 1 bits = white) of one plane into `row`. Returns ok with `produced` true when a whole row was
// delivered, ok with `produced` false when the data ended first (truncated data are no
// failure), or the codec's failure.
TVlStatus DecodeRow(TTIFFRowState& state, std::uint8_t* row, std::int64_t rowLength, std::int32_t width,
                    std::int64_t rowsInBlock, const TTIFFVars& vars, bool& produced);

// Source layouts of ConvertRowToBGR.
enum class TVlRowLayout : std::uint8_t {
  cmykInverted = 0,  // 4 bytes per pixel: 255 - C, 255 - M, 255 - Y, 255 - K
  ycbcr = 1,         // 3 bytes per pixel: Y, Cb, Cr (ITU-R BT.601 full range)
  cieLab = 2,        // 3 bytes per pixel: L* scaled to 0..255, a*, b* as signed bytes
  rgb48 = 3,         // 3 host-order 16-bit samples per pixel: R, G, B
};

// Converts `pixels` pixels of `source` in `layout` into B, G, R bytes at `destination`.
// `params` may be null (no colour management is applied in this build).
void ConvertRowToBGR(const std::uint8_t* source, TVlRowLayout layout, std::uint8_t* destination,
                     const TIOParamsVals* params, std::int32_t pixels);
