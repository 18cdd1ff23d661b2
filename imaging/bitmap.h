// TVlBitmap: the one raster container, and TVlMask, the selection mask.
//
// A bitmap owns rows of pixels in one of ten formats, an optional 256-entry palette and an
// optional 8-bit alpha plane. Where the rows live is its own decision:
//   vlInMemory  one block, rows bottom-up (row y at base + rowLength * (height - 1 - y)),
//               the first row 32-byte aligned;
//   vlTempFile  a delete-on-close temporary file, rows top-down; only the row returned by the
//               latest RowPointer() is valid (use PinRow() to hold several);
//   vlTBitmap   the display block: top-down rows, 32-bit aligned, that the view wraps as a
//               QImage without copying (vl1g, vl8p, vl8g, vl24RGB only; vl16g is kept as vl8g).
// Images above `fileThreshold` bytes go to a temporary file automatically.
//
// Pixel rows: row 0 is the top; vl1g has the most significant bit first and a set bit is
// white; vl24RGB bytes are blue, green, red; vlRGB48 samples are red, green, blue; vl16g and
// vlRGB48 samples are little-endian; vlCMYK bytes are 255 minus the ink.
//
// Every allocation goes through the size ceilings of imaging/limits.h and reports failure as a
// status instead of throwing.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "imaging/status.h"

class TVlStream;
class TVlTempFile;

enum TVlPixelFormat : std::uint8_t {
  vlNone = 0,
  vl1g = 1,
  vl8p = 2,
  vl8g = 3,
  vl16g = 4,
  vl24RGB = 5,
  vl32f = 6,
  vlCMYK = 7,
  vlRGB48 = 8,
  vlCIELab = 9,
};

enum TVlLocation : std::uint8_t {
  vlInMemory = 0,
  vlTempFile = 1,
  vlTBitmap = 2,
};

// Bits per pixel and channels of a format (0 for vlNone and unknown values).
int VlBitsPerPixel(TVlPixelFormat f);
int VlChannels(TVlPixelFormat f);
const char* VlPixelFormatName(TVlPixelFormat f);

// One palette entry or pixel colour, in the byte order blue, green, red.
struct TVlRGB {
  std::uint8_t b = 0, g = 0, r = 0;
  friend bool operator==(const TVlRGB&, const TVlRGB&) = default;
};

// A colour value as the program passes it around: 0x00BBGGRR (red in the low byte).
using TVlColor = std::uint32_t;
constexpr TVlColor VlColor(std::uint8_t r, std::uint8_t g, std::uint8_t b) {
  return TVlColor(r) | TVlColor(g) << 8 | TVlColor(b) << 16;
}
constexpr TVlRGB VlColorToRGB(TVlColor c) { return {std::uint8_t(c >> 16), std::uint8_t(c >> 8), std::uint8_t(c)}; }
constexpr TVlColor VlRGBToColor(TVlRGB c) { return VlColor(c.r, c.g, c.b); }
constexpr TVlColor clBlack = 0x000000;
constexpr TVlColor clWhite = 0xFFFFFF;

// The luma weights of gray = (wr * R + wg * G + wb * B) div 100, process-wide, 21/71/8 at start.
struct TVlLumaWeights {
  int r = 21, g = 71, b = 8;
};
TVlLumaWeights& VlLumaWeights();
inline int VlGray(int r, int g, int b) {
  const TVlLumaWeights& w = VlLumaWeights();
  return (w.r * r + w.g * g + w.b * b) / 100;
}
inline int VlGray(TVlRGB c) { return VlGray(c.r, c.g, c.b); }

// Display mapping values used only when the view draws 16-bit, float or 48-bit images.
struct TVlDisplayParams {
  double low = 0.0, high = 0.0;
  std::array<std::uint8_t, 16> extra{};
  std::uint8_t flag = 0;
  std::int32_t contrast = 0;
};

class TVlMask;

class TVlBaseBitmap {
 public:
  virtual ~TVlBaseBitmap() = default;
  virtual std::uint8_t* RowPointer(std::int32_t y) = 0;
  virtual std::int32_t BitsPerPixel() const = 0;
  virtual std::int32_t Height() const = 0;
  virtual std::int32_t Width() const = 0;
  virtual TVlPixelFormat PixelFormat() const = 0;
  virtual std::int32_t RowLength() const = 0;
  // Entry i as blue, green, red; an out-of-range index leaves `out` unchanged.
  virtual void PaletteColor(std::int32_t i, TVlRGB& out) const = 0;
  // Ignored for i outside 0 .. PaletteUsed() - 1.
  virtual void SetPaletteColor(std::int32_t i, TVlRGB c) = 0;
  virtual std::int32_t PaletteUsed() const = 0;
  virtual TVlStatus AllocateImage(std::int32_t width, std::int32_t height, TVlPixelFormat format) = 0;
};

class TVlBitmap final : public TVlBaseBitmap {
 public:
  TVlBitmap();
  TVlBitmap(std::int32_t width, std::int32_t height, TVlPixelFormat format);  // allocates (check IsEmpty)
  ~TVlBitmap() override;
  TVlBitmap(const TVlBitmap&) = delete;
  TVlBitmap& operator=(const TVlBitmap&) = delete;

  // ---- geometry and rows ----
  std::uint8_t* RowPointer(std::int32_t y) override;
  const std::uint8_t* RowPointer(std::int32_t y) const { return const_cast<TVlBitmap*>(this)->RowPointer(y); }
  std::uint8_t* PinRow(std::int32_t y);
  void UnpinRow(std::int32_t y);
  std::int32_t BitsPerPixel() const override { return bitsPerPixel_; }
  std::int32_t Channels() const { return channels_; }
  std::int32_t Height() const override { return height_; }
  std::int32_t Width() const override { return width_; }
  TVlPixelFormat PixelFormat() const override { return pixelFormat_; }
  std::int32_t RowLength() const override { return rowLength_; }
  TVlLocation Location() const { return location_; }
  std::int32_t RowAlignBits() const { return rowAlignBits_; }
  bool IsAlphaPlane() const { return isAlphaPlane_; }
  // True when width, height, rowLength or bitsPerPixel is 0.
  bool IsEmpty() const { return width_ == 0 || height_ == 0 || rowLength_ == 0 || bitsPerPixel_ == 0; }
  // For vlTBitmap: the first (top) row and the distance between rows, for wrapping in a QImage.
  std::uint8_t* DisplayBits() { return location_ == vlTBitmap ? display_ : nullptr; }

  // ---- palette ----
  void PaletteColor(std::int32_t i, TVlRGB& out) const override;
  void SetPaletteColor(std::int32_t i, TVlRGB c) override;
  std::int32_t PaletteUsed() const override { return paletteUsed_; }
  TVlRGB* Palette() { return palette_.get(); }  // 256 entries, or null
  const TVlRGB* Palette() const { return palette_.get(); }

  // ---- storage ----
  // Creates storage for width x height pixels of `format`; pixels are undefined afterwards.
  // Does nothing when the arguments equal the current ones and no assignment happened since.
  TVlStatus AllocateImage(std::int32_t width, std::int32_t height, TVlPixelFormat format) override;
  void FreeImage(bool freeAlpha = true);
  // Copies size, format, rows, palette, alphaFull, bilevelMethod and the alpha plane.
  TVlStatus AssignImage(const TVlBitmap& source);
  // Like AssignImage, but keeps this bitmap's alpha plane and bilevelMethod; nothing for an empty source.
  TVlStatus CopyImage(const TVlBitmap& source);
  TVlStatus ChangeLocation(TVlLocation location);
  TVlStatus SetRowAlignment(std::int32_t bits);
  // Adopts a caller's bottom-up row block (32-bit aligned rows) as vlInMemory storage; the caller keeps it.
  TVlStatus AttachBuffer(std::uint8_t* data, std::int32_t width, std::int32_t height, TVlPixelFormat format);

  // ---- conversion ----
  TVlStatus ConvertToFormat(TVlPixelFormat format);
  // This bitmap has its target format and the source's size; fills it from the source
  // (nothing when the sizes differ). The source loses its alpha plane to this bitmap.
  TVlStatus ConvertPixelsFrom(TVlBitmap& source);

  // ---- canvas and areas ----
  TVlStatus SetWidthKeep(std::int32_t width);
  TVlStatus SetHeightKeep(std::int32_t height);
  // Anchors: 0 left/top, 1 centre, 2 right/bottom. `fill` as for FillImage.
  TVlStatus ResizeCanvas(std::int32_t newWidth, std::int32_t newHeight, int hAnchor, int vAnchor, double fill,
                         std::uint8_t alphaFill);
  // vl1g: bits set when value != 0; vl8p/vl8g/vl16g/vl32f: the sample value; colour formats:
  // value is a TVlColor.
  void FillImage(double value);
  // Inclusive rectangle, clipped; changes nothing when empty. Does not touch alphaFull.
  void FillArea(std::int32_t x1, std::int32_t y1, std::int32_t x2, std::int32_t y2, double value);
  void CopyArea(TVlBitmap& destination, std::int32_t sx, std::int32_t sy, std::int32_t w, std::int32_t h,
                std::int32_t dx, std::int32_t dy);
  void MergeAlphaArea(TVlBitmap& destination, std::int32_t sx, std::int32_t sy, std::int32_t w, std::int32_t h,
                      std::int32_t dx, std::int32_t dy);
  TVlRGB PixelAsRGB(std::int32_t x, std::int32_t y);
  bool IsAllGray();

  // ---- alpha plane ----
  TVlBitmap* AlphaChannel();  // created on first request, filled with 255
  bool HasAlpha() const { return isAlphaPlane_ || alpha_ != nullptr; }
  std::uint8_t AlphaAt(std::int32_t x, std::int32_t y);
  void SetAlphaAt(std::int32_t x, std::int32_t y, std::uint8_t v);
  void DropAlpha(bool blend, TVlColor colour);
  void FreeAlpha() { alpha_.reset(); }
  bool AlphaFull() const { return alphaFull_; }
  void SetAlphaFull(bool v) { alphaFull_ = v; }
  void RecheckAlphaFull();
  void AlphaFromMask(const TVlMask* mask);
  void MaskFromImage(TVlMask& mask);

  // ---- raw snapshot ----
  bool WriteRawSnapshot(TVlStream& target);
  std::vector<std::uint8_t> WriteRawSnapshot();
  // Validates every field before it allocates; on failure returns false with the bitmap untouched.
  bool ReadRawSnapshot(TVlStream& source);
  bool ReadRawSnapshot(const std::uint8_t* data, std::int64_t size);
  std::int64_t RawSnapshotSize() const;

  // ---- settings (fields of the design) ----
  std::uint8_t accessMode = 3;      // temporary-file rows: read 1, write 2, both 3
  std::uint8_t bilevelMethod = 1;   // into vl1g: 0 ordered dither, 1 threshold at the mean gray
  std::int32_t quantizeColors = 256;
  std::uint8_t memoryKind = 2;      // carried; every block comes from the heap here
  std::int64_t fileThreshold;       // images of more bytes go to a temporary file
  TVlDisplayParams display;

  // Process-wide override of fileThreshold for new bitmaps (-1: not set).
  static std::int64_t& DefaultFileThreshold();

 private:
  struct Pinned {
    std::int32_t y;
    std::unique_ptr<std::uint8_t[]> buf;
  };
  TVlStatus Allocate(std::int32_t width, std::int32_t height, TVlPixelFormat format, std::int32_t alignBits);
  void ReleaseRowBuffer();
  void WriteBackRow(std::int32_t y, const std::uint8_t* buf);
  void ReadRow(std::int32_t y, std::uint8_t* buf) const;
  void MoveStorageTo(TVlBitmap& other);
  void CopyRowsFrom(const TVlBitmap& source);

  std::unique_ptr<TVlTempFile> file_;
  std::unique_ptr<std::uint8_t[]> rowBuf_;
  std::int32_t rowBufY_ = -1;
  std::vector<Pinned> pinned_;
  std::unique_ptr<TVlRGB[]> palette_;
  std::int32_t paletteUsed_ = 0;
  std::unique_ptr<TVlBitmap> alpha_;
  std::unique_ptr<std::uint8_t[]> block_;  // owned memory block (vlInMemory, vlTBitmap)
  std::uint8_t* base_ = nullptr;           // first byte of the aligned rows
  std::uint8_t* display_ = nullptr;        // vlTBitmap: top row
  std::int32_t width_ = 0, height_ = 0, bitsPerPixel_ = 0, channels_ = 0, rowLength_ = 0;
  TVlPixelFormat pixelFormat_ = vlNone;
  bool isAlphaPlane_ = false;
  TVlLocation location_ = vlTempFile;
  bool alphaFull_ = false;
  bool externalBlock_ = false;
  std::int32_t rowAlignBits_ = 32;
  bool needsAllocation_ = true;
};

// The selection mask: 1 or 8 bits per pixel, rows bottom-up, zero-filled on allocation.
class TVlMask {
 public:
  TVlMask() = default;
  TVlStatus Allocate(std::int32_t width, std::int32_t height, std::int32_t bitsPerPixel);
  // Keeps the top rows and left columns that still fit; clips the bounding box.
  TVlStatus Resize(std::int32_t width, std::int32_t height);
  void Clear();

  std::int32_t Width() const { return width_; }
  std::int32_t Height() const { return height_; }
  std::int32_t BitsPerPixel() const { return bitsPerPixel_; }
  std::int32_t RowLength() const { return rowLength_; }
  std::uint8_t* RowPointer(std::int32_t y) { return rows_.data() + std::size_t(rowLength_) * std::size_t(height_ - 1 - y); }
  const std::uint8_t* RowPointer(std::int32_t y) const { return const_cast<TVlMask*>(this)->RowPointer(y); }

  // 0 outside the mask; 1-bit masks give 0 or 1.
  std::uint8_t GetPixel(std::int32_t x, std::int32_t y) const;
  // Ignored outside; a non-zero value widens the bounding box.
  void SetPixel(std::int32_t x, std::int32_t y, std::uint8_t v);
  // Bounding box of non-zero pixels; an empty mask has left = top = INT32_MAX, right = bottom = 0.
  std::int32_t left = INT32_MAX, top = INT32_MAX, right = 0, bottom = 0;
  bool full = false;
  bool IsEmpty() const { return left > right || top > bottom; }

 private:
  std::vector<std::uint8_t> rows_;
  std::int32_t width_ = 0, height_ = 0, bitsPerPixel_ = 0, rowLength_ = 0;
};
