// TVlQuantizer: reduces an image to a palette of at most N colours and maps each of its colours
// to a palette index.
//
// Gray and paletted images get a direct palette; a 24-bit image with at most N distinct colours
// gets them exactly (in order of first appearance); otherwise a box-splitting median cut over a
// 32x32x32 histogram (N < 128) or a self-organising neural-network quantizer (N >= 128) builds
// the palette. One object serves one conversion or one write.
#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "imaging/bitmap.h"

class TVlQuantizer {
 public:
  // Builds the palette for `image` into palette[0 .. n-1]; entries the chosen way does not fill
  // keep their previous contents. `method` and `quality` are accepted for the callers' sake
  // (the method follows from the image and n).
  TVlQuantizer(TVlBitmap& image, int method, int quality, int n, TVlRGB* palette);
  ~TVlQuantizer();
  TVlQuantizer(const TVlQuantizer&) = delete;
  TVlQuantizer& operator=(const TVlQuantizer&) = delete;

  // Palette index for a colour of the image (-1 for a colour outside an exact palette).
  std::int32_t MapColour(TVlRGB c) const;
  bool isGray() const { return isGray_; }
  int Method() const { return method_; }
  // Number of entries of the exact palette (0 when none).
  int ExactCount() const { return static_cast<int>(exact_.size()); }

  struct BoxState;
  struct NeuralState;

 private:
  TVlBitmap& image_;
  int method_ = 0;
  int n_ = 0;
  bool isGray_ = false;
  bool hasExact_ = false;
  std::vector<TVlRGB> exact_;
  std::unordered_map<std::uint32_t, int> exactIndex_;
  std::unique_ptr<BoxState> box_;
  std::unique_ptr<NeuralState> neural_;
};

// Every palette entry in use (vl8p) or every pixel (vl24RGB) has equal components; other formats: true.
bool IsAllGray(TVlBitmap& image);
