// Page operations on an A4 page at 300 dpi (2480 x 3508), bilevel and 24-bit: quarter turn,
// rotation by 3.5 degrees, Floyd-Steinberg, blur. Each runs through TVlProc as the editor calls
// it (without undo recording).
//
//   bench_proc [google-benchmark flags]
//   bench_proc --write-pnm DIR     writes the two pages as DIR/page-bw.pbm and DIR/page-rgb.ppm
//
// The pages are text-like: lines of word-sized ink blocks on white (bilevel) or on slightly
// tinted, noisy paper (24-bit). With VELLUMO_BENCH_PAGES=DIR the pages are read from DIR instead
// (bench/bench_proc_vs_magick.sh feeds the same files to ImageMagick).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "imaging/bitops.h"
#include "proc/proc.h"

namespace {

constexpr int kW = 2480, kH = 3508;

void MakePages(TVlBitmap& bw, TVlBitmap& rgb) {
  (void)bw.AllocateImage(kW, kH, vl1g);
  (void)rgb.AllocateImage(kW, kH, vl24RGB);
  std::mt19937 rng(42);
  std::vector<std::uint8_t> ink(size_t(kW) * kH, 0);
  for (int line = 300; line + 40 < kH - 300; line += 70) {
    int x = 250;
    while (x < kW - 250) {
      const int w = 30 + int(rng() % 160);
      for (int y = line; y < line + 36; ++y)
        for (int i = x; i < std::min(x + w, kW - 250); ++i)
          if ((rng() & 15) != 0)  // ragged strokes
            ink[size_t(y) * kW + i] = 1;
      x += w + 25;
    }
  }
  for (int y = 0; y < kH; ++y) {
    std::uint8_t* b = bw.RowPointer(y);
    std::uint8_t* c = rgb.RowPointer(y);
    std::memset(b, 0, size_t(bw.RowLength()));
    for (int x = 0; x < kW; ++x) {
      const bool on = ink[size_t(y) * kW + x];
      VlSetBit(b, x, !on);
      const int n = int(rng() % 9) - 4;
      c[3 * x] = std::uint8_t(on ? 30 + n : 228 + n);
      c[3 * x + 1] = std::uint8_t(on ? 35 + n : 238 + n);
      c[3 * x + 2] = std::uint8_t(on ? 40 + n : 245 + n);
    }
  }
}

bool WritePnm(const std::string& path, TVlBitmap& img) {
  std::ofstream out(path, std::ios::binary);
  const bool bits = img.PixelFormat() == vl1g;
  out << (bits ? "P4\n" : "P6\n") << img.Width() << " " << img.Height() << "\n" << (bits ? "" : "255\n");
  std::vector<std::uint8_t> row;
  for (int y = 0; y < img.Height(); ++y) {
    const std::uint8_t* r = img.RowPointer(y);
    if (bits) {
      row.assign(r, r + (img.Width() + 7) / 8);
      for (auto& v : row) v = std::uint8_t(~v);  // PBM: 1 is black
    } else {
      row.resize(size_t(img.Width()) * 3);
      for (int x = 0; x < img.Width(); ++x)
        row[3 * x] = r[3 * x + 2], row[3 * x + 1] = r[3 * x + 1], row[3 * x + 2] = r[3 * x];
    }
    out.write(reinterpret_cast<const char*>(row.data()), std::streamsize(row.size()));
  }
  return bool(out);
}

bool ReadPnm(const std::string& path, TVlBitmap& img) {
  std::ifstream in(path, std::ios::binary);
  std::string magic;
  int w = 0, h = 0, maxv = 1;
  in >> magic >> w >> h;
  if (magic == "P6")
    in >> maxv;
  in.get();
  if ((magic != "P4" && magic != "P6") || w <= 0 || h <= 0 || maxv != (magic == "P4" ? 1 : 255))
    return false;
  const bool bits = magic == "P4";
  if (!img.AllocateImage(w, h, bits ? vl1g : vl24RGB).ok())
    return false;
  std::vector<std::uint8_t> row(bits ? size_t((w + 7) / 8) : size_t(w) * 3);
  for (int y = 0; y < h; ++y) {
    in.read(reinterpret_cast<char*>(row.data()), std::streamsize(row.size()));
    std::uint8_t* r = img.RowPointer(y);
    if (bits) {
      for (size_t i = 0; i < row.size(); ++i) r[i] = std::uint8_t(~row[i]);
    } else {
      for (int x = 0; x < w; ++x) r[3 * x] = row[3 * x + 2], r[3 * x + 1] = row[3 * x + 1], r[3 * x + 2] = row[3 * x];
    }
  }
  return bool(in);
}

TVlBitmap& Page(bool bits) {
  static TVlBitmap bw, rgb;
  static bool ready = false;
  if (!ready) {
    const char* dir = std::getenv("VELLUMO_BENCH_PAGES");
    if (!dir || !ReadPnm(std::string(dir) + "/page-bw.pbm", bw) || !ReadPnm(std::string(dir) + "/page-rgb.ppm", rgb))
      MakePages(bw, rgb);
    ready = true;
  }
  return bits ? bw : rgb;
}

// Times `op` on a fresh copy of the page (the copy is not timed).
template <class Op>
void RunOnPage(benchmark::State& state, bool bits, Op op) {
  TVlBitmap img;
  for (auto _ : state) {
    state.PauseTiming();
    (void)img.AssignImage(Page(bits));
    TVlProc proc;
    proc.SetImage(&img);
    proc.AutoUndo = false;
    proc.SetBackground(VlColor(255, 255, 255));
    state.ResumeTiming();
    op(proc);
    benchmark::DoNotOptimize(img.RowPointer(0));
  }
}

void BM_QuarterTurn(benchmark::State& s) {
  RunOnPage(s, s.range(0), [](TVlProc& p) { p.Rotate(true, -1, 90); });
}
void BM_Rotate3_5(benchmark::State& s) {
  RunOnPage(s, s.range(0), [](TVlProc& p) { p.Rotate(true, -1, 3.5); });
}
void BM_FloydSteinberg(benchmark::State& s) {
  RunOnPage(s, s.range(0), [](TVlProc& p) { p.ConvertToBW_FloyedSteinberg(); });
}
void BM_Blur(benchmark::State& s) {
  const double r = double(s.range(1));
  RunOnPage(s, s.range(0), [r](TVlProc& p) { p.Blur(r); });
}

// Argument 0: 1 bilevel page, 0 24-bit page.
BENCHMARK(BM_QuarterTurn)->ArgName("bilevel")->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Rotate3_5)->ArgName("bilevel")->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FloydSteinberg)->ArgName("bilevel")->Arg(0)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Blur)
    ->ArgNames({"bilevel", "radius"})
    ->Args({1, 4})
    ->Args({0, 4})
    ->Args({0, 20})
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--write-pnm") == 0) {
    TVlBitmap bw, rgb;
    MakePages(bw, rgb);
    const std::string dir = argv[2];
    return WritePnm(dir + "/page-bw.pbm", bw) && WritePnm(dir + "/page-rgb.ppm", rgb) ? 0 : 1;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
