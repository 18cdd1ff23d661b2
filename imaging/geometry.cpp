#include "imaging/geometry.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "imaging/bitops.h"

namespace {

// Rows of an in-memory bitmap can be held at once; a file-held one is read row by row.
struct RowAccess {
  TVlBitmap& b;
  std::vector<std::uint8_t*> rows;
  explicit RowAccess(TVlBitmap& bmp) : b(bmp) {
    if (b.Location() != vlTempFile) {
      rows.resize(size_t(b.Height()));
      for (int y = 0; y < b.Height(); ++y)
        rows[size_t(y)] = b.RowPointer(y);
    }
  }
  std::uint8_t* operator[](int y) { return rows.empty() ? b.RowPointer(y) : rows[size_t(y)]; }
};

TVlStatus TurnOne(TVlBitmap& src, TVlBitmap& dst, int turns) {
  const int W = src.Width(), H = src.Height();
  const bool swap = turns != 2;
  dst.quantizeColors = src.quantizeColors;
  VL_TRY(dst.AllocateImage(swap ? H : W, swap ? W : H, src.PixelFormat()));
  if (src.Palette() && dst.Palette())
    std::memcpy(dst.Palette(), src.Palette(), 256 * sizeof(TVlRGB));
  const bool bits = src.PixelFormat() == vl1g;
  const int bpp = src.BitsPerPixel() / 8;
  RowAccess s(src);
  for (int dy = 0; dy < dst.Height(); ++dy) {
    std::uint8_t* d = dst.RowPointer(dy);
    if (bits)
      std::memset(d, 0, size_t(dst.RowLength()));
    for (int dx = 0; dx < dst.Width(); ++dx) {
      int sx, sy;
      switch (turns) {
        case 1: sx = W - 1 - dy, sy = dx; break;  // counter-clockwise: (x, y) -> (y, W-1-x)
        case 2: sx = W - 1 - dx, sy = H - 1 - dy; break;
        default: sx = dy, sy = H - 1 - dx; break;  // clockwise: (x, y) -> (H-1-y, x)
      }
      const std::uint8_t* r = s[sy];
      if (bits) {
        if (VlGetBit(r, sx))
          d[dx >> 3] |= std::uint8_t(0x80 >> (dx & 7));
      } else {
        std::memcpy(d + std::int64_t(dx) * bpp, r + std::int64_t(sx) * bpp, size_t(bpp));
      }
    }
  }
  return TVlStatus::Ok();
}

}  // namespace

TVlStatus VlFlip(TVlBitmap& image, bool horizontal) {
  if (image.IsEmpty())
    return TVlStatus::Ok();
  const int W = image.Width(), H = image.Height();
  if (horizontal) {
    const int bpp = image.BitsPerPixel() / 8;
    std::vector<std::uint8_t> tmp(static_cast<size_t>(image.RowLength()));
    for (int y = 0; y < H; ++y) {
      std::uint8_t* r = image.RowPointer(y);
      std::memcpy(tmp.data(), r, tmp.size());
      if (image.PixelFormat() == vl1g) {
        for (int x = 0; x < W; ++x)
          VlSetBit(r, x, VlGetBit(tmp.data(), W - 1 - x));
      } else {
        for (int x = 0; x < W; ++x)
          std::memcpy(r + std::int64_t(x) * bpp, tmp.data() + std::int64_t(W - 1 - x) * bpp, size_t(bpp));
      }
    }
  } else {
    std::vector<std::uint8_t> a(static_cast<size_t>(image.RowLength())), b(a.size());
    for (int y = 0; y < H / 2; ++y) {
      std::memcpy(a.data(), image.RowPointer(y), a.size());
      std::memcpy(b.data(), image.RowPointer(H - 1 - y), b.size());
      std::memcpy(image.RowPointer(y), b.data(), b.size());
      std::memcpy(image.RowPointer(H - 1 - y), a.data(), a.size());
    }
  }
  image.RowPointer(0);  // a file-held image writes its last row back on the next access
  if (image.HasAlpha() && !image.IsAlphaPlane())
    VL_TRY(VlFlip(*image.AlphaChannel(), horizontal));
  return TVlStatus::Ok();
}

TVlStatus VlRotateQuarter(TVlBitmap& image, int quarterTurns) {
  int turns = ((quarterTurns % 4) + 4) % 4;
  if (turns == 0 || image.IsEmpty())
    return TVlStatus::Ok();
  TVlBitmap out;
  out.fileThreshold = image.fileThreshold;
  out.bilevelMethod = image.bilevelMethod;
  VL_TRY(TurnOne(image, out, turns));
  if (image.HasAlpha() && !image.IsAlphaPlane()) {
    TVlBitmap* a = image.AlphaChannel();
    VL_TRY(VlRotateQuarter(*a, quarterTurns));
    VL_TRY(out.AlphaChannel()->AssignImage(*a));
    out.AlphaChannel()->SetAlphaFull(a->AlphaFull());
  }
  return image.AssignImage(out);
}

TVlStatus ApplyOrientation(TVlBitmap& image, int orientation) {
  switch (orientation) {
    case 2: return VlFlip(image, true);
    case 3: return VlRotateQuarter(image, 2);
    case 4: return VlFlip(image, false);
    case 5: VL_TRY(VlFlip(image, true)); return VlRotateQuarter(image, 1);
    case 6: return VlRotateQuarter(image, -1);
    case 7: VL_TRY(VlFlip(image, true)); return VlRotateQuarter(image, -1);
    case 8: return VlRotateQuarter(image, 1);
    default: return TVlStatus::Ok();
  }
}
