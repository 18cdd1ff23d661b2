// Page-size items and the auto-rotate rule of PDF output.
#include "pdf/pdf_paper.h"

#include <gtest/gtest.h>

#include <string>

TEST(PdfPaper, TableRows) {
  struct Case {
    int item;
    TPDFPaperSize size;
    const char* caption;
  };
  const Case cases[] = {
      {0, {2380, 3368}, "A0"},
      {3, {842, 1190}, "A3"},
      {4, {595, 842}, "A4 - 推荐"},
      {7, {501, 709}, "B5"},
      {8, {612, 792}, "letter (8.5\"x11\")"},
      {9, {612, 1008}, "Legal (8.5\"x14\")"},
      {10, {1224, 792}, "ledger (17\"x11\")"},
      {11, {792, 1224}, "11\"x17\""},
      {12, {595, 842}, "【自动根据图像尺寸决定页面大小】"},
      {-1, {595, 842}, "A4 - 推荐"},
      {13, {595, 842}, "A4 - 推荐"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(PDFPaperSize(c.item), c.size) << c.item;
    EXPECT_STREQ(PDFPaperCaption(c.item), c.caption) << c.item;
  }
  EXPECT_STREQ(PDFCompressionCaption(0), "不压缩 - 文件很大 不推荐");
  EXPECT_STREQ(PDFCompressionCaption(5), "LZW - 无损压缩推荐");
  EXPECT_STREQ(PDFCompressionCaption(6), "");
}

TEST(PdfPaper, PageSizeForImage) {
  struct Case {
    int item;
    bool autoRotate;
    std::int32_t w, h;
    TPDFPaperSize page;
  };
  const Case cases[] = {
      {4, true, 2480, 3508, {595, 842}},    // portrait image, portrait row
      {4, true, 3508, 2480, {842, 595}},    // landscape image turns the page
      {4, true, 1000, 1000, {842, 595}},    // a square image gets the opposite of the row
      {4, false, 3508, 2480, {595, 842}},   // no rotation without the option
      {10, true, 2480, 3508, {792, 1224}},  // ledger with a portrait image
      {10, true, 3508, 2480, {1224, 792}},
      {10, true, 1000, 1000, {792, 1224}},
      {10, false, 2480, 3508, {1224, 792}},
      {12, true, 2480, 3508, {2480, 3508}},  // the image's own size, never rotated
      {12, true, 3508, 2480, {3508, 2480}},
      {12, false, 17, 5, {17, 5}},
      {12, true, 0, 0, {1, 1}},
  };
  for (const Case& c : cases) {
    const TPDFPaperSize got = PDFPageSizeForImage(c.item, c.autoRotate, c.w, c.h);
    EXPECT_EQ(got, c.page) << "item " << c.item << " rotate " << c.autoRotate << " image " << c.w << "x" << c.h
                           << " got " << got.width << "x" << got.height;
  }
  // A square page never turns.
  EXPECT_EQ(PDFAutoRotate({500, 500}, 10, 20), (TPDFPaperSize{500, 500}));
  EXPECT_EQ(PDFAutoRotate({500, 500}, 20, 10), (TPDFPaperSize{500, 500}));
}
