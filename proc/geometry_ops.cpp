// Geometric operations of TVlProc: Rotate, Flip, CropSel, Crop, ImageResize, Clear, TrimBorders;
// and the crop and trim helpers of canvas.h.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "imaging/bitops.h"
#include "proc/canvas.h"
#include "proc/proc.h"
#include "proc/rotate.h"
#include "proc/turns.h"

// ===================================================================== helpers

void VlZeroRows(TVlBitmap& image) {
  for (std::int32_t y = 0; y < image.Height(); ++y) std::memset(image.RowPointer(y), 0, size_t(image.RowLength()));
  image.RowPointer(0);
}

void VlRowAsRGB(TVlBitmap& image, std::int32_t y, TVlRGB* out) {
  const std::int32_t W = image.Width();
  const std::uint8_t* r = image.RowPointer(y);
  if (!r)
    return;
  switch (image.PixelFormat()) {
    case vl1g:
      for (std::int32_t x = 0; x < W; ++x) {
        std::uint8_t v = VlGetBit(r, x) ? 255 : 0;
        out[x] = {v, v, v};
      }
      return;
    case vl8g:
      for (std::int32_t x = 0; x < W; ++x) out[x] = {r[x], r[x], r[x]};
      return;
    case vl8p: {
      const TVlRGB* pal = image.Palette();
      for (std::int32_t x = 0; x < W; ++x) out[x] = pal ? pal[r[x]] : TVlRGB{};
      return;
    }
    case vl24RGB:
      std::memcpy(out, r, size_t(W) * 3);
      return;
    default:
      for (std::int32_t x = 0; x < W; ++x) out[x] = image.PixelAsRGB(x, y);
  }
}

TVlStatus VlCropImage(TVlBitmap& image, TVlRect rect) {
  if (image.IsEmpty())
    return TVlStatus::Ok();
  rect.left = std::max(rect.left, 0);
  rect.top = std::max(rect.top, 0);
  rect.right = std::min(rect.right, image.Width() - 1);
  rect.bottom = std::min(rect.bottom, image.Height() - 1);
  if (rect.IsEmpty())
    return TVlStatus::Ok();
  if (rect.left == 0 && rect.top == 0 && rect.right == image.Width() - 1 && rect.bottom == image.Height() - 1)
    return TVlStatus::Ok();
  TVlBitmap out;
  out.bilevelMethod = image.bilevelMethod;
  out.quantizeColors = image.quantizeColors;
  out.display = image.display;
  if (image.Location() == vlTempFile)
    VL_TRY(out.ChangeLocation(vlTempFile));
  VL_TRY(out.AllocateImage(rect.Width(), rect.Height(), image.PixelFormat()));
  if (image.Palette() && out.Palette())
    std::memcpy(out.Palette(), image.Palette(), 256 * sizeof(TVlRGB));
  VlZeroRows(out);  // the copy does not reach the padding bits
  image.CopyArea(out, rect.left, rect.top, rect.Width(), rect.Height(), 0, 0);
  if (image.HasAlpha()) {
    TVlBitmap* a = out.AlphaChannel();
    image.AlphaChannel()->CopyArea(*a, rect.left, rect.top, rect.Width(), rect.Height(), 0, 0);
    a->RecheckAlphaFull();
  }
  out.SetAlphaFull(image.AlphaFull());
  return image.AssignImage(out);
}

bool VlTrimBordersRect(TVlBitmap& image, std::int32_t divisor, TVlRect& rect) {
  if (image.IsEmpty() || divisor < 1)
    return false;
  const std::int32_t W = image.Width(), H = image.Height();
  std::vector<std::int64_t> rowSum(size_t(H), 0), colSum(size_t(W), 0);
  std::vector<TVlRGB> rgb(static_cast<size_t>(W));
  const std::uint8_t mode = image.accessMode;
  image.accessMode = 1;
  for (std::int32_t y = 0; y < H; ++y) {
    VlRowAsRGB(image, y, rgb.data());
    std::int64_t s = 0;
    for (std::int32_t x = 0; x < W; ++x) {
      const int v = (rgb[size_t(x)].r + rgb[size_t(x)].g + rgb[size_t(x)].b) / 3;
      s += v;
      colSum[size_t(x)] += v;
    }
    rowSum[size_t(y)] = s;
  }
  image.accessMode = mode;
  std::int64_t total = 0;
  for (std::int64_t v : rowSum) total += v;
  const std::int64_t rowMean = total / H, colMean = total / W;
  const std::int64_t rowTol = rowMean / divisor, colTol = colMean / divisor;
  auto colTypical = [&](std::int32_t x) { return std::llabs(colSum[size_t(x)] - colMean) < colTol; };
  auto rowTypical = [&](std::int32_t y) { return std::llabs(rowSum[size_t(y)] - rowMean) < rowTol; };

  TVlRect r;
  r.left = W - 1;
  for (std::int32_t x = 0; x <= W - 2; ++x)
    if (colTypical(x) && colTypical(x + 1)) {
      r.left = x;
      break;
    }
  r.right = 0;
  for (std::int32_t x = W - 1; x >= 1; --x)
    if (colTypical(x) && colTypical(x - 1)) {
      r.right = x;
      break;
    }
  r.top = H - 1;
  for (std::int32_t y = 0; y <= H - 2; ++y)
    if (rowTypical(y) && rowTypical(y + 1)) {
      r.top = y;
      break;
    }
  r.bottom = 0;
  for (std::int32_t y = H - 1; y >= 1; --y)
    if (rowTypical(y) && rowTypical(y - 1)) {
      r.bottom = y;
      break;
    }
  rect = r;
  return true;
}

// ===================================================================== operations

void TVlProc::Rotate(bool antialias, std::int64_t background, double angle) {
  if (angle == 0 || !std::isfinite(angle))
    return;  // nothing at all, not even an undo record
  TVlProcFrame frame(*this, "Rotate " + VlShortestDecimal(angle));
  if (!frame.Active())
    return;
  const TVlColor bg = background < 0 ? Background() : TVlColor(background & 0xFFFFFF);
  (void)VlRotate(frame.Image(), antialias, bg, angle, frame.ProgressHandler());
}

void TVlProc::Flip(int direction) {
  if (direction != 0 && direction != 1)
    return;
  TVlProcFrame frame(*this, "Flip");
  if (!frame.Active())
    return;
  (void)VlMirror(frame.Image(), direction == 0);
}

void TVlProc::CropSel() {
  const TVlMask* sel = view_ ? view_->Selection() : nullptr;
  if (sel && sel->IsEmpty())
    return;  // an empty selection: nothing to crop to
  TVlProcFrame frame(*this, "CropSel");
  if (!frame.Active() || !sel)
    return;  // without a selection the image stays as it is (the undo record is made)
  TVlBitmap& img = frame.Image();
  TVlRect r;
  r.left = std::max(sel->left, 0);
  r.top = std::max(sel->top, 0);
  r.right = std::min(sel->right, img.Width() - 1);
  r.bottom = std::min(sel->bottom, img.Height() - 1);
  if (r.IsEmpty())
    return;
  // The bounding rectangle filled with the background; pixels inside the mask copied in.
  TVlBitmap out;
  out.bilevelMethod = img.bilevelMethod;
  out.quantizeColors = img.quantizeColors;
  if (!out.AllocateImage(r.Width(), r.Height(), img.PixelFormat()).ok())
    return;
  if (img.Palette() && out.Palette())
    std::memcpy(out.Palette(), img.Palette(), 256 * sizeof(TVlRGB));
  VlZeroRows(out);
  out.FillImage(VlFillValue(out, Background()));
  const bool alpha = img.HasAlpha();
  TVlBitmap* outAlpha = alpha ? out.AlphaChannel() : nullptr;
  const int bytes = img.BitsPerPixel() / 8;
  for (std::int32_t y = 0; y < r.Height(); ++y) {
    const std::uint8_t* s = img.RowPointer(r.top + y);
    std::uint8_t* d = out.RowPointer(y);
    for (std::int32_t x = 0; x < r.Width(); ++x) {
      if (!sel->GetPixel(r.left + x, r.top + y))
        continue;
      if (img.PixelFormat() == vl1g)
        VlSetBit(d, x, VlGetBit(s, r.left + x));
      else
        std::memcpy(d + std::int64_t(x) * bytes, s + std::int64_t(r.left + x) * bytes, size_t(bytes));
    }
    if (alpha) {
      const std::uint8_t* sa = img.AlphaChannel()->RowPointer(r.top + y);
      std::uint8_t* da = outAlpha->RowPointer(y);
      for (std::int32_t x = 0; x < r.Width(); ++x)
        if (sel->GetPixel(r.left + x, r.top + y))
          da[x] = sa[r.left + x];
    }
  }
  out.RowPointer(0);
  if (alpha)
    outAlpha->RecheckAlphaFull();
  frame.Replace(out);
}

void TVlProc::Crop(std::int32_t left, std::int32_t top, std::int32_t right, std::int32_t bottom) {
  if (right < left || bottom < top)
    return;  // an inverted rectangle crops nothing
  TVlBitmap* img = Image();
  if (img && !img->IsEmpty()) {
    // A rectangle entirely outside the image is empty as well.
    if (right < 0 || bottom < 0 || left >= img->Width() || top >= img->Height())
      return;
  }
  TVlProcFrame frame(*this, "Crop");
  if (!frame.Active())
    return;
  (void)VlCropImage(frame.Image(), {left, top, right, bottom});
}

void TVlProc::ImageResize(std::int32_t newWidth, std::int32_t newHeight, int hAnchor, int vAnchor) {
  if (newWidth <= 0 || newHeight <= 0)
    return;
  TVlProcFrame frame(*this, "ImageResize " + std::to_string(newWidth) + "," + std::to_string(newHeight));
  if (!frame.Active())
    return;
  TVlBitmap& img = frame.Image();
  if (img.Width() < 2 && img.Height() < 2)
    img.FillImage(VlFillValue(img, Background()));
  (void)img.ResizeCanvas(newWidth, newHeight, hAnchor, vAnchor, VlFillValue(img, Background()), 255);
}

void TVlProc::Clear() {
  TVlProcFrame frame(*this, "Clear");
  if (!frame.Active())
    return;
  frame.Image().FillImage(VlFillValue(frame.Image(), Background()));
}

void TVlProc::TrimBorders(std::int32_t divisor) {
  TVlBitmap* img = Image();
  if (!img || img->IsEmpty())
    return;
  TVlRect r;
  if (!VlTrimBordersRect(*img, divisor, r))
    return;
  Crop(r.left, r.top, r.right, r.bottom);  // an inverted rectangle leaves the page as it is
}
