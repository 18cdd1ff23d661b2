// JPEGLength: the marker walk over hand-made streams and a real JPEG file.
#include "tiff/tiff_codecs.h"

#include <gtest/gtest.h>

#include <vector>

#include "imaging/stream.h"
#include "strip_fixture.h"
#include "test_paths.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(JPEGLength, MarkerWalk) {
  struct Case {
    const char* name;
    Bytes data;
    std::int64_t length;
  };
  const Bytes app0 = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x06, 0xFF, 0xD9, 0x12, 0x34};  // EOI bytes inside APP0
  Bytes withScan = app0;
  withScan.insert(withScan.end(), {0xFF, 0xDA, 0x00, 0x03, 0x01,              // SOS
                                   0x11, 0xFF, 0x00, 0x22, 0xFF, 0xD0, 0x33,  // stuffing, RST0
                                   0xFF, 0xD9, 0xAA, 0xBB});                  // EOI, then trailing bytes
  Bytes fill = {0xFF, 0xD8, 0x55, 0xFF, 0xFF, 0xFF, 0xD9, 0x00};
  const Case cases[] = {
      {"segments are skipped, EOI ends the walk after it", withScan, std::int64_t(withScan.size()) - 2},
      {"no EOI: to the end", app0, std::int64_t(app0.size())},
      {"fill bytes before a marker", fill, 7},
      {"segment length beyond the end", {0xFF, 0xD8, 0xFF, 0xDB, 0x40, 0x00, 0x01}, 7},
      {"segment length below 2", {0xFF, 0xC4, 0x00, 0x00, 0xFF, 0xD9, 0x01}, 6},
      {"marker cut after 0xFF", {0xFF, 0xD8, 0xFF}, 3},
      {"length cut short", {0xFF, 0xD8, 0xFF, 0xC0, 0x00}, 5},
      {"empty", {}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Start 3 bytes into the stream: the result is relative, and the position comes back.
    Bytes padded = {1, 2, 3};
    padded.insert(padded.end(), c.data.begin(), c.data.end());
    TVlMemoryStream s(padded.data(), std::int64_t(padded.size()));
    ASSERT_TRUE(s.Seek(3));
    EXPECT_EQ(JPEGLength(s), c.length);
    EXPECT_EQ(s.Position(), 3);
  }
}

TEST(JPEGLength, RealJpegFileIsWalkedToItsEnd) {
  VL_REQUIRE_CORPUS("pillow/hopper.jpg");
  const Bytes file = ReadWholeFile(CorpusPath("pillow/hopper.jpg"));
  TVlMemoryStream s(file.data(), std::int64_t(file.size()));
  const std::int64_t n = JPEGLength(s);
  ASSERT_GE(n, 2);
  EXPECT_LE(n, std::int64_t(file.size()));
  EXPECT_EQ(file[std::size_t(n) - 2], 0xFF);
  EXPECT_EQ(file[std::size_t(n) - 1], 0xD9);
}

}  // namespace
