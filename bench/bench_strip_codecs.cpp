// Strip codec speed on an A4 page at 300 dpi (2480 x 3508): an 8-bit gray scan (paper with
// sensor noise, lines of dark strokes) and the same page as a 1-bit bilevel page.
// LZW and PackBits, decode and encode; Deflate decode for comparison.
//   ninja -C build bench_strip_codecs && build/bench/bench_strip_codecs
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "imaging/stream.h"
#include "tiff/deflate.h"
#include "tiff/lzw.h"
#include "tiff/packbits.h"

namespace {

constexpr int kWidth = 2480;
constexpr int kHeight = 3508;

struct TPage {
  std::int32_t rowLength;
  std::vector<std::uint8_t> pixels;
};

// Paper at 236..243 with noise; text lines of 60 rows every 100 rows, with strokes of 3..8
// pixels at 20..60.
const TPage& GrayPage() {
  static const TPage page = [] {
    TPage p{kWidth, std::vector<std::uint8_t>(std::size_t(kWidth) * kHeight)};
    std::mt19937 rng(42);
    for (int y = 0; y < kHeight; ++y) {
      std::uint8_t* row = p.pixels.data() + std::size_t(y) * kWidth;
      for (int x = 0; x < kWidth; ++x) row[x] = std::uint8_t(236 + rng() % 8);
      if (y % 100 < 60 && y > 200 && y < kHeight - 200) {
        for (int x = 150; x < kWidth - 150;) {
          const int gap = 4 + int(rng() % 14), stroke = 3 + int(rng() % 6);
          x += gap;
          for (int k = 0; k < stroke && x < kWidth - 150; ++k, ++x)
            if (rng() % 3)
              row[x] = std::uint8_t(20 + rng() % 40);
        }
      }
    }
    return p;
  }();
  return page;
}

// The gray page thresholded at 128: packed 1 bit per pixel, a set bit for white.
const TPage& BilevelPage() {
  static const TPage page = [] {
    const TPage& g = GrayPage();
    const std::int32_t rowLength = (kWidth + 7) / 8;
    TPage p{rowLength, std::vector<std::uint8_t>(std::size_t(rowLength) * kHeight, 0)};
    for (int y = 0; y < kHeight; ++y)
      for (int x = 0; x < kWidth; ++x)
        if (g.pixels[std::size_t(y) * kWidth + std::size_t(x)] >= 128)
          p.pixels[std::size_t(y) * std::size_t(rowLength) + std::size_t(x / 8)] |= std::uint8_t(0x80 >> (x % 8));
    return p;
  }();
  return page;
}

// One strip per 64 rows, as writers of scans commonly do (and as 512 KiB strips are for gray);
// the decoder is also measured on strips of one row, which some writers produce.
constexpr int kRowsPerStrip = 64;

std::vector<std::vector<std::uint8_t>> LzwStrips(const TPage& p, int rowsPerStrip) {
  std::vector<std::vector<std::uint8_t>> strips;
  for (int y0 = 0; y0 < kHeight; y0 += rowsPerStrip) {
    TVlMemoryStream out;
    TLzwEncoderState* st = nullptr;
    for (int y = y0; y < std::min(kHeight, y0 + rowsPerStrip); ++y)
      (void)TIFFLzwEncode(p.pixels.data() + std::size_t(y) * std::size_t(p.rowLength), p.rowLength, out, st);
    (void)TIFFLzwEncode(nullptr, 0, out, st);
    strips.push_back(out.TakeBytes());
  }
  return strips;
}

void SetCounters(benchmark::State& state, const TPage& p, std::size_t coded) {
  state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(p.pixels.size()));
  state.counters["coded_bytes"] = double(coded);
  state.counters["pages_per_s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}

void LzwDecode(benchmark::State& state, const TPage& p) {
  const int rowsPerStrip = int(state.range(0));
  const auto strips = LzwStrips(p, rowsPerStrip);
  std::size_t coded = 0;
  for (const auto& s : strips) coded += s.size();
  std::vector<std::uint8_t> out(p.pixels.size());
  for (auto _ : state) {
    std::size_t at = 0;
    for (std::size_t i = 0; i < strips.size(); ++i) {
      TLzwDecoderState* st = nullptr;
      const int rows = std::min(rowsPerStrip, kHeight - int(i) * rowsPerStrip);
      for (int r = 0; r < rows; ++r) {
        const std::uint8_t* row = TIFFLzwDecode(strips[i].data(), strips[i].size(), p.rowLength, st);
        std::memcpy(out.data() + at, row, std::size_t(p.rowLength));
        at += std::size_t(p.rowLength);
      }
      (void)TIFFLzwDecode(nullptr, 0, p.rowLength, st);
    }
    benchmark::DoNotOptimize(out.data());
  }
  if (out != p.pixels)
    state.SkipWithError("LZW round trip differs");
  SetCounters(state, p, coded);
}

void LzwEncode(benchmark::State& state, const TPage& p) {
  std::size_t coded = 0;
  for (auto _ : state) {
    coded = 0;
    for (int y0 = 0; y0 < kHeight; y0 += kRowsPerStrip) {
      TVlMemoryStream out;
      TLzwEncoderState* st = nullptr;
      for (int y = y0; y < std::min(kHeight, y0 + kRowsPerStrip); ++y)
        (void)TIFFLzwEncode(p.pixels.data() + std::size_t(y) * std::size_t(p.rowLength), p.rowLength, out, st);
      (void)TIFFLzwEncode(nullptr, 0, out, st);
      coded += std::size_t(out.Size());
    }
  }
  SetCounters(state, p, coded);
}

void PackBitsEncode(benchmark::State& state, const TPage& p) {
  std::vector<std::uint8_t> out;
  for (auto _ : state) {
    out.clear();
    for (int y = 0; y < kHeight; ++y)
      PackBitsEncodeRowTo(p.pixels.data() + std::size_t(y) * std::size_t(p.rowLength), p.rowLength, out);
    benchmark::DoNotOptimize(out.data());
  }
  SetCounters(state, p, out.size());
}

void PackBitsDecode(benchmark::State& state, const TPage& p) {
  std::vector<std::uint8_t> coded;
  for (int y = 0; y < kHeight; ++y)
    PackBitsEncodeRowTo(p.pixels.data() + std::size_t(y) * std::size_t(p.rowLength), p.rowLength, coded);
  std::vector<std::uint8_t> out(p.pixels.size());
  for (auto _ : state) {
    std::size_t cursor = 0;
    for (int y = 0; y < kHeight; ++y)
      (void)PackBitsDecodeRow(coded.data(), coded.size(), cursor,
                              out.data() + std::size_t(y) * std::size_t(p.rowLength), p.rowLength);
    benchmark::DoNotOptimize(out.data());
  }
  if (out != p.pixels)
    state.SkipWithError("PackBits round trip differs");
  SetCounters(state, p, coded.size());
}

void DeflateDecode(benchmark::State& state, const TPage& p) {
  TVlMemoryStream strip;
  TVlDeflateStripWriter w;
  (void)w.Begin(strip, 1);
  (void)w.WriteRow(p.pixels.data(), std::int32_t(p.pixels.size()));
  (void)w.Finish();
  const auto coded = strip.TakeBytes();
  std::vector<std::uint8_t> out;
  for (auto _ : state) {
    (void)InflateStrip(coded.data(), coded.size(), p.pixels.size(), out);
    benchmark::DoNotOptimize(out.data());
  }
  SetCounters(state, p, coded.size());
}

}  // namespace

BENCHMARK_CAPTURE(LzwDecode, gray, GrayPage())->Arg(kRowsPerStrip)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(LzwEncode, gray, GrayPage())->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(LzwDecode, bilevel, BilevelPage())->Arg(kRowsPerStrip)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(LzwEncode, bilevel, BilevelPage())->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(PackBitsDecode, gray, GrayPage())->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(PackBitsEncode, gray, GrayPage())->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(PackBitsDecode, bilevel, BilevelPage())->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(PackBitsEncode, bilevel, BilevelPage())->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(DeflateDecode, gray, GrayPage())->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
