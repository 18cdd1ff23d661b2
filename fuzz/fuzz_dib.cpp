// Fuzz target: pasted device-independent bitmaps and BMP blocks (ReadPackedDib, ReadBmpBlock).
// The first byte picks the reader and the options; the rest is the block.
#include <cstddef>
#include <cstdint>

#include "imaging/formats/dib.h"
#include "imaging/limits.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1)
    return 0;
  TVlSizeLimits limits;
  limits.maxPixels = std::int64_t(1) << 20;
  limits.maxBytes = std::int64_t(64) << 20;
  TVlScopedSizeLimits scoped(limits);
  const std::uint8_t mode = data[0];
  TVlDibOptions o;
  o.paletteAs8p = mode & 2;
  o.alpha = mode & 4;
  TVlBitmap image;
  TVlStatus s = (mode & 1) ? ReadBmpBlock(data + 1, size - 1, image, o) : ReadPackedDib(data + 1, size - 1, image, o);
  if (s.ok() || s.code == TVlStatusCode::truncated) {
    // Touch every row of a usable result, and write it back out.
    volatile std::uint8_t sink = 0;
    for (std::int32_t y = 0; y < image.Height(); ++y) sink = sink ^ image.RowPointer(y)[0];
    (void)WritePackedDib(image, 300);
  }
  return 0;
}
