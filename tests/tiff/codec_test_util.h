// Test helpers shared by the strip codec tests: sample data, a stream that refuses writes,
// a hand-driven LZW code writer, and a round trip through libtiff's tiffcp (the oracle).
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "imaging/stream.h"

enum class TSampleKind : std::uint8_t { random, constant, text, scan, bilevel };

inline const char* SampleKindName(TSampleKind k) {
  switch (k) {
    case TSampleKind::random:
      return "random";
    case TSampleKind::constant:
      return "constant";
    case TSampleKind::text:
      return "text";
    case TSampleKind::scan:
      return "scan";
    case TSampleKind::bilevel:
      return "bilevel";
  }
  return "?";
}

// `n` bytes of the given kind, reproducible from `seed`.
inline std::vector<std::uint8_t> SampleBytes(TSampleKind kind, std::size_t n, std::uint32_t seed = 1) {
  std::mt19937 rng(seed);
  std::vector<std::uint8_t> v(n);
  static const char* words[] = {"the ", "page ", "scan ", "of ", "a ", "document ", "LZW ", "strip ", "\n"};
  switch (kind) {
    case TSampleKind::random:
      for (auto& b : v) b = std::uint8_t(rng());
      break;
    case TSampleKind::constant:
      std::fill(v.begin(), v.end(), std::uint8_t(0xA5));
      break;
    case TSampleKind::text: {
      std::size_t i = 0;
      while (i < n) {
        const char* w = words[rng() % 9];
        for (; *w && i < n; ++w) v[i++] = std::uint8_t(*w);
      }
      break;
    }
    case TSampleKind::scan:
      // Paper white with noise, dark strokes now and then.
      for (std::size_t i = 0; i < n; ++i) {
        const bool ink = (i / 7) % 23 == 0 || (rng() % 97) == 0;
        v[i] = ink ? std::uint8_t(20 + rng() % 40) : std::uint8_t(235 + rng() % 12);
      }
      break;
    case TSampleKind::bilevel:
      // Long white runs broken by short black runs, as in packed 1-bit text pages.
      for (std::size_t i = 0; i < n; ++i) v[i] = (rng() % 13) == 0 ? std::uint8_t(rng()) : std::uint8_t(0xFF);
      break;
  }
  return v;
}

// A stream that accepts `limit` bytes, then refuses.
class TRefusingStream final : public TVlStream {
 public:
  explicit TRefusingStream(std::int64_t limit) : limit_(limit) {}
  std::int64_t Read(void*, std::int64_t) override { return 0; }
  std::int64_t Write(const void*, std::int64_t n) override {
    const std::int64_t room = limit_ - pos_;
    const std::int64_t w = n < room ? n : (room > 0 ? room : 0);
    pos_ += w;
    return w;
  }
  bool Seek(std::int64_t p) override {
    pos_ = p;
    return true;
  }
  std::int64_t Position() const override { return pos_; }
  std::int64_t Size() const override { return pos_; }

 private:
  std::int64_t limit_;
  std::int64_t pos_ = 0;
};

// Writes LZW codes by hand, tracking the code width as a decoder does. MSB-first with early
// change (TIFF), or LSB-first without (the old variant). Entries are counted, not stored.
class TLzwCodeWriter {
 public:
  explicit TLzwCodeWriter(bool compat = false) : compat_(compat) {}

  // Writes `code` at the current width; `addsEntry` says whether a decoder defines a table
  // entry on reading it (every code but Clear, EOI and the first after Clear).
  void Put(int code) {
    PutBits(code, width_);
    if (code == 256) {
      next_ = 258;
      width_ = 9;
      first_ = true;
      return;
    }
    if (code == 257)
      return;
    if (first_) {
      first_ = false;
      return;
    }
    ++next_;
    const int grow = compat_ ? next_ : next_ + 1;
    if (grow >= (1 << width_) && width_ < 12)
      ++width_;
  }
  int Next() const { return next_; }
  std::vector<std::uint8_t> Bytes() const {
    std::vector<std::uint8_t> b = bytes_;
    if (nbits_ > 0)
      b.push_back(compat_ ? std::uint8_t(acc_) : std::uint8_t(acc_ << (8 - nbits_)));
    return b;
  }

 private:
  void PutBits(int code, int width) {
    if (compat_) {
      acc_ |= std::uint32_t(code) << nbits_;
      nbits_ += width;
      while (nbits_ >= 8) {
        bytes_.push_back(std::uint8_t(acc_));
        acc_ >>= 8;
        nbits_ -= 8;
      }
    } else {
      acc_ = (acc_ << width) | std::uint32_t(code);
      nbits_ += width;
      while (nbits_ >= 8) {
        bytes_.push_back(std::uint8_t(acc_ >> (nbits_ - 8)));
        nbits_ -= 8;
      }
      acc_ &= (1u << nbits_) - 1;
    }
  }

  bool compat_;
  bool first_ = true;
  int next_ = 258;
  int width_ = 9;
  std::uint32_t acc_ = 0;
  int nbits_ = 0;
  std::vector<std::uint8_t> bytes_;
};

inline bool HaveTiffcp() {
  return std::system("tiffcp >/dev/null 2>&1; command -v tiffcp >/dev/null") == 0;
}

// A one-strip little-endian TIFF around already coded strip bytes.
inline void WriteOneStripTiff(const std::filesystem::path& path, std::uint32_t width, std::uint32_t height,
                              std::uint16_t bits, std::uint16_t samples, std::uint16_t compression,
                              std::uint16_t predictor, const std::vector<std::uint8_t>& strip) {
  std::vector<std::uint8_t> f = {'I', 'I', 42, 0, 8, 0, 0, 0};
  auto u16 = [&](std::uint32_t v) {
    f.push_back(std::uint8_t(v));
    f.push_back(std::uint8_t(v >> 8));
  };
  auto u32 = [&](std::uint32_t v) {
    u16(v & 0xffff);
    u16(v >> 16);
  };
  struct E {
    std::uint16_t tag, type;
    std::uint32_t value;
  };
  const std::uint32_t entries = 10;
  const std::uint32_t dataAt = 8 + 2 + entries * 12 + 4;
  const E e[entries] = {{256, 4, width},
                        {257, 4, height},
                        {258, 3, bits},
                        {259, 3, compression},
                        {262, 3, samples >= 3 ? 2u : 1u},
                        {273, 4, dataAt},
                        {277, 3, samples},
                        {278, 4, height},
                        {279, 4, std::uint32_t(strip.size())},
                        {317, 3, predictor}};
  u16(entries);
  for (const E& x : e) {
    u16(x.tag);
    u16(x.type);
    u32(1);
    if (x.type == 3) {
      u16(x.value);
      u16(0);
    } else {
      u32(x.value);
    }
  }
  u32(0);
  f.insert(f.end(), strip.begin(), strip.end());
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(f.data()), std::streamsize(f.size()));
}
