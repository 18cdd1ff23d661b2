// Fuzz target of the PDF image-page writer: small bitmaps (vl1g or vl24RGB, 1..64 pixels a
// side) with every compression, page size and document text the input chooses, written as
// one to three pages. Every output must pass the strict structural check (every
// cross-reference offset at its "N 0 obj" line, every stream Length matching its data).
//
// Input: byte 0 page count and spool choice, then per page 6 bytes (format, width - 1,
// height - 1, compression, paper item, auto-rotate and JPEG colour space), then a title of up
// to 16 bytes (any bytes: invalid UTF-8 included) ended by 0, then pixel bytes used cyclically.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "imaging/bitmap.h"
#include "imaging/codec_hooks.h"
#include "imaging/params.h"
#include "imaging/progress.h"
#include "imaging/stream.h"
#include "pdf/pdf_images.h"
#include "tests/pdf/pdf_structure_check.h"
#include "tiff/tiff_codecs.h"

namespace {

struct TInput {
  const std::uint8_t* data;
  std::size_t size, pos = 0;
  std::uint8_t Next() { return pos < size ? data[pos++] : 0; }
};

[[noreturn]] void Crash(const std::string& why) {
  std::fprintf(stderr, "fuzz_pdf_writer: %s\n", why.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool installed = (InstallDefaultCodecs(), true);
  (void)installed;
  if (size < 7)
    return 0;
  TInput in{data, size};
  const std::uint8_t head = in.Next();
  const int pageCount = 1 + head % 3;
  struct TPageChoice {
    TVlPixelFormat format;
    std::int32_t width, height;
    std::uint8_t compression;
    int paperItem;
    bool autoRotate;
    std::uint8_t jpegColorSpace;
  };
  std::vector<TPageChoice> choices;
  for (int i = 0; i < pageCount; ++i) {
    TPageChoice c;
    c.format = in.Next() & 1 ? vl24RGB : vl1g;
    c.width = 1 + in.Next() % 64;
    c.height = 1 + in.Next() % 64;
    c.compression = in.Next() % 6;
    c.paperItem = in.Next() % kPDFPaperItemCount;
    const std::uint8_t flags = in.Next();
    c.autoRotate = flags & 1;
    c.jpegColorSpace = static_cast<std::uint8_t>((flags >> 1) % 5);
    choices.push_back(c);
  }
  std::string title;
  while (title.size() < 16 && in.pos < in.size) {
    const std::uint8_t b = in.Next();
    if (b == 0)
      break;
    title.push_back(static_cast<char>(b));
  }
  const std::uint8_t* pixels = in.data + in.pos;
  const std::size_t pixelBytes = in.size - in.pos;

  auto builder = BeginPDF();
  builder->spoolInMemory = (head & 0x80) == 0;
  TIOParamsVals first;
  for (int i = 0; i < pageCount; ++i) {
    const TPageChoice& c = choices[static_cast<std::size_t>(i)];
    TVlBitmap bitmap(c.width, c.height, c.format);
    if (bitmap.IsEmpty())
      Crash("bitmap allocation failed");
    std::size_t k = 0;
    for (std::int32_t y = 0; y < c.height; ++y) {
      std::uint8_t* row = bitmap.RowPointer(y);
      for (std::int32_t x = 0; x < bitmap.RowLength(); ++x, ++k)
        row[x] = pixelBytes ? pixels[k % pixelBytes] : static_cast<std::uint8_t>(k);
    }
    TIOParamsVals params;
    params.pdfCompression = c.compression;
    const TPDFPaperSize paper = PDFPageSizeForImage(c.paperItem, c.autoRotate, c.width, c.height);
    params.pdfPaperWidth = paper.width;
    params.pdfPaperHeight = paper.height;
    params.jpegColorSpace = c.jpegColorSpace;
    params.pdfTitle = title;
    params.pdfProducer = "vELLUMO";
    ProgressRecord progress;
    const TVlStatus st = AddImagePage(*builder, bitmap, params, progress);
    if (!st.ok())
      Crash("AddImagePage failed: " + DescribeStatus(st));
    if (c.format == vl1g && params.pdfCompression == pdfJpeg)
      Crash("bilevel page kept JPEG");
    if (i == 0)
      first = params;
  }
  TVlMemoryStream out;
  const TVlStatus st = EndPDF(std::move(builder), out, first);
  if (!st.ok())
    Crash("EndPDF failed: " + DescribeStatus(st));
  const std::string_view file(reinterpret_cast<const char*>(out.Data()), static_cast<std::size_t>(out.Size()));
  TParsedPdf parsed;
  if (!ParsePdfStructure(file, parsed))
    Crash("structure: " + parsed.error);
  if (parsed.size != 3 * pageCount + 5 || parsed.info != 3 * pageCount + 4)
    Crash("object count");
  return 0;
}
