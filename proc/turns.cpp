// Exact quarter turns, half turns and mirrors (see turns.h for the method).
#include "proc/turns.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "imaging/bitops.h"
#include "imaging/limits.h"

std::uint64_t VlTranspose8x8(std::uint64_t x) {
  // Three delta swaps: 1 x 1 blocks across the diagonal of each 2 x 2 block, then 2 x 2 blocks
  // of each 4 x 4 block, then the 4 x 4 blocks.
  std::uint64_t t;
  t = (x ^ (x >> 7)) & 0x00AA00AA00AA00AAull;
  x = x ^ t ^ (t << 7);
  t = (x ^ (x >> 14)) & 0x0000CCCC0000CCCCull;
  x = x ^ t ^ (t << 14);
  t = (x ^ (x >> 28)) & 0x00000000F0F0F0F0ull;
  x = x ^ t ^ (t << 28);
  return x;
}

std::int64_t& VlTurnBandBudget() {
  static std::int64_t budget = std::int64_t(128) << 20;
  return budget;
}

namespace {

// Groups of source rows, by pointer for images in memory and by copy for file-held ones.
class SourceRows {
 public:
  explicit SourceRows(TVlBitmap& b) : b_(b), file_(b.Location() == vlTempFile) {
    if (!file_) {
      ptrs_.resize(size_t(b.Height()));
      for (std::int32_t y = 0; y < b.Height(); ++y) ptrs_[size_t(y)] = b.RowPointer(y);
    }
  }
  // Makes rows first .. first + count - 1 available (count <= group size given to Reserve).
  void Load(std::int32_t first, std::int32_t count) {
    first_ = first;
    if (!file_)
      return;
    const size_t len = size_t(b_.RowLength());
    if (buf_.size() < len * size_t(count))
      buf_.resize(len * size_t(count));
    for (std::int32_t i = 0; i < count; ++i) std::memcpy(buf_.data() + len * size_t(i), b_.RowPointer(first + i), len);
  }
  const std::uint8_t* Row(std::int32_t y) const {
    if (!file_)
      return ptrs_[size_t(y)];
    return buf_.data() + size_t(b_.RowLength()) * size_t(y - first_);
  }

 private:
  TVlBitmap& b_;
  bool file_;
  std::vector<const std::uint8_t*> ptrs_;
  std::vector<std::uint8_t> buf_;
  std::int32_t first_ = 0;
};

// A band of destination rows y0 .. y1 - 1: the rows themselves for images in memory, a buffer
// written back by Flush() for file-held ones.
class DestBand {
 public:
  explicit DestBand(TVlBitmap& b) : b_(b), file_(b.Location() == vlTempFile) {
    const std::int64_t len = b.RowLength();
    bandRows_ = file_ ? std::int32_t(std::min<std::int64_t>(
                            std::max<std::int64_t>(VlTurnBandBudget() / std::max<std::int64_t>(len, 1), 8), b.Height()))
                      : b.Height();
    if (!file_) {
      // Rows are written pixel by pixel; the padding at their ends is cleared here.
      const std::int64_t used = (std::int64_t(b.Width()) * b.BitsPerPixel() + 7) / 8;
      ptrs_.resize(size_t(b.Height()));
      for (std::int32_t y = 0; y < b.Height(); ++y) {
        ptrs_[size_t(y)] = b.RowPointer(y);
        std::memset(ptrs_[size_t(y)] + used, 0, size_t(len - used));
      }
    }
  }
  std::int32_t BandRows() const { return bandRows_; }
  void Begin(std::int32_t y0, std::int32_t y1) {
    y0_ = y0;
    y1_ = y1;
    if (file_) {
      buf_.assign(size_t(b_.RowLength()) * size_t(y1 - y0), 0);
      ptrs_.resize(size_t(y1 - y0));
      for (std::int32_t y = y0; y < y1; ++y)
        ptrs_[size_t(y - y0)] = buf_.data() + size_t(b_.RowLength()) * size_t(y - y0);
    }
  }
  std::uint8_t* Row(std::int32_t y) { return file_ ? ptrs_[size_t(y - y0_)] : ptrs_[size_t(y)]; }
  void Flush() {
    if (!file_)
      return;
    for (std::int32_t y = y0_; y < y1_; ++y) std::memcpy(b_.RowPointer(y), Row(y), size_t(b_.RowLength()));
    b_.RowPointer(0);
  }

 private:
  TVlBitmap& b_;
  bool file_;
  std::int32_t bandRows_;
  std::vector<std::uint8_t*> ptrs_;
  std::vector<std::uint8_t> buf_;
  std::int32_t y0_ = 0, y1_ = 0;
};

// 1-bit quarter turn. ccw: destination row y is source column W-1-y, destination column x is
// source row x. cw: destination row y is source column y, destination column x is source row H-1-x.
void TurnBits(TVlBitmap& src, TVlBitmap& dst, bool ccw) {
  const std::int32_t W = src.Width(), H = src.Height();
  SourceRows s(src);
  DestBand d(dst);
  const std::int32_t groups = (H + 7) / 8;  // destination bytes per row
  for (std::int32_t y0 = 0; y0 < W; y0 += d.BandRows()) {
    const std::int32_t y1 = std::min(W, y0 + d.BandRows());
    d.Begin(y0, y1);
    // Source columns feeding this band.
    const std::int32_t c0 = ccw ? W - y1 : y0, c1 = ccw ? W - 1 - y0 : y1 - 1;
    const std::int32_t b0 = c0 >> 3, b1 = c1 >> 3;
    for (std::int32_t g = 0; g < groups; ++g) {
      // The source rows of destination byte g, most significant bit first.
      std::int32_t rows[8];
      std::int32_t lo = H, hi = -1;
      for (int k = 0; k < 8; ++k) {
        std::int32_t r = ccw ? 8 * g + k : H - 1 - 8 * g - k;
        rows[k] = (r >= 0 && r < H) ? r : -1;
        if (rows[k] >= 0)
          lo = std::min(lo, r), hi = std::max(hi, r);
      }
      s.Load(lo, hi - lo + 1);
      const std::uint8_t* rp[8];
      for (int k = 0; k < 8; ++k) rp[k] = rows[k] >= 0 ? s.Row(rows[k]) : nullptr;
      for (std::int32_t bc = b0; bc <= b1; ++bc) {
        std::uint64_t m = 0;
        for (int k = 0; k < 8; ++k) m = m << 8 | (rp[k] ? rp[k][bc] : 0u);
        m = VlTranspose8x8(m);
        for (int j = 0; j < 8; ++j) {
          const std::int32_t col = 8 * bc + j;
          if (col >= W)
            break;
          const std::int32_t y = ccw ? W - 1 - col : col;
          if (y < y0 || y >= y1)
            continue;
          d.Row(y)[g] = std::uint8_t(m >> (56 - 8 * j));
        }
      }
    }
    d.Flush();
  }
}

// Byte-format quarter turn in tiles of kTile x kTile pixels.
template <int B>
void TurnBytes(TVlBitmap& src, TVlBitmap& dst, bool ccw) {
  constexpr std::int32_t kTile = 64;
  const std::int32_t W = src.Width(), H = src.Height();
  SourceRows s(src);
  DestBand d(dst);
  for (std::int32_t y0 = 0; y0 < W; y0 += d.BandRows()) {
    const std::int32_t y1 = std::min(W, y0 + d.BandRows());
    d.Begin(y0, y1);
    const std::int32_t c0 = ccw ? W - y1 : y0, c1 = ccw ? W - y0 : y1;  // source columns [c0, c1)
    for (std::int32_t i0 = 0; i0 < H; i0 += kTile) {
      const std::int32_t i1 = std::min(H, i0 + kTile);
      s.Load(i0, i1 - i0);
      for (std::int32_t dc0 = c0; dc0 < c1; dc0 += kTile) {
        const std::int32_t dc1 = std::min(c1, dc0 + kTile);
        for (std::int32_t c = dc0; c < dc1; ++c) {
          const std::int32_t y = ccw ? W - 1 - c : c;
          std::uint8_t* drow = d.Row(y);
          for (std::int32_t i = i0; i < i1; ++i) {
            const std::int32_t x = ccw ? i : H - 1 - i;
            std::memcpy(drow + std::int64_t(x) * B, s.Row(i) + std::int64_t(c) * B, B);
          }
        }
      }
    }
    d.Flush();
  }
}

// Reverses the pixels of a 1-bit row of w pixels in place.
void ReverseBitsRow(std::uint8_t* row, std::int32_t w, std::vector<std::uint8_t>& tmp) {
  const std::int32_t n = (w + 7) / 8;
  const int pad = 8 * n - w;
  tmp.resize(size_t(n) + 1);
  for (std::int32_t i = 0; i < n; ++i) tmp[size_t(i)] = kVlReverseBits[row[n - 1 - i]];
  tmp[size_t(n)] = 0;
  if (pad == 0) {
    std::memcpy(row, tmp.data(), size_t(n));
    return;
  }
  // The first `pad` bits are the old padding: shift them out.
  for (std::int32_t i = 0; i < n; ++i) row[i] = std::uint8_t(tmp[size_t(i)] << pad | tmp[size_t(i) + 1] >> (8 - pad));
}

template <int B>
void ReversePixels(std::uint8_t* row, std::int32_t w) {
  for (std::int32_t a = 0, b = w - 1; a < b; ++a, --b) {
    std::uint8_t t[B];
    std::memcpy(t, row + std::int64_t(a) * B, B);
    std::memmove(row + std::int64_t(a) * B, row + std::int64_t(b) * B, B);
    std::memcpy(row + std::int64_t(b) * B, t, B);
  }
}

void ReverseRow(std::uint8_t* row, std::int32_t w, int bitsPerPixel, std::vector<std::uint8_t>& tmp) {
  switch (bitsPerPixel) {
    case 1:
      ReverseBitsRow(row, w, tmp);
      break;
    case 8:
      std::reverse(row, row + w);
      break;
    case 16:
      ReversePixels<2>(row, w);
      break;
    case 24:
      ReversePixels<3>(row, w);
      break;
    case 32:
      ReversePixels<4>(row, w);
      break;
    case 48:
      ReversePixels<6>(row, w);
      break;
    default:
      break;
  }
}

void CopySettings(const TVlBitmap& from, TVlBitmap& to) {
  to.bilevelMethod = from.bilevelMethod;
  to.quantizeColors = from.quantizeColors;
  to.display = from.display;
  to.fileThreshold = from.fileThreshold;
}

TVlStatus TurnPlane(TVlBitmap& src, TVlBitmap& dst, int turns) {
  const bool ccw = turns == 1;
  switch (src.BitsPerPixel()) {
    case 1:
      TurnBits(src, dst, ccw);
      break;
    case 8:
      TurnBytes<1>(src, dst, ccw);
      break;
    case 16:
      TurnBytes<2>(src, dst, ccw);
      break;
    case 24:
      TurnBytes<3>(src, dst, ccw);
      break;
    case 32:
      TurnBytes<4>(src, dst, ccw);
      break;
    case 48:
      TurnBytes<6>(src, dst, ccw);
      break;
    default:
      return TVlStatus::Unsupported("pixel size cannot be turned");
  }
  return TVlStatus::Ok();
}

// Half turn in place: rows swapped top for bottom, each reversed.
void HalfTurnInPlace(TVlBitmap& b) {
  const std::int32_t H = b.Height(), W = b.Width();
  const size_t len = size_t(b.RowLength());
  std::vector<std::uint8_t> top(len), bottom(len), tmp;
  for (std::int32_t y = 0; y < (H + 1) / 2; ++y) {
    const std::int32_t z = H - 1 - y;
    std::memcpy(top.data(), b.RowPointer(y), len);
    std::memcpy(bottom.data(), b.RowPointer(z), len);
    ReverseRow(top.data(), W, b.BitsPerPixel(), tmp);
    if (z != y)
      ReverseRow(bottom.data(), W, b.BitsPerPixel(), tmp);
    std::memcpy(b.RowPointer(y), bottom.data(), len);
    if (z != y)
      std::memcpy(b.RowPointer(z), top.data(), len);
    else
      std::memcpy(b.RowPointer(y), top.data(), len);
  }
  b.RowPointer(0);
}

}  // namespace

TVlStatus VlTurnInto(TVlBitmap& source, TVlBitmap& destination, int quarterTurns) {
  const int turns = ((quarterTurns % 4) + 4) % 4;
  if (&source == &destination)
    return VlTurn(source, quarterTurns);
  if (source.IsEmpty()) {
    destination.FreeImage(true);
    return TVlStatus::Ok();
  }
  CopySettings(source, destination);
  if (turns == 0 || turns == 2) {
    VL_TRY(destination.AssignImage(source));
    if (turns == 2) {
      HalfTurnInPlace(destination);
      if (destination.HasAlpha())
        HalfTurnInPlace(*destination.AlphaChannel());
    }
    return TVlStatus::Ok();
  }
  VL_TRY(destination.AllocateImage(source.Height(), source.Width(), source.PixelFormat()));
  if (source.Palette() && destination.Palette())
    std::memcpy(destination.Palette(), source.Palette(), 256 * sizeof(TVlRGB));
  VL_TRY(TurnPlane(source, destination, turns));
  if (source.HasAlpha() && !source.IsAlphaPlane()) {
    TVlBitmap* sa = source.AlphaChannel();
    TVlBitmap* da = destination.AlphaChannel();
    if (!da->IsEmpty() && !sa->IsEmpty()) {
      VL_TRY(TurnPlane(*sa, *da, turns));
      da->SetAlphaFull(sa->AlphaFull());
    }
  } else {
    destination.FreeAlpha();
  }
  destination.SetAlphaFull(source.AlphaFull());
  return TVlStatus::Ok();
}

TVlStatus VlTurn(TVlBitmap& image, int quarterTurns) {
  const int turns = ((quarterTurns % 4) + 4) % 4;
  if (turns == 0 || image.IsEmpty())
    return TVlStatus::Ok();
  if (turns == 2) {
    HalfTurnInPlace(image);
    if (image.HasAlpha() && !image.IsAlphaPlane())
      HalfTurnInPlace(*image.AlphaChannel());
    return TVlStatus::Ok();
  }
  TVlBitmap out;
  if (image.Location() == vlTempFile)
    VL_TRY(out.ChangeLocation(vlTempFile));
  VL_TRY(VlTurnInto(image, out, turns));
  return image.AssignImage(out);
}

TVlStatus VlMirror(TVlBitmap& image, bool horizontal) {
  if (image.IsEmpty())
    return TVlStatus::Ok();
  const std::int32_t W = image.Width(), H = image.Height();
  const size_t len = size_t(image.RowLength());
  if (horizontal) {
    std::vector<std::uint8_t> row(len), tmp;
    for (std::int32_t y = 0; y < H; ++y) {
      std::uint8_t* r = image.RowPointer(y);
      ReverseRow(r, W, image.BitsPerPixel(), tmp);
    }
  } else {
    std::vector<std::uint8_t> a(len), b(len);
    for (std::int32_t y = 0; y < H / 2; ++y) {
      std::memcpy(a.data(), image.RowPointer(y), len);
      std::memcpy(b.data(), image.RowPointer(H - 1 - y), len);
      std::memcpy(image.RowPointer(y), b.data(), len);
      std::memcpy(image.RowPointer(H - 1 - y), a.data(), len);
    }
  }
  image.RowPointer(0);  // a file-held image writes its last row back
  if (image.HasAlpha() && !image.IsAlphaPlane())
    VL_TRY(VlMirror(*image.AlphaChannel(), horizontal));
  return TVlStatus::Ok();
}
