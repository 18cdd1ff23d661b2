// Rotate: exact turns by format, the three-shear path, the nearest-neighbour paths, background
// and alpha handling.
#include "proc/rotate.h"

#include <gtest/gtest.h>

#include <cmath>

#include "proc/proc.h"
#include "proc/turns.h"
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

}  // namespace

TEST(Rotate, PageTurnsAreExactForEveryPageFormat) {
  // The shell's angles (and the equivalent ones a 24-bit page reduces) are exact pixel moves.
  struct Case {
    double angle;
    int turns;  // 0: unchanged
  };
  const Case common[] = {{90, 1}, {-90, -1}, {270, -1}, {180, 2}, {-180, 2}};
  const Case rgbOnly[] = {{-270, 1}, {450, 1}, {360, 0}, {-360, 0}, {720, 0}};
  for (TVlPixelFormat f : {vl1g, vl8g, vl24RGB, vl16g, vl8p})
    for (int W : {1, 7, 10, 13, 33}) {
      std::vector<Case> cases(std::begin(common), std::end(common));
      if (f == vl24RGB)
        cases.insert(cases.end(), std::begin(rgbOnly), std::end(rgbOnly));
      for (const Case& c : cases) {
        Page p(W, 4, f, unsigned(W));
        TVlBitmap expect;
        Copy(expect, p.view.image);
        ASSERT_TRUE(VlTurn(expect, c.turns).ok());
        p.proc.Rotate(true, -1, c.angle);
        EXPECT_TRUE(SamePixels(p.view.image, expect)) << VlPixelFormatName(f) << " width " << W << " angle " << c.angle;
        EXPECT_EQ(p.proc.UndoDepth(), W >= 2 ? 1 : 0);
      }
    }
}

TEST(Rotate, EightBitQuarterTurnKeepsEveryRowAndColumn) {
  // A 10 x 4 gray image turned left becomes 4 x 10 with no row or column lost.
  Page p(10, 4, vl8g, 9);
  TVlBitmap src;
  Copy(src, p.view.image);
  p.proc.Rotate(true, -1, 90);
  ASSERT_EQ(p.view.image.Width(), 4);
  ASSERT_EQ(p.view.image.Height(), 10);
  for (int k = 0; k < 10; ++k)
    for (int j = 0; j < 4; ++j) ASSERT_EQ(Px(p.view.image, j, k), Px(src, 9 - k, j)) << j << "," << k;
}

TEST(Rotate, TurnThereAndBackRestoresPages) {
  for (TVlPixelFormat f : {vl1g, vl8g, vl24RGB})
    for (int W : {8, 9, 31, 33}) {
      Page p(W, 21, f, 4);
      TVlBitmap src;
      Copy(src, p.view.image);
      p.proc.Rotate(true, -1, 90);
      p.proc.Rotate(true, -1, -90);
      EXPECT_TRUE(SamePixels(p.view.image, src)) << VlPixelFormatName(f) << " " << W;
      p.proc.Rotate(true, -1, 180);
      p.proc.Rotate(true, -1, 180);
      EXPECT_TRUE(SamePixels(p.view.image, src)) << VlPixelFormatName(f) << " " << W;
    }
}

TEST(Rotate, ZeroAngleDoesNothingAtAll) {
  Page p(5, 5, vl24RGB);
  int finished = 0;
  p.proc.OnFinishWork = [&](TVlProc&) { ++finished; };
  p.proc.Rotate(true, -1, 0);
  EXPECT_EQ(p.proc.UndoDepth(), 0);
  EXPECT_EQ(finished, 0);
  EXPECT_EQ(p.view.refreshCount, 0);
  // A full turn of a 24-bit page reduces to 0: unchanged, but recorded.
  TVlBitmap src;
  Copy(src, p.view.image);
  p.proc.Rotate(true, -1, 360);
  EXPECT_TRUE(SamePixels(p.view.image, src));
  EXPECT_EQ(p.proc.UndoDepth(), 1);
  EXPECT_EQ(p.proc.UndoCaption(), "Rotate 360");
  EXPECT_EQ(finished, 1);
}

TEST(Rotate, ShearSizesFollowTheRoundedShears) {
  // 100 x 50 by 10 degrees: W1 = 105, dY = 1, H2 = 69 -> 67, dX = 2, W3 = 108.
  TVlBitmap img;
  MakeImage(img, 100, 50, vl24RGB, 2);
  ASSERT_TRUE(VlRotate(img, true, clBlack, 10).ok());
  EXPECT_EQ(img.Width(), 108);
  EXPECT_EQ(img.Height(), 67);
  // The angle counts in thousandths of a degree.
  TVlBitmap a, b;
  MakeImage(a, 40, 30, vl24RGB, 3);
  Copy(b, a);
  ASSERT_TRUE(VlRotate(a, true, clBlack, 10.0004).ok());
  ASSERT_TRUE(VlRotate(b, true, clBlack, 10.0).ok());
  EXPECT_TRUE(SamePixels(a, b));
}

TEST(Rotate, RgbAnglesBeyond45TurnFirstThenShear) {
  struct Case {
    double angle;
    int turns;
    double shear;
  } cases[] = {{135, 1, 45}, {-45, 0, -45}, {100, 1, 10}, {-100, -1, -10}, {200, 2, 20}};
  for (const auto& c : cases) {
    Page p(23, 17, vl24RGB, 5);
    TVlBitmap expect;
    Copy(expect, p.view.image);
    ASSERT_TRUE(VlTurn(expect, c.turns).ok());
    ASSERT_TRUE(VlShearRotate(expect, true, p.view.background, c.shear).ok());
    p.proc.Rotate(true, -1, c.angle);
    EXPECT_TRUE(SamePixels(p.view.image, expect)) << c.angle;
  }
}

TEST(Rotate, EvenGrayStaysConstantInsideTheShearedPage) {
  TVlBitmap img;
  ASSERT_TRUE(img.AllocateImage(60, 40, vl24RGB).ok());
  FillRGB(img, 200, 100, 50);
  ASSERT_TRUE(VlRotate(img, true, clWhite, 7).ok());
  // The centre region lies well inside the rotated page.
  for (int y = img.Height() / 2 - 8; y < img.Height() / 2 + 8; ++y)
    for (int x = img.Width() / 2 - 15; x < img.Width() / 2 + 15; ++x) {
      TVlRGB c = Rgb(img, x, y);
      ASSERT_EQ(c.r, 200);
      ASSERT_EQ(c.g, 100);
      ASSERT_EQ(c.b, 50);
    }
  // Corners are background.
  TVlRGB corner = Rgb(img, 0, 0);
  EXPECT_EQ(corner, (TVlRGB{255, 255, 255}));
}

TEST(Rotate, AllThreeAlgorithmsTurnTheSameWay) {
  // A bright mark right of the centre of a dark page moves up-right when turned by +30 degrees
  // (counter-clockwise on screen), whichever algorithm runs.
  const int W = 61, H = 41, mx = 50, my = 20;
  const double cx = (W - 1) / 2.0, cy = (H - 1) / 2.0;
  const double th = 30 * 3.14159265358979 / 180;
  const double ex = (mx - cx) * std::cos(th) + (my - cy) * std::sin(th);
  const double ey = -(mx - cx) * std::sin(th) + (my - cy) * std::cos(th);
  for (TVlPixelFormat f : {vl24RGB, vl8g, vl1g}) {
    TVlBitmap img;
    ASSERT_TRUE(img.AllocateImage(W, H, f).ok());
    img.FillImage(0);
    for (int y = my - 1; y <= my + 1; ++y)
      for (int x = mx - 1; x <= mx + 1; ++x) SetPx(img, x, y, f == vl24RGB ? 0xFFFFFF : f == vl8g ? 255 : 1);
    ASSERT_TRUE(VlRotate(img, false, clBlack, 30).ok());
    double sx = 0, sy = 0, n = 0;
    for (int y = 0; y < img.Height(); ++y)
      for (int x = 0; x < img.Width(); ++x)
        if (Px(img, x, y) != 0)
          sx += x, sy += y, n += 1;
    ASSERT_GT(n, 0) << VlPixelFormatName(f);
    const double gx = sx / n - (img.Width() - 1) / 2.0, gy = sy / n - (img.Height() - 1) / 2.0;
    EXPECT_NEAR(gx, ex, 2.5) << VlPixelFormatName(f);
    EXPECT_NEAR(gy, ey, 2.5) << VlPixelFormatName(f);
  }
}

TEST(Rotate, OneBitCornersTakeTheBackgroundBit) {
  struct Case {
    TVlColor bg;
    bool white;
  } cases[] = {{VlColor(160, 160, 164), true}, {clBlack, false}, {VlColor(255, 0, 255), false}, {clWhite, true}};
  for (const auto& c : cases) {
    Page p(40, 30, vl1g);
    p.view.image.FillImage(0);  // black page
    p.view.background = c.bg;
    p.proc.Rotate(true, -1, 30);
    EXPECT_EQ(Px(p.view.image, 0, 0), c.white ? 1u : 0u) << std::hex << c.bg;
    EXPECT_EQ(Px(p.view.image, p.view.image.Width() / 2, p.view.image.Height() / 2), 0u);
  }
  // A full turn of a 1-bit page is not reduced: it goes through the nearest-neighbour path,
  // which keeps the size.
  Page p(21, 12, vl1g);
  p.proc.Rotate(true, -1, 360);
  EXPECT_EQ(p.view.image.Width(), 21);
  EXPECT_EQ(p.view.image.Height(), 12);
}

TEST(Rotate, AlphaPlaneIsRotatedWithTransparentCorners) {
  for (TVlPixelFormat f : {vl24RGB, vl1g, vl8g}) {
    TVlBitmap img;
    MakeImage(img, 30, 20, f, 8);
    img.AlphaChannel()->FillImage(255);
    ASSERT_TRUE(VlRotate(img, true, clWhite, 20).ok());
    ASSERT_TRUE(img.HasAlpha()) << VlPixelFormatName(f);
    TVlBitmap* a = img.AlphaChannel();
    ASSERT_EQ(a->Width(), img.Width());
    ASSERT_EQ(a->Height(), img.Height());
    EXPECT_EQ(a->RowPointer(0)[0], 0) << VlPixelFormatName(f);
    EXPECT_EQ(a->RowPointer(img.Height() / 2)[img.Width() / 2], 255) << VlPixelFormatName(f);
  }
}

TEST(Rotate, TinyImagesNeverBecomeEmpty) {
  for (TVlPixelFormat f : {vl1g, vl8g, vl24RGB})
    for (double angle : {0.001, 1.0, 44.9, 89.99, -30.0, 1000.5}) {
      TVlBitmap img;
      MakeImage(img, 1, 1, f, 1);
      ASSERT_TRUE(VlRotate(img, true, clWhite, angle).ok());
      EXPECT_GE(img.Width(), 1);
      EXPECT_GE(img.Height(), 1);
    }
}

TEST(Rotate, CaptionUsesTheShortestDecimal) {
  EXPECT_EQ(VlShortestDecimal(90), "90");
  EXPECT_EQ(VlShortestDecimal(-90), "-90");
  EXPECT_EQ(VlShortestDecimal(-0.5), "-0.5");
  EXPECT_EQ(VlShortestDecimal(2.25), "2.25");
  Page p(4, 4, vl1g);
  p.proc.Rotate(true, -1, -2.5);
  EXPECT_EQ(p.proc.UndoCaption(), "Rotate -2.5");
}
