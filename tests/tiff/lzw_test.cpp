// TIFF LZW: round trips, hand-made code streams, hostile strips, real strips from the corpus,
// and our encoder's output read back by libtiff.
#include "tiff/lzw.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "codec_test_util.h"
#include "imaging/codec_hooks.h"
#include "imaging/stream.h"
#include "strip_fixture.h"
#include "test_paths.h"
#include "tiff/tiff_codecs.h"

namespace {

std::vector<std::uint8_t> EncodeRows(const std::vector<std::uint8_t>& data, std::int32_t rowLength) {
  TVlMemoryStream out;
  TLzwEncoderState* st = nullptr;
  for (std::size_t at = 0; at < data.size(); at += std::size_t(rowLength))
    EXPECT_TRUE(TIFFLzwEncode(data.data() + at, rowLength, out, st));
  EXPECT_TRUE(TIFFLzwEncode(nullptr, 0, out, st));
  EXPECT_EQ(st, nullptr);
  return out.TakeBytes();
}

struct TDecoded {
  std::vector<std::uint8_t> bytes;
  int rows = 0;
  TVlStatus status;  // of the first call that returned nothing
  bool compat = false;
};

// Asks for up to `maxRows` rows, then once more; the strip is copied into an exact-size block
// so that the sanitizer sees any read past it.
TDecoded DecodeRows(const std::vector<std::uint8_t>& strip, std::int32_t rowLength, int maxRows) {
  std::vector<std::uint8_t> exact(strip);
  TDecoded d;
  TLzwDecoderState* st = nullptr;
  for (int r = 0; r <= maxRows; ++r) {
    const std::uint8_t* row = TIFFLzwDecode(exact.data(), exact.size(), rowLength, st);
    if (!row) {
      d.status = LzwDecodeStatus(st);
      break;
    }
    if (r == maxRows) {
      d.status = TVlStatus::BadData("more rows than asked for");
      break;
    }
    d.bytes.insert(d.bytes.end(), row, row + rowLength);
    ++d.rows;
  }
  d.compat = LzwDecoderIsCompat(st);
  EXPECT_EQ(TIFFLzwDecode(nullptr, 0, rowLength, st), nullptr);
  EXPECT_EQ(st, nullptr);
  return d;
}

std::vector<std::uint8_t> Bytes(const std::string& s) {
  return std::vector<std::uint8_t>(s.begin(), s.end());
}

TEST(Lzw, InstallDefaultCodecsSetsTheProcessWideHooks) {
  InstallDefaultCodecs();
  EXPECT_EQ(DefaultTiffLzwDecoder(), &TIFFLzwDecode);
  EXPECT_EQ(DefaultTiffLzwEncoder(), &TIFFLzwEncode);
}

// Every kind of data and row length comes back unchanged, the strip ends with a clean End Of
// Information (a decoder asked for one row more finds no fault), and the output starts with
// the Clear code (0x80 ..).
TEST(Lzw, RoundTripsRowsOfEveryKindAndLength) {
  struct Case {
    TSampleKind kind;
    std::int32_t rowLength;
    int rows;
  };
  const Case cases[] = {
      {TSampleKind::random, 1, 1},       {TSampleKind::random, 1, 3000},   {TSampleKind::random, 7, 500},
      {TSampleKind::random, 1000, 300},  {TSampleKind::constant, 1, 1},    {TSampleKind::constant, 33, 2000},
      {TSampleKind::constant, 9000, 50}, {TSampleKind::text, 64, 2000},    {TSampleKind::text, 4097, 3},
      {TSampleKind::scan, 2480, 60},     {TSampleKind::bilevel, 310, 400}, {TSampleKind::random, 20000, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(SampleKindName(c.kind)) + " rows of " + std::to_string(c.rowLength) + " x " +
                 std::to_string(c.rows));
    const auto data = SampleBytes(c.kind, std::size_t(c.rowLength) * std::size_t(c.rows), 7);
    const auto strip = EncodeRows(data, c.rowLength);
    ASSERT_GE(strip.size(), 2u);
    EXPECT_EQ(strip[0], 0x80);
    const TDecoded d = DecodeRows(strip, c.rowLength, c.rows + 1);
    EXPECT_EQ(d.rows, c.rows);
    EXPECT_EQ(d.bytes, data);
    EXPECT_EQ(d.status.code, TVlStatusCode::truncated) << d.status.reason;
    EXPECT_FALSE(d.compat);
  }
}

// The last code before End Of Information may land on a width boundary: the decoder widens
// its code after reading it, so EOI must be written wider too. Sweep strip lengths across the
// 9/10, 10/11 and 11/12 bit boundaries and across the first table clear.
TEST(Lzw, EndOfInformationFollowsTheCodeWidthAtEveryStripLength) {
  const auto data = SampleBytes(TSampleKind::random, 9000, 3);
  for (std::size_t n : {200u, 1800u, 3700u, 8000u}) {
    for (std::size_t len = n; len < n + 300; ++len) {
      std::vector<std::uint8_t> part(data.begin(), data.begin() + std::ptrdiff_t(len));
      const TDecoded d = DecodeRows(EncodeRows(part, std::int32_t(len)), std::int32_t(len), 2);
      ASSERT_EQ(d.bytes, part) << "length " << len;
      ASSERT_EQ(d.status.code, TVlStatusCode::truncated) << "length " << len << ": " << d.status.reason;
    }
  }
}

// A row that the codes cover only in part is completed with zeros; the next row is missing.
TEST(Lzw, StripWithoutEndOfInformationDecodesTheRowsItsCodesCover) {
  TLzwCodeWriter w;
  w.Put(256);
  for (char c : std::string("ABCDEFG")) w.Put(c);
  const TDecoded d = DecodeRows(w.Bytes(), 3, 5);
  EXPECT_EQ(d.rows, 3);
  EXPECT_EQ(d.bytes, Bytes(std::string("ABCDEFG") + '\0' + '\0'));
  EXPECT_EQ(d.status.code, TVlStatusCode::truncated);
}

TEST(Lzw, HandMadeCodeStreams) {
  struct Case {
    const char* name;
    std::vector<int> codes;
    std::string expect;
    TVlStatusCode status;  // of the call after the last row
  };
  const Case cases[] = {
      // 258 = AB, 259 = BA, 260 = ABA is defined by the code that uses it.
      {"code equal to the next free code", {256, 'A', 'B', 258, 260, 257}, "ABABABA", TVlStatusCode::truncated},
      {"clear in the middle", {256, 'A', 'B', 258, 256, 'C', 258, 257}, "ABABCCC", TVlStatusCode::truncated},
      {"no clear at the start", {'X', 'Y', 258, 257}, "XYXY", TVlStatusCode::truncated},
      {"two clears in a row", {256, 256, 'Q', 257}, "Q", TVlStatusCode::truncated},
      {"first code beyond the byte codes", {256, 258, 257}, "", TVlStatusCode::badData},
      {"first code after clear beyond the byte codes", {256, 'A', 256, 300, 257}, "A", TVlStatusCode::badData},
      {"code beyond the table", {256, 'A', 'B', 261, 257}, "AB", TVlStatusCode::badData},
      {"end of information first", {257, 'A'}, "", TVlStatusCode::truncated},
      {"data after end of information", {256, 'A', 257, 'B', 'C'}, "A", TVlStatusCode::truncated},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TLzwCodeWriter w;
    for (int code : c.codes) w.Put(code);
    const TDecoded d = DecodeRows(w.Bytes(), 1, 100);
    EXPECT_EQ(d.bytes, Bytes(c.expect));
    EXPECT_EQ(d.status.code, c.status) << d.status.reason;
  }
}

// A long string defined early and used again far later, after its first appearance has left
// the decoder's buffer, is rebuilt through its prefix chain.
TEST(Lzw, LongStringUsedFarLaterDecodes) {
  TLzwCodeWriter w;
  std::string expect;
  w.Put(256);
  w.Put('b');
  expect += 'b';
  int longB = 0;
  for (int len = 2; len <= 20; ++len) {  // 258 = "bb", 259 = "bbb", ... each defined by its use
    longB = w.Next();
    w.Put(longB);
    expect += std::string(std::size_t(len), 'b');
  }
  w.Put('a');  // then strings of 2, 3, ... 'a's: about 320 KB of output
  expect += 'a';
  for (int len = 2; len <= 800; ++len) {
    w.Put(w.Next());
    expect += std::string(std::size_t(len), 'a');
  }
  w.Put(longB);
  expect += std::string(20, 'b');
  w.Put(257);
  const std::int32_t rowLength = 1000;
  expect.resize((expect.size() + rowLength - 1) / rowLength * rowLength, '\0');
  const TDecoded d = DecodeRows(w.Bytes(), rowLength, 1000);
  EXPECT_EQ(d.rows * rowLength, std::int32_t(expect.size()));
  EXPECT_TRUE(d.bytes == Bytes(expect));
  EXPECT_EQ(d.status.code, TVlStatusCode::truncated) << d.status.reason;
}

// A fault only surfaces at the row that needs the bytes behind it: rows before it are whole.
TEST(Lzw, FaultAfterGoodRowsKeepsThoseRows) {
  TLzwCodeWriter w;
  w.Put(256);
  for (char c : std::string("ABCDEF")) w.Put(c);
  w.Put(300);  // beyond the table (next free code 263)
  const TDecoded d = DecodeRows(w.Bytes(), 2, 10);
  EXPECT_EQ(d.bytes, Bytes("ABCDEF"));
  EXPECT_EQ(d.status.code, TVlStatusCode::badData);
  EXPECT_STREQ(d.status.reason, "LZW code beyond table");
}

// Codes that keep defining entries without a Clear fill the table at 4096 entries; one more
// is a fault, never a write past the table.
TEST(Lzw, StringTableBeyond4096EntriesIsAFault) {
  TLzwCodeWriter w;
  w.Put(256);
  w.Put('a');
  while (w.Next() < 4096) w.Put('a');
  const std::size_t full = 4096 - 258 + 1;  // bytes decoded when the table is exactly full
  w.Put('a');
  w.Put('a');
  const TDecoded d = DecodeRows(w.Bytes(), 1, 10000);
  EXPECT_EQ(d.bytes.size(), full + 1);  // the code that would add entry 4096 still decodes ...
  EXPECT_EQ(d.status.code, TVlStatusCode::badData);
  EXPECT_STREQ(d.status.reason, "LZW string table overflow");
}

// The old variant's coders stop defining strings when the table is full and go on with the
// codes they have (real files do this); the same stream is valid there.
TEST(Lzw, FullTableInTheOldVariantKeepsDecoding) {
  TLzwCodeWriter w(/*compat=*/true);
  w.Put(256);
  std::size_t bytes = 0;
  for (int i = 0; i < 5000; ++i, ++bytes) w.Put('a' + i % 3);
  w.Put(258);  // still "ab"
  w.Put(257);
  const TDecoded d = DecodeRows(w.Bytes(), 1, 10000);
  EXPECT_TRUE(d.compat);
  EXPECT_EQ(d.bytes.size(), bytes + 2);
  EXPECT_EQ(d.status.code, TVlStatusCode::truncated) << d.status.reason;
}

// Truncating a strip anywhere ends it cleanly; every row returned is a prefix of the data
// (a row cut short reads zeros at its end).
TEST(Lzw, TruncatedAfterAnyByteNeverReadsPastTheStrip) {
  const std::int32_t rowLength = 40;
  const auto data = SampleBytes(TSampleKind::text, 40 * 60, 5);
  const auto strip = EncodeRows(data, rowLength);
  for (std::size_t k = 1; k < strip.size(); ++k) {
    std::vector<std::uint8_t> cut(strip.begin(), strip.begin() + std::ptrdiff_t(k));
    const TDecoded d = DecodeRows(cut, rowLength, 61);
    ASSERT_LE(d.bytes.size(), data.size());
    ASSERT_EQ(d.status.code, TVlStatusCode::truncated) << "cut at " << k;
    // All but the last row are exact.
    if (d.rows > 1) {
      ASSERT_TRUE(std::equal(d.bytes.begin(), d.bytes.end() - rowLength, data.begin())) << "cut at " << k;
    }
  }
}

TEST(Lzw, BadArgumentsCreateNoState) {
  const std::uint8_t strip[] = {0x80, 0x00};
  TLzwDecoderState* st = nullptr;
  EXPECT_EQ(TIFFLzwDecode(strip, sizeof strip, 0, st), nullptr);
  EXPECT_EQ(st, nullptr);
  EXPECT_FALSE(LzwDecodeStatus(st).ok());
  EXPECT_EQ(TIFFLzwDecode(strip, 0, 4, st), nullptr);  // an empty strip has no rows
  EXPECT_EQ(LzwDecodeStatus(st).code, TVlStatusCode::truncated);
  EXPECT_EQ(TIFFLzwDecode(nullptr, 0, 4, st), nullptr);
  EXPECT_EQ(st, nullptr);
}

// The old variant: LSB-first codes, no early change, recognised by its leading Clear.
TEST(Lzw, OldLsbFirstVariantIsRecognisedAndDecoded) {
  TLzwCodeWriter w(/*compat=*/true);
  w.Put(256);
  std::string expect;
  // Enough codes to pass the 9/10 and 10/11 bit boundaries, which come one code later here.
  for (int i = 0; i < 900; ++i) {
    w.Put('a' + i % 26);
    expect += char('a' + i % 26);
  }
  w.Put(258);  // "ab"
  expect += "ab";
  w.Put(257);
  const auto bytes = w.Bytes();
  ASSERT_EQ(bytes[0], 0x00);
  ASSERT_EQ(bytes[1] & 1, 1);
  const TDecoded d = DecodeRows(bytes, 1, 5000);
  EXPECT_TRUE(d.compat);
  EXPECT_EQ(d.bytes, Bytes(expect));
  EXPECT_EQ(d.status.code, TVlStatusCode::truncated) << d.status.reason;
}

TEST(Lzw, EncoderReportsARefusedWrite) {
  const auto data = SampleBytes(TSampleKind::random, 5000, 9);
  TRefusingStream out(100);
  TLzwEncoderState* st = nullptr;
  EXPECT_FALSE(TIFFLzwEncode(data.data(), 5000, out, st));
  EXPECT_FALSE(TIFFLzwEncode(nullptr, 0, out, st));
  EXPECT_EQ(st, nullptr);
}

TEST(Lzw, EncoderWritesBlocksOfAtMost254Bytes) {
  struct TCountingStream final : TVlStream {
    std::vector<std::int64_t> writes;
    std::int64_t pos = 0;
    std::int64_t Read(void*, std::int64_t) override { return 0; }
    std::int64_t Write(const void*, std::int64_t n) override {
      writes.push_back(n);
      pos += n;
      return n;
    }
    bool Seek(std::int64_t p) override { return pos = p, true; }
    std::int64_t Position() const override { return pos; }
    std::int64_t Size() const override { return pos; }
  } out;
  const auto data = SampleBytes(TSampleKind::random, 3000, 2);
  TLzwEncoderState* st = nullptr;
  ASSERT_TRUE(TIFFLzwEncode(data.data(), 3000, out, st));
  ASSERT_TRUE(TIFFLzwEncode(nullptr, 0, out, st));
  ASSERT_GT(out.writes.size(), 2u);
  for (std::size_t i = 0; i + 1 < out.writes.size(); ++i) EXPECT_EQ(out.writes[i], 254);
  EXPECT_LE(out.writes.back(), 254);
}

// Real strips written by other programs, the old variant included, decode to what libtiff
// decodes (CRC-32 of the decoded strips from tests/fixtures/lzw/strip_crc.py).
TEST(Lzw, CorpusStripsDecodeLikeLibtiff) {
  VL_REQUIRE_CORPUS("libtiff");
  struct Case {
    const char* path;
    std::uint32_t crc;
    std::size_t bytes;
  };
  const Case cases[] = {
      {"libtiff/pics/quad-lzw.tif", 0x9b7f3bd4, 589824},                 // old LSB-first variant, big-endian
      {"libtiff/image-tiff-tests/cmyk-4c-8b.tiff", 0x6f38015b, 118535},  // 5 samples, predictor
      {"libtiff/image-tiff-tests/issue_69_lzw.tiff", 0x741d4b1e, 4050},  // 16-bit gray
      {"libtiff/image-tiff-tests/planar-rgb-u8.tif", 0xc45ee401, 559878},
      {"libtiff/image-tiff-tests/seq/seq-1c-16b-lzw-68f373a0.tiff", 0xf8eaab81, 512},
      {"libtiff/image-tiff-tests/seq/seq-1c-8b-lzw-hpredict-20f3db0c.tiff", 0x29058c73, 256},
      {"libtiff/image-tiff-tests/seq/seq-3c-8b-lzw-8743c999.tiff", 0xb0c0df2a, 768},
      {"libtiff/test-images/lzw-single-strip.tiff", 0xce4a2b69, 3043950},  // 1-bit, one big strip
      {"libtiff/pics/oxford.tif", 0xf406be40, 146043},
      {"libtiff/pics/strike.tif", 0x6f3f4b33, 204800},
      {"libtiff/test-refs/o-testfax4.tiff", 0x1b092d18, 1034283},
      {"pillow/hopper_lzw.tif", 0xdc3ef74f, 49152},
      {"pillow/rdf.tif", 0x34a9f666, 576016},
      {"pillow/tiff_16bit_RGBa.tiff", 0x4fb73dfd, 32000},  // big-endian 16-bit
      {"pillow/tiff_strip_planar_16bit_RGBa.tiff", 0x731befe0, 32000},
      {"pillow/tiff_strip_planar_lzw.tiff", 0x65bb6427, 311916},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    if (!std::filesystem::exists(CorpusPath(c.path)))
      continue;
    TTestStripPage page;
    ASSERT_TRUE(LoadTestStripPage(CorpusPath(c.path), page));
    ASSERT_EQ(page.compression, 5u);
    std::uint32_t crc = 0;
    std::size_t bytes = 0;
    const TVlStatus s = DecodeTestPageCrc(page, crc, bytes);
    ASSERT_TRUE(s.ok()) << s.reason;
    EXPECT_EQ(bytes, c.bytes);
    EXPECT_EQ(crc, c.crc);
  }
}

TEST(Lzw, CorpusOldVariantIsDetected) {
  VL_REQUIRE_CORPUS("libtiff/pics/quad-lzw.tif");
  TTestStripPage page;
  ASSERT_TRUE(LoadTestStripPage(CorpusPath("libtiff/pics/quad-lzw.tif"), page));
  TLzwDecoderState* st = nullptr;
  EXPECT_NE(TIFFLzwDecode(page.strips[0].data(), page.strips[0].size(), page.RowLength(), st), nullptr);
  EXPECT_TRUE(LzwDecoderIsCompat(st));
  (void)TIFFLzwDecode(nullptr, 0, 0, st);
}

// libtiff reads what our encoder writes (with the predictor applied for 8- and 16-bit data).
TEST(Lzw, LibtiffDecodesOurStrips) {
  if (!HaveTiffcp())
    GTEST_SKIP() << "tiffcp not installed";
  struct Case {
    TSampleKind kind;
    std::uint32_t width, height;
    std::uint16_t bits, samples, predictor;
  };
  const Case cases[] = {
      {TSampleKind::random, 301, 97, 8, 1, 1},    {TSampleKind::scan, 2480, 40, 8, 1, 1},
      {TSampleKind::text, 257, 300, 8, 3, 2},     {TSampleKind::scan, 1000, 20, 16, 1, 2},
      {TSampleKind::bilevel, 2480, 200, 1, 1, 1},
  };
  const auto dir = std::filesystem::temp_directory_path() / ("vl_lzw_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(SampleKindName(c.kind)) + " " + std::to_string(c.width));
    const std::int32_t rowLength = std::int32_t((std::uint64_t(c.width) * c.samples * c.bits + 7) / 8);
    const auto data = SampleBytes(c.kind, std::size_t(rowLength) * c.height, c.width);
    std::vector<std::uint8_t> coded = data;
    for (std::uint32_t y = 0; c.predictor == 2 && y < c.height; ++y) {
      ASSERT_TRUE(ApplyHorizontalPredictor(coded.data() + std::size_t(y) * std::size_t(rowLength),
                                           std::int32_t(c.width), c.samples, c.bits)
                      .ok());
    }
    const auto strip = EncodeRows(coded, rowLength);
    const auto in = dir / "in.tif", out = dir / "out.tif";
    WriteOneStripTiff(in, c.width, c.height, c.bits, c.samples, 5, c.predictor, strip);
    const std::string cmd = "tiffcp -L -c none " + in.string() + " " + out.string() + " 2>/dev/null";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    TTestStripPage page;
    ASSERT_TRUE(LoadTestStripPage(out, page));
    std::vector<std::uint8_t> back;
    for (const auto& s : page.strips) back.insert(back.end(), s.begin(), s.end());
    EXPECT_EQ(back, data);
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
