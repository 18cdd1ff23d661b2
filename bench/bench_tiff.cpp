// TIFF reading and writing of a realistic fax document: 100 A4 pages at 300 dpi of text-like
// content (bench/make_fax_document.h), held in memory, decoded and encoded page by page the way
// the program loads and saves a document (one bitmap reused; each page read by its index, each
// further page written in insert mode), with CCITT G4, G3 (one-dimensional) and LZW.
//   BM_DecodeDocument/<code>   all 100 pages
//   BM_EncodeDocument/<code>   all 100 pages into a new file
//   BM_DecodePage/<code>, BM_EncodePage/<code>   one page, for finer figures
// Codes: 4 = G4, 2 = G3 1-D, 3 = G3 2-D, 5 = LZW (the tiffCompression values).
#include <benchmark/benchmark.h>

#include <atomic>
#include <map>
#include <memory>
#include <vector>

#include "bench/make_fax_document.h"
#include "imaging/params.h"
#include "imaging/stream.h"
#include "tiff/tiff_codecs.h"
#include "tiff/tiff_reader.h"
#include "tiff/tiff_writer.h"

namespace {

constexpr int kPages = 100;

const std::vector<std::unique_ptr<TVlBitmap>>& Pages() {
  static std::vector<std::unique_ptr<TVlBitmap>> pages = [] {
    std::vector<std::unique_ptr<TVlBitmap>> v;
    for (int k = 0; k < kPages; ++k) {
      auto bm = std::make_unique<TVlBitmap>();
      if (!bm->AllocateImage(faxdoc::kWidth, faxdoc::kHeight, vl1g).ok())
        std::abort();
      faxdoc::DrawPage(*bm, k);
      v.push_back(std::move(bm));
    }
    return v;
  }();
  return pages;
}

void WritePage(TVlStream& s, TVlBitmap& page, int k, int code) {
  TIOParamsVals params;
  params.bitsPerSample = 1;
  params.samplesPerPixel = 1;
  params.tiffPhotometric = 0;
  params.tiffCompression = std::uint8_t(code);
  params.SetImageIndex(k);
  std::atomic<bool> abort{false};
  ProgressRecord pr;
  pr.abortFlag = &abort;
  s.Seek(0);
  WriteTIFF(s, k > 0, &page, pr, params);
  if (abort)
    std::abort();
}

const std::vector<std::uint8_t>& Document(int code) {
  static std::map<int, std::vector<std::uint8_t>> docs;
  auto it = docs.find(code);
  if (it != docs.end())
    return it->second;
  InstallDefaultCodecs();
  TVlMemoryStream s;
  for (int k = 0; k < kPages; ++k)
    WritePage(s, *Pages()[std::size_t(k)], k, code);
  return docs[code] = s.TakeBytes();
}

void ReadPage(TVlMemoryStream& s, TVlBitmap& page, int k) {
  TIOParamsVals params;
  params.SetImageIndex(k);
  std::atomic<bool> abort{false};
  ProgressRecord pr;
  pr.abortFlag = &abort;
  std::int32_t n = 0;
  s.Seek(0);
  if (!ReadTIFF(&page, s, n, &params, pr, false, nullptr, false, false, false).ok())
    std::abort();
}

constexpr double kPageBytes = double(faxdoc::kWidth) / 8 * faxdoc::kHeight;

void BM_DecodeDocument(benchmark::State& state) {
  const std::vector<std::uint8_t>& doc = Document(int(state.range(0)));
  TVlMemoryStream s(doc.data(), std::int64_t(doc.size()));
  TVlBitmap page;
  for (auto _ : state)
    for (int k = 0; k < kPages; ++k)
      ReadPage(s, page, k);
  state.SetItemsProcessed(state.iterations() * kPages);
  state.counters["file_KB"] = double(doc.size()) / 1024;
  state.counters["MB_pixels/s"] =
      benchmark::Counter(kPageBytes * kPages / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_EncodeDocument(benchmark::State& state) {
  const int code = int(state.range(0));
  InstallDefaultCodecs();
  Pages();
  for (auto _ : state) {
    TVlMemoryStream s;
    for (int k = 0; k < kPages; ++k)
      WritePage(s, *Pages()[std::size_t(k)], k, code);
    benchmark::DoNotOptimize(s.Size());
  }
  state.SetItemsProcessed(state.iterations() * kPages);
  state.counters["MB_pixels/s"] =
      benchmark::Counter(kPageBytes * kPages / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_DecodePage(benchmark::State& state) {
  // A single-page file of page 7.
  InstallDefaultCodecs();
  TVlMemoryStream one;
  WritePage(one, *Pages()[7], 0, int(state.range(0)));
  TVlMemoryStream s(one.Data(), one.Size());
  TVlBitmap page;
  for (auto _ : state)
    ReadPage(s, page, 0);
  state.SetItemsProcessed(state.iterations());
  state.counters["page_KB"] = double(one.Size()) / 1024;
}

void BM_EncodePage(benchmark::State& state) {
  InstallDefaultCodecs();
  TVlBitmap& page = *Pages()[7];
  for (auto _ : state) {
    TVlMemoryStream s;
    WritePage(s, page, 0, int(state.range(0)));
    benchmark::DoNotOptimize(s.Size());
  }
  state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK(BM_DecodeDocument)->Arg(4)->Arg(2)->Arg(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodeDocument)->Arg(4)->Arg(2)->Arg(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodePage)->Arg(4)->Arg(2)->Arg(3)->Arg(5)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EncodePage)->Arg(4)->Arg(2)->Arg(3)->Arg(5)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
