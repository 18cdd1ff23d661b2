// JPEG files and JPEG data inside other containers, through libjpeg (IJG API, libjpeg-turbo).
//
// Entry points
//   ReadJPEG           decodes one JPEG stream into a TVlBitmap and its parameter record (or
//                      the record only), optionally after a tables-only stream (TIFF JPEGTables)
//   WriteJPEG          the file writer: brings the IPTC, EXIF and XMP markers up to date,
//                      then writes the image with the record's JPEG settings and markers
//   WriteJPEGImage     the writer for embedded JPEG (TIFF strips, PDF): settings given, no
//                      markers of the record
//   UpdateJpegMarkers  the marker update WriteJPEG starts with
//   DefaultExifBlockReader / DefaultExifBlockWriter  the process-wide hooks through which the
//                      TIFF library reads and builds the TIFF structure of an EXIF block
//
// Errors. libjpeg reports fatal errors through an error manager that returns control to the
// calling routine (setjmp/longjmp; libjpeg never ends the process); they become a badData
// status carrying libjpeg's message text (its static format string). Warnings (corrupt
// entropy data, a premature end of data) do not stop decoding: libjpeg fills what is missing
// and the rows read are kept.
//
// Untrusted input. Header dimensions go through imaging/limits.h before anything is
// allocated; an image far larger than its data could describe (more than 2048 pixels per byte
// of stream beyond 64 Mpixel) is refused; libjpeg's own memory is capped by the byte ceiling;
// a progressive stream with more than 1000 scans is refused. Marker segments are at most
// 65533 bytes each and bounded by the stream.
//
// Metadata read into the record: JFIF density (dpiX, dpiY), every APPn and COM marker except
// the JFIF APP0 (jpegMarkers; libjpeg writes its own JFIF header), IPTC records from the
// Photoshop APP13 resource 0x0404 (iptcInfo), the XMP packet of APP1 (xmpPacket), the ICC
// profile of the APP2 chunks (inputProfile), and the EXIF APP1 block through the EXIF hook.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "imaging/bitmap.h"
#include "imaging/params.h"
#include "imaging/progress.h"
#include "imaging/status.h"

class TVlStream;

struct TJpegReadOptions {
  // A stream holding only tables (an abbreviated JPEG: SOI, DQT/DHT, EOI), read before the
  // image stream; the image stream may then omit them.
  TVlStream* tables = nullptr;
  // The three components are R, G, B (no YCbCr conversion), as in TIFF pages of photometric
  // RGB.
  bool rgbData = false;
  // The pixel format to decode into: vlNone chooses vl24RGB, or with the record's
  // nativePixelFormat vl8g for gray and vlCMYK for CMYK/YCCK files; vl24RGB, vl8g and
  // vlCMYK may be asked for (any file converts into them).
  TVlPixelFormat format = vlNone;
  // Decode only the first maxRows rows (0: all); the bitmap is that high.
  std::int32_t maxRows = 0;
  // When > 0 the frame must be this wide, and at least frameMinRows and at most
  // frameMaxRows high (badData "JPEG frame size differs from its strip" otherwise).
  std::int32_t frameWidth = 0;
  std::int32_t frameMinRows = 0;
  std::int32_t frameMaxRows = 0;
};

// Decodes the JPEG stream at the stream's position. `bitmap` null: parameters only (header
// and markers; no pixels). `params` null: full size, integer slow DCT, no metadata recorded.
// With a record it uses jpegScale (with width/height for the automatic scale), jpegDctMethod,
// nativePixelFormat and jpegAdjustOrientation, and sets bitsPerSample 8, samplesPerPixel (1,
// 3 or 4), width and height (of the decoded image), dpiX/dpiY (JFIF density; 300 without
// one), jpegColorSpace (of the file: 0 RGB, 1 gray, 2 YCbCr, 3 CMYK, 4 YCCK),
// jpegProgressive, jpegScaleUsed, jpegOriginalWidth/Height and the metadata listed above; it
// does not clear the record first (the caller runs ClearReadInfo). Progress per row
// (Trunc(row x percentPerRow), percentPerRow = 100 / rows); the abort flag is polled per row
// (aborted status). Afterwards the stream stands behind the last byte libjpeg consumed.
TVlStatus ReadJPEG(TVlStream& stream, TVlBitmap* bitmap, TIOParamsVals* params, ProgressRecord& progress,
                   const TJpegReadOptions& options = {});

struct TJpegWriteOptions {
  std::int32_t quality = 80;    // 1..100, baseline quantisation tables forced
  std::uint8_t colorSpace = 2;  // 0 RGB, 1 gray, 2 YCbCr, 3 CMYK, 4 YCCK; others RGB
  std::uint8_t dctMethod = 0;   // 0 integer slow, 1 integer fast, 2 floating point
  bool optimalHuffman = false;
  std::int32_t smoothing = 0;  // 0..100
  bool progressive = false;
  std::int32_t dpiX = 300, dpiY = 300;  // JFIF density in dots per inch (0 gives 300)
  // Written after the frame header in their order, APP14 excepted; none when null.
  const std::vector<TVlJpegMarker>* markers = nullptr;
};

// Compresses the bitmap as a complete JPEG stream at the stream's position. Every pixel format
// is accepted (converted row by row, or through a converted copy for vl32f and vlCIELab);
// colour spaces 3 and 4 take the rows as CMYK bytes of 255 minus the ink (vlCMYK rows as they
// are, others by the rule C' = R x 255 / max(R, G, B) ...). A bitmap of width or height 0
// writes nothing. Progress per row; the abort flag is polled per row (aborted status, the
// stream left unfinished); a refused write gives ioError "short write".
TVlStatus WriteJPEGImage(TVlStream& stream, TVlBitmap& bitmap, const TJpegWriteOptions& options,
                         ProgressRecord& progress);

// The file writer: UpdateJpegMarkers, then the record's markers sorted by marker code, and
// WriteJPEGImage with jpegQuality, jpegColorSpace, jpegDctMethod, jpegOptimalHuffman,
// jpegSmoothing, jpegProgressive, dpiX and dpiY.
TVlStatus WriteJPEG(TVlStream& stream, TVlBitmap& bitmap, TIOParamsVals& params, ProgressRecord& progress);

// Brings the record's marker list up to date before writing: when iptcInfo was changed by its
// user, or holds records while the list has no marker, the IPTC resource is rebuilt in the first
// Photoshop APP13 marker (its other resources are kept) or a new one is added, and an empty
// list removes the resource (and the marker when nothing else is left in it); with hasExif and
// an EXIF writer installed, the first EXIF APP1 marker is replaced by a newly built one; with a
// non-empty xmpPacket, the first XMP APP1 marker is replaced by one holding the packet.
void UpdateJpegMarkers(TIOParamsVals& params);

// Reads the TIFF structure of an EXIF block (the APP1 data after "Exif\0\0") into the EXIF
// and GPS fields of the record, setting hasExif; false when the block is unusable.
using ExifBlockReadHook = bool (*)(const std::uint8_t* data, std::size_t size, TIOParamsVals& params);
// Builds the TIFF structure of an EXIF block from the record's EXIF and GPS fields.
using ExifBlockWriteHook = bool (*)(const TIOParamsVals& params, std::vector<std::uint8_t>& block);

// Process-wide, installed by the TIFF library (InstallDefaultCodecs); null until then, when
// the EXIF block only travels as a raw marker in jpegMarkers.
ExifBlockReadHook& DefaultExifBlockReader();
ExifBlockWriteHook& DefaultExifBlockWriter();

// The scale denominator (1, 2, 4 or 8) ReadJPEG uses for an image of width x height with the
// record's jpegScale and its wanted width and height.
std::int32_t JpegScaleDenominator(std::uint8_t jpegScale, std::int32_t width, std::int32_t height,
                                  std::int32_t wantedWidth, std::int32_t wantedHeight);
