#include "app/gui/imageconv.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "imaging/bitmap.h"

namespace {

QImage CopyRows(TVlBitmap& b, QImage::Format format) {
  QImage img(b.Width(), b.Height(), format);
  if (img.isNull())
    return img;
  const std::int64_t rowBytes = std::min<std::int64_t>(img.bytesPerLine(), (std::int64_t(b.Width()) * b.BitsPerPixel() + 7) / 8);
  for (std::int32_t y = 0; y < b.Height(); ++y) {
    const std::uint8_t* src = b.RowPointer(y);
    if (src)
      std::memcpy(img.scanLine(y), src, static_cast<std::size_t>(rowBytes));
    else
      std::memset(img.scanLine(y), 0xFF, static_cast<std::size_t>(img.bytesPerLine()));
  }
  return img;
}

}  // namespace

QImage VlToQImage(TVlBitmap& b) {
  if (b.IsEmpty())
    return {};
  switch (b.PixelFormat()) {
    case vl1g: {
      QImage img = CopyRows(b, QImage::Format_Mono);
      img.setColorTable({qRgb(0, 0, 0), qRgb(255, 255, 255)});
      return img;
    }
    case vl8p: {
      QImage img = CopyRows(b, QImage::Format_Indexed8);
      QVector<QRgb> table(256);
      for (int i = 0; i < 256; ++i) {
        TVlRGB c;
        b.PaletteColor(i, c);
        table[i] = qRgb(c.r, c.g, c.b);
      }
      img.setColorTable(table);
      return img;
    }
    case vl8g:
      return CopyRows(b, QImage::Format_Grayscale8);
    case vl24RGB:
      return CopyRows(b, QImage::Format_BGR888);
    default: {
      TVlBitmap copy;
      if (!copy.AssignImage(b).ok() || !copy.ConvertToFormat(vl24RGB).ok())
        return {};
      return CopyRows(copy, QImage::Format_BGR888);
    }
  }
}

namespace {

// One source row as 0xFFRRGGBB values.
void FetchRow(const QImage& src, int y, std::vector<QRgb>& out) {
  const int w = src.width();
  out.resize(static_cast<std::size_t>(w));
  const uchar* line = src.constScanLine(y);
  switch (src.format()) {
    case QImage::Format_Mono: {
      const QRgb c0 = src.color(0), c1 = src.colorCount() > 1 ? src.color(1) : qRgb(255, 255, 255);
      for (int x = 0; x < w; ++x)
        out[static_cast<std::size_t>(x)] = (line[x >> 3] >> (7 - (x & 7))) & 1 ? c1 : c0;
      break;
    }
    case QImage::Format_Indexed8: {
      const QVector<QRgb> table = src.colorTable();
      for (int x = 0; x < w; ++x)
        out[static_cast<std::size_t>(x)] = line[x] < table.size() ? table[line[x]] : qRgb(0, 0, 0);
      break;
    }
    case QImage::Format_Grayscale8:
      for (int x = 0; x < w; ++x)
        out[static_cast<std::size_t>(x)] = qRgb(line[x], line[x], line[x]);
      break;
    case QImage::Format_BGR888:
      for (int x = 0; x < w; ++x)
        out[static_cast<std::size_t>(x)] = qRgb(line[3 * x + 2], line[3 * x + 1], line[3 * x]);
      break;
    case QImage::Format_RGB32:
    case QImage::Format_ARGB32:
      std::memcpy(out.data(), line, static_cast<std::size_t>(w) * 4);
      break;
    default:
      for (int x = 0; x < w; ++x)
        out[static_cast<std::size_t>(x)] = src.pixel(x, y);
      break;
  }
}

}  // namespace

QImage VlScaleForScreen(const QImage& src, int width, int height, bool smooth) {
  if (src.isNull() || width < 1 || height < 1)
    return {};
  const int W = src.width(), H = src.height();
  QImage out(width, height, QImage::Format_RGB32);
  std::vector<QRgb> row;
  // Source column x belongs to destination column x * width / W (boxes of at least one pixel).
  std::vector<int> colOf(static_cast<std::size_t>(W));
  for (int x = 0; x < W; ++x)
    colOf[static_cast<std::size_t>(x)] = static_cast<int>(std::int64_t(x) * width / W);
  if (!smooth || width >= W || height >= H) {
    std::vector<int> srcCol(static_cast<std::size_t>(width));
    for (int dx = 0; dx < width; ++dx)
      srcCol[static_cast<std::size_t>(dx)] = static_cast<int>(std::int64_t(dx) * W / width);
    for (int dy = 0; dy < height; ++dy) {
      FetchRow(src, static_cast<int>(std::int64_t(dy) * H / height), row);
      QRgb* d = reinterpret_cast<QRgb*>(out.scanLine(dy));
      for (int dx = 0; dx < width; ++dx)
        d[dx] = row[static_cast<std::size_t>(srcCol[static_cast<std::size_t>(dx)])];
    }
    return out;
  }
  std::vector<std::uint32_t> r(static_cast<std::size_t>(width)), g(r.size()), b(r.size()), n(r.size());
  int sy = 0;
  for (int dy = 0; dy < height; ++dy) {
    std::fill(r.begin(), r.end(), 0);
    std::fill(g.begin(), g.end(), 0);
    std::fill(b.begin(), b.end(), 0);
    std::fill(n.begin(), n.end(), 0);
    const int end = static_cast<int>(std::int64_t(dy + 1) * H / height);
    for (; sy < std::max(end, sy + 1) && sy < H; ++sy) {
      FetchRow(src, sy, row);
      for (int x = 0; x < W; ++x) {
        const std::size_t c = static_cast<std::size_t>(colOf[static_cast<std::size_t>(x)]);
        const QRgb p = row[static_cast<std::size_t>(x)];
        r[c] += qRed(p);
        g[c] += qGreen(p);
        b[c] += qBlue(p);
        ++n[c];
      }
    }
    QRgb* d = reinterpret_cast<QRgb*>(out.scanLine(dy));
    for (int dx = 0; dx < width; ++dx) {
      const std::uint32_t k = std::max<std::uint32_t>(n[static_cast<std::size_t>(dx)], 1);
      d[dx] = qRgb(static_cast<int>(r[static_cast<std::size_t>(dx)] / k), static_cast<int>(g[static_cast<std::size_t>(dx)] / k),
                   static_cast<int>(b[static_cast<std::size_t>(dx)] / k));
    }
  }
  return out;
}
