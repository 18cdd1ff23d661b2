// Fuzz target: page counting (the directory chain walk alone), from position 0 and from a
// position inside the stream.
#include <cstdint>

#include "tiff/tiff_pages.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  TVlMemoryStream s(data, static_cast<std::int64_t>(size));
  std::int32_t pages = 0;
  TVlStatus st = TryCountTIFFPages(s, pages);
  if (pages < 0 || (!st.ok() && pages != 0) || s.Position() != 0)
    __builtin_trap();
  if (size > 16) {
    s.Seek(3);
    (void)CountTIFFPages(s);
    if (s.Position() != 3)
      __builtin_trap();
  }
  return 0;
}
