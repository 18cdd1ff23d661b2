// Content detection over arbitrary bytes: every test must stay inside the stream and leave its
// position unchanged.
#include <cstdint>
#include <cstdlib>

#include "imaging/io/filetypes.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  TVlMemoryStream s(data, std::int64_t(size));
  std::int64_t at = size > 0 ? data[0] % 8 : 0;
  s.Seek(at);
  (void)DetectStreamType(s);
  if (s.Position() != at)
    std::abort();
  return 0;
}
