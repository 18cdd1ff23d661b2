// Fuzz target for the PackBits row coder.
//
// Input: 2 bytes big-endian row length (modulo 8192, plus 1), then the strip. Rows are decoded
// until the strip is used up; then the input bytes, coded row by row, must decode back.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "tiff/packbits.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2)
    return 0;
  const std::int32_t rowLength = std::int32_t(((data[0] << 8) | data[1]) % 8192) + 1;
  const std::vector<std::uint8_t> strip(data + 2, data + size);
  std::vector<std::uint8_t> row(static_cast<std::size_t>(rowLength));
  std::size_t cursor = 0;
  while (cursor < strip.size()) {
    const std::size_t before = cursor;
    const TVlStatus s = PackBitsDecodeRow(strip.data(), strip.size(), cursor, row.data(), rowLength);
    if (cursor <= before || cursor > strip.size())
      std::abort();
    if (!s.ok())
      break;
  }

  const std::size_t rows = strip.size() / std::size_t(rowLength);
  std::vector<std::uint8_t> coded;
  for (std::size_t r = 0; r < rows; ++r)
    PackBitsEncodeRowTo(strip.data() + r * std::size_t(rowLength), rowLength, coded);
  cursor = 0;
  for (std::size_t r = 0; r < rows; ++r) {
    if (!PackBitsDecodeRow(coded.data(), coded.size(), cursor, row.data(), rowLength).ok())
      std::abort();
    for (std::int32_t i = 0; i < rowLength; ++i)
      if (row[std::size_t(i)] != strip[r * std::size_t(rowLength) + std::size_t(i)])
        std::abort();
  }
  if (cursor != coded.size())
    std::abort();
  return 0;
}
