// Synthetic DNG files for the camera raw tests and the fuzz seeds (the public corpus holds
// no raw files).
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

// A little-endian TIFF writer just good enough for a DNG: an IFD0 that is either the raw CFA
// image itself or an 8-bit RGB preview with the raw image in a SubIFD.
class DngBuilder {
 public:
  std::int32_t width = 64, height = 48;
  std::uint16_t level = 20000;  // every CFA sample
  bool withPreview = false;
  std::int32_t previewWidth = 16, previewHeight = 12;
  std::vector<std::uint8_t> jpegPreview;  // when set, the preview is this JPEG stream

  std::vector<std::uint8_t> Build() {
    out_.assign({'I', 'I', 42, 0, 0, 0, 0, 0});
    // Pixel data first, then the directories.
    const std::uint32_t rawOffset = Here();
    for (std::int32_t i = 0; i < width * height; ++i)
      U16(level);
    std::uint32_t previewOffset = 0;
    if (withPreview) {
      previewOffset = Here();
      if (!jpegPreview.empty())
        out_.insert(out_.end(), jpegPreview.begin(), jpegPreview.end());
      else
        for (std::int32_t i = 0; i < previewWidth * previewHeight; ++i)
          out_.insert(out_.end(), {200, 100, 50});
    }
    const std::uint32_t make = Text("Vellumo"), model = Text("Synthetic"), unique = Text("Vellumo Synthetic");
    const std::uint32_t matrix = Here();
    for (int i = 0; i < 9; ++i) {
      U32(i % 4 == 0 ? 1 : 0);
      U32(1);
    }
    Align();
    std::uint32_t rawIfd = 0;
    if (withPreview) {
      rawIfd = RawIfd(rawOffset, 0, 0, 0, 0);
      Patch(4, Ifd0Preview(previewOffset, make, model, unique, matrix, rawIfd));
    } else {
      Patch(4, RawIfd(rawOffset, make, model, unique, matrix));
    }
    return out_;
  }

 private:
  struct Entry {
    std::uint16_t tag, type;
    std::uint32_t count, value;
  };
  std::uint32_t Here() const { return static_cast<std::uint32_t>(out_.size()); }
  void U16(std::uint16_t v) { out_.insert(out_.end(), {std::uint8_t(v), std::uint8_t(v >> 8)}); }
  void U32(std::uint32_t v) {
    out_.insert(out_.end(), {std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16), std::uint8_t(v >> 24)});
  }
  void Align() {
    while (out_.size() % 4)
      out_.push_back(0);
  }
  std::uint32_t Text(const char* s) {
    Align();
    const std::uint32_t at = Here();
    out_.insert(out_.end(), s, s + std::strlen(s) + 1);
    return at;
  }
  void Patch(std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
      out_[at + i] = std::uint8_t(v >> (8 * i));
  }
  std::uint32_t WriteIfd(std::vector<Entry> e) {
    Align();
    const std::uint32_t at = Here();
    U16(static_cast<std::uint16_t>(e.size()));
    for (const Entry& x : e) {
      U16(x.tag);
      U16(x.type);
      U32(x.count);
      U32(x.value);
    }
    U32(0);
    return at;
  }
  std::uint32_t TextLen(std::uint32_t at) const {
    std::uint32_t n = 0;
    while (out_[at + n])
      ++n;
    return n + 1;
  }
  // SHORT = 3, LONG = 4, BYTE = 1, ASCII = 2, SRATIONAL = 10.
  std::uint32_t RawIfd(std::uint32_t data, std::uint32_t make, std::uint32_t model, std::uint32_t unique,
                       std::uint32_t matrix) {
    std::vector<Entry> e = {
        {254, 4, 1, 0},
        {256, 4, 1, static_cast<std::uint32_t>(width)},
        {257, 4, 1, static_cast<std::uint32_t>(height)},
        {258, 3, 1, 16},
        {259, 3, 1, 1},
        {262, 3, 1, 32803},
    };
    if (make)
      e.push_back({271, 2, TextLen(make), make}), e.push_back({272, 2, TextLen(model), model});
    e.push_back({273, 4, 1, data});
    e.push_back({277, 3, 1, 1});
    e.push_back({278, 4, 1, static_cast<std::uint32_t>(height)});
    e.push_back({279, 4, 1, static_cast<std::uint32_t>(width * height * 2)});
    e.push_back({284, 3, 1, 1});
    e.push_back({33421, 3, 2, 2 | 2u << 16});
    e.push_back({33422, 1, 4, 0x02010100});  // R G / G B
    if (make) {
      e.push_back({50706, 1, 4, 0x00000401});  // DNG 1.4.0.0
      e.push_back({50708, 2, TextLen(unique), unique});
    }
    e.push_back({50717, 4, 1, 65535});
    if (make) {
      e.push_back({50721, 10, 9, matrix});
      e.push_back({50778, 3, 1, 21});
    }
    return WriteIfd(e);
  }
  std::uint32_t Ifd0Preview(std::uint32_t data, std::uint32_t make, std::uint32_t model, std::uint32_t unique,
                            std::uint32_t matrix, std::uint32_t sub) {
    Align();
    const std::uint32_t bps = Here();
    U16(8), U16(8), U16(8);
    const bool jpeg = !jpegPreview.empty();
    const std::uint32_t bytes =
        jpeg ? static_cast<std::uint32_t>(jpegPreview.size()) : static_cast<std::uint32_t>(previewWidth * previewHeight * 3);
    return WriteIfd({
        {254, 4, 1, 1},
        {256, 4, 1, static_cast<std::uint32_t>(previewWidth)},
        {257, 4, 1, static_cast<std::uint32_t>(previewHeight)},
        {258, 3, 3, bps},
        {259, 3, 1, jpeg ? 7u : 1u},
        {262, 3, 1, jpeg ? 6u : 2u},
        {271, 2, TextLen(make), make},
        {272, 2, TextLen(model), model},
        {273, 4, 1, data},
        {277, 3, 1, 3},
        {278, 4, 1, static_cast<std::uint32_t>(previewHeight)},
        {279, 4, 1, bytes},
        {284, 3, 1, 1},
        {330, 4, 1, sub},
        {50706, 1, 4, 0x00000401},
        {50708, 2, TextLen(unique), unique},
        {50721, 10, 9, matrix},
        {50778, 3, 1, 21},
    });
  }
  std::vector<std::uint8_t> out_;
};
