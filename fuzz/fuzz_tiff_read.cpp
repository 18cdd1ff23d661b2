// Fuzz target: the TIFF reader end to end. The directory chain is walked and pages 0, 1 and 2
// are decoded into a bitmap (page 0 as vl24RGB, page 1 in its native format, page 2 with the
// orientation applied), each with its alpha mask; then page 0 is read for its parameters only
// and the pages are counted. Ceilings are lowered (16 Mpixel, 256 MiB) so that a hostile size
// is refused quickly instead of allocated.
#include <atomic>
#include <cstdint>
#include <memory>

#include "imaging/limits.h"
#include "imaging/params.h"
#include "imaging/stream.h"
#include "tiff/tiff_codecs.h"
#include "tiff/tiff_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool installed = (InstallDefaultCodecs(), true);
  (void)installed;
  TVlSizeLimits limits;
  limits.maxPixels = std::int64_t(16) << 20;
  limits.maxBytes = std::int64_t(256) << 20;
  limits.maxDimension = 1 << 16;
  TVlScopedSizeLimits scoped(limits);

  TVlMemoryStream stream(data, std::int64_t(size));
  std::int32_t pages = 0;
  for (std::int32_t k = 0; k < 3; ++k) {
    TIOParamsVals params;
    params.SetImageIndex(k);
    params.nativePixelFormat = k == 1;
    params.tiffAdjustOrientation = k == 2;
    std::atomic<bool> abort{false};
    ProgressRecord pr;
    pr.abortFlag = &abort;
    TVlBitmap bitmap;
    std::unique_ptr<TVlMask> alpha;
    stream.Seek(0);
    (void)ReadTIFF(&bitmap, stream, pages, &params, pr, false, &alpha, false, false, false);
    if (k + 1 >= pages)
      break;
  }
  {
    TIOParamsVals params;
    std::atomic<bool> abort{false};
    ProgressRecord pr;
    pr.abortFlag = &abort;
    stream.Seek(0);
    (void)ReadTIFF(nullptr, stream, pages, &params, pr, true, nullptr, true, true, false);
    stream.Seek(0);
    (void)ReadTIFF(nullptr, stream, pages, nullptr, pr, false, nullptr, true, true, false);
  }
  return 0;
}
