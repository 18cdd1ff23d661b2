#include "imaging/geometry.h"

#include <gtest/gtest.h>

#include <random>

#include "imaging/bitops.h"

namespace {
// Pixel value as one integer, for every format.
std::uint64_t Px(TVlBitmap& b, int x, int y) {
  const std::uint8_t* r = b.RowPointer(y);
  if (b.PixelFormat() == vl1g)
    return VlGetBit(r, x);
  std::uint64_t v = 0;
  int n = b.BitsPerPixel() / 8;
  for (int i = 0; i < n; ++i)
    v = v << 8 | r[x * n + i];
  return v;
}
void Fill(TVlBitmap& b, unsigned seed) {
  std::mt19937 rng(seed);
  for (int y = 0; y < b.Height(); ++y)
    for (int i = 0; i < b.RowLength(); ++i)
      b.RowPointer(y)[i] = std::uint8_t(rng());
}
}  // namespace

TEST(Geometry, OrientationMapsEveryPixel) {
  // Where the stored pixel (x, y) of a W x H image ends up after correction.
  struct Case {
    int orientation;
    bool swap;
  } cases[] = {{1, false}, {2, false}, {3, false}, {4, false}, {5, true}, {6, true}, {7, true}, {8, true}};
  for (TVlPixelFormat f : {vl1g, vl8g, vl24RGB, vl16g, vlRGB48}) {
    for (const auto& c : cases) {
      const int W = 9, H = 4;
      TVlBitmap src(W, H, f), img(W, H, f);
      Fill(src, 3);
      ASSERT_TRUE(img.AssignImage(src).ok());
      ASSERT_TRUE(ApplyOrientation(img, c.orientation).ok());
      ASSERT_EQ(img.Width(), c.swap ? H : W);
      for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
          int nx, ny;
          switch (c.orientation) {
            case 2: nx = W - 1 - x, ny = y; break;
            case 3: nx = W - 1 - x, ny = H - 1 - y; break;
            case 4: nx = x, ny = H - 1 - y; break;
            case 5: nx = y, ny = x; break;                  // transpose
            case 6: nx = H - 1 - y, ny = x; break;          // 90 clockwise
            case 7: nx = H - 1 - y, ny = W - 1 - x; break;  // transverse
            case 8: nx = y, ny = W - 1 - x; break;          // 90 counter-clockwise
            default: nx = x, ny = y;
          }
          ASSERT_EQ(Px(img, nx, ny), Px(src, x, y)) << VlPixelFormatName(f) << " o" << c.orientation;
        }
    }
  }
}

TEST(Geometry, FourQuarterTurnsAndTwoFlipsRestore) {
  for (int w : {1, 7, 8, 9, 13, 31, 32, 33}) {
    TVlBitmap src(w, 5, vl1g), img(w, 5, vl1g);
    Fill(src, unsigned(w));
    ASSERT_TRUE(img.AssignImage(src).ok());
    img.AlphaChannel()->RowPointer(0)[0] = 7;
    for (int i = 0; i < 4; ++i)
      ASSERT_TRUE(VlRotateQuarter(img, 1).ok());
    ASSERT_TRUE(VlFlip(img, true).ok());
    ASSERT_TRUE(VlFlip(img, true).ok());
    ASSERT_EQ(img.Width(), w);
    for (int y = 0; y < 5; ++y)
      for (int x = 0; x < w; ++x)
        ASSERT_EQ(Px(img, x, y), Px(src, x, y)) << w;
    EXPECT_EQ(img.AlphaAt(0, 0), 7);
  }
}
