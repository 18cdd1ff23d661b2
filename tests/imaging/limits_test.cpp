#include "imaging/limits.h"

#include <gtest/gtest.h>

TEST(Limits, RowLengthFollowsAlignment) {
  struct Case {
    std::int64_t width, bpp;
    std::int32_t align, expected;
  } cases[] = {
      {1, 1, 32, 4},   {33, 1, 32, 8},  {3, 24, 32, 12}, {8, 1, 8, 1},     {9, 1, 8, 2},
      {9, 1, 16, 2},   {17, 1, 16, 4},  {1, 8, 64, 8},   {65, 1, 64, 16}, {5, 48, 32, 32},
  };
  for (const auto& c : cases) {
    auto r = CheckedRowLength(c.width, c.bpp, c.align);
    ASSERT_TRUE(r) << c.width << "x" << c.bpp << "/" << c.align;
    EXPECT_EQ(*r, c.expected) << c.width << "x" << c.bpp << "/" << c.align;
  }
}

TEST(Limits, RowLengthRejectsBadInput) {
  EXPECT_FALSE(CheckedRowLength(0, 8));
  EXPECT_FALSE(CheckedRowLength(-5, 8));
  EXPECT_FALSE(CheckedRowLength(10, 0));
  EXPECT_FALSE(CheckedRowLength(10, 8, 12));
  // 2^31 pixels of 24 bits no longer fit a 32-bit row length.
  EXPECT_FALSE(CheckedRowLength(std::int64_t(1) << 31, 24));
  EXPECT_FALSE(CheckedRowLength(INT64_MAX / 2, 8));
}

TEST(Limits, ImageSizeAgainstCeilings) {
  TVlScopedSizeLimits scoped({/*maxPixels*/ 1000, /*maxBytes*/ 4000, /*maxDimension*/ 500});
  EXPECT_TRUE(CheckImageSize(10, 10, 24).ok());
  EXPECT_EQ(CheckImageSize(0, 10, 8).code, TVlStatusCode::badData);
  EXPECT_EQ(CheckImageSize(10, -1, 8).code, TVlStatusCode::badData);
  EXPECT_EQ(CheckImageSize(501, 1, 8).code, TVlStatusCode::limitExceeded);
  EXPECT_EQ(CheckImageSize(40, 40, 1).code, TVlStatusCode::limitExceeded);  // 1600 pixels
  EXPECT_EQ(CheckImageSize(30, 30, 48).code, TVlStatusCode::limitExceeded);  // 900 px but 5400 bytes
  EXPECT_EQ(CheckBufferSize(4001).code, TVlStatusCode::limitExceeded);
  EXPECT_EQ(CheckBufferSize(-1).code, TVlStatusCode::badData);
}

TEST(Limits, CheckedArithmeticDetectsOverflow) {
  EXPECT_FALSE(CheckedMul(INT64_MAX, 2));
  EXPECT_EQ(*CheckedMul(1 << 20, 1 << 20), std::int64_t(1) << 40);
  EXPECT_FALSE(CheckedAdd(INT64_MAX, 1));
}
