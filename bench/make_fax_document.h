// The pages of the benchmark document: A4 at 300 dpi (2480 x 3508), text-like content (lines
// of words made of glyph-like strokes, a heading, a ruled box, a signature scrawl and a little
// scanner speckle). The content of a page depends only on its number.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <random>

#include "imaging/bitmap.h"

namespace faxdoc {

inline constexpr int kWidth = 2480, kHeight = 3508;

// Black is a cleared bit in vl1g rows.
inline void Black(TVlBitmap& bm, int x, int y, int w, int h) {
  for (int yy = std::max(y, 0); yy < std::min(y + h, kHeight); ++yy) {
    std::uint8_t* r = bm.RowPointer(yy);
    for (int xx = std::max(x, 0); xx < std::min(x + w, kWidth); ++xx)
      r[xx >> 3] &= std::uint8_t(~(0x80 >> (xx & 7)));
  }
}

// One glyph: a 5 x 7 cell pattern of strokes drawn with cells of `s` pixels.
inline void Glyph(TVlBitmap& bm, int x, int y, int s, std::uint64_t pattern) {
  for (int cy = 0; cy < 7; ++cy)
    for (int cx = 0; cx < 5; ++cx)
      if ((pattern >> (cy * 5 + cx)) & 1)
        Black(bm, x + cx * s, y + cy * s, s, s);
}

inline std::uint64_t GlyphPattern(std::mt19937& rng) {
  // Strokes rather than noise: a few vertical, horizontal and diagonal bars.
  std::uint64_t p = 0;
  int strokes = 2 + int(rng() % 3);
  for (int k = 0; k < strokes; ++k) {
    int kind = int(rng() % 4);
    int a = int(rng() % 5), b = int(rng() % 7);
    for (int t = 0; t < 7; ++t) {
      int cx = a, cy = t;
      if (kind == 1) {
        cx = t % 5;
        cy = b;
      } else if (kind == 2) {
        cx = (a + t) % 5;
      } else if (kind == 3) {
        cx = std::abs(a - t) % 5;
      }
      p |= std::uint64_t(1) << (cy * 5 + cx);
    }
  }
  return p;
}

inline void DrawPage(TVlBitmap& bm, int page) {
  bm.FillImage(1.0);
  std::mt19937 rng(std::uint32_t(1000 + page));
  std::uint64_t alphabet[40];
  for (std::uint64_t& g : alphabet)
    g = GlyphPattern(rng);
  const int margin = 236;
  // Heading in large glyphs.
  int x = margin;
  for (int i = 0; i < 14; ++i, x += 7 * 8)
    Glyph(bm, x, 260, 8, alphabet[rng() % 40]);
  Black(bm, margin, 360, kWidth - 2 * margin, 5);
  // Body text: 10-point-like glyphs of 4-pixel cells, 32-pixel line pitch... 75 lines.
  int y = 440;
  for (int line = 0; line < 80 && y < kHeight - 600; ++line, y += 36) {
    x = margin;
    const int right = kWidth - margin - int(rng() % 300 == 0 ? 600 : 0);
    bool shortLine = rng() % 9 == 0;
    int limit = shortLine ? margin + int(rng() % 1200) : right;
    while (x < limit - 40) {
      int letters = 2 + int(rng() % 8);
      for (int l = 0; l < letters && x < limit - 24; ++l, x += 24)
        Glyph(bm, x, y, 4, alphabet[rng() % 40]);
      x += 20;
    }
    if (rng() % 12 == 0)
      y += 36;  // paragraph break
  }
  // A ruled box (a form field) and a signature scrawl.
  const int bx = margin, by = kHeight - 520, bw = 1200, bh = 260;
  Black(bm, bx, by, bw, 4);
  Black(bm, bx, by + bh, bw, 4);
  Black(bm, bx, by, 4, bh);
  Black(bm, bx + bw, by, 4, bh + 4);
  int sx = bx + 60, sy = by + 150;
  for (int t = 0; t < 900; ++t) {
    sy += int(rng() % 7) - 3;
    sy = std::clamp(sy, by + 40, by + bh - 40);
    Black(bm, sx + t, sy, 3, 3);
  }
  // Scanner speckle.
  for (int k = 0; k < 400; ++k)
    Black(bm, int(rng() % kWidth), int(rng() % kHeight), 1 + int(rng() % 2), 1 + int(rng() % 2));
}

}  // namespace faxdoc
