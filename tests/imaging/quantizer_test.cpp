#include "imaging/quantizer.h"

#include <gtest/gtest.h>

#include <random>

TEST(Quantizer, TwoColoursStayExactAndLeaveTheRest) {
  TVlBitmap b(8, 4, vl24RGB);
  b.FillImage(VlColor(10, 20, 30));
  b.FillArea(2, 1, 5, 2, VlColor(200, 100, 0));
  TVlRGB pal[16];
  for (auto& p : pal)
    p = {7, 7, 7};
  TVlQuantizer q(b, 0, -1, 16, pal);
  EXPECT_FALSE(q.isGray());
  EXPECT_EQ(pal[0], (TVlRGB{30, 20, 10}));
  EXPECT_EQ(pal[1], (TVlRGB{0, 100, 200}));
  EXPECT_EQ(pal[2], (TVlRGB{7, 7, 7}));
  EXPECT_EQ(q.MapColour({0, 100, 200}), 1);
  EXPECT_EQ(q.MapColour({1, 1, 1}), -1);
}

TEST(Quantizer, GrayRamp) {
  TVlBitmap b(2, 1, vl24RGB);
  b.FillImage(VlColor(255, 255, 255));
  b.FillArea(1, 0, 1, 0, VlColor(15, 15, 15));
  TVlRGB pal[16];
  TVlQuantizer q(b, 0, -1, 16, pal);
  EXPECT_TRUE(q.isGray());
  for (int i = 0; i < 16; ++i)
    EXPECT_EQ(pal[i].r, 16 * i);
  EXPECT_EQ(q.MapColour({255, 255, 255}), 15);
  EXPECT_EQ(q.MapColour({15, 15, 15}), 0);
}

TEST(Quantizer, OneBinGivesOneEntry) {
  // More than 16 colours, all inside one 5-bit bin per channel: box 0 is never split.
  TVlBitmap b(8, 8, vl24RGB);
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x) {
      std::uint8_t* p = b.RowPointer(y) + 3 * x;
      p[0] = std::uint8_t(16 + (x & 7));
      p[1] = std::uint8_t(64 + (y & 7));
      p[2] = std::uint8_t(248 + ((x + y) & 7));
    }
  TVlRGB pal[16] = {};
  TVlQuantizer q(b, 0, -1, 16, pal);
  EXPECT_EQ(q.Method(), 1);
  EXPECT_EQ(pal[0], (TVlRGB{16, 64, 248}));
  EXPECT_EQ(pal[1], (TVlRGB{}));
  EXPECT_EQ(q.MapColour({20, 66, 250}), 0);
}

TEST(Quantizer, PhotographUsesBoxesOrNetwork) {
  TVlBitmap b(64, 48, vl24RGB);
  std::mt19937 rng(5);
  for (int y = 0; y < 48; ++y)
    for (int x = 0; x < 64; ++x) {
      std::uint8_t* p = b.RowPointer(y) + 3 * x;
      p[0] = std::uint8_t(x * 4), p[1] = std::uint8_t(y * 5), p[2] = std::uint8_t(rng());
    }
  for (int n : {16, 256}) {
    TVlRGB pal[256] = {};
    TVlQuantizer q(b, 0, -1, n, pal);
    EXPECT_EQ(q.Method(), n < 128 ? 1 : 0);
    // Every pixel maps into the palette, and the mapped colour is reasonably close.
    double err = 0;
    for (int y = 0; y < 48; ++y)
      for (int x = 0; x < 64; ++x) {
        const std::uint8_t* p = b.RowPointer(y) + 3 * x;
        int i = q.MapColour({p[0], p[1], p[2]});
        ASSERT_GE(i, 0);
        ASSERT_LT(i, n);
        err += std::abs(pal[i].b - p[0]) + std::abs(pal[i].g - p[1]) + std::abs(pal[i].r - p[2]);
      }
    EXPECT_LT(err / (64 * 48), n == 16 ? 120.0 : 60.0) << n;
  }
}

TEST(Quantizer, TinyImageNetworkStaysInside) {
  // Fewer pixels than the sampling step: the walk must wrap inside the image.
  TVlBitmap b(3, 3, vl24RGB);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 9; ++x)
      b.RowPointer(y)[x] = std::uint8_t(29 * (y * 9 + x));
  TVlRGB pal[200] = {};
  TVlQuantizer q(b, 0, -1, 5, pal);  // 9 distinct colours > 5: boxes
  TVlQuantizer r(b, 0, -1, 128, pal);  // exact (9 colours)
  EXPECT_EQ(r.ExactCount(), 9);
}
