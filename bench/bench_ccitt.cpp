// CCITT codec speed on a synthetic A4 page at 300 dpi (2480 x 3508, printed-text-like).
//
//   bench_ccitt [benchmark flags]          decode and encode G4, G3-2D, G3-1D and MH, one page
//                                          per iteration; bytes/s counts the raw page bitmap
//   bench_ccitt --write-pbm=page.pbm       also writes the page as PBM (for side-by-side runs
//                                          with other tools on the same pixels)
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "imaging/stream.h"
#include "tests/tiff/ccitt_pages.h"
#include "tiff/ccitt.h"

namespace {

enum class Kind { mh, g31d, g32d, g4 };

const TFaxTestPage& Page() {
  static const TFaxTestPage page = MakeTextPage(2480, 3508, 2024);
  return page;
}

std::vector<std::uint8_t> EncodePage(const TFaxTestPage& page, Kind kind) {
  TVlMemoryStream out;
  std::atomic<bool> abort{false};
  std::vector<std::uint8_t> ref;
  int bits = 0;
  std::uint8_t byte = 0;
  for (std::int32_t y = 0; y < page.height; ++y) {
    TVlStatus s;
    switch (kind) {
      case Kind::mh:
        s = WriteMHRow(page.Row(y), page.width, out, 1, abort);
        break;
      case Kind::g31d:
      case Kind::g32d:
        s = WriteT4Row(page.Row(y), page.width, out, 1, abort, kind == Kind::g32d, ref, bits, byte);
        break;
      case Kind::g4:
        s = WriteT6Row(page.Row(y), page.width, out, 1, abort, ref, bits, byte);
        break;
    }
    (void)s;
  }
  if (kind == Kind::g4)
    (void)WriteT6Row(nullptr, page.width, out, 1, abort, ref, bits, byte);
  else if (kind != Kind::mh)
    (void)WriteT4Row(nullptr, page.width, out, 1, abort, kind == Kind::g32d, ref, bits, byte);
  return out.TakeBytes();
}

void Decode(const std::vector<std::uint8_t>& strip, Kind kind, std::int32_t width, std::int32_t height,
            std::vector<std::uint8_t>& pageOut) {
  const std::size_t rowBytes = (static_cast<std::size_t>(width) + 7) / 8;
  std::vector<std::uint8_t> ref(((width + 31) / 32) * 4, 0xFF);
  std::int64_t pos = 0;
  std::size_t cursor = 0;
  for (std::int32_t y = 0; y < height; ++y) {
    std::uint8_t* row = pageOut.data() + rowBytes * y;
    switch (kind) {
      case Kind::mh:
        cursor += DecodeMHRowAligned(row, strip.data() + cursor, width, 1, strip.size() - cursor);
        break;
      case Kind::g31d:
        pos = DecodeMHRow(row, strip.data(), strip.size(), 1, pos, width);
        break;
      case Kind::g32d:
        pos = Decode2DRow(row, strip.data(), strip.size(), true, 1, pos, ref.data(), width);
        break;
      case Kind::g4:
        pos = Decode2DRow(row, strip.data(), strip.size(), false, 1, pos, ref.data(), width);
        break;
    }
  }
}

void BM_Encode(benchmark::State& state, Kind kind) {
  const TFaxTestPage& page = Page();
  std::size_t size = 0;
  for (auto _ : state) {
    auto strip = EncodePage(page, kind);
    size = strip.size();
    benchmark::DoNotOptimize(strip.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * page.bits.size()));
  state.counters["coded_bytes"] = static_cast<double>(size);
}

void BM_Decode(benchmark::State& state, Kind kind) {
  const TFaxTestPage& page = Page();
  const auto strip = EncodePage(page, kind);
  std::vector<std::uint8_t> out(page.bits.size());
  for (auto _ : state) {
    Decode(strip, kind, page.width, page.height, out);
    benchmark::DoNotOptimize(out.data());
  }
  // Check once that the page came back (1 bits = white from the decoder).
  for (std::size_t i = 0; i < out.size(); ++i)
    if (static_cast<std::uint8_t>(~out[i]) != page.bits[i] && (i + 1) % page.rowBytes != 0) {
      state.SkipWithError("decoded page differs");
      break;
    }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * page.bits.size()));
  state.counters["coded_bytes"] = static_cast<double>(strip.size());
}

BENCHMARK_CAPTURE(BM_Decode, G4, Kind::g4)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Encode, G4, Kind::g4)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Decode, G3_2D, Kind::g32d)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Encode, G3_2D, Kind::g32d)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Decode, G3_1D, Kind::g31d)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Encode, G3_1D, Kind::g31d)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Decode, MH, Kind::mh)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Encode, MH, Kind::mh)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) {
    if (std::strncmp(argv[i], "--write-pbm=", 12) == 0) {
      const TFaxTestPage& page = Page();
      FILE* f = std::fopen(argv[i] + 12, "wb");
      if (!f) {
        std::fprintf(stderr, "cannot create %s\n", argv[i] + 12);
        return 1;
      }
      std::fprintf(f, "P4\n%d %d\n", page.width, page.height);
      std::fwrite(page.bits.data(), 1, page.bits.size(), f);
      std::fclose(f);
      continue;
    }
    args.push_back(argv[i]);
  }
  int n = static_cast<int>(args.size());
  benchmark::Initialize(&n, args.data());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
