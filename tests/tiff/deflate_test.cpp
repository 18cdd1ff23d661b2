// Deflate strips: writer levels, exact-size inflating, hostile streams and real strips.
#include "tiff/deflate.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "codec_test_util.h"
#include "imaging/limits.h"
#include "imaging/stream.h"
#include "strip_fixture.h"
#include "test_paths.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes WriteStrip(const Bytes& data, std::int32_t rowLength, std::int32_t zipLevel) {
  TVlMemoryStream out;
  TVlDeflateStripWriter w;
  EXPECT_TRUE(w.Begin(out, zipLevel).ok());
  for (std::size_t at = 0; at < data.size(); at += std::size_t(rowLength))
    EXPECT_TRUE(w.WriteRow(data.data() + at, rowLength).ok());
  EXPECT_TRUE(w.Finish().ok());
  return out.TakeBytes();
}

Bytes ZlibCompress(const Bytes& data, int level = Z_DEFAULT_COMPRESSION) {
  uLongf n = compressBound(uLong(data.size()));
  Bytes out(n);
  EXPECT_EQ(compress2(out.data(), &n, data.data(), uLong(data.size()), level), Z_OK);
  out.resize(n);
  return out;
}

TEST(Deflate, TiffZipLevelsMapToZlibLevels) {
  EXPECT_EQ(ZlibLevelFromTiffZipLevel(0), 1);
  EXPECT_EQ(ZlibLevelFromTiffZipLevel(1), Z_DEFAULT_COMPRESSION);
  EXPECT_EQ(ZlibLevelFromTiffZipLevel(2), 9);
  EXPECT_EQ(ZlibLevelFromTiffZipLevel(-1), Z_DEFAULT_COMPRESSION);
  EXPECT_EQ(ZlibLevelFromTiffZipLevel(7), Z_DEFAULT_COMPRESSION);
}

// A page written at each level reads back identically, and the levels really differ.
TEST(Deflate, PageWrittenAtEachLevelReadsBack) {
  const std::int32_t rowLength = 2480;
  const Bytes page = SampleBytes(TSampleKind::scan, std::size_t(rowLength) * 120, 11);
  std::vector<std::size_t> sizes;
  for (std::int32_t level : {0, 1, 2}) {
    SCOPED_TRACE(level);
    const Bytes strip = WriteStrip(page, rowLength, level);
    sizes.push_back(strip.size());
    Bytes back;
    ASSERT_TRUE(InflateStrip(strip.data(), strip.size(), page.size(), back).ok());
    EXPECT_EQ(back, page);
  }
  EXPECT_GT(sizes[0], sizes[2]);
}

TEST(Deflate, InflateStopsAtTheExpectedSize) {
  const Bytes data = SampleBytes(TSampleKind::text, 10000, 2);
  const Bytes z = ZlibCompress(data);
  struct Case {
    const char* name;
    std::size_t expected;
    std::size_t got;
    TVlStatusCode status;
  };
  const Case cases[] = {
      {"exact", 10000, 10000, TVlStatusCode::ok},
      {"fewer rows than the stream holds", 4000, 4000, TVlStatusCode::ok},
      {"more rows than the stream holds", 12000, 10000, TVlStatusCode::truncated},
      {"nothing expected", 0, 0, TVlStatusCode::ok},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes out;
    const TVlStatus s = InflateStrip(z.data(), z.size(), c.expected, out);
    EXPECT_EQ(s.code, c.status) << s.reason;
    ASSERT_EQ(out.size(), c.got);
    EXPECT_TRUE(std::equal(out.begin(), out.end(), data.begin()));
  }
}

// 16 MiB of zeros compress to about 16 KiB; asking for one row inflates one row.
TEST(Deflate, ZipBombEndsAtTheStripsRows) {
  z_stream z{};
  ASSERT_EQ(deflateInit(&z, 9), Z_OK);
  Bytes zeros(1 << 20, 0), bomb(1 << 20);
  std::size_t used = 0;
  for (int i = 0; i < 16; ++i) {
    z.next_in = zeros.data();
    z.avail_in = uInt(zeros.size());
    do {
      z.next_out = bomb.data() + used;
      z.avail_out = uInt(bomb.size() - used);
      ASSERT_NE(deflate(&z, i == 15 ? Z_FINISH : Z_NO_FLUSH), Z_STREAM_ERROR);
      used = bomb.size() - z.avail_out;
    } while (z.avail_in > 0 || (i == 15 && z.avail_out == 0));
  }
  deflateEnd(&z);
  bomb.resize(used);
  Bytes out;
  ASSERT_TRUE(InflateStrip(bomb.data(), bomb.size(), 5000, out).ok());
  EXPECT_EQ(out, Bytes(5000, 0));
  // Rows that really are that compressible inflate whole (the buffer grows as needed).
  ASSERT_TRUE(InflateStrip(bomb.data(), bomb.size(), std::size_t(16) << 20, out).ok());
  EXPECT_EQ(out.size(), std::size_t(16) << 20);
  EXPECT_EQ(std::count(out.begin(), out.end(), 0), std::ptrdiff_t(16) << 20);
  ASSERT_EQ(InflateStrip(bomb.data(), bomb.size(), (std::size_t(16) << 20) + 1, out).code, TVlStatusCode::truncated);
  EXPECT_EQ(out.size(), std::size_t(16) << 20);
  // An expected size above the byte ceiling is refused before anything is allocated.
  TVlScopedSizeLimits small({std::int64_t(1) << 20, std::int64_t(1) << 20, 1 << 16});
  const TVlStatus s = InflateStrip(bomb.data(), bomb.size(), std::size_t(16) << 20, out);
  EXPECT_EQ(s.code, TVlStatusCode::limitExceeded);
  EXPECT_TRUE(out.empty());
}

TEST(Deflate, HostileStreams) {
  const Bytes data = SampleBytes(TSampleKind::scan, 3000, 5);
  const Bytes z = ZlibCompress(data);
  Bytes badHeader = z;
  badHeader[0] = 0x00;
  Bytes badBody = z;
  for (std::size_t i = 10; i < 40 && i < badBody.size(); ++i) badBody[i] ^= 0x5A;
  Bytes dict = {0x78, 0xBB, 0, 0, 0, 1};  // FDICT set, a dictionary id follows
  struct Case {
    const char* name;
    Bytes strip;
    TVlStatusCode status;
  };
  const Case cases[] = {
      {"bad header", badHeader, TVlStatusCode::badData},
      {"corrupt body", badBody, TVlStatusCode::badData},
      {"preset dictionary", dict, TVlStatusCode::badData},
      {"empty", {}, TVlStatusCode::truncated},
      {"garbage", SampleBytes(TSampleKind::random, 200, 8), TVlStatusCode::badData},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes out;
    const TVlStatus s = InflateStrip(c.strip.data(), c.strip.size(), data.size(), out);
    EXPECT_EQ(s.code, c.status) << s.reason;
    EXPECT_LE(out.size(), data.size());
    EXPECT_NE(std::string(s.reason), "");
  }
}

// Cut anywhere, a stream gives the bytes before the cut and says it is truncated (or, when
// zlib notices, bad); it never reads past the cut.
TEST(Deflate, TruncatedAfterAnyByte) {
  const Bytes data = SampleBytes(TSampleKind::text, 4000, 6);
  const Bytes z = ZlibCompress(data);
  for (std::size_t k = 0; k + 4 < z.size(); ++k) {  // the last 4 bytes are the checksum
    Bytes cut(z.begin(), z.begin() + std::ptrdiff_t(k));
    Bytes out;
    const TVlStatus s = InflateStrip(cut.data(), cut.size(), data.size(), out);
    // Near the end every byte may already be there (only the final block's end is cut).
    ASSERT_TRUE(s.ok() ? out == data : out.size() < data.size()) << k;
    ASSERT_TRUE(std::equal(out.begin(), out.end(), data.begin())) << k;
  }
}

TEST(Deflate, WriterReportsAShortWrite) {
  const Bytes row = SampleBytes(TSampleKind::random, 50000, 3);
  TRefusingStream out(1000);
  TVlDeflateStripWriter w;
  ASSERT_TRUE(w.Begin(out, 1).ok());
  TVlStatus s = w.WriteRow(row.data(), 50000);
  if (s.ok())
    s = w.Finish();
  EXPECT_EQ(s.code, TVlStatusCode::ioError);
  EXPECT_EQ(w.Finish().code, TVlStatusCode::ioError);
}

TEST(Deflate, CorpusStripsDecodeLikeLibtiff) {
  VL_REQUIRE_CORPUS("libtiff");
  struct Case {
    const char* path;
    std::uint32_t crc;
    std::size_t bytes;
  };
  const Case cases[] = {
      {"libtiff/image-tiff-tests/seq/seq-1c-16b-deflate-68f373a0.tiff", 0xf8eaab81, 512},  // code 8
      {"libtiff/image-tiff-tests/seq/seq-1c-8b-deflate-20f3db0c.tiff", 0x29058c73, 256},
      {"libtiff/test-images/deflate-last-strip-extra-data.tiff", 0xfa39faea, 250000},
      {"libtiff/pics/ladoga.tif", 0xd37323ce, 37288},
      {"libtiff/image-tiff-tests/subsubifds.tif", 0x1cf905b2, 2048},
      {"pillow/16bit.MM.deflate.tif", 0x34f47533, 8192},
      {"pillow/16bit.deflate.tif", 0x34f47533, 8192},
      {"pillow/tiff_adobe_deflate.tif", 0xd2b24a35, 311916},
      {"reference-suites/wuffs-data/bricks-color.tiff", 0xfc624946, 57600},
      {"reference-suites/wuffs-data/bricks-gray.tiff", 0xac2e3331, 19200},
      {"reference-suites/wuffs-data/hat.tiff", 0xe5828448, 30240},
      {"reference-suites/wuffs-data/hibiscus.primitive.tiff", 0xd07667c6, 551616},
      {"reference-suites/wuffs-data/hippopotamus.tiff", 0x2e1f48a6, 3024},
      {"reference-suites/wuffs-data/pjw-thumbnail.tiff", 0x25ce7e96, 128},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    if (!std::filesystem::exists(CorpusPath(c.path)))
      continue;
    TTestStripPage page;
    ASSERT_TRUE(LoadTestStripPage(CorpusPath(c.path), page));
    ASSERT_TRUE(page.compression == 8 || page.compression == 32946);
    std::uint32_t crc = 0;
    std::size_t bytes = 0;
    const TVlStatus s = DecodeTestPageCrc(page, crc, bytes);
    ASSERT_TRUE(s.ok()) << s.reason;
    EXPECT_EQ(bytes, c.bytes);
    EXPECT_EQ(crc, c.crc);
  }
}

}  // namespace
