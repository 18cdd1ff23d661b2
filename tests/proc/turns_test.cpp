// Exact turns and mirrors: pixel maps for every format and awkward widths, in memory and in
// temporary files.
#include "proc/turns.h"

#include <gtest/gtest.h>

#include "proc_test_util.h"

using namespace proctest;

namespace {

const int kWidths[] = {1, 7, 8, 9, 13, 31, 32, 33};
const int kHeights[] = {1, 5, 8, 17};

// Where source pixel (x, y) of a W x H image lands.
struct Map {
  int turns;  // 1 counter-clockwise, -1 clockwise, 2 half
  void operator()(int W, int H, int x, int y, int& nx, int& ny) const {
    switch (turns) {
      case 1:
        nx = y, ny = W - 1 - x;
        break;
      case -1:
        nx = H - 1 - y, ny = x;
        break;
      default:
        nx = W - 1 - x, ny = H - 1 - y;
        break;
    }
  }
};

}  // namespace

TEST(Turns, TransposeMatchesBitByBit) {
  std::mt19937_64 rng(7);
  for (int n = 0; n < 2000; ++n) {
    const std::uint64_t m = rng();
    const std::uint64_t t = VlTranspose8x8(m);
    for (int r = 0; r < 8; ++r)
      for (int c = 0; c < 8; ++c)
        ASSERT_EQ((m >> (63 - (8 * r + c))) & 1, (t >> (63 - (8 * c + r))) & 1) << std::hex << m;
  }
}

TEST(Turns, EveryPixelLandsWhereItShouldForEveryFormat) {
  for (TVlPixelFormat f : AllFormats())
    for (int W : kWidths)
      for (int H : kHeights)
        for (int turns : {1, -1, 2}) {
          TVlBitmap src, img;
          MakeImage(src, W, H, f, unsigned(W * 31 + H));
          Copy(img, src);
          ASSERT_TRUE(VlTurn(img, turns).ok());
          const bool swap = turns != 2;
          ASSERT_EQ(img.Width(), swap ? H : W);
          ASSERT_EQ(img.Height(), swap ? W : H);
          ASSERT_EQ(img.PixelFormat(), f);
          for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x) {
              int nx, ny;
              Map{turns}(W, H, x, y, nx, ny);
              ASSERT_EQ(Px(img, nx, ny), Px(src, x, y))
                  << VlPixelFormatName(f) << " " << W << "x" << H << " turns " << turns << " at " << x << "," << y;
            }
          if (f == vl8p) {
            ASSERT_EQ(std::memcmp(img.Palette(), src.Palette(), 256 * sizeof(TVlRGB)), 0);
          }
        }
}

TEST(Turns, FourQuarterTurnsTwoMirrorsAndBackAndForthRestore) {
  for (TVlPixelFormat f : AllFormats())
    for (int W : kWidths) {
      TVlBitmap src, img;
      MakeImage(src, W, 11, f, unsigned(W));
      // An alpha plane follows every move.
      for (int y = 0; y < 11; ++y)
        for (int x = 0; x < W; ++x) src.SetAlphaAt(x, y, std::uint8_t(x * 7 + y));
      Copy(img, src);
      for (int i = 0; i < 4; ++i) ASSERT_TRUE(VlTurn(img, 1).ok());
      EXPECT_TRUE(SamePixels(img, src)) << VlPixelFormatName(f) << " width " << W << " four turns";
      ASSERT_TRUE(VlTurn(img, 1).ok());
      ASSERT_TRUE(VlTurn(img, -1).ok());
      EXPECT_TRUE(SamePixels(img, src)) << VlPixelFormatName(f) << " width " << W << " turn and back";
      for (bool horizontal : {true, false}) {
        ASSERT_TRUE(VlMirror(img, horizontal).ok());
        ASSERT_TRUE(VlMirror(img, horizontal).ok());
        EXPECT_TRUE(SamePixels(img, src)) << VlPixelFormatName(f) << " width " << W << " mirror twice";
      }
      // A half turn is both mirrors.
      TVlBitmap half;
      Copy(half, src);
      ASSERT_TRUE(VlTurn(half, 2).ok());
      ASSERT_TRUE(VlMirror(img, true).ok());
      ASSERT_TRUE(VlMirror(img, false).ok());
      EXPECT_TRUE(SamePixels(img, half)) << VlPixelFormatName(f) << " width " << W << " half turn";
    }
}

TEST(Turns, MirrorMapsColumnsAndRows) {
  for (TVlPixelFormat f : {vl1g, vl8g, vl24RGB, vlRGB48})
    for (int W : kWidths) {
      TVlBitmap src, h, v;
      MakeImage(src, W, 3, f, 5);
      Copy(h, src);
      Copy(v, src);
      ASSERT_TRUE(VlMirror(h, true).ok());
      ASSERT_TRUE(VlMirror(v, false).ok());
      for (int y = 0; y < 3; ++y)
        for (int x = 0; x < W; ++x) {
          ASSERT_EQ(Px(h, W - 1 - x, y), Px(src, x, y)) << VlPixelFormatName(f) << " " << W;
          ASSERT_EQ(Px(v, x, 2 - y), Px(src, x, y)) << VlPixelFormatName(f) << " " << W;
        }
    }
}

TEST(Turns, OneBitRowsKeepTheirPaddingClear) {
  // Writers copy whole bytes of 1-bit rows; the bits past the width must stay 0.
  for (int W : {1, 7, 9, 13, 33}) {
    TVlBitmap img;
    ASSERT_TRUE(img.AllocateImage(W, 9, vl1g).ok());
    img.FillImage(1);
    for (int y = 0; y < 9; ++y) std::memset(img.RowPointer(y) + (W + 7) / 8, 0, size_t(img.RowLength() - (W + 7) / 8));
    for (int y = 0; y < 9; ++y)  // clear the padding bits of the last byte
      if (W % 8)
        img.RowPointer(y)[W / 8] &= std::uint8_t(0xFF << (8 - W % 8));
    for (int turns : {1, 2, -1}) {
      TVlBitmap t;
      Copy(t, img);
      ASSERT_TRUE(VlTurn(t, turns).ok());
      ASSERT_TRUE(VlMirror(t, true).ok());
      for (int y = 0; y < t.Height(); ++y) {
        const std::uint8_t* r = t.RowPointer(y);
        for (int x = t.Width(); x < t.RowLength() * 8; ++x)
          ASSERT_FALSE(VlGetBit(r, x)) << "width " << W << " turns " << turns << " row " << y << " bit " << x;
      }
    }
  }
}

TEST(Turns, FileHeldImagesTurnBandByBand) {
  // Images in temporary files, with a band budget so small that the destination needs many bands.
  const std::int64_t saved = VlTurnBandBudget();
  VlTurnBandBudget() = 64;
  for (TVlPixelFormat f : {vl1g, vl8g, vl24RGB}) {
    TVlBitmap mem, file;
    MakeImage(mem, 45, 37, f, 3);
    file.fileThreshold = 0;
    ASSERT_TRUE(file.AssignImage(mem).ok());
    ASSERT_EQ(file.Location(), vlTempFile);
    for (int turns : {1, -1, 2}) {
      TVlBitmap a, b;
      Copy(a, mem);
      b.fileThreshold = 0;
      ASSERT_TRUE(b.AssignImage(file).ok());
      ASSERT_TRUE(VlTurn(a, turns).ok());
      ASSERT_TRUE(VlTurn(b, turns).ok());
      EXPECT_EQ(b.Location(), vlTempFile);
      EXPECT_TRUE(SamePixels(a, b)) << VlPixelFormatName(f) << " turns " << turns;
    }
    TVlBitmap m2;
    Copy(m2, mem);
    ASSERT_TRUE(VlMirror(m2, true).ok());
    ASSERT_TRUE(VlMirror(file, true).ok());
    EXPECT_TRUE(SamePixels(m2, file)) << VlPixelFormatName(f);
  }
  VlTurnBandBudget() = saved;
}
