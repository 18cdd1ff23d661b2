// bench_pdf_writer: writes a many-page PDF document and reports time, pages per second and
// peak memory.
//
//   bench_pdf_writer [--pages N] [--compression C] [--colour] [--in-memory] [output.pdf]
//   bench_pdf_writer --input FILE.tif [--compression C] output.pdf
//   bench_pdf_writer --write-pbm DIR      the ten bilevel pages as DIR/page-0.pbm .. page-9.pbm
//
// Pages are text-like 2480 x 3508 bilevel scans (300 dpi A4; ten different pages used in
// turn, see TextPage), or 1240 x 1754 colour pages with --colour, made in memory, so the
// figure is the PDF writer's own cost: encoding (C: 0 none, 1 RunLength, 2 G4, 3 G3 2-D,
// 4 JPEG, 5 LZW; default 2) and writing. --in-memory keeps the encoded data in memory instead
// of the spool file (same output bytes). With --input every page of a TIFF file is read
// (decoded) and written, page size by the A4 auto-rotate rule: the whole road of a
// conversion. Without arguments: 50 G4 pages into a temporary
// file. bench/bench_pdf.sh runs it side by side with peer tools.
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "imaging/bitmap.h"
#include "imaging/codec_hooks.h"
#include "imaging/params.h"
#include "imaging/progress.h"
#include "imaging/stream.h"
#include "pdf/pdf_images.h"
#include "tiff/tiff_codecs.h"
#include "tiff/tiff_reader.h"

namespace {

// Lines of words of 2..9 letters; a letter is a 14 x 28 cell drawn from stems and bars
// (left and right stem, top, middle and bottom bar, at least two of them), 3 pixels apart,
// words 16 pixels apart, lines every 56 pixels inside 150-pixel margins, with a blank line
// every twelfth line: about 10 % black, like a typed page.
std::unique_ptr<TVlBitmap> TextPage(unsigned seed) {
  constexpr std::int32_t w = 2480, h = 3508, margin = 150, cellW = 14, cellH = 28, pitch = 56;
  auto b = std::make_unique<TVlBitmap>(w, h, vl1g);
  std::mt19937 rng(seed);
  std::vector<std::uint8_t> row(static_cast<std::size_t>(b->RowLength()));
  struct TLetter {
    int x;
    unsigned shape;
  };
  std::vector<TLetter> letters;
  for (std::int32_t y = 0; y < h; ++y) {
    const int line = (y - margin) / pitch, ly = (y - margin) % pitch;
    if (y >= margin && ly == 0) {
      letters.clear();
      int x = margin;
      while (x < w - margin - 9 * (cellW + 3)) {
        const int count = 2 + static_cast<int>(rng() % 8);
        for (int k = 0; k < count; ++k, x += cellW + 3) {
          unsigned shape = rng() % 32;
          if (__builtin_popcount(shape) < 2)
            shape |= 3;
          letters.push_back({x, shape});
        }
        x += 16;
      }
    }
    std::fill(row.begin(), row.end(), 0xFF);
    if (y >= margin && y < h - margin && ly < cellH && line % 12 != 11)
      for (const TLetter& l : letters)
        for (int lx = 0; lx < cellW; ++lx) {
          const bool ink = ((l.shape & 1) && lx < 3) || ((l.shape & 2) && lx >= cellW - 3) ||
                           ((l.shape & 4) && ly < 3) || ((l.shape & 8) && ly >= 12 && ly < 15) ||
                           ((l.shape & 16) && ly >= cellH - 3);
          if (ink) {
            const int x = l.x + lx;
            row[static_cast<std::size_t>(x / 8)] &= static_cast<std::uint8_t>(~(0x80 >> (x % 8)));
          }
        }
    std::memcpy(b->RowPointer(y), row.data(), row.size());
  }
  return b;
}

std::unique_ptr<TVlBitmap> ColourPage(unsigned seed) {
  constexpr std::int32_t w = 1240, h = 1754;
  auto b = std::make_unique<TVlBitmap>(w, h, vl24RGB);
  std::mt19937 rng(seed);
  for (std::int32_t y = 0; y < h; ++y) {
    std::uint8_t* p = b->RowPointer(y);
    for (std::int32_t x = 0; x < w; ++x, p += 3) {
      const int n = static_cast<int>(rng() % 9);
      p[0] = static_cast<std::uint8_t>(200 + n);
      p[1] = static_cast<std::uint8_t>((x * 255 / w + n) & 0xFF);
      p[2] = static_cast<std::uint8_t>((y * 255 / h + n) & 0xFF);
    }
  }
  return b;
}

// PBM (P4): 1 bits are black, so the rows are inverted.
bool WritePbm(TVlBitmap& b, const std::filesystem::path& path) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f)
    return false;
  std::fprintf(f, "P4\n%d %d\n", b.Width(), b.Height());
  const std::size_t r = static_cast<std::size_t>((b.Width() + 7) / 8);
  std::vector<std::uint8_t> row(r);
  bool ok = true;
  for (std::int32_t y = 0; y < b.Height() && ok; ++y) {
    const std::uint8_t* src = b.RowPointer(y);
    for (std::size_t i = 0; i < r; ++i)
      row[i] = static_cast<std::uint8_t>(~src[i]);
    ok = std::fwrite(row.data(), 1, r, f) == r;
  }
  return std::fclose(f) == 0 && ok;
}

long PeakRssKiB() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
  int pages = 50, compression = pdfG4;
  bool colour = false, inMemory = false;
  std::string output, pbmDir, input;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--input" && i + 1 < argc)
      input = argv[++i];
    else if (a == "--write-pbm" && i + 1 < argc)
      pbmDir = argv[++i];
    else if (a == "--pages" && i + 1 < argc)
      pages = std::atoi(argv[++i]);
    else if (a == "--compression" && i + 1 < argc)
      compression = std::atoi(argv[++i]);
    else if (a == "--colour")
      colour = true;
    else if (a == "--in-memory")
      inMemory = true;
    else if (!a.empty() && a[0] != '-')
      output = a;
    else {
      std::fprintf(stderr, "usage: bench_pdf_writer [--pages N] [--compression C] [--colour] [--in-memory] [output.pdf] | --write-pbm DIR\n");
      return 2;
    }
  }
  InstallDefaultCodecs();
  if (!pbmDir.empty()) {
    for (unsigned s = 0; s < 10; ++s)
      if (!WritePbm(*TextPage(s + 1), std::filesystem::path(pbmDir) / ("page-" + std::to_string(s) + ".pbm"))) {
        std::fprintf(stderr, "cannot write %s\n", pbmDir.c_str());
        return 1;
      }
    return 0;
  }
  const bool temporary = output.empty();
  if (temporary)
    output = (std::filesystem::temp_directory_path() / "bench_pdf_writer.pdf").string();

  std::vector<std::unique_ptr<TVlBitmap>> sources;
  std::unique_ptr<TVlFileStream> tiff;
  if (input.empty()) {
    for (unsigned s = 0; s < 10; ++s)
      sources.push_back(colour ? ColourPage(s + 1) : TextPage(s + 1));
  } else {
    tiff = std::make_unique<TVlFileStream>(input, TVlFileStream::Mode::read);
    ProgressRecord progress;
    std::int32_t count = 0;
    if (!ReadTIFF(nullptr, *tiff, count, nullptr, progress, true, nullptr, false, false, false).ok() || count < 1) {
      std::fprintf(stderr, "%s: no TIFF pages\n", input.c_str());
      return 1;
    }
    pages = count;
    sources.push_back(std::make_unique<TVlBitmap>());
  }
  const long rssBefore = PeakRssKiB();

  const auto t0 = std::chrono::steady_clock::now();
  auto builder = BeginPDF();
  builder->spoolInMemory = inMemory;
  TIOParamsVals first;
  for (int i = 0; i < pages; ++i) {
    TVlBitmap& page = *sources[static_cast<std::size_t>(i) % sources.size()];
    TIOParamsVals params;
    if (tiff) {
      params.SetImageIndex(i);
      std::atomic<bool> aborting{false};
      ProgressRecord read;
      read.abortFlag = &aborting;
      std::int32_t count = 0;
      const TVlStatus rs = ReadTIFF(&page, *tiff, count, &params, read, false, nullptr, false, false, false);
      if (!rs.ok()) {
        std::fprintf(stderr, "reading page %d: %s\n", i + 1, DescribeStatus(rs).c_str());
        return 1;
      }
    }
    params.pdfCompression = static_cast<std::uint8_t>(compression);
    const TPDFPaperSize paper = PDFPageSizeForImage(kPDFPaperA4, true, page.Width(), page.Height());
    params.pdfPaperWidth = paper.width;
    params.pdfPaperHeight = paper.height;
    params.pdfProducer = "vELLUMO";
    ProgressRecord progress;
    const TVlStatus st = AddImagePage(*builder, page, params, progress);
    if (!st.ok()) {
      std::fprintf(stderr, "page %d: %s\n", i + 1, DescribeStatus(st).c_str());
      return 1;
    }
    if (i == 0)
      first = params;
  }
  const auto t1 = std::chrono::steady_clock::now();
  TVlStatus st;
  {
    TVlFileStream out(output, TVlFileStream::Mode::create);
    st = EndPDF(std::move(builder), out, first);
  }
  const auto t2 = std::chrono::steady_clock::now();
  if (!st.ok()) {
    std::fprintf(stderr, "EndPDF: %s\n", DescribeStatus(st).c_str());
    return 1;
  }
  const double encode = std::chrono::duration<double>(t1 - t0).count();
  const double write = std::chrono::duration<double>(t2 - t1).count();
  std::error_code ec;
  const auto bytes = std::filesystem::file_size(output, ec);
  std::printf("%s: %d %s pages, compression %d: encode %.2f s, write %.2f s, %.1f pages/s, %.1f MB, "
              "peak RSS %ld KiB (%ld KiB before writing)\n",
              tiff ? "TIFF to pdf" : "pdf writer", pages, colour ? "colour" : "bilevel", compression, encode, write, pages / (encode + write),
              static_cast<double>(bytes) / 1e6, PeakRssKiB(), rssBefore);
  if (temporary)
    std::filesystem::remove(output, ec);
  return 0;
}
