// Device-independent bitmaps: bounded reader and writer of the packed block (see dib.h).
#include "imaging/formats/dib.h"

#include <algorithm>
#include <cstring>

#include "imaging/bitops.h"
#include "imaging/bytereader.h"
#include "imaging/limits.h"

namespace {

constexpr std::int64_t kSlack = std::int64_t(1) << 20;  // tolerated shortfall / expansion base

std::uint32_t Get32(const std::uint8_t* p) {
  return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}
std::uint16_t Get16(const std::uint8_t* p) {
  return std::uint16_t(p[0] | p[1] << 8);
}

void Put32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = std::uint8_t(v >> (8 * i));
}
void Put16(std::uint8_t* p, std::uint16_t v) {
  p[0] = std::uint8_t(v);
  p[1] = std::uint8_t(v >> 8);
}

// One bit-field mask: where its lowest bit is and how many bits lie above it.
struct Field {
  std::uint32_t mask = 0;
  int shift = 0, bits = 0;
  explicit Field(std::uint32_t m = 0) : mask(m) {
    if (!m)
      return;
    while (!((m >> shift) & 1)) ++shift;
    std::uint32_t v = m >> shift;
    while (v) ++bits, v >>= 1;
  }
  // The component scaled to 8 bits by shifting (a 5-bit 31 reads 248).
  std::uint8_t Value(std::uint32_t px) const {
    if (!mask)
      return 0;
    const std::uint32_t v = (px & mask) >> shift;
    return std::uint8_t(bits >= 8 ? v >> (bits - 8) : v << (8 - bits));
  }
  // The component scaled so that all ones read 255 (alpha).
  std::uint8_t Full(std::uint32_t px) const {
    if (!mask)
      return 255;
    const std::uint64_t v = (px & mask) >> shift, max = (std::uint64_t(1) << bits) - 1;
    return std::uint8_t(v * 255 / max);
  }
};

bool IsBlack(TVlRGB c) {
  return c.r == 0 && c.g == 0 && c.b == 0;
}
bool IsWhite(TVlRGB c) {
  return c.r == 255 && c.g == 255 && c.b == 255;
}

TVlRGB Entry(const TVlDibHeader& h, std::uint32_t i) {
  return i < h.palette.size() ? h.palette[i] : TVlRGB{};
}

}  // namespace

TVlStatus ParseDibHeader(const std::uint8_t* data, std::size_t size, TVlDibHeader& h) {
  h = TVlDibHeader{};
  if (!data || size < 4)
    return TVlStatus::Truncated("DIB header cut short");
  const std::uint32_t hs = Get32(data);
  if (hs < 12 || (hs > 12 && hs < 16))
    return TVlStatus::BadData("unknown DIB header size");
  if (hs > size)
    return TVlStatus::Truncated("DIB header cut short");
  h.headerSize = hs;
  std::int64_t rawHeight;
  if (hs == 12) {
    h.core = true;
    h.width = Get16(data + 4);
    rawHeight = Get16(data + 6);
    h.planes = Get16(data + 8);
    h.bitCount = Get16(data + 10);
  } else {
    // Longer headers are read into a zero-filled block (short OS/2 2.x forms end early).
    std::uint8_t b[124] = {};
    std::memcpy(b, data, std::min<std::size_t>(hs, sizeof b));
    h.width = std::int32_t(Get32(b + 4));
    rawHeight = std::int32_t(Get32(b + 8));
    h.planes = Get16(b + 12);
    h.bitCount = Get16(b + 14);
    h.compression = Get32(b + 16);
    h.imageSize = Get32(b + 20);
    h.xPelsPerMeter = std::int32_t(Get32(b + 24));
    h.yPelsPerMeter = std::int32_t(Get32(b + 28));
    h.colorsUsed = Get32(b + 32);
    const bool os2 = hs < 40 || hs == 64;
    if (os2 && h.compression >= dibBitFields)
      return TVlStatus::Unsupported("OS/2 DIB compression not supported");
    if (hs >= 52 && !os2) {
      h.redMask = Get32(b + 40);
      h.greenMask = Get32(b + 44);
      h.blueMask = Get32(b + 48);
      if (hs >= 56)
        h.alphaMask = Get32(b + 52);
      h.hasMasks = true;
    }
  }
  if (h.width <= 0)
    return TVlStatus::BadData("DIB width not positive");
  if (rawHeight == 0 || rawHeight == INT32_MIN)
    return TVlStatus::BadData("DIB height 0 or out of range");
  h.topDown = rawHeight < 0;
  h.height = std::int32_t(rawHeight < 0 ? -rawHeight : rawHeight);
  switch (h.bitCount) {
    case 1:
    case 2:
    case 4:
    case 8:
    case 16:
    case 24:
    case 32:
      break;
    default:
      return TVlStatus::Unsupported("DIB bit count not supported");
  }
  switch (h.compression) {
    case dibRGB:
      break;
    case dibRLE8:
    case dibRLE4:
      if (h.bitCount != (h.compression == dibRLE8 ? 8 : 4))
        return TVlStatus::BadData("run-length compression with the wrong bit count");
      if (h.topDown)
        return TVlStatus::BadData("run-length DIB stored top-down");
      break;
    case dibBitFields:
    case dibAlphaBitFields:
      if (h.bitCount != 16 && h.bitCount != 32)
        return TVlStatus::BadData("bit fields with the wrong bit count");
      break;
    default:
      return TVlStatus::Unsupported("DIB compression not supported");
  }

  std::int64_t pos = hs;
  // Bit-field masks after a 40-byte header.
  if (!h.core && hs < 52 && (h.compression == dibBitFields || h.compression == dibAlphaBitFields)) {
    const std::int64_t n = h.compression == dibAlphaBitFields ? 16 : 12;
    if (pos + n > std::int64_t(size))
      return TVlStatus::Truncated("bit-field masks beyond the block");
    h.redMask = Get32(data + pos);
    h.greenMask = Get32(data + pos + 4);
    h.blueMask = Get32(data + pos + 8);
    if (n == 16)
      h.alphaMask = Get32(data + pos + 12);
    h.hasMasks = true;
    pos += n;
  }
  // Colour table: colorsUsed entries (2^bitCount when 0 for up to 8 bits).
  std::int64_t entries = h.core ? 0 : h.colorsUsed;
  if (entries == 0 && h.bitCount <= 8)
    entries = std::int64_t(1) << h.bitCount;
  const std::int64_t entrySize = h.core ? 3 : 4;
  if (pos + entries * entrySize > std::int64_t(size))
    return TVlStatus::Truncated("colour table beyond the block");
  const std::int64_t keep = h.bitCount <= 8 ? std::min<std::int64_t>(entries, std::int64_t(1) << h.bitCount) : 0;
  h.palette.resize(size_t(keep));
  for (std::int64_t i = 0; i < keep; ++i) {
    const std::uint8_t* e = data + pos + i * entrySize;
    h.palette[size_t(i)] = {e[0], e[1], e[2]};
  }
  pos += entries * entrySize;
  h.tableEnd = pos;
  const auto row = CheckedRowLength(h.width, h.bitCount, 32);
  if (!row)
    return TVlStatus::LimitExceeded("DIB row too long");
  h.rowBytes = *row;
  return CheckImageSize(h.width, h.height, 24);
}

TVlStatus DecodeDibPixels(const TVlDibHeader& h, const std::uint8_t* bits, std::size_t size, TVlBitmap& image,
                          const TVlDibOptions& o) {
  if (h.width <= 0 || h.height <= 0 || h.rowBytes <= 0)
    return TVlStatus::BadData("DIB header not parsed");
  if (!bits)
    size = 0;
  const std::int64_t W = h.width, H = h.height;
  const bool rle = h.compression == dibRLE8 || h.compression == dibRLE4;
  const std::int64_t declared = h.rowBytes * H;
  const std::int64_t present = std::int64_t(size);
  if (rle) {
    if (present < 2)
      return TVlStatus::Truncated("no run-length data");
    if (declared > 256 * present + kSlack)
      return TVlStatus::LimitExceeded("run-length data too short for the image size");
  } else {
    if (present < h.rowBytes)
      return TVlStatus::Truncated("no complete row of pixel data");
    if (present < declared && declared > 2 * present + kSlack)
      return TVlStatus::LimitExceeded("pixel data far shorter than the image size");
  }

  // Output format.
  TVlPixelFormat fmt = vl24RGB;
  bool invert = false;
  if (h.bitCount == 1) {
    const TVlRGB e0 = Entry(h, 0), e1 = Entry(h, 1);
    if ((IsBlack(e0) && IsWhite(e1)) || (IsWhite(e0) && IsBlack(e1))) {
      fmt = vl1g;
      invert = IsWhite(e0);
    } else if (o.paletteAs8p) {
      fmt = vl8p;
    }
  } else if (h.bitCount <= 8 && o.paletteAs8p) {
    fmt = vl8p;
  }
  TVlBitmap out;
  VL_TRY(out.AllocateImage(h.width, h.height, fmt));
  if (fmt == vl8p)
    for (int i = 0; i < 256; ++i) out.Palette()[i] = Entry(h, std::uint32_t(i));

  // Alpha values of 32-bit images: the alpha mask, or the fourth byte without bit fields.
  const bool bitFields = h.compression == dibBitFields || h.compression == dibAlphaBitFields;
  Field fr, fg, fb, fa;
  if (h.bitCount == 16) {
    fr = Field(bitFields ? h.redMask : 0x7C00);
    fg = Field(bitFields ? h.greenMask : 0x03E0);
    fb = Field(bitFields ? h.blueMask : 0x001F);
  } else if (h.bitCount == 32) {
    fr = Field(bitFields ? h.redMask : 0x00FF0000);
    fg = Field(bitFields ? h.greenMask : 0x0000FF00);
    fb = Field(bitFields ? h.blueMask : 0x000000FF);
    fa = Field(h.alphaMask ? h.alphaMask : bitFields ? 0 : 0xFF000000u);
  }
  const bool wantAlpha = o.alpha && h.bitCount == 32 && fa.mask != 0;
  std::vector<std::uint8_t> alpha;
  if (wantAlpha)
    alpha.assign(size_t(W * H), 255);

  auto putIndexRow = [&](std::uint8_t* d, const std::uint8_t* idx) {
    if (fmt == vl8p) {
      std::memcpy(d, idx, size_t(W));
    } else {
      for (std::int64_t x = 0; x < W; ++x) {
        const TVlRGB c = Entry(h, idx[x]);
        d[3 * x] = c.b, d[3 * x + 1] = c.g, d[3 * x + 2] = c.r;
      }
    }
  };
  std::vector<std::uint8_t> idx(static_cast<size_t>(W));
  auto decodeRow = [&](const std::uint8_t* s, std::int64_t y) {
    std::uint8_t* d = out.RowPointer(std::int32_t(y));
    std::memset(d, 0, size_t(out.RowLength()));
    switch (h.bitCount) {
      case 1:
      case 2:
      case 4:
      case 8:
        if (fmt == vl1g) {
          const std::int64_t n = (W + 7) / 8;
          for (std::int64_t i = 0; i < n; ++i) d[i] = invert ? std::uint8_t(~s[i]) : s[i];
          if (W % 8)
            d[n - 1] &= std::uint8_t(0xFF << (8 - W % 8));
          return;
        }
        for (std::int64_t x = 0; x < W; ++x) {
          const std::int64_t bit = x * h.bitCount;
          idx[size_t(x)] = std::uint8_t((s[bit >> 3] >> (8 - h.bitCount - (bit & 7))) & ((1 << h.bitCount) - 1));
        }
        putIndexRow(d, idx.data());
        return;
      case 16:
        for (std::int64_t x = 0; x < W; ++x) {
          const std::uint32_t v = Get16(s + 2 * x);
          d[3 * x] = fb.Value(v), d[3 * x + 1] = fg.Value(v), d[3 * x + 2] = fr.Value(v);
        }
        return;
      case 24:
        std::memcpy(d, s, size_t(3 * W));
        return;
      case 32:
        for (std::int64_t x = 0; x < W; ++x) {
          const std::uint32_t v = Get32(s + 4 * x);
          d[3 * x] = fb.Value(v), d[3 * x + 1] = fg.Value(v), d[3 * x + 2] = fr.Value(v);
          if (wantAlpha)
            alpha[size_t(y * W + x)] = fa.Full(v);
        }
        return;
    }
  };

  TVlStatus status = TVlStatus::Ok();
  if (!rle) {
    const std::int64_t rows = std::min<std::int64_t>(H, present / h.rowBytes);
    for (std::int64_t r = 0; r < rows; ++r) decodeRow(bits + r * h.rowBytes, h.topDown ? r : H - 1 - r);
    // Rows that are not in the data are white.
    for (std::int64_t r = rows; r < H; ++r) {
      const std::int64_t y = h.topDown ? r : H - 1 - r;
      std::uint8_t* d = out.RowPointer(std::int32_t(y));
      if (fmt == vl8p) {
        std::memset(d, 0, size_t(out.RowLength()));
      } else {
        std::memset(d, 0xFF, size_t(out.RowLength()));
      }
    }
    if (rows < H)
      status = TVlStatus::Truncated("pixel data ends before the last row");
  } else {
    // Run-length data into an index plane (stored rows from the bottom), then out.
    std::vector<std::uint8_t> plane(size_t(W * H), 0);
    const bool r8 = h.compression == dibRLE8;
    std::int64_t x = 0, r = 0, p = 0;
    bool ended = false;
    auto put = [&](std::uint8_t v) {
      if (x < W && r < H)
        plane[size_t(r * W + x)] = v;
      ++x;
    };
    while (r < H) {
      if (p + 2 > present)
        break;
      const std::uint8_t n = bits[p], v = bits[p + 1];
      p += 2;
      if (n > 0) {
        for (int i = 0; i < n; ++i) put(r8 ? v : std::uint8_t(i & 1 ? v & 15 : v >> 4));
        continue;
      }
      if (v == 0) {  // end of line
        ++r;
        x = 0;
      } else if (v == 1) {  // end of bitmap
        ended = true;
        break;
      } else if (v == 2) {  // delta
        if (p + 2 > present)
          break;
        x += bits[p];
        r += bits[p + 1];
        p += 2;
      } else {  // absolute run of v pixels
        const std::int64_t bytes = r8 ? v : (v + 1) / 2;
        const std::int64_t avail = std::min(bytes, present - p);
        for (std::int64_t i = 0; i < v && (r8 ? i : i / 2) < avail; ++i)
          put(r8 ? bits[p + i] : std::uint8_t(i & 1 ? bits[p + i / 2] & 15 : bits[p + i / 2] >> 4));
        if (avail < bytes)
          break;
        p += bytes + (bytes & 1);
      }
    }
    if (r >= H)
      ended = true;
    for (std::int64_t y = 0; y < H; ++y) {
      std::uint8_t* d = out.RowPointer(std::int32_t(y));
      std::memset(d, 0, size_t(out.RowLength()));
      putIndexRow(d, plane.data() + (H - 1 - y) * W);
    }
    if (!ended)
      status = TVlStatus::Truncated("run-length data ends before the end of the bitmap");
  }
  out.RowPointer(0);

  if (wantAlpha) {
    const bool allZero = std::all_of(alpha.begin(), alpha.end(), [](std::uint8_t a) { return a == 0; });
    const bool allFull = std::all_of(alpha.begin(), alpha.end(), [](std::uint8_t a) { return a == 255; });
    if (!allZero && !allFull) {
      TVlBitmap* a = out.AlphaChannel();
      for (std::int64_t y = 0; y < H; ++y) std::memcpy(a->RowPointer(std::int32_t(y)), alpha.data() + y * W, size_t(W));
      a->RecheckAlphaFull();
    }
  }
  VL_TRY(image.AssignImage(out));
  return status;
}

TVlStatus ReadPackedDib(const std::uint8_t* data, std::size_t size, TVlBitmap& image, const TVlDibOptions& o) {
  TVlDibHeader h;
  VL_TRY(ParseDibHeader(data, size, h));
  return DecodeDibPixels(h, data + h.tableEnd, size - std::size_t(h.tableEnd), image, o);
}

TVlStatus ReadBmpBlock(const std::uint8_t* data, std::size_t size, TVlBitmap& image, const TVlDibOptions& o) {
  if (!data || size < 14)
    return TVlStatus::Truncated("BMP file header cut short");
  if (data[0] != 'B' || data[1] != 'M')
    return TVlStatus::BadData("not a BMP file");
  TVlDibHeader h;
  VL_TRY(ParseDibHeader(data + 14, size - 14, h));
  std::int64_t off = Get32(data + 10);
  if (off < 14 + h.tableEnd)
    off = 14 + h.tableEnd;  // 0 or pointing into the header: the rows follow the table
  if (off > std::int64_t(size))
    return TVlStatus::Truncated("pixel data offset beyond the block");
  return DecodeDibPixels(h, data + off, size - std::size_t(off), image, o);
}

namespace {

// Header, table and rows of an image (1, 8 or 24 bits per pixel); `spare` bytes are appended.
std::vector<std::uint8_t> BuildDib(TVlBitmap& src, double dpi, std::size_t prefix, std::size_t spare,
                                   std::int64_t& tableBytesOut) {
  TVlBitmap converted;
  TVlBitmap* img = &src;
  const TVlPixelFormat f = src.PixelFormat();
  if (f != vl1g && f != vl8p && f != vl8g && f != vl24RGB) {
    if (!converted.AssignImage(src).ok() || !converted.ConvertToFormat(vl24RGB).ok())
      return {};
    img = &converted;
  }
  const std::int64_t W = img->Width(), H = img->Height();
  const int bpp = img->PixelFormat() == vl1g ? 1 : img->PixelFormat() == vl24RGB ? 24 : 8;
  const std::int64_t entries = bpp == 1 ? 2 : bpp == 8 ? 256 : 0;
  const std::int64_t rowBytes = (W * bpp + 31) / 32 * 4;
  const std::int64_t tableBytes = entries * 4;
  const std::int64_t total = std::int64_t(prefix) + 40 + tableBytes + rowBytes * H + std::int64_t(spare);
  if (!CheckBufferSize(total).ok())
    return {};
  std::vector<std::uint8_t> out;
  try {
    out.assign(size_t(total), 0);
  } catch (const std::bad_alloc&) {
    return {};
  }
  std::uint8_t* p = out.data() + prefix;
  const double ppm = dpi * 39.3700787;
  const std::int32_t res = ppm > 0 && ppm < 2e9 ? std::int32_t(ppm) : 0;
  Put32(p, 40);
  Put32(p + 4, std::uint32_t(W));
  Put32(p + 8, std::uint32_t(H));
  Put16(p + 12, 1);
  Put16(p + 14, std::uint16_t(bpp));
  Put32(p + 24, std::uint32_t(res));
  Put32(p + 28, std::uint32_t(res));
  std::uint8_t* t = p + 40;
  if (bpp == 1) {
    std::memset(t + 4, 255, 4);  // entry 0 black, entry 1 white
  } else if (bpp == 8) {
    for (int i = 0; i < 256; ++i) {
      TVlRGB c{std::uint8_t(i), std::uint8_t(i), std::uint8_t(i)};
      if (img->PixelFormat() == vl8p)
        img->PaletteColor(i, c);
      t[4 * i] = c.b, t[4 * i + 1] = c.g, t[4 * i + 2] = c.r;
    }
  }
  std::uint8_t* rows = t + tableBytes;
  const std::int64_t used = (W * bpp + 7) / 8;
  const std::uint8_t mode = img->accessMode;
  img->accessMode = 1;
  for (std::int64_t y = 0; y < H; ++y) {
    std::uint8_t* d = rows + (H - 1 - y) * rowBytes;  // bottom row first
    std::memcpy(d, img->RowPointer(std::int32_t(y)), size_t(used));
    if (bpp == 1 && W % 8)
      d[used - 1] &= std::uint8_t(0xFF << (8 - W % 8));
  }
  img->accessMode = mode;
  tableBytesOut = tableBytes;
  return out;
}

}  // namespace

std::vector<std::uint8_t> WritePackedDib(TVlBitmap& image, double dpi) {
  if (image.IsEmpty())
    return {};
  std::int64_t table = 0;
  return BuildDib(image, dpi, 0, 4, table);
}

std::vector<std::uint8_t> WriteBmpFile(TVlBitmap& image, double dpi) {
  if (image.IsEmpty())
    return {};
  std::int64_t table = 0;
  std::vector<std::uint8_t> out = BuildDib(image, dpi, 14, 0, table);
  if (out.empty())
    return out;
  out[0] = 'B';
  out[1] = 'M';
  Put32(out.data() + 2, std::uint32_t(std::min<std::size_t>(out.size(), 0xFFFFFFFFu)));
  Put32(out.data() + 10, std::uint32_t(14 + 40 + table));
  return out;
}
