// Writing one page as a TIFF file, or into an existing TIFF file as a further directory.
//
// Entry points
//   WriteTIFF          one page, new-file mode or insert mode
//   WriteTIFFStrips    the rows of the page as strips, and their RowsPerStrip, StripOffsets and
//                      StripByteCounts entries
//   WriteExifTags      the EXIF-flavoured descriptive entries, the EXIF and the GPS directories
//   PlanTIFFPage       the stored layout a page gets (the normalisation of buffer and record)
//   RationalFromDouble a fraction for a RATIONAL or SRATIONAL entry
//
// Method. The stored layout is decided first, from the record and the buffer (PlanTIFFPage):
// bilevel buffers stay 1-bit (CCITT codes only for them), pages of 2 to 8 bits and one sample
// go through the colour quantizer (gray or palette), 16-bit gray and 48-bit RGB buffers keep
// 16 bits, everything else becomes 8-bit RGB, CMYK or CIE L*a*b*; the corrections are applied
// to the record itself. The strip data follow the 8-byte header (new file) or the end of the
// file (insert mode), then the out-of-line entry data, then the directory at an even offset;
// the header or the insertion link is patched last, so a page that fails leaves the chain of an
// existing file untouched. The output is little-endian ("II"), offsets relative to the header.
//
// Rows are prepared one at a time into a row buffer and handed to the codec of the strip:
// none, Modified Huffman, T.4 one- or two-dimensional, T.6, LZW (with the horizontal predictor
// for 8-bit RGB), PackBits, Deflate (32946) or JPEG (one strip). Strips hold about 512 KiB of
// raw rows.
//
// Failures (short writes, a file that would pass the 4 GiB reach of 32-bit offsets, insert mode
// on a file that is not little-endian TIFF) set the abort flag through ProgressRecord::Fail with
// a reason.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "imaging/bitmap.h"
#include "imaging/codec_hooks.h"
#include "imaging/progress.h"
#include "imaging/status.h"
#include "tiff/tiff_container.h"

class TIOParamsVals;
class TVlQuantizer;
class TVlStream;

// How the samples of the page are stored.
enum class TTIFFStoredKind : std::uint8_t {
  bilevel = 0,  // vl1g rows, 1 bit
  indexed = 1,  // quantizer indices of 2 to 8 bits (gray or palette photometric)
  gray16 = 2,   // vl16g samples
  rgb = 3,      // 8-bit R, G, B (and alpha)
  rgb48 = 4,    // vlRGB48 samples
  cmyk = 5,     // 8-bit inks
  cieLab = 6,   // 8-bit L*, a*, b*
};

enum class TTIFFPhotometricChoice : std::uint8_t {
  bilevelWhiteIsZero = 0,
  gray = 1,
  rgb = 2,
  palette = 3,
  cmyk = 4,
  ycbcr = 5,
  cieLab = 6,
};

// The per-page decisions of the writer.
struct TTIFFWriteOptions {
  std::uint16_t compression = 1;  // the TIFF value written in tag 259
  TTIFFPhotometricChoice photometric = TTIFFPhotometricChoice::rgb;
  TTIFFStoredKind kind = TTIFFStoredKind::rgb;
  bool twoDimensional = false;  // T.4 two-dimensional coding
  bool ccitt = false;
  std::int32_t fillOrder = 1;
  bool predictor = false;
  bool alpha = false;  // a fourth sample from the alpha plane
  std::int32_t bits = 8;      // per sample
  std::int32_t samples = 3;   // per pixel, as written
  TVlQuantizer* quantizer = nullptr;
  std::vector<TVlRGB> palette;  // the quantizer's palette (2^bits entries) for indexed pages
  std::int32_t jpegQuality = 80;
  std::int32_t jpegColorSpace = 2;
  std::int32_t zipLevel = 1;
  LzwEncodeHook lzwEncoder = nullptr;
  ProgressRecord* progress = nullptr;
  std::uint8_t grayIndex[256] = {};  // vl8g working buffers: gray level to index
};

// The page as it will be stored: the working buffer (the page itself or a converted copy in
// `copy`), the options, and the quantizer behind indexed pages. The record's bitsPerSample,
// samplesPerPixel, tiffPhotometric and tiffCompression are corrected as the writer decides.
struct TTIFFPagePlan {
  TVlBitmap* work = nullptr;
  std::unique_ptr<TVlBitmap> copy;
  std::unique_ptr<TVlQuantizer> quantizer;
  TTIFFWriteOptions options;
  std::uint16_t photometricValue = 2;  // tag 262
  std::vector<std::uint16_t> bitsPerSample;
  TTIFFPagePlan();
  ~TTIFFPagePlan();
};
TVlStatus PlanTIFFPage(TVlBitmap& bitmap, TIOParamsVals& params, TTIFFPagePlan& plan);

// Writes the page.
//   insertMode false: a new single-page file at the stream position; returns 1.
//   insertMode true:  the stream holds a little-endian TIFF positioned at its header; the page is
//                     inserted before page params.tiffImageIndex (appended when the index is at or
//                     beyond the page count); returns the page count after insertion, 0 when the
//                     stream is not a little-endian TIFF.
//   bitmap null:      a directory of the descriptive entries only.
// Failures set the abort flag through progress (check progress.Aborted()).
std::int32_t WriteTIFF(TVlStream& stream, bool insertMode, TVlBitmap* bitmap, ProgressRecord& progress,
                       TIOParamsVals& params);

// Writes the rows of plan.work as strips at the stream position and adds RowsPerStrip,
// StripOffsets and StripByteCounts to `entries`.
TVlStatus WriteTIFFStrips(TVlStream& stream, TVlBitmap& bitmap, TTIFFEntryList& entries, ProgressRecord& progress,
                          TTIFFWriteOptions& options);

// The descriptive entries of a page with EXIF data, and the EXIF and GPS directories (written
// at the stream position, with their pointer entries added to `entries`).
void WriteExifTags(TTIFFEntryList& entries, TVlStream& stream, const TIOParamsVals& params, std::atomic<bool>& abort);

// x as numerator / denominator: the denominator starts at 1000000 and is divided by 10 while
// |x| x denominator exceeds 2147483640; the numerator is x x denominator rounded. NaN gives
// 0 / 1; values beyond the int32 range are clamped.
struct TTIFFRational {
  std::int32_t numerator = 0;
  std::uint32_t denominator = 1;
};
TTIFFRational RationalFromDouble(double x);

// Strips for a page of `height` rows of `rowLength` buffer bytes: about 512 KiB of rows each.
std::int64_t TIFFRowsPerStrip(std::int64_t height, std::int64_t rowLength);
