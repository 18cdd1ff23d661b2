// Edge-guided sharpening (see sharpen.h).
#include "proc/sharpen.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "imaging/bitops.h"
#include "imaging/limits.h"
#include "proc/blur.h"
#include "proc/canvas.h"

namespace {

constexpr std::int64_t kExtend = 27;   // wrap-around border around the luma image
constexpr std::int64_t kOutline = 25;  // no candidate this close to the extended border

template <class T>
TVlStatus Alloc(std::vector<T>& v, std::int64_t n, T value = T()) {
  VL_TRY(CheckBufferSize(n * std::int64_t(sizeof(T))));
  try {
    v.assign(size_t(n), value);
  } catch (const std::bad_alloc&) {
    return TVlStatus::LimitExceeded("out of memory for the edge map");
  }
  return TVlStatus::Ok();
}

}  // namespace

TVlStatus VlSharpenEdgeMap(TVlBitmap& image, double ratio, TVlBitmap& edges, const TVlProcProgress& progress) {
  if (image.IsEmpty())
    return TVlStatus::BadData("no image");
  const std::int64_t W = image.Width(), H = image.Height();
  const std::int64_t We = W + 2 * kExtend, He = H + 2 * kExtend;
  const std::int64_t N = We * He;
  auto report = [&](int p) {
    if (progress)
      progress(p);
  };

  // Luma of the page, then the extended image with wrap-around.
  std::vector<std::uint8_t> luma, L;
  VL_TRY(Alloc(luma, W * H));
  VL_TRY(Alloc(L, N));
  {
    std::vector<TVlRGB> rgb(static_cast<size_t>(W));
    const std::uint8_t mode = image.accessMode;
    image.accessMode = 1;
    for (std::int64_t y = 0; y < H; ++y) {
      VlRowAsRGB(image, std::int32_t(y), rgb.data());
      for (std::int64_t x = 0; x < W; ++x) luma[size_t(y * W + x)] = std::uint8_t(VlGray(rgb[size_t(x)]));
    }
    image.accessMode = mode;
  }
  std::vector<std::int64_t> xm(static_cast<size_t>(We));
  for (std::int64_t x = 0; x < We; ++x) xm[size_t(x)] = (((x - kExtend) % W) + W) % W;
  for (std::int64_t y = 0; y < He; ++y) {
    const std::uint8_t* src = luma.data() + ((((y - kExtend) % H) + H) % H) * W;
    std::uint8_t* d = L.data() + y * We;
    for (std::int64_t x = 0; x < We; ++x) d[x] = src[xm[size_t(x)]];
  }
  std::vector<std::uint8_t>().swap(luma);
  report(5);

  // Infinite symmetric exponential filter: columns (all at once, row by row), then rows.
  const float b = 0.9f, b1 = (1.0f - b) / (1.0f + b), b2 = b * b1;
  std::vector<float> S;
  VL_TRY(Alloc(S, N));
  {
    // Causal part down the columns into S.
    for (std::int64_t x = 0; x < We; ++x) S[size_t(x)] = b1 * float(L[size_t(x)]);
    for (std::int64_t y = 1; y < He; ++y) {
      const float* prev = S.data() + (y - 1) * We;
      float* cur = S.data() + y * We;
      const std::uint8_t* in = L.data() + y * We;
      for (std::int64_t x = 0; x < We; ++x) cur[x] = b1 * float(in[x]) + b * prev[x];
    }
    // Anti-causal part up the columns: y[k] = c[k] + a[k + 1].
    std::vector<float> aNext(static_cast<size_t>(We)), aCur(static_cast<size_t>(We));
    for (std::int64_t x = 0; x < We; ++x) aNext[size_t(x)] = b2 * float(L[size_t((He - 1) * We + x)]);
    for (std::int64_t y = He - 2; y >= 0; --y) {
      float* out = S.data() + y * We;
      const std::uint8_t* in = L.data() + y * We;
      for (std::int64_t x = 0; x < We; ++x) {
        aCur[size_t(x)] = b2 * float(in[x]) + b * aNext[size_t(x)];
        out[x] = out[x] + aNext[size_t(x)];
      }
      aNext.swap(aCur);
    }
    report(15);
    // Rows of that result.
    std::vector<float> c(static_cast<size_t>(We)), a(static_cast<size_t>(We));
    for (std::int64_t y = 0; y < He; ++y) {
      float* row = S.data() + y * We;
      c[0] = b1 * row[0];
      for (std::int64_t x = 1; x < We; ++x) c[size_t(x)] = b1 * row[x] + b * c[size_t(x - 1)];
      a[size_t(We - 1)] = b2 * row[We - 1];
      for (std::int64_t x = We - 2; x >= 0; --x) a[size_t(x)] = b2 * row[x] + b * a[size_t(x + 1)];
      for (std::int64_t x = 0; x < We - 1; ++x) row[x] = c[size_t(x)] + a[size_t(x + 1)];
      row[We - 1] = c[size_t(We - 1)];
    }
  }
  report(25);

  // Binary Laplacian.
  std::vector<std::uint8_t> B;
  VL_TRY(Alloc(B, N));
  for (std::int64_t i = 0; i < N; ++i) B[size_t(i)] = S[size_t(i)] - float(L[size_t(i)]) > 0 ? 1 : 0;
  std::vector<std::uint8_t>().swap(L);

  // Candidates and their gradients (0 elsewhere).
  std::vector<float> G;
  VL_TRY(Alloc(G, N));
  for (std::int64_t y = kOutline; y < He - kOutline; ++y) {
    for (std::int64_t x = kOutline; x < We - kOutline; ++x) {
      const std::int64_t i = y * We + x;
      if (!B[size_t(i)])
        continue;
      const float below = S[size_t(i + We)], above = S[size_t(i - We)];
      const float right = S[size_t(i + 1)], left = S[size_t(i - 1)];
      const bool candidate =
          (B[size_t(i + We)] == 0 && below - above > 0) || (B[size_t(i + 1)] == 0 && right - left > 0) ||
          (B[size_t(i - We)] == 0 && below - above < 0) || (B[size_t(i - 1)] == 0 && right - left < 0);
      if (!candidate)
        continue;
      double sum0 = 0, sum1 = 0;
      int n0 = 0, n1 = 0;
      for (std::int64_t dy = -3; dy <= 3; ++dy) {
        const std::int64_t r = (y + dy) * We;
        for (std::int64_t dx = -3; dx <= 3; ++dx) {
          const std::int64_t j = r + x + dx;
          if (B[size_t(j)])
            sum1 += S[size_t(j)], ++n1;
          else
            sum0 += S[size_t(j)], ++n0;
        }
      }
      if (n0 > 0 && n1 > 0)
        G[size_t(i)] = float(sum0 / n0 - sum1 / n1);
    }
  }
  std::vector<float>().swap(S);
  std::vector<std::uint8_t>().swap(B);
  report(45);

  // Thresholds from the histogram of the interior gradients.
  double vmin = 0, vmax = 0;
  for (std::int64_t y = kOutline; y < He - kOutline; ++y)
    for (std::int64_t x = kOutline; x < We - kOutline; ++x) {
      const double g = G[size_t(y * We + x)];
      vmin = std::min(vmin, g);
      vmax = std::max(vmax, g);
    }
  const double scale = 256.0 / (vmax - vmin + 1);
  std::int64_t hist[256] = {};
  for (std::int64_t y = kOutline; y < He - kOutline; ++y)
    for (std::int64_t x = kOutline; x < We - kOutline; ++x) {
      const double k = std::trunc(scale * (G[size_t(y * We + x)] - vmin));
      ++hist[std::clamp(int(k), 0, 255)];
    }
  const double wanted = std::trunc(double(He) * ratio * double(We));
  const std::int64_t target = wanted != wanted ? 0 : std::int64_t(std::clamp(wanted, -9e18, 9e18));
  int k = 255;
  std::int64_t count = hist[255];
  while (count < target) {
    --k;
    if (k < 0)
      break;
    count += hist[k];
  }
  const double high = k / scale + vmin, low = high / 2;

  // Hysteresis with an explicit stack. Only candidates (non-zero gradient) are followed or
  // become edges, also when the high threshold comes out at or below zero.
  std::vector<std::uint8_t> state;  // bit 0 visited, bit 1 edge
  VL_TRY(Alloc(state, N));
  std::vector<std::int64_t> stack;
  for (std::int64_t y = kOutline; y < He - kOutline; ++y) {
    for (std::int64_t x = kOutline; x < We - kOutline; ++x) {
      const std::int64_t seed = y * We + x;
      const float gs = G[size_t(seed)];
      if (gs == 0 || !(gs > high) || state[size_t(seed)])
        continue;
      state[size_t(seed)] = 1;
      stack.push_back(seed);
      while (!stack.empty()) {
        const std::int64_t p = stack.back();
        stack.pop_back();
        if (G[size_t(p)] > low)
          state[size_t(p)] |= 2;
        const std::int64_t px = p % We, py = p / We;
        for (std::int64_t dy = -1; dy <= 1; ++dy)
          for (std::int64_t dx = -1; dx <= 1; ++dx) {
            const std::int64_t qx = px + dx, qy = py + dy;
            if ((dx == 0 && dy == 0) || qx < 0 || qy < 0 || qx >= We || qy >= He)
              continue;
            const std::int64_t q = qy * We + qx;
            if (G[size_t(q)] != 0 && !state[size_t(q)]) {
              state[size_t(q)] = 1;
              stack.push_back(q);
            }
          }
      }
    }
  }
  report(55);

  // The page-sized map: edges black; column 0 and the last row white.
  edges.FreeImage(true);
  VL_TRY(edges.AllocateImage(std::int32_t(W), std::int32_t(H), vl1g));
  for (std::int64_t y = 0; y < H; ++y) {
    std::uint8_t* d = edges.RowPointer(std::int32_t(y));
    std::memset(d, 0, size_t(edges.RowLength()));
    const std::uint8_t* s = state.data() + (y + kExtend) * We + kExtend;
    for (std::int64_t x = 0; x < W; ++x) {
      const bool edge = (s[x] & 2) && x != 0 && y != H - 1;
      if (!edge)
        d[x >> 3] |= std::uint8_t(0x80u >> (x & 7));
    }
  }
  edges.RowPointer(0);
  report(60);
  return TVlStatus::Ok();
}

TVlStatus VlAutoSharp(TVlBitmap& image, std::int32_t intensity, double ratio, const TVlProcProgress& progress) {
  if (image.IsEmpty())
    return TVlStatus::Ok();
  if (image.PixelFormat() != vl24RGB)
    return TVlStatus::Unsupported("sharpening needs vl24RGB");
  TVlBitmap mask;
  VL_TRY(VlSharpenEdgeMap(image, ratio, mask, progress));
  VL_TRY(mask.ConvertToFormat(vl8g));
  VL_TRY(VlGaussianBlur(mask, 4));
  if (progress)
    progress(70);

  const std::int64_t W = image.Width(), H = image.Height(), rowBytes = W * 3;
  std::vector<std::uint8_t> src;
  VL_TRY(Alloc(src, rowBytes * H));
  const std::uint8_t mode = image.accessMode;
  image.accessMode = 1;
  for (std::int64_t y = 0; y < H; ++y)
    std::memcpy(src.data() + y * rowBytes, image.RowPointer(std::int32_t(y)), size_t(rowBytes));
  image.accessMode = mode;

  // amount per mask value: Round((255 - m) / 255 x intensity) / 10.
  double amount[256];
  for (int m = 0; m < 256; ++m) amount[m] = std::nearbyint((255 - m) / 255.0 * intensity) / 10;
  static const int kOffsets[4] = {-2, -1, 1, 2};
  std::vector<std::uint8_t> maskRow(static_cast<size_t>(W));
  int lastPercent = -1;
  for (std::int64_t y = 0; y < H; ++y) {
    if (progress && int(70 + y * 30 / H) != lastPercent)
      progress(lastPercent = int(70 + y * 30 / H));
    std::memcpy(maskRow.data(), mask.RowPointer(std::int32_t(y)), size_t(W));
    std::uint8_t* out = image.RowPointer(std::int32_t(y));
    const std::uint8_t* self = src.data() + y * rowBytes;
    for (std::int64_t x = 0; x < W; ++x) {
      const double a = amount[maskRow[size_t(x)]];
      if (a == 0) {
        std::memcpy(out + 3 * x, self + 3 * x, 3);
        continue;
      }
      int sum[3] = {0, 0, 0}, n = 0;
      for (int oy : kOffsets) {
        const std::int64_t yy = y + oy;
        if (yy < 0 || yy >= H)
          continue;
        const std::uint8_t* r = src.data() + yy * rowBytes;
        for (int ox : kOffsets) {
          const std::int64_t xx = x + ox;
          if (xx < 0 || xx >= W)
            continue;
          sum[0] += r[3 * xx], sum[1] += r[3 * xx + 1], sum[2] += r[3 * xx + 2];
          ++n;
        }
      }
      for (int c = 0; c < 3; ++c) {
        const int v = self[3 * x + c];
        const int mean = n ? sum[c] / n : 0;
        const double t = std::trunc((v - mean) * a + v);
        out[3 * x + c] = std::uint8_t(std::clamp(t, 0.0, 255.0));
      }
    }
  }
  image.RowPointer(0);
  return TVlStatus::Ok();
}
