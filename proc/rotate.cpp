// Rotation by any angle (see rotate.h for the method per pixel format).
#include "proc/rotate.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <vector>

#include "imaging/bitops.h"
#include "imaging/limits.h"
#include "proc/turns.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

// Round half to even ("Round"); Trunc toward zero.
inline double RoundE(double v) {
  return std::nearbyint(v);
}
inline std::int64_t ToInt(double v) {
  if (!(v == v))
    return 0;
  return std::int64_t(std::clamp(v, -9.0e18, 9.0e18));
}
inline std::int64_t Trunc(double v) {
  return ToInt(std::trunc(v));
}
inline std::int64_t RoundI(double v) {
  return ToInt(RoundE(v));
}

// clamp0..255(Round((prev * a + cur * b + 2048) / 4096)), exact in integers.
inline std::uint8_t Blend(int prev, int cur, int a, int b) {
  const int v = prev * a + cur * b + 2048;
  const int fl = v >> 12;  // floor (arithmetic shift)
  const int r = v & 4095;
  const int q = fl + ((r > 2048) || (r == 2048 && (fl & 1)));
  return std::uint8_t(std::clamp(q, 0, 255));
}

// Reports a percentage when it changes.
class Percent {
 public:
  Percent(const TVlProcProgress& p, double total) : p_(p), total_(total) {}
  void operator()(double done) {
    if (!p_ || total_ <= 0)
      return;
    int v = int(done * 100 / total_);
    if (v != last_) {
      last_ = v;
      p_(v);
    }
  }

 private:
  const TVlProcProgress& p_;
  double total_;
  int last_ = -1;
};

// Every row of a bitmap at once: pointers for images in memory, a copy for file-held ones.
class AllRows {
 public:
  TVlStatus Load(TVlBitmap& b) {
    rows_.resize(size_t(b.Height()));
    if (b.Location() != vlTempFile) {
      for (std::int32_t y = 0; y < b.Height(); ++y) rows_[size_t(y)] = b.RowPointer(y);
      return TVlStatus::Ok();
    }
    const std::int64_t len = b.RowLength();
    VL_TRY(CheckBufferSize(len * b.Height()));
    try {
      copy_.resize(size_t(len * b.Height()));
    } catch (const std::bad_alloc&) {
      return TVlStatus::LimitExceeded("out of memory for the rotation");
    }
    for (std::int32_t y = 0; y < b.Height(); ++y) {
      std::memcpy(copy_.data() + len * y, b.RowPointer(y), size_t(len));
      rows_[size_t(y)] = copy_.data() + len * y;
    }
    return TVlStatus::Ok();
  }
  const std::uint8_t* operator[](std::int32_t y) const { return rows_[size_t(y)]; }

 private:
  std::vector<const std::uint8_t*> rows_;
  std::vector<std::uint8_t> copy_;
};

TVlStatus AllocBuffer(std::vector<std::uint8_t>& v, std::int64_t bytes) {
  VL_TRY(CheckBufferSize(bytes));
  try {
    v.assign(size_t(bytes), 0);
  } catch (const std::bad_alloc&) {
    return TVlStatus::LimitExceeded("out of memory for the rotation");
  }
  return TVlStatus::Ok();
}

// Three shears of an N-channel byte plane by c degrees (-45 .. 45) into `out`.
template <int N>
TVlStatus ShearPlane(TVlBitmap& src, TVlBitmap& out, TVlPixelFormat format, bool aa, const std::uint8_t* bg, double c,
                     const TVlProcProgress& progress) {
  const std::int64_t W = src.Width(), H = src.Height();
  const double theta = c * kPi / 180.0;
  const bool positive = theta > 0;
  const double T = std::fabs(std::sin(theta / 2) / std::cos(theta / 2));
  const double S = std::fabs(std::sin(theta));
  const std::int64_t W1 = RoundI(double(H) * T + double(W) + 1);
  const std::int64_t dY = RoundI(double(W1 - W) * S);
  std::int64_t H2 = RoundI(double(W1) * S + double(H) + 1);
  const std::int64_t dX = RoundI(double(H2 - H - dY) * T);
  H2 = RoundI(double(H2) - 2.0 * double(dY));
  const std::int64_t W3 = RoundI(double(H2) * T + double(W1) + 1 - 2.0 * double(dX));
  VL_TRY(CheckImageSize(W1, H, 8 * N));
  VL_TRY(CheckImageSize(W3, H2, 8 * N));
  Percent pct(progress, double(H + W1 + H2));

  // Pass 1: horizontal shear into W1 x H.
  std::vector<std::uint8_t> buf1;
  VL_TRY(AllocBuffer(buf1, W1 * H * N));
  for (std::int64_t y = 0; y < H; ++y) {
    pct(double(y));
    const double offset = double(positive ? y : H - y) * T;
    const std::int64_t shift = RoundI(offset);
    const int a = int(Trunc((offset - double(shift)) * 4096));
    const int b = 4096 - a;
    std::uint8_t* row = buf1.data() + y * W1 * N;
    for (std::int64_t x = 0; x < W1; ++x) std::memcpy(row + x * N, bg, N);
    const std::uint8_t* s = src.RowPointer(std::int32_t(y));
    for (std::int64_t x = 0; x < W; ++x) {
      const std::int64_t col = shift + x;
      if (col < 0 || col >= W1)
        continue;
      std::uint8_t* d = row + col * N;
      const std::uint8_t* cur = s + x * N;
      const std::uint8_t* prev = x > 0 ? s + (x - 1) * N : bg;
      for (int ch = 0; ch < N; ++ch) d[ch] = aa ? Blend(prev[ch], cur[ch], a, b) : cur[ch];
    }
    const std::int64_t tail = shift + W;
    if (aa && a > 0 && tail >= 0 && tail < W1)
      for (int ch = 0; ch < N; ++ch) row[tail * N + ch] = Blend(s[(W - 1) * N + ch], bg[ch], a, b);
  }

  // Pass 2: vertical shear into W1 x H2, done row by row: destination row Y of column x takes
  // buffer-1 row Y - shift[x].
  std::vector<std::int64_t> sh2(static_cast<size_t>(W1));
  std::vector<int> a2(static_cast<size_t>(W1));
  for (std::int64_t x = 0; x < W1; ++x) {
    const double offset = double(positive ? W1 - x : x) * S;
    const std::int64_t n = RoundI(offset);
    a2[size_t(x)] = int(RoundI((offset - double(n)) * 4096));
    sh2[size_t(x)] = n - dY;
  }
  std::vector<std::uint8_t> buf2;
  VL_TRY(AllocBuffer(buf2, W1 * H2 * N));
  for (std::int64_t Y = 0; Y < H2; ++Y) {
    pct(double(H) + double(Y) * double(W1) / double(H2));
    std::uint8_t* row = buf2.data() + Y * W1 * N;
    for (std::int64_t x = 0; x < W1; ++x) {
      std::uint8_t* d = row + x * N;
      const std::int64_t shift = sh2[size_t(x)];
      const std::int64_t y = Y - shift;
      const int a = a2[size_t(x)], b = 4096 - a;
      if (y >= 0 && y < H) {
        const std::uint8_t* cur = buf1.data() + (y * W1 + x) * N;
        if (!aa) {
          std::memcpy(d, cur, N);
          continue;
        }
        const bool prevPlaced = y >= 1 && y - 1 + shift >= 0;
        const std::uint8_t* prev = prevPlaced ? cur - W1 * N : bg;
        for (int ch = 0; ch < N; ++ch) d[ch] = Blend(prev[ch], cur[ch], a, b);
      } else if (aa && y == H && a > 0) {
        const std::uint8_t* last = H - 1 + shift >= 0 ? buf1.data() + ((H - 1) * W1 + x) * N : bg;
        for (int ch = 0; ch < N; ++ch) d[ch] = Blend(last[ch], bg[ch], a, b);
      } else {
        std::memcpy(d, bg, N);
      }
    }
  }
  std::vector<std::uint8_t>().swap(buf1);

  // Pass 3: horizontal shear into the result, W3 x H2.
  VL_TRY(out.AllocateImage(std::int32_t(W3), std::int32_t(H2), format));
  for (std::int64_t y = 0; y < H2; ++y) {
    pct(double(H + W1 + y));
    const double offset = double(positive ? y : H2 - y) * T;
    const std::int64_t n = RoundI(offset);
    const int a = int(RoundI((offset - double(n)) * 4096));
    const int b = 4096 - a;
    const std::int64_t shift = n - dX;
    std::uint8_t* d = out.RowPointer(std::int32_t(y));
    std::memset(d, 0, size_t(out.RowLength()));
    for (std::int64_t x = 0; x < W3; ++x) std::memcpy(d + x * N, bg, N);
    const std::uint8_t* s = buf2.data() + y * W1 * N;
    const std::uint8_t* prev = bg;
    for (std::int64_t x = 0; x < W1; ++x) {
      const std::int64_t X = x + shift;
      if (X < 0)
        continue;
      if (X >= W3)
        break;
      const std::uint8_t* cur = s + x * N;
      for (int ch = 0; ch < N; ++ch) d[X * N + ch] = aa ? Blend(prev[ch], cur[ch], a, b) : cur[ch];
      prev = cur;
    }
    const std::int64_t tail = shift + W1;
    if (aa && a > 0 && tail >= 0 && tail < W3)
      for (int ch = 0; ch < N; ++ch) d[tail * N + ch] = Blend(prev[ch], bg[ch], a, b);
  }
  out.RowPointer(0);
  return TVlStatus::Ok();
}

// Puts `plane` (a vl8g image) in as the alpha plane of `image` (same size).
TVlStatus AttachAlpha(TVlBitmap& image, TVlBitmap& plane) {
  TVlBitmap* a = image.AlphaChannel();
  VL_TRY(a->AssignImage(plane));
  a->RecheckAlphaFull();
  return TVlStatus::Ok();
}

// The bytes of one pixel of `image`'s format painted with `colour`.
void BackgroundPixel(const TVlBitmap& image, TVlColor colour, std::uint8_t out[8]) {
  std::memset(out, 0, 8);
  TVlBitmap one(1, 1, image.PixelFormat());
  if (one.IsEmpty())
    return;
  one.FillImage(VlFillValue(image, colour));
  std::memcpy(out, one.RowPointer(0), size_t(std::max(1, image.BitsPerPixel() / 8)));
}

}  // namespace

std::string VlShortestDecimal(double value) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, value);
  return std::string(buf, r.ptr);
}

TVlStatus VlShearRotate(TVlBitmap& image, bool antialias, TVlColor background, double c,
                        const TVlProcProgress& progress) {
  if (image.IsEmpty() || c == 0 || !(std::fabs(c) <= 45))
    return TVlStatus::Ok();
  TVlBitmap result;
  result.bilevelMethod = image.bilevelMethod;
  result.quantizeColors = image.quantizeColors;
  if (image.PixelFormat() == vl24RGB) {
    TVlRGB c3 = VlColorToRGB(background);
    const std::uint8_t bg[3] = {c3.b, c3.g, c3.r};
    VL_TRY(ShearPlane<3>(image, result, vl24RGB, antialias, bg, c, progress));
  } else if (image.PixelFormat() == vl8g) {
    const std::uint8_t bg[1] = {std::uint8_t(background & 0xFF)};
    VL_TRY(ShearPlane<1>(image, result, vl8g, antialias, bg, c, progress));
  } else {
    return TVlStatus::Unsupported("three-shear rotation needs vl24RGB or vl8g");
  }
  if (image.HasAlpha() && !image.IsAlphaPlane()) {
    TVlBitmap alpha;
    const std::uint8_t zero[1] = {0};
    VL_TRY(ShearPlane<1>(*image.AlphaChannel(), alpha, vl8g, antialias, zero, c, {}));
    VL_TRY(AttachAlpha(result, alpha));
  }
  return image.AssignImage(result);
}

TVlStatus VlRotateBitsNearest(TVlBitmap& image, TVlColor background, double angle, const TVlProcProgress& progress) {
  if (image.IsEmpty() || image.PixelFormat() != vl1g || !std::isfinite(angle))
    return TVlStatus::Ok();
  const std::int64_t W = image.Width(), H = image.Height();
  const double a = -angle / 57.295779513082320877;
  const double C = double(Trunc(std::cos(a) * 10000)) / 10000;
  const double S = double(Trunc(std::sin(a) * 10000)) / 10000;
  const std::int64_t Wn = std::max<std::int64_t>(1, Trunc(std::fabs(double(W) * C) + std::fabs(double(H) * S)));
  const std::int64_t Hn = std::max<std::int64_t>(1, Trunc(std::fabs(S * double(-W)) + std::fabs(C * double(H))));
  VL_TRY(CheckImageSize(Wn, Hn, 1));
  const TVlRGB bgc = VlColorToRGB(background);
  const bool bgBit = bgc.r != 0 && bgc.g != 0 && bgc.b != 0;

  std::vector<std::int64_t> P(static_cast<size_t>(Wn)), Q(static_cast<size_t>(Wn));
  for (std::int64_t k = 0; k < Wn; ++k) {
    const double ox = double(k) - (double(Wn) / 2 - 0.5);
    P[size_t(k)] = Trunc(C * ox);
    Q[size_t(k)] = Trunc(S * (0 - ox));
  }
  AllRows src;
  VL_TRY(src.Load(image));
  const bool alpha = image.HasAlpha();
  AllRows srcAlpha;
  if (alpha)
    VL_TRY(srcAlpha.Load(*image.AlphaChannel()));

  TVlBitmap result, resultAlpha;
  result.bilevelMethod = image.bilevelMethod;
  VL_TRY(result.AllocateImage(std::int32_t(Wn), std::int32_t(Hn), vl1g));
  if (alpha)
    VL_TRY(resultAlpha.AllocateImage(std::int32_t(Wn), std::int32_t(Hn), vl8g));
  Percent pct(progress, double(Hn));
  for (std::int64_t r = 0; r < Hn; ++r) {
    pct(double(r));
    const double oy = double(r) - (double(Hn) / 2 - 0.5);
    const std::int64_t u = Trunc((double(W) / 2 - 0.5) + S * oy);
    const std::int64_t v = Trunc((double(H) / 2 - 0.5) + C * oy);
    std::uint8_t* d = result.RowPointer(std::int32_t(r));
    std::memset(d, 0, size_t(result.RowLength()));
    for (std::int64_t k = 0; k < Wn; ++k) {
      const std::int64_t sx = u + P[size_t(k)], sy = v + Q[size_t(k)];
      const bool inside = sx >= 0 && sx < W && sy >= 0 && sy < H;
      const bool bit = inside ? VlGetBit(src[std::int32_t(sy)], sx) : bgBit;
      if (bit)
        d[k >> 3] |= std::uint8_t(0x80u >> (k & 7));
    }
    if (alpha) {
      std::uint8_t* da = resultAlpha.RowPointer(std::int32_t(r));
      for (std::int64_t k = 0; k < Wn; ++k) {
        const std::int64_t sx = u + P[size_t(k)], sy = v + Q[size_t(k)];
        const bool inside = sx >= 0 && sx < W && sy >= 0 && sy < H;
        da[k] = inside ? srcAlpha[std::int32_t(sy)][sx] : 0;
      }
    }
  }
  result.RowPointer(0);
  if (alpha) {
    resultAlpha.RowPointer(0);
    VL_TRY(AttachAlpha(result, resultAlpha));
  }
  return image.AssignImage(result);
}

TVlStatus VlRotateNearest(TVlBitmap& image, TVlColor background, double angle, const TVlProcProgress& progress) {
  if (image.IsEmpty() || image.BitsPerPixel() < 8 || !std::isfinite(angle))
    return TVlStatus::Ok();
  const int B = image.BitsPerPixel() / 8;
  const std::int64_t W = image.Width(), H = image.Height();
  const std::int64_t We = W + 6, He = H + 6;  // with the 3-pixel border
  const double phi = angle * kPi / 180.0;
  const double cs = std::cos(phi), sn = std::sin(phi);
  const std::int64_t Bw = RoundI(std::fabs(cs) * double(We - 1) + std::fabs(sn) * double(He - 1));
  const std::int64_t Bh = RoundI(std::fabs(sn) * double(We - 1) + std::fabs(cs) * double(He - 1));
  // The border is cut off again: the result is the inner part from (3, 3).
  const std::int64_t Fw = std::max<std::int64_t>(1, Bw - 6), Fh = std::max<std::int64_t>(1, Bh - 6);
  VL_TRY(CheckImageSize(Fw, Fh, image.BitsPerPixel()));
  std::uint8_t bg[8];
  BackgroundPixel(image, background, bg);

  std::vector<std::int64_t> X(static_cast<size_t>(Fw)), Y(static_cast<size_t>(Fw));
  for (std::int64_t i = 0; i < Fw; ++i) {
    const double dj = double(i + 3) - double(Bw - 1) / 2;
    X[size_t(i)] = Trunc(double(We - 1) / 2 + cs * dj);
    Y[size_t(i)] = Trunc(double(He - 1) / 2 + sn * dj);
  }
  AllRows src;
  VL_TRY(src.Load(image));
  const bool alpha = image.HasAlpha() && !image.IsAlphaPlane();
  AllRows srcAlpha;
  if (alpha)
    VL_TRY(srcAlpha.Load(*image.AlphaChannel()));

  TVlBitmap result, resultAlpha;
  result.bilevelMethod = image.bilevelMethod;
  result.quantizeColors = image.quantizeColors;
  result.display = image.display;
  VL_TRY(result.AllocateImage(std::int32_t(Fw), std::int32_t(Fh), image.PixelFormat()));
  if (image.Palette() && result.Palette())
    std::memcpy(result.Palette(), image.Palette(), 256 * sizeof(TVlRGB));
  if (alpha)
    VL_TRY(resultAlpha.AllocateImage(std::int32_t(Fw), std::int32_t(Fh), vl8g));
  Percent pct(progress, double(Fh));
  for (std::int64_t r = 0; r < Fh; ++r) {
    pct(double(r));
    const double m = double(r + 3) - double(Bh - 1) / 2;
    const std::int64_t Nn = Trunc(sn * m), O = Trunc(cs * m);
    std::uint8_t* d = result.RowPointer(std::int32_t(r));
    std::memset(d, 0, size_t(result.RowLength()));
    std::uint8_t* da = alpha ? resultAlpha.RowPointer(std::int32_t(r)) : nullptr;
    for (std::int64_t i = 0; i < Fw; ++i) {
      // Position in the bordered source; the original pixels start at (3, 3).
      const std::int64_t sx = X[size_t(i)] - Nn - 3, sy = Y[size_t(i)] + O - 3;
      const bool inside = sx >= 0 && sx < W && sy >= 0 && sy < H;
      std::memcpy(d + i * B, inside ? src[std::int32_t(sy)] + sx * B : bg, size_t(B));
      if (da)
        da[i] = inside ? srcAlpha[std::int32_t(sy)][sx] : 0;
    }
  }
  result.RowPointer(0);
  if (alpha) {
    resultAlpha.RowPointer(0);
    VL_TRY(AttachAlpha(result, resultAlpha));
  }
  return image.AssignImage(result);
}

TVlStatus VlRotate(TVlBitmap& image, bool antialias, TVlColor background, double angle,
                   const TVlProcProgress& progress) {
  if (image.IsEmpty() || angle == 0 || !std::isfinite(angle))
    return TVlStatus::Ok();
  background &= 0xFFFFFF;
  if (image.PixelFormat() == vl24RGB) {
    // Thousandths of a degree, reduced modulo 360 (remainder with the sign of the angle).
    const double t = std::fmod(std::trunc(angle * 1000), 360000.0);
    double c = double(std::int64_t(t)) / 1000;
    int turns = 0;
    while (c > 45) c -= 90, ++turns;
    while (c < -45) c += 90, --turns;
    VL_TRY(VlTurn(image, turns));
    if (c == 0)
      return TVlStatus::Ok();
    return VlShearRotate(image, antialias, background, c, progress);
  }
  // Exact turns for the angles a page is turned by.
  if (angle == 90)
    return VlTurn(image, 1);
  if (angle == -90 || angle == 270)
    return VlTurn(image, -1);
  if (angle == 180 || angle == -180)
    return VlTurn(image, 2);
  if (image.PixelFormat() == vl1g)
    return VlRotateBitsNearest(image, background, angle, progress);
  return VlRotateNearest(image, background, angle, progress);
}
