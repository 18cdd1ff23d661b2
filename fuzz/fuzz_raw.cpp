// Fuzz target of the camera raw reader: identification, parameters only and the developed
// image at half size (the embedded preview when the input asks for it), under low ceilings.
#include <atomic>
#include <cstdint>

#include "imaging/formats/camera_raw.h"
#include "imaging/limits.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  TVlScopedSizeLimits limits({std::int64_t(1) << 20, std::int64_t(1) << 25, 1 << 12});
  {
    TVlMemoryStream s(data, static_cast<std::int64_t>(size));
    (void)IdentifyCameraRaw(s);
  }
  for (int pass = 0; pass < 2; ++pass) {
    TVlMemoryStream s(data, static_cast<std::int64_t>(size));
    TVlBitmap bitmap;
    TIOParamsVals params;
    params.rawHalfSize = true;
    params.rawGetExifThumbnail = size % 3 == 0;
    std::vector<std::uint8_t> preview;
    std::atomic<bool> abort{false};
    ProgressRecord pr;
    pr.abortFlag = &abort;
    (void)ReadCameraRaw(s, pass == 0 ? nullptr : &bitmap, params, pr, pass == 0, &preview);
  }
  return 0;
}
