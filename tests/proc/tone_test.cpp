// Tone and colour operations: negative, gray, automatic contrast, Floyd-Steinberg, paper
// whitening.
#include "proc/tone.h"

#include <gtest/gtest.h>

#include <cmath>

#include "proc/proc.h"
#include "proc_test_util.h"

using namespace proctest;

namespace {
struct Page {
  TVlSimpleView view;
  TVlProc proc{&view};
  explicit Page(int limit = 5) { proc.SetUndoLimit(limit); }
};

void Gray(TVlBitmap& b, int x, int y, std::uint8_t v) {
  std::uint8_t* p = b.RowPointer(y) + 3 * x;
  p[0] = p[1] = p[2] = v;
}
}  // namespace

TEST(Tone, NegativeTwiceRestoresEveryFormat) {
  for (TVlPixelFormat f : AllFormats())
    for (int W : {1, 7, 9, 33}) {
      Page p;
      MakeImage(p.view.image, W, 5, f, unsigned(W));
      TVlBitmap src;
      Copy(src, p.view.image);
      p.proc.Negative();
      if (f != vl8p && f != vl32f && W > 1) {
        EXPECT_NE(Px(p.view.image, 0, 0), Px(src, 0, 0)) << VlPixelFormatName(f);
      }
      p.proc.Negative();
      if (f == vl32f) {
        // 1 - (1 - v) rounds in single precision: equal to within one unit of the last place.
        for (int x = 0; x < W; ++x) {
          float a, b;
          std::memcpy(&a, p.view.image.RowPointer(4) + 4 * x, 4);
          std::memcpy(&b, src.RowPointer(4) + 4 * x, 4);
          EXPECT_NEAR(a, b, 6e-8);
        }
        continue;
      }
      EXPECT_TRUE(SamePixels(p.view.image, src)) << VlPixelFormatName(f) << " width " << W;
    }
}

TEST(Tone, NegativeOfPageFormats) {
  Page p;
  ASSERT_TRUE(p.view.image.AllocateImage(3, 2, vl24RGB).ok());
  FillRGB(p.view.image, 10, 20, 30);
  p.proc.Negative();
  EXPECT_EQ(Rgb(p.view.image, 2, 1), (TVlRGB{225, 235, 245}));
  EXPECT_EQ(p.proc.UndoCaption(), "Negative");
}

TEST(Tone, ConvertToGrayActsOnRgbOnly) {
  Page p;
  MakeImage(p.view.image, 9, 4, vl1g, 2);
  TVlBitmap src;
  Copy(src, p.view.image);
  p.proc.ConvertToGray();
  EXPECT_TRUE(SamePixels(p.view.image, src));  // a 1-bit page stays 1-bit and unchanged
  EXPECT_EQ(p.proc.UndoCaption(), "ConvertToGray");
  ASSERT_TRUE(p.view.image.AllocateImage(2, 2, vl24RGB).ok());
  FillRGB(p.view.image, 200, 100, 50);
  p.proc.ConvertToGray();
  const std::uint8_t g = std::uint8_t((21 * 200 + 71 * 100 + 8 * 50) / 100);
  EXPECT_EQ(Rgb(p.view.image, 1, 1), (TVlRGB{g, g, g}));
}

TEST(Tone, AutoContrastPoints) {
  // 64 x 64 pixels: limit = min(Round(sqrt(4096)), 4096 div 256) = 16. A level at either end is
  // skipped while its count is below the limit and below a tenth of the peak.
  struct Case {
    int lo, hi, outliers;  // 16 pixels at lo and hi, `outliers` at 0 and 255, the rest at 128
    bool spread;           // the rest spread evenly instead (a low peak)
    int black, white;
  } cases[] = {
      {50, 200, 0, false, 30, 220},  // darkest 50 is held at 30, brightest 200 raised to 220
      {10, 240, 0, false, 10, 240}, {10, 240, 15, false, 10, 240},  // 15 < limit and < peak / 10: skipped
      {10, 240, 16, false, 0, 255},                                 // 16 reaches the limit
      {10, 240, 15, true, 0, 255},                                  // the peak is low: 15 is not below a tenth of it
  };
  for (const auto& c : cases) {
    TVlHistogram h;
    h.luma[c.lo] = 16;
    h.luma[c.hi] = 16;
    h.luma[0] += c.outliers;
    h.luma[255] += c.outliers;
    const std::int64_t rest = 4096 - 32 - 2 * c.outliers;
    if (c.spread)
      for (int i = 0; i < rest; ++i) ++h.luma[c.lo + 1 + i % (c.hi - c.lo - 1)];
    else
      h.luma[128] += rest;
    int black, white;
    VlAutoContrastPoints(h, 64 * 64, black, white);
    EXPECT_EQ(black, c.black) << c.lo << ".." << c.hi << " +" << c.outliers;
    EXPECT_EQ(white, c.white) << c.lo << ".." << c.hi << " +" << c.outliers;
  }
}

TEST(Tone, AutoContrastStretchesAPage) {
  Page p;
  ASSERT_TRUE(p.view.image.AllocateImage(64, 64, vl24RGB).ok());
  for (int y = 0; y < 64; ++y)
    for (int x = 0; x < 64; ++x) Gray(p.view.image, x, y, std::uint8_t(50 + (x + 64 * y) % 151));  // levels 50 .. 200
  p.proc.AutoContrast();
  EXPECT_EQ(p.proc.UndoCaption(), "HistEqualize");
  // Black point 30, white point 220: 100 -> stretch Round(70 / 225 * 255) = 79 -> Round(79 / 220 * 255) = 92.
  Gray(p.view.image, 0, 0, 100);
  Page q;
  ASSERT_TRUE(q.view.image.AllocateImage(1, 1, vl24RGB).ok());
  Gray(q.view.image, 0, 0, 100);
  ASSERT_TRUE(VlHistEqualize(q.view.image, {30, 30, 30}, {220, 220, 220}));
  EXPECT_EQ(Rgb(q.view.image, 0, 0).r, 92);
  // A 1-bit page becomes 24-bit, and the undo state is already the converted page.
  Page b;
  MakeImage(b.view.image, 20, 20, vl1g, 3);
  b.proc.AutoContrast();
  EXPECT_EQ(b.view.image.PixelFormat(), vl24RGB);
  b.proc.ApplyUndo(0);
  EXPECT_EQ(b.view.image.PixelFormat(), vl24RGB);
}

TEST(Tone, HistEqualizeIdentityAndEqualPoints) {
  TVlBitmap img, src;
  MakeImage(img, 17, 5, vl24RGB, 4);
  Copy(src, img);
  ASSERT_TRUE(VlHistEqualize(img, {0, 0, 0}, {255, 255, 255}));
  EXPECT_TRUE(SamePixels(img, src));
  EXPECT_FALSE(VlHistEqualize(img, {7, 8, 9}, {7, 8, 9}));
  EXPECT_TRUE(SamePixels(img, src));
}

TEST(Tone, HistogramCountsTheSelection) {
  Page p;
  ASSERT_TRUE(p.view.image.AllocateImage(10, 10, vl24RGB).ok());
  FillRGB(p.view.image, 10, 20, 30);
  Gray(p.view.image, 2, 2, 200);
  p.view.SelectRect(1, 1, 3, 3);
  TVlHistogram h;
  p.proc.ComputeChannelHistogram(h);
  EXPECT_EQ(h.red[200], 1);
  EXPECT_EQ(h.red[10], 8);
  EXPECT_EQ(h.blue[30], 8);
  EXPECT_EQ(h.luma[200], 1);
  EXPECT_EQ(p.proc.UndoDepth(), 0);  // reading records nothing
}

TEST(Tone, FloydSteinbergDiffusesSerpentine) {
  struct Case {
    int W, H;
    std::vector<int> gray;  // row-major input
    std::vector<int> bits;  // expected output
  } cases[] = {
      {2, 1, {255, 255}, {1, 1}},
      {2, 1, {0, 0}, {0, 0}},
      {4, 2, {128, 128, 128, 128, 128, 128, 128, 128}, {1, 0, 1, 0, 0, 1, 0, 1}},
      // The third row shows the scan direction: scanned left to right it would be 1 1 0 1 0.
      {5,
       3,
       {100, 150, 200, 250, 30, 60, 120, 180, 240, 10, 128, 128, 128, 128, 128},
       {0, 1, 1, 1, 0, 0, 0, 1, 1, 0, 1, 0, 1, 0, 1}},
  };
  for (const auto& c : cases) {
    Page p;
    ASSERT_TRUE(p.view.image.AllocateImage(c.W, c.H, vl24RGB).ok());
    for (int i = 0; i < c.W * c.H; ++i) Gray(p.view.image, i % c.W, i / c.W, std::uint8_t(c.gray[size_t(i)]));
    p.proc.ConvertToBW_FloyedSteinberg();
    ASSERT_EQ(p.view.image.PixelFormat(), vl1g);
    for (int i = 0; i < c.W * c.H; ++i)
      EXPECT_EQ(Px(p.view.image, i % c.W, i / c.W), std::uint64_t(c.bits[size_t(i)])) << c.W << "x" << c.H << " #" << i;
  }
  // A 1-bit page: converted to 24-bit first, recorded so, and dithered back.
  Page b;
  MakeImage(b.view.image, 16, 8, vl1g, 5);
  TVlBitmap src;
  Copy(src, b.view.image);
  b.proc.ConvertToBW_FloyedSteinberg();
  EXPECT_TRUE(SamePixels(b.view.image, src));
  b.proc.ApplyUndo(0);
  EXPECT_EQ(b.view.image.PixelFormat(), vl24RGB);
  EXPECT_EQ(b.proc.UndoCaption(), "ConvertToBW_FloyedSteinberg");
}

TEST(Tone, WhiteBalanceScalesByThePaperColour) {
  EXPECT_TRUE(VlIsPaper(240, 235, 230));   // saturation 0.25, lightness 0.92, hue 0.083
  EXPECT_FALSE(VlIsPaper(240, 230, 220));  // saturation 0.4
  EXPECT_FALSE(VlIsPaper(150, 150, 150));  // too dark
  EXPECT_TRUE(VlIsPaper(210, 200, 190));   // hue 0.083
  EXPECT_FALSE(VlIsPaper(210, 193, 190));  // hue 0.025 lies in a skipped band
  Page p;
  ASSERT_TRUE(p.view.image.AllocateImage(20, 10, vl24RGB).ok());
  FillRGB(p.view.image, 240, 235, 230);
  std::uint8_t* ink = p.view.image.RowPointer(5) + 3 * 5;
  ink[0] = 40, ink[1] = 50, ink[2] = 60;  // ink: not paper, scaled all the same
  p.proc.WhiteBalance_AutoWhite();
  EXPECT_EQ(Rgb(p.view.image, 0, 0), (TVlRGB{255, 255, 255}));
  const TVlRGB i = Rgb(p.view.image, 5, 5);
  EXPECT_EQ(i.r, 60 * 255 / 240);
  EXPECT_EQ(i.g, 50 * 255 / 235);
  EXPECT_EQ(i.b, 40 * 255 / 230);
  // No paper pixel: unchanged.
  Page q;
  ASSERT_TRUE(q.view.image.AllocateImage(6, 6, vl24RGB).ok());
  FillRGB(q.view.image, 240, 230, 220);
  q.proc.WhiteBalance_AutoWhite();
  EXPECT_EQ(Rgb(q.view.image, 3, 3), (TVlRGB{220, 230, 240}));
}
