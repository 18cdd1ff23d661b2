// Helpers shared by the processing tests: bitmaps of every format with random pixels, pixel
// access as integers, and comparisons.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "imaging/bitmap.h"
#include "imaging/bitops.h"

namespace proctest {

// Every format of a page or of the conversions.
inline const std::vector<TVlPixelFormat>& AllFormats() {
  static const std::vector<TVlPixelFormat> f = {vl1g, vl8p, vl8g, vl16g, vl24RGB, vl32f, vlCMYK, vlRGB48, vlCIELab};
  return f;
}

// Pixel (x, y) as one integer (its bytes, or its bit).
inline std::uint64_t Px(TVlBitmap& b, int x, int y) {
  const std::uint8_t* r = b.RowPointer(y);
  if (b.PixelFormat() == vl1g)
    return VlGetBit(r, x);
  std::uint64_t v = 0;
  const int n = b.BitsPerPixel() / 8;
  for (int i = 0; i < n; ++i) v = v << 8 | r[std::int64_t(x) * n + i];
  return v;
}

inline void SetPx(TVlBitmap& b, int x, int y, std::uint64_t v) {
  std::uint8_t* r = b.RowPointer(y);
  if (b.PixelFormat() == vl1g) {
    VlSetBit(r, x, v & 1);
    return;
  }
  const int n = b.BitsPerPixel() / 8;
  for (int i = n - 1; i >= 0; --i, v >>= 8) r[std::int64_t(x) * n + i] = std::uint8_t(v);
}

// Random pixel bytes (vl32f gets values in 0..1 so that its rules stay meaningful).
inline void FillRandom(TVlBitmap& b, unsigned seed) {
  std::mt19937 rng(seed);
  for (int y = 0; y < b.Height(); ++y) {
    std::uint8_t* r = b.RowPointer(y);
    if (b.PixelFormat() == vl32f) {
      for (int x = 0; x < b.Width(); ++x) {
        float f = float(rng() % 256) / 255.0f;
        std::memcpy(r + 4 * x, &f, 4);
      }
    } else {
      for (int i = 0; i < b.RowLength(); ++i) r[i] = std::uint8_t(rng());
    }
  }
  if (b.Palette())
    for (int i = 0; i < 256; ++i) b.Palette()[i] = {std::uint8_t(rng()), std::uint8_t(rng()), std::uint8_t(rng())};
}

inline void MakeImage(TVlBitmap& b, int w, int h, TVlPixelFormat f, unsigned seed) {
  ASSERT_TRUE(b.AllocateImage(w, h, f).ok());
  FillRandom(b, seed);
}

// True when both have the same size, format and pixels (and palette for vl8p).
inline ::testing::AssertionResult SamePixels(TVlBitmap& a, TVlBitmap& b) {
  if (a.Width() != b.Width() || a.Height() != b.Height() || a.PixelFormat() != b.PixelFormat())
    return ::testing::AssertionFailure() << "shape " << a.Width() << "x" << a.Height() << " "
                                         << VlPixelFormatName(a.PixelFormat()) << " vs " << b.Width() << "x"
                                         << b.Height() << " " << VlPixelFormatName(b.PixelFormat());
  for (int y = 0; y < a.Height(); ++y)
    for (int x = 0; x < a.Width(); ++x)
      if (Px(a, x, y) != Px(b, x, y))
        return ::testing::AssertionFailure() << "pixel (" << x << ", " << y << ")";
  if (a.Palette() && b.Palette() && std::memcmp(a.Palette(), b.Palette(), 256 * sizeof(TVlRGB)) != 0)
    return ::testing::AssertionFailure() << "palette";
  if (a.HasAlpha() != b.HasAlpha())
    return ::testing::AssertionFailure() << "alpha plane present on one side only";
  if (a.HasAlpha()) {
    TVlBitmap* aa = a.AlphaChannel();
    TVlBitmap* ba = b.AlphaChannel();
    for (int y = 0; y < a.Height(); ++y)
      for (int x = 0; x < a.Width(); ++x)
        if (aa->RowPointer(y)[x] != ba->RowPointer(y)[x])
          return ::testing::AssertionFailure() << "alpha (" << x << ", " << y << ")";
  }
  return ::testing::AssertionSuccess();
}

inline void Copy(TVlBitmap& to, const TVlBitmap& from) {
  ASSERT_TRUE(to.AssignImage(from).ok());
}

// A vl24RGB pixel as r, g, b.
inline TVlRGB Rgb(TVlBitmap& b, int x, int y) {
  const std::uint8_t* p = b.RowPointer(y) + 3 * x;
  return {p[0], p[1], p[2]};
}

inline void FillRGB(TVlBitmap& b, std::uint8_t r, std::uint8_t g, std::uint8_t bl) {
  for (int y = 0; y < b.Height(); ++y) {
    std::uint8_t* p = b.RowPointer(y);
    for (int x = 0; x < b.Width(); ++x, p += 3) p[0] = bl, p[1] = g, p[2] = r;
  }
}

}  // namespace proctest
