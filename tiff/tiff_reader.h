// Reading one page of a TIFF file into a TVlBitmap and the TIFF, EXIF and GPS fields of its
// parameter record.
//
// Entry points
//   ReadTIFF           one page (tiffImageIndex of the record, or a SubIFD of it), or, without
//                      a record, only the page count
//   FillTIFFVars       the working record of a page from its directory (used by ReadTIFF)
//   TIFFCompressionToParam, TIFFPhotometricToParam   tag values to the record's enumerations
//
// Method. The header and the directory chain are read through the container layer
// (tiff_container.h); the page's directory fills TTIFFVars, which is checked (sizes >= 1 and
// within the ceilings of imaging/limits.h, a matching ColorMap on palette pages, a layout the
// decoder handles) before the bitmap is allocated in the pixel format the page calls for; the
// strips or tiles are then decoded by tiff_strips.h, old-style JPEG pages by tiff_jpeg.h, and
// the orientation is applied when the record asks for it.
//
// Every failure sets the abort flag through ProgressRecord::Fail with a reason; a page index
// beyond the chain (or a file whose first-directory offset is 0) is no failure and decodes
// nothing. Fields are filled before the pixels are read, so a page that fails to decode still
// reports its parameters.
#pragma once

#include <cstdint>
#include <cstddef>
#include <memory>
#include <vector>

#include "imaging/bitmap.h"
#include "imaging/progress.h"
#include "imaging/status.h"
#include "tiff/tiff_strips.h"

class TIOParamsVals;
class TVlStream;
struct TTIFFDirectory;

// Reads page params->tiffImageIndex of the TIFF whose header starts at the stream position
// (baseAtPosition) or at 0, into `bitmap`, and reports the number of pages in `pageCount`.
//   bitmap      the target; may be null when only the record or the count is wanted
//   params      the record to fill and to take the page index, SubIFD index, LZW decoder,
//               nativePixelFormat and tiffAdjustOrientation from; null: count the pages only
//   paramsOnly  fill the record, decode no pixels
//   alphaMask   in/out: created (or resized) and filled with 255 when the page has an alpha
//               sample and ignoreAlpha is clear; may be null (no alpha wanted)
//   previewMode pages wider or taller than 400 pixels fail; a page of size 0 does not
// Returns ok, or the failure that was also given to progress.Fail.
TVlStatus ReadTIFF(TVlBitmap* bitmap, TVlStream& stream, std::int32_t& pageCount, TIOParamsVals* params,
                   ProgressRecord& progress, bool paramsOnly, std::unique_ptr<TVlMask>* alphaMask,
                   bool baseAtPosition, bool ignoreAlpha, bool previewMode);

// Fills `vars` from a loaded directory (no pixel is read). badData when the bits per sample of
// the samples differ.
TVlStatus FillTIFFVars(const TTIFFDirectory& directory, TTIFFVars& vars);

// Compression tag value to tiffCompression: 1 -> 0, 2 -> 1, 3 -> 2 (3 with two-dimensional T4
// options), 4 -> 4, 5 -> 5, 6 -> 6, 7 -> 7, 8 -> 10, 32773 -> 8, 32946 -> 9, others -> 11.
std::uint8_t TIFFCompressionToParam(std::int32_t compression, std::uint32_t t4Options);

// PhotometricInterpretation to tiffPhotometric: 0..6 the same, 8 -> 7; others: -1 (unchanged).
std::int32_t TIFFPhotometricToParam(std::int32_t photometric);

struct TVlIPTCList;
// IPTC-IIM datasets (0x1C, record, dataset, length, data) of a TIFF IPTC block into records;
// parsing stops at the first byte that does not start a dataset (the zero padding).
void ParseIPTCBlock(const std::uint8_t* data, std::size_t length, TVlIPTCList& list);
// The records as an IPTC-IIM block, zero-padded to a multiple of 4 bytes (the TIFF tag holds LONGs).
std::vector<std::uint8_t> BuildIPTCBlock(const TVlIPTCList& list);
