// Test helper: the strips of the first page of a small TIFF file, read with a minimal
// directory parser (classic TIFF, either byte order, strips only), and a strip-decoding
// driver that undoes the predictor like the strip decoder does. Enough to feed the strip
// codecs with real data; not a TIFF reader.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "tiff/deflate.h"
#include "tiff/lzw.h"
#include "tiff/packbits.h"
#include "tiff/predictor.h"

struct TTestStripPage {
  bool littleEndian = true;
  std::uint32_t width = 0, height = 0, bitsPerSample = 0, samplesPerPixel = 1;
  std::uint32_t compression = 1, predictor = 1, planar = 1, rowsPerStrip = 0, photometric = 1;
  std::uint32_t tileWidth = 0, tileLength = 0;    // 0: strips
  std::vector<std::vector<std::uint8_t>> strips;  // or tiles
  std::vector<std::uint8_t> jpegTables;

  std::uint32_t Planes() const { return planar == 2 ? samplesPerPixel : 1; }
  std::int32_t RowLength() const {
    const std::uint64_t spp = planar == 2 ? 1 : samplesPerPixel;
    return std::int32_t((std::uint64_t(width) * spp * bitsPerSample + 7) / 8);
  }
  std::uint32_t StripsPerPlane() const { return (height + rowsPerStrip - 1) / rowsPerStrip; }
  std::uint32_t RowsInStrip(std::size_t strip) const {
    const std::uint32_t first = std::uint32_t(strip % StripsPerPlane()) * rowsPerStrip;
    return std::min(rowsPerStrip, height - first);
  }
};

inline std::vector<std::uint8_t> ReadWholeFile(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// False when the file is not a classic TIFF with strips this helper understands.
inline bool LoadTestStripPage(const std::filesystem::path& path, TTestStripPage& page) {
  const std::vector<std::uint8_t> d = ReadWholeFile(path);
  if (d.size() < 8)
    return false;
  const bool le = d[0] == 'I';
  auto u16 = [&](std::size_t o) -> std::uint32_t {
    if (o + 2 > d.size())
      return 0;
    return le ? d[o] | d[o + 1] << 8 : d[o] << 8 | d[o + 1];
  };
  auto u32 = [&](std::size_t o) -> std::uint32_t { return le ? u16(o) | u16(o + 2) << 16 : u16(o) << 16 | u16(o + 2); };
  page.littleEndian = le;
  const std::uint32_t ifd = u32(4);
  const std::uint32_t n = u16(ifd);
  std::map<std::uint32_t, std::vector<std::uint32_t>> tags;
  for (std::uint32_t i = 0; i < n; ++i) {
    const std::size_t e = ifd + 2 + 12 * std::size_t(i);
    const std::uint32_t tag = u16(e), type = u16(e + 2), count = u32(e + 4);
    if (tag == 347 && (type == 1 || type == 7)) {
      const std::size_t at = count <= 4 ? e + 8 : u32(e + 8);
      if (at > d.size() || count > d.size() - at)
        return false;
      page.jpegTables.assign(d.begin() + std::ptrdiff_t(at), d.begin() + std::ptrdiff_t(at + count));
      continue;
    }
    if (type != 3 && type != 4)
      continue;
    const std::size_t size = (type == 3 ? 2 : 4) * std::size_t(count);
    const std::size_t at = size <= 4 ? e + 8 : u32(e + 8);
    if (count > 1000000)
      return false;
    for (std::uint32_t k = 0; k < count; ++k) tags[tag].push_back(type == 3 ? u16(at + 2 * k) : u32(at + 4 * k));
  }
  auto one = [&](std::uint32_t tag, std::uint32_t def) { return tags.count(tag) ? tags[tag][0] : def; };
  page.width = one(256, 0);
  page.height = one(257, 0);
  page.bitsPerSample = one(258, 1);
  page.samplesPerPixel = one(277, 1);
  page.compression = one(259, 1);
  page.predictor = one(317, 1);
  page.planar = one(284, 1);
  page.photometric = one(262, 1);
  page.rowsPerStrip = std::min(one(278, page.height), page.height);
  page.tileWidth = one(322, 0);
  page.tileLength = one(323, 0);
  const std::uint32_t offTag = page.tileWidth ? 324 : 273, cntTag = page.tileWidth ? 325 : 279;
  if (!tags.count(offTag) || !tags.count(cntTag) || tags[offTag].size() != tags[cntTag].size() ||
      page.rowsPerStrip == 0)
    return false;
  for (std::size_t i = 0; i < tags[offTag].size(); ++i) {
    const std::size_t off = tags[offTag][i], cnt = tags[cntTag][i];
    if (off > d.size() || cnt > d.size() - off)
      return false;
    page.strips.emplace_back(d.begin() + off, d.begin() + off + cnt);
  }
  return true;
}

// Decodes one strip of the page into `out` the way the strip decoder does: rows from the
// codec, 16-bit samples into host order, predictor undone. Returns the first failure.
inline TVlStatus DecodeTestStrip(const TTestStripPage& page, std::size_t strip, std::vector<std::uint8_t>& out) {
  const std::vector<std::uint8_t>& data = page.strips[strip];
  const std::int32_t rowLength = page.RowLength();
  const std::uint32_t rows = page.RowsInStrip(strip);
  const std::size_t start = out.size();
  TVlStatus status = TVlStatus::Ok();
  if (page.compression == 5) {
    TLzwDecoderState* st = nullptr;
    for (std::uint32_t r = 0; r < rows; ++r) {
      const std::uint8_t* row = TIFFLzwDecode(data.data(), data.size(), rowLength, st);
      if (!row) {
        status = LzwDecodeStatus(st);
        break;
      }
      out.insert(out.end(), row, row + rowLength);
    }
    (void)TIFFLzwDecode(nullptr, 0, rowLength, st);
  } else if (page.compression == 32773) {
    std::size_t cursor = 0;
    std::vector<std::uint8_t> row(static_cast<std::size_t>(rowLength));
    for (std::uint32_t r = 0; r < rows && status.ok(); ++r) {
      status = PackBitsDecodeRow(data.data(), data.size(), cursor, row.data(), rowLength);
      out.insert(out.end(), row.begin(), row.end());
    }
  } else if (page.compression == 8 || page.compression == 32946) {
    std::vector<std::uint8_t> inflated;
    status = InflateStrip(data.data(), data.size(), std::size_t(rows) * std::size_t(rowLength), inflated);
    out.insert(out.end(), inflated.begin(), inflated.end());
  } else {
    return TVlStatus::Unsupported("compression not handled by the test helper");
  }
  const std::uint32_t spp = page.planar == 2 ? 1 : page.samplesPerPixel;
  for (std::size_t at = start; at + std::size_t(rowLength) <= out.size(); at += std::size_t(rowLength)) {
    std::uint8_t* row = out.data() + at;
    if (page.bitsPerSample == 16 && !page.littleEndian)
      SwapBytes16(row, std::size_t(rowLength) / 2);
    if (page.predictor == 2 && HorizontalPredictorApplies(std::int32_t(page.compression)))
      (void)UndoHorizontalPredictor(row, std::int32_t(page.width), std::int32_t(spp), std::int32_t(page.bitsPerSample));
  }
  return status;
}

// CRC-32 of every strip decoded in order (the value tests/fixtures/lzw/strip_crc.py prints).
inline TVlStatus DecodeTestPageCrc(const TTestStripPage& page, std::uint32_t& crc, std::size_t& bytes) {
  std::vector<std::uint8_t> all;
  for (std::size_t s = 0; s < page.strips.size() && s < page.StripsPerPlane() * page.Planes(); ++s)
    VL_TRY(DecodeTestStrip(page, s, all));
  crc = std::uint32_t(crc32(0, all.data(), uInt(all.size())));
  bytes = all.size();
  return TVlStatus::Ok();
}
