#include "pdf/pdf_paper.h"

#include <algorithm>

namespace {

struct TPaperRow {
  const char* caption;
  std::int32_t width, height;
};

// Points, as width x height; row 12 takes its size from the image.
constexpr TPaperRow kPaperRows[kPDFPaperItemCount] = {
    {"A0", 2380, 3368},
    {"A1", 1684, 2380},
    {"A2", 1190, 1684},
    {"A3", 842, 1190},
    {"A4 - 推荐", 595, 842},
    {"A5", 421, 595},
    {"A6", 297, 421},
    {"B5", 501, 709},
    {"letter (8.5\"x11\")", 612, 792},
    {"Legal (8.5\"x14\")", 612, 1008},
    {"ledger (17\"x11\")", 1224, 792},
    {"11\"x17\"", 792, 1224},
    {"【自动根据图像尺寸决定页面大小】", 0, 0},
};

constexpr const char* kCompressionCaptions[kPDFCompressionCount] = {
    "不压缩 - 文件很大 不推荐", "RLE", "G4FAX - 仅适用黑白图像", "G3FAX2D - 仅适用黑白图像", "JPEG - 高效有损压缩",
    "LZW - 无损压缩推荐",
};

int ValidItem(int item) { return item >= 0 && item < kPDFPaperItemCount ? item : kPDFPaperA4; }

}  // namespace

TPDFPaperSize PDFPaperSize(int item) {
  item = ValidItem(item);
  if (item == kPDFPaperImageSize)
    item = kPDFPaperA4;
  return {kPaperRows[item].width, kPaperRows[item].height};
}

const char* PDFPaperCaption(int item) { return kPaperRows[ValidItem(item)].caption; }

const char* PDFCompressionCaption(int item) {
  return item >= 0 && item < kPDFCompressionCount ? kCompressionCaptions[item] : "";
}

TPDFPaperSize PDFAutoRotate(TPDFPaperSize paper, std::int32_t imageWidth, std::int32_t imageHeight) {
  if ((imageHeight >= imageWidth && paper.height < paper.width) ||
      (imageHeight <= imageWidth && paper.height > paper.width))
    std::swap(paper.width, paper.height);
  return paper;
}

TPDFPaperSize PDFPageSizeForImage(int item, bool autoRotate, std::int32_t imageWidth, std::int32_t imageHeight) {
  item = ValidItem(item);
  if (item == kPDFPaperImageSize)
    return {std::max<std::int32_t>(imageWidth, 1), std::max<std::int32_t>(imageHeight, 1)};
  TPDFPaperSize paper = PDFPaperSize(item);
  return autoRotate ? PDFAutoRotate(paper, imageWidth, imageHeight) : paper;
}
