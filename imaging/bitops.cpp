#include "imaging/bitops.h"

namespace {
constexpr std::uint8_t Reverse(std::uint8_t b) {
  std::uint8_t r = 0;
  for (int i = 0; i < 8; ++i)
    if (b & (1 << i))
      r |= std::uint8_t(0x80 >> i);
  return r;
}
struct ReverseTable {
  std::uint8_t v[256];
  constexpr ReverseTable() : v() {
    for (int i = 0; i < 256; ++i)
      v[i] = Reverse(std::uint8_t(i));
  }
};
constexpr ReverseTable kTable;
}  // namespace

const std::uint8_t kVlReverseBits[256] = {
#define R(i) kTable.v[i]
#define R4(i) R(i), R(i + 1), R(i + 2), R(i + 3)
#define R16(i) R4(i), R4(i + 4), R4(i + 8), R4(i + 12)
#define R64(i) R16(i), R16(i + 16), R16(i + 32), R16(i + 48)
    R64(0), R64(64), R64(128), R64(192)
#undef R64
#undef R16
#undef R4
#undef R
};

void VlFillBits(std::uint8_t* row, std::int64_t x, std::int64_t n, bool v) {
  if (n <= 0)
    return;
  std::int64_t end = x + n;  // exclusive
  std::int64_t firstByte = x >> 3, lastByte = (end - 1) >> 3;
  std::uint8_t headMask = std::uint8_t(0xFFu >> (x & 7));
  std::uint8_t tailMask = std::uint8_t(0xFFu << (7 - ((end - 1) & 7)));
  if (firstByte == lastByte) {
    std::uint8_t m = headMask & tailMask;
    row[firstByte] = v ? (row[firstByte] | m) : (row[firstByte] & std::uint8_t(~m));
    return;
  }
  row[firstByte] = v ? (row[firstByte] | headMask) : (row[firstByte] & std::uint8_t(~headMask));
  if (lastByte - firstByte > 1)
    std::memset(row + firstByte + 1, v ? 0xFF : 0x00, static_cast<size_t>(lastByte - firstByte - 1));
  row[lastByte] = v ? (row[lastByte] | tailMask) : (row[lastByte] & std::uint8_t(~tailMask));
}

void VlCopyBits(std::uint8_t* dst, std::int64_t dx, const std::uint8_t* src, std::int64_t sx, std::int64_t n) {
  if (n <= 0)
    return;
  if ((dx & 7) == 0 && (sx & 7) == 0) {
    std::int64_t whole = n >> 3;
    std::memcpy(dst + (dx >> 3), src + (sx >> 3), static_cast<size_t>(whole));
    for (std::int64_t i = whole << 3; i < n; ++i)
      VlSetBit(dst, dx + i, VlGetBit(src, sx + i));
    return;
  }
  // Head bits until the destination is byte aligned, then whole bytes assembled from a 16-bit
  // window of the source, then the tail.
  std::int64_t i = 0;
  while (i < n && ((dx + i) & 7) != 0) {
    VlSetBit(dst, dx + i, VlGetBit(src, sx + i));
    ++i;
  }
  std::int64_t s = sx + i;
  int shift = int(s & 7);
  const std::uint8_t* sp = src + (s >> 3);
  std::uint8_t* dp = dst + ((dx + i) >> 3);
  while (n - i >= 8) {
    // With shift > 0 the eight bits s .. s + 7 span sp[0] and sp[1], both inside the range.
    std::uint8_t b = shift == 0 ? *sp : std::uint8_t((sp[0] << shift) | (sp[1] >> (8 - shift)));
    *dp++ = b;
    ++sp;
    s += 8;
    i += 8;
  }
  for (; i < n; ++i)
    VlSetBit(dst, dx + i, VlGetBit(src, sx + i));
}
