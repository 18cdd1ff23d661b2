// Fuzz target of the PNG reader: the parameters-only read and the full decode, in the default
// and the native pixel formats, under low size ceilings. Any outcome is fine as long as it is a
// status, not a crash, a hang or a runaway allocation.
#include <atomic>
#include <cstdint>

#include "imaging/formats/png.h"
#include "imaging/limits.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  TVlScopedSizeLimits limits({std::int64_t(1) << 22, std::int64_t(1) << 26, 1 << 14});
  for (int pass = 0; pass < 3; ++pass) {
    TVlMemoryStream s(data, static_cast<std::int64_t>(size));
    TVlBitmap bitmap;
    TIOParamsVals params;
    params.nativePixelFormat = pass == 2;
    std::atomic<bool> abort{false};
    ProgressRecord pr;
    pr.abortFlag = &abort;
    (void)ReadPNG(s, pass == 0 ? nullptr : &bitmap, params, pr, pass == 0);
  }
  return 0;
}
