// Synthetic bilevel pages for the CCITT tests and benchmarks.
//
//   TFaxTestPage     rows of ceil(width / 8) bytes, 1 bits = black, pad bits 0
//   MakeTextPage     a printed-text page: margins, lines of words made of round and straight
//                    glyph strokes, ragged line ends, paragraph gaps
//   MakeNoisePage    independent pixels, blackPercent black (worst case for run coding)
//   MakeRunPage      random run lengths 1..maxRun, rows unrelated (horizontal-mode heavy)
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

struct TFaxTestPage {
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::size_t rowBytes = 0;
  std::vector<std::uint8_t> bits;

  TFaxTestPage() = default;
  TFaxTestPage(std::int32_t w, std::int32_t h)
      : width(w), height(h), rowBytes((static_cast<std::size_t>(w) + 7) / 8), bits(rowBytes * h) {}
  std::uint8_t* Row(std::int32_t y) { return bits.data() + rowBytes * y; }
  const std::uint8_t* Row(std::int32_t y) const { return bits.data() + rowBytes * y; }
  bool Black(std::int32_t x, std::int32_t y) const { return (Row(y)[x >> 3] >> (7 - (x & 7))) & 1; }
  void Set(std::int32_t x, std::int32_t y) {
    if (x >= 0 && x < width && y >= 0 && y < height)
      Row(y)[x >> 3] |= static_cast<std::uint8_t>(0x80 >> (x & 7));
  }
  void Span(std::int32_t y, std::int32_t x0, std::int32_t x1) {  // [x0, x1)
    for (std::int32_t x = std::max(x0, 0); x < std::min(x1, width); ++x) Set(x, y);
  }
  bool operator==(const TFaxTestPage& o) const { return width == o.width && height == o.height && bits == o.bits; }
};

inline TFaxTestPage MakeTextPage(std::int32_t width, std::int32_t height, std::uint32_t seed) {
  TFaxTestPage p(width, height);
  std::mt19937 rnd(seed);
  auto uni = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rnd); };
  const int xh = std::clamp(width / 110, 3, 22);  // x-height in pixels (about 22 at 300 dpi)
  const int stroke = std::max(1, xh / 6);
  const int pitch = xh * 5 / 2;
  const int left = width / 12, right = width - width / 12;
  const int top = std::max(height / 16, xh), bottom = height - height / 16;

  // One glyph with its left edge at x and baseline at base; returns its advance.
  auto glyph = [&](int x, int base) {
    int kind = uni(0, 7);
    int w = xh * uni(6, 11) / 10;
    int asc = xh * 14 / 10, desc = xh * 4 / 10;
    auto ring = [&](int x0, int y0, int gw, int gh, bool openRight) {
      double cx = x0 + gw / 2.0, cy = y0 + gh / 2.0, rx = gw / 2.0, ry = gh / 2.0;
      for (int y = y0; y < y0 + gh; ++y) {
        double dy = (y + 0.5 - cy) / ry;
        if (std::abs(dy) >= 1)
          continue;
        double half = rx * std::sqrt(1 - dy * dy);
        double in = std::abs(dy) < 1 - stroke / ry
                        ? (rx - stroke) * std::sqrt(1 - std::pow(std::abs(y + 0.5 - cy) / (ry - stroke), 2))
                        : 0;
        int o0 = static_cast<int>(std::lround(cx - half)), o1 = static_cast<int>(std::lround(cx + half));
        int i0 = static_cast<int>(std::lround(cx - in)), i1 = static_cast<int>(std::lround(cx + in));
        if (in <= 0) {
          p.Span(y, o0, o1);
        } else {
          p.Span(y, o0, i0);
          if (!(openRight && y > cy - ry / 3 && y < cy + ry / 3))
            p.Span(y, i1, o1);
        }
      }
    };
    auto bar = [&](int x0, int y0, int x1, int y1) {
      for (int y = y0; y < y1; ++y) p.Span(y, x0, x1);
    };
    switch (kind) {
      case 0:  // l
        bar(x, base - asc, x + stroke, base);
        w = stroke;
        break;
      case 1:  // o
        ring(x, base - xh, w, xh, false);
        break;
      case 2:  // n
        bar(x, base - xh, x + stroke, base);
        bar(x, base - xh, x + w, base - xh + stroke);
        bar(x + w - stroke, base - xh, x + w, base);
        break;
      case 3:  // e
        ring(x, base - xh, w, xh, true);
        bar(x, base - xh / 2, x + w, base - xh / 2 + stroke);
        break;
      case 4:  // i
        bar(x, base - xh, x + stroke, base);
        bar(x, base - asc, x + stroke, base - asc + stroke);
        w = stroke;
        break;
      case 5:  // p
        ring(x, base - xh, w, xh, false);
        bar(x, base - xh, x + stroke, base + desc);
        break;
      case 6:  // c
        ring(x, base - xh, w, xh, true);
        break;
      default:  // t
        bar(x + w / 3, base - asc + xh / 3, x + w / 3 + stroke, base);
        bar(x, base - xh, x + w * 3 / 4, base - xh + stroke);
        break;
    }
    return w + std::max(1, stroke);
  };

  for (int base = top + xh * 14 / 10; base < bottom; base += pitch) {
    if (uni(0, 9) == 0)
      continue;  // paragraph gap
    int x = left + (uni(0, 5) == 0 ? xh * 2 : 0);
    int lineEnd = uni(0, 6) == 0 ? left + (right - left) * uni(20, 80) / 100 : right;
    while (x < lineEnd - xh * 3) {
      int letters = uni(2, 9);
      for (int i = 0; i < letters && x < lineEnd; ++i) x += glyph(x, base);
      x += xh * 6 / 10 + uni(0, xh / 4);
    }
  }
  return p;
}

inline TFaxTestPage MakeNoisePage(std::int32_t width, std::int32_t height, std::uint32_t seed, int blackPercent) {
  TFaxTestPage p(width, height);
  std::mt19937 rnd(seed);
  for (std::int32_t y = 0; y < height; ++y)
    for (std::int32_t x = 0; x < width; ++x)
      if (static_cast<int>(rnd() % 100) < blackPercent)
        p.Set(x, y);
  return p;
}

inline TFaxTestPage MakeRunPage(std::int32_t width, std::int32_t height, std::uint32_t seed, int maxRun) {
  TFaxTestPage p(width, height);
  std::mt19937 rnd(seed);
  for (std::int32_t y = 0; y < height; ++y) {
    bool black = rnd() & 1;
    for (std::int32_t x = 0; x < width;) {
      int run = 1 + static_cast<int>(rnd() % maxRun);
      if (black)
        p.Span(y, x, x + run);
      x += run;
      black = !black;
    }
  }
  return p;
}
