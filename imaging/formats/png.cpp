#include "imaging/formats/png.h"

#include <png.h>

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstring>
#include <vector>

#include "imaging/limits.h"
#include "imaging/formats/two_colour.h"
#include "imaging/quantizer.h"

namespace {

constexpr png_alloc_size_t kChunkMax = png_alloc_size_t(64) << 20;  // one ancillary chunk

// ---------------------------------------------------------------------- libpng plumbing

struct PngIO {
  TVlStream* stream = nullptr;
  bool shortIO = false;
  bool inEnd = false;  // reading the chunks after the image data
};

[[noreturn]] void OnPngError(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void OnPngWarning(png_structp, png_const_charp) {}

void PngRead(png_structp png, png_bytep data, size_t n) {
  auto* io = static_cast<PngIO*>(png_get_io_ptr(png));
  if (io->stream->Read(data, static_cast<std::int64_t>(n)) != static_cast<std::int64_t>(n)) {
    io->shortIO = true;
    png_error(png, "short read");
  }
}

void PngWrite(png_structp png, png_bytep data, size_t n) {
  auto* io = static_cast<PngIO*>(png_get_io_ptr(png));
  if (!io->stream->WriteAll(data, static_cast<std::int64_t>(n))) {
    io->shortIO = true;
    png_error(png, "short write");
  }
}

void PngFlush(png_structp) {}

// Everything the decoder keeps across the setjmp point lives here, owned by the caller's frame.
struct ReadState {
  PngIO io;
  TVlBitmap* bitmap = nullptr;
  TIOParamsVals* params = nullptr;
  ProgressRecord* progress = nullptr;
  bool paramsOnly = false;
  std::vector<std::uint8_t> row;      // one transformed row
  std::vector<std::uint8_t> image;    // interlaced files: every transformed row
  std::vector<std::uint8_t> trans;    // tRNS alpha per palette index
  TVlStatus result;
};

std::uint8_t ScaleTo8(unsigned v, int depth) {
  if (depth >= 16)
    return static_cast<std::uint8_t>(v >> 8);
  if (depth == 8)
    return static_cast<std::uint8_t>(v);
  const unsigned max = (1u << depth) - 1;
  return static_cast<std::uint8_t>(std::min(v, max) * 255 / max);
}

void ReadHeaderFields(png_structp png, png_infop info, ReadState& st) {
  TIOParamsVals& p = *st.params;
  png_uint_32 w = 0, h = 0;
  int depth = 0, colorType = 0, interlace = 0;
  png_get_IHDR(png, info, &w, &h, &depth, &colorType, &interlace, nullptr, nullptr);
  p.width = static_cast<std::int32_t>(w);
  p.height = static_cast<std::int32_t>(h);
  p.bitsPerSample = depth;
  p.samplesPerPixel = png_get_channels(png, info);
  p.pngInterlaced = interlace != PNG_INTERLACE_NONE;
  p.SetImageCount(1);

  png_uint_32 rx = 0, ry = 0;
  int unit = 0;
  if (png_get_pHYs(png, info, &rx, &ry, &unit) && unit == PNG_RESOLUTION_METER) {
    auto dpi = [](png_uint_32 ppm) {
      const double d = std::nearbyint(static_cast<double>(ppm) * 0.0254);
      return static_cast<std::int32_t>(std::min(d, 1.0e6));
    };
    p.SetDpiX(dpi(rx));
    p.SetDpiY(dpi(ry));
  } else {
    p.SetDpiX(0);
    p.SetDpiY(0);
  }

  png_colorp pal = nullptr;
  int palCount = 0;
  p.colorMap.clear();
  p.colorMapCount = 0;
  if (png_get_PLTE(png, info, &pal, &palCount) && pal && palCount > 0) {
    palCount = std::min(palCount, 256);
    for (int i = 0; i < palCount; ++i)
      p.colorMap.push_back(TVlRGB{pal[i].blue, pal[i].green, pal[i].red});
    p.colorMapCount = palCount;
  }

  png_color_16p bg = nullptr;
  if (png_get_bKGD(png, info, &bg) && bg) {
    if (colorType == PNG_COLOR_TYPE_PALETTE) {
      if (bg->index < p.colorMap.size())
        p.pngBackgroundColor = p.colorMap[bg->index];
    } else if (colorType & PNG_COLOR_MASK_COLOR) {
      p.pngBackgroundColor = TVlRGB{ScaleTo8(bg->blue, depth), ScaleTo8(bg->green, depth), ScaleTo8(bg->red, depth)};
    } else {
      const std::uint8_t g = ScaleTo8(bg->gray, depth);
      p.pngBackgroundColor = TVlRGB{g, g, g};
    }
  }
}

void ReadTexts(png_structp png, png_infop info, TIOParamsVals& p) {
  png_textp text = nullptr;
  int n = 0;
  if (png_get_text(png, info, &text, &n) && text) {
    for (int i = 0; i < n; ++i) {
      p.pngTextKeys.emplace_back(text[i].key ? text[i].key : "");
      const size_t len = text[i].compression >= PNG_ITXT_COMPRESSION_NONE ? text[i].itxt_length : text[i].text_length;
      p.pngTexts.emplace_back(text[i].text ? std::string(text[i].text, len) : std::string());
    }
  }
}

// Copies one transformed libpng row into row y of the bitmap (and its alpha plane).
void StoreRow(ReadState& st, const std::uint8_t* src, std::int32_t y, int channels, int depth) {
  TVlBitmap& b = *st.bitmap;
  const std::int32_t w = b.Width();
  std::uint8_t* dst = b.RowPointer(y);
  TVlBitmap* a = b.HasAlpha() ? b.AlphaChannel() : nullptr;
  std::uint8_t* arow = a ? a->RowPointer(y) : nullptr;
  switch (b.PixelFormat()) {
    case vl1g:
      std::memcpy(dst, src, static_cast<std::size_t>((w + 7) / 8));
      break;
    case vl8p:
      std::memcpy(dst, src, static_cast<std::size_t>(w));
      if (arow)
        for (std::int32_t x = 0; x < w; ++x)
          arow[x] = src[x] < st.trans.size() ? st.trans[src[x]] : 255;
      break;
    case vl8g:
      for (std::int32_t x = 0; x < w; ++x) {
        dst[x] = src[x * channels];
        if (arow)
          arow[x] = channels == 2 ? src[x * 2 + 1] : 255;
      }
      break;
    case vl16g:
      for (std::int32_t x = 0; x < w; ++x) {
        dst[x * 2] = src[x * channels * 2];
        dst[x * 2 + 1] = src[x * channels * 2 + 1];
        if (arow)
          arow[x] = channels == 2 ? src[x * 4 + 3] : 255;  // little-endian: high byte second
      }
      break;
    case vl24RGB:
      for (std::int32_t x = 0; x < w; ++x) {
        std::memcpy(dst + x * 3, src + x * channels, 3);
        if (arow)
          arow[x] = channels == 4 ? src[x * 4 + 3] : 255;
      }
      break;
    case vlRGB48:
      for (std::int32_t x = 0; x < w; ++x) {
        std::memcpy(dst + x * 6, src + x * channels * 2, 6);
        if (arow)
          arow[x] = channels == 4 ? src[x * 8 + 7] : 255;
      }
      break;
    default:
      break;
  }
  (void)depth;
}

// The decoder proper. Only trivially destructible locals exist across setjmp.
TVlStatus Decode(png_structp png, png_infop info, ReadState& st) {
  if (setjmp(png_jmpbuf(png))) {
    if (st.io.inEnd)
      return TVlStatus::Ok();  // the pixels are complete; damage after them is ignored
    if (st.io.shortIO)
      return TVlStatus::Truncated("PNG data ends early");
    return TVlStatus::BadData("PNG data corrupt");
  }
  const TVlSizeLimits& lim = VlSizeLimits();
  png_set_user_limits(png, static_cast<png_uint_32>(lim.maxDimension), static_cast<png_uint_32>(lim.maxDimension));
  png_set_chunk_malloc_max(png, kChunkMax);
  png_set_chunk_cache_max(png, 1000);
  png_set_sig_bytes(png, 8);
  png_read_info(png, info);
  ReadHeaderFields(png, info, st);
  ReadTexts(png, info, *st.params);
  if (st.paramsOnly)
    return TVlStatus::Ok();

  const TIOParamsVals& p = *st.params;
  const int depth = png_get_bit_depth(png, info);
  const int colorType = png_get_color_type(png, info);
  const bool hasTrns = png_get_valid(png, info, PNG_INFO_tRNS) != 0;
  const bool hasAlpha = (colorType & PNG_COLOR_MASK_ALPHA) || hasTrns;
  const bool native = p.nativePixelFormat;
  TVlPixelFormat fmt = vl24RGB;
  if (colorType == PNG_COLOR_TYPE_GRAY && depth == 1 && !hasTrns) {
    fmt = vl1g;
  } else if (!native) {
    png_set_expand(png);
    png_set_scale_16(png);
    png_set_gray_to_rgb(png);
    png_set_bgr(png);
  } else if (colorType == PNG_COLOR_TYPE_PALETTE) {
    fmt = vl8p;
    png_set_packing(png);
    png_bytep t = nullptr;
    int nt = 0;
    if (hasTrns && png_get_tRNS(png, info, &t, &nt, nullptr) && t && nt > 0)
      st.trans.assign(t, t + std::min(nt, 256));
  } else if (!(colorType & PNG_COLOR_MASK_COLOR)) {
    fmt = depth == 16 ? vl16g : vl8g;
    if (depth < 8)
      png_set_expand_gray_1_2_4_to_8(png);
    if (hasTrns)
      png_set_tRNS_to_alpha(png);
    if (depth == 16)
      png_set_swap(png);
  } else {
    fmt = depth == 16 ? vlRGB48 : vl24RGB;
    if (hasTrns)
      png_set_tRNS_to_alpha(png);
    if (depth == 16)
      png_set_swap(png);
    else
      png_set_bgr(png);
  }
  const int passes = png_set_interlace_handling(png);
  png_read_update_info(png, info);
  const int channels = png_get_channels(png, info);
  const int outDepth = png_get_bit_depth(png, info);
  const std::size_t rowBytes = png_get_rowbytes(png, info);

  const std::int32_t w = p.width, h = p.height;
  if (TVlStatus s = CheckImageSize(w, h, VlBitsPerPixel(fmt)); !s)
    return s;
  TVlBitmap& b = *st.bitmap;
  if (TVlStatus s = b.AllocateImage(w, h, fmt); !s)
    return s;
  if (b.IsEmpty())
    return TVlStatus::LimitExceeded("cannot allocate the image");
  if (fmt == vl8p)
    for (std::size_t i = 0; i < p.colorMap.size(); ++i)
      b.SetPaletteColor(static_cast<std::int32_t>(i), p.colorMap[i]);
  if (hasAlpha && !b.AlphaChannel())
    return TVlStatus::LimitExceeded("cannot allocate the alpha plane");

  ProgressRecord& pr = *st.progress;
  if (passes <= 1) {
    st.row.resize(rowBytes);
    pr.percentPerRow = 100.0 / h;
    for (std::int32_t y = 0; y < h; ++y) {
      if (pr.Aborted())
        return TVlStatus::Aborted();
      png_read_row(png, st.row.data(), nullptr);
      StoreRow(st, st.row.data(), y, channels, outDepth);
      pr.ReportRow(y);
    }
  } else {
    auto total = CheckedMul(static_cast<std::int64_t>(rowBytes), h);
    if (!total)
      return TVlStatus::LimitExceeded("interlaced PNG too large");
    if (TVlStatus s = CheckBufferSize(*total); !s)
      return s;
    st.image.assign(static_cast<std::size_t>(*total), 0);
    pr.percentPerRow = 100.0 / (static_cast<double>(h) * passes);
    for (int pass = 0; pass < passes; ++pass)
      for (std::int32_t y = 0; y < h; ++y) {
        if (pr.Aborted())
          return TVlStatus::Aborted();
        png_read_row(png, st.image.data() + static_cast<std::size_t>(y) * rowBytes, nullptr);
        pr.ReportRow(static_cast<std::int64_t>(pass) * h + y);
      }
    for (std::int32_t y = 0; y < h; ++y)
      StoreRow(st, st.image.data() + static_cast<std::size_t>(y) * rowBytes, y, channels, outDepth);
  }
  if (hasAlpha)
    b.RecheckAlphaFull();
  st.io.inEnd = true;
  png_read_end(png, nullptr);
  return TVlStatus::Ok();
}

// ---------------------------------------------------------------------- writing helpers

enum class Layout : std::uint8_t { gray1, gray8, gray16, palette, rgb, rgba };

struct WriteState {
  PngIO io;
  TVlBitmap* image = nullptr;       // the image rows come from (maybe a converted copy)
  TVlBitmap converted;              // vl24RGB or vl1g copy when needed
  const TVlMask* mask = nullptr;
  TIOParamsVals* params = nullptr;
  ProgressRecord* progress = nullptr;
  Layout layout = Layout::rgb;
  int depth = 8;
  TVlBitmap bilevel;                // the two-colour rule's 1-bit copy
  std::vector<TVlRGB> palette;            // palette layout
  std::vector<std::uint8_t> transparent;  // tRNS
  std::unique_ptr<TVlQuantizer> quantizer;
  bool transparentEntry0 = false;
  std::vector<std::uint8_t> row;
  std::vector<png_color> plte;
  std::vector<std::string> keys, texts;
  std::vector<png_text> pngTexts;
  TVlStatus result;
};

bool MaskHasTransparency(const TVlMask* m, std::int32_t w, std::int32_t h) {
  if (!m || m->Width() != w || m->Height() != h || m->BitsPerPixel() != 8)
    return false;
  for (std::int32_t y = 0; y < h; ++y) {
    const std::uint8_t* r = m->RowPointer(y);
    for (std::int32_t x = 0; x < w; ++x)
      if (r[x] != 255)
        return true;
  }
  return false;
}

TVlRGB PixelOf(TVlBitmap& b, const std::uint8_t* r, std::int32_t x) {
  switch (b.PixelFormat()) {
    case vl24RGB: return TVlRGB{r[x * 3], r[x * 3 + 1], r[x * 3 + 2]};
    case vl8g: return TVlRGB{r[x], r[x], r[x]};
    case vl8p: {
      TVlRGB c{};
      b.PaletteColor(r[x], c);
      return c;
    }
    case vl1g: {
      const std::uint8_t v = (r[x >> 3] & (0x80 >> (x & 7))) ? 255 : 0;
      return TVlRGB{v, v, v};
    }
    default: return TVlRGB{};
  }
}

void BuildRow(WriteState& st, std::int32_t y) {
  TVlBitmap& b = *st.image;
  const std::int32_t w = b.Width();
  const std::uint8_t* r = b.RowPointer(y);
  const std::uint8_t* m = st.mask ? st.mask->RowPointer(y) : nullptr;
  std::uint8_t* out = st.row.data();
  switch (st.layout) {
    case Layout::gray1:
      std::memcpy(out, r, static_cast<std::size_t>((w + 7) / 8));
      break;
    case Layout::gray8:
      for (std::int32_t x = 0; x < w; ++x)
        out[x] = b.PixelFormat() == vl16g ? r[x * 2 + 1] : PixelOf(b, r, x).r;
      break;
    case Layout::gray16:
      for (std::int32_t x = 0; x < w; ++x) {
        if (b.PixelFormat() == vl16g) {
          out[x * 2] = r[x * 2 + 1];  // big-endian in the file
          out[x * 2 + 1] = r[x * 2];
        } else {
          out[x * 2] = out[x * 2 + 1] = PixelOf(b, r, x).r;  // v * 257
        }
      }
      break;
    case Layout::palette:
      for (std::int32_t x = 0; x < w; ++x) {
        if (st.transparentEntry0 && m && m[x] < 128) {
          out[x] = 0;
          continue;
        }
        std::int32_t idx = b.PixelFormat() == vl8p ? r[x] : st.quantizer->MapColour(PixelOf(b, r, x));
        idx = std::max<std::int32_t>(idx, 0);
        out[x] = static_cast<std::uint8_t>(st.transparentEntry0 ? std::min(idx + 1, 255) : idx);
      }
      break;
    case Layout::rgb:
    case Layout::rgba: {
      const int ch = st.layout == Layout::rgba ? 4 : 3;
      for (std::int32_t x = 0; x < w; ++x) {
        const TVlRGB c = PixelOf(b, r, x);
        out[x * ch] = c.r;
        out[x * ch + 1] = c.g;
        out[x * ch + 2] = c.b;
        if (ch == 4)
          out[x * 4 + 3] = m ? m[x] : 255;
      }
      break;
    }
  }
}

bool ValidKeyword(const std::string& k) {
  if (k.empty() || k.size() > 79 || k.front() == ' ' || k.back() == ' ')
    return false;
  for (std::size_t i = 0; i < k.size(); ++i) {
    const auto c = static_cast<unsigned char>(k[i]);
    if (c < 32 || (c > 126 && c < 161))
      return false;
    if (c == ' ' && i + 1 < k.size() && k[i + 1] == ' ')
      return false;
  }
  return true;
}

TVlStatus Encode(png_structp png, png_infop info, WriteState& st) {
  if (setjmp(png_jmpbuf(png))) {
    if (st.io.shortIO)
      return TVlStatus::IoError("PNG write failed");
    return TVlStatus::BadData("PNG encoder refused the data");
  }
  TIOParamsVals& p = *st.params;
  TVlBitmap& b = *st.image;
  const std::int32_t w = b.Width(), h = b.Height();
  int colorType = PNG_COLOR_TYPE_RGB;
  switch (st.layout) {
    case Layout::gray1:
    case Layout::gray8:
    case Layout::gray16: colorType = PNG_COLOR_TYPE_GRAY; break;
    case Layout::palette: colorType = PNG_COLOR_TYPE_PALETTE; break;
    case Layout::rgb: colorType = PNG_COLOR_TYPE_RGB; break;
    case Layout::rgba: colorType = PNG_COLOR_TYPE_RGB_ALPHA; break;
  }
  png_set_IHDR(png, info, static_cast<png_uint_32>(w), static_cast<png_uint_32>(h), st.depth, colorType,
               p.pngInterlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  if (st.layout == Layout::palette) {
    st.plte.clear();
    for (const TVlRGB& c : st.palette)
      st.plte.push_back(png_color{c.r, c.g, c.b});
    png_set_PLTE(png, info, st.plte.data(), static_cast<int>(st.plte.size()));
    if (!st.transparent.empty())
      png_set_tRNS(png, info, st.transparent.data(), static_cast<int>(st.transparent.size()), nullptr);
  }
  if (p.dpiX > 0 && p.dpiY > 0) {
    auto ppm = [](std::int32_t dpi) { return static_cast<png_uint_32>(std::nearbyint(dpi * 100.0 / 2.54)); };
    png_set_pHYs(png, info, ppm(p.dpiX), ppm(p.dpiY), PNG_RESOLUTION_METER);
  }
  png_color_16 bg{};
  const TVlRGB bc = p.pngBackgroundColor;
  switch (st.layout) {
    case Layout::palette: {
      if (!st.transparentEntry0) {
        int best = 0, bestD = 1 << 30;
        for (std::size_t i = 0; i < st.palette.size(); ++i) {
          const TVlRGB& c = st.palette[i];
          const int d = (c.r - bc.r) * (c.r - bc.r) + (c.g - bc.g) * (c.g - bc.g) + (c.b - bc.b) * (c.b - bc.b);
          if (d < bestD)
            bestD = d, best = static_cast<int>(i);
        }
        bg.index = static_cast<png_byte>(best);
      }
      break;
    }
    case Layout::gray1: bg.gray = VlGray(bc) >= 128 ? 1 : 0; break;
    case Layout::gray8: bg.gray = static_cast<png_uint_16>(VlGray(bc)); break;
    case Layout::gray16: bg.gray = static_cast<png_uint_16>(VlGray(bc) * 257); break;
    default:
      bg.red = bc.r, bg.green = bc.g, bg.blue = bc.b;
      break;
  }
  png_set_bKGD(png, info, &bg);
  const std::size_t nText = std::min(p.pngTextKeys.size(), p.pngTexts.size());
  st.keys.clear();
  st.texts.clear();
  for (std::size_t i = 0; i < nText; ++i)
    if (ValidKeyword(p.pngTextKeys[i])) {
      st.keys.push_back(p.pngTextKeys[i]);
      st.texts.push_back(p.pngTexts[i]);
    }
  st.pngTexts.assign(st.keys.size(), png_text{});
  for (std::size_t i = 0; i < st.keys.size(); ++i) {
    png_text& t = st.pngTexts[i];
    const bool ascii = std::all_of(st.texts[i].begin(), st.texts[i].end(),
                                   [](char c) { return static_cast<unsigned char>(c) < 128; });
    t.compression = ascii ? PNG_TEXT_COMPRESSION_NONE : PNG_ITXT_COMPRESSION_NONE;
    t.key = st.keys[i].data();
    t.text = st.texts[i].data();
    if (ascii)
      t.text_length = st.texts[i].size();
    else
      t.itxt_length = st.texts[i].size();
  }
  if (!st.pngTexts.empty())
    png_set_text(png, info, st.pngTexts.data(), static_cast<int>(st.pngTexts.size()));
  switch (p.pngFilter) {
    case 1: png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_SUB); break;
    case 2: png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_PAETH); break;
    default: png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_NONE); break;
  }
  png_set_compression_level(png, std::clamp(p.pngCompression, 0, 9));
  png_write_info(png, info);
  const int passes = png_set_interlace_handling(png);
  st.row.assign(png_get_rowbytes(png, info) + 16, 0);
  ProgressRecord& pr = *st.progress;
  pr.percentPerRow = 100.0 / (static_cast<double>(h) * passes);
  for (int pass = 0; pass < passes; ++pass)
    for (std::int32_t y = 0; y < h; ++y) {
      if (pr.Aborted())
        return TVlStatus::Aborted();
      BuildRow(st, y);
      png_write_row(png, st.row.data());
      pr.ReportRow(static_cast<std::int64_t>(pass) * h + y);
    }
  png_write_end(png, info);
  return TVlStatus::Ok();
}

}  // namespace

bool IsPNGStream(TVlStream& stream) {
  TVlStreamRestore keep(stream);
  png_byte sig[8];
  return stream.ReadExact(sig, 8) && png_sig_cmp(sig, 0, 8) == 0;
}

TVlStatus ReadPNG(TVlStream& stream, TVlBitmap* bitmap, TIOParamsVals& params, ProgressRecord& progress,
                  bool paramsOnly) {
  if (!paramsOnly && !bitmap)
    return progress.Fail(TVlStatus::BadData("no target image"));
  png_byte sig[8];
  if (!stream.ReadExact(sig, 8) || png_sig_cmp(sig, 0, 8) != 0)
    return progress.Fail(TVlStatus::BadData("not a PNG file"));
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, OnPngError, OnPngWarning);
  if (!png)
    return progress.Fail(TVlStatus::LimitExceeded("cannot set up libpng"));
  png_infop info = png_create_info_struct(png);
  if (!info) {
    png_destroy_read_struct(&png, nullptr, nullptr);
    return progress.Fail(TVlStatus::LimitExceeded("cannot set up libpng"));
  }
  ReadState st;
  st.io.stream = &stream;
  st.bitmap = bitmap;
  st.params = &params;
  st.progress = &progress;
  st.paramsOnly = paramsOnly;
  png_set_read_fn(png, &st.io, PngRead);
  TVlStatus s = Decode(png, info, st);
  png_destroy_read_struct(&png, &info, nullptr);
  if (!s)
    return progress.Fail(s);
  return s;
}

TVlStatus WritePNG(TVlStream& stream, TVlBitmap& bitmap, TIOParamsVals& params, ProgressRecord& progress,
                   const TVlMask* alphaMask) {
  if (bitmap.IsEmpty())
    return progress.Fail(TVlStatus::BadData("empty image"));
  WriteState st;
  st.io.stream = &stream;
  st.params = &params;
  st.progress = &progress;
  st.image = &bitmap;
  const std::int32_t w = bitmap.Width(), h = bitmap.Height();
  const bool transparent = MaskHasTransparency(alphaMask, w, h);
  if (alphaMask && alphaMask->Width() == w && alphaMask->Height() == h && alphaMask->BitsPerPixel() == 8)
    st.mask = alphaMask;

  // Rows are read as vl1g, vl8g, vl16g, vl8p or vl24RGB; anything else through a copy.
  auto convertedTo = [&](TVlPixelFormat f) -> TVlStatus {
    VL_TRY(st.converted.AssignImage(bitmap));
    VL_TRY(st.converted.ConvertToFormat(f));
    st.image = &st.converted;
    return TVlStatus::Ok();
  };
  const TVlPixelFormat f = bitmap.PixelFormat();
  if (f != vl1g && f != vl8g && f != vl16g && f != vl8p && f != vl24RGB)
    if (TVlStatus s = convertedTo(vl24RGB); !s)
      return progress.Fail(s);

  int bps = params.bitsPerSample;
  if (params.samplesPerPixel == 1) {
    if (bps != 1 && bps != 8 && bps != 16)
      bps = 8;
    TVlBitmap& img = *st.image;
    TVlRGB dark{}, light{};
    if (bps == 1 || img.PixelFormat() == vl1g || VlFindTwoColours(img, dark, light)) {
      st.layout = Layout::gray1;
      st.depth = 1;
      TVlBitmap* one = nullptr;
      if (TVlStatus s = VlApplyTwoColourRule(img, st.bilevel, one, dark, light); !s)
        return progress.Fail(s);
      st.image = one;
    } else if (transparent) {
      st.layout = Layout::palette;
      st.depth = 8;
      st.transparentEntry0 = true;
      st.palette.assign(1, params.pngBackgroundColor);
      st.transparent.assign(1, 0);
      if (img.PixelFormat() == vl8p) {
        for (int i = 0; i < 255; ++i) {
          TVlRGB c{};
          img.PaletteColor(i, c);
          st.palette.push_back(c);
        }
      } else {
        if (img.PixelFormat() != vl24RGB)
          if (TVlStatus s = convertedTo(vl24RGB); !s)
            return progress.Fail(s);
        std::vector<TVlRGB> pal(255);
        st.quantizer = std::make_unique<TVlQuantizer>(*st.image, 0, 0, 255, pal.data());
        st.palette.insert(st.palette.end(), pal.begin(), pal.end());
      }
    } else if (img.PixelFormat() == vl16g || IsAllGray(img) || img.PixelFormat() == vl8g) {
      st.layout = bps == 16 ? Layout::gray16 : Layout::gray8;
      st.depth = bps == 16 ? 16 : 8;
    } else {
      st.layout = Layout::palette;
      st.depth = 8;
      if (img.PixelFormat() == vl8p) {
        for (int i = 0; i < 256; ++i) {
          TVlRGB c{};
          img.PaletteColor(i, c);
          st.palette.push_back(c);
        }
      } else {
        if (img.PixelFormat() != vl24RGB)
          if (TVlStatus s = convertedTo(vl24RGB); !s)
            return progress.Fail(s);
        st.palette.assign(256, TVlRGB{});
        st.quantizer = std::make_unique<TVlQuantizer>(*st.image, 0, 0, 256, st.palette.data());
      }
    }
  } else {
    st.layout = transparent ? Layout::rgba : Layout::rgb;
    st.depth = 8;
  }
  params.bitsPerSample = st.depth;

  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, OnPngError, OnPngWarning);
  if (!png)
    return progress.Fail(TVlStatus::LimitExceeded("Error on creating PNG"));
  png_infop info = png_create_info_struct(png);
  if (!info) {
    png_destroy_write_struct(&png, nullptr);
    return progress.Fail(TVlStatus::LimitExceeded("Error on creating PNG"));
  }
  png_set_write_fn(png, &st.io, PngWrite, PngFlush);
  TVlStatus s = Encode(png, info, st);
  png_destroy_write_struct(&png, &info);
  if (!s)
    return progress.Fail(s);
  return s;
}
