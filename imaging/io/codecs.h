// Dispatch from file-type ids to the codecs (used by TVlIO and TVlMIO).
//
//   VlReadByType / VlWriteByType   one image of an internal type; types whose codec is not part
//                                  of this build fail with the reason "unsupported"
//   VlHasReader / VlHasWriter      whether the codec of a type is built in
//   VlReadTIFFPage, VlWriteTIFFPage, VlReadJPEG, VlWriteJPEG
//                                  the TIFF and JPEG entry points, reached through these so
//                                  that the I/O layer does not depend on their signatures
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "imaging/bitmap.h"
#include "imaging/params.h"
#include "imaging/progress.h"
#include "imaging/status.h"
#include "imaging/stream.h"

bool VlHasReader(std::int32_t type);
bool VlHasWriter(std::int32_t type);

// Reads at the stream's position. A codec that returns an alpha mask (TIFF) puts it in
// `alphaMask`. Camera raw with params.rawGetExifThumbnail may hand back a JPEG preview in
// `jpegPreview` instead of an image.
TVlStatus VlReadByType(std::int32_t type, TVlStream& stream, TVlBitmap* bitmap, TIOParamsVals& params,
                       ProgressRecord& progress, bool paramsOnly, std::unique_ptr<TVlMask>& alphaMask,
                       std::vector<std::uint8_t>* jpegPreview = nullptr);

// Writes at the stream's position. `alphaMask` (8-bit, or null) goes to the writers that take one.
TVlStatus VlWriteByType(std::int32_t type, TVlStream& stream, TVlBitmap& bitmap, TIOParamsVals& params,
                        ProgressRecord& progress, const TVlMask* alphaMask);

// Page params.tiffImageIndex of the TIFF at the stream's position; `pageCount` gets the number
// of pages in the file (0 when none could be read).
TVlStatus VlReadTIFFPage(TVlStream& stream, TVlBitmap* bitmap, TIOParamsVals& params, ProgressRecord& progress,
                         bool paramsOnly, std::unique_ptr<TVlMask>& alphaMask, std::int32_t& pageCount);
// A new single-page TIFF (insert false) or a directory inserted at params.tiffImageIndex of the
// little-endian TIFF the stream holds, positioned at its start.
TVlStatus VlWriteTIFFPage(TVlStream& stream, bool insert, TVlBitmap& bitmap, TIOParamsVals& params,
                          ProgressRecord& progress);
bool VlHaveTIFFCodec();

// Makes content detection end with LibRaw's identification (done at start-up by this library;
// callable again after a test replaced the hook).
void VlInstallCameraRawIdentifier();
