// Fuzz target of the 12-byte stream headers in front of TIFF, JPEG and PCX data: the input
// (after one selector byte) is loaded by TVlIO as the selected type with StreamHeaders on and
// off, and by content detection. The stored length must never send the stream past its end.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "imaging/io/filetypes.h"
#include "imaging/io/vlio.h"
#include "imaging/limits.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1)
    return 0;
  TVlScopedSizeLimits limits({std::int64_t(1) << 20, std::int64_t(1) << 25, 1 << 12});
  static const std::int32_t types[] = {vlftTIFF, vlftJPEG, vlftPCX, 0};
  const std::int32_t type = types[data[0] % 4];
  const bool headers = data[0] & 4;
  TVlMemoryStream s(data + 1, static_cast<std::int64_t>(size - 1));
  TVlIO io;
  io.StreamHeaders = headers;
  int finished = 0;
  io.OnFinishWork = [&](TVlIO*) { ++finished; };
  try {
    if (type == 0)
      io.LoadImageStream(s);
    else
      io.LoadImageStreamAs(s, type);
  } catch (const TVlFileError&) {
  }
  if (s.Position() > s.Size()) {
    std::fprintf(stderr, "stream left past its end\n");
    std::abort();
  }
  if (finished != 1) {
    std::fprintf(stderr, "load finished %d times\n", finished);
    std::abort();
  }
  return 0;
}
