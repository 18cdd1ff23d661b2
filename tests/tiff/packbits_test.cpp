// PackBits: known vectors, coding choices, round trips, hostile strips and real strips.
#include "tiff/packbits.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "codec_test_util.h"
#include "imaging/stream.h"
#include "strip_fixture.h"
#include "test_paths.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Encode(const Bytes& row) {
  Bytes out;
  PackBitsEncodeRowTo(row.data(), std::int32_t(row.size()), out);
  return out;
}

// The example of TIFF 6.0 section 9.
TEST(PackBits, Tiff6ExampleDecodes) {
  const Bytes packed = {0xFE, 0xAA, 0x02, 0x80, 0x00, 0x2A, 0xFD, 0xAA, 0x03, 0x80, 0x00, 0x2A, 0x22, 0xF7, 0xAA};
  const Bytes unpacked = {0xAA, 0xAA, 0xAA, 0x80, 0x00, 0x2A, 0xAA, 0xAA, 0xAA, 0xAA, 0x80, 0x00,
                          0x2A, 0x22, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
  Bytes row(unpacked.size());
  std::size_t cursor = 0;
  ASSERT_TRUE(PackBitsDecodeRow(packed.data(), packed.size(), cursor, row.data(), std::int32_t(row.size())).ok());
  EXPECT_EQ(row, unpacked);
  EXPECT_EQ(cursor, packed.size());
}

TEST(PackBits, EncoderChoices) {
  struct Case {
    const char* name;
    Bytes row;
    Bytes coded;
  };
  Bytes r300(300, 7);
  Bytes lit3 = {5, 5, 5, 1, 2};
  Bytes r128lit(130);
  for (std::size_t i = 0; i < r128lit.size(); ++i) r128lit[i] = std::uint8_t(i);
  Bytes r128litCoded = {127};
  r128litCoded.insert(r128litCoded.end(), r128lit.begin(), r128lit.begin() + 128);
  r128litCoded.insert(r128litCoded.end(), {1, 128, 129});
  const Case cases[] = {
      {"300 equal bytes: runs of 128, 128 and 44", r300, {0x81, 7, 0x81, 7, std::uint8_t(1 - 44), 7}},
      {"3 equal bytes stay in a literal", lit3, {4, 5, 5, 5, 1, 2}},
      {"4 equal bytes make a run", {1, 9, 9, 9, 9, 2}, {0, 1, 0xFD, 9, 0, 2}},
      {"one byte", {42}, {0, 42}},
      {"literals split at 128 bytes", r128lit, r128litCoded},
      {"empty row", {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Encode(c.row), c.coded);
  }
}

TEST(PackBits, DecoderEdgeCases) {
  struct Case {
    const char* name;
    Bytes strip;
    std::int32_t rowLength;
    Bytes row;
    std::size_t cursor;
    TVlStatusCode status;
  };
  const Case cases[] = {
      {"-128 is a no-op", {0x80, 0x01, 'a', 'b', 0x80, 0xFF, 'c'}, 4, {'a', 'b', 'c', 'c'}, 7, TVlStatusCode::ok},
      // A run crossing the row end is consumed whole; the extra bytes are dropped.
      {"literal crossing the row end", {0x04, 1, 2, 3, 4, 5, 0x00, 9}, 3, {1, 2, 3}, 6, TVlStatusCode::ok},
      {"repeat crossing the row end", {0xF0, 8, 0x00, 9}, 5, {8, 8, 8, 8, 8}, 2, TVlStatusCode::ok},
      // The strip ending first: the rest of the row is 0 and the cursor stops at the end.
      {"literal past the strip end", {0x05, 1, 2}, 6, {1, 2, 0, 0, 0, 0}, 3, TVlStatusCode::truncated},
      {"repeat without its byte", {0x01, 1, 2, 0xFE}, 6, {1, 2, 0, 0, 0, 0}, 4, TVlStatusCode::truncated},
      {"empty strip", {}, 2, {0, 0}, 0, TVlStatusCode::truncated},
      {"only no-ops", {0x80, 0x80}, 1, {0}, 2, TVlStatusCode::truncated},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes strip = c.strip;  // exact size, so that the sanitizer sees any read past it
    Bytes row(std::size_t(c.rowLength), 0xEE);
    std::size_t cursor = 0;
    const TVlStatus s = PackBitsDecodeRow(strip.data(), strip.size(), cursor, row.data(), c.rowLength);
    EXPECT_EQ(s.code, c.status);
    EXPECT_EQ(row, c.row);
    EXPECT_EQ(cursor, c.cursor);
  }
}

// A cursor already at or past the end reads nothing.
TEST(PackBits, CursorPastTheEndReadsNothing) {
  const Bytes strip = {0x00, 1};
  Bytes row(1);
  std::size_t cursor = 5;
  EXPECT_EQ(PackBitsDecodeRow(strip.data(), strip.size(), cursor, row.data(), 1).code, TVlStatusCode::truncated);
  EXPECT_EQ(cursor, 2u);
}

TEST(PackBits, RoundTripsRowsOfEveryKindAndLength) {
  for (TSampleKind kind :
       {TSampleKind::random, TSampleKind::constant, TSampleKind::text, TSampleKind::scan, TSampleKind::bilevel}) {
    for (std::int32_t len : {1, 2, 3, 4, 5, 127, 128, 129, 130, 255, 256, 257, 1000, 2480, 9001}) {
      SCOPED_TRACE(std::string(SampleKindName(kind)) + " " + std::to_string(len));
      // Several rows in one strip, each coded on its own and decoded in turn.
      Bytes strip, all;
      for (std::uint32_t r = 0; r < 3; ++r) {
        const Bytes row = SampleBytes(kind, std::size_t(len), 100 * r + std::uint32_t(len));
        PackBitsEncodeRowTo(row.data(), len, strip);
        all.insert(all.end(), row.begin(), row.end());
      }
      std::size_t cursor = 0;
      Bytes back;
      Bytes row(static_cast<std::size_t>(len));
      for (int r = 0; r < 3; ++r) {
        ASSERT_TRUE(PackBitsDecodeRow(strip.data(), strip.size(), cursor, row.data(), len).ok());
        back.insert(back.end(), row.begin(), row.end());
      }
      EXPECT_EQ(back, all);
      EXPECT_EQ(cursor, strip.size());
      // Never more than one control byte per 128 bytes above the row itself.
      EXPECT_LE(strip.size(), 3 * (std::size_t(len) + (std::size_t(len) + 127) / 128));
    }
  }
}

TEST(PackBits, StreamWriterReportsAShortWrite) {
  const Bytes row = SampleBytes(TSampleKind::random, 500);
  TVlMemoryStream ok;
  ASSERT_TRUE(PackBitsEncodeRow(row.data(), 500, ok).ok());
  EXPECT_EQ(ok.Bytes(), Encode(row));
  TRefusingStream refusing(10);
  const TVlStatus s = PackBitsEncodeRow(row.data(), 500, refusing);
  EXPECT_EQ(s.code, TVlStatusCode::ioError);
}

// Every truncation of a coded strip decodes without reading past it.
TEST(PackBits, TruncatedAfterAnyByte) {
  const Bytes row = SampleBytes(TSampleKind::scan, 700, 4);
  const Bytes strip = Encode(row);
  for (std::size_t k = 0; k < strip.size(); ++k) {
    Bytes cut(strip.begin(), strip.begin() + std::ptrdiff_t(k));
    Bytes out(700);
    std::size_t cursor = 0;
    const TVlStatus s = PackBitsDecodeRow(cut.data(), cut.size(), cursor, out.data(), 700);
    ASSERT_EQ(s.code, TVlStatusCode::truncated) << k;
    ASSERT_LE(cursor, k);
  }
}

TEST(PackBits, CorpusStripsDecodeLikeLibtiff) {
  VL_REQUIRE_CORPUS("libtiff");
  struct Case {
    const char* path;
    std::uint32_t crc;
    std::size_t bytes;
  };
  const Case cases[] = {
      {"libtiff/image-tiff-tests/issue_69_packbits.tiff", 0x741d4b1e, 4050},
      {"libtiff/image-tiff-tests/minisblack-2c-8b-alpha.tiff", 0x64135801, 8192},  // planar
      {"libtiff/image-tiff-tests/seq/seq-1c-8b-packbits-20f3db0c.tiff", 0x29058c73, 256},
      {"libtiff/test-images/32bpp-None-jpeg.tiff", 0x73713cbd, 9720},
      {"libtiff/pics/cramps.tif", 0xf04c3a78, 485600},
      {"libtiff/pics/jello.tif", 0x91c7eb77, 49152},
      {"pillow/copyleft.tiff", 0x5c832eed, 145200},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    if (!std::filesystem::exists(CorpusPath(c.path)))
      continue;
    TTestStripPage page;
    ASSERT_TRUE(LoadTestStripPage(CorpusPath(c.path), page));
    ASSERT_EQ(page.compression, 32773u);
    std::uint32_t crc = 0;
    std::size_t bytes = 0;
    const TVlStatus s = DecodeTestPageCrc(page, crc, bytes);
    ASSERT_TRUE(s.ok()) << s.reason;
    EXPECT_EQ(bytes, c.bytes);
    EXPECT_EQ(crc, c.crc);
  }
}

}  // namespace
