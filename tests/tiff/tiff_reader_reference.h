// Test helpers: libtiff's tools as an oracle, and a minimal reader for their output
// (uncompressed strips, contiguous or planar, either byte order, fill order 1 or 2). Not a
// TIFF reader: just enough to take the tools' decodings back.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include <unistd.h>

namespace fs = std::filesystem;


struct TRefPage {
  int w = 0, h = 0, spp = 0, bits = 0, photometric = 0;
  std::vector<std::uint8_t> px;  // rows packed (1-bit rows padded to bytes); 16-bit samples little-endian
  int rowBytes() const { return (w * spp * bits + 7) / 8; }
};

inline std::vector<std::uint8_t> Slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline bool ParseRefTIFF(const std::vector<std::uint8_t>& f, std::vector<TRefPage>& pages) {
  if (f.size() < 8 || (f[0] != 'I' && f[0] != 'M'))
    return false;
  const bool le = f[0] == 'I';
  auto u16 = [&](std::size_t o) -> std::uint32_t {
    if (o + 2 > f.size())
      return 0;
    return le ? f[o] | f[o + 1] << 8 : f[o] << 8 | f[o + 1];
  };
  auto u32 = [&](std::size_t o) -> std::uint32_t {
    if (o + 4 > f.size())
      return 0;
    return le ? u16(o) | u16(o + 2) << 16 : u16(o) << 16 | u16(o + 2);
  };
  std::uint32_t ifd = u32(4);
  for (int guard = 0; ifd && guard < 1000; ++guard) {
    std::uint32_t n = u16(ifd);
    std::map<int, std::vector<std::uint32_t>> tags;
    for (std::uint32_t i = 0; i < n; ++i) {
      std::size_t e = ifd + 2 + 12 * i;
      std::uint32_t tag = u16(e), type = u16(e + 2), count = u32(e + 4);
      std::uint32_t size = type == 3 ? 2 : 4;
      if (type != 3 && type != 4)
        continue;
      std::size_t at = count * size <= 4 ? e + 8 : u32(e + 8);
      std::vector<std::uint32_t> vals;
      for (std::uint32_t k = 0; k < count && k < 1000000; ++k)
        vals.push_back(size == 2 ? u16(at + 2 * k) : u32(at + 4 * k));
      tags[int(tag)] = vals;
    }
    auto one = [&](int t, std::uint32_t def) { return tags.count(t) && !tags[t].empty() ? tags[t][0] : def; };
    TRefPage p;
    p.w = int(one(256, 0));
    p.h = int(one(257, 0));
    p.bits = int(one(258, 1));
    p.spp = int(one(277, 1));
    p.photometric = int(one(262, 0));
    const bool reversed = one(266, 1) == 2;
    const auto& offs = tags[273];
    const auto& cnts = tags[279];
    std::vector<std::uint8_t> all;
    for (std::size_t s = 0; s < offs.size(); ++s) {
      std::size_t o = offs[s], c = s < cnts.size() ? cnts[s] : 0;
      if (o + c <= f.size())
        all.insert(all.end(), f.begin() + std::ptrdiff_t(o), f.begin() + std::ptrdiff_t(o + c));
    }
    if (one(284, 1) == 2 && p.spp > 1 && p.bits % 8 == 0) {
      // Planes one after the other: interleave them.
      const std::size_t bps = std::size_t(p.bits / 8), plane = std::size_t(p.w) * p.h * bps;
      p.px.assign(plane * p.spp, 0);
      for (std::size_t i = 0; i < std::size_t(p.w) * p.h; ++i)
        for (int k = 0; k < p.spp; ++k)
          for (std::size_t b = 0; b < bps; ++b)
            if (k * plane + i * bps + b < all.size())
              p.px[(i * p.spp + k) * bps + b] = all[k * plane + i * bps + b];
    } else {
      p.px = std::move(all);
    }
    if (reversed)
      for (std::uint8_t& b : p.px)
        b = std::uint8_t(((b * 0x0802u & 0x22110u) | (b * 0x8020u & 0x88440u)) * 0x10101u >> 16);
    if (p.bits == 16 && !le)
      for (std::size_t i = 0; i + 1 < p.px.size(); i += 2)
        std::swap(p.px[i], p.px[i + 1]);
    pages.push_back(std::move(p));
    ifd = u32(ifd + 2 + 12 * n);
  }
  return !pages.empty();
}

inline bool ToolsPresent() {
  return std::system("tiff2rgba -h >/dev/null 2>&1; command -v tiff2rgba >/dev/null 2>&1") == 0 &&
         std::system("command -v tiffcp >/dev/null 2>&1") == 0;
}

inline std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) {
    if (c == '\'')
      q += "'\\''";
    else
      q += c;
  }
  return q + "'";
}


// Runs a shell command; returns its exit status and what it wrote to stderr.
inline int RunCapture(const std::string& cmd, std::string& stderrText) {
  static int serial = 0;
  fs::path err = fs::temp_directory_path() / ("vellumo-tool-" + std::to_string(::getpid()) + "-" + std::to_string(++serial) + ".err");
  int rc = std::system((cmd + " >/dev/null 2>" + Quote(err.string())).c_str());
  std::ifstream e(err);
  stderrText.assign((std::istreambuf_iterator<char>(e)), std::istreambuf_iterator<char>());
  std::error_code ec;
  fs::remove(err, ec);
  return rc;
}
