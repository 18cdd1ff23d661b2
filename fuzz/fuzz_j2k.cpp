// Fuzz target of the JPEG 2000 reader: JP2 files and bare code streams (chosen by the
// signature), parameters only and full decode, under low size ceilings.
#include <atomic>
#include <cstdint>

#include "imaging/formats/jpeg2000.h"
#include "imaging/limits.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  TVlScopedSizeLimits limits({std::int64_t(1) << 20, std::int64_t(1) << 25, 1 << 12});
  TVlMemoryStream probe(data, static_cast<std::int64_t>(size));
  const bool codestream = !IsJP2Stream(probe);
  for (int pass = 0; pass < 2; ++pass) {
    TVlMemoryStream s(data, static_cast<std::int64_t>(size));
    TVlBitmap bitmap;
    TIOParamsVals params;
    params.nativePixelFormat = size % 2 == 0;
    std::atomic<bool> abort{false};
    ProgressRecord pr;
    pr.abortFlag = &abort;
    (void)ReadJ2K(s, pass == 0 ? nullptr : &bitmap, params, pr, pass == 0, codestream);
  }
  return 0;
}
