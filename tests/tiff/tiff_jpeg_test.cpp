// JPEG inside TIFF: compression-7 strips and tiles against libtiff's decoding (CRC-32 from
// tests/fixtures/lzw/strip_crc.py), frame size checks, old-style pages, and the writers.
#include "tiff/tiff_jpeg.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "codec_test_util.h"
#include "imaging/stream.h"
#include "strip_fixture.h"
#include "test_paths.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// CRC-32 of the page as libtiff's uncompressed copy holds it: R, G, B, or C, M, Y, K ink.
std::uint32_t PageCrc(TVlBitmap& page) {
  uLong crc = crc32(0, nullptr, 0);
  const std::int32_t w = page.Width();
  std::vector<std::uint8_t> row(std::size_t(w) * 4);
  for (std::int32_t y = 0; y < page.Height(); ++y) {
    const std::uint8_t* p = page.RowPointer(y);
    std::size_t n = 0;
    if (page.PixelFormat() == vlCMYK) {
      for (std::size_t i = 0; i < std::size_t(w) * 4; ++i) row[n++] = std::uint8_t(255 - p[i]);
    } else if (page.PixelFormat() == vl8g) {
      for (std::int32_t x = 0; x < w; ++x) row[n++] = p[x];
    } else {
      for (std::int32_t x = 0; x < w; ++x) {
        row[n++] = p[3 * x + 2];
        row[n++] = p[3 * x + 1];
        row[n++] = p[3 * x];
      }
    }
    crc = crc32(crc, row.data(), uInt(n));
  }
  return std::uint32_t(crc);
}

TVlStatus DecodeJpegPage(const TTestStripPage& page, TVlBitmap& out) {
  const TVlPixelFormat f = page.photometric == 5 ? vlCMYK : page.samplesPerPixel == 1 ? vl8g : vl24RGB;
  VL_TRY(out.AllocateImage(std::int32_t(page.width), std::int32_t(page.height), f));
  const bool tiled = page.tileWidth > 0;
  const std::uint32_t w = tiled ? page.tileWidth : page.width, h = tiled ? page.tileLength : page.rowsPerStrip;
  const std::uint32_t across = tiled ? (page.width + w - 1) / w : 1;
  for (std::size_t i = 0; i < page.strips.size(); ++i) {
    TTIFFJpegStrip s;
    s.data = page.strips[i].data();
    s.size = page.strips[i].size();
    s.tables = page.jpegTables.empty() ? nullptr : page.jpegTables.data();
    s.tablesSize = page.jpegTables.size();
    s.x = std::int32_t(std::uint32_t(i % across) * w);
    s.y = std::int32_t(std::uint32_t(i / across) * h);
    s.width = std::int32_t(w);
    s.rows = std::int32_t(h);
    s.rgbData = page.photometric == 2;
    ProgressRecord p;
    VL_TRY(ReadTIFFJpegStrip(s, out, p));
  }
  return TVlStatus::Ok();
}

TEST(TiffJpeg, StripsAndTilesDecodeLikeLibtiff) {
  VL_REQUIRE_CORPUS("libtiff/pics/quad-jpeg.tif");
  struct Case {
    const char* path;
    std::uint32_t crc;
  };
  const Case cases[] = {
      {"libtiff/pics/quad-jpeg.tif", 0x675db5d0},                      // YCbCr strips, JPEGTables
      {"libtiff/image-tiff-tests/quad-tile.jpg.tiff", 0x1a78e65f},     // YCbCr tiles
      {"libtiff/image-tiff-tests/tiled-jpeg-rgb-u8.tif", 0xfb092dd5},  // RGB tiles past the page edge
      {"libtiff/image-tiff-tests/tiled-jpeg-ycbcr.tif", 0x1bd7638d},
      {"pillow/hopper_jpg.tif", 0xe82cdeb8},  // RGB strips
      {"pillow/pil168.tif", 0xbc25e83f},
      {"pillow/tiff_strip_cmyk_jpeg.tif", 0x70a607b9},
      {"pillow/tiff_tiled_cmyk_jpeg.tif", 0x21d7beca},
      {"pillow/tiff_strip_ycbcr_jpeg_1x1_sampling.tif", 0x38fa8804},
      {"pillow/tiff_strip_ycbcr_jpeg_2x2_sampling.tif", 0xd18be231},
      {"pillow/tiff_tiled_ycbcr_jpeg_1x1_sampling.tif", 0x38fa8804},
      {"pillow/tiff_tiled_ycbcr_jpeg_2x2_sampling.tif", 0xfa3bbb41},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    if (!std::filesystem::exists(CorpusPath(c.path)))
      continue;
    TTestStripPage page;
    ASSERT_TRUE(LoadTestStripPage(CorpusPath(c.path), page));
    ASSERT_EQ(page.compression, 7u);
    TVlBitmap out;
    const TVlStatus s = DecodeJpegPage(page, out);
    ASSERT_TRUE(s.ok()) << s.reason;
    EXPECT_EQ(PageCrc(out), c.crc);
  }
}

Bytes JpegOf(std::int32_t w, std::int32_t h) {
  TVlBitmap b(w, h, vl24RGB);
  for (std::int32_t y = 0; y < h; ++y) std::memset(b.RowPointer(y), 90 + y, std::size_t(w) * 3);
  TVlMemoryStream out;
  ProgressRecord p;
  EXPECT_TRUE(WriteJPEGImage(out, b, {}, p).ok());
  return out.TakeBytes();
}

// A strip's frame must fit its strip: the same width, and its rows or (for the last strip)
// the rows left on the page. Parts beyond the page edge are not copied.
TEST(TiffJpeg, FrameSizeMustMatchTheStrip) {
  struct Case {
    const char* name;
    std::int32_t frameW, frameH, stripW, rows, y;
    bool ok;
  };
  const Case cases[] = {
      {"exact", 40, 16, 40, 16, 0, true},
      {"last strip with the rows left", 40, 4, 40, 16, 36, true},
      {"last strip with full rows", 40, 16, 40, 16, 36, true},
      {"narrower frame", 39, 16, 40, 16, 0, false},
      {"wider frame", 48, 16, 40, 16, 0, false},
      {"taller frame", 40, 32, 40, 16, 0, false},
      {"short frame that is not the last", 40, 8, 40, 16, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes j = JpegOf(c.frameW, c.frameH);
    TVlBitmap page(40, 40, vl24RGB);
    for (std::int32_t y = 0; y < 40; ++y) std::memset(page.RowPointer(y), 7, 120);
    TTIFFJpegStrip s;
    s.data = j.data();
    s.size = j.size();
    s.y = c.y;
    s.width = c.stripW;
    s.rows = c.rows;
    ProgressRecord p;
    const TVlStatus st = ReadTIFFJpegStrip(s, page, p);
    EXPECT_EQ(st.ok(), c.ok) << st.reason;
    if (c.ok) {
      EXPECT_NE(page.RowPointer(c.y)[0], 7);
      EXPECT_EQ(page.RowPointer(c.y > 0 ? c.y - 1 : 39)[0], 7);  // nothing outside the strip
    }
  }
  // A page in a format the strips cannot fill.
  TVlBitmap bilevel(40, 40, vl1g);
  const Bytes j = JpegOf(40, 16);
  TTIFFJpegStrip s;
  s.data = j.data();
  s.size = j.size();
  s.width = 40;
  s.rows = 16;
  ProgressRecord p;
  EXPECT_EQ(ReadTIFFJpegStrip(s, bilevel, p).code, TVlStatusCode::unsupported);
}

TEST(TiffJpeg, OldStyleCorpusPages) {
  VL_REQUIRE_CORPUS("libtiff/pics/smallliz.tif");
  struct Case {
    const char* path;
    bool decodes;
  };
  const Case cases[] = {
      {"libtiff/pics/smallliz.tif", true},                                    // interchange block holds the whole JPEG
      {"libtiff/test-images/ojpeg_chewey_subsamp21_multi_strip.tiff", true},  // header + scans per strip
      {"pillow/old-style-jpeg-compression.tif", true},                        // the strip is a complete JPEG
      // Tables only as JPEGQTables/JPEGDCTables/JPEGACTables tags: refused cleanly.
      {"libtiff/test-images/ojpeg_single_strip_no_rowsperstrip.tiff", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    if (!std::filesystem::exists(CorpusPath(c.path)))
      continue;
    const Bytes file = ReadWholeFile(CorpusPath(c.path));
    TTestStripPage page;
    ASSERT_TRUE(LoadTestStripPage(CorpusPath(c.path), page));
    // The two interchange tags, read the simple way (LONG values, little- or big-endian).
    TTIFFOldJpeg info;
    info.width = std::int32_t(page.width);
    info.height = std::int32_t(page.height);
    info.rowsPerStrip = std::int32_t(page.rowsPerStrip);
    const bool le = file[0] == 'I';
    auto u16 = [&](std::size_t o) { return le ? file[o] | file[o + 1] << 8 : file[o] << 8 | file[o + 1]; };
    auto u32 = [&](std::size_t o) {
      return le ? std::uint32_t(u16(o) | u16(o + 2) << 16) : std::uint32_t(u16(o) << 16 | u16(o + 2));
    };
    const std::uint32_t ifd = u32(4);
    std::uint32_t stripOffsetsAt = 0;
    for (std::uint32_t i = 0; i < std::uint32_t(u16(ifd)); ++i) {
      const std::size_t e = ifd + 2 + 12 * std::size_t(i);
      if (u16(e) == 513)
        info.interchangeFormat = u32(e + 8);
      if (u16(e) == 514)
        info.interchangeFormatLength = u32(e + 8);
      stripOffsetsAt += u16(e) == 273;
    }
    std::uint32_t at = 0;
    for (const auto& strip : page.strips) {
      // Offsets back from the strip bytes: find them in the file.
      const auto it = std::search(file.begin() + at, file.end(), strip.begin(),
                                  strip.begin() + std::min<std::size_t>(strip.size(), 64));
      info.stripOffsets.push_back(std::uint32_t(it - file.begin()));
      info.stripByteCounts.push_back(std::uint32_t(strip.size()));
      at = info.stripOffsets.back();
    }
    TVlMemoryStream stream(file.data(), std::int64_t(file.size()));
    TVlBitmap out;
    ProgressRecord p;
    const TVlStatus s = ReadOldStyleJPEG(stream, info, out, p);
    EXPECT_EQ(s.ok(), c.decodes) << s.reason;
    EXPECT_EQ(out.Width(), info.width);
    EXPECT_EQ(out.Height(), info.height);
    if (c.decodes) {
      // Not the white the page starts as, down to its last row.
      const std::uint8_t* last = out.RowPointer(info.height - 1);
      int nonWhite = 0;
      for (std::int32_t x = 0; x < info.width * 3; ++x) nonWhite += last[x] != 255;
      EXPECT_GT(nonWhite, info.width);
    }
  }
}

// A hostile interchange length is clamped to the bytes left in the stream.
TEST(TiffJpeg, OldStyleInterchangeLengthIsClamped) {
  const Bytes j = JpegOf(24, 24);
  Bytes file(100, 0);
  file.insert(file.end(), j.begin(), j.end());
  TTIFFOldJpeg info;
  info.width = info.height = 24;
  info.interchangeFormat = 100;
  info.interchangeFormatLength = 0xFFFFFFF0u;
  info.stripOffsets = {100};
  info.stripByteCounts = {0x7FFFFFFFu};
  TVlMemoryStream stream(file.data(), std::int64_t(file.size()));
  TVlBitmap out;
  ProgressRecord p;
  EXPECT_TRUE(ReadOldStyleJPEG(stream, info, out, p).ok());
  // Without byte counts the stream is found by its markers; past the end it is refused.
  info.stripByteCounts.clear();
  EXPECT_TRUE(ReadOldStyleJPEG(stream, info, out, p).ok());
  info.interchangeFormat = 100 + std::uint32_t(j.size()) - 10;
  EXPECT_FALSE(ReadOldStyleJPEG(stream, info, out, p).ok());
}

TEST(TiffJpeg, WritersRoundTripAndLibtiffReadsThem) {
  TVlBitmap page(57, 33, vl24RGB);
  for (std::int32_t y = 0; y < 33; ++y)
    for (std::int32_t x = 0; x < 57 * 3; ++x) page.RowPointer(y)[x] = std::uint8_t(x * 2 + y * 3);
  TIOParamsVals params;
  params.tiffJpegQuality = 90;
  for (std::uint8_t cs : {0, 1, 2, 4}) {
    SCOPED_TRACE(int(cs));
    params.tiffJpegColorSpace = cs;
    TVlMemoryStream out;
    out.WriteString("pad");
    TTIFFJpegWritten w;
    ProgressRecord p;
    ASSERT_TRUE(WriteTIFFJpegStrip(out, page, params, p, w).ok());
    EXPECT_EQ(w.stripOffset, 3);
    EXPECT_EQ(w.stripByteCount, out.Size() - 3);
    TVlBitmap back(57, 33, cs == 1 ? vl8g : vl24RGB);
    TTIFFJpegStrip s;
    s.data = out.Bytes().data() + 3;
    s.size = std::size_t(w.stripByteCount);
    s.width = 57;
    s.rows = 33;
    ASSERT_TRUE(ReadTIFFJpegStrip(s, back, p).ok());
    if (cs != 1) {
      EXPECT_NEAR(back.RowPointer(10)[30], page.RowPointer(10)[30], 6);
    }
    if (HaveTiffcp() && cs != 2) {
      // RGB and gray strips in a TIFF of photometric RGB / BlackIsZero, read by libtiff.
      const auto dir = std::filesystem::temp_directory_path() / ("vl_tjpeg_" + std::to_string(::getpid()));
      std::filesystem::create_directories(dir);
      const Bytes strip(out.Bytes().begin() + 3, out.Bytes().end());
      WriteOneStripTiff(dir / "j.tif", 57, 33, 8, cs == 1 ? 1 : 3, 7, 1, strip);
      const std::string cmd =
          "tiffcp -L -c none " + (dir / "j.tif").string() + " " + (dir / "o.tif").string() + " 2>/dev/null";
      EXPECT_EQ(std::system(cmd.c_str()), 0);
      TTestStripPage o;
      ASSERT_TRUE(LoadTestStripPage(dir / "o.tif", o));
      EXPECT_EQ(PageCrc(back), std::uint32_t(crc32(0, o.strips[0].data(), uInt(o.strips[0].size()))));
      std::filesystem::remove_all(dir);
    }
  }
  // Compression 6: the interchange block is the whole stream, the strip starts at its scan.
  params.tiffJpegColorSpace = 2;
  TVlMemoryStream out;
  out.WriteString("0123456789");
  TTIFFJpegWritten w;
  ProgressRecord p;
  ASSERT_TRUE(WriteTIFFOldStyleJpeg(out, page, params, p, w).ok());
  EXPECT_EQ(w.interchangeFormat, 10);
  EXPECT_EQ(w.interchangeFormatLength, out.Size() - 10);
  EXPECT_EQ(out.Bytes()[std::size_t(w.stripOffset)], 0xFF);
  EXPECT_EQ(out.Bytes()[std::size_t(w.stripOffset) + 1], 0xDA);
  EXPECT_EQ(w.stripOffset + w.stripByteCount, out.Size());
  TTIFFOldJpeg info;
  info.width = 57;
  info.height = 33;
  info.interchangeFormat = std::uint32_t(w.interchangeFormat);
  info.interchangeFormatLength = std::uint32_t(w.interchangeFormatLength);
  info.stripOffsets = {std::uint32_t(w.stripOffset)};
  info.stripByteCounts = {std::uint32_t(w.stripByteCount)};
  TVlBitmap back;
  ASSERT_TRUE(ReadOldStyleJPEG(out, info, back, p).ok());
  EXPECT_NEAR(back.RowPointer(20)[40], page.RowPointer(20)[40], 6);
}

}  // namespace
