// Gaussian blur (see blur.h).
#include "proc/blur.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "imaging/limits.h"

bool VlBlurKernel(double radius, TVlBlurKernel& k) {
  if (!(radius > 0) || !std::isfinite(radius))
    return false;
  double w[201], sum = 0;
  for (int i = 0; i < 201; ++i) {
    const double d = (i - 100) / radius;
    w[i] = std::exp(-(d * d) / 2);
    sum += w[i];
  }
  for (int i = 0; i < 201; ++i)
    k.weight[i] = std::int32_t(std::nearbyint(w[i] * 65536 / sum));
  k.radius = 100;
  while (k.radius > 1 && k.weight[100 + k.radius] == 0 && k.weight[100 - k.radius] == 0)
    --k.radius;
  return true;
}

namespace {

// acc[i] += weight * (a[i] + b[i]) over n values; every value is an integer below 2^24, so
// the float sums are exact.
void AccumulatePair(float* acc, const float* a, const float* b, float weight, std::int64_t n) {
  for (std::int64_t i = 0; i < n; ++i)
    acc[i] += weight * (a[i] + b[i]);
}

void AccumulatePairBytes(float* acc, const std::uint8_t* a, const std::uint8_t* b, float weight, std::int64_t n) {
  for (std::int64_t i = 0; i < n; ++i)
    acc[i] += weight * float(int(a[i]) + int(b[i]));
}

void StoreShifted(std::uint8_t* out, const float* acc, std::int64_t n) {
  for (std::int64_t i = 0; i < n; ++i) {
    const int v = int(acc[i]) >> 16;
    out[i] = std::uint8_t(v > 255 ? 255 : v);
  }
}

}  // namespace

TVlStatus VlGaussianBlur(TVlBitmap& image, double radius, const TVlProcProgress& progress) {
  TVlBlurKernel k;
  if (image.IsEmpty() || !VlBlurKernel(radius, k))
    return TVlStatus::Ok();
  if (image.PixelFormat() != vl8g && image.PixelFormat() != vl24RGB)
    return TVlStatus::Unsupported("blur needs vl8g or vl24RGB");
  const int ch = image.PixelFormat() == vl24RGB ? 3 : 1;
  const std::int64_t W = image.Width(), H = image.Height(), R = k.radius;
  const std::int64_t rowBytes = W * ch;
  VL_TRY(CheckBufferSize(rowBytes * H));
  std::vector<std::uint8_t> mid;
  std::vector<float> line, acc;
  try {
    mid.resize(size_t(rowBytes * H));
    line.resize(size_t((W + 2 * R) * ch));
    acc.resize(size_t(std::max(W, rowBytes)));
  } catch (const std::bad_alloc&) {
    return TVlStatus::LimitExceeded("out of memory for the blur");
  }
  const float k0 = float(k.weight[100]);
  int lastPercent = -1;
  auto report = [&](double done) {
    if (!progress)
      return;
    int p = int(done * 100 / double(H + W));
    if (p != lastPercent)
      progress(lastPercent = p);
  };

  // Pass 1: rows, one channel at a time over a line padded with the end pixels.
  const std::uint8_t mode = image.accessMode;
  image.accessMode = 1;
  for (std::int64_t y = 0; y < H; ++y) {
    report(double(y));
    const std::uint8_t* s = image.RowPointer(std::int32_t(y));
    std::uint8_t* out = mid.data() + y * rowBytes;
    for (int c = 0; c < ch; ++c) {
      float* ln = line.data() + c * (W + 2 * R);
      for (std::int64_t i = 0; i < R; ++i)
        ln[i] = s[c];
      for (std::int64_t x = 0; x < W; ++x)
        ln[R + x] = s[x * ch + c];
      for (std::int64_t i = 0; i < R; ++i)
        ln[R + W + i] = s[(W - 1) * ch + c];
      const float* p = ln + R;
      for (std::int64_t x = 0; x < W; ++x)
        acc[size_t(x)] = 32768.0f + k0 * p[x];
      for (std::int64_t t = 1; t <= R; ++t)
        if (k.weight[100 + t])
          AccumulatePair(acc.data(), p - t, p + t, float(k.weight[100 + t]), W);
      if (ch == 1) {
        StoreShifted(out, acc.data(), W);
      } else {
        for (std::int64_t x = 0; x < W; ++x) {
          const int v = int(acc[size_t(x)]) >> 16;
          out[x * ch + c] = std::uint8_t(v > 255 ? 255 : v);
        }
      }
    }
  }
  image.accessMode = mode;

  // Pass 2: columns, computed a destination row at a time from the rows of pass 1.
  for (std::int64_t y = 0; y < H; ++y) {
    report(double(H) + double(y) * double(W) / double(H));
    const std::uint8_t* m = mid.data() + y * rowBytes;
    for (std::int64_t i = 0; i < rowBytes; ++i)
      acc[size_t(i)] = 32768.0f + k0 * float(m[i]);
    for (std::int64_t t = 1; t <= R; ++t) {
      if (!k.weight[100 + t])
        continue;
      const std::uint8_t* a = mid.data() + std::max<std::int64_t>(y - t, 0) * rowBytes;
      const std::uint8_t* b = mid.data() + std::min<std::int64_t>(y + t, H - 1) * rowBytes;
      AccumulatePairBytes(acc.data(), a, b, float(k.weight[100 + t]), rowBytes);
    }
    StoreShifted(image.RowPointer(std::int32_t(y)), acc.data(), rowBytes);
  }
  image.RowPointer(0);  // a file-held image writes its last row back
  return TVlStatus::Ok();
}
