// make_fax_document: writes a realistic multi-page bilevel document for the TIFF benchmarks
// (the pages of bench/make_fax_document.h) with the program's own TIFF writer.
//
//   make_fax_document [-n PAGES] [-c none|g4|g3|g3-2d|mh|lzw|packbits|zip] OUT.tif
// Defaults: 100 pages, G4. The content depends only on the page number (fixed seeds).
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "imaging/params.h"
#include "imaging/stream.h"
#include "tiff/tiff_codecs.h"
#include "tiff/tiff_writer.h"
#include "bench/make_fax_document.h"

namespace {

int CompressionParam(const std::string& c) {
  if (c == "none") return 0;
  if (c == "mh") return 1;
  if (c == "g3") return 2;
  if (c == "g3-2d") return 3;
  if (c == "g4") return 4;
  if (c == "lzw") return 5;
  if (c == "packbits") return 8;
  if (c == "zip") return 9;
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  int pages = 100, compression = 4;
  int i = 1;
  for (; i + 1 < argc && argv[i][0] == '-'; i += 2) {
    if (!std::strcmp(argv[i], "-n"))
      pages = std::atoi(argv[i + 1]);
    else if (!std::strcmp(argv[i], "-c"))
      compression = CompressionParam(argv[i + 1]);
  }
  if (i >= argc || pages < 1 || compression < 0) {
    std::fprintf(stderr, "usage: make_fax_document [-n PAGES] [-c none|g4|g3|g3-2d|mh|lzw|packbits|zip] OUT.tif\n");
    return 2;
  }
  InstallDefaultCodecs();
  try {
    TVlFileStream out(argv[i], TVlFileStream::Mode::create);
    TVlBitmap page;
    if (!page.AllocateImage(faxdoc::kWidth, faxdoc::kHeight, vl1g).ok())
      return 1;
    for (int k = 0; k < pages; ++k) {
      faxdoc::DrawPage(page, k);
      TIOParamsVals params;
      params.bitsPerSample = 1;
      params.samplesPerPixel = 1;
      params.tiffPhotometric = 0;
      params.tiffCompression = std::uint8_t(compression);
      params.SetDpiX(300);
      params.SetDpiY(300);
      params.tiffPageNumber = k;
      params.tiffPageCount = pages;
      params.SetImageIndex(k);
      std::atomic<bool> abort{false};
      ProgressRecord pr;
      pr.abortFlag = &abort;
      out.Seek(0);
      WriteTIFF(out, k > 0, &page, pr, params);
      if (abort) {
        std::fprintf(stderr, "make_fax_document: page %d: %s\n", k, DescribeStatus(pr.failure).c_str());
        return 1;
      }
    }
    out.Flush();
  } catch (const TVlFileError& e) {
    std::fprintf(stderr, "make_fax_document: %s\n", e.what());
    return 1;
  }
  return 0;
}
