// Fuzz target for the JPEG reader: a parameters-only read, then a full decode (native pixel
// formats, every scale in turn by the input's size), under lowered size ceilings.
#include <cstdint>
#include <vector>

#include "imaging/bitmap.h"
#include "imaging/formats/jpeg.h"
#include "imaging/limits.h"
#include "imaging/params.h"
#include "imaging/stream.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  TVlScopedSizeLimits limits({std::int64_t(16) << 20, std::int64_t(256) << 20, 1 << 15});
  const std::vector<std::uint8_t> copy(data, data + size);
  {
    TVlMemoryStream s(copy.data(), std::int64_t(copy.size()));
    TIOParamsVals params;
    ProgressRecord progress;
    (void)ReadJPEG(s, nullptr, &params, progress);
  }
  TVlMemoryStream s(copy.data(), std::int64_t(copy.size()));
  TIOParamsVals params;
  params.nativePixelFormat = (size & 1) != 0;
  params.jpegScale = std::uint8_t(size % 5);
  params.width = 16;
  params.height = 16;
  params.jpegAdjustOrientation = true;
  TVlBitmap bitmap;
  ProgressRecord progress;
  (void)ReadJPEG(s, &bitmap, &params, progress);
  return 0;
}
