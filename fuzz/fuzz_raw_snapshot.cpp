// Fuzz target: raw snapshots pasted from the clipboard or read back from the undo history
// (TVlBitmap::ReadRawSnapshot from a memory block and from a deflated stream).
#include <cstddef>
#include <cstdint>

#include "imaging/limits.h"
#include "imaging/stream.h"
#include "proc/history.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  TVlSizeLimits limits;
  limits.maxPixels = std::int64_t(1) << 22;
  limits.maxBytes = std::int64_t(64) << 20;
  TVlScopedSizeLimits scoped(limits);
  TVlBitmap image;
  if (image.ReadRawSnapshot(data, std::int64_t(size))) {
    volatile std::uint8_t sink = 0;
    for (std::int32_t y = 0; y < image.Height(); ++y) sink = sink ^ image.RowPointer(y)[0];
    std::vector<std::uint8_t> again = image.WriteRawSnapshot();
    TVlBitmap back;
    if (!back.ReadRawSnapshot(again.data(), std::int64_t(again.size())))
      __builtin_trap();  // what we write we must read
  }
  // The same bytes as the inflated content of a history entry.
  TVlMemoryStream packed;
  {
    TVlDeflateWriter w(packed, 1);
    (void)w.WriteAll(data, std::int64_t(size));
    (void)w.Finish();
  }
  (void)packed.Seek(0);
  TVlInflateReader r(packed, std::int64_t(size));
  TVlBitmap viaStream;
  (void)viaStream.ReadRawSnapshot(r);
  return 0;
}
