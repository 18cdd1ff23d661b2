#include "imaging/io/thumbnail.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

void VlFitThumbnailSize(std::int32_t width, std::int32_t height, std::int32_t boxWidth, std::int32_t boxHeight,
                        bool enlarge, std::int32_t& outWidth, std::int32_t& outHeight) {
  boxWidth = std::max(1, boxWidth);
  boxHeight = std::max(1, boxHeight);
  if (width < 1 || height < 1) {
    outWidth = boxWidth, outHeight = boxHeight;
    return;
  }
  if (!enlarge && width <= boxWidth && height <= boxHeight) {
    outWidth = width, outHeight = height;
    return;
  }
  // Compare boxWidth / width with boxHeight / height exactly in 64 bits.
  if (std::int64_t(boxWidth) * height <= std::int64_t(boxHeight) * width) {
    outWidth = boxWidth;
    outHeight = static_cast<std::int32_t>(std::max<std::int64_t>(1, std::int64_t(height) * boxWidth / width));
  } else {
    outHeight = boxHeight;
    outWidth = static_cast<std::int32_t>(std::max<std::int64_t>(1, std::int64_t(width) * boxHeight / height));
  }
}

namespace {

struct Spans {
  std::vector<std::int32_t> first, last;  // [first, last) source index per destination index
};

Spans MakeSpans(std::int32_t src, std::int32_t dst) {
  Spans s;
  s.first.resize(static_cast<std::size_t>(dst));
  s.last.resize(static_cast<std::size_t>(dst));
  for (std::int32_t d = 0; d < dst; ++d) {
    auto a = static_cast<std::int32_t>(std::int64_t(d) * src / dst);
    auto b = static_cast<std::int32_t>(std::int64_t(d + 1) * src / dst);
    a = std::min(a, src - 1);
    s.first[static_cast<std::size_t>(d)] = a;
    s.last[static_cast<std::size_t>(d)] = std::max(a + 1, std::min(b, src));
  }
  return s;
}

// Averages the boxes of an 8-bit-per-channel source (vl1g read as 0/255).
void BoxReduce(TVlBitmap& src, TVlBitmap& dst, int channels, bool bilevel) {
  const std::int32_t W = src.Width(), H = src.Height(), w = dst.Width(), h = dst.Height();
  Spans xs = MakeSpans(W, w), ys = MakeSpans(H, h);
  std::vector<std::uint32_t> sum(static_cast<std::size_t>(w) * channels);
  std::vector<std::uint8_t> line(static_cast<std::size_t>(W) * channels);
  for (std::int32_t dy = 0; dy < h; ++dy) {
    std::fill(sum.begin(), sum.end(), 0u);
    const std::int32_t y0 = ys.first[static_cast<std::size_t>(dy)], y1 = ys.last[static_cast<std::size_t>(dy)];
    for (std::int32_t y = y0; y < y1; ++y) {
      const std::uint8_t* row = src.RowPointer(y);
      if (!row)
        continue;
      if (bilevel) {
        for (std::int32_t x = 0; x < W; ++x)
          line[static_cast<std::size_t>(x)] = (row[x >> 3] & (0x80 >> (x & 7))) ? 255 : 0;
        row = line.data();
      }
      for (std::int32_t dx = 0; dx < w; ++dx) {
        const std::int32_t x0 = xs.first[static_cast<std::size_t>(dx)], x1 = xs.last[static_cast<std::size_t>(dx)];
        for (int c = 0; c < channels; ++c) {
          std::uint32_t acc = 0;
          for (std::int32_t x = x0; x < x1; ++x)
            acc += row[static_cast<std::size_t>(x) * channels + c];
          sum[static_cast<std::size_t>(dx) * channels + c] += acc;
        }
      }
    }
    std::uint8_t* out = dst.RowPointer(dy);
    for (std::int32_t dx = 0; dx < w; ++dx) {
      const std::uint32_t n = static_cast<std::uint32_t>(
          (xs.last[static_cast<std::size_t>(dx)] - xs.first[static_cast<std::size_t>(dx)]) * (y1 - y0));
      for (int c = 0; c < channels; ++c)
        out[static_cast<std::size_t>(dx) * channels + c] =
            static_cast<std::uint8_t>((sum[static_cast<std::size_t>(dx) * channels + c] + n / 2) / n);
    }
  }
}

// Top-left pixel of each box, any format of whole bytes per pixel or vl1g.
void PlainStretch(TVlBitmap& src, TVlBitmap& dst) {
  const std::int32_t W = src.Width(), H = src.Height(), w = dst.Width(), h = dst.Height();
  Spans xs = MakeSpans(W, w), ys = MakeSpans(H, h);
  const int bpp = src.BitsPerPixel();
  std::vector<std::uint8_t> row(static_cast<std::size_t>(src.RowLength()));
  std::int32_t loaded = -1;
  for (std::int32_t dy = 0; dy < h; ++dy) {
    const std::int32_t sy = ys.first[static_cast<std::size_t>(dy)];
    if (sy != loaded) {
      if (const std::uint8_t* r = src.RowPointer(sy))
        std::memcpy(row.data(), r, row.size());
      loaded = sy;
    }
    std::uint8_t* out = dst.RowPointer(dy);
    if (bpp == 1) {
      std::memset(out, 0, static_cast<std::size_t>(dst.RowLength()));
      for (std::int32_t dx = 0; dx < w; ++dx) {
        const std::int32_t sx = xs.first[static_cast<std::size_t>(dx)];
        if (row[static_cast<std::size_t>(sx >> 3)] & (0x80 >> (sx & 7)))
          out[dx >> 3] |= static_cast<std::uint8_t>(0x80 >> (dx & 7));
      }
    } else {
      const int bytes = bpp / 8;
      for (std::int32_t dx = 0; dx < w; ++dx)
        std::memcpy(out + static_cast<std::size_t>(dx) * bytes,
                    row.data() + static_cast<std::size_t>(xs.first[static_cast<std::size_t>(dx)]) * bytes,
                    static_cast<std::size_t>(bytes));
    }
  }
}

}  // namespace

TVlStatus VlReduceImage(TVlBitmap& source, std::int32_t width, std::int32_t height, int filter, TVlBitmap& target) {
  if (source.IsEmpty())
    return TVlStatus::BadData("empty image");
  if (width < 1 || height < 1)
    return TVlStatus::BadData("thumbnail size below 1");
  const TVlPixelFormat f = source.PixelFormat();
  const bool box = filter != 0 && (f == vl1g || f == vl8g || f == vl24RGB);
  const TVlPixelFormat out = box && f == vl1g ? vl8g : f;
  target.FreeImage(true);
  VL_TRY(target.AllocateImage(width, height, out));
  if (target.IsEmpty())
    return TVlStatus::LimitExceeded("cannot allocate the thumbnail");
  if (box)
    BoxReduce(source, target, f == vl24RGB ? 3 : 1, f == vl1g);
  else
    PlainStretch(source, target);
  if (out == vl8p)
    for (int i = 0; i < 256; ++i) {
      TVlRGB c{};
      source.PaletteColor(i, c);
      target.SetPaletteColor(i, c);
    }
  target.bilevelMethod = source.bilevelMethod;
  return TVlStatus::Ok();
}

TVlStatus VlMakeThumbnail(TVlBitmap& source, std::int32_t width, std::int32_t height, int filter, TVlBitmap& target) {
  if (!source.HasAlpha() || source.IsAlphaPlane())
    return VlReduceImage(source, width, height, filter, target);
  // Blend a copy over gray, then reduce the colours and the alpha plane separately.
  TVlBitmap blended;
  VL_TRY(blended.AssignImage(source));
  if (blended.PixelFormat() != vl24RGB)
    VL_TRY(blended.ConvertToFormat(vl24RGB));
  blended.DropAlpha(true, VlColor(128, 128, 128));
  VL_TRY(VlReduceImage(blended, width, height, filter, target));
  TVlBitmap* a = source.AlphaChannel();
  TVlBitmap reducedAlpha;
  VL_TRY(VlReduceImage(*a, width, height, filter == 0 ? 9 : filter, reducedAlpha));
  TVlBitmap* ta = target.AlphaChannel();
  if (!ta)
    return TVlStatus::LimitExceeded("cannot allocate the thumbnail alpha plane");
  for (std::int32_t y = 0; y < height; ++y)
    std::memcpy(ta->RowPointer(y), reducedAlpha.RowPointer(y),
                static_cast<std::size_t>(std::min(ta->RowLength(), reducedAlpha.RowLength())));
  target.SetAlphaFull(source.AlphaFull());
  return TVlStatus::Ok();
}

TVlStatus VlMakePlaceholder(std::int32_t width, std::int32_t height, TVlBitmap& target) {
  width = std::max(1, width);
  height = std::max(1, height);
  target.FreeImage(true);
  VL_TRY(target.AllocateImage(width, height, vl24RGB));
  if (target.IsEmpty())
    return TVlStatus::LimitExceeded("cannot allocate the placeholder");
  target.FillImage(clWhite);
  // The glyph: a hook (a ring from 160 degrees over the top down to the bottom), a stem below
  // it and a dot, in a box of 0.7 x height centred in the image.
  const double s = 0.7 * std::min(height, width * 3 / 2);
  const double top = (height - s) / 2.0;
  auto inGlyph = [&](double x, double y, double cx) {
    const double cy = top + 0.27 * s, rOut = 0.25 * s, rIn = 0.14 * s, t = 0.11 * s;
    const double dx = x - cx, dy = y - cy;
    const double d = std::sqrt(dx * dx + dy * dy);
    const double angle = std::atan2(-dy, dx) * 180.0 / 3.14159265358979;
    if (d >= rIn && d <= rOut && angle >= -90.0 && angle <= 160.0)
      return true;
    if (std::fabs(x - cx) <= t / 2 && y >= cy + rIn && y <= top + 0.72 * s)
      return true;
    const double ddx = x - cx, ddy = y - (top + 0.9 * s);
    return ddx * ddx + ddy * ddy <= (0.075 * s) * (0.075 * s);
  };
  const double cx = width / 2.0;
  for (int pass = 0; pass < 2; ++pass) {
    const double off = pass == 0 ? 3.0 : 0.0;
    const TVlRGB ink = pass == 0 ? TVlRGB{128, 128, 128} : TVlRGB{255, 0, 0};
    for (std::int32_t y = 0; y < height; ++y) {
      std::uint8_t* row = target.RowPointer(y);
      for (std::int32_t x = 0; x < width; ++x)
        if (inGlyph(x + 0.5 - off, y + 0.5 - off, cx)) {
          row[x * 3] = ink.b, row[x * 3 + 1] = ink.g, row[x * 3 + 2] = ink.r;
        }
    }
  }
  return TVlStatus::Ok();
}
