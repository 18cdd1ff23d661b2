// Page sizes and compression choices of PDF output, shared by the options dialog and the
// command-line tool.
//
//   PDFPaperSize        the portrait table row of a page-size item (points, 1/72 inch)
//   PDFPaperCaption     the item's caption as the options dialog lists it
//   PDFAutoRotate       turns a page to the orientation of its image
//   PDFPageSizeForImage the page size a page of the given image gets for an item
//   PDFCompressionCaption  the caption of a compression item (0 none .. 5 LZW)
//
// Items 0 to 11 are fixed sizes (row 10, ledger, is the one landscape row); item 12 sizes the
// page from the image itself, one pixel per point, and is never rotated. An item outside 0 to
// 12 is taken as item 4 (A4), the default.
#pragma once

#include <cstdint>

// The compressions of an image page, stored as `pdfCompression`.
enum TPDFCompression : std::uint8_t {
  pdfNone = 0,
  pdfRunLength = 1,
  pdfG4 = 2,
  pdfG3TwoD = 3,
  pdfJpeg = 4,
  pdfLzw = 5,
};
constexpr int kPDFCompressionCount = 6;
constexpr int kPDFDefaultCompression = pdfLzw;  // the options dialog's default

constexpr int kPDFPaperItemCount = 13;
constexpr int kPDFPaperA4 = 4;          // the default item
constexpr int kPDFPaperImageSize = 12;  // the page takes the image's pixel size

struct TPDFPaperSize {
  std::int32_t width = 595;
  std::int32_t height = 842;
  friend bool operator==(const TPDFPaperSize&, const TPDFPaperSize&) = default;
};

// The table row of `item` (0 .. 11) in points; item 12 and items out of range give A4.
TPDFPaperSize PDFPaperSize(int item);
// "A0" ... "【自动根据图像尺寸决定页面大小】"; out of range gives the A4 caption.
const char* PDFPaperCaption(int item);
// "不压缩 - 文件很大 不推荐" ... "LZW - 无损压缩推荐"; out of range gives "".
const char* PDFCompressionCaption(int item);

// Exchanges width and height when the image is portrait (height >= width) and the page is
// landscape, or else when the image is landscape (height <= width) and the page portrait. A
// square image thus gets the opposite orientation of the row; a square page never turns.
TPDFPaperSize PDFAutoRotate(TPDFPaperSize paper, std::int32_t imageWidth, std::int32_t imageHeight);

// The page size for a page of imageWidth x imageHeight pixels: item 12 gives the pixel size
// as points (at least 1 x 1), whatever autoRotate says; other items give their row, turned by
// PDFAutoRotate when autoRotate is set.
TPDFPaperSize PDFPageSizeForImage(int item, bool autoRotate, std::int32_t imageWidth, std::int32_t imageHeight);
