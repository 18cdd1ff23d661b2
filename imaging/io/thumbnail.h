// Reduced copies of page images for the thumbnail grid, and the placeholder of unreadable pages.
//
//   VlFitThumbnailSize   the largest size of the image's aspect ratio inside a box
//   VlReduceImage        one image scaled to a given size (the one place thumbnails are made)
//   VlMakeThumbnail      both, with the alpha handling thumbnails need
//   VlMakePlaceholder    a white image with a question mark, for pages that cannot be read
//
// Method of VlReduceImage: every destination pixel averages the source pixels of its box
// (source columns dx*W/w .. (dx+1)*W/w, rows likewise, at least one of each), reading the
// source one row at a time in order, so images held in a temporary file are streamed.
// vl1g sources give vl8g averages, vl8g and vl24RGB keep their format; filter 0 and every other
// format take the top-left pixel of each box (a plain stretch in the source's format).
#pragma once

#include <cstdint>

#include "imaging/bitmap.h"

// Fits width x height into boxWidth x boxHeight keeping the aspect ratio (each side >= 1).
// With `enlarge` false an image that already fits keeps its size.
void VlFitThumbnailSize(std::int32_t width, std::int32_t height, std::int32_t boxWidth, std::int32_t boxHeight,
                        bool enlarge, std::int32_t& outWidth, std::int32_t& outHeight);

// Scales `source` to width x height into `target` (see above). `filter` follows the resampling
// filter numbering (0 none: plain stretch). The alpha plane is not touched.
TVlStatus VlReduceImage(TVlBitmap& source, std::int32_t width, std::int32_t height, int filter, TVlBitmap& target);

// The thumbnail of `source` at width x height: an image with alpha is first blended over gray
// (128, 128, 128); the alpha plane is reduced too and its alphaFull copied.
TVlStatus VlMakeThumbnail(TVlBitmap& source, std::int32_t width, std::int32_t height, int filter, TVlBitmap& target);

// A width x height white vl24RGB image with a bold question mark, drawn once in gray offset by
// 3 pixels and once in blue, centred.
TVlStatus VlMakePlaceholder(std::int32_t width, std::int32_t height, TVlBitmap& target);
