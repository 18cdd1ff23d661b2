// JPEG inside TIFF: the strips and tiles of compression 7 (TIFF Technical Note 2) and the
// older compression 6 pages that point at JPEG interchange data (TIFF 6.0 section 22).
//
// Entry points
//   JPEGFrameSize        the frame size from the SOF marker, read without decoding
//   DecodeTIFFJPEGStrip  one compression-7 strip or tile into a vl24RGB bitmap
//   ReadOldStyleJPEG     a whole compression-6 page into the page bitmap
//   WriteTIFFJPEGPage    a page as one JPEG strip (compression 7) or as interchange data (6)
//
// Both decoders check the frame size against what the strip, tile or page can hold before
// any pixel buffer is made, so a tiny file cannot ask for a huge frame. The pixels themselves
// come from the JPEG codec of the image library (libjpeg underneath).
#pragma once

#include <cstddef>
#include <cstdint>

#include "imaging/bitmap.h"
#include "imaging/progress.h"
#include "imaging/status.h"
#include "tiff/tiff_container.h"

class TIOParamsVals;
struct TTIFFVars;

// Walks the markers of the JPEG data (tables-only data included) to the first start-of-frame
// marker and reports its width, height and component count. badData when there is none.
TVlStatus JPEGFrameSize(const std::uint8_t* data, std::size_t length, std::int32_t& width, std::int32_t& height,
                        std::int32_t& components);

// Decodes one JPEG strip or tile. `tables` (may be empty) are the page's JPEGTables, an
// abbreviated JPEG holding quantisation and Huffman tables. Photometric 2 data are RGB (no
// colour transform), 6 YCbCr, 5 CMYK (Adobe inverted when marked so), 0 and 1 gray. The frame
// must be `width` pixels wide and between minHeight and maxHeight rows high. `out` becomes
// vl24RGB.
TVlStatus DecodeTIFFJPEGStrip(const std::uint8_t* data, std::size_t length, const std::uint8_t* tables,
                              std::size_t tablesLength, std::int32_t photometric, std::int32_t width,
                              std::int32_t minHeight, std::int32_t maxHeight, TVlBitmap& out, TIOParamsVals* params);

// Reads a compression-6 page (or one with a JPEGInterchangeFormat offset) into `bitmap`
// (allocated here as vl24RGB at the page size). Failures go through progress.Fail.
TVlStatus ReadOldStyleJPEG(TTIFFVars& vars, TVlBitmap& bitmap, ProgressRecord& progress);

// Writes `bitmap` (vl24RGB or vlCMYK) as the single JPEG strip of a compression-7 page, or as
// the JPEG interchange data of a compression-6 page, at the stream position, and adds the strip
// (and, for 6, the JPEG interchange) entries. `colourSpace` is tiffJpegColorSpace.
TVlStatus WriteTIFFJPEGPage(TVlStream& stream, TVlBitmap& bitmap, TTIFFEntryList& entries, ProgressRecord& progress,
                            std::uint16_t compression, std::int32_t quality, std::int32_t colourSpace,
                            TIOParamsVals& params);
