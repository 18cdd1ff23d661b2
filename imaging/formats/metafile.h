// Windows metafiles (WMF through libwmf, EMF through libemf2svg) rendered with librsvg.
//
//   VlOpenMetafile    checks the header and computes the picture's own size in pixels
//   VlRenderMetafile  draws the picture at a given size onto a background (vl24RGB), and
//                     optionally gives it an alpha plane (0 where nothing was drawn)
//
// Method: both formats are first translated to SVG by their library and then drawn by
// librsvg on a cairo image surface, stretched to the requested size. The own size: a
// placeable WMF header gives its bounding box in units of `inch` per inch, an EMF header its
// frame in 0.01 mm; both are converted at 96 pixels per inch (64-bit products, every divisor
// checked). A WMF without placeable header takes the size libwmf computes.
#pragma once

#include <cstdint>
#include <vector>

#include "imaging/bitmap.h"
#include "imaging/status.h"

struct TVlMetafile {
  std::int32_t kind = 0;  // 9 WMF, 10 EMF
  std::vector<std::uint8_t> data;
  std::int64_t width = 0, height = 0;  // own size in pixels (0 when unknown)
};

// Takes the bytes of a WMF or EMF file. badData for anything else or for a header whose sizes
// are 0 or negative.
TVlStatus VlOpenMetafile(std::vector<std::uint8_t> data, TVlMetafile& out);

// The render size for a requested width/height: both >= 0 that size; width < 0 (height < 0)
// keeps the picture's proportion with the given height (width); both < 0 the own size. A side
// above 16,000 becomes 16,000 and the other is scaled in proportion (integer division, at
// least 1). False when a side would be 0 or a divisor is 0.
bool VlMetafileRenderSize(std::int64_t ownWidth, std::int64_t ownHeight, std::int32_t width, std::int32_t height,
                          std::int64_t& outWidth, std::int64_t& outHeight);

// Renders at width x height (each 1 .. 16000) filled first with `background` (0x00BBGGRR).
TVlStatus VlRenderMetafile(const TVlMetafile& metafile, std::int32_t width, std::int32_t height, TVlColor background,
                           bool transparency, TVlBitmap& target);
