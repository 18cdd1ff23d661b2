// Tone and colour kernels (see tone.h).
#include "proc/tone.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "imaging/bitops.h"
#include "proc/canvas.h"

namespace {

inline std::uint8_t Clamp255(double v) {
  if (!(v > 0))
    return 0;
  return v >= 255 ? 255 : std::uint8_t(v);
}

}  // namespace

void VlNegative(TVlBitmap& image) {
  if (image.IsEmpty())
    return;
  const std::int32_t W = image.Width(), H = image.Height();
  switch (image.PixelFormat()) {
    case vl8p:
      for (int i = 0; i < 256 && image.Palette(); ++i) {
        TVlRGB& c = image.Palette()[i];
        c = {std::uint8_t(255 - c.b), std::uint8_t(255 - c.g), std::uint8_t(255 - c.r)};
      }
      return;
    case vl32f:
      for (std::int32_t y = 0; y < H; ++y) {
        std::uint8_t* r = image.RowPointer(y);
        for (std::int32_t x = 0; x < W; ++x) {
          float f;
          std::memcpy(&f, r + 4 * std::int64_t(x), 4);
          f = 1.0f - f;
          std::memcpy(r + 4 * std::int64_t(x), &f, 4);
        }
      }
      break;
    default: {
      // Bitwise complement of the pixel bytes (1-bit: the bits of the row; padding stays 0).
      const std::int64_t bits = std::int64_t(W) * image.BitsPerPixel();
      const std::int64_t bytes = (bits + 7) / 8;
      const int pad = int(bytes * 8 - bits);
      for (std::int32_t y = 0; y < H; ++y) {
        std::uint8_t* r = image.RowPointer(y);
        for (std::int64_t i = 0; i < bytes; ++i) r[i] = std::uint8_t(~r[i]);
        if (pad)
          r[bytes - 1] &= std::uint8_t(0xFF << pad);
      }
    }
  }
  image.RowPointer(0);
}

void VlConvertToGray(TVlBitmap& image) {
  if (image.IsEmpty() || image.PixelFormat() != vl24RGB)
    return;
  for (std::int32_t y = 0; y < image.Height(); ++y) {
    std::uint8_t* p = image.RowPointer(y);
    for (std::int32_t x = 0; x < image.Width(); ++x, p += 3)
      p[0] = p[1] = p[2] = std::uint8_t(VlGray(p[2], p[1], p[0]));
  }
  image.RowPointer(0);
}

void VlChannelHistogram(TVlBitmap& image, const TVlMask* mask, std::int32_t maskLeft, std::int32_t maskTop,
                        TVlHistogram& h) {
  h = TVlHistogram{};
  if (image.IsEmpty() || image.PixelFormat() != vl24RGB)
    return;
  if (mask && mask->IsEmpty())
    mask = nullptr;
  const std::uint8_t mode = image.accessMode;
  image.accessMode = 1;
  for (std::int32_t y = 0; y < image.Height(); ++y) {
    const std::uint8_t* p = image.RowPointer(y);
    for (std::int32_t x = 0; x < image.Width(); ++x, p += 3) {
      if (mask && !mask->GetPixel(x + maskLeft, y + maskTop))
        continue;
      ++h.blue[p[0]];
      ++h.green[p[1]];
      ++h.red[p[2]];
      ++h.luma[VlGray(p[2], p[1], p[0])];
    }
  }
  image.accessMode = mode;
}

void VlAutoContrastPoints(const TVlHistogram& h, std::int64_t pixels, int& black, int& white) {
  const std::int64_t limit =
      std::min<std::int64_t>(std::int64_t(std::nearbyint(std::sqrt(double(pixels)))), pixels / 256);
  std::int64_t peak = 0;
  for (std::int64_t v : h.luma) peak = std::max(peak, v);
  const std::int64_t tenth = peak / 10;
  int lo = 0;
  while (h.luma[lo] < limit && h.luma[lo] < tenth && lo < 255) ++lo;
  int hi = 255;
  while (h.luma[hi] < limit && h.luma[hi] < tenth && lo < hi) --hi;
  black = std::min(lo, 30);
  white = std::max(hi, 220);
}

bool VlHistEqualize(TVlBitmap& image, TVlRGB blackPoint, TVlRGB whitePoint) {
  if (image.IsEmpty() || image.PixelFormat() != vl24RGB)
    return false;
  // Channels in pixel byte order: blue, green, red.
  const int black[3] = {blackPoint.b, blackPoint.g, blackPoint.r};
  const int white[3] = {std::max<int>(whitePoint.b, 1), std::max<int>(whitePoint.g, 1), std::max<int>(whitePoint.r, 1)};
  if (black[0] == white[0] && black[1] == white[1] && black[2] == white[2])
    return false;
  std::uint8_t table[3][256];
  for (int c = 0; c < 3; ++c) {
    const int d = 255 - black[c] == 0 ? 1 : 255 - black[c];
    for (int v = 0; v < 256; ++v) {
      const std::uint8_t stretch = Clamp255(std::nearbyint(double(v - black[c]) / d * 255));
      table[c][v] = Clamp255(std::nearbyint(double(stretch) / white[c] * 255));
    }
  }
  for (std::int32_t y = 0; y < image.Height(); ++y) {
    std::uint8_t* p = image.RowPointer(y);
    for (std::int32_t x = 0; x < image.Width(); ++x, p += 3) {
      p[0] = table[0][p[0]];
      p[1] = table[1][p[1]];
      p[2] = table[2][p[2]];
    }
  }
  image.RowPointer(0);
  return true;
}

TVlStatus VlFloydSteinberg(TVlBitmap& source, TVlBitmap& result, const TVlProcProgress& progress) {
  if (source.IsEmpty() || source.PixelFormat() != vl24RGB)
    return TVlStatus::Unsupported("error diffusion needs vl24RGB");
  const std::int32_t W = source.Width(), H = source.Height();
  result.bilevelMethod = source.bilevelMethod;
  VL_TRY(result.AllocateImage(W, H, vl1g));
  std::vector<double> cur(static_cast<size_t>(W), 0.0), next(static_cast<size_t>(W), 0.0);
  std::vector<std::uint8_t> luma(static_cast<size_t>(W));
  int dir = 1;
  int lastPercent = -1;
  const std::uint8_t mode = source.accessMode;
  source.accessMode = 1;
  for (std::int32_t y = 0; y < H; ++y) {
    if (progress && y * 100 / H != lastPercent)
      progress(lastPercent = y * 100 / H);
    const std::uint8_t* s = source.RowPointer(y);
    for (std::int32_t x = 0; x < W; ++x) luma[size_t(x)] = std::uint8_t(VlGray(s[3 * x + 2], s[3 * x + 1], s[3 * x]));
    std::uint8_t* d = result.RowPointer(y);
    std::memset(d, 0, size_t(result.RowLength()));
    std::fill(next.begin(), next.end(), 0.0);
    for (std::int32_t i = 0; i < W; ++i) {
      const std::int32_t x = dir > 0 ? i : W - 1 - i;
      const double m = luma[size_t(x)];
      const bool white = std::floor(m + cur[size_t(x)] + 0.5) >= 128;
      const double e = m + cur[size_t(x)] - (white ? 255 : 0);
      if (white)
        d[x >> 3] |= std::uint8_t(0x80u >> (x & 7));
      next[size_t(x)] += e * 5 / 16;
      const std::int32_t ahead = x + dir, behind = x - dir;
      if (ahead >= 0 && ahead < W) {
        cur[size_t(ahead)] += e * 7 / 16;
        next[size_t(ahead)] += e * 1 / 16;
      }
      if (behind >= 0 && behind < W)
        next[size_t(behind)] += e * 3 / 16;
    }
    dir = -dir;
    cur.swap(next);
  }
  source.accessMode = mode;
  result.RowPointer(0);
  if (source.HasAlpha()) {
    VL_TRY(result.AlphaChannel()->AssignImage(*source.AlphaChannel()));
    result.AlphaChannel()->SetAlphaFull(source.AlphaChannel()->AlphaFull());
  }
  return TVlStatus::Ok();
}

bool VlIsPaper(int r8, int g8, int b8) {
  const double R = r8 / 255.0, G = g8 / 255.0, B = b8 / 255.0;
  const double mx = std::max({R, G, B}), mn = std::min({R, G, B});
  const double L = (mx + mn) / 2;
  double s = 0, hue = 0;
  if (mx != mn) {
    const double d = mx - mn;
    s = L >= 0.5 ? d / (2 - mx - mn) : d / (mx + mn);
    double h;
    if (mx == R)
      h = (G - B) / d;
    else if (mx != G)
      h = (R - G) / d + 4;
    else
      h = (B - R) / d + 2;
    hue = h / 6;
    if (hue < 0)
      hue += 1;
  }
  if (!(s < 0.3 && L > 0.7))
    return false;
  auto in = [&](double lo, double hi) { return hue >= lo && hue <= hi; };
  return !in(0.01, 0.04) && !in(0.35, 0.50) && !in(0.57, 0.59);
}

bool VlWhiteBalance(TVlBitmap& image, const TVlProcProgress& progress) {
  if (image.IsEmpty() || image.PixelFormat() != vl24RGB)
    return false;
  const std::int32_t W = image.Width(), H = image.Height();
  std::int64_t sum[3] = {0, 0, 0}, count = 0;
  std::uint32_t lastColour = 0xFFFFFFFF;
  bool lastPaper = false;
  const std::uint8_t mode = image.accessMode;
  image.accessMode = 1;
  for (std::int32_t y = 0; y < H; ++y) {
    if (progress)
      progress(y * 50 / H);
    const std::uint8_t* p = image.RowPointer(y);
    for (std::int32_t x = 0; x < W; ++x, p += 3) {
      const std::uint32_t colour = std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16;
      if (colour != lastColour) {
        lastColour = colour;
        lastPaper = VlIsPaper(p[2], p[1], p[0]);
      }
      if (lastPaper) {
        sum[0] += p[0], sum[1] += p[1], sum[2] += p[2];
        ++count;
      }
    }
  }
  image.accessMode = mode;
  if (count == 0)
    return false;
  std::uint8_t table[3][256];
  for (int c = 0; c < 3; ++c) {
    // v x (255 / mean), evaluated as v x 255 / mean so that the paper colour itself maps to
    // exactly 255 (255 / 235 x 235 is 254.99999... in floating point).
    const double mean = double(sum[c]) / double(count);
    for (int v = 0; v < 256; ++v) table[c][v] = Clamp255(std::trunc(v * 255.0 / mean));
  }
  for (std::int32_t y = 0; y < H; ++y) {
    if (progress)
      progress(50 + y * 50 / H);
    std::uint8_t* p = image.RowPointer(y);
    for (std::int32_t x = 0; x < W; ++x, p += 3) {
      p[0] = table[0][p[0]];
      p[1] = table[1][p[1]];
      p[2] = table[2][p[2]];
    }
  }
  image.RowPointer(0);
  return true;
}
