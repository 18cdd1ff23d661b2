// Writing TIFF pages (see tiff_writer.h).
#include "tiff/tiff_writer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "imaging/limits.h"
#include "imaging/params.h"
#include "imaging/quantizer.h"
#include "imaging/stream.h"
#include "tiff/ccitt.h"
#include "tiff/deflate.h"
#include "tiff/packbits.h"
#include "tiff/predictor.h"
#include "tiff/tiff_reader.h"
#include "tiff/tiff_reader_tags.h"
#include "tiff/tiff_jpeg.h"

namespace {

namespace tt = tifftag;

constexpr std::int64_t kMaxClassicOffset = 0xFFFFFFFFll;

// A window on a stream that starts at `base`: positions (and so every offset the entry builders
// record) are relative to the TIFF header.
class TOffsetStream final : public TVlStream {
 public:
  TOffsetStream(TVlStream& s, std::int64_t base) : s_(s), base_(base) {}
  std::int64_t Read(void* b, std::int64_t n) override { return s_.Read(b, n); }
  std::int64_t Write(const void* b, std::int64_t n) override { return s_.Write(b, n); }
  bool Seek(std::int64_t p) override { return p >= 0 && s_.Seek(base_ + p); }
  std::int64_t Position() const override { return s_.Position() - base_; }
  std::int64_t Size() const override { return s_.Size() - base_; }
  bool Flush() override { return s_.Flush(); }

 private:
  TVlStream& s_;
  std::int64_t base_;
};

void Put32(std::uint8_t* p, std::uint32_t v) {
  p[0] = std::uint8_t(v);
  p[1] = std::uint8_t(v >> 8);
  p[2] = std::uint8_t(v >> 16);
  p[3] = std::uint8_t(v >> 24);
}

// The luma of a colour, rounded to a whole level.
int RoundedLuma(TVlRGB c) {
  const TVlLumaWeights& w = VlLumaWeights();
  return (w.r * c.r + w.g * c.g + w.b * c.b + 50) / 100;
}

TVlRGB PixelColour(TVlBitmap& bm, const std::uint8_t* row, std::int32_t x) {
  switch (bm.PixelFormat()) {
    case vl24RGB: return TVlRGB{row[3 * x], row[3 * x + 1], row[3 * x + 2]};
    case vl8g: return TVlRGB{row[x], row[x], row[x]};
    case vl8p: {
      TVlRGB c;
      bm.PaletteColor(row[x], c);
      return c;
    }
    default: return bm.PixelAsRGB(x, 0);
  }
}

// A buffer of exactly two colours as bilevel: the darker colour (the first met at equal luma)
// black. False when the buffer does not hold exactly two colours.
bool TwoColourToBilevel(TVlBitmap& src, TVlBitmap& out, TVlStatus& st) {
  TVlRGB colours[2];
  int n = 0;
  const std::int32_t W = src.Width(), H = src.Height();
  const bool direct = src.PixelFormat() == vl24RGB || src.PixelFormat() == vl8g || src.PixelFormat() == vl8p;
  for (std::int32_t y = 0; y < H; ++y) {
    const std::uint8_t* row = direct ? src.RowPointer(y) : nullptr;
    for (std::int32_t x = 0; x < W; ++x) {
      TVlRGB c = direct ? PixelColour(src, row, x) : src.PixelAsRGB(x, y);
      if ((n >= 1 && c == colours[0]) || (n == 2 && c == colours[1]))
        continue;
      if (n == 2)
        return false;
      colours[n++] = c;
    }
  }
  if (n != 2)
    return false;
  const TVlRGB black = RoundedLuma(colours[1]) < RoundedLuma(colours[0]) ? colours[1] : colours[0];
  st = out.AllocateImage(W, H, vl1g);
  if (!st.ok())
    return true;
  std::vector<std::uint8_t> bits(std::size_t((W + 7) / 8));
  for (std::int32_t y = 0; y < H; ++y) {
    std::fill(bits.begin(), bits.end(), 0);
    const std::uint8_t* row = direct ? src.RowPointer(y) : nullptr;
    for (std::int32_t x = 0; x < W; ++x) {
      TVlRGB c = direct ? PixelColour(src, row, x) : src.PixelAsRGB(x, y);
      if (!(c == black))
        bits[std::size_t(x >> 3)] |= std::uint8_t(0x80 >> (x & 7));
    }
    std::memcpy(out.RowPointer(y), bits.data(), bits.size());
  }
  return true;
}

TVlStatus CopyAs(TVlBitmap& src, TVlPixelFormat format, std::unique_ptr<TVlBitmap>& copy) {
  copy = std::make_unique<TVlBitmap>();
  VL_TRY(copy->AssignImage(src));
  return copy->ConvertToFormat(format);
}

// sRGB to 8-bit CIE L*a*b* (D65), the inverse of the reader's conversion.
void RGBToLab(int r8, int g8, int b8, std::uint8_t* out) {
  auto lin = [](int c8) {
    double c = c8 / 255.0;
    return c <= 0.03928 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
  };
  double R = lin(r8), G = lin(g8), B = lin(b8);
  double X = 0.412453 * R + 0.35758 * G + 0.180423 * B;
  double Y = 0.212671 * R + 0.71516 * G + 0.072169 * B;
  double Z = 0.019334 * R + 0.119193 * G + 0.950227 * B;
  auto f = [](double t) { return t > 0.008856 ? std::cbrt(t) : 7.787 * t + 16.0 / 116.0; };
  double fx = f(X / 0.95047), fy = f(Y), fz = f(Z / 1.08883);
  double L = Y > 0.008856 ? 116.0 * fy - 16.0 : 903.3 * Y;
  double a = 500.0 * (fx - fy), b = 200.0 * (fy - fz);
  auto clampTo = [](double v, double lo, double hi) { return v < lo ? lo : v > hi ? hi : v; };
  out[0] = std::uint8_t(int(clampTo(L * 255.0 / 100.0, 0, 255)));
  out[1] = std::uint8_t(std::int8_t(int(clampTo(a, -128, 127))));
  out[2] = std::uint8_t(std::int8_t(int(clampTo(b, -128, 127))));
}

bool HasTranslucentAlpha(TVlBitmap& bm) {
  if (!bm.HasAlpha() || bm.IsAlphaPlane())
    return false;
  TVlBitmap* a = bm.AlphaChannel();
  for (std::int32_t y = 0; y < a->Height(); ++y) {
    const std::uint8_t* r = a->RowPointer(y);
    for (std::int32_t x = 0; x < a->Width(); ++x)
      if (r[x] != 255)
        return true;
  }
  return false;
}

std::uint32_t ClampU32(double v) {
  if (!(v == v) || v <= 0)
    return 0;
  if (v >= 4294967295.0)
    return 0xFFFFFFFFu;
  return std::uint32_t(v);
}

// An unsigned RATIONAL entry; negative values (meaningless there) are written as 0.
void AddURational(TTIFFEntryList& list, TVlStream& s, std::uint16_t tag, std::atomic<bool>& abort, double v) {
  TTIFFRational r = RationalFromDouble(v < 0 ? 0 : v);
  AddRationalEntry(list, s, tag, abort, r.denominator, std::uint32_t(r.numerator));
}

void AddSRational(TTIFFEntryList& list, TVlStream& s, std::uint16_t tag, std::atomic<bool>& abort, double v) {
  TTIFFRational r = RationalFromDouble(v);
  AddSRationalEntry(list, s, tag, abort, std::int32_t(r.denominator), r.numerator);
}

template <std::size_t N>
void AddURationals(TTIFFEntryList& list, TVlStream& s, std::uint16_t tag, std::atomic<bool>& abort,
                   const std::array<double, N>& v) {
  std::uint32_t vals[2 * N];
  for (std::size_t i = 0; i < N; ++i) {
    TTIFFRational r = RationalFromDouble(v[i] < 0 ? 0 : v[i]);
    vals[2 * i] = std::uint32_t(r.numerator);
    vals[2 * i + 1] = r.denominator;
  }
  AddRationalArrayEntry(list, s, tag, abort, std::int32_t(2 * N - 1), vals);
}

template <std::size_t N>
bool AllZero(const std::array<double, N>& v) {
  return std::all_of(v.begin(), v.end(), [](double x) { return x == 0; });
}

// ASCII with its terminating zero, inline when it fits.
void AddAscii(TTIFFEntryList& list, TVlStream& s, std::uint16_t tag, std::atomic<bool>& abort, const std::string& t) {
  if (t.empty())
    return;
  AddDataEntry(list, s, tag, 2, std::uint32_t(t.size() + 1), t.c_str(), abort);
}

// A 4-byte UNDEFINED version field ("0220").
void AddVersion(TTIFFEntryList& list, TVlStream& s, std::uint16_t tag, std::atomic<bool>& abort, const std::string& t) {
  if (t.empty())
    return;
  char v[4] = {'0', '0', '0', '0'};
  std::memcpy(v, t.data(), std::min<std::size_t>(4, t.size()));
  AddDataEntry(list, s, tag, 7, 4, v, abort);
}

void AddShortIf(TTIFFEntryList& list, std::uint16_t tag, std::int32_t v) {
  if (v != -1)
    AddShortEntry(list, tag, std::uint16_t(std::clamp(v, 0, 65535)));
}

std::uint32_t WriteSubDirectory(TVlStream& s, std::atomic<bool>& abort, TTIFFEntryList& list) {
  std::int64_t pos = AlignToWord(s, abort);
  WriteDirectory(s, abort, list, 0);
  return std::uint32_t(pos);
}

}  // namespace

// ---------------------------------------------------------------------------------------------

TTIFFRational RationalFromDouble(double x) {
  TTIFFRational r;
  if (!(x == x))
    return r;
  std::int64_t den = 1000000;
  while (den > 1 && std::fabs(x) * double(den) > 2147483640.0)
    den /= 10;
  double n = std::nearbyint(x * double(den));
  if (n > 2147483647.0)
    n = 2147483647.0;
  if (n < -2147483647.0)
    n = -2147483647.0;
  r.numerator = std::int32_t(n);
  r.denominator = std::uint32_t(den);
  return r;
}

std::int64_t TIFFRowsPerStrip(std::int64_t height, std::int64_t rowLength) {
  if (height < 1)
    return 1;
  std::int64_t bytes = CheckedMul(height, std::max<std::int64_t>(rowLength, 1)).value_or(INT64_MAX);
  std::int64_t strips = std::max<std::int64_t>(1, bytes / 524288);
  if (strips > height)
    strips = height;
  return std::max<std::int64_t>(1, height / strips);
}

TTIFFPagePlan::TTIFFPagePlan() = default;
TTIFFPagePlan::~TTIFFPagePlan() = default;

TVlStatus PlanTIFFPage(TVlBitmap& bitmap, TIOParamsVals& P, TTIFFPagePlan& plan) {
  plan.work = &bitmap;
  TTIFFWriteOptions& o = plan.options;
  const TVlPixelFormat F0 = bitmap.PixelFormat();
  if (bitmap.IsEmpty())
    return TVlStatus::BadData("empty page");

  // Depths a single-sample page can have.
  if (P.samplesPerPixel == 1 && !(P.bitsPerSample >= 1 && P.bitsPerSample <= 8) && P.bitsPerSample != 16)
    P.bitsPerSample = 8;
  if (P.samplesPerPixel < 1)
    P.samplesPerPixel = 3;

  // 1. Bilevel pages.
  if (P.bitsPerSample == 1 && P.samplesPerPixel == 1) {
    if (F0 != vl1g) {
      plan.copy = std::make_unique<TVlBitmap>();
      TVlStatus st = TVlStatus::Ok();
      if (TwoColourToBilevel(bitmap, *plan.copy, st)) {
        VL_TRY(st);
      } else {
        VL_TRY(CopyAs(bitmap, vl1g, plan.copy));
      }
      plan.work = plan.copy.get();
    }
  } else if (F0 == vl1g) {
    VL_TRY(CopyAs(bitmap, vl24RGB, plan.copy));
    plan.work = plan.copy.get();
  }
  TVlBitmap* W = plan.work;
  auto keepsCompression = [&] {
    std::uint8_t c = P.tiffCompression;
    if (c != 5 && c != 8 && c != 9 && c != 10)
      P.tiffCompression = 0;
  };

  // 2. Pages of one sample of 2 to 8 (or 16) bits: gray or palette through the quantizer;
  //    16-bit gray buffers keep their 16 bits.
  bool indexed = false, gray16 = false;
  if (P.samplesPerPixel == 1 && P.bitsPerSample >= 2) {
    keepsCompression();
    if (W->PixelFormat() == vl16g && P.bitsPerSample == 16) {
      gray16 = true;
      P.tiffPhotometric = 1;
    } else {
      if (P.bitsPerSample == 16)
        P.bitsPerSample = 8;
      const TVlPixelFormat f = W->PixelFormat();
      if (f != vl8g && f != vl24RGB && !(f == vl8p && P.bitsPerSample == 8)) {
        VL_TRY(CopyAs(*W, vl24RGB, plan.copy));
        plan.work = W = plan.copy.get();
      }
      const int n = std::min(1 << P.bitsPerSample, 256);
      o.palette.assign(std::size_t(1) << P.bitsPerSample, TVlRGB{});
      plan.quantizer = std::make_unique<TVlQuantizer>(*W, 0, -1, n, o.palette.data());
      o.quantizer = plan.quantizer.get();
      P.tiffPhotometric = plan.quantizer->isGray() ? 1 : 3;
      if (W->PixelFormat() == vl8g)
        for (int g = 0; g < 256; ++g) {
          std::uint8_t v = std::uint8_t(g);
          int k = plan.quantizer->MapColour(TVlRGB{v, v, v});
          o.grayIndex[g] = std::uint8_t(std::clamp(k, 0, n - 1));
        }
      indexed = true;
    }
  }

  // 3. Corrections.
  std::int32_t photometric = P.tiffPhotometric;
  if (photometric == 3 && P.samplesPerPixel > 1)
    photometric = 2;
  if (W->PixelFormat() == vlRGB48) {
    P.samplesPerPixel = 3;
    P.bitsPerSample = 16;
    photometric = 2;
  } else if (P.bitsPerSample > 8 && P.samplesPerPixel > 1) {
    P.samplesPerPixel = 3;
    P.bitsPerSample = 8;
    photometric = 2;
  }
  if ((photometric == 0 || photometric == 1) && P.samplesPerPixel == 3 && P.bitsPerSample == 8)
    photometric = 2;
  if (photometric == 2 && P.samplesPerPixel == 1 && P.bitsPerSample == 1)
    photometric = 1;
  if (photometric == 6 && P.tiffCompression != 7)
    photometric = 2;
  if (photometric == 2 && P.samplesPerPixel > 3)
    P.samplesPerPixel = 3;
  if (W->PixelFormat() == vlCMYK) {
    P.samplesPerPixel = 4;
    P.bitsPerSample = 8;
    photometric = 5;
  }
  const bool bilevel = W->PixelFormat() == vl1g;
  // Gray or palette without a quantizer (several samples asked for): stored as RGB.
  if (!bilevel && !indexed && !gray16 && (photometric == 0 || photometric == 1 || photometric == 3 || photometric == 4))
    photometric = 2;
  P.tiffPhotometric = std::uint8_t(photometric);

  // 4. Photometric choice and the stored kind.
  if (bilevel) {
    o.kind = TTIFFStoredKind::bilevel;
    o.photometric = TTIFFPhotometricChoice::gray;
    o.bits = 1;
    o.samples = 1;
  } else if (gray16) {
    o.kind = TTIFFStoredKind::gray16;
    o.photometric = TTIFFPhotometricChoice::gray;
    o.bits = 16;
    o.samples = 1;
  } else if (indexed) {
    o.kind = TTIFFStoredKind::indexed;
    o.photometric = photometric == 3 ? TTIFFPhotometricChoice::palette : TTIFFPhotometricChoice::gray;
    o.bits = P.bitsPerSample;
    o.samples = 1;
  } else if (photometric == 5) {
    o.kind = TTIFFStoredKind::cmyk;
    o.photometric = TTIFFPhotometricChoice::cmyk;
    o.bits = 8;
    o.samples = 4;
  } else if (photometric == 7 && W->PixelFormat() != vlRGB48) {
    o.kind = TTIFFStoredKind::cieLab;
    o.photometric = TTIFFPhotometricChoice::cieLab;
    o.bits = 8;
    o.samples = 3;
  } else if (W->PixelFormat() == vlRGB48) {
    o.kind = TTIFFStoredKind::rgb48;
    o.photometric = TTIFFPhotometricChoice::rgb;
    o.bits = 16;
    o.samples = 3;
  } else {
    o.kind = TTIFFStoredKind::rgb;
    o.photometric = photometric == 6 ? TTIFFPhotometricChoice::ycbcr : TTIFFPhotometricChoice::rgb;
    o.bits = 8;
    o.samples = 3;
  }
  // Kinds that need a 24-bit working buffer.
  if ((o.kind == TTIFFStoredKind::rgb || o.kind == TTIFFStoredKind::cieLab ||
       (o.kind == TTIFFStoredKind::cmyk && W->PixelFormat() != vlCMYK)) &&
      W->PixelFormat() != vl24RGB) {
    VL_TRY(CopyAs(*W, vl24RGB, plan.copy));
    plan.work = W = plan.copy.get();
  }

  // 5. Compression.
  o.ccitt = false;
  o.twoDimensional = false;
  switch (P.tiffCompression) {
    case 1: o.compression = 2; o.ccitt = true; break;
    case 2: o.compression = 3; o.ccitt = true; break;
    case 3: o.compression = 3; o.ccitt = true; o.twoDimensional = true; break;
    case 4: o.compression = 4; o.ccitt = true; break;
    case 5:
      o.lzwEncoder = P.tiffLzwEncoder ? P.tiffLzwEncoder : DefaultTiffLzwEncoder();
      o.compression = o.lzwEncoder ? 5 : 1;
      o.predictor = o.lzwEncoder != nullptr;
      break;
    case 6: o.compression = 6; break;
    case 7: o.compression = 7; break;
    case 8: o.compression = 32773; break;
    case 9: case 10: o.compression = 32946; break;
    default: o.compression = 1; break;
  }
  o.jpegQuality = P.tiffJpegQuality;
  o.jpegColorSpace = P.tiffJpegColorSpace;
  o.zipLevel = P.tiffZipLevel;
  o.fillOrder = P.tiffFillOrder == 2 ? 2 : 1;
  // 6. Fax codes only for bilevel pages; JPEG only for RGB and CMYK pages.
  if (o.ccitt && !bilevel) {
    o.compression = 1;
    o.ccitt = false;
    o.twoDimensional = false;
  }
  if ((o.compression == 6 || o.compression == 7) && o.kind != TTIFFStoredKind::rgb && o.kind != TTIFFStoredKind::cmyk)
    o.compression = 1;
  if (o.ccitt)
    o.photometric = TTIFFPhotometricChoice::bilevelWhiteIsZero;

  // Alpha: a translucent alpha plane on an RGB page with a lossless code.
  o.alpha = o.kind == TTIFFStoredKind::rgb && HasTranslucentAlpha(bitmap) &&
            (o.compression == 1 || o.compression == 5 || o.compression == 32773 || o.compression == 32946);
  if (o.alpha) {
    o.samples = 4;
    if (W != &bitmap && !W->HasAlpha()) {
      VL_TRY(W->AlphaChannel()->AssignImage(*bitmap.AlphaChannel()));
    }
  }
  // 7. The predictor only for 8-bit RGB without alpha.
  if (!(o.bits == 8 && o.samples == 3 && o.kind == TTIFFStoredKind::rgb && !o.alpha && o.compression == 5))
    o.predictor = false;

  // Tag values.
  switch (o.photometric) {
    case TTIFFPhotometricChoice::bilevelWhiteIsZero: plan.photometricValue = 0; break;
    case TTIFFPhotometricChoice::gray: plan.photometricValue = 1; break;
    case TTIFFPhotometricChoice::palette: plan.photometricValue = 3; break;
    case TTIFFPhotometricChoice::cmyk: plan.photometricValue = 5; break;
    case TTIFFPhotometricChoice::ycbcr: plan.photometricValue = 6; break;
    case TTIFFPhotometricChoice::cieLab: plan.photometricValue = 8; break;
    case TTIFFPhotometricChoice::rgb: plan.photometricValue = 2; break;
  }
  if (o.compression == 7 || o.compression == 6) {
    // The photometric and samples of a JPEG page are those of the JPEG data, whose colour space
    // the JPEG writer takes from tiffJpegColorSpace.
    switch (TiffJpegWriteOptions(P).colorSpace) {
      case 1: plan.photometricValue = 1; o.samples = 1; break;
      case 2: plan.photometricValue = 6; o.samples = 3; break;
      case 3: plan.photometricValue = 5; o.samples = 4; break;
      default: plan.photometricValue = 2; o.samples = 3; break;
    }
    o.alpha = false;
    o.predictor = false;
  }
  plan.bitsPerSample.assign(std::size_t(o.samples), std::uint16_t(o.bits));
  return TVlStatus::Ok();
}

// ---------------------------------------------------------------------------------------------
// Strips.

namespace {

// Prepares row y of the working buffer in its stored form.
void PrepareRow(TVlBitmap& bm, std::int32_t y, const TTIFFWriteOptions& o, std::uint8_t* out, std::int64_t rowBytes) {
  const std::uint8_t* s = bm.RowPointer(y);
  const std::int32_t w = bm.Width();
  switch (o.kind) {
    case TTIFFStoredKind::bilevel:
      if (o.ccitt) {
        for (std::int64_t i = 0; i < rowBytes; ++i)
          out[i] = std::uint8_t(~s[i]);
      } else {
        std::memcpy(out, s, std::size_t(rowBytes));
      }
      return;
    case TTIFFStoredKind::gray16:
      std::memcpy(out, s, std::size_t(w) * 2);
      return;
    case TTIFFStoredKind::rgb48:
      std::memcpy(out, s, std::size_t(w) * 6);
      return;
    case TTIFFStoredKind::indexed: {
      const int bits = o.bits;
      std::memset(out, 0, std::size_t(rowBytes));
      const TVlPixelFormat f = bm.PixelFormat();
      const int maxIndex = (1 << bits) - 1;
      std::int64_t bit = 0;
      for (std::int32_t x = 0; x < w; ++x, bit += bits) {
        int k;
        if (f == vl8g) {
          k = o.grayIndex[s[x]];
        } else if (f == vl8p && bits == 8) {
          k = s[x];
        } else {
          k = o.quantizer->MapColour(TVlRGB{s[3 * x], s[3 * x + 1], s[3 * x + 2]});
        }
        k = std::clamp(k, 0, maxIndex);
        if (bits == 8) {
          out[x] = std::uint8_t(k);
        } else {
          for (int j = bits - 1; j >= 0; --j) {
            if ((k >> j) & 1)
              out[bit >> 3] |= std::uint8_t(0x80 >> (bit & 7));
            ++bit;
          }
          bit -= bits;
        }
      }
      return;
    }
    case TTIFFStoredKind::rgb:
      if (o.alpha) {
        TVlBitmap* a = bm.AlphaChannel();
        const std::uint8_t* al = a->RowPointer(y);
        for (std::int32_t x = 0; x < w; ++x) {
          out[4 * x] = s[3 * x + 2];
          out[4 * x + 1] = s[3 * x + 1];
          out[4 * x + 2] = s[3 * x];
          out[4 * x + 3] = al[x];
        }
        return;
      }
      for (std::int32_t x = 0; x < w; ++x) {
        out[3 * x] = s[3 * x + 2];
        out[3 * x + 1] = s[3 * x + 1];
        out[3 * x + 2] = s[3 * x];
      }
      if (o.predictor)
        (void)ApplyHorizontalPredictor(out, w, 3, 8);
      return;
    case TTIFFStoredKind::cmyk:
      if (bm.PixelFormat() == vlCMYK) {
        for (std::int64_t i = 0; i < std::int64_t(w) * 4; ++i)
          out[i] = std::uint8_t(255 - s[i]);
      } else {
        for (std::int32_t x = 0; x < w; ++x) {
          int b = s[3 * x], g = s[3 * x + 1], r = s[3 * x + 2];
          int m = std::max({r, g, b});
          if (m == 0)
            m = 1;
          out[4 * x] = std::uint8_t(255 - r * 255 / m);
          out[4 * x + 1] = std::uint8_t(255 - g * 255 / m);
          out[4 * x + 2] = std::uint8_t(255 - b * 255 / m);
          out[4 * x + 3] = std::uint8_t(255 - std::max({r, g, b}));
        }
      }
      return;
    case TTIFFStoredKind::cieLab:
      for (std::int32_t x = 0; x < w; ++x)
        RGBToLab(s[3 * x + 2], s[3 * x + 1], s[3 * x], out + 3 * x);
      return;
  }
}

}  // namespace

TVlStatus WriteTIFFStrips(TVlStream& stream, TVlBitmap& bm, TTIFFEntryList& entries, ProgressRecord& progress,
                          TTIFFWriteOptions& o) {
  std::atomic<bool> localAbort{false};
  std::atomic<bool>& abort = progress.abortFlag ? *progress.abortFlag : localAbort;
  const std::int32_t W = bm.Width(), H = bm.Height();
  const std::int64_t rowBytes =
      o.kind == TTIFFStoredKind::bilevel ? (std::int64_t(W) + 7) / 8 : (std::int64_t(W) * o.bits * o.samples + 7) / 8;
  VL_TRY(CheckBufferSize(rowBytes + 4));
  std::int64_t rps = (o.compression == 32946 || o.compression == 7) ? H : TIFFRowsPerStrip(H, bm.RowLength());
  std::vector<std::uint32_t> offsets, counts;
  std::vector<std::uint8_t> row(std::size_t(rowBytes) + 4);
  progress.rowCounter = 0;
  progress.percentPerRow = 100.0 / double(H);

  // Per-strip coder state.
  std::vector<std::uint8_t> reference;
  int carriedBits = 0;
  std::uint8_t carriedByte = 0;
  TLzwEncoderState* lzw = nullptr;
  std::unique_ptr<TVlDeflateStripWriter> zip;
  std::int64_t stripStart = 0;
  bool inStrip = false;

  auto fail = [&](TVlStatus s) {
    if (lzw)
      o.lzwEncoder(nullptr, 0, stream, lzw);
    return progress.Fail(s);
  };
  auto begin = [&]() -> TVlStatus {
    stripStart = stream.Position();
    if (stripStart > kMaxClassicOffset)
      return TVlStatus::LimitExceeded("TIFF file would pass the 4 GiB reach of its 32-bit offsets");
    reference.clear();
    carriedBits = 0;
    carriedByte = 0;
    if (o.compression == 32946) {
      zip = std::make_unique<TVlDeflateStripWriter>();
      VL_TRY(zip->Begin(stream, o.zipLevel));
    }
    inStrip = true;
    return TVlStatus::Ok();
  };
  auto end = [&]() -> TVlStatus {
    inStrip = false;
    switch (o.compression) {
      case 3:
        VL_TRY(WriteT4Row(nullptr, W, stream, o.fillOrder, abort, o.twoDimensional, reference, carriedBits, carriedByte));
        break;
      case 4:
        VL_TRY(WriteT6Row(nullptr, W, stream, o.fillOrder, abort, reference, carriedBits, carriedByte));
        break;
      case 5: {
        bool ok = o.lzwEncoder(nullptr, 0, stream, lzw);
        lzw = nullptr;
        if (!ok)
          return TVlStatus::IoError("short write");
        break;
      }
      case 32946:
        VL_TRY(zip->Finish());
        zip.reset();
        break;
      default: break;
    }
    const std::int64_t endPos = stream.Position();
    if (endPos > kMaxClassicOffset)
      return TVlStatus::LimitExceeded("TIFF file would pass the 4 GiB reach of its 32-bit offsets");
    offsets.push_back(std::uint32_t(stripStart));
    counts.push_back(std::uint32_t(endPos - stripStart));
    return TVlStatus::Ok();
  };

  for (std::int32_t y = 0; y < H; ++y) {
    if (progress.Aborted())
      return fail(progress.failure.ok() ? TVlStatus::Aborted() : progress.failure);
    if (!inStrip) {
      TVlStatus s = begin();
      if (!s.ok())
        return fail(s);
    }
    TVlStatus s = TVlStatus::Ok();
    if (o.compression == 1 && o.kind == TTIFFStoredKind::bilevel) {
      // Stored as they are held: straight from the bitmap row.
      if (!stream.WriteAll(bm.RowPointer(y), rowBytes))
        s = TVlStatus::IoError("short write");
      if (!s.ok())
        return fail(s);
      progress.ReportRow(++progress.rowCounter);
      if ((y + 1) % rps == 0 || y + 1 == H) {
        s = end();
        if (!s.ok())
          return fail(s);
      }
      continue;
    }
    PrepareRow(bm, y, o, row.data(), rowBytes);
    switch (o.compression) {
      case 1:
        if (!stream.WriteAll(row.data(), rowBytes))
          s = TVlStatus::IoError("short write");
        break;
      case 2: s = WriteMHRow(row.data(), W, stream, o.fillOrder, abort); break;
      case 3:
        s = WriteT4Row(row.data(), W, stream, o.fillOrder, abort, o.twoDimensional, reference, carriedBits, carriedByte);
        break;
      case 4: s = WriteT6Row(row.data(), W, stream, o.fillOrder, abort, reference, carriedBits, carriedByte); break;
      case 5:
        if (!o.lzwEncoder(row.data(), std::int32_t(rowBytes), stream, lzw))
          s = TVlStatus::IoError("short write");
        break;
      case 32773: s = PackBitsEncodeRow(row.data(), std::int32_t(rowBytes), stream); break;
      case 32946: s = zip->WriteRow(row.data(), std::int32_t(rowBytes)); break;
      default: s = TVlStatus::Unsupported("compression not written by this writer"); break;
    }
    if (!s.ok())
      return fail(s);
    progress.ReportRow(++progress.rowCounter);
    if ((y + 1) % rps == 0 || y + 1 == H) {
      s = end();
      if (!s.ok())
        return fail(s);
    }
  }
  AddLongEntry(entries, tt::RowsPerStrip, std::uint32_t(std::min<std::int64_t>(rps, 0xFFFFFFFF)));
  if (offsets.size() == 1) {
    AddLongEntry(entries, tt::StripOffsets, offsets[0]);
    AddLongEntry(entries, tt::StripByteCounts, counts[0]);
  } else {
    AddLongArrayEntry(entries, stream, tt::StripOffsets, abort, std::int32_t(offsets.size()), offsets.data());
    AddLongArrayEntry(entries, stream, tt::StripByteCounts, abort, std::int32_t(counts.size()), counts.data());
  }
  return TVlStatus::Ok();
}

// ---------------------------------------------------------------------------------------------
// EXIF.

void WriteExifTags(TTIFFEntryList& L, TVlStream& s, const TIOParamsVals& p, std::atomic<bool>& abort) {
  AddStringEntry(L, s, tt::ImageDescription, abort, p.exifImageDescription);
  if (std::int64_t(p.exifXResolution) > 0)
    AddRationalEntry(L, s, tt::XResolution, abort, 1, ClampU32(p.exifXResolution));
  if (std::int64_t(p.exifYResolution) > 0)
    AddRationalEntry(L, s, tt::YResolution, abort, 1, ClampU32(p.exifYResolution));
  AddShortEntry(L, tt::Orientation, std::uint16_t(std::clamp(p.exifOrientation, 0, 65535)));
  AddShortEntry(L, tt::ResolutionUnit, 2);
  AddStringEntry(L, s, tt::Software, abort, p.exifSoftware);
  AddWideStringEntry(L, s, tt::XPTitle, abort, p.exifXPTitle);
  AddWideStringEntry(L, s, tt::XPComment, abort, p.exifXPComment);
  AddWideStringEntry(L, s, tt::XPAuthor, abort, p.exifXPAuthor);
  AddWideStringEntry(L, s, tt::XPKeywords, abort, p.exifXPKeywords);
  AddWideStringEntry(L, s, tt::XPSubject, abort, p.exifXPSubject);
  AddStringEntry(L, s, tt::Artist, abort, p.exifArtist);
  AddStringEntry(L, s, tt::Make, abort, p.exifMake);
  AddStringEntry(L, s, tt::Model, abort, p.exifModel);
  AddStringEntry(L, s, tt::DateTime, abort, p.exifDateTime);
  // All-zero values are what a reader gives for absent tags: they stay absent.
  if (!AllZero(p.exifWhitePoint))
    AddURationals(L, s, tt::WhitePoint, abort, p.exifWhitePoint);
  if (p.exifYCbCrPositioning > 0)
    AddShortEntry(L, tt::YCbCrPositioning, std::uint16_t(std::min(p.exifYCbCrPositioning, 65535)));
  if (!AllZero(p.exifPrimaryChromaticities))
    AddURationals(L, s, tt::PrimaryChromaticities, abort, p.exifPrimaryChromaticities);
  if (!AllZero(p.exifYCbCrCoefficients))
    AddURationals(L, s, tt::YCbCrCoefficients, abort, p.exifYCbCrCoefficients);
  if (!AllZero(p.exifReferenceBlackWhite))
    AddURationals(L, s, tt::ReferenceBlackWhite, abort, p.exifReferenceBlackWhite);
  AddStringEntry(L, s, tt::Copyright, abort, p.exifCopyright);

  // The EXIF directory.
  TTIFFEntryList E;
  AddURational(E, s, tt::ExposureTime, abort, p.exifExposureTime);
  AddURational(E, s, tt::FNumber, abort, p.exifFNumber);
  AddShortEntry(E, tt::ExposureProgram, std::uint16_t(std::clamp(p.exifExposureProgram, 0, 65535)));
  {
    std::uint16_t iso[2] = {std::uint16_t(std::clamp(p.exifISOSpeedRatings[0], 0, 65535)),
                            std::uint16_t(std::clamp(p.exifISOSpeedRatings[1], 0, 65535))};
    AddShortArrayEntry(E, s, tt::ISOSpeedRatings, abort, 1, iso);
  }
  AddVersion(E, s, tt::ExifVersion, abort, p.exifExifVersion);
  AddStringEntry(E, s, tt::DateTimeOriginal, abort, p.exifDateTimeOriginal);
  AddStringEntry(E, s, tt::DateTimeDigitized, abort, p.exifDateTimeDigitized);
  AddURational(E, s, tt::CompressedBitsPerPixel, abort, p.exifCompressedBitsPerPixel);
  AddSRational(E, s, tt::ShutterSpeedValue, abort, p.exifShutterSpeedValue);
  AddURational(E, s, tt::ApertureValue, abort, p.exifApertureValue);
  AddSRational(E, s, tt::BrightnessValue, abort, p.exifBrightnessValue);
  AddSRational(E, s, tt::ExposureBiasValue, abort, p.exifExposureBiasValue);
  AddURational(E, s, tt::MaxApertureValue, abort, p.exifMaxApertureValue);
  AddURational(E, s, tt::SubjectDistance, abort, p.exifSubjectDistance);
  AddShortEntry(E, tt::MeteringMode, std::uint16_t(std::clamp(p.exifMeteringMode, 0, 65535)));
  AddShortEntry(E, tt::LightSource, std::uint16_t(std::clamp(p.exifLightSource, 0, 65535)));
  AddShortEntry(E, tt::Flash, std::uint16_t(std::clamp(p.exifFlash, 0, 65535)));
  AddURational(E, s, tt::FocalLength, abort, p.exifFocalLength);
  if (!p.exifMakerNote.empty())
    AddMakerNoteEntry(E, s, tt::MakerNote, 1024, abort, TVlTagsHandler(p.exifMakerNote));
  if (!p.exifUserComment.empty() || !p.exifUserCommentCode.empty()) {
    std::string uc = p.exifUserCommentCode;
    uc.resize(8, '\0');
    uc += p.exifUserComment;
    AddDataEntry(E, s, tt::UserComment, 7, std::uint32_t(uc.size()), uc.data(), abort);
  }
  AddStringEntry(E, s, tt::SubsecTime, abort, p.exifSubsecTime);
  AddStringEntry(E, s, tt::SubsecTimeOriginal, abort, p.exifSubsecTimeOriginal);
  AddStringEntry(E, s, tt::SubsecTimeDigitized, abort, p.exifSubsecTimeDigitized);
  AddVersion(E, s, tt::FlashpixVersion, abort, p.exifFlashPixVersion);
  AddShortEntry(E, tt::ColorSpace, std::uint16_t(std::clamp(p.exifColorSpace, 0, 65535)));
  AddLongEntry(E, tt::PixelXDimension, std::uint32_t(std::max(p.exifPixelXDimension, 0)));
  AddLongEntry(E, tt::PixelYDimension, std::uint32_t(std::max(p.exifPixelYDimension, 0)));
  AddStringEntry(E, s, tt::RelatedSoundFile, abort, p.exifRelatedSoundFile);
  AddURational(E, s, tt::FocalPlaneXResolution, abort, p.exifFocalPlaneXResolution);
  AddURational(E, s, tt::FocalPlaneYResolution, abort, p.exifFocalPlaneYResolution);
  AddShortEntry(E, tt::FocalPlaneResolutionUnit, std::uint16_t(std::clamp(p.exifFocalPlaneResolutionUnit, 0, 65535)));
  AddURational(E, s, tt::ExposureIndex, abort, p.exifExposureIndex);
  AddShortEntry(E, tt::SensingMethod, std::uint16_t(std::clamp(p.exifSensingMethod, 0, 65535)));
  {
    std::uint8_t b = std::uint8_t(std::clamp(p.exifFileSource, 0, 255));
    AddDataEntry(E, s, tt::FileSource, 7, 1, &b, abort);
    b = std::uint8_t(std::clamp(p.exifSceneType, 0, 255));
    AddDataEntry(E, s, tt::SceneType, 7, 1, &b, abort);
  }
  AddShortIf(E, tt::ExposureMode, p.exifExposureMode);
  AddShortIf(E, tt::WhiteBalance, p.exifWhiteBalance);
  if (p.exifDigitalZoomRatio != -1.0)
    AddURational(E, s, tt::DigitalZoomRatio, abort, p.exifDigitalZoomRatio);
  AddShortIf(E, tt::FocalLengthIn35mmFilm, p.exifFocalLengthIn35mmFilm);
  AddShortIf(E, tt::SceneCaptureType, p.exifSceneCaptureType);
  AddShortIf(E, tt::GainControl, p.exifGainControl);
  AddShortIf(E, tt::Contrast, p.exifContrast);
  AddShortIf(E, tt::Saturation, p.exifSaturation);
  AddShortIf(E, tt::Sharpness, p.exifSharpness);
  AddShortIf(E, tt::SubjectDistanceRange, p.exifSubjectDistanceRange);
  AddStringEntry(E, s, tt::ImageUniqueID, abort, p.exifImageUniqueID);
  AddLongEntry(L, tt::ExifIFD, WriteSubDirectory(s, abort, E));

  if (p.gpsVersionID.empty())
    return;
  TTIFFEntryList G;
  {
    std::uint8_t v[4] = {0, 0, 0, 0};
    std::size_t i = 0;
    int k = 0;
    while (k < 4 && i < p.gpsVersionID.size()) {
      int n = 0;
      while (i < p.gpsVersionID.size() && p.gpsVersionID[i] >= '0' && p.gpsVersionID[i] <= '9')
        n = std::min(n * 10 + (p.gpsVersionID[i++] - '0'), 255);
      v[k++] = std::uint8_t(n);
      while (i < p.gpsVersionID.size() && (p.gpsVersionID[i] < '0' || p.gpsVersionID[i] > '9'))
        ++i;
    }
    AddDataEntry(G, s, tt::GPSVersionID, 1, 4, v, abort);
  }
  AddAscii(G, s, tt::GPSLatitudeRef, abort, p.gpsLatitudeRef);
  AddURationals(G, s, tt::GPSLatitude, abort, p.gpsLatitude);
  AddAscii(G, s, tt::GPSLongitudeRef, abort, p.gpsLongitudeRef);
  AddURationals(G, s, tt::GPSLongitude, abort, p.gpsLongitude);
  if (!p.gpsAltitudeRef.empty())
    AddByteEntry(G, tt::GPSAltitudeRef, std::uint8_t(std::clamp(std::atoi(p.gpsAltitudeRef.c_str()), 0, 255)));
  AddURational(G, s, tt::GPSAltitude, abort, p.gpsAltitude);
  AddURationals(G, s, tt::GPSTimeStamp, abort, p.gpsTimeStamp);
  AddAscii(G, s, tt::GPSSatellites, abort, p.gpsSatellites);
  AddAscii(G, s, tt::GPSStatus, abort, p.gpsStatus);
  AddAscii(G, s, tt::GPSMeasureMode, abort, p.gpsMeasureMode);
  AddURational(G, s, tt::GPSDOP, abort, p.gpsDOP);
  AddAscii(G, s, tt::GPSSpeedRef, abort, p.gpsSpeedRef);
  AddURational(G, s, tt::GPSSpeed, abort, p.gpsSpeed);
  AddAscii(G, s, tt::GPSTrackRef, abort, p.gpsTrackRef);
  AddURational(G, s, tt::GPSTrack, abort, p.gpsTrack);
  AddAscii(G, s, tt::GPSImgDirectionRef, abort, p.gpsImgDirectionRef);
  AddURational(G, s, tt::GPSImgDirection, abort, p.gpsImgDirection);
  AddAscii(G, s, tt::GPSMapDatum, abort, p.gpsMapDatum);
  AddAscii(G, s, tt::GPSDestLatitudeRef, abort, p.gpsDestLatitudeRef);
  AddURationals(G, s, tt::GPSDestLatitude, abort, p.gpsDestLatitude);
  AddAscii(G, s, tt::GPSDestLongitudeRef, abort, p.gpsDestLongitudeRef);
  AddURationals(G, s, tt::GPSDestLongitude, abort, p.gpsDestLongitude);
  AddAscii(G, s, tt::GPSDestBearingRef, abort, p.gpsDestBearingRef);
  AddURational(G, s, tt::GPSDestBearing, abort, p.gpsDestBearing);
  AddAscii(G, s, tt::GPSDestDistanceRef, abort, p.gpsDestDistanceRef);
  AddURational(G, s, tt::GPSDestDistance, abort, p.gpsDestDistance);
  AddAscii(G, s, tt::GPSDateStamp, abort, p.gpsDateStamp);
  AddLongEntry(L, tt::GPSIFD, WriteSubDirectory(s, abort, G));
}

// ---------------------------------------------------------------------------------------------

std::int32_t WriteTIFF(TVlStream& real, bool insertMode, TVlBitmap* bitmap, ProgressRecord& progress,
                       TIOParamsVals& params) {
  std::atomic<bool> localAbort{false};
  std::atomic<bool>& abort = progress.abortFlag ? *progress.abortFlag : localAbort;
  const std::int64_t base = real.Position();
  TOffsetStream s(real, base);
  auto failed = [&](TVlStatus st, std::int32_t result) {
    (void)progress.Fail(st);
    return result;
  };

  // Where the new directory is linked in.
  std::int64_t linkPosition = 4;  // relative to the header
  std::uint32_t nextOffset = 0;
  std::int32_t pages = 1;
  if (insertMode) {
    std::uint8_t h[8];
    if (!s.Seek(0) || s.Read(h, 8) != 8 || h[0] != 'I' || h[1] != 'I')
      return failed(TVlStatus::BadData("insert mode needs a little-endian TIFF file"), 0);
    TTIFFHeader header;
    TVlStatus st = ReadTIFFHeader(real, base, header);
    if (!st.ok())
      return failed(st, 0);
    TTIFFChainWalker walk(real, base, true, header.firstOffset);
    const std::int32_t index = params.tiffImageIndex;
    bool found = false;
    while (walk.Next()) {
      if (!found && walk.Step().index == index) {
        linkPosition = walk.Step().linkPosition - base;
        nextOffset = walk.Step().offset;
        found = true;
      }
    }
    if (!found) {
      linkPosition = walk.EndLinkPosition() - base;
      nextOffset = 0;
    }
    pages = walk.Count() + 1;
    s.Seek(s.Size());
  } else {
    const std::uint8_t placeholder[8] = {'I', 'I', 42, 0, 0, 0, 0, 0};
    if (!WriteChecked(s, abort, placeholder, 8))
      return failed(TVlStatus::IoError("short write"), 1);
  }

  TTIFFEntryList L;
  if (params.hasExif) {
    WriteExifTags(L, s, params, abort);
  } else {
    AddStringEntry(L, s, tt::ImageDescription, abort, params.tiffImageDescription);
    AddRationalEntry(L, s, tt::XResolution, abort, 1, std::uint32_t(std::max(params.dpiX, 0)));
    AddRationalEntry(L, s, tt::YResolution, abort, 1, std::uint32_t(std::max(params.dpiY, 0)));
    AddShortEntry(L, tt::ResolutionUnit, 2);
  }

  TTIFFPagePlan plan;
  if (bitmap) {
    TVlStatus st = PlanTIFFPage(*bitmap, params, plan);
    if (!st.ok())
      return failed(st, insertMode ? 0 : 1);
    TTIFFWriteOptions& o = plan.options;
    o.progress = &progress;
    TVlBitmap& w = *plan.work;
    AddLongEntry(L, tt::ImageWidth, std::uint32_t(w.Width()));
    AddLongEntry(L, tt::ImageLength, std::uint32_t(w.Height()));
    AddShortArrayEntry(L, s, tt::BitsPerSample, abort, std::int32_t(plan.bitsPerSample.size()) - 1,
                       plan.bitsPerSample.data());
    AddShortEntry(L, tt::Compression, o.compression);
    AddShortEntry(L, tt::Photometric, plan.photometricValue);
    AddStringEntry(L, s, tt::DocumentName, abort, params.tiffDocumentName);
    if (o.ccitt) {
      AddShortEntry(L, tt::FillOrder, std::uint16_t(o.fillOrder));
      AddShortEntry(L, tt::PlanarConfiguration, 1);
      AddShortEntry(L, tt::CleanFaxData, 0);
    }
    if (o.compression == 6 || o.compression == 7) {
      TTIFFJpegWritten jw;
      st = o.compression == 7 ? WriteTIFFJpegStrip(s, w, params, progress, jw)
                              : WriteTIFFOldStyleJpeg(s, w, params, progress, jw);
      if (st.ok() && s.Position() > kMaxClassicOffset)
        st = TVlStatus::LimitExceeded("TIFF file would pass the 4 GiB reach of its 32-bit offsets");
      if (st.ok()) {
        AddLongEntry(L, tt::RowsPerStrip, std::uint32_t(w.Height()));
        AddLongEntry(L, tt::StripOffsets, std::uint32_t(jw.stripOffset));
        AddLongEntry(L, tt::StripByteCounts, std::uint32_t(jw.stripByteCount));
        if (o.compression == 6) {
          AddShortEntry(L, tt::JPEGProc, 1);
          AddLongEntry(L, tt::JPEGInterchangeFormat, std::uint32_t(jw.interchangeFormat));
          AddLongEntry(L, tt::JPEGInterchangeFormatLength, std::uint32_t(jw.interchangeFormatLength));
          const std::uint16_t sub[2] = {2, 2};
          AddShortArrayEntry(L, s, tt::YCbCrSubSampling, abort, 1, sub);
        }
      }
    } else {
      st = WriteTIFFStrips(s, w, L, progress, o);
    }
    if (!st.ok() || abort)
      return failed(st.ok() ? TVlStatus::IoError("short write") : st, insertMode ? 0 : 1);
    AddShortEntry(L, tt::SamplesPerPixel, std::uint16_t(o.samples));
    if (o.alpha)
      AddShortEntry(L, tt::ExtraSamples, 2);  // unassociated: the alpha plane is not premultiplied
    if (o.predictor)
      AddShortEntry(L, tt::Predictor, 2);
    if (o.compression == 3)
      AddLongEntry(L, tt::T4Options, o.twoDimensional ? 1 : 0);
    if (o.compression == 4)
      AddLongEntry(L, tt::T6Options, 0);
    if (o.photometric == TTIFFPhotometricChoice::palette) {
      const std::size_t n = o.palette.size();
      std::vector<std::uint16_t> cm(3 * n);
      for (std::size_t i = 0; i < n; ++i) {
        cm[i] = std::uint16_t(o.palette[i].r * 257);
        cm[n + i] = std::uint16_t(o.palette[i].g * 257);
        cm[2 * n + i] = std::uint16_t(o.palette[i].b * 257);
      }
      AddShortArrayEntry(L, s, tt::ColorMap, abort, std::int32_t(cm.size()) - 1, cm.data());
    }
  }
  AddStringEntry(L, s, tt::PageName, abort, params.tiffPageName);
  if (params.tiffXPosition != 0)
    AddRationalEntry(L, s, tt::XPosition, abort, 10000, ClampU32(double(params.tiffXPosition) * 10000.0));
  if (params.tiffYPosition != 0)
    AddRationalEntry(L, s, tt::YPosition, abort, 10000, ClampU32(double(params.tiffYPosition) * 10000.0));
  AddLongEntry(L, tt::NewSubfileType, 0);
  if (params.tiffPageNumber >= 0 || params.tiffPageCount >= 0) {
    std::uint16_t pn[2] = {std::uint16_t(std::clamp(params.tiffPageNumber, 0, 65535)),
                           std::uint16_t(std::clamp(params.tiffPageCount, 0, 65535))};
    AddShortArrayEntry(L, s, tt::PageNumber, abort, 1, pn);
  }
  if (!params.iptcInfo.records.empty()) {
    std::vector<std::uint8_t> iptc = BuildIPTCBlock(params.iptcInfo);
    AddDataEntry(L, s, tt::IPTC, 4, std::uint32_t(iptc.size() / 4), iptc.data(), abort);
  }
  if (!params.xmpPacket.empty())
    AddDataEntry(L, s, tt::XMLPacket, 1, std::uint32_t(params.xmpPacket.size()), params.xmpPacket.data(), abort);
  if (params.HasImagingAnnotations() && !params.imagingAnnotations().data.empty()) {
    const std::vector<std::uint8_t>& a = params.imagingAnnotations().data;
    AddDataEntry(L, s, tt::ImagingAnnotations, 1, std::uint32_t(a.size()), a.data(), abort);
  }
  if (params.HasInputProfile() && !params.inputProfile().data.empty()) {
    const std::vector<std::uint8_t>& icc = params.inputProfile().data;
    AddDataEntry(L, s, tt::ICCProfile, 7, std::uint32_t(icc.size()), icc.data(), abort);
  }
  if (abort)
    return failed(progress.failure.ok() ? TVlStatus::IoError("short write") : progress.failure, insertMode ? 0 : 1);

  // The directory, then the link to it.
  const std::int64_t dir = AlignToWord(s, abort);
  if (dir + 2 + 12 * std::int64_t(L.size()) + 4 > kMaxClassicOffset)
    return failed(TVlStatus::LimitExceeded("TIFF file would pass the 4 GiB reach of its 32-bit offsets"),
                  insertMode ? 0 : 1);
  WriteDirectory(s, abort, L, nextOffset);
  const std::int64_t endPos = s.Position();
  std::uint8_t link[4];
  Put32(link, std::uint32_t(dir));
  if (!s.Seek(linkPosition) || !WriteChecked(s, abort, link, 4) || !s.Seek(endPos) || abort)
    return failed(TVlStatus::IoError("short write"), insertMode ? 0 : 1);
  return pages;
}
