// Streams and file helpers shared by the codec and I/O tests.
#pragma once

#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <string>
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

// A fresh folder for one test, removed with its contents at the end.
class TTempFolder {
 public:
  TTempFolder() {
    std::string templ = (std::filesystem::temp_directory_path() / "vl-test-XXXXXX").string();
    path_ = ::mkdtemp(templ.data()) ? std::filesystem::path(templ) : std::filesystem::temp_directory_path();
  }
  ~TTempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TTempFolder(const TTempFolder&) = delete;
  TTempFolder& operator=(const TTempFolder&) = delete;
  const std::filesystem::path& Path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }
  // Names in the folder (to check that no temporary files were left behind).
  std::vector<std::string> Names() const {
    std::vector<std::string> n;
    for (const auto& e : std::filesystem::directory_iterator(path_))
      n.push_back(e.path().filename().string());
    std::sort(n.begin(), n.end());
    return n;
  }

 private:
  std::filesystem::path path_;
};
