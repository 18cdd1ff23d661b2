// Fuzz target for Deflate strips.
//
// Input: 3 bytes big-endian expected size (at most 16 MiB), then the zlib stream. The strip is
// inflated into exactly that many bytes at most.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "tiff/deflate.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3)
    return 0;
  const std::size_t expected = std::size_t(data[0]) << 16 | std::size_t(data[1]) << 8 | data[2];
  const std::vector<std::uint8_t> strip(data + 3, data + size);
  std::vector<std::uint8_t> out;
  const TVlStatus s = InflateStrip(strip.data(), strip.size(), expected, out);
  if (out.size() > expected || (s.ok() && out.size() != expected))
    std::abort();
  return 0;
}
