// Streams and file helpers shared by the codec and I/O tests.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "imaging/stream.h"

inline std::vector<std::uint8_t> ReadWholeFile(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteWholeFile(const std::filesystem::path& p, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// A growable memory stream that refuses every write reaching past `limit` bytes.
class TLimitedStream final : public TVlStream {
 public:
  explicit TLimitedStream(std::int64_t limit) : limit_(limit) {}
  std::int64_t Read(void* b, std::int64_t n) override { return m_.Read(b, n); }
  std::int64_t Write(const void* b, std::int64_t n) override {
    if (m_.Position() + n > limit_)
      return 0;
    return m_.Write(b, n);
  }
  bool Seek(std::int64_t p) override { return m_.Seek(p); }
  std::int64_t Position() const override { return m_.Position(); }
  std::int64_t Size() const override { return m_.Size(); }

 private:
  TVlMemoryStream m_;
  std::int64_t limit_;
};
