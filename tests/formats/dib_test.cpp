// Device-independent bitmaps: header forms, bit depths, masks, run lengths, row order, the
// writer's layout, and a table of hostile blocks.
#include "imaging/formats/dib.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "imaging/bitops.h"
#include "imaging/limits.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

void Le32(Bytes& b, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(std::uint8_t(v >> (8 * i)));
}
void Le16(Bytes& b, std::uint16_t v) {
  b.push_back(std::uint8_t(v));
  b.push_back(std::uint8_t(v >> 8));
}

// A Windows information header of `size` bytes (40, 52, 56, 108, 124) with the given fields.
struct Header {
  std::uint32_t size = 40;
  std::int32_t width = 1, height = 1;
  std::uint16_t bitCount = 24;
  std::uint32_t compression = 0;
  std::uint32_t colorsUsed = 0;
  std::uint32_t masks[4] = {0, 0, 0, 0};  // inside headers of 52 bytes and more
  Bytes Build() const {
    Bytes b;
    Le32(b, size);
    Le32(b, std::uint32_t(width));
    Le32(b, std::uint32_t(height));
    Le16(b, 1);
    Le16(b, bitCount);
    Le32(b, compression);
    Le32(b, 0);     // image size
    Le32(b, 2835);  // 72 dpi
    Le32(b, 2835);
    Le32(b, colorsUsed);
    Le32(b, 0);
    for (int i = 0; i < 4 && b.size() < size; ++i) Le32(b, masks[i]);
    b.resize(size, 0);
    return b;
  }
};

void Append(Bytes& a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
}
void Quad(Bytes& b, std::uint8_t r, std::uint8_t g, std::uint8_t bl) {
  b.push_back(bl), b.push_back(g), b.push_back(r), b.push_back(0);
}

TVlStatus Read(const Bytes& b, TVlBitmap& img, TVlDibOptions o = {}) {
  return ReadPackedDib(b.data(), b.size(), img, o);
}

TVlRGB At(TVlBitmap& b, int x, int y) {
  if (b.PixelFormat() == vl1g) {
    std::uint8_t v = VlGetBit(b.RowPointer(y), x) ? 255 : 0;
    return {v, v, v};
  }
  const std::uint8_t* p = b.RowPointer(y) + 3 * x;
  return {p[0], p[1], p[2]};
}

}  // namespace

TEST(Dib, OneBitTablesDecideTheFormatAndPolarity) {
  struct Case {
    TVlRGB e0, e1;
    TVlPixelFormat format;
    bool firstPixelWhite;  // the stored bit is 1
  } cases[] = {
      {{0, 0, 0}, {255, 255, 255}, vl1g, true},
      {{255, 255, 255}, {0, 0, 0}, vl1g, false},  // white, black: inverted into set bit = white
      {{0, 0, 255}, {255, 255, 255}, vl24RGB, true},
  };
  for (const auto& c : cases) {
    Header h;
    h.width = 9;
    h.height = 2;
    h.bitCount = 1;
    Bytes b = h.Build();
    Quad(b, c.e0.r, c.e0.g, c.e0.b);
    Quad(b, c.e1.r, c.e1.g, c.e1.b);
    // Bottom row first: the bottom row starts with a set bit, the top row is all clear.
    Append(b, {0x80, 0x00, 0, 0});
    Append(b, {0x00, 0x00, 0, 0});
    TVlBitmap img;
    ASSERT_TRUE(Read(b, img).ok());
    ASSERT_EQ(img.PixelFormat(), c.format);
    EXPECT_EQ(At(img, 0, 1), c.firstPixelWhite ? c.e1 : c.e1) << "bottom-left pixel is entry 1";
    EXPECT_EQ(At(img, 0, 0), c.e0);
    EXPECT_EQ(At(img, 8, 1), c.e0);
  }
}

TEST(Dib, PalettedDepths) {
  // 4-bit, 3 pixels: indices 1, 2, 15 (15 beyond a 3-entry table reads black).
  Header h;
  h.width = 3;
  h.bitCount = 4;
  h.colorsUsed = 3;
  Bytes b = h.Build();
  Quad(b, 1, 2, 3);
  Quad(b, 10, 20, 30);
  Quad(b, 40, 50, 60);
  Append(b, {0x12, 0xF0, 0, 0});
  TVlBitmap img;
  ASSERT_TRUE(Read(b, img).ok());
  ASSERT_EQ(img.PixelFormat(), vl24RGB);
  EXPECT_EQ(At(img, 0, 0), (TVlRGB{30, 20, 10}));
  EXPECT_EQ(At(img, 1, 0), (TVlRGB{60, 50, 40}));
  EXPECT_EQ(At(img, 2, 0), (TVlRGB{0, 0, 0}));
  // As a palette image.
  TVlBitmap pal;
  TVlDibOptions o;
  o.paletteAs8p = true;
  ASSERT_TRUE(Read(b, pal, o).ok());
  ASSERT_EQ(pal.PixelFormat(), vl8p);
  EXPECT_EQ(pal.RowPointer(0)[1], 2);
  EXPECT_EQ(pal.Palette()[2], (TVlRGB{60, 50, 40}));
  // 2-bit and 8-bit.
  Header h2;
  h2.width = 4;
  h2.bitCount = 2;
  Bytes b2 = h2.Build();
  for (int i = 0; i < 4; ++i) Quad(b2, std::uint8_t(i * 80), 0, 0);
  Append(b2, {0x1B, 0, 0, 0});  // 0 1 2 3
  ASSERT_TRUE(Read(b2, img).ok());
  EXPECT_EQ(At(img, 3, 0).r, 240);
  EXPECT_EQ(At(img, 1, 0).r, 80);
}

TEST(Dib, BitFieldsAndDefaults) {
  // 16-bit without bit fields is 5-5-5: 0x7FFF reads 248, 248, 248.
  Header h;
  h.width = 1;
  h.bitCount = 16;
  Bytes b = h.Build();
  Append(b, {0xFF, 0x7F, 0, 0});
  TVlBitmap img;
  ASSERT_TRUE(Read(b, img).ok());
  EXPECT_EQ(At(img, 0, 0), (TVlRGB{248, 248, 248}));
  // 5-6-5 bit fields after a 40-byte header: 0xFFFF reads 248, 252, 248.
  Header h565 = h;
  h565.compression = dibBitFields;
  Bytes c = h565.Build();
  Le32(c, 0xF800), Le32(c, 0x07E0), Le32(c, 0x001F);
  Append(c, {0xFF, 0xFF, 0, 0});
  ASSERT_TRUE(Read(c, img).ok());
  EXPECT_EQ(At(img, 0, 0), (TVlRGB{248, 252, 248}));
  // A V5 header carries its masks inside; 32-bit with alpha keeps an alpha plane on request.
  Header v5;
  v5.size = 124;
  v5.width = 2;
  v5.bitCount = 32;
  v5.compression = dibBitFields;
  v5.masks[0] = 0x000000FF, v5.masks[1] = 0x0000FF00, v5.masks[2] = 0x00FF0000, v5.masks[3] = 0xFF000000;
  Bytes d = v5.Build();
  Append(d, {10, 20, 30, 128, 40, 50, 60, 255});  // R, G, B, A in memory order
  TVlDibOptions o;
  o.alpha = true;
  ASSERT_TRUE(Read(d, img, o).ok());
  EXPECT_EQ(At(img, 0, 0), (TVlRGB{30, 20, 10}));
  EXPECT_EQ(At(img, 1, 0), (TVlRGB{60, 50, 40}));
  ASSERT_TRUE(img.HasAlpha());
  EXPECT_EQ(img.AlphaAt(0, 0), 128);
  EXPECT_EQ(img.AlphaAt(1, 0), 255);
  // Without the option, or with uniform alpha, there is no plane.
  ASSERT_TRUE(Read(d, img).ok());
  EXPECT_FALSE(img.HasAlpha());
}

TEST(Dib, RowOrderAndCoreHeader) {
  for (bool topDown : {false, true}) {
    Header h;
    h.width = 1;
    h.height = topDown ? -2 : 2;
    Bytes b = h.Build();
    Append(b, {1, 2, 3, 0});  // first stored row
    Append(b, {4, 5, 6, 0});
    TVlBitmap img;
    ASSERT_TRUE(Read(b, img).ok());
    EXPECT_EQ(At(img, 0, topDown ? 0 : 1), (TVlRGB{1, 2, 3}));
  }
  // OS/2 core header: 16-bit sizes, 3-byte table entries.
  Bytes b;
  Le32(b, 12), Le16(b, 2), Le16(b, 1), Le16(b, 1), Le16(b, 8);
  for (int i = 0; i < 256; ++i) b.push_back(std::uint8_t(i)), b.push_back(0), b.push_back(std::uint8_t(255 - i));
  Append(b, {7, 9, 0, 0});
  TVlBitmap img;
  ASSERT_TRUE(Read(b, img).ok());
  EXPECT_EQ(At(img, 1, 0), (TVlRGB{9, 0, 246}));
}

TEST(Dib, RunLengths) {
  // RLE8, 5 x 3: row 0 (bottom) = run of 3 x 7 then absolute 1 2 ... (past the row end dropped),
  // EOL; delta to row 2; run; EOB.
  Header h;
  h.width = 5;
  h.height = 3;
  h.bitCount = 8;
  h.compression = dibRLE8;
  h.colorsUsed = 10;
  Bytes b = h.Build();
  for (int i = 0; i < 10; ++i) Quad(b, std::uint8_t(i * 10), 0, 0);
  Append(b, {3, 7, 0, 3, 1, 2, 9, 0, 0, 0, 0, 2, 1, 1, 2, 5, 0, 1});
  TVlBitmap img;
  ASSERT_TRUE(Read(b, img).ok());
  EXPECT_EQ(At(img, 0, 2).r, 70);  // bottom row
  EXPECT_EQ(At(img, 3, 2).r, 10);
  EXPECT_EQ(At(img, 4, 2).r, 20);
  EXPECT_EQ(At(img, 0, 1).r, 0);   // skipped by the delta: entry 0
  EXPECT_EQ(At(img, 1, 0).r, 50);  // row 2, column 1 after the delta
  EXPECT_EQ(At(img, 2, 0).r, 50);
  // Without an end of bitmap the data is truncated (the image is still there).
  Bytes cut(b.begin(), b.end() - 4);
  TVlStatus s = Read(cut, img);
  EXPECT_EQ(s.code, TVlStatusCode::truncated);
  EXPECT_EQ(img.Width(), 5);
  // RLE4: a run alternates nibbles.
  Header h4 = h;
  h4.bitCount = 4;
  h4.compression = dibRLE4;
  h4.colorsUsed = 16;
  Bytes c = h4.Build();
  for (int i = 0; i < 16; ++i) Quad(c, std::uint8_t(i), 0, 0);
  Append(c, {5, 0x12, 0, 1});
  ASSERT_TRUE(Read(c, img).ok());
  EXPECT_EQ(At(img, 0, 2).r, 1);
  EXPECT_EQ(At(img, 1, 2).r, 2);
  EXPECT_EQ(At(img, 4, 2).r, 1);
}

TEST(Dib, TruncatedRowsAreWhite) {
  Header h;
  h.width = 2;
  h.height = 4;
  Bytes b = h.Build();
  Append(b, {1, 2, 3, 4, 5, 6, 0, 0});  // one row of four
  TVlBitmap img;
  TVlStatus s = Read(b, img);
  EXPECT_EQ(s.code, TVlStatusCode::truncated);
  ASSERT_EQ(img.Height(), 4);
  EXPECT_EQ(At(img, 1, 3), (TVlRGB{4, 5, 6}));  // the stored (bottom) row
  EXPECT_EQ(At(img, 0, 0), (TVlRGB{255, 255, 255}));
}

TEST(Dib, HostileBlocksFailCleanly) {
  auto with = [](Header h, std::size_t extra) {
    Bytes b = h.Build();
    b.resize(b.size() + extra, 0x55);
    return b;
  };
  Header ok;
  ok.width = 4;
  ok.height = 4;
  Header big = ok;
  big.width = 40000, big.height = 40000, big.bitCount = 1;  // within the pixel ceiling, 200 MB of rows
  Header huge = ok;
  huge.width = 100000, huge.height = 100000;
  Header negW = ok;
  negW.width = -5;
  Header zeroH = ok;
  zeroH.height = 0;
  Header minH = ok;
  minH.height = INT32_MIN;
  Header bits3 = ok;
  bits3.bitCount = 3;
  Header bits0 = ok;
  bits0.bitCount = 0;
  Header jpeg = ok;
  jpeg.compression = dibJPEG;
  Header rle8On4 = ok;
  rle8On4.bitCount = 4, rle8On4.compression = dibRLE8;
  Header rleTopDown = ok;
  rleTopDown.bitCount = 8, rleTopDown.compression = dibRLE8, rleTopDown.height = -4;
  Header fields24 = ok;
  fields24.compression = dibBitFields;
  Header manyColours = ok;
  manyColours.bitCount = 8, manyColours.colorsUsed = 0xFFFFFFFF;
  Header shortTable = ok;
  shortTable.bitCount = 8, shortTable.colorsUsed = 256;
  Header rleBomb = ok;
  rleBomb.width = 30000, rleBomb.height = 30000, rleBomb.bitCount = 8, rleBomb.compression = dibRLE8;
  const Bytes okBytes = ok.Build();
  Header masksMissing = ok;
  masksMissing.bitCount = 16, masksMissing.compression = dibBitFields;

  struct Case {
    const char* name;
    Bytes data;
    TVlStatusCode code;
  } cases[] = {
      {"empty", {}, TVlStatusCode::truncated},
      {"three bytes", {40, 0, 0}, TVlStatusCode::truncated},
      {"header size 0", {0, 0, 0, 0, 1, 2, 3, 4}, TVlStatusCode::badData},
      {"header size 13", with(ok, 0), TVlStatusCode::ok},  // placeholder replaced below
      {"header past the block", Bytes(okBytes.begin(), okBytes.begin() + 20), TVlStatusCode::truncated},
      {"negative width", with(negW, 64), TVlStatusCode::badData},
      {"zero height", with(zeroH, 64), TVlStatusCode::badData},
      {"minimum height", with(minH, 64), TVlStatusCode::badData},
      {"bit count 3", with(bits3, 64), TVlStatusCode::unsupported},
      {"bit count 0", with(bits0, 64), TVlStatusCode::unsupported},
      {"JPEG inside", with(jpeg, 64), TVlStatusCode::unsupported},
      {"RLE8 on 4 bits", with(rle8On4, 64), TVlStatusCode::badData},
      {"RLE top-down", with(rleTopDown, 2000), TVlStatusCode::badData},
      {"bit fields on 24 bits", with(fields24, 64), TVlStatusCode::badData},
      {"masks past the block", with(masksMissing, 4), TVlStatusCode::truncated},
      {"colour table of 4 G entries", with(manyColours, 64), TVlStatusCode::truncated},
      {"colour table past the block", with(shortTable, 40), TVlStatusCode::truncated},
      {"above the pixel ceiling", with(huge, 64), TVlStatusCode::limitExceeded},
      {"huge image, few rows", with(big, 8 + 10000), TVlStatusCode::limitExceeded},
      {"run-length bomb", with(rleBomb, 1024 + 100), TVlStatusCode::limitExceeded},
      {"no complete row", with(ok, 10), TVlStatusCode::truncated},
  };
  cases[3].data = with(ok, 64);
  cases[3].data[0] = 13;
  cases[3].code = TVlStatusCode::badData;
  for (const auto& c : cases) {
    TVlBitmap img;
    ASSERT_TRUE(img.AllocateImage(3, 3, vl8g).ok());
    TVlStatus s = Read(c.data, img);
    EXPECT_EQ(s.code, c.code) << c.name << ": " << DescribeStatus(s);
    if (!s.ok()) {
      EXPECT_EQ(img.Width(), 3) << c.name << ": the image must stay as it was";
    }
  }
}

TEST(Dib, BmpBlocksFindTheirRows) {
  Header h;
  h.width = 1;
  Bytes dib = h.Build();
  Bytes file = {'B', 'M'};
  Le32(file, 0);
  Le32(file, 0);
  Le32(file, 14 + 40 + 4);  // four bytes of gap before the row
  Append(file, dib);
  Append(file, {9, 9, 9, 9});
  Append(file, {1, 2, 3, 0});
  TVlBitmap img;
  ASSERT_TRUE(ReadBmpBlock(file.data(), file.size(), img).ok());
  EXPECT_EQ(At(img, 0, 0), (TVlRGB{1, 2, 3}));
  // An offset into the header means "right after the table"; one past the end fails.
  file[10] = 0;
  ASSERT_TRUE(ReadBmpBlock(file.data(), file.size(), img).ok());
  EXPECT_EQ(At(img, 0, 0), (TVlRGB{9, 9, 9}));
  file[10] = 200;
  EXPECT_FALSE(ReadBmpBlock(file.data(), file.size(), img).ok());
  file[0] = 'X';
  EXPECT_EQ(ReadBmpBlock(file.data(), file.size(), img).code, TVlStatusCode::badData);
}

TEST(Dib, WriterLayout) {
  // 2 x 2 vl24RGB: 44 + 8 x 2 bytes, rows of 6 bytes padded to 8, bottom row first.
  TVlBitmap rgb(2, 2, vl24RGB);
  for (int y = 0; y < 2; ++y)
    for (int i = 0; i < 6; ++i) rgb.RowPointer(y)[i] = std::uint8_t(10 * y + i);
  Bytes d = WritePackedDib(rgb, 300);
  ASSERT_EQ(d.size(), 44u + 8 * 2);
  EXPECT_EQ(d[0], 40);
  EXPECT_EQ(d[8], 2);  // height positive: bottom-up
  EXPECT_EQ(d[14], 24);
  EXPECT_EQ(d[24] | d[25] << 8, 11811);  // Trunc(300 x 39.3700787)
  EXPECT_EQ(d[40], 10);                  // the bottom row comes first
  EXPECT_EQ(d[48], 0);
  // vl1g: a black, white table; pasting it back gives the same bits.
  TVlBitmap bits(13, 3, vl1g);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 13; ++x) VlSetBit(bits.RowPointer(y), x, (x * 3 + y) % 5 == 0);
  Bytes b = WritePackedDib(bits, 200);
  ASSERT_EQ(b.size(), 44u + 8 + 4 * 3);
  EXPECT_EQ(Bytes(b.begin() + 40, b.begin() + 48), (Bytes{0, 0, 0, 0, 255, 255, 255, 255}));
  TVlBitmap back;
  ASSERT_TRUE(ReadPackedDib(b.data(), b.size(), back).ok());
  ASSERT_EQ(back.PixelFormat(), vl1g);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 13; ++x) ASSERT_EQ(VlGetBit(back.RowPointer(y), x), VlGetBit(bits.RowPointer(y), x));
  // vl8g: a gray table; vl16g goes out as 24 bits.
  TVlBitmap g(3, 1, vl8g), w(3, 1, vl16g);
  EXPECT_EQ(WritePackedDib(g, 300)[14], 8);
  EXPECT_EQ(WritePackedDib(w, 300)[14], 24);
  // A BMP file carries the offset of its rows.
  Bytes file = WriteBmpFile(rgb, 300);
  ASSERT_EQ(file.size(), 14u + 40 + 16);
  EXPECT_EQ(file[10], 54);
  ASSERT_TRUE(ReadBmpBlock(file.data(), file.size(), back).ok());
  EXPECT_EQ(At(back, 1, 1), (TVlRGB{13, 14, 15}));
}
