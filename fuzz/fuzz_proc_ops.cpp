// Fuzz target: every operation of the processing object on small bitmaps of every pixel format,
// with parameters from the input, plus undo, redo and the clipboard round trip.
//
// Input: format, width, height, flags (selection, file-held image, file-held undo states),
// the selection rectangle, up to eight operations of four bytes each (operation, three
// parameters), then pixel bytes (repeated to fill the rows).
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "imaging/limits.h"
#include "proc/canvas.h"
#include "proc/clipboard.h"
#include "proc/proc.h"

namespace {

const TVlPixelFormat kFormats[] = {vl1g, vl8p, vl8g, vl16g, vl24RGB, vl32f, vlCMYK, vlRGB48, vlCIELab};
const double kAngles[] = {90, -90, 180, -180, 270, -270, 360, 45, -45, 135, 0.001, 44.9995, 1e-9, 89.9999, 1000.25, 0};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 8)
    return 0;
  TVlSizeLimits limits;
  limits.maxPixels = std::int64_t(1) << 20;
  limits.maxBytes = std::int64_t(64) << 20;
  TVlScopedSizeLimits scoped(limits);

  const TVlPixelFormat format = kFormats[data[0] % 9];
  const int W = 1 + data[1] % 48, H = 1 + data[2] % 48;
  const std::uint8_t flags = data[3];
  TVlSimpleView view;
  if (flags & 2)
    view.image.fileThreshold = 0;  // rows in a temporary file
  if (!view.image.AllocateImage(W, H, format).ok())
    return 0;
  std::size_t pos = 8;
  std::size_t opCount = std::min<std::size_t>(8, (flags >> 4) + 1);
  const std::size_t opsAt = pos;
  pos += opCount * 4;
  // Pixels (and palette) from the rest of the input.
  const std::uint8_t* px = pos < size ? data + pos : data;
  const std::size_t pxn = pos < size ? size - pos : size;
  std::size_t k = 0;
  for (int y = 0; y < H; ++y) {
    std::uint8_t* r = view.image.RowPointer(y);
    for (int i = 0; i < view.image.RowLength(); ++i) r[i] = px[k++ % pxn];
    if (format == vl32f)
      for (int x = 0; x < W; ++x) {
        float f = float(r[4 * x]) / 255.0f;
        std::memcpy(r + 4 * x, &f, 4);
      }
  }
  if (view.image.Palette())
    for (int i = 0; i < 256; ++i)
      view.image.Palette()[i] = {px[(3 * i) % pxn], px[(3 * i + 1) % pxn], px[(3 * i + 2) % pxn]};
  if (flags & 8)
    view.image.SetAlphaAt(0, 0, data[4]);
  if (flags & 1)
    view.SelectRect(data[4] % (W + 2) - 1, data[5] % (H + 2) - 1, data[6] % (W + 2) - 1, data[7] % (H + 2) - 1);

  TVlProc proc(&view);
  proc.SetUndoLimit(3);
  if (flags & 4)
    proc.undoMemoryBudget = 0;  // undo states in temporary files
  TVlMemoryClipboard clip;

  for (std::size_t i = 0; i < opCount && opsAt + 4 * i + 3 < size; ++i) {
    const std::uint8_t* o = data + opsAt + 4 * i;
    const std::uint8_t a = o[1], b = o[2], c = o[3];
    switch (o[0] % 18) {
      case 0: {
        const double angle = (a & 4) ? kAngles[b % 16] : double(std::int16_t(b << 8 | c)) / 100.0;
        proc.Rotate(a & 1, (a & 2) ? -1 : std::int64_t(VlColor(b, c, a)), angle);
        break;
      }
      case 1:
        proc.Flip(a % 3);
        break;
      case 2:
        proc.Crop(a % 64 - 8, b % 64 - 8, a % 64 - 8 + c % 64 - 8, b % 64 + c % 32 - 8);
        break;
      case 3:
        proc.ImageResize(a % 70 - 2, b % 70 - 2, c % 3, (c / 3) % 4);
        break;
      case 4:
        proc.Clear();
        break;
      case 5:
        proc.TrimBorders(a % 8);
        break;
      case 6:
        proc.Negative();
        break;
      case 7:
        proc.ConvertToGray();
        break;
      case 8:
        proc.AutoContrast();
        break;
      case 9:
        proc.HistEqualize({a, b, c}, {c, b, a});
        break;
      case 10:
        proc.ConvertToBW_FloyedSteinberg();
        break;
      case 11:
        proc.WhiteBalance_AutoWhite();
        break;
      case 12:
        proc.AutoSharp(std::int8_t(a), b / 255.0 * (c & 1 ? 1 : 0.1));
        break;
      case 13:
        proc.Blur(a / 16.0 - (b & 1));
        break;
      case 14:
        proc.CropSel();
        break;
      case 15:
        switch (a % 4) {
          case 0:
            proc.RecordRedoState(1), proc.ApplyUndo(0), proc.DropLastUndo();
            break;
          case 1:
            proc.RecordUndoState(1), proc.ApplyRedo(0), proc.DropLastRedo();
            break;
          case 2:
            proc.ApplyUndo(b % 5 - 1);
            break;
          default:
            proc.ClearUndoHistory(), proc.ClearRedoHistory();
            break;
        }
        break;
      case 16:
        proc.CopyImageToClipboard(clip, a & 1);
        if (b & 1)
          clip.items.erase(clip.items.begin());
        proc.PasteFromClipboard(clip);
        break;
      default:
        proc.Rotate(a & 1, -1, kAngles[b % 6]);
        break;
    }
    TVlBitmap& img = view.image;
    if (img.IsEmpty())
      __builtin_trap();  // no operation leaves the page empty
    // Keep the page small so that every input stays quick.
    if (img.Width() > 96 || img.Height() > 96)
      (void)VlCropImage(img, {0, 0, 95, 95});
  }
  return 0;
}
