// tiff_roundtrip: reads every page of a TIFF file and writes them all to a new multi-page TIFF
// file with one compression, one page at a time (the first page in new-file mode, every further
// page in insert mode at the end), the way the program saves a document. Used by
// bench/bench_tiff_vs_libtiff.sh to time whole processes beside libtiff's tiffcp.
//
//   tiff_roundtrip [-c none|g4|g3|g3-2d|mh|lzw|packbits|zip|jpeg] [-d] IN.tif OUT.tif
//     -c   compression of the output (default: that of each input page)
//     -d   decode only: read every page, write nothing (OUT is ignored)
// Exit status 0 when every page was read and written.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include "imaging/params.h"
#include "imaging/stream.h"
#include "tiff/tiff_codecs.h"
#include "tiff/tiff_reader.h"
#include "tiff/tiff_writer.h"

namespace {

int CompressionParam(const std::string& c) {
  if (c == "none") return 0;
  if (c == "mh") return 1;
  if (c == "g3") return 2;
  if (c == "g3-2d") return 3;
  if (c == "g4") return 4;
  if (c == "lzw") return 5;
  if (c == "jpeg") return 7;
  if (c == "packbits") return 8;
  if (c == "zip") return 9;
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  int compression = -1;
  bool decodeOnly = false;
  int i = 1;
  for (; i < argc && argv[i][0] == '-'; ++i) {
    if (!std::strcmp(argv[i], "-c") && i + 1 < argc) {
      compression = CompressionParam(argv[++i]);
      if (compression < 0) {
        std::fprintf(stderr, "tiff_roundtrip: unknown compression %s\n", argv[i]);
        return 2;
      }
    } else if (!std::strcmp(argv[i], "-d")) {
      decodeOnly = true;
    } else {
      std::fprintf(stderr, "usage: tiff_roundtrip [-c none|g4|g3|g3-2d|mh|lzw|packbits|zip|jpeg] [-d] IN OUT\n");
      return 2;
    }
  }
  if (argc - i < (decodeOnly ? 1 : 2)) {
    std::fprintf(stderr, "usage: tiff_roundtrip [-c none|g4|g3|g3-2d|mh|lzw|packbits|zip|jpeg] [-d] IN OUT\n");
    return 2;
  }
  InstallDefaultCodecs();
  try {
    TVlFileStream in(argv[i], TVlFileStream::Mode::read);
    std::unique_ptr<TVlFileStream> out;
    if (!decodeOnly)
      out = std::make_unique<TVlFileStream>(argv[i + 1], TVlFileStream::Mode::create);
    TVlBitmap page;  // reused from page to page
    std::int32_t pages = 1;
    for (std::int32_t k = 0; k < pages; ++k) {
      TIOParamsVals params;
      params.SetImageIndex(k);
      params.nativePixelFormat = true;
      std::atomic<bool> abort{false};
      ProgressRecord pr;
      pr.abortFlag = &abort;
      std::unique_ptr<TVlMask> alpha;
      in.Seek(0);
      TVlStatus st = ReadTIFF(&page, in, pages, &params, pr, false, &alpha, false, false, false);
      if (!st.ok() || abort) {
        std::fprintf(stderr, "tiff_roundtrip: page %d of %s: %s\n", k, argv[i], DescribeStatus(pr.failure).c_str());
        return 1;
      }
      if (decodeOnly)
        continue;
      if (alpha)
        page.AlphaFromMask(alpha.get());
      else
        page.FreeAlpha();
      if (compression >= 0)
        params.tiffCompression = std::uint8_t(compression);
      params.SetImageIndex(k);
      out->Seek(0);
      WriteTIFF(*out, k > 0, &page, pr, params);
      if (abort) {
        std::fprintf(stderr, "tiff_roundtrip: writing page %d: %s\n", k, DescribeStatus(pr.failure).c_str());
        return 1;
      }
    }
    if (out && !out->Flush()) {
      std::fprintf(stderr, "tiff_roundtrip: cannot write %s\n", argv[i + 1]);
      return 1;
    }
  } catch (const TVlFileError& e) {
    std::fprintf(stderr, "tiff_roundtrip: %s\n", e.what());
    return 1;
  }
  return 0;
}
