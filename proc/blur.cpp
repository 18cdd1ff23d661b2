// Gaussian blur (see blur.h).
#include "proc/blur.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "imaging/limits.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

bool& VlBlurAllowAvx2() {
  static bool allow = true;
  return allow;
}

bool VlBlurKernel(double radius, TVlBlurKernel& k) {
  if (!(radius > 0) || !std::isfinite(radius))
    return false;
  double w[201], sum = 0;
  for (int i = 0; i < 201; ++i) {
    const double d = (i - 100) / radius;
    w[i] = std::exp(-(d * d) / 2);
    sum += w[i];
  }
  for (int i = 0; i < 201; ++i) k.weight[i] = std::int32_t(std::nearbyint(w[i] * 65536 / sum));
  k.radius = 100;
  while (k.radius > 1 && k.weight[100 + k.radius] == 0 && k.weight[100 - k.radius] == 0) --k.radius;
  return true;
}

namespace {

// The convolutions add integers whose sums stay below 2^24, so single precision adds them
// exactly in any order and vector lanes can do the work. On x86-64 an AVX2 version is chosen
// at run time when the processor has it, with an SSE2 version otherwise.

inline std::uint8_t Shifted(float acc) {
  const int v = int(acc) >> 16;
  return std::uint8_t(v > 255 ? 255 : v);
}

// One line: out[x * stride] = (32768 + sum over t of w[|t|] * p[x + t]) >> 16 for x in 0 .. n - 1,
// where p is padded by R values on both sides and w[0 .. R] are the weights from the centre out.
void ConvolveLineScalar(const float* p, const float* w, std::int64_t R, std::int64_t x, std::int64_t n,
                        std::uint8_t* out, std::int64_t stride) {
  for (; x < n; ++x) {
    float acc = 32768.0f + w[0] * p[x];
    for (std::int64_t t = 1; t <= R; ++t) acc += w[t] * (p[x - t] + p[x + t]);
    out[x * stride] = Shifted(acc);
  }
}

// One output row from 2R + 1 input rows (rows[R] is the centre row), n bytes wide.
void ConvolveRowsScalar(const std::uint8_t* const* rows, const float* w, std::int64_t R, std::int64_t x, std::int64_t n,
                        std::uint8_t* out) {
  for (; x < n; ++x) {
    float acc = 32768.0f + w[0] * float(rows[R][x]);
    for (std::int64_t t = 1; t <= R; ++t) acc += w[t] * float(int(rows[R - t][x]) + int(rows[R + t][x]));
    out[x] = Shifted(acc);
  }
}

#if defined(__x86_64__)

__attribute__((target("avx2"))) void ConvolveLineAvx2(const float* p, const float* w, std::int64_t R, std::int64_t n,
                                                      std::uint8_t* out, std::int64_t stride) {
  std::int64_t x = 0;
  for (; x + 8 <= n; x += 8) {
    __m256 acc = _mm256_add_ps(_mm256_set1_ps(32768.0f), _mm256_mul_ps(_mm256_set1_ps(w[0]), _mm256_loadu_ps(p + x)));
    for (std::int64_t t = 1; t <= R; ++t)
      acc = _mm256_add_ps(acc, _mm256_mul_ps(_mm256_set1_ps(w[t]),
                                             _mm256_add_ps(_mm256_loadu_ps(p + x - t), _mm256_loadu_ps(p + x + t))));
    const __m256i v = _mm256_srli_epi32(_mm256_cvttps_epi32(acc), 16);
    const __m128i h = _mm_packus_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    alignas(16) std::uint8_t tmp[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(tmp), _mm_packus_epi16(h, h));
    for (int i = 0; i < 8; ++i) out[(x + i) * stride] = tmp[i];
  }
  ConvolveLineScalar(p, w, R, x, n, out, stride);
}

__attribute__((target("avx2"))) void ConvolveRowsAvx2(const std::uint8_t* const* rows, const float* w, std::int64_t R,
                                                      std::int64_t n, std::uint8_t* out) {
#define load(q) _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(q))))
  std::int64_t x = 0;
  for (; x + 8 <= n; x += 8) {
    __m256 acc = _mm256_add_ps(_mm256_set1_ps(32768.0f), _mm256_mul_ps(_mm256_set1_ps(w[0]), load(rows[R] + x)));
    for (std::int64_t t = 1; t <= R; ++t)
      acc = _mm256_add_ps(
          acc, _mm256_mul_ps(_mm256_set1_ps(w[t]), _mm256_add_ps(load(rows[R - t] + x), load(rows[R + t] + x))));
    const __m256i v = _mm256_srli_epi32(_mm256_cvttps_epi32(acc), 16);
    const __m128i h = _mm_packus_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + x), _mm_packus_epi16(h, h));
  }
#undef load
  ConvolveRowsScalar(rows, w, R, x, n, out);
}

void ConvolveLineSse2(const float* p, const float* w, std::int64_t R, std::int64_t n, std::uint8_t* out,
                      std::int64_t stride) {
  std::int64_t x = 0;
  for (; x + 4 <= n; x += 4) {
    __m128 acc = _mm_add_ps(_mm_set1_ps(32768.0f), _mm_mul_ps(_mm_set1_ps(w[0]), _mm_loadu_ps(p + x)));
    for (std::int64_t t = 1; t <= R; ++t)
      acc =
          _mm_add_ps(acc, _mm_mul_ps(_mm_set1_ps(w[t]), _mm_add_ps(_mm_loadu_ps(p + x - t), _mm_loadu_ps(p + x + t))));
    alignas(16) std::int32_t v[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(v), _mm_srli_epi32(_mm_cvttps_epi32(acc), 16));
    for (int i = 0; i < 4; ++i) out[(x + i) * stride] = std::uint8_t(v[i] > 255 ? 255 : v[i]);
  }
  ConvolveLineScalar(p, w, R, x, n, out, stride);
}

void ConvolveRowsSse2(const std::uint8_t* const* rows, const float* w, std::int64_t R, std::int64_t n,
                      std::uint8_t* out) {
  const __m128i zero = _mm_setzero_si128();
  std::int64_t x = 0;
  for (; x + 8 <= n; x += 8) {
    auto load = [&](const std::uint8_t* q, __m128& lo, __m128& hi) {
      const __m128i b = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(q)), zero);
      lo = _mm_cvtepi32_ps(_mm_unpacklo_epi16(b, zero));
      hi = _mm_cvtepi32_ps(_mm_unpackhi_epi16(b, zero));
    };
    __m128 lo, hi, alo, ahi, blo, bhi;
    load(rows[R] + x, lo, hi);
    const __m128 w0 = _mm_set1_ps(w[0]), base = _mm_set1_ps(32768.0f);
    __m128 acc0 = _mm_add_ps(base, _mm_mul_ps(w0, lo)), acc1 = _mm_add_ps(base, _mm_mul_ps(w0, hi));
    for (std::int64_t t = 1; t <= R; ++t) {
      load(rows[R - t] + x, alo, ahi);
      load(rows[R + t] + x, blo, bhi);
      const __m128 wt = _mm_set1_ps(w[t]);
      acc0 = _mm_add_ps(acc0, _mm_mul_ps(wt, _mm_add_ps(alo, blo)));
      acc1 = _mm_add_ps(acc1, _mm_mul_ps(wt, _mm_add_ps(ahi, bhi)));
    }
    const __m128i v0 = _mm_srli_epi32(_mm_cvttps_epi32(acc0), 16), v1 = _mm_srli_epi32(_mm_cvttps_epi32(acc1), 16);
    const __m128i h = _mm_packs_epi32(v0, v1);  // values fit in 0 .. 255
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + x), _mm_packus_epi16(h, h));
  }
  ConvolveRowsScalar(rows, w, R, x, n, out);
}

bool HasAvx2() {
  static const bool yes = __builtin_cpu_supports("avx2");
  return yes && VlBlurAllowAvx2();
}

void ConvolveLine(const float* p, const float* w, std::int64_t R, std::int64_t n, std::uint8_t* out,
                  std::int64_t stride) {
  if (HasAvx2())
    ConvolveLineAvx2(p, w, R, n, out, stride);
  else
    ConvolveLineSse2(p, w, R, n, out, stride);
}

void ConvolveRows(const std::uint8_t* const* rows, const float* w, std::int64_t R, std::int64_t n, std::uint8_t* out) {
  if (HasAvx2())
    ConvolveRowsAvx2(rows, w, R, n, out);
  else
    ConvolveRowsSse2(rows, w, R, n, out);
}

#else

void ConvolveLine(const float* p, const float* w, std::int64_t R, std::int64_t n, std::uint8_t* out,
                  std::int64_t stride) {
  ConvolveLineScalar(p, w, R, 0, n, out, stride);
}
void ConvolveRows(const std::uint8_t* const* rows, const float* w, std::int64_t R, std::int64_t n, std::uint8_t* out) {
  ConvolveRowsScalar(rows, w, R, 0, n, out);
}

#endif

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
  std::vector<float> line;
  try {
    mid.resize(size_t(rowBytes * H));
    line.resize(size_t(W + 2 * R));
  } catch (const std::bad_alloc&) {
    return TVlStatus::LimitExceeded("out of memory for the blur");
  }
  float w[101];
  for (std::int64_t t = 0; t <= R; ++t) w[t] = float(k.weight[100 + t]);  // the kernel is symmetric
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
      float* ln = line.data();
      for (std::int64_t i = 0; i < R; ++i) ln[i] = s[c];
      for (std::int64_t x = 0; x < W; ++x) ln[R + x] = s[x * ch + c];
      for (std::int64_t i = 0; i < R; ++i) ln[R + W + i] = s[(W - 1) * ch + c];
      ConvolveLine(ln + R, w, R, W, out + c, ch);
    }
  }
  image.accessMode = mode;

  // Pass 2: columns, computed a destination row at a time from the rows of pass 1 (rows beyond
  // the ends repeat the first or last row).
  std::vector<const std::uint8_t*> rows(static_cast<size_t>(2 * R + 1));
  for (std::int64_t y = 0; y < H; ++y) {
    report(double(H) + double(y) * double(W) / double(H));
    for (std::int64_t t = -R; t <= R; ++t)
      rows[size_t(t + R)] = mid.data() + std::clamp<std::int64_t>(y + t, 0, H - 1) * rowBytes;
    ConvolveRows(rows.data(), w, R, rowBytes, image.RowPointer(std::int32_t(y)));
  }
  image.RowPointer(0);  // a file-held image writes its last row back
  return TVlStatus::Ok();
}
