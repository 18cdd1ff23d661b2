// ImageMagick as a test oracle: runs `convert` on files and reads its binary PBM/PGM/PPM output
// into bitmaps. Tests skip when `convert` is not installed.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "imaging/bitmap.h"
#include "imaging/bitops.h"

namespace magick {

inline bool Available() {
  static const bool ok = std::system("convert -version > /dev/null 2>&1") == 0;
  return ok;
}

#define VL_REQUIRE_MAGICK()                               \
  do {                                                    \
    if (!magick::Available())                             \
      GTEST_SKIP() << "ImageMagick's convert is missing"; \
  } while (0)

// A scratch folder for one test, removed with the object.
class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/vlproc-XXXXXX";
    if (char* d = mkdtemp(tmpl))
      path_ = d;
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty())
      std::filesystem::remove_all(path_, ec);
  }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// Runs `convert <args>`; true on success.
inline bool Convert(const std::string& args) {
  const std::string cmd = "convert " + args + " 2> /dev/null";
  return std::system(cmd.c_str()) == 0;
}

inline std::string Quote(const std::filesystem::path& p) {
  return "'" + p.string() + "'";
}

// Reads a binary PBM (as vl1g, 1 = black in the file), PGM (vl8g, 8-bit) or PPM (vl24RGB, 8-bit).
inline bool ReadPnm(const std::filesystem::path& path, TVlBitmap& out) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::uint8_t> d((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t p = 0;
  auto token = [&]() -> long {
    while (p < d.size()) {
      if (d[p] == '#') {
        while (p < d.size() && d[p] != '\n') ++p;
      } else if (std::isspace(d[p])) {
        ++p;
      } else {
        break;
      }
    }
    long v = 0;
    bool any = false;
    while (p < d.size() && std::isdigit(d[p])) v = v * 10 + (d[p++] - '0'), any = true;
    return any ? v : -1;
  };
  if (d.size() < 2 || d[0] != 'P')
    return false;
  const char kind = char(d[1]);
  p = 2;
  const long w = token(), h = token();
  const long maxv = kind == '4' ? 1 : token();
  if (w <= 0 || h <= 0 || maxv != (kind == '4' ? 1 : 255))
    return false;
  ++p;  // the single whitespace after the header
  const TVlPixelFormat f = kind == '4' ? vl1g : kind == '5' ? vl8g : kind == '6' ? vl24RGB : vlNone;
  if (f == vlNone || !out.AllocateImage(int(w), int(h), f).ok())
    return false;
  const size_t rowBytes = f == vl1g ? size_t((w + 7) / 8) : size_t(w) * (f == vl8g ? 1 : 3);
  if (p + rowBytes * size_t(h) > d.size())
    return false;
  for (long y = 0; y < h; ++y) {
    std::uint8_t* r = out.RowPointer(int(y));
    const std::uint8_t* s = d.data() + p + rowBytes * size_t(y);
    if (f == vl1g) {
      for (size_t i = 0; i < rowBytes; ++i) r[i] = std::uint8_t(~s[i]);  // PBM: 1 is black
    } else if (f == vl8g) {
      std::memcpy(r, s, rowBytes);
    } else {
      for (long x = 0; x < w; ++x) r[3 * x] = s[3 * x + 2], r[3 * x + 1] = s[3 * x + 1], r[3 * x + 2] = s[3 * x];
    }
  }
  return true;
}

// Writes a bitmap (vl1g, vl8g, vl24RGB) as binary PBM/PGM/PPM.
inline bool WritePnm(const std::filesystem::path& path, TVlBitmap& img) {
  std::ofstream out(path, std::ios::binary);
  const TVlPixelFormat f = img.PixelFormat();
  const int w = img.Width(), h = img.Height();
  out << (f == vl1g ? "P4" : f == vl8g ? "P5" : "P6") << "\n" << w << " " << h << "\n";
  if (f != vl1g)
    out << "255\n";
  std::vector<std::uint8_t> row;
  for (int y = 0; y < h; ++y) {
    const std::uint8_t* r = img.RowPointer(y);
    if (f == vl1g) {
      row.assign(r, r + (w + 7) / 8);
      for (auto& b : row) b = std::uint8_t(~b);
      if (w % 8)
        row.back() &= std::uint8_t(0xFF << (8 - w % 8));
    } else if (f == vl8g) {
      row.assign(r, r + w);
    } else {
      row.resize(size_t(w) * 3);
      for (int x = 0; x < w; ++x) row[3 * x] = r[3 * x + 2], row[3 * x + 1] = r[3 * x + 1], row[3 * x + 2] = r[3 * x];
    }
    out.write(reinterpret_cast<const char*>(row.data()), std::streamsize(row.size()));
  }
  return bool(out);
}

}  // namespace magick
