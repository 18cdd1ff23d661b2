// Flip, Crop, CropSel, ImageResize, Clear and TrimBorders through the processing object.
#include "proc/canvas.h"

#include <gtest/gtest.h>

#include "proc/proc.h"
#include "proc_test_util.h"

using namespace proctest;

namespace {
struct Page {
  TVlSimpleView view;
  TVlProc proc{&view};
  Page(int w, int h, TVlPixelFormat f, unsigned seed = 1) {
    MakeImage(view.image, w, h, f, seed);
    proc.SetUndoLimit(5);
  }
};

// A gray page with a dark scanner margin on the left and a dark strip at the bottom.
void ScannedPage(TVlBitmap& img, int margin, int bottomStrip) {
  ASSERT_TRUE(img.AllocateImage(80, 60, vl8g).ok());
  for (int y = 0; y < 60; ++y)
    for (int x = 0; x < 80; ++x)
      img.RowPointer(y)[x] = (x < margin || y >= 60 - bottomStrip) ? 10 : std::uint8_t(200 + (x * 7 + y * 3) % 9);
}
}  // namespace

TEST(Canvas, FlipMirrorsEveryColumnOfOddWidths) {
  for (int W : {1, 13, 33}) {
    Page p(W, 5, vl1g, unsigned(W));
    TVlBitmap src;
    Copy(src, p.view.image);
    p.proc.Flip(0);
    for (int y = 0; y < 5; ++y)
      for (int x = 0; x < W; ++x) ASSERT_EQ(Px(p.view.image, W - 1 - x, y), Px(src, x, y));
    p.proc.Flip(1);
    for (int y = 0; y < 5; ++y)
      for (int x = 0; x < W; ++x) ASSERT_EQ(Px(p.view.image, W - 1 - x, 4 - y), Px(src, x, y));
    EXPECT_EQ(p.proc.UndoCaption(), W >= 2 ? "Flip" : "");
    p.proc.Flip(7);  // no such direction
    EXPECT_EQ(p.proc.UndoDepth(), W >= 2 ? 2 : 0);
  }
}

TEST(Canvas, CropCopiesTheInclusiveRectangle) {
  for (TVlPixelFormat f : {vl1g, vl8p, vl8g, vl24RGB, vlRGB48}) {
    Page p(33, 20, f, 2);
    p.view.image.SetAlphaAt(4, 3, 77);
    TVlBitmap src;
    Copy(src, p.view.image);
    p.proc.Crop(3, 2, 15, 9);
    ASSERT_EQ(p.view.image.Width(), 13);
    ASSERT_EQ(p.view.image.Height(), 8);
    for (int y = 0; y < 8; ++y)
      for (int x = 0; x < 13; ++x) ASSERT_EQ(Px(p.view.image, x, y), Px(src, x + 3, y + 2)) << VlPixelFormatName(f);
    EXPECT_EQ(p.view.image.AlphaAt(1, 1), 77);
    EXPECT_EQ(p.proc.UndoCaption(), "Crop");
    if (f == vl8p) {
      EXPECT_EQ(std::memcmp(p.view.image.Palette(), src.Palette(), 256 * sizeof(TVlRGB)), 0);
    }
  }
}

TEST(Canvas, CropOfAnInvertedOrOutsideRectangleDoesNothing) {
  struct Case {
    int l, t, r, b;
  } cases[] = {{10, 0, 5, 9}, {0, 8, 9, 3}, {40, 0, 50, 5}, {-9, -9, -1, -1}};
  for (const auto& c : cases) {
    Page p(20, 10, vl24RGB);
    TVlBitmap src;
    Copy(src, p.view.image);
    p.proc.Crop(c.l, c.t, c.r, c.b);
    EXPECT_TRUE(SamePixels(p.view.image, src));
    EXPECT_EQ(p.proc.UndoDepth(), 0);
  }
  // A rectangle reaching past the image is clipped to it.
  Page p(20, 10, vl8g);
  p.proc.Crop(15, -3, 40, 4);
  EXPECT_EQ(p.view.image.Width(), 5);
  EXPECT_EQ(p.view.image.Height(), 5);
}

TEST(Canvas, CropSelCutsTheSelectionAndFillsOutsideTheMask) {
  Page p(30, 20, vl24RGB, 3);
  TVlBitmap src;
  Copy(src, p.view.image);
  // Without a selection: unchanged, but recorded.
  p.proc.CropSel();
  EXPECT_TRUE(SamePixels(p.view.image, src));
  EXPECT_EQ(p.proc.UndoCaption(), "CropSel");
  // A rectangle is a plain crop.
  p.view.SelectRect(4, 5, 13, 11);
  p.proc.CropSel();
  ASSERT_EQ(p.view.image.Width(), 10);
  ASSERT_EQ(p.view.image.Height(), 7);
  for (int y = 0; y < 7; ++y)
    for (int x = 0; x < 10; ++x) ASSERT_EQ(Px(p.view.image, x, y), Px(src, x + 4, y + 5));
  // A shaped selection: the bounding box, background outside the mask.
  Page q(30, 20, vl24RGB, 3);
  q.view.background = VlColor(1, 2, 3);
  q.view.selection = std::make_unique<TVlMask>();
  ASSERT_TRUE(q.view.selection->Allocate(30, 20, 1).ok());
  q.view.selection->SetPixel(2, 2, 1);
  q.view.selection->SetPixel(6, 4, 1);
  q.proc.CropSel();
  ASSERT_EQ(q.view.image.Width(), 5);
  ASSERT_EQ(q.view.image.Height(), 3);
  EXPECT_EQ(Px(q.view.image, 0, 0), Px(src, 2, 2));
  EXPECT_EQ(Px(q.view.image, 4, 2), Px(src, 6, 4));
  EXPECT_EQ(Rgb(q.view.image, 1, 1), (TVlRGB{3, 2, 1}));
}

TEST(Canvas, ImageResizeAnchorsAndFills) {
  struct Case {
    int w, h, ha, va;
    int dx, dy;  // where source pixel (0, 0) lands (negative: cut away)
  } cases[] = {
      {14, 9, 0, 0, 0, 0}, {14, 9, 1, 1, 2, 2},  {14, 9, 2, 2, 4, 4},   // growing 10 x 5
      {6, 3, 0, 0, 0, 0},  {6, 3, 1, 1, -2, -1}, {6, 3, 2, 2, -4, -2},  // shrinking
  };
  for (const auto& c : cases) {
    Page p(10, 5, vl8g, 4);
    p.view.background = VlColor(50, 50, 50);
    TVlBitmap src;
    Copy(src, p.view.image);
    p.proc.ImageResize(c.w, c.h, c.ha, c.va);
    ASSERT_EQ(p.view.image.Width(), c.w);
    ASSERT_EQ(p.view.image.Height(), c.h);
    EXPECT_EQ(p.proc.UndoCaption(), "ImageResize " + std::to_string(c.w) + "," + std::to_string(c.h));
    for (int y = 0; y < c.h; ++y)
      for (int x = 0; x < c.w; ++x) {
        const int sx = x - c.dx, sy = y - c.dy;
        const bool inside = sx >= 0 && sy >= 0 && sx < 10 && sy < 5;
        ASSERT_EQ(Px(p.view.image, x, y), inside ? Px(src, sx, sy) : 50u) << c.w << "x" << c.h << " a" << c.ha;
      }
  }
  // A zero or negative size does nothing.
  Page p(10, 5, vl8g);
  p.proc.ImageResize(0, 7, 1, 1);
  p.proc.ImageResize(-4, 7, 1, 1);
  EXPECT_EQ(p.view.image.Width(), 10);
  EXPECT_EQ(p.proc.UndoDepth(), 0);
  // A one-pixel image is cleared to the background first.
  Page one(1, 1, vl24RGB);
  one.view.background = VlColor(9, 8, 7);
  one.proc.ImageResize(3, 2, 0, 0);
  EXPECT_EQ(Rgb(one.view.image, 0, 0), (TVlRGB{7, 8, 9}));
}

TEST(Canvas, ClearPaintsTheBackground) {
  Page p(9, 4, vl1g);
  p.proc.Clear();
  for (int x = 0; x < 9; ++x) EXPECT_EQ(Px(p.view.image, x, 3), 1u);  // medium gray is non-zero: white
  EXPECT_EQ(p.proc.UndoCaption(), "Clear");
}

TEST(Canvas, TrimBordersDropsTheScannerMargin) {
  Page p(2, 2, vl8g);
  ScannedPage(p.view.image, 6, 4);
  p.proc.TrimBorders(6);
  EXPECT_EQ(p.view.image.Width(), 80 - 6);
  EXPECT_EQ(p.view.image.Height(), 60 - 4);
  EXPECT_EQ(p.proc.UndoCaption(), "Crop");
  EXPECT_GE(p.view.image.RowPointer(0)[0], 200);
}

TEST(Canvas, TrimBordersKeepsUniformAndAllBlackPages) {
  // Uniform: every column is typical, the full page stays.
  Page u(2, 2, vl24RGB);
  ASSERT_TRUE(u.view.image.AllocateImage(50, 40, vl24RGB).ok());
  FillRGB(u.view.image, 240, 240, 240);
  u.proc.TrimBorders(6);
  EXPECT_EQ(u.view.image.Width(), 50);
  EXPECT_EQ(u.view.image.Height(), 40);
  // All black: the tolerance is 0, no pair is typical and the rectangle comes out inverted;
  // the page must stay as it is.
  Page b(2, 2, vl1g);
  ASSERT_TRUE(b.view.image.AllocateImage(50, 40, vl1g).ok());
  b.view.image.FillImage(0);
  TVlRect r;
  ASSERT_TRUE(VlTrimBordersRect(b.view.image, 6, r));
  EXPECT_TRUE(r.IsEmpty());
  b.proc.TrimBorders(6);
  EXPECT_EQ(b.view.image.Width(), 50);
  EXPECT_EQ(b.view.image.Height(), 40);
  EXPECT_EQ(b.proc.UndoDepth(), 0);
  // A divisor below 1 has no tolerance to compute.
  b.proc.TrimBorders(0);
  EXPECT_EQ(b.proc.UndoDepth(), 0);
}
