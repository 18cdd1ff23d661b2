// Strip and tile decoding of TIFF pages (see tiff_strips.h for the method).
#include "tiff/tiff_strips.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "imaging/bitops.h"
#include "imaging/limits.h"
#include "imaging/params.h"
#include "imaging/stream.h"
#include "tiff/ccitt.h"
#include "tiff/deflate.h"
#include "tiff/lzw.h"
#include "tiff/packbits.h"
#include "tiff/predictor.h"
#include "tiff/tiff_jpeg.h"

namespace {

// ---------------------------------------------------------------------------------------------
// Layout of a page: what the samples mean and how they reach the bitmap.

enum class TKind : std::uint8_t { bilevel, gray, palette, rgb, rgb555, cmyk, lab, ycbcr, jpeg };

bool IsCCITT(int compression) { return compression >= 2 && compression <= 4; }
bool IsJPEG(int compression) { return compression == 6 || compression == 7; }
bool IsDeflate(int compression) { return compression == 8 || compression == 32946; }

const char* CompressionReason(int c) {
  switch (c) {
    case 32771: return "unsupported compression: CCITT RLE with word alignment (32771)";
    case 32809: return "unsupported compression: ThunderScan (32809)";
    case 32908: case 32909: return "unsupported compression: Pixar (32908/32909)";
    case 34676: return "unsupported compression: SGILog (34676)";
    case 34677: return "unsupported compression: SGILog24 (34677)";
    case 34661: return "unsupported compression: JBIG (34661)";
    case 34712: return "unsupported compression: JPEG 2000 (34712)";
    case 34887: return "unsupported compression: LERC (34887)";
    case 34925: return "unsupported compression: LZMA (34925)";
    case 50000: return "unsupported compression: ZSTD (50000)";
    case 50001: return "unsupported compression: WebP (50001)";
    case 50002: return "unsupported compression: JPEG XL (50002)";
    case 32766: return "unsupported compression: NeXT 2-bit RLE (32766)";
    case 32767: case 34892: return "unsupported compression: lossy JPEG variant";
    default: return "unsupported compression";
  }
}

int ColourSamples(int photometric) {
  switch (photometric) {
    case 2: case 6: case 8: return 3;
    case 5: return 4;
    default: return 1;
  }
}

struct TLayout {
  TKind kind = TKind::gray;
  int spp = 1, bits = 8;
  int compression = 1;
  bool planar = false;
  int planes = 1;          // blocks per strip or tile
  int planeSamples = 1;    // samples in one plane row (spp contiguous, 1 planar)
  int hsub = 1, vsub = 1;  // YCbCr subsampling, 1 elsewhere
  int alphaIndex = -1;     // sample holding alpha, -1 none
  bool invert = false;     // bilevel rows are inverted
  bool unpack = false;     // samples of < 8 bits are unpacked to one byte each
  bool swap16 = false;     // 16-bit samples to host order
  bool predictor = false;  // horizontal differencing to undo
  int grayShift = 8;       // 16-bit gray into 8 bits
  TVlPixelFormat target = vl24RGB;
  std::uint8_t map[256] = {};  // gray values (bits <= 8) to 8-bit output
  std::uint8_t scale[256] = {};  // other samples of < 8 bits to 8 bits (alpha)
};

// A level of `bits` bits scaled to 0..255, rounded (exact for 1, 2, 4 and 8 bits).
int ScaleLevel(int v, int bits) {
  int max = (1 << bits) - 1;
  return (v * 255 + max / 2) / max;
}

TVlStatus BuildLayout(const TTIFFVars& v, TLayout& L) {
  L = TLayout{};
  L.spp = v.samplesPerPixel;
  L.bits = v.bitsPerSample;
  L.compression = v.compression;
  const int ph = v.photometric;
  const int c = v.compression;
  L.planar = v.planarConfig == 2 && v.samplesPerPixel > 1;
  L.planes = L.planar ? L.spp : 1;
  L.planeSamples = L.planar ? 1 : L.spp;

  if (L.spp < 1 || L.spp > 64)
    return TVlStatus::BadData("samples per pixel outside 1..64");
  if (L.bits < 1 || L.bits > 64)
    return TVlStatus::BadData("bits per sample outside 1..64");
  if (v.planarConfig != 1 && v.planarConfig != 2)
    return TVlStatus::BadData("planar configuration other than 1 or 2");

  switch (c) {
    case 1: case 2: case 3: case 4: case 5: case 6: case 7: case 8: case 32773: case 32946: break;
    default: return TVlStatus::Unsupported(CompressionReason(c));
  }
  if (v.sampleFormat == 3)
    return TVlStatus::Unsupported("floating-point samples are not supported");
  if (v.sampleFormat == 5 || v.sampleFormat == 6)
    return TVlStatus::Unsupported("complex samples are not supported");

  if (IsCCITT(c) && (L.bits != 1 || L.spp != 1))
    return TVlStatus::BadData("CCITT compression on a page that is not 1 sample of 1 bit");

  if (IsJPEG(c)) {
    if (L.bits != 8)
      return TVlStatus::Unsupported("JPEG pages of other than 8 bits per sample");
    if (L.planar)
      return TVlStatus::Unsupported("planar JPEG pages");
    switch (ph) {
      case 0: case 1: case 2: case 5: case 6: break;
      default: return TVlStatus::Unsupported("JPEG page with an unsupported photometric interpretation");
    }
    if (ph == 5 && L.spp < 4)
      return TVlStatus::BadData("separated JPEG page with fewer than 4 samples");
    L.kind = TKind::jpeg;
    L.target = vl24RGB;
    if (v.nativePixelFormat && (ph == 0 || ph == 1) && L.spp == 1)
      L.target = vl8g;
    else if (v.nativePixelFormat && ph == 5)
      L.target = vlCMYK;
    return TVlStatus::Ok();
  }

  const bool bitsOk8 = L.bits <= 8;
  switch (ph) {
    case 0:
    case 1:
      if (L.bits == 1) {
        if (L.spp != 1)
          return TVlStatus::Unsupported("bilevel pages with extra samples");
        L.kind = TKind::bilevel;
        // Fax decoders deliver 1 bits for white whatever the photometric; stored bits are
        // 1 = white for BlackIsZero only.
        L.invert = (ph == 0) != IsCCITT(c);
        break;
      }
      if (!bitsOk8 && L.bits != 16)
        return TVlStatus::Unsupported("gray samples of 9 to 15 or more than 16 bits are not supported");
      L.kind = TKind::gray;
      break;
    case 2:
      if (L.spp == 1 && L.bits == 16) {
        L.kind = TKind::rgb555;
        break;
      }
      if (L.spp < 3)
        return TVlStatus::BadData("RGB page with fewer than 3 samples");
      if (L.bits != 8 && L.bits != 16)
        return TVlStatus::Unsupported("RGB samples of other than 8 or 16 bits are not supported");
      L.kind = TKind::rgb;
      break;
    case 3:
      if (!bitsOk8)
        return TVlStatus::Unsupported("palette pages of more than 8 bits are not supported");
      if (v.colorMap.size() != (std::size_t(1) << L.bits))
        return TVlStatus::BadData("palette page without a ColorMap of 3 x 2^bits values");
      L.kind = TKind::palette;
      break;
    case 5:
      if (L.spp < 4)
        return TVlStatus::Unsupported("separated pages with fewer than 4 inks are not supported");
      if (L.bits != 8 && L.bits != 16)
        return TVlStatus::Unsupported("separated samples of other than 8 or 16 bits are not supported");
      L.kind = TKind::cmyk;
      break;
    case 6:
      if (L.spp != 3 || L.bits != 8)
        return TVlStatus::Unsupported("YCbCr pages other than 3 samples of 8 bits are not supported");
      if (L.planar)
        return TVlStatus::Unsupported("planar YCbCr pages are not supported");
      L.hsub = v.ycbcrSubsampling[0];
      L.vsub = v.ycbcrSubsampling[1];
      if ((L.hsub != 1 && L.hsub != 2 && L.hsub != 4) || (L.vsub != 1 && L.vsub != 2 && L.vsub != 4) ||
          L.vsub > L.hsub)
        return TVlStatus::BadData("YCbCr subsampling outside 1, 2, 4 with vertical <= horizontal");
      L.kind = TKind::ycbcr;
      break;
    case 8:
      if (L.spp < 3 || L.bits != 8)
        return TVlStatus::Unsupported("CIE L*a*b* pages other than 8-bit samples are not supported");
      L.kind = TKind::lab;
      break;
    case 4: return TVlStatus::Unsupported("transparency mask pages are not supported");
    case 9: case 10: return TVlStatus::Unsupported("ICC and ITU L*a*b* pages are not supported");
    case 32803: return TVlStatus::Unsupported("colour filter array (raw) pages are not supported");
    case 32844: case 32845: return TVlStatus::Unsupported("SGI LogL and LogLuv pages are not supported");
    case 34892: return TVlStatus::Unsupported("linear raw pages are not supported");
    default: return TVlStatus::Unsupported("unknown photometric interpretation");
  }

  if (L.kind == TKind::ycbcr && (L.hsub > 1 || L.vsub > 1) && v.predictor == 2 &&
      (c == 5 || IsDeflate(c)))
    return TVlStatus::Unsupported("horizontal predictor on subsampled YCbCr data");
  if (c == 5 || IsDeflate(c)) {
    if (v.predictor == 2) {
      if (L.bits != 8 && L.bits != 16)
        return TVlStatus::Unsupported("horizontal predictor with samples of other than 8 or 16 bits");
      L.predictor = true;
    } else if (v.predictor == 3) {
      return TVlStatus::Unsupported("floating-point predictor");
    } else if (v.predictor != 1) {
      return TVlStatus::BadData("unknown predictor");
    }
  }

  L.unpack = L.bits < 8 && L.kind != TKind::bilevel;
  L.swap16 = L.bits == 16 && !v.littleEndian;
  if (L.kind == TKind::gray && L.bits == 16 && v.software.compare(0, 15, "Look@Molli v1.1") == 0)
    L.grayShift = 4;

  if (TIFFPageHasAlpha(v))
    L.alphaIndex = ColourSamples(ph);

  if (L.bits <= 8) {
    int max = (1 << L.bits) - 1;
    for (int i = 0; i <= max; ++i) {
      L.scale[i] = std::uint8_t(ScaleLevel(i, L.bits));
      L.map[i] = std::uint8_t(ScaleLevel(ph == 0 ? max - i : i, L.bits));
    }
  }

  // Target pixel format.
  const bool native = v.nativePixelFormat;
  L.target = vl24RGB;
  if (L.kind == TKind::bilevel)
    L.target = vl1g;
  else if (native && L.spp == 1 && L.bits == 8 && L.kind == TKind::palette)
    L.target = vl8p;
  else if (native && L.spp == 1 && L.bits == 8 && L.kind == TKind::gray)
    L.target = vl8g;
  else if (native && L.spp == 1 && L.bits == 16 && L.kind == TKind::gray)
    L.target = vl16g;
  else if (native && L.kind == TKind::cmyk && (L.bits == 8 || L.spp == 4))
    L.target = vlCMYK;
  else if (native && L.kind == TKind::rgb && L.spp == 3 && L.bits == 16)
    L.target = vlRGB48;
  return TVlStatus::Ok();
}

// ---------------------------------------------------------------------------------------------
// Colour conversions.

inline std::uint8_t Clamp255(int v) { return std::uint8_t(v < 0 ? 0 : v > 255 ? 255 : v); }

inline void YCbCrToBGR(int y, int cb, int cr, std::uint8_t* d) {
  double r = y + 1.402 * (cr - 128);
  double g = y - 0.34414 * (cb - 128) - 0.71414 * (cr - 128);
  double b = y + 1.772 * (cb - 128);
  d[0] = Clamp255(int(b));
  d[1] = Clamp255(int(g));
  d[2] = Clamp255(int(r));
}

inline void CMYKToBGR(int c, int m, int y, int k, std::uint8_t* d) {
  // Inverted inks: c' = 255 - C ...
  int kk = 255 - k;
  d[0] = std::uint8_t((255 - y) * kk / 255);
  d[1] = std::uint8_t((255 - m) * kk / 255);
  d[2] = std::uint8_t((255 - c) * kk / 255);
}

double LabFInverse(double t) {
  double c = t * t * t;
  return c > 0.008856 ? c : (t - 16.0 / 116.0) / 7.787;
}

double SRGBCompand(double c) { return c <= 0.0031308 ? 12.92 * c : 1.055 * std::pow(c, 1.0 / 2.4) - 0.055; }

void LabToBGR(int L8, int a8, int b8, std::uint8_t* d) {
  double L = L8 * 100.0 / 255.0;
  double a = static_cast<std::int8_t>(a8);
  double b = static_cast<std::int8_t>(b8);
  double fy = (L + 16.0) / 116.0;
  double fx = fy + a / 500.0;
  double fz = fy - b / 200.0;
  double X = LabFInverse(fx) * 0.95047;
  double Y = LabFInverse(fy);
  double Z = LabFInverse(fz) * 1.08883;
  double R = 3.2406 * X - 1.5372 * Y - 0.4986 * Z;
  double G = -0.9689 * X + 1.8758 * Y + 0.0415 * Z;
  double B = 0.0557 * X - 0.204 * Y + 1.057 * Z;
  auto out = [](double c) {
    double v = std::nearbyint(SRGBCompand(c < 0 ? 0 : c) * 255.0);
    return Clamp255(int(v > 300 ? 300 : v));
  };
  d[0] = out(B);
  d[1] = out(G);
  d[2] = out(R);
}

inline std::uint16_t U16(const std::uint8_t* p) { return std::uint16_t(p[0] | p[1] << 8); }

// ---------------------------------------------------------------------------------------------
// Sample helpers.

// Unpacks `count` samples of `bits` bits (most significant first) into one byte each.
void UnpackSamples(const std::uint8_t* src, std::uint8_t* dst, std::int64_t count, int bits) {
  if (bits == 4) {
    std::int64_t i = 0;
    for (; i + 1 < count; i += 2) {
      std::uint8_t b = *src++;
      dst[i] = b >> 4;
      dst[i + 1] = b & 15;
    }
    if (i < count)
      dst[i] = *src >> 4;
    return;
  }
  if (bits == 1) {
    for (std::int64_t i = 0; i < count; ++i)
      dst[i] = (src[i >> 3] >> (7 - (i & 7))) & 1;
    return;
  }
  std::uint32_t acc = 0;
  int have = 0;
  const std::uint32_t mask = (1u << bits) - 1;
  for (std::int64_t i = 0; i < count; ++i) {
    while (have < bits) {
      acc = (acc << 8) | *src++;
      have += 8;
    }
    have -= bits;
    dst[i] = std::uint8_t((acc >> have) & mask);
  }
}

// Copies n bits from src (from bit 0) into dst at bit dx, optionally inverted.
void PutBits(std::uint8_t* dst, std::int64_t dx, const std::uint8_t* src, std::int64_t n, bool invert) {
  if (n <= 0)
    return;
  if ((dx & 7) == 0) {
    std::uint8_t* d = dst + (dx >> 3);
    std::int64_t whole = n >> 3;
    if (invert) {
      for (std::int64_t i = 0; i < whole; ++i)
        d[i] = std::uint8_t(~src[i]);
    } else {
      std::memcpy(d, src, std::size_t(whole));
    }
    int rest = int(n & 7);
    if (rest) {
      std::uint8_t m = std::uint8_t(0xFF00 >> rest);
      std::uint8_t s = invert ? std::uint8_t(~src[whole]) : src[whole];
      d[whole] = std::uint8_t((d[whole] & ~m) | (s & m));
    }
    return;
  }
  for (std::int64_t i = 0; i < n; ++i) {
    bool b = VlGetBit(src, i);
    VlSetBit(dst, dx + i, invert ? !b : b);
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Public helpers.

bool TIFFPageHasAlpha(const TTIFFVars& v) {
  if (v.ignoreAlpha || IsJPEG(v.compression))
    return false;
  const int ph = v.photometric;
  if (ph != 0 && ph != 1 && ph != 2 && ph != 3 && ph != 5 && ph != 8)
    return false;
  if (v.samplesPerPixel <= ColourSamples(ph))
    return false;
  if (v.bitsPerSample == 1 && ph != 3)
    return false;
  if (v.extraSamples == 1 || v.extraSamples == 2)
    return true;
  if (ph == 2 && v.samplesPerPixel == 4)
    return true;
  return (ph == 0 || ph == 1) && v.samplesPerPixel == 2 && v.bitsPerSample == 8;
}

TVlStatus CheckTIFFLayout(const TTIFFVars& vars, TVlPixelFormat& target) {
  TLayout L;
  TVlStatus st = BuildLayout(vars, L);
  target = st.ok() ? L.target : vlNone;
  return st;
}

void ConvertRowToBGR(const std::uint8_t* s, TVlRowLayout layout, std::uint8_t* d, const TIOParamsVals*,
                     std::int32_t pixels) {
  switch (layout) {
    case TVlRowLayout::cmykInverted:
      for (std::int32_t i = 0; i < pixels; ++i, s += 4, d += 3) {
        d[0] = std::uint8_t(s[2] * s[3] / 255);
        d[1] = std::uint8_t(s[1] * s[3] / 255);
        d[2] = std::uint8_t(s[0] * s[3] / 255);
      }
      break;
    case TVlRowLayout::ycbcr:
      for (std::int32_t i = 0; i < pixels; ++i, s += 3, d += 3)
        YCbCrToBGR(s[0], s[1], s[2], d);
      break;
    case TVlRowLayout::cieLab:
      for (std::int32_t i = 0; i < pixels; ++i, s += 3, d += 3)
        LabToBGR(s[0], s[1], s[2], d);
      break;
    case TVlRowLayout::rgb48:
      for (std::int32_t i = 0; i < pixels; ++i, s += 6, d += 3) {
        d[0] = s[5];
        d[1] = s[3];
        d[2] = s[1];
      }
      break;
  }
}

TTIFFRowState::~TTIFFRowState() {
  if (lzw && lzwState)
    lzw(nullptr, 0, 0, lzwState);
}

TVlStatus DecodeRow(TTIFFRowState& st, std::uint8_t* row, std::int64_t rowLength, std::int32_t width,
                    std::int64_t rowsInBlock, const TTIFFVars& vars, bool& produced) {
  produced = false;
  const std::uint8_t* data = st.data;
  const std::size_t length = st.length;
  const int fo = vars.fillOrder == 2 ? 2 : 1;
  switch (vars.compression) {
    case 1:
      if (st.cursor + std::uint64_t(rowLength) > length)
        return TVlStatus::Ok();
      std::memcpy(row, data + st.cursor, std::size_t(rowLength));
      st.cursor += std::size_t(rowLength);
      break;
    case 2: {
      if (st.cursor >= length)
        return TVlStatus::Ok();
      std::size_t used = DecodeMHRowAligned(row, data + st.cursor, width, fo, length - st.cursor);
      st.cursor += used ? used : 1;
      break;
    }
    case 3:
      if (st.bitPosition >= std::int64_t(length) * 8)
        return TVlStatus::Ok();
      if (vars.t4Options & 1)
        st.bitPosition =
            Decode2DRow(row, data, length, true, fo, st.bitPosition, st.referenceRow.data(), width);
      else
        st.bitPosition = DecodeMHRow(row, data, length, fo, st.bitPosition, width);
      break;
    case 4:
      if (st.bitPosition >= std::int64_t(length) * 8)
        return TVlStatus::Ok();
      st.bitPosition = Decode2DRow(row, data, length, (vars.t4Options & 4) != 0, fo, st.bitPosition,
                                   st.referenceRow.data(), width);
      break;
    case 5: {
      if (!st.lzw)
        return TVlStatus::Unsupported("no LZW decoder");
      const std::uint8_t* p = st.lzw(data, length, std::int32_t(rowLength), st.lzwState);
      if (!p) {
        TVlStatus why = st.lzw == &TIFFLzwDecode ? LzwDecodeStatus(st.lzwState)
                                                  : TVlStatus::BadData("LZW decoder reported an error");
        if (why.code == TVlStatusCode::truncated)
          return TVlStatus::Ok();
        return why.ok() ? TVlStatus::BadData("LZW decoder reported an error") : why;
      }
      std::memcpy(row, p, std::size_t(rowLength));
      break;
    }
    case 8:
    case 32946: {
      if (!st.inflatedDone) {
        st.inflatedDone = true;
        auto expected = CheckedMul(rowLength, rowsInBlock);
        if (!expected)
          return TVlStatus::LimitExceeded("strip too large");
        st.deflateStatus = InflateStrip(data, length, std::size_t(*expected), st.inflated);
        if (st.deflateStatus.code == TVlStatusCode::limitExceeded)
          return st.deflateStatus;
      }
      if (st.cursor + std::uint64_t(rowLength) > st.inflated.size()) {
        if (st.deflateStatus.code == TVlStatusCode::badData)
          return st.deflateStatus;
        return TVlStatus::Ok();
      }
      std::memcpy(row, st.inflated.data() + st.cursor, std::size_t(rowLength));
      st.cursor += std::size_t(rowLength);
      break;
    }
    case 32773: {
      if (st.cursor >= length)
        return TVlStatus::Ok();
      TVlStatus s = PackBitsDecodeRow(data, length, st.cursor, row, std::int32_t(rowLength));
      if (!s.ok())
        return TVlStatus::Ok();  // the strip ended inside the row: keep the rows before it
      break;
    }
    default:
      return TVlStatus::Unsupported(CompressionReason(vars.compression));
  }
  produced = true;
  return TVlStatus::Ok();
}

// ---------------------------------------------------------------------------------------------
// The page decoder: the layout and the buffers reused from strip to strip.

namespace {

class TPageDecoder {
 public:
  TPageDecoder(TTIFFVars& vars, TVlBitmap& bitmap, ProgressRecord& progress)
      : v_(vars), bm_(bitmap), pr_(progress) {}

  TVlStatus Init() {
    VL_TRY(BuildLayout(v_, L_));
    if (bm_.PixelFormat() != L_.target && L_.kind != TKind::jpeg)
      return TVlStatus::BadData("bitmap format does not match the page");
    if (bm_.Width() != v_.imageWidth || bm_.Height() != v_.imageLength)
      return TVlStatus::BadData("bitmap size does not match the page");
    if (v_.alpha && (v_.alpha->Width() != v_.imageWidth || v_.alpha->Height() != v_.imageLength))
      return TVlStatus::BadData("alpha mask size does not match the page");
    return TVlStatus::Ok();
  }

  const TLayout& Layout() const { return L_; }

  // Rows written so far are recorded when TrackRows() was called; FillUntouchedRows() then
  // paints the others white (palette index 0), so a page whose strips end early or are missing
  // shows white there instead of leftover memory.
  void TrackRows() { done_.assign(std::size_t(v_.imageLength), 0); }
  // The page is a single strip or tile (the JPEG reader then reports progress itself).
  void SetSingleBlock(bool single) { singleBlock_ = single; }
  void FillUntouchedRows() {
    if (done_.empty())
      return;
    const int fill = bm_.PixelFormat() == vl8p ? 0 : 0xFF;
    for (std::int32_t y = 0; y < v_.imageLength; ++y)
      if (!done_[std::size_t(y)]) {
        std::uint8_t* d = bm_.RowPointer(y);
        if (d)
          std::memset(d, fill, std::size_t(bm_.RowLength()));
      }
    done_.clear();
  }

  TVlStatus Decode(std::int32_t firstRow, std::int32_t rows, std::int32_t width, const TTIFFBlock* blocks,
                   std::int32_t firstColumn);

 private:
  TVlStatus DecodeJPEGBlock(std::int32_t firstRow, std::int32_t rows, std::int32_t width, const TTIFFBlock& b,
                            std::int32_t firstColumn);
  void ConvertUnit(const std::uint8_t* s, std::int32_t y, std::int32_t x0, std::int32_t n);
  void ConvertYCbCrUnit(const std::uint8_t* s, std::int32_t y, std::int32_t x0, std::int32_t n,
                        std::int32_t width);
  void PutAlpha(std::int32_t y, std::int32_t x0, const std::uint8_t* s, std::int32_t n);

  TTIFFVars& v_;
  TVlBitmap& bm_;
  ProgressRecord& pr_;
  TLayout L_;
  std::vector<std::vector<std::uint8_t>> planeRows_, unpacked_;
  std::vector<std::uint8_t> interleaved_, bgr_;
  std::vector<std::uint8_t> done_;
  bool singleBlock_ = false;

  void MarkRow(std::int64_t y) {
    if (!done_.empty() && y >= 0 && y < std::int64_t(done_.size()))
      done_[std::size_t(y)] = 1;
  }
};

void TPageDecoder::PutAlpha(std::int32_t y, std::int32_t x0, const std::uint8_t* s, std::int32_t n) {
  if (L_.alphaIndex < 0 || !v_.alpha)
    return;
  std::uint8_t* a = v_.alpha->RowPointer(y) + x0;
  const int spp = L_.spp;
  const int ai = L_.alphaIndex;
  bool opaque = true;
  if (L_.bits == 16) {
    for (std::int32_t i = 0; i < n; ++i) {
      a[i] = s[(std::int64_t(i) * spp + ai) * 2 + 1];
      opaque &= a[i] == 255;
    }
  } else {
    for (std::int32_t i = 0; i < n; ++i) {
      a[i] = L_.bits == 8 ? s[std::int64_t(i) * spp + ai] : L_.scale[s[std::int64_t(i) * spp + ai]];
      opaque &= a[i] == 255;
    }
  }
  if (!opaque)
    v_.alpha->full = false;
}

// One row of samples (unpacked, host order, interleaved) of the strip or tile, pixels
// 0 .. n-1 of which land at columns x0 .. x0 + n - 1 of row y.
void TPageDecoder::ConvertUnit(const std::uint8_t* s, std::int32_t y, std::int32_t x0, std::int32_t n) {
  std::uint8_t* d = bm_.RowPointer(y);
  if (!d)
    return;
  const int spp = L_.spp;
  switch (L_.kind) {
    case TKind::bilevel:
      PutBits(d, x0, s, n, L_.invert);
      return;
    case TKind::gray:
      if (L_.bits == 16) {
        const bool invert = v_.photometric == 0;
        if (L_.target == vl16g) {
          std::uint8_t* o = d + std::int64_t(x0) * 2;
          for (std::int32_t i = 0; i < n; ++i) {
            std::uint16_t g = U16(s + std::int64_t(i) * spp * 2);
            if (invert)
              g = std::uint16_t(~g);
            o[2 * i] = std::uint8_t(g);
            o[2 * i + 1] = std::uint8_t(g >> 8);
          }
        } else {
          std::uint8_t* o = d + std::int64_t(x0) * 3;
          const int sh = L_.grayShift;
          for (std::int32_t i = 0; i < n; ++i, o += 3) {
            int g = U16(s + std::int64_t(i) * spp * 2);
            if (invert)
              g = 65535 - g;
            std::uint8_t b = Clamp255(g >> sh);
            o[0] = o[1] = o[2] = b;
          }
        }
      } else if (L_.target == vl8g) {
        std::uint8_t* o = d + x0;
        for (std::int32_t i = 0; i < n; ++i)
          o[i] = L_.map[s[std::int64_t(i) * spp]];
      } else {
        std::uint8_t* o = d + std::int64_t(x0) * 3;
        for (std::int32_t i = 0; i < n; ++i, o += 3)
          o[0] = o[1] = o[2] = L_.map[s[std::int64_t(i) * spp]];
      }
      break;
    case TKind::palette:
      if (L_.target == vl8p) {
        std::uint8_t* o = d + x0;
        for (std::int32_t i = 0; i < n; ++i)
          o[i] = s[std::int64_t(i) * spp];
      } else {
        std::uint8_t* o = d + std::int64_t(x0) * 3;
        const TVlRGB* cm = v_.colorMap.data();
        const std::size_t cmn = v_.colorMap.size();
        for (std::int32_t i = 0; i < n; ++i, o += 3) {
          std::size_t k = s[std::int64_t(i) * spp];
          TVlRGB c = k < cmn ? cm[k] : TVlRGB{};
          o[0] = c.b;
          o[1] = c.g;
          o[2] = c.r;
        }
      }
      break;
    case TKind::rgb:
      if (L_.bits == 8) {
        std::uint8_t* o = d + std::int64_t(x0) * 3;
        if (spp == 3) {
          for (std::int32_t i = 0; i < n; ++i, o += 3, s += 3) {
            o[0] = s[2];
            o[1] = s[1];
            o[2] = s[0];
          }
          return;
        }
        for (std::int32_t i = 0; i < n; ++i, o += 3) {
          const std::uint8_t* p = s + std::int64_t(i) * spp;
          o[0] = p[2];
          o[1] = p[1];
          o[2] = p[0];
        }
      } else if (L_.target == vlRGB48) {
        std::memcpy(d + std::int64_t(x0) * 6, s, std::size_t(n) * 6);
      } else {
        std::uint8_t* o = d + std::int64_t(x0) * 3;
        for (std::int32_t i = 0; i < n; ++i, o += 3) {
          const std::uint8_t* p = s + std::int64_t(i) * spp * 2;
          o[0] = p[5];
          o[1] = p[3];
          o[2] = p[1];
        }
      }
      break;
    case TKind::rgb555: {
      std::uint8_t* o = d + std::int64_t(x0) * 3;
      for (std::int32_t i = 0; i < n; ++i, o += 3) {
        int c = U16(s + 2 * std::int64_t(i));
        o[0] = std::uint8_t((c & 31) << 3);
        o[1] = std::uint8_t(((c >> 5) & 31) << 3);
        o[2] = std::uint8_t(((c >> 10) & 31) << 3);
      }
      break;
    }
    case TKind::cmyk: {
      const int step = L_.bits == 16 ? 2 : 1;
      const int hi = L_.bits == 16 ? 1 : 0;
      if (L_.target == vlCMYK) {
        std::uint8_t* o = d + std::int64_t(x0) * 4;
        for (std::int32_t i = 0; i < n; ++i, o += 4) {
          const std::uint8_t* p = s + std::int64_t(i) * spp * step + hi;
          o[0] = std::uint8_t(255 - p[0]);
          o[1] = std::uint8_t(255 - p[step]);
          o[2] = std::uint8_t(255 - p[2 * step]);
          o[3] = std::uint8_t(255 - p[3 * step]);
        }
      } else {
        std::uint8_t* o = d + std::int64_t(x0) * 3;
        for (std::int32_t i = 0; i < n; ++i, o += 3) {
          const std::uint8_t* p = s + std::int64_t(i) * spp * step + hi;
          CMYKToBGR(p[0], p[step], p[2 * step], p[3 * step], o);
        }
      }
      break;
    }
    case TKind::lab: {
      std::uint8_t* o = d + std::int64_t(x0) * 3;
      for (std::int32_t i = 0; i < n; ++i, o += 3) {
        const std::uint8_t* p = s + std::int64_t(i) * spp;
        LabToBGR(p[0], p[1], p[2], o);
      }
      break;
    }
    case TKind::ycbcr:
    case TKind::jpeg:
      return;
  }
  PutAlpha(y, x0, s, n);
}

// One row of YCbCr blocks (hsub x vsub pixels each: the Y values row by row, then Cb, Cr)
// covering rows y .. y + vsub - 1 and pixels 0 .. width-1 of the strip or tile.
void TPageDecoder::ConvertYCbCrUnit(const std::uint8_t* s, std::int32_t y, std::int32_t x0, std::int32_t n,
                                    std::int32_t width) {
  const int h = L_.hsub, vv = L_.vsub;
  const std::int64_t blocks = (width + h - 1) / h;
  const int blockBytes = h * vv + 2;
  bgr_.resize(std::size_t(width) * 3);
  for (int r = 0; r < vv; ++r) {
    std::int32_t yy = y + r;
    if (yy >= v_.imageLength)
      break;
    std::uint8_t* o = bgr_.data();
    for (std::int64_t b = 0; b < blocks; ++b) {
      const std::uint8_t* blk = s + b * blockBytes;
      int cb = blk[h * vv], cr = blk[h * vv + 1];
      for (int c = 0; c < h; ++c) {
        std::int64_t x = b * h + c;
        if (x >= width)
          break;
        YCbCrToBGR(blk[r * h + c], cb, cr, o + x * 3);
      }
    }
    std::uint8_t* d = bm_.RowPointer(yy);
    if (d)
      std::memcpy(d + std::int64_t(x0) * 3, bgr_.data(), std::size_t(n) * 3);
  }
}

TVlStatus TPageDecoder::Decode(std::int32_t firstRow, std::int32_t rows, std::int32_t width,
                               const TTIFFBlock* blocks, std::int32_t firstColumn) {
  const std::int32_t W = v_.imageWidth, H = v_.imageLength;
  if (rows < 1 || width < 1 || firstRow < 0 || firstColumn < 0 || firstRow >= H || firstColumn >= W)
    return TVlStatus::Ok();
  // A missing colour plane leaves the rows as they are; a missing extra plane (alpha or
  // unspecified) reads as all 255.
  bool missing[64] = {};
  for (int p = 0; p < L_.planes; ++p) {
    missing[p] = !blocks[p].data || blocks[p].length == 0;
    if (missing[p] && (!L_.planar || p < ColourSamples(v_.photometric) || p == 0))
      return TVlStatus::Ok();
  }

  if (L_.kind == TKind::jpeg)
    return DecodeJPEGBlock(firstRow, rows, width, blocks[0], firstColumn);

  const std::int32_t n = std::min<std::int64_t>(width, std::int64_t(W) - firstColumn);
  const int unitRows = L_.vsub;
  const std::int64_t units = (std::int64_t(rows) + unitRows - 1) / unitRows;

  // Bytes of one unit (row, or row of YCbCr blocks) of one plane.
  std::int64_t unitLength;
  if (L_.kind == TKind::ycbcr) {
    unitLength = (std::int64_t(width) + L_.hsub - 1) / L_.hsub * (L_.hsub * L_.vsub + 2);
  } else {
    auto bits = CheckedMul(std::int64_t(width) * L_.planeSamples, L_.bits);
    if (!bits)
      return TVlStatus::LimitExceeded("row too long");
    unitLength = (*bits + 7) / 8;
  }
  VL_TRY(CheckBufferSize(unitLength * 4));
  const std::int64_t samplesInPlaneRow = std::int64_t(width) * L_.planeSamples;
  const int bytesPerSample = L_.bits == 16 ? 2 : 1;

  planeRows_.resize(std::size_t(L_.planes));
  unpacked_.resize(std::size_t(L_.planes));
  std::vector<TTIFFRowState> states(std::size_t(L_.planes));
  const bool reverse = v_.fillOrder == 2 && !IsCCITT(L_.compression);
  for (int p = 0; p < L_.planes; ++p) {
    TTIFFRowState& st = states[std::size_t(p)];
    planeRows_[std::size_t(p)].resize(std::size_t(unitLength) + 8);
    if (L_.unpack)
      unpacked_[std::size_t(p)].resize(std::size_t(samplesInPlaneRow) + 8);
    if (missing[p])
      continue;
    if (reverse) {
      st.reversed.resize(blocks[p].length);
      for (std::size_t i = 0; i < blocks[p].length; ++i)
        st.reversed[i] = kVlReverseBits[blocks[p].data[i]];
      st.data = st.reversed.data();
    } else {
      st.data = blocks[p].data;
    }
    st.length = blocks[p].length;
    st.lzw = v_.lzwDecoder;
    if (IsCCITT(L_.compression))
      st.referenceRow.assign(std::size_t((std::int64_t(width) + 31) / 32 * 4), 0xFF);
  }
  if (L_.planar)
    interleaved_.resize(std::size_t(std::int64_t(width) * L_.spp * bytesPerSample) + 8);

  // Fax pages straight into the bitmap rows: the decoder paints whole rows (white where the
  // data end), and WhiteIsZero needs no inversion.
  if (L_.kind == TKind::bilevel && !L_.invert && IsCCITT(L_.compression) && firstColumn == 0 && width == W) {
    TTIFFRowState& st = states[0];
    for (std::int64_t u = 0; u < units; ++u) {
      const std::int64_t y = firstRow + u;
      if (y >= H)
        break;
      if (pr_.Aborted())
        return TVlStatus::Aborted();
      std::uint8_t* d = bm_.RowPointer(std::int32_t(y));
      bool produced = false;
      VL_TRY(DecodeRow(st, d, unitLength, width, units, v_, produced));
      if (!produced)
        return TVlStatus::Ok();
      MarkRow(y);
      pr_.ReportRow(++pr_.rowCounter);
    }
    return TVlStatus::Ok();
  }

  for (std::int64_t u = 0; u < units; ++u) {
    const std::int64_t y = firstRow + u * unitRows;
    if (y >= H)
      break;
    if (pr_.Aborted())
      return TVlStatus::Aborted();
    const std::uint8_t* planeData[64];
    for (int p = 0; p < L_.planes; ++p) {
      std::uint8_t* row = planeRows_[std::size_t(p)].data();
      if (missing[p]) {
        std::memset(row, 0xFF, planeRows_[std::size_t(p)].size());
        planeData[p] = row;
        if (L_.unpack) {
          std::memset(unpacked_[std::size_t(p)].data(), (1 << L_.bits) - 1, unpacked_[std::size_t(p)].size());
          planeData[p] = unpacked_[std::size_t(p)].data();
        }
        continue;
      }
      bool produced = false;
      TVlStatus st = DecodeRow(states[std::size_t(p)], row, unitLength, width, units, v_, produced);
      if (!st.ok())
        return st;
      if (!produced)
        return TVlStatus::Ok();  // the data ended: the rows decoded so far stay
      if (L_.swap16)
        SwapBytes16(row, std::size_t(samplesInPlaneRow));
      if (L_.predictor)
        (void)UndoHorizontalPredictor(row, width, L_.planeSamples, L_.bits);
      if (L_.unpack) {
        UnpackSamples(row, unpacked_[std::size_t(p)].data(), samplesInPlaneRow, L_.bits);
        planeData[p] = unpacked_[std::size_t(p)].data();
      } else {
        planeData[p] = row;
      }
    }
    const std::uint8_t* samples = planeData[0];
    if (L_.planar) {
      std::uint8_t* o = interleaved_.data();
      const int spp = L_.spp;
      if (bytesPerSample == 1) {
        for (int p = 0; p < spp; ++p) {
          const std::uint8_t* s = planeData[p];
          for (std::int32_t i = 0; i < width; ++i)
            o[std::int64_t(i) * spp + p] = s[i];
        }
      } else {
        for (int p = 0; p < spp; ++p) {
          const std::uint8_t* s = planeData[p];
          for (std::int32_t i = 0; i < width; ++i) {
            o[(std::int64_t(i) * spp + p) * 2] = s[2 * i];
            o[(std::int64_t(i) * spp + p) * 2 + 1] = s[2 * i + 1];
          }
        }
      }
      samples = o;
    }
    if (L_.kind == TKind::ycbcr)
      ConvertYCbCrUnit(samples, std::int32_t(y), firstColumn, n, width);
    else
      ConvertUnit(samples, std::int32_t(y), firstColumn, n);
    for (int r = 0; r < unitRows; ++r)
      MarkRow(y + r);
    pr_.ReportRow(pr_.rowCounter += unitRows);
  }
  return TVlStatus::Ok();
}

TVlStatus TPageDecoder::DecodeJPEGBlock(std::int32_t firstRow, std::int32_t rows, std::int32_t width,
                                        const TTIFFBlock& b, std::int32_t firstColumn) {
  TTIFFJpegStrip strip;
  strip.data = b.data;
  strip.size = b.length;
  strip.tables = v_.jpegTables.empty() ? nullptr : v_.jpegTables.data();
  strip.tablesSize = v_.jpegTables.size();
  strip.x = firstColumn;
  strip.y = firstRow;
  strip.width = width;
  strip.rows = rows;
  strip.rgbData = v_.photometric == 2;
  // A page of one strip or tile lets the JPEG reader report progress; otherwise one step per
  // strip or tile.
  ProgressRecord quiet;
  quiet.abortFlag = pr_.abortFlag;
  TVlStatus st = ReadTIFFJpegStrip(strip, bm_, singleBlock_ ? pr_ : quiet);
  if (!st.ok())
    return st;
  const std::int32_t needed = std::min<std::int32_t>(rows, v_.imageLength - firstRow);
  for (std::int32_t r = 0; r < needed; ++r)
    MarkRow(firstRow + r);
  if (!singleBlock_) {
    pr_.rowCounter += needed;
    pr_.ReportRow(pr_.rowCounter);
  }
  return TVlStatus::Ok();
}

// Reads one block of the stream into `buffer`: offsets past the end give an empty block;
// byte counts that are 0, missing or past the end become the bytes left; no block is read
// beyond what its rows can possibly need (`cap`).
TTIFFBlock ReadBlock(TTIFFVars& v, const std::vector<std::uint32_t>& offsets,
                     const std::vector<std::uint32_t>& counts, std::int64_t index, std::int64_t cap,
                     std::vector<std::uint8_t>& buffer) {
  TTIFFBlock b;
  if (index < 0 || index >= std::int64_t(offsets.size()))
    return b;
  const std::int64_t size = v.stream->Size();
  // Offset 0 would put the data on the header: the block is absent.
  if (offsets[std::size_t(index)] == 0)
    return b;
  const std::int64_t pos = v.base + offsets[std::size_t(index)];
  if (pos >= size || pos < 0)
    return b;
  std::int64_t left = size - pos;
  std::int64_t n = index < std::int64_t(counts.size()) ? counts[std::size_t(index)] : 0;
  if (n <= 0 || n > left)
    n = left;
  if (n > cap)
    n = cap;
  buffer.resize(std::size_t(n));
  if (!v.stream->Seek(pos))
    return b;
  std::int64_t got = v.stream->Read(buffer.data(), n);
  if (got <= 0)
    return b;
  b.data = buffer.data();
  b.length = std::size_t(got);
  return b;
}

// The most bytes a strip or tile of `rows` rows of `width` pixels can usefully hold: every
// codec's worst case stays below this (fax codes spend at most about 14 bits per pixel).
std::int64_t BlockCap(const TLayout& L, std::int64_t width, std::int64_t rows) {
  std::int64_t raw = (width * L.planeSamples * L.bits + 7) / 8 * rows;
  if (L.kind == TKind::ycbcr)
    raw = (width + L.hsub - 1) / L.hsub * (L.hsub * L.vsub + 2) * ((rows + L.vsub - 1) / L.vsub);
  std::int64_t cap;
  if (IsCCITT(L.compression))
    cap = width * rows * 2 + 65536;
  else if (L.compression == 1)
    cap = raw;
  else if (IsJPEG(L.compression))
    cap = raw * 8 + (std::int64_t(1) << 20);
  else
    cap = raw * 2 + 65536;
  return cap;
}

}  // namespace

TVlStatus DecodeRows(TTIFFVars& vars, TVlBitmap& bitmap, std::int32_t firstRow, ProgressRecord& progress,
                     std::int32_t rows, std::int32_t width, const TTIFFBlock* blocks, std::int32_t firstColumn) {
  TPageDecoder dec(vars, bitmap, progress);
  TVlStatus st = dec.Init();
  if (st.ok())
    st = dec.Decode(firstRow, rows, width, blocks, firstColumn);
  if (!st.ok() && st.code != TVlStatusCode::aborted)
    (void)progress.Fail(st);
  return st;
}

TVlStatus ReadTIFFStrips(TTIFFVars& v, TVlBitmap& bitmap, ProgressRecord& progress) {
  TPageDecoder dec(v, bitmap, progress);
  TVlStatus st = dec.Init();
  if (!st.ok())
    return progress.Fail(st);
  dec.TrackRows();
  struct TFillRest {
    TPageDecoder& d;
    ~TFillRest() { d.FillUntouchedRows(); }
  } fillRest{dec};
  const TLayout& L = dec.Layout();
  const std::int64_t H = v.imageLength;
  std::int64_t rps = v.rowsPerStrip < 1 || v.rowsPerStrip > H ? H : v.rowsPerStrip;
  std::int64_t perPlane = (H + rps - 1) / rps;
  // Rows per strip that disagree with the strip count: a single strip holds the whole page;
  // a page claiming one strip per plane but holding more has its rows spread evenly.
  const std::int64_t count = std::int64_t(v.stripOffsets.size());
  if (L.planes == 1 && count == 1 && perPlane > 1) {
    rps = H;
    perPlane = 1;
  } else if (perPlane == 1 && count > L.planes && count % L.planes == 0) {
    perPlane = std::min<std::int64_t>(count / L.planes, H);
    rps = (H + perPlane - 1) / perPlane;
    perPlane = (H + rps - 1) / rps;
  }
  dec.SetSingleBlock(perPlane == 1);
  std::vector<std::vector<std::uint8_t>> buffers(std::size_t(L.planes));
  std::vector<TTIFFBlock> blocks(std::size_t(L.planes));
  for (std::int64_t s = 0; s < perPlane; ++s) {
    if (progress.Aborted())
      return TVlStatus::Aborted();
    const std::int64_t y0 = s * rps;
    const std::int64_t rows = std::min(rps, H - y0);
    const std::int64_t cap = BlockCap(L, v.imageWidth, rows);
    bool any = false;
    for (int p = 0; p < L.planes; ++p) {
      blocks[std::size_t(p)] = ReadBlock(v, v.stripOffsets, v.stripByteCounts, p * perPlane + s, cap,
                                         buffers[std::size_t(p)]);
      any |= blocks[std::size_t(p)].data != nullptr;
    }
    if (!any)
      continue;
    st = dec.Decode(std::int32_t(y0), std::int32_t(rows), v.imageWidth, blocks.data(), 0);
    if (!st.ok()) {
      if (st.code != TVlStatusCode::aborted)
        (void)progress.Fail(st);
      return st;
    }
  }
  return TVlStatus::Ok();
}

TVlStatus ReadTIFFTiles(TTIFFVars& v, TVlBitmap& bitmap, ProgressRecord& progress,
                        const std::vector<std::uint32_t>& offsets, const std::vector<std::uint32_t>& counts) {
  TPageDecoder dec(v, bitmap, progress);
  TVlStatus st = dec.Init();
  if (!st.ok())
    return progress.Fail(st);
  const TLayout& L = dec.Layout();
  const std::int64_t W = v.imageWidth, H = v.imageLength;
  const std::int64_t tw = v.tileWidth, tl = v.tileLength;
  if (tw < 1 || tl < 1)
    return progress.Fail(TVlStatus::BadData("tile width or length below 1"));
  st = CheckImageSize(tw, tl, std::int64_t(L.spp) * L.bits);
  if (!st.ok())
    return progress.Fail(st.code == TVlStatusCode::limitExceeded ? TVlStatus::LimitExceeded("tile size above the ceiling")
                                                                : st);
  if (L.kind == TKind::ycbcr && (tw % L.hsub != 0 || tl % L.vsub != 0))
    return progress.Fail(TVlStatus::BadData("tile size not a multiple of the YCbCr subsampling"));
  const std::int64_t across = (W + tw - 1) / tw;
  const std::int64_t down = (H + tl - 1) / tl;
  const std::int64_t perPlane = across * down;
  progress.percentPerRow = 100.0 / double(H * across);
  dec.SetSingleBlock(across * down == 1);
  std::vector<std::vector<std::uint8_t>> buffers(std::size_t(L.planes));
  std::vector<TTIFFBlock> blocks(std::size_t(L.planes));
  for (std::int64_t ty = 0; ty < down; ++ty) {
    const std::int64_t y0 = ty * tl;
    const std::int64_t rows = std::min(tl, H - y0);
    const std::int64_t cap = BlockCap(L, tw, tl);
    for (std::int64_t tx = 0; tx < across; ++tx) {
      if (progress.Aborted())
        return TVlStatus::Aborted();
      bool any = false;
      for (int p = 0; p < L.planes; ++p) {
        blocks[std::size_t(p)] =
            ReadBlock(v, offsets, counts, p * perPlane + ty * across + tx, cap, buffers[std::size_t(p)]);
        any |= blocks[std::size_t(p)].data != nullptr;
      }
      if (!any)
        continue;
      // JPEG tiles hold whole tiles; every other codec needs only the rows inside the page.
      std::int32_t decodeRows = std::int32_t(L.kind == TKind::jpeg ? tl : rows);
      st = dec.Decode(std::int32_t(y0), decodeRows, std::int32_t(tw), blocks.data(), std::int32_t(tx * tw));
      if (!st.ok()) {
        if (st.code != TVlStatusCode::aborted)
          (void)progress.Fail(st);
        return st;
      }
    }
  }
  return TVlStatus::Ok();
}
