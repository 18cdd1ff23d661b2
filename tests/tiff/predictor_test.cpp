// Horizontal differencing predictor: known rows, round trips over layouts, and real
// predictor strips (LZW and Deflate) read back like libtiff reads them.
#include "tiff/predictor.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "codec_test_util.h"
#include "strip_fixture.h"
#include "test_paths.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(Predictor, AppliesAfterLzwAndDeflateOnly) {
  for (std::int32_t c : {5, 8, 32946}) EXPECT_TRUE(HorizontalPredictorApplies(c)) << c;
  for (std::int32_t c : {1, 2, 3, 4, 6, 7, 32773}) EXPECT_FALSE(HorizontalPredictorApplies(c)) << c;
}

TEST(Predictor, KnownRows) {
  // RGB: the first pixel stays, the others hold differences modulo 256.
  Bytes rgb = {10, 20, 30, 11, 18, 30, 5, 250, 40};
  ASSERT_TRUE(ApplyHorizontalPredictor(rgb.data(), 3, 3, 8).ok());
  EXPECT_EQ(rgb, (Bytes{10, 20, 30, 1, 254, 0, 250, 232, 10}));
  ASSERT_TRUE(UndoHorizontalPredictor(rgb.data(), 3, 3, 8).ok());
  EXPECT_EQ(rgb, (Bytes{10, 20, 30, 11, 18, 30, 5, 250, 40}));
  // 16-bit gray, host order: 1000, 900, 65535 -> 1000, -100, 64635.
  std::uint16_t g[3] = {1000, 900, 65535};
  ASSERT_TRUE(ApplyHorizontalPredictor(reinterpret_cast<std::uint8_t*>(g), 3, 1, 16).ok());
  EXPECT_EQ(g[0], 1000);
  EXPECT_EQ(g[1], std::uint16_t(-100));
  EXPECT_EQ(g[2], 64635);
}

TEST(Predictor, RoundTripsEveryLayout) {
  for (std::int32_t bits : {8, 16}) {
    for (std::int32_t spp : {1, 2, 3, 4, 5, 7}) {
      for (std::int32_t pixels : {1, 2, 3, 31, 1000}) {
        SCOPED_TRACE(std::to_string(bits) + " bits, " + std::to_string(spp) + " samples, " + std::to_string(pixels) +
                     " pixels");
        const std::size_t n = std::size_t(pixels) * std::size_t(spp) * std::size_t(bits / 8);
        // One byte in front, so that 16-bit samples start unaligned.
        Bytes buf = SampleBytes(TSampleKind::random, n + 1, std::uint32_t(n));
        const Bytes original = buf;
        ASSERT_TRUE(ApplyHorizontalPredictor(buf.data() + 1, pixels, spp, bits).ok());
        if (pixels > 1) {
          EXPECT_NE(buf, original);
        }
        ASSERT_TRUE(UndoHorizontalPredictor(buf.data() + 1, pixels, spp, bits).ok());
        EXPECT_EQ(buf, original);
      }
    }
  }
}

TEST(Predictor, RefusesOtherLayouts) {
  Bytes row(16, 3);
  const Bytes before = row;
  EXPECT_EQ(UndoHorizontalPredictor(row.data(), 4, 1, 4).code, TVlStatusCode::unsupported);
  EXPECT_EQ(UndoHorizontalPredictor(row.data(), 2, 1, 32).code, TVlStatusCode::unsupported);
  EXPECT_EQ(ApplyHorizontalPredictor(row.data(), 0, 1, 8).code, TVlStatusCode::badData);
  EXPECT_EQ(UndoHorizontalPredictor(row.data(), 4, 0, 8).code, TVlStatusCode::badData);
  EXPECT_EQ(row, before);
}

TEST(Predictor, SwapBytes16) {
  Bytes b = {1, 2, 3, 4, 5};
  SwapBytes16(b.data(), 2);
  EXPECT_EQ(b, (Bytes{2, 1, 4, 3, 5}));
}

// Predictor strips from other writers: 8-bit gray, 5-sample CMYK, 16-bit gray of both byte
// orders (swapped to host order before the predictor is undone).
TEST(Predictor, CorpusPredictorStripsDecodeLikeLibtiff) {
  VL_REQUIRE_CORPUS("libtiff");
  struct Case {
    const char* path;
    std::uint32_t crc;
  };
  const Case cases[] = {
      {"libtiff/image-tiff-tests/seq/seq-1c-8b-lzw-hpredict-20f3db0c.tiff", 0x29058c73},
      {"libtiff/image-tiff-tests/cmyk-4c-8b.tiff", 0x6f38015b},
      {"pillow/16bit.MM.deflate.tif", 0x34f47533},
      {"pillow/16bit.deflate.tif", 0x34f47533},
  };
  int withPredictor = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    if (!std::filesystem::exists(CorpusPath(c.path)))
      continue;
    TTestStripPage page;
    ASSERT_TRUE(LoadTestStripPage(CorpusPath(c.path), page));
    withPredictor += page.predictor == 2;
    std::uint32_t crc = 0;
    std::size_t bytes = 0;
    ASSERT_TRUE(DecodeTestPageCrc(page, crc, bytes).ok());
    EXPECT_EQ(crc, c.crc);
  }
  EXPECT_GE(withPredictor, 2);
}

}  // namespace
