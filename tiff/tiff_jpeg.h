// JPEG inside TIFF: compression 7 (one JPEG stream per strip or tile, tables optionally shared
// through JPEGTables) and the older compression 6 (JPEGInterchangeFormat offsets), both ways.
//
// Entry points: ReadTIFFJpegStrip, ReadOldStyleJPEG, WriteTIFFJpegStrip,
// WriteTIFFOldStyleJpeg, TiffJpegWriteOptions.
//
// The decoding goes through ReadJPEG (imaging/formats/jpeg.h) into a scratch bitmap of the
// strip or tile, of which only the part inside the page is copied into the page buffer. A
// strip's JPEG frame must be as wide as the strip or tile and as high as its rows (a last
// strip may also hold only the rows left on the page); anything else is refused, since its
// rows would land in the wrong place.
//
// Old-style JPEG (TIFF 6.0 section 22, withdrawn) comes in many shapes. Handled here: an
// interchange block holding the whole JPEG or its header (its length is clamped to the bytes
// left in the stream), optionally followed per strip by the strip's scan data; strips after
// the first that hold only entropy-coded data get the header and the scan header of strip 0
// in front. Pages that carry only the JPEGQTables / JPEGDCTables / JPEGACTables tags and no
// interchange block are not decoded (libjpeg finds no JPEG stream and the read fails).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "imaging/bitmap.h"
#include "imaging/formats/jpeg.h"
#include "imaging/params.h"
#include "imaging/progress.h"
#include "imaging/status.h"

class TVlStream;

// One compression-7 strip or tile.
struct TTIFFJpegStrip {
  const std::uint8_t* data = nullptr;  // the strip's bytes as read
  std::size_t size = 0;
  const std::uint8_t* tables = nullptr;  // JPEGTables (347), or null
  std::size_t tablesSize = 0;
  std::int32_t x = 0, y = 0;         // where the strip or tile starts in the page, in pixels
  std::int32_t width = 0, rows = 0;  // strip width and rows per strip, or tile width and length
  bool rgbData = false;              // photometric 2: the components are R, G, B
};

// Decodes one strip or tile into the page (vl24RGB, vl8g or vlCMYK; others: unsupported) at
// (x, y), copying only what lies inside the page. The caller's progress record is passed to
// the JPEG reader: give it a handler for a page of a single strip or tile, none otherwise
// (and report one step per strip yourself). badData "JPEG frame size differs from its strip"
// for a frame of another size; other failures as ReadJPEG. The page keeps the rows decoded
// before a failure.
TVlStatus ReadTIFFJpegStrip(const TTIFFJpegStrip& strip, TVlBitmap& page, ProgressRecord& progress);

// The old-style JPEG fields of one page.
struct TTIFFOldJpeg {
  std::int64_t base = 0;  // stream position of the TIFF header; offsets are relative to it
  std::int32_t width = 0, height = 0;
  std::int32_t rowsPerStrip = 0;  // 0 or absent: the image height
  std::vector<std::uint32_t> stripOffsets, stripByteCounts;
  std::uint32_t interchangeFormat = 0, interchangeFormatLength = 0;  // tags 513, 514
};

// Decodes an old-style JPEG page into `page`, which it allocates as vl24RGB width x height
// (filled white first). With strip byte counts, strip by strip (each decoded for its rows
// only and placed at its first row; progress r x 100 / strips through the handler);
// otherwise the JPEG stream at the interchange offset (or at strip offset 0 when that is 0),
// as long as JPEGLength finds it, decoded whole. Stops at the first failing strip, keeping
// the rows before it.
TVlStatus ReadOldStyleJPEG(TVlStream& stream, const TTIFFOldJpeg& info, TVlBitmap& page, ProgressRecord& progress);

// The JPEG settings of TIFF strips from the record: quality tiffJpegQuality, colour space
// from tiffJpegColorSpace (0 RGB, 1 gray, 2 YCbCr, 3 CMYK; 4 writes RGB), jpegDctMethod and
// jpegOptimalHuffman, dpiX and dpiY; baseline, no markers of the record.
TJpegWriteOptions TiffJpegWriteOptions(const TIOParamsVals& params);

struct TTIFFJpegWritten {
  std::int64_t stripOffset = 0, stripByteCount = 0;
  // Compression 6 only: the interchange block (the whole JPEG stream).
  std::int64_t interchangeFormat = 0, interchangeFormatLength = 0;
};

// Compression 7: the whole page as one JPEG strip at the stream position (RowsPerStrip = the
// image length); `written` gets its offset and byte count.
TVlStatus WriteTIFFJpegStrip(TVlStream& stream, TVlBitmap& page, const TIOParamsVals& params, ProgressRecord& progress,
                             TTIFFJpegWritten& written);

// Compression 6: the page as one JPEG stream appended at the stream position P;
// interchangeFormat = P, interchangeFormatLength = its size, and the strip is the part from
// its first start-of-scan segment on (found by walking the marker segments). The TIFF writer
// adds JPEGProc 1 and YCbCrSubSampling 2, 2.
TVlStatus WriteTIFFOldStyleJpeg(TVlStream& stream, TVlBitmap& page, const TIOParamsVals& params,
                                ProgressRecord& progress, TTIFFJpegWritten& written);
