// Blur and edge-guided sharpening.
#include <gtest/gtest.h>

#include "proc/blur.h"
#include "proc/proc.h"
#include "proc/sharpen.h"
#include "proc_test_util.h"

using namespace proctest;

TEST(Blur, KernelTapsAndWeights) {
  struct Case {
    double radius;
    int taps;
  } cases[] = {{1, 4}, {4, 17}, {20, 79}, {0.1, 1}, {1000, 100}};
  for (const auto& c : cases) {
    TVlBlurKernel k;
    ASSERT_TRUE(VlBlurKernel(c.radius, k));
    EXPECT_EQ(k.radius, c.taps) << c.radius;
    std::int64_t sum = 0;
    for (int i = 0; i < 201; ++i) {
      sum += k.weight[i];
      EXPECT_EQ(k.weight[i], k.weight[200 - i]);
    }
    EXPECT_NEAR(double(sum), 65536, 101) << c.radius;
  }
  TVlBlurKernel k;
  EXPECT_FALSE(VlBlurKernel(0, k));
  EXPECT_FALSE(VlBlurKernel(-1, k));
}

TEST(Blur, ConstantStaysConstantAndAnImpulseSpreadsByTheKernel) {
  for (bool avx2 : {true, false}) {
    VlBlurAllowAvx2() = avx2;
    for (int value : {0, 1, 128, 254, 255})
      for (double r : {1.0, 4.0, 20.0}) {
        TVlBitmap img;
        ASSERT_TRUE(img.AllocateImage(23, 19, vl24RGB).ok());
        FillRGB(img, std::uint8_t(value), std::uint8_t(value), std::uint8_t(value));
        ASSERT_TRUE(VlGaussianBlur(img, r).ok());
        for (int y = 0; y < 19; ++y)
          for (int x = 0; x < 23; ++x) ASSERT_EQ(Rgb(img, x, y).g, value) << r;
      }
    // One white pixel: the row pass gives (32768 + k[d] x 255) >> 16, the column pass weighs
    // that again.
    TVlBlurKernel k;
    ASSERT_TRUE(VlBlurKernel(1, k));
    TVlBitmap img;
    ASSERT_TRUE(img.AllocateImage(21, 21, vl8g).ok());
    img.FillImage(0);
    img.RowPointer(10)[10] = 255;
    ASSERT_TRUE(VlGaussianBlur(img, 1).ok());
    for (int y = 0; y < 21; ++y)
      for (int x = 0; x < 21; ++x) {
        const int dx = x - 10, dy = y - 10;
        const int mid = std::abs(dx) <= 4 ? (32768 + k.weight[100 + dx] * 255) >> 16 : 0;
        const int expect = std::abs(dy) <= 4 ? (32768 + k.weight[100 + dy] * mid) >> 16 : 0;
        ASSERT_EQ(img.RowPointer(y)[x], expect) << x << "," << y << " avx2 " << avx2;
      }
  }
  VlBlurAllowAvx2() = true;
}

TEST(Blur, OperationTurnsOneBitPagesGrayAndRespectsTheSelection) {
  TVlSimpleView view;
  MakeImage(view.image, 30, 20, vl1g, 3);
  TVlProc proc(&view);
  proc.SetUndoLimit(5);
  proc.Blur(1);
  EXPECT_EQ(view.image.PixelFormat(), vl8g);
  EXPECT_EQ(proc.UndoCaption(), "Blur 1");
  proc.Blur(0);
  proc.Blur(-2);
  EXPECT_EQ(proc.UndoDepth(), 1);
  // Only the selected rectangle changes; its edges repeat the rectangle's own pixels.
  TVlSimpleView v2;
  MakeImage(v2.image, 30, 20, vl24RGB, 4);
  TVlBitmap before;
  Copy(before, v2.image);
  v2.SelectRect(5, 5, 14, 9);
  TVlProc p2(&v2);
  p2.Blur(20);
  int changedInside = 0;
  for (int y = 0; y < 20; ++y)
    for (int x = 0; x < 30; ++x) {
      const bool inside = x >= 5 && x <= 14 && y >= 5 && y <= 9;
      if (!inside) {
        ASSERT_EQ(Px(v2.image, x, y), Px(before, x, y));
      } else {
        changedInside += Px(v2.image, x, y) != Px(before, x, y);
      }
    }
  EXPECT_GT(changedInside, 30);
}

TEST(Blur, FileHeldImagesBlurLikeImagesInMemory) {
  TVlBitmap mem, file;
  MakeImage(mem, 40, 30, vl24RGB, 6);
  file.fileThreshold = 0;
  ASSERT_TRUE(file.AssignImage(mem).ok());
  ASSERT_EQ(file.Location(), vlTempFile);
  ASSERT_TRUE(VlGaussianBlur(mem, 4).ok());
  ASSERT_TRUE(VlGaussianBlur(file, 4).ok());
  EXPECT_TRUE(SamePixels(mem, file));
}

namespace {
// A light page (200) with a dark square; `noise` adds a fixed pattern of +-1.
void SquarePage(TVlBitmap& img, int w, int h, bool noise) {
  ASSERT_TRUE(img.AllocateImage(w, h, vl24RGB).ok());
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      int v = (x >= 40 && x < 60 && y >= 30 && y < 50) ? 40 : 200;
      if (noise)
        v += ((x * 7 + y * 13) % 3) - 1;
      std::uint8_t* p = img.RowPointer(y) + 3 * x;
      p[0] = p[1] = p[2] = std::uint8_t(v);
    }
}
}  // namespace

TEST(Sharpen, EdgesFollowTheSquareOnly) {
  // Few edge pixels on a clean page: the high threshold lands at or below zero, and pixels
  // without a zero crossing must still not become edges.
  TVlBitmap img, edges;
  SquarePage(img, 120, 90, false);
  ASSERT_TRUE(VlSharpenEdgeMap(img, 0.035, edges).ok());
  ASSERT_EQ(edges.PixelFormat(), vl1g);
  ASSERT_EQ(edges.Width(), 120);
  int near = 0, far = 0;
  for (int y = 0; y < 90; ++y)
    for (int x = 0; x < 120; ++x) {
      if (Px(edges, x, y))
        continue;  // white: no edge
      const bool closeToSquare = x >= 35 && x < 65 && y >= 25 && y < 55;
      (closeToSquare ? near : far)++;
    }
  EXPECT_GT(near, 40);
  EXPECT_EQ(far, 0);
  // Column 0 and the last row are always white.
  for (int y = 0; y < 90; ++y) EXPECT_EQ(Px(edges, 0, y), 1u);
  for (int x = 0; x < 120; ++x) EXPECT_EQ(Px(edges, x, 89), 1u);
}

TEST(Sharpen, SharpensAtEdgesAndLeavesFlatAreas) {
  TVlSimpleView view;
  SquarePage(view.image, 120, 90, true);
  TVlBitmap before;
  Copy(before, view.image);
  TVlProc proc(&view);
  proc.SetUndoLimit(5);
  proc.AutoSharp(68, 0.035);
  EXPECT_EQ(proc.UndoCaption(), "AutoSharp");
  // Far from the square nothing changes, noise included.
  for (int y = 0; y < 90; ++y)
    for (int x = 0; x < 120; ++x)
      if (x < 20 || x >= 80 || y < 10 || y >= 70) {
        ASSERT_EQ(Px(view.image, x, y), Px(before, x, y)) << x << "," << y;
      }
  // Just outside the square the light side overshoots, just inside the dark side undershoots.
  EXPECT_GT(Rgb(view.image, 38, 40).g, 205);
  EXPECT_LT(Rgb(view.image, 41, 40).g, 35);
  // An image without edges stays as it is.
  TVlSimpleView flat;
  ASSERT_TRUE(flat.image.AllocateImage(50, 40, vl24RGB).ok());
  FillRGB(flat.image, 123, 45, 67);
  TVlBitmap f0;
  Copy(f0, flat.image);
  TVlProc fp(&flat);
  fp.AutoSharp(68, 0.035);
  EXPECT_TRUE(SamePixels(flat.image, f0));
  // A 1-bit page becomes 24-bit.
  TVlSimpleView bits;
  MakeImage(bits.image, 30, 30, vl1g, 2);
  TVlProc bp(&bits);
  bp.AutoSharp(68, 0.035);
  EXPECT_EQ(bits.image.PixelFormat(), vl24RGB);
}

TEST(Sharpen, LongEdgeChainsDoNotExhaustTheStack) {
  // A serpentine line: one 8-connected chain of edge pixels tens of thousands long.
  TVlBitmap img, edges;
  const int W = 700, H = 700;
  ASSERT_TRUE(img.AllocateImage(W, H, vl24RGB).ok());
  FillRGB(img, 230, 230, 230);
  for (int y = 30; y < H - 30; y += 6) {
    for (int x = 30; x < W - 30; ++x) std::memset(img.RowPointer(y) + 3 * x, 20, 3);
    const int x = ((y - 30) / 6) % 2 ? 30 : W - 31;
    for (int yy = y; yy < std::min(y + 6, H - 30); ++yy) std::memset(img.RowPointer(yy) + 3 * x, 20, 3);
  }
  ASSERT_TRUE(VlSharpenEdgeMap(img, 0.035, edges).ok());
  int count = 0;
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) count += Px(edges, x, y) == 0;
  EXPECT_GT(count, 30000);
}
