#include "imaging/bitmap.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "imaging/bitops.h"
#include "imaging/limits.h"
#include "imaging/stream.h"

namespace {

// Fills a bitmap with a deterministic pattern (every byte of every row, padding included).
void Pattern(TVlBitmap& b, unsigned seed = 1) {
  std::mt19937 rng(seed);
  for (int y = 0; y < b.Height(); ++y) {
    std::uint8_t* r = b.RowPointer(y);
    for (int i = 0; i < b.RowLength(); ++i)
      r[i] = std::uint8_t(rng());
  }
}

bool SamePixels(TVlBitmap& a, TVlBitmap& b) {
  if (a.Width() != b.Width() || a.Height() != b.Height() || a.PixelFormat() != b.PixelFormat())
    return false;
  size_t bytes = (size_t(a.Width()) * size_t(a.BitsPerPixel()) + 7) / 8;
  std::vector<std::uint8_t> ra(bytes);
  for (int y = 0; y < a.Height(); ++y) {
    std::memcpy(ra.data(), a.RowPointer(y), bytes);
    const std::uint8_t* rb = b.RowPointer(y);
    if (a.PixelFormat() == vl1g) {
      for (int x = 0; x < a.Width(); ++x)
        if (VlGetBit(ra.data(), x) != VlGetBit(rb, x))
          return false;
    } else if (std::memcmp(ra.data(), rb, bytes) != 0) {
      return false;
    }
  }
  return true;
}

}  // namespace

TEST(Bitmap, RowLengthsAndFormats) {
  struct Case {
    int w;
    TVlPixelFormat f;
    int rowLength, bpp, channels;
  } cases[] = {
      {1, vl1g, 4, 1, 1},     {33, vl1g, 8, 1, 1},     {3, vl24RGB, 12, 24, 3}, {5, vl8g, 8, 8, 1},
      {3, vl16g, 8, 16, 1},   {1, vl32f, 4, 32, 1},    {3, vlCMYK, 12, 32, 4},  {3, vlRGB48, 20, 48, 3},
      {2, vlCIELab, 8, 24, 3}, {7, vl8p, 8, 8, 1},
  };
  for (const auto& c : cases) {
    TVlBitmap b(c.w, 2, c.f);
    EXPECT_EQ(b.RowLength(), c.rowLength) << VlPixelFormatName(c.f);
    EXPECT_EQ(b.BitsPerPixel(), c.bpp);
    EXPECT_EQ(b.Channels(), c.channels);
    EXPECT_EQ(b.PaletteUsed(), c.f == vl8p ? 256 : 0);
  }
}

TEST(Bitmap, ReallocationOnlyWhenNeeded) {
  TVlBitmap b;
  ASSERT_TRUE(b.AllocateImage(4, 4, vl8g).ok());
  b.RowPointer(1)[2] = 77;
  b.AlphaChannel();
  ASSERT_TRUE(b.AllocateImage(4, 4, vl8g).ok());  // same arguments: nothing happens
  EXPECT_EQ(b.RowPointer(1)[2], 77);
  EXPECT_TRUE(b.HasAlpha());

  TVlBitmap src(4, 4, vl8g);
  src.AlphaChannel();
  ASSERT_TRUE(b.AssignImage(src).ok());
  EXPECT_TRUE(b.HasAlpha());
  ASSERT_TRUE(b.AllocateImage(4, 4, vl8g).ok());  // after an assignment: rebuilt, alpha freed
  EXPECT_FALSE(b.HasAlpha());
}

TEST(Bitmap, LocationFollowsThreshold) {
  const std::int64_t size = 8 * 10;  // 8-byte rows of a 5-pixel vl8g image, 10 rows
  struct Case {
    TVlLocation requested;
    std::int64_t threshold;
    TVlLocation result;
  } cases[] = {
      {vlTempFile, size, vlTempFile},      // equal keeps the request
      {vlTempFile, size + 1, vlInMemory},  // small images stay in memory
      {vlInMemory, size, vlInMemory},
      {vlInMemory, size - 1, vlTempFile},  // large images go to a file
      {vlTBitmap, 0, vlTBitmap},
  };
  for (const auto& c : cases) {
    TVlBitmap b;
    b.fileThreshold = c.threshold;
    ASSERT_TRUE(b.ChangeLocation(c.requested).ok());
    ASSERT_TRUE(b.AllocateImage(5, 10, vl8g).ok());
    EXPECT_EQ(b.Location(), c.result) << int(c.requested) << " at " << c.threshold;
  }
}

TEST(Bitmap, TempFileRowsPinsAndCopies) {
  TVlBitmap a;
  a.fileThreshold = 0;
  ASSERT_TRUE(a.AllocateImage(37, 23, vl24RGB).ok());
  ASSERT_EQ(a.Location(), vlTempFile);
  Pattern(a, 7);
  TVlBitmap mem(37, 23, vl24RGB);
  Pattern(mem, 7);
  EXPECT_TRUE(SamePixels(a, mem));

  // Two rows at once through pins; writes through pins land in the file.
  std::uint8_t* r3 = a.PinRow(3);
  std::uint8_t* r4 = a.PinRow(4);
  r3[0] = 1;
  r4[0] = 2;
  a.RowPointer(10)[0] = 3;
  a.UnpinRow(3);
  a.UnpinRow(4);
  EXPECT_EQ(a.RowPointer(3)[0], 1);
  EXPECT_EQ(a.RowPointer(4)[0], 2);
  EXPECT_EQ(a.RowPointer(10)[0], 3);

  // File to file copies go in chunks; then convert the copy in place.
  TVlBitmap b;
  b.fileThreshold = 0;
  ASSERT_TRUE(b.AssignImage(a).ok());
  EXPECT_EQ(b.Location(), vlTempFile);
  EXPECT_TRUE(SamePixels(a, b));
  ASSERT_TRUE(b.ConvertToFormat(vl8g).ok());
  ASSERT_TRUE(mem.AssignImage(a).ok());
  ASSERT_TRUE(mem.ConvertToFormat(vl8g).ok());
  EXPECT_TRUE(SamePixels(mem, b));
  ASSERT_TRUE(b.ChangeLocation(vlInMemory).ok());
  EXPECT_TRUE(SamePixels(mem, b));
}

TEST(Bitmap, MeanThresholdBilevel) {
  // Uniform mid-gray: every gray equals the mean, so all white.
  TVlBitmap g(9, 5, vl24RGB);
  g.FillImage(VlColor(128, 128, 128));
  ASSERT_TRUE(g.ConvertToFormat(vl1g).ok());
  for (int y = 0; y < 5; ++y)
    for (int x = 0; x < 9; ++x)
      EXPECT_TRUE(VlGetBit(g.RowPointer(y), x));
}

TEST(Bitmap, MeanThresholdSumsIn64Bits) {
  // 4700 x 4700 pixels of 200 sum past 2^32; a wrapped sum would make the threshold tiny and
  // the dark pixel white.
  TVlBitmap b(4700, 4700, vl8g);
  ASSERT_FALSE(b.IsEmpty());
  b.FillImage(200);
  b.RowPointer(10)[10] = 100;
  ASSERT_TRUE(b.ConvertToFormat(vl1g).ok());
  EXPECT_FALSE(VlGetBit(b.RowPointer(10), 10));
  EXPECT_TRUE(VlGetBit(b.RowPointer(10), 11));
}

TEST(Bitmap, OrderedDither) {
  TVlBitmap b(16, 16, vl8g);
  b.bilevelMethod = 0;
  b.FillImage(128);  // g div 4 = 32: white where the table value is below 32
  ASSERT_TRUE(b.ConvertToFormat(vl1g).ok());
  EXPECT_TRUE(VlGetBit(b.RowPointer(0), 0));   // T[0][0] = 0
  EXPECT_FALSE(VlGetBit(b.RowPointer(1), 0));  // T[0][1] = 32
  EXPECT_FALSE(VlGetBit(b.RowPointer(0), 1));  // T[1][0] = 48
  EXPECT_TRUE(VlGetBit(b.RowPointer(1), 1));   // T[1][1] = 16
}

TEST(Bitmap, ConversionRules) {
  struct Case {
    const char* name;
    TVlPixelFormat from, to;
    std::vector<std::uint8_t> in;  // one pixel
    std::vector<std::uint8_t> out;
  };
  auto f32 = [](float v) {
    std::vector<std::uint8_t> b(4);
    std::memcpy(b.data(), &v, 4);
    return b;
  };
  const std::vector<Case> cases = {
      {"24->CMYK black", vl24RGB, vlCMYK, {0, 0, 0}, {0, 0, 0, 1}},
      {"CMYK->24 black", vlCMYK, vl24RGB, {0, 0, 0, 1}, {0, 0, 0}},
      {"24->CMYK colour", vl24RGB, vlCMYK, {50, 100, 200}, {255, 127, 63, 200}},  // B,G,R in; C',M',Y',K' out
      {"24->8g luma", vl24RGB, vl8g, {0, 0, 255}, {53}},                           // (21*255) div 100
      {"24->16g", vl24RGB, vl16g, {255, 255, 255}, {0xFF, 0xFF}},
      {"16g->8g", vl16g, vl8g, {0x34, 0x12}, {0x12}},
      {"8g->16g", vl8g, vl16g, {0x80}, {0x80, 0x80}},
      {"8g->48", vl8g, vlRGB48, {1}, {1, 1, 1, 1, 1, 1}},
      {"48->24 high bytes", vlRGB48, vl24RGB, {0x11, 0xAA, 0x22, 0xBB, 0x33, 0xCC}, {0xCC, 0xBB, 0xAA}},
      {"48->32f white is 1.0", vlRGB48, vl32f, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, f32(1.0f)},
      {"32f->8g", vl32f, vl8g, f32(0.5f), {127}},
      {"32f->16g", vl32f, vl16g, f32(1.0f), {0xFF, 0xFF}},
      {"1g->24 white", vl1g, vl24RGB, {0x80}, {255, 255, 255}},
      {"1g->32f black", vl1g, vl32f, {0x00}, f32(0.0f)},
      {"8g->32f", vl8g, vl32f, {255}, f32(1.0f)},
      {"CMYK->8g through 24", vlCMYK, vl8g, {255, 255, 255, 255}, {255}},
  };
  for (const auto& c : cases) {
    TVlBitmap b(1, 1, c.from);
    std::memcpy(b.RowPointer(0), c.in.data(), c.in.size());
    ASSERT_TRUE(b.ConvertToFormat(c.to).ok()) << c.name;
    ASSERT_EQ(b.PixelFormat(), c.to) << c.name;
    std::vector<std::uint8_t> got(b.RowPointer(0), b.RowPointer(0) + c.out.size());
    if (c.to == vl32f) {
      float g, e;
      std::memcpy(&g, got.data(), 4);
      std::memcpy(&e, c.out.data(), 4);
      EXPECT_NEAR(g, e, 1e-6) << c.name;
    } else {
      EXPECT_EQ(got, c.out) << c.name;
    }
  }
}

TEST(Bitmap, CIELabRoundTripAndPassThrough) {
  // vl1g -> vlCIELab has no rule of its own: through vl24RGB, and it ends.
  TVlBitmap b(2, 1, vl1g);
  b.RowPointer(0)[0] = 0x80;  // white, black
  ASSERT_TRUE(b.ConvertToFormat(vlCIELab).ok());
  EXPECT_EQ(b.PixelFormat(), vlCIELab);
  EXPECT_EQ(b.RowPointer(0)[0], 255);  // L* 100
  EXPECT_EQ(b.RowPointer(0)[3], 0);

  // Colours survive RGB -> Lab -> RGB within the rounding of the byte storage.
  TVlBitmap c(4, 1, vl24RGB);
  const std::uint8_t px[] = {255, 255, 255, 0, 0, 0, 40, 120, 200, 200, 30, 90};
  std::memcpy(c.RowPointer(0), px, sizeof px);
  ASSERT_TRUE(c.ConvertToFormat(vlCIELab).ok());
  ASSERT_TRUE(c.ConvertToFormat(vl24RGB).ok());
  for (int i = 0; i < 12; ++i)
    EXPECT_NEAR(c.RowPointer(0)[i], px[i], 6) << i;
  EXPECT_EQ(c.RowPointer(0)[0], 255);  // white stays white with one white constant both ways
}

TEST(Bitmap, PaletteConversions) {
  TVlBitmap b(3, 1, vl1g);
  b.RowPointer(0)[0] = 0x40;  // black, white, black
  ASSERT_TRUE(b.ConvertToFormat(vl8p).ok());
  EXPECT_EQ(b.RowPointer(0)[1], 1);
  EXPECT_EQ(b.Palette()[1], (TVlRGB{255, 255, 255}));
  EXPECT_EQ(b.Palette()[0], (TVlRGB{0, 0, 0}));
  ASSERT_TRUE(b.ConvertToFormat(vl24RGB).ok());
  EXPECT_EQ(b.PixelAsRGB(1, 0), (TVlRGB{255, 255, 255}));

  // Few colours quantize exactly, in order of first appearance.
  TVlBitmap c(4, 1, vl24RGB);
  const std::uint8_t px[] = {1, 2, 3, 9, 9, 9, 1, 2, 3, 4, 5, 6};
  std::memcpy(c.RowPointer(0), px, sizeof px);
  ASSERT_TRUE(c.ConvertToFormat(vl8p).ok());
  const std::uint8_t want[] = {0, 1, 0, 2};
  EXPECT_EQ(0, std::memcmp(c.RowPointer(0), want, 4));
  EXPECT_EQ(c.Palette()[2], (TVlRGB{4, 5, 6}));
}

TEST(Bitmap, FillAreaClipsAndIgnoresEmpty) {
  TVlBitmap b(10, 10, vl8g);
  b.FillImage(0);
  b.FillArea(5, 0, 4, 9, 255);  // x1 > x2
  for (int y = 0; y < 10; ++y)
    for (int x = 0; x < 10; ++x)
      ASSERT_EQ(b.RowPointer(y)[x], 0);
  b.FillArea(-3, 8, 2, 20, 9);
  EXPECT_EQ(b.RowPointer(9)[2], 9);
  EXPECT_EQ(b.RowPointer(9)[3], 0);
  EXPECT_EQ(b.RowPointer(7)[0], 0);

  TVlBitmap w(13, 2, vl1g);
  w.FillImage(0);
  w.FillArea(3, 1, 11, 1, 1);
  for (int x = 0; x < 13; ++x)
    EXPECT_EQ(VlGetBit(w.RowPointer(1), x), x >= 3 && x <= 11) << x;
}

TEST(Bitmap, CopyAreaClipsNegativeOffsets) {
  TVlBitmap src(8, 8, vl8g), dst(8, 8, vl8g);
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x)
      src.RowPointer(y)[x] = std::uint8_t(y * 8 + x);
  dst.FillImage(0);
  src.CopyArea(dst, 2, 2, 4, 4, -1, -1);  // moves the source start to (3, 3), 3 x 3 at (0, 0)
  EXPECT_EQ(dst.RowPointer(0)[0], 27);
  EXPECT_EQ(dst.RowPointer(2)[2], 45);
  EXPECT_EQ(dst.RowPointer(3)[3], 0);
  // Bits at unaligned offsets match a pixel-by-pixel copy, for widths that break packing.
  for (int w : {1, 7, 8, 9, 31, 32, 33}) {
    TVlBitmap a(40, 3, vl1g), b(45, 3, vl1g);
    Pattern(a, unsigned(w));
    b.FillImage(0);
    a.CopyArea(b, 3, 0, w, 3, 5, 0);
    for (int y = 0; y < 3; ++y)
      for (int x = 0; x < 45; ++x) {
        bool want = x >= 5 && x < 5 + w ? VlGetBit(a.RowPointer(y), x - 2) : false;
        ASSERT_EQ(VlGetBit(b.RowPointer(y), x), want) << "w " << w << " x " << x;
      }
  }
}

TEST(Bitmap, ResizeCanvasAnchors) {
  struct Case {
    int newW, newH, h, v;
    int x, y, expected;  // a probe pixel of the result
  } cases[] = {
      {6, 4, 0, 0, 0, 0, 11},  // grow right/bottom: old content at the origin
      {6, 4, 2, 2, 2, 1, 11},  // grow left/top: content moved by (2, 1)
      {6, 4, 1, 1, 1, 0, 11},  // centred: (6 - 4) div 2 = 1, (4 - 3) div 2 = 0
      {6, 4, 0, 0, 5, 3, 99},  // new area filled
      {2, 1, 1, 1, 0, 0, 22},  // shrink centred: keeps columns 1..2 of row 1
      {2, 1, 2, 2, 1, 0, 34},  // shrink to the last part
  };
  for (const auto& c : cases) {
    TVlBitmap b(4, 3, vl8g);
    for (int y = 0; y < 3; ++y)
      for (int x = 0; x < 4; ++x)
        b.RowPointer(y)[x] = std::uint8_t(10 * (y + 1) + x + 1);
    b.AlphaChannel();
    ASSERT_TRUE(b.ResizeCanvas(c.newW, c.newH, c.h, c.v, 99, 0).ok());
    ASSERT_EQ(b.Width(), c.newW);
    ASSERT_EQ(b.Height(), c.newH);
    EXPECT_EQ(b.RowPointer(c.y)[c.x], c.expected) << c.newW << "x" << c.newH << " " << c.h << c.v;
    ASSERT_TRUE(b.HasAlpha());
    EXPECT_EQ(b.AlphaChannel()->Width(), c.newW);
  }
}

TEST(Bitmap, AlphaPlaneAndDropAlpha) {
  TVlBitmap b(2, 1, vl24RGB);
  std::uint8_t* p = b.RowPointer(0);
  p[0] = 0, p[1] = 100, p[2] = 200, p[3] = 255, p[4] = 255, p[5] = 255;
  EXPECT_EQ(b.AlphaAt(0, 0), 255);  // no plane yet
  b.SetAlphaAt(0, 0, 128);
  b.SetAlphaAt(1, 0, 0);
  EXPECT_FALSE(b.AlphaChannel()->AlphaFull());
  b.DropAlpha(true, VlColor(0, 0, 0));  // blend on black: p * a / 256, flooring
  EXPECT_FALSE(b.HasAlpha());
  EXPECT_EQ(b.RowPointer(0)[1], 50);
  EXPECT_EQ(b.RowPointer(0)[2], 100);
  EXPECT_EQ(b.RowPointer(0)[3], 0);
  // A negative product rounds toward minus infinity: bg 255, p 0, a 1 -> 255 + floor(-255/256) = 254.
  TVlBitmap c(1, 1, vl24RGB);
  c.FillImage(0);
  c.SetAlphaAt(0, 0, 1);
  c.DropAlpha(true, clWhite);
  EXPECT_EQ(c.RowPointer(0)[0], 254);
}

TEST(Bitmap, VlTBitmapRefusesWideFormats) {
  const struct {
    TVlPixelFormat f;
    const char* message;
  } cases[] = {
      {vl32f, "vl32f pixel format not allowed when Location=vlTBitmap"},
      {vlCMYK, "vlCMYK pixel format not allowed when Location=vlTBitmap"},
      {vlRGB48, "vlRGB48 pixel format not allowed when Location=vlTBitmap"},
      {vlCIELab, "vlCIELab pixel format not allowed when Location=vlTBitmap"},
  };
  for (const auto& c : cases) {
    TVlBitmap b;
    ASSERT_TRUE(b.ChangeLocation(vlTBitmap).ok());
    TVlStatus s = b.AllocateImage(3, 3, c.f);
    EXPECT_FALSE(s.ok());
    EXPECT_STREQ(s.reason, c.message);
    EXPECT_EQ(b.Width(), 3);
    EXPECT_TRUE(b.IsEmpty());
  }
  TVlBitmap g;
  ASSERT_TRUE(g.ChangeLocation(vlTBitmap).ok());
  ASSERT_TRUE(g.AllocateImage(3, 3, vl16g).ok());
  EXPECT_EQ(g.PixelFormat(), vl8g);  // kept as 8-bit gray for display
  EXPECT_NE(g.DisplayBits(), nullptr);
  EXPECT_EQ(g.RowPointer(1) - g.RowPointer(0), g.RowLength());  // top-down
}

TEST(Bitmap, SizeCeilingRefusesAllocation) {
  TVlScopedSizeLimits limits({1000, 1 << 20, 1 << 16});
  TVlBitmap b;
  TVlStatus s = b.AllocateImage(100, 11, vl8g);
  EXPECT_EQ(s.code, TVlStatusCode::limitExceeded);
  EXPECT_TRUE(b.IsEmpty());
  EXPECT_TRUE(b.AllocateImage(100, 10, vl8g).ok());
}

TEST(Bitmap, RawSnapshotLayout) {
  TVlBitmap b(2, 2, vl8g);
  EXPECT_EQ(b.RawSnapshotSize(), 84);
  std::vector<std::uint8_t> snap = b.WriteRawSnapshot();
  EXPECT_EQ(snap.size(), 84u);
  EXPECT_EQ(0, std::memcmp(snap.data(), "TVLBITMAPRAW", 12));

  // A palette image keeps its colours; the alpha plane comes along.
  TVlBitmap p(3, 2, vl8p);
  Pattern(p, 3);
  for (int i = 0; i < 256; ++i)
    p.Palette()[i] = {std::uint8_t(i), std::uint8_t(255 - i), 7};
  p.SetAlphaAt(1, 1, 9);
  std::vector<std::uint8_t> ps = p.WriteRawSnapshot();
  EXPECT_EQ(std::int64_t(ps.size()), p.RawSnapshotSize());
  TVlBitmap q;
  ASSERT_TRUE(q.ReadRawSnapshot(ps.data(), std::int64_t(ps.size())));
  EXPECT_TRUE(SamePixels(p, q));
  EXPECT_EQ(q.Palette()[200], (TVlRGB{200, 55, 7}));
  EXPECT_EQ(q.AlphaAt(1, 1), 9);
}

TEST(Bitmap, RawSnapshotRejectsHostileFields) {
  TVlBitmap b(2, 2, vl8g);
  const std::vector<std::uint8_t> good = b.WriteRawSnapshot();
  auto patch32 = [](std::vector<std::uint8_t> v, size_t at, std::int32_t x) {
    std::memcpy(v.data() + at, &x, 4);
    return v;
  };
  auto patch8 = [](std::vector<std::uint8_t> v, size_t at, std::uint8_t x) {
    v[at] = x;
    return v;
  };
  // Offsets without palette: version 12, paletteUsed 16, width 20, height 24, format 28,
  // rowAlignBits 71, rows 75, has-alpha 83.
  const struct {
    const char* name;
    std::vector<std::uint8_t> data;
  } cases[] = {
      {"signature", patch8(good, 0, 'X')},
      {"negative version", patch32(good, 12, -1)},
      {"palette above 256", patch32(good, 16, 257)},
      {"negative palette", patch32(good, 16, -5)},
      {"zero width", patch32(good, 20, 0)},
      {"huge height", patch32(good, 24, 0x7FFFFFFF)},
      {"format 0", patch8(good, 28, 0)},
      {"format 10", patch8(good, 28, 10)},
      {"alignment 12", patch32(good, 71, 12)},
      {"rows beyond the block", patch32(good, 24, 1000)},
      {"truncated", std::vector<std::uint8_t>(good.begin(), good.end() - 3)},
      {"has-alpha flag without plane", patch8(good, 83, 1)},
      {"empty", {}},
  };
  for (const auto& c : cases) {
    TVlBitmap t(5, 1, vl24RGB);
    t.RowPointer(0)[0] = 42;
    EXPECT_FALSE(t.ReadRawSnapshot(c.data.data(), std::int64_t(c.data.size()))) << c.name;
    EXPECT_EQ(t.Width(), 5) << c.name;  // untouched
    EXPECT_EQ(t.RowPointer(0)[0], 42) << c.name;
  }
  TVlBitmap ok;
  EXPECT_TRUE(ok.ReadRawSnapshot(good.data(), std::int64_t(good.size())));
}

TEST(Bitmap, MaskBoundingBox) {
  TVlMask m;
  ASSERT_TRUE(m.Allocate(10, 10, 1).ok());
  EXPECT_TRUE(m.IsEmpty());
  EXPECT_EQ(m.left, INT32_MAX);
  m.SetPixel(3, 4, 1);
  m.SetPixel(7, 2, 1);
  m.SetPixel(20, 20, 1);  // outside: ignored
  EXPECT_EQ(m.left, 3);
  EXPECT_EQ(m.top, 2);
  EXPECT_EQ(m.right, 7);
  EXPECT_EQ(m.bottom, 4);
  EXPECT_EQ(m.GetPixel(-1, 0), 0);
  ASSERT_TRUE(m.Resize(5, 3).ok());
  EXPECT_EQ(m.right, 4);
  EXPECT_EQ(m.bottom, 2);
  EXPECT_EQ(m.GetPixel(3, 2), 0);
}

TEST(Bitmap, MaskAndAlphaExchange) {
  TVlBitmap b(4, 1, vl24RGB);
  b.FillImage(clWhite);
  TVlMask m;
  b.MaskFromImage(m);
  EXPECT_EQ(m.BitsPerPixel(), 8);
  EXPECT_EQ(m.GetPixel(0, 0), 255 / 4);
  EXPECT_TRUE(m.full);
  TVlMask bits;
  ASSERT_TRUE(bits.Allocate(4, 1, 1).ok());
  bits.SetPixel(2, 0, 1);
  b.AlphaFromMask(&bits);
  EXPECT_EQ(b.AlphaAt(2, 0), 255);
  EXPECT_EQ(b.AlphaAt(1, 0), 0);
  b.AlphaFromMask(nullptr);
  EXPECT_EQ(b.AlphaAt(1, 0), 255);
}
