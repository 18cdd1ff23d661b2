#include "app/shell/status.h"

#include <gtest/gtest.h>

TEST(StatusTexts, ColourDepth) {
  struct Case {
    int bits, samples;
    const char* text;
  } cases[] = {
      {1, 1, "2"},  {4, 1, "16"},  {8, 1, "256"}, {8, 3, "24b"}, {16, 1, "16b"},
      {8, 4, "32"}, {16, 3, "48"}, {5, 3, "15b"}, {0, 1, "1"},   {32, 2, "64"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ColourDepthText(c.bits, c.samples), c.text) << c.bits << "x" << c.samples;
}

TEST(StatusTexts, PanelsAndTitle) {
  EXPECT_EQ(PagePositionText(-1, 0), "        ");
  EXPECT_EQ(PagePositionText(0, 500), " 1/500 ");
  EXPECT_EQ(PagePositionText(-1, 3), "总页数 3 ");
  EXPECT_EQ(ImageInfoText(true, 2480, 3508, "2", true, 23.6), "2480 x 3508 x 2 (24%)");
  EXPECT_EQ(ImageInfoText(true, 2480, 3508, "24b", false, 23.6), "2480 x 3508 x 24b");
  EXPECT_EQ(ImageInfoText(true, 0, 3508, "2", true, 50), "        ");
  EXPECT_EQ(ImageInfoText(false, 10, 10, "2", true, 50), "        ");
  EXPECT_EQ(ImageInfoText(true, 10, 10, "256", true, 12.5), "10 x 10 x 256 (12%)");  // half to even
  EXPECT_EQ(TitleText(""), "Vellumo");
  EXPECT_EQ(TitleText("/home/u/扫描/合同.tif"), "Vellumo - 合同.tif");
}
