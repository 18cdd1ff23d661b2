// Bit-level helpers for 1-bit rows (most significant bit first, as in vl1g and TIFF).
#pragma once

#include <cstdint>
#include <cstring>

inline bool VlGetBit(const std::uint8_t* row, std::int64_t x) { return (row[x >> 3] >> (7 - (x & 7))) & 1; }

inline void VlSetBit(std::uint8_t* row, std::int64_t x, bool v) {
  std::uint8_t m = std::uint8_t(0x80u >> (x & 7));
  if (v)
    row[x >> 3] |= m;
  else
    row[x >> 3] &= std::uint8_t(~m);
}

// Sets (v true) or clears bits x .. x + n - 1.
void VlFillBits(std::uint8_t* row, std::int64_t x, std::int64_t n, bool v);

// Copies n bits from src starting at bit sx to dst starting at bit dx. The ranges must not
// overlap within one buffer.
void VlCopyBits(std::uint8_t* dst, std::int64_t dx, const std::uint8_t* src, std::int64_t sx, std::int64_t n);

// The 256-entry table of bytes with their bit order reversed (FillOrder 2).
extern const std::uint8_t kVlReverseBits[256];
