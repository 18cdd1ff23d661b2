// TVlBitmap storage, row access, conversions, areas, alpha plane and raw snapshot.
//
// Storage: vlInMemory keeps one heap block with the rows bottom-up (the layout of a bottom-up
// device-independent bitmap), vlTempFile a delete-on-close file with the rows top-down and one
// row buffer (plus pinned rows), vlTBitmap a top-down block the view wraps without copying.
// Conversions follow one table (source format x target format); pairs without a rule go
// through vl24RGB, converting the source in place first.
#include "imaging/bitmap.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>

#include "imaging/bitops.h"
#include "imaging/limits.h"
#include "imaging/quantizer.h"
#include "imaging/stream.h"
#include "imaging/tempfile.h"

namespace {

struct FormatInfo {
  int bpp;
  int channels;
  const char* name;
};
constexpr FormatInfo kFormats[10] = {
    {0, 0, "vlNone"},  {1, 1, "vl1g"},   {8, 1, "vl8p"},   {8, 1, "vl8g"},    {16, 1, "vl16g"},
    {24, 3, "vl24RGB"}, {32, 1, "vl32f"}, {32, 4, "vlCMYK"}, {48, 3, "vlRGB48"}, {24, 3, "vlCIELab"},
};

constexpr std::int64_t kDefaultThreshold = 33554432;  // 32 MiB when the system reports nothing
constexpr std::int64_t kChunk = 1048576;

// Half of the available physical memory, re-read at most once a second (reading /proc per
// bitmap would cost more than many small images do).
std::int64_t CurrentFileThreshold() {
  static std::mutex m;
  static std::int64_t cached = -1;
  static std::chrono::steady_clock::time_point when;
  std::lock_guard<std::mutex> lock(m);
  auto now = std::chrono::steady_clock::now();
  if (cached < 0 || now - when > std::chrono::seconds(1)) {
    std::int64_t avail = VlAvailablePhysicalMemory();
    cached = avail > 0 ? avail / 2 : kDefaultThreshold;
    when = now;
  }
  return cached;
}

inline std::uint16_t Get16(const std::uint8_t* p) { return std::uint16_t(p[0] | p[1] << 8); }
inline void Put16(std::uint8_t* p, std::uint32_t v) {
  p[0] = std::uint8_t(v);
  p[1] = std::uint8_t(v >> 8);
}
inline float GetF(const std::uint8_t* p) {
  float f;
  std::memcpy(&f, p, 4);
  return f;
}
inline void PutF(std::uint8_t* p, float f) { std::memcpy(p, &f, 4); }

// Trunc(v * scale) as an integer that wraps like a byte or word store would; NaN gives 0.
inline std::int64_t TruncScaled(double v, double scale) {
  double t = v * scale;
  if (!(t == t))
    return 0;
  if (t > 9.2e18)
    t = 9.2e18;
  if (t < -9.2e18)
    t = -9.2e18;
  return static_cast<std::int64_t>(t);
}

constexpr std::uint8_t kDither[8][8] = {
    {0, 32, 8, 40, 2, 34, 10, 42},  {48, 16, 56, 24, 50, 18, 58, 26}, {12, 44, 4, 36, 14, 46, 6, 38},
    {60, 28, 52, 20, 62, 30, 54, 22}, {3, 35, 11, 43, 1, 33, 9, 41},  {51, 19, 59, 27, 49, 17, 57, 25},
    {15, 47, 7, 39, 13, 45, 5, 37},  {63, 31, 55, 23, 61, 29, 53, 21},
};

// ---- CIELab (sRGB, D65 white 0.95047, 1.0, 1.08883) ----
constexpr double kWhiteX = 0.95047, kWhiteZ = 1.08883;

double LabF(double t) { return t > 0.008856 ? std::cbrt(t) : 7.787 * t + 16.0 / 116.0; }
double LabFInv(double t) {
  double c = t * t * t;
  return c > 0.008856 ? c : (t - 16.0 / 116.0) / 7.787;
}
double Linear(double c) { return c <= 0.03928 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4); }
double Compand(double c) { return c <= 0.0031308 ? 12.92 * c : 1.055 * std::pow(c, 1.0 / 2.4) - 0.055; }
std::int8_t ClampS8(double v) {
  std::int64_t t = TruncScaled(v, 1.0);
  return static_cast<std::int8_t>(std::clamp<std::int64_t>(t, -128, 127));
}

void RGBToLab(TVlRGB c, std::uint8_t* out) {
  double r = Linear(c.r / 255.0), g = Linear(c.g / 255.0), b = Linear(c.b / 255.0);
  double X = 0.412453 * r + 0.35758 * g + 0.180423 * b;
  double Y = 0.212671 * r + 0.71516 * g + 0.072169 * b;
  double Z = 0.019334 * r + 0.119193 * g + 0.950227 * b;
  double fx = LabF(X / kWhiteX), fy = LabF(Y), fz = LabF(Z / kWhiteZ);
  double L = Y > 0.008856 ? 116.0 * fy - 16.0 : 903.3 * Y;
  double a = 500.0 * (fx - fy), bb = 200.0 * (fy - fz);
  // The epsilon keeps white at 255: L* of white is 100 only up to rounding of the matrix sums.
  out[0] = static_cast<std::uint8_t>(std::clamp<std::int64_t>(TruncScaled(L * 255.0 / 100.0 + 1e-9, 1.0), 0, 255));
  out[1] = static_cast<std::uint8_t>(ClampS8(a));
  out[2] = static_cast<std::uint8_t>(ClampS8(bb));
}

TVlRGB LabToRGB(const std::uint8_t* p) {
  double L = p[0] * 100.0 / 255.0;
  double a = static_cast<std::int8_t>(p[1]), b = static_cast<std::int8_t>(p[2]);
  double fy = (L + 16.0) / 116.0, fx = a / 500.0 + fy, fz = fy - b / 200.0;
  double X = LabFInv(fx) * kWhiteX, Y = LabFInv(fy), Z = LabFInv(fz) * kWhiteZ;
  double r = 3.2406 * X - 1.5372 * Y - 0.4986 * Z;
  double g = -0.9689 * X + 1.8758 * Y + 0.0415 * Z;
  double bl = 0.0557 * X - 0.204 * Y + 1.057 * Z;
  auto to8 = [](double c) {
    double v = std::nearbyint(Compand(c) * 255.0);
    if (!(v == v))
      v = 0;
    return static_cast<std::uint8_t>(std::clamp(v, 0.0, 255.0));
  };
  return {to8(bl), to8(g), to8(r)};
}

// ---- CMYK (bytes are 255 minus the ink) ----
void RGBToCMYK(TVlRGB c, std::uint8_t* out) {
  int k = std::max({c.r, c.g, c.b});
  if (k == 0)
    k = 1;
  out[0] = std::uint8_t(c.r * 255 / k);
  out[1] = std::uint8_t(c.g * 255 / k);
  out[2] = std::uint8_t(c.b * 255 / k);
  out[3] = std::uint8_t(k);
}
TVlRGB CMYKToRGB(const std::uint8_t* p) {
  return {std::uint8_t(p[2] * p[3] / 255), std::uint8_t(p[1] * p[3] / 255), std::uint8_t(p[0] * p[3] / 255)};
}

inline int Luma1000x257(int r, int g, int b) { return (212 * r + 713 * g + 75 * b) * 257 / 1000; }

// A copy rectangle clipped to both bitmaps; a negative offset on either side moves both starts
// and shrinks the rectangle.
struct TVlRect {
  std::int64_t SX, SY, W, H, DX, DY;
};
TVlRect ClipCopy(std::int64_t sx, std::int64_t sy, std::int64_t w, std::int64_t h, std::int64_t dx, std::int64_t dy,
                 std::int64_t srcW, std::int64_t srcH, std::int64_t dstW, std::int64_t dstH) {
  if (dx < 0) sx -= dx, w += dx, dx = 0;
  if (dy < 0) sy -= dy, h += dy, dy = 0;
  if (sx < 0) dx -= sx, w += sx, sx = 0;
  if (sy < 0) dy -= sy, h += sy, sy = 0;
  w = std::min({w, srcW - sx, dstW - dx});
  h = std::min({h, srcH - sy, dstH - dy});
  return {sx, sy, w, h, dx, dy};
}
inline double LumaFloat(double r, double g, double b) { return 0.2126 * r + 0.7152 * g + 0.0722 * b; }

}  // namespace

int VlBitsPerPixel(TVlPixelFormat f) { return f < 10 ? kFormats[f].bpp : 0; }
int VlChannels(TVlPixelFormat f) { return f < 10 ? kFormats[f].channels : 0; }
const char* VlPixelFormatName(TVlPixelFormat f) { return f < 10 ? kFormats[f].name : "invalid"; }

TVlLumaWeights& VlLumaWeights() {
  static TVlLumaWeights w;
  return w;
}

std::int64_t& TVlBitmap::DefaultFileThreshold() {
  static std::int64_t v = -1;
  return v;
}

// ===================================================================== construction, storage

TVlBitmap::TVlBitmap() {
  fileThreshold = DefaultFileThreshold() != -1 ? DefaultFileThreshold() : CurrentFileThreshold();
}

TVlBitmap::TVlBitmap(std::int32_t width, std::int32_t height, TVlPixelFormat format) : TVlBitmap() {
  (void)AllocateImage(width, height, format);
}

TVlBitmap::~TVlBitmap() { FreeImage(true); }

void TVlBitmap::FreeImage(bool freeAlpha) {
  if (file_) {
    ReleaseRowBuffer();
    for (auto& p : pinned_)
      if (accessMode & 2)
        WriteBackRow(p.y, p.buf.get());
  }
  pinned_.clear();
  rowBuf_.reset();
  rowBufY_ = -1;
  file_.reset();
  block_.reset();
  base_ = display_ = nullptr;
  externalBlock_ = false;
  palette_.reset();
  paletteUsed_ = 0;
  if (freeAlpha)
    alpha_.reset();
  width_ = height_ = bitsPerPixel_ = channels_ = rowLength_ = 0;
  pixelFormat_ = vlNone;
}

TVlStatus TVlBitmap::AllocateImage(std::int32_t width, std::int32_t height, TVlPixelFormat format) {
  if (!needsAllocation_ && width == width_ && height == height_ && format == pixelFormat_)
    return TVlStatus::Ok();
  return Allocate(width, height, format, rowAlignBits_);
}

TVlStatus TVlBitmap::Allocate(std::int32_t width, std::int32_t height, TVlPixelFormat format, std::int32_t alignBits) {
  FreeImage(true);
  needsAllocation_ = false;
  alphaFull_ = false;
  if (width <= 0 || height <= 0 || format == vlNone)
    return TVlStatus::Ok();
  if (format > vlCIELab)
    return TVlStatus::BadData("unknown pixel format");
  if (location_ == vlTBitmap) {
    alignBits = 32;
    switch (format) {
      case vl32f: width_ = width, height_ = height; return TVlStatus::Unsupported("vl32f pixel format not allowed when Location=vlTBitmap");
      case vlCMYK: width_ = width, height_ = height; return TVlStatus::Unsupported("vlCMYK pixel format not allowed when Location=vlTBitmap");
      case vlRGB48: width_ = width, height_ = height; return TVlStatus::Unsupported("vlRGB48 pixel format not allowed when Location=vlTBitmap");
      case vlCIELab: width_ = width, height_ = height; return TVlStatus::Unsupported("vlCIELab pixel format not allowed when Location=vlTBitmap");
      case vl16g: format = vl8g; break;
      default: break;
    }
  }
  int bpp = kFormats[format].bpp;
  VL_TRY(CheckImageSize(width, height, bpp, alignBits));
  std::int32_t rowLength = *CheckedRowLength(width, bpp, alignBits);
  std::int64_t size = std::int64_t(rowLength) * height;

  TVlLocation loc = location_;
  if (loc == vlTempFile && size < fileThreshold)
    loc = vlInMemory;
  else if (loc == vlInMemory && size > fileThreshold)
    loc = vlTempFile;
  if (loc == vlTempFile) {
    auto f = std::make_unique<TVlTempFile>();
    if (f->Create(size))
      file_ = std::move(f);
    else
      loc = vlInMemory;  // no temporary file: the image stays in memory
  }
  if (loc != vlTempFile) {
    block_.reset(new (std::nothrow) std::uint8_t[static_cast<size_t>(size) + 32]);
    if (!block_)
      return TVlStatus::LimitExceeded("out of memory for the image");
    auto addr = reinterpret_cast<std::uintptr_t>(block_.get());
    std::uint8_t* aligned = block_.get() + ((32 - (addr & 31)) & 31);
    if (loc == vlTBitmap)
      display_ = base_ = aligned;
    else
      base_ = aligned;
  }
  if (format == vl8p) {
    palette_.reset(new TVlRGB[256]());
    paletteUsed_ = 256;
  }
  location_ = loc;
  width_ = width;
  height_ = height;
  bitsPerPixel_ = bpp;
  channels_ = kFormats[format].channels;
  rowLength_ = rowLength;
  rowAlignBits_ = alignBits;
  pixelFormat_ = format;
  return TVlStatus::Ok();
}

// ===================================================================== rows

void TVlBitmap::WriteBackRow(std::int32_t y, const std::uint8_t* buf) {
  if (file_)
    (void)file_->WriteAt(std::int64_t(y) * rowLength_, buf, rowLength_);
}

void TVlBitmap::ReadRow(std::int32_t y, std::uint8_t* buf) const {
  if (file_ && !file_->ReadAt(std::int64_t(y) * rowLength_, buf, rowLength_))
    std::memset(buf, 0, static_cast<size_t>(rowLength_));
}

void TVlBitmap::ReleaseRowBuffer() {
  if (rowBufY_ >= 0 && (accessMode & 2))
    WriteBackRow(rowBufY_, rowBuf_.get());
  rowBufY_ = -1;
}

std::uint8_t* TVlBitmap::RowPointer(std::int32_t y) {
  if (y < 0 || y >= height_ || rowLength_ == 0)
    return nullptr;
  switch (location_) {
    case vlInMemory: return base_ + std::int64_t(rowLength_) * (height_ - 1 - y);
    case vlTBitmap: return display_ + std::int64_t(rowLength_) * y;
    case vlTempFile: break;
  }
  for (auto& p : pinned_)
    if (p.y == y)
      return p.buf.get();
  if (rowBufY_ == y)
    return rowBuf_.get();
  ReleaseRowBuffer();
  if (!rowBuf_)
    rowBuf_.reset(new std::uint8_t[static_cast<size_t>(rowLength_)]());
  if (accessMode & 1)
    ReadRow(y, rowBuf_.get());
  rowBufY_ = y;
  return rowBuf_.get();
}

std::uint8_t* TVlBitmap::PinRow(std::int32_t y) {
  if (location_ != vlTempFile)
    return RowPointer(y);
  if (y < 0 || y >= height_)
    return nullptr;
  for (auto& p : pinned_)
    if (p.y == y)
      return p.buf.get();
  if (rowBufY_ == y)
    ReleaseRowBuffer();  // the pinned copy takes over the row
  Pinned p{y, std::unique_ptr<std::uint8_t[]>(new std::uint8_t[static_cast<size_t>(rowLength_)]())};
  if (accessMode & 1)
    ReadRow(y, p.buf.get());
  pinned_.push_back(std::move(p));
  return pinned_.back().buf.get();
}

void TVlBitmap::UnpinRow(std::int32_t y) {
  if (location_ != vlTempFile)
    return;
  for (auto it = pinned_.begin(); it != pinned_.end(); ++it) {
    if (it->y == y) {
      if (accessMode & 2)
        WriteBackRow(y, it->buf.get());
      pinned_.erase(it);
      return;
    }
  }
}

// ===================================================================== palette

void TVlBitmap::PaletteColor(std::int32_t i, TVlRGB& out) const {
  if (palette_ && i >= 0 && i < 256)
    out = palette_[i];
}

void TVlBitmap::SetPaletteColor(std::int32_t i, TVlRGB c) {
  if (palette_ && i >= 0 && i < paletteUsed_)
    palette_[i] = c;
}

// ===================================================================== assignment

// Copies rows from a bitmap of the same size and format (lengths may differ by alignment).
void TVlBitmap::CopyRowsFrom(const TVlBitmap& source) {
  auto& src = const_cast<TVlBitmap&>(source);
  if (src.file_ && file_ && src.rowLength_ == rowLength_) {
    // Both in files: stream the content in 1 MiB chunks.
    src.ReleaseRowBuffer();
    for (auto& p : src.pinned_)
      src.WriteBackRow(p.y, p.buf.get());
    ReleaseRowBuffer();
    pinned_.clear();
    std::int64_t total = std::int64_t(rowLength_) * height_;
    std::unique_ptr<std::uint8_t[]> chunk(new std::uint8_t[kChunk]);
    for (std::int64_t off = 0; off < total; off += kChunk) {
      std::int64_t n = std::min(kChunk, total - off);
      if (!src.file_->ReadAt(off, chunk.get(), n))
        std::memset(chunk.get(), 0, static_cast<size_t>(n));
      (void)file_->WriteAt(off, chunk.get(), n);
    }
    return;
  }
  std::uint8_t srcMode = src.accessMode, dstMode = accessMode;
  src.accessMode = 1;
  accessMode = 2;
  size_t n = static_cast<size_t>(std::min(rowLength_, src.rowLength_));
  for (std::int32_t y = 0; y < height_; ++y)
    std::memcpy(RowPointer(y), src.RowPointer(y), n);
  ReleaseRowBuffer();
  src.accessMode = srcMode;
  accessMode = dstMode;
}

TVlStatus TVlBitmap::AssignImage(const TVlBitmap& source) {
  if (&source == this)
    return TVlStatus::Ok();
  std::int32_t align = location_ == vlTBitmap ? 32 : source.rowAlignBits_;
  TVlStatus st = Allocate(source.width_, source.height_, source.pixelFormat_, align);
  needsAllocation_ = true;
  if (!st.ok())
    return st;
  if (source.IsEmpty())
    return TVlStatus::Ok();
  CopyRowsFrom(source);
  if (!isAlphaPlane_) {
    if (source.alpha_) {
      alpha_ = std::make_unique<TVlBitmap>();
      alpha_->isAlphaPlane_ = true;
      alpha_->location_ = location_ == vlTBitmap ? vlInMemory : location_;
      alpha_->fileThreshold = fileThreshold;
      VL_TRY(alpha_->AssignImage(*source.alpha_));
    } else {
      alpha_.reset();
    }
  }
  if (source.palette_ && palette_)
    std::memcpy(palette_.get(), source.palette_.get(), 256 * sizeof(TVlRGB));
  alphaFull_ = source.alphaFull_;
  bilevelMethod = source.bilevelMethod;
  return TVlStatus::Ok();
}

TVlStatus TVlBitmap::CopyImage(const TVlBitmap& source) {
  if (source.IsEmpty() || &source == this)
    return TVlStatus::Ok();
  std::unique_ptr<TVlBitmap> keepAlpha = std::move(alpha_);
  std::uint8_t keepBilevel = bilevelMethod;
  std::int32_t align = location_ == vlTBitmap ? 32 : source.rowAlignBits_;
  TVlStatus st = Allocate(source.width_, source.height_, source.pixelFormat_, align);
  needsAllocation_ = true;
  alpha_ = std::move(keepAlpha);
  if (!st.ok())
    return st;
  CopyRowsFrom(source);
  if (source.palette_ && palette_)
    std::memcpy(palette_.get(), source.palette_.get(), 256 * sizeof(TVlRGB));
  alphaFull_ = source.alphaFull_;
  bilevelMethod = keepBilevel;
  return TVlStatus::Ok();
}

// Hands all storage (rows, palette, alpha plane, geometry) to `other`, leaving this empty.
void TVlBitmap::MoveStorageTo(TVlBitmap& other) {
  other.FreeImage(true);
  if (file_) {
    ReleaseRowBuffer();
    for (auto& p : pinned_)
      WriteBackRow(p.y, p.buf.get());
    pinned_.clear();
  }
  other.file_ = std::move(file_);
  other.rowBuf_.reset();
  other.rowBufY_ = -1;
  other.palette_ = std::move(palette_);
  other.paletteUsed_ = paletteUsed_;
  other.alpha_ = std::move(alpha_);
  other.block_ = std::move(block_);
  other.base_ = base_;
  other.display_ = display_;
  other.width_ = width_;
  other.height_ = height_;
  other.bitsPerPixel_ = bitsPerPixel_;
  other.channels_ = channels_;
  other.rowLength_ = rowLength_;
  other.pixelFormat_ = pixelFormat_;
  other.location_ = location_;
  other.alphaFull_ = alphaFull_;
  other.externalBlock_ = externalBlock_;
  other.rowAlignBits_ = rowAlignBits_;
  other.bilevelMethod = bilevelMethod;
  other.quantizeColors = quantizeColors;
  other.fileThreshold = fileThreshold;
  other.needsAllocation_ = false;
  base_ = display_ = nullptr;
  rowBuf_.reset();
  rowBufY_ = -1;
  externalBlock_ = false;
  paletteUsed_ = 0;
  width_ = height_ = bitsPerPixel_ = channels_ = rowLength_ = 0;
  pixelFormat_ = vlNone;
  needsAllocation_ = true;
}

TVlStatus TVlBitmap::ChangeLocation(TVlLocation location) {
  if (location == location_)
    return TVlStatus::Ok();
  if (IsEmpty()) {
    location_ = location;
    needsAllocation_ = true;
    return TVlStatus::Ok();
  }
  TVlBitmap old;
  MoveStorageTo(old);
  location_ = location;
  std::int32_t align = location == vlTBitmap ? 32 : old.rowAlignBits_;
  TVlStatus st = Allocate(old.width_, old.height_, old.pixelFormat_, align);
  needsAllocation_ = true;
  if (!st.ok()) {
    old.MoveStorageTo(*this);  // keep the pixels where they were
    return st;
  }
  if (pixelFormat_ != old.pixelFormat_) {  // vl16g shown as vl8g
    std::unique_ptr<TVlBitmap> a = std::move(old.alpha_);
    VL_TRY(ConvertPixelsFrom(old));
    alpha_ = std::move(a);
  } else {
    CopyRowsFrom(old);
    if (old.palette_ && palette_)
      std::memcpy(palette_.get(), old.palette_.get(), 256 * sizeof(TVlRGB));
    alpha_ = std::move(old.alpha_);
  }
  if (alpha_ && location_ == vlTBitmap)
    (void)alpha_->ChangeLocation(vlInMemory);
  alphaFull_ = old.alphaFull_;
  return TVlStatus::Ok();
}

TVlStatus TVlBitmap::SetRowAlignment(std::int32_t bits) {
  if (bits != 8 && bits != 16 && bits != 32 && bits != 64)
    return TVlStatus::BadData("row alignment must be 8, 16, 32 or 64 bits");
  if (bits == rowAlignBits_ || location_ == vlTBitmap)
    return TVlStatus::Ok();
  needsAllocation_ = true;
  if (IsEmpty()) {
    rowAlignBits_ = bits;
    return TVlStatus::Ok();
  }
  TVlBitmap old;
  MoveStorageTo(old);
  location_ = old.location_;
  TVlStatus st = Allocate(old.width_, old.height_, old.pixelFormat_, bits);
  needsAllocation_ = true;
  if (!st.ok()) {
    old.MoveStorageTo(*this);
    return st;
  }
  CopyRowsFrom(old);
  if (old.palette_ && palette_)
    std::memcpy(palette_.get(), old.palette_.get(), 256 * sizeof(TVlRGB));
  alpha_ = std::move(old.alpha_);
  alphaFull_ = old.alphaFull_;
  return TVlStatus::Ok();
}

TVlStatus TVlBitmap::AttachBuffer(std::uint8_t* data, std::int32_t width, std::int32_t height, TVlPixelFormat format) {
  FreeImage(true);
  needsAllocation_ = true;
  if (!data || format == vlNone || format > vlCIELab)
    return TVlStatus::BadData("no buffer to attach");
  VL_TRY(CheckImageSize(width, height, kFormats[format].bpp, 32));
  width_ = width;
  height_ = height;
  bitsPerPixel_ = kFormats[format].bpp;
  channels_ = kFormats[format].channels;
  rowLength_ = *CheckedRowLength(width, bitsPerPixel_, 32);
  rowAlignBits_ = 32;
  pixelFormat_ = format;
  location_ = vlInMemory;
  base_ = data;
  externalBlock_ = true;
  if (format == vl8p) {
    palette_.reset(new TVlRGB[256]());
    paletteUsed_ = 256;
  }
  return TVlStatus::Ok();
}

// ===================================================================== conversion

namespace {

// One row of any format as colours (the PixelAsRGB rules).
void RowToRGB(const TVlBitmap& b, const std::uint8_t* row, std::int32_t w, TVlRGB* out) {
  const TVlRGB* pal = b.Palette();
  switch (b.PixelFormat()) {
    case vl1g:
      for (std::int32_t x = 0; x < w; ++x) {
        std::uint8_t v = VlGetBit(row, x) ? 255 : 0;
        out[x] = {v, v, v};
      }
      break;
    case vl8p:
      for (std::int32_t x = 0; x < w; ++x)
        out[x] = pal ? pal[row[x]] : TVlRGB{};
      break;
    case vl8g:
      for (std::int32_t x = 0; x < w; ++x)
        out[x] = {row[x], row[x], row[x]};
      break;
    case vl16g:
      for (std::int32_t x = 0; x < w; ++x) {
        std::uint8_t v = row[2 * x + 1];
        out[x] = {v, v, v};
      }
      break;
    case vl24RGB: std::memcpy(out, row, size_t(w) * 3); break;
    case vl32f:
      for (std::int32_t x = 0; x < w; ++x) {
        std::uint8_t v = std::uint8_t(TruncScaled(GetF(row + 4 * x), 255.0));
        out[x] = {v, v, v};
      }
      break;
    case vlCMYK:
      for (std::int32_t x = 0; x < w; ++x)
        out[x] = CMYKToRGB(row + 4 * x);
      break;
    case vlRGB48:
      for (std::int32_t x = 0; x < w; ++x)
        out[x] = {row[6 * x + 5], row[6 * x + 3], row[6 * x + 1]};
      break;
    case vlCIELab:
      for (std::int32_t x = 0; x < w; ++x)
        out[x] = LabToRGB(row + 3 * x);
      break;
    default:
      for (std::int32_t x = 0; x < w; ++x)
        out[x] = {};
  }
}

// Gray 0..255 of every pixel of a row, by the rule of its format.
void RowToGray(const TVlBitmap& b, const std::uint8_t* row, std::int32_t w, std::uint8_t* out,
               std::vector<TVlRGB>& scratch) {
  switch (b.PixelFormat()) {
    case vl8g: std::memcpy(out, row, size_t(w)); return;
    case vl16g:
      for (std::int32_t x = 0; x < w; ++x)
        out[x] = row[2 * x + 1];
      return;
    case vl32f:
      for (std::int32_t x = 0; x < w; ++x)
        out[x] = std::uint8_t(TruncScaled(GetF(row + 4 * x), 255.0));
      return;
    default:
      scratch.resize(size_t(w));
      RowToRGB(b, row, w, scratch.data());
      for (std::int32_t x = 0; x < w; ++x)
        out[x] = std::uint8_t(VlGray(scratch[x]));
  }
}

// The bilevel threshold: gray of the mean colour over all pixels (64-bit sums).
int MeanThreshold(TVlBitmap& src) {
  std::vector<TVlRGB> rgb(static_cast<size_t>(src.Width()));
  std::uint64_t sr = 0, sg = 0, sb = 0;
  std::uint8_t mode = src.accessMode;
  src.accessMode = 1;
  for (std::int32_t y = 0; y < src.Height(); ++y) {
    RowToRGB(src, src.RowPointer(y), src.Width(), rgb.data());
    for (const auto& c : rgb) {
      sr += c.r;
      sg += c.g;
      sb += c.b;
    }
  }
  src.accessMode = mode;
  std::uint64_t n = std::uint64_t(src.Width()) * std::uint64_t(src.Height());
  return VlGray(int(sr / n), int(sg / n), int(sb / n));
}

}  // namespace

TVlStatus TVlBitmap::ConvertToFormat(TVlPixelFormat format) {
  if (format == pixelFormat_ || IsEmpty())
    return TVlStatus::Ok();
  if (format == vlNone || format > vlCIELab)
    return TVlStatus::BadData("unknown pixel format");
  TVlBitmap old;
  old.bilevelMethod = bilevelMethod;
  MoveStorageTo(old);
  TVlStatus st = Allocate(old.width_, old.height_, format, location_ == vlTBitmap ? 32 : old.rowAlignBits_);
  if (!st.ok()) {
    old.MoveStorageTo(*this);
    return st;
  }
  return ConvertPixelsFrom(old);
}

TVlStatus TVlBitmap::ConvertPixelsFrom(TVlBitmap& src) {
  if (&src == this || src.width_ != width_ || src.height_ != height_ || IsEmpty())
    return TVlStatus::Ok();
  const TVlPixelFormat sf = src.pixelFormat_, df = pixelFormat_;
  const std::int32_t w = width_, h = height_;
  std::uint8_t srcMode = src.accessMode, dstMode = accessMode;
  src.accessMode = 1;
  accessMode = 2;
  struct RestoreModes {
    TVlBitmap &s, &d;
    std::uint8_t sm, dm;
    ~RestoreModes() {
      s.ReleaseRowBuffer();
      d.ReleaseRowBuffer();
      s.accessMode = sm;
      d.accessMode = dm;
    }
  } restore{src, *this, srcMode, dstMode};

  auto grayPalette = [&] {
    for (int i = 0; i < 256; ++i)
      palette_[i] = {std::uint8_t(i), std::uint8_t(i), std::uint8_t(i)};
  };
  auto moveAlpha = [&] {
    if (!isAlphaPlane_) {
      alpha_ = std::move(src.alpha_);
      if (alpha_ && location_ == vlTBitmap && alpha_->location_ == vlTBitmap)
        (void)alpha_->ChangeLocation(vlInMemory);
    }
  };

  if (sf == df) {
    CopyRowsFrom(src);
    if (src.palette_ && palette_)
      std::memcpy(palette_.get(), src.palette_.get(), 256 * sizeof(TVlRGB));
    moveAlpha();
    return TVlStatus::Ok();
  }

  // ---- into vl1g: the bilevel rule ----
  if (df == vl1g) {
    if (sf == vlRGB48 && bilevelMethod == 1)
      VL_TRY(src.ConvertToFormat(vl24RGB));
    int threshold = bilevelMethod == 1 ? MeanThreshold(src) : 0;
    src.accessMode = 1;
    std::vector<std::uint8_t> gray(static_cast<size_t>(w));
    std::vector<TVlRGB> scratch;
    for (std::int32_t y = 0; y < h; ++y) {
      RowToGray(src, src.RowPointer(y), w, gray.data(), scratch);
      std::uint8_t* d = RowPointer(y);
      std::memset(d, 0, size_t(rowLength_));
      for (std::int32_t x = 0; x < w; ++x) {
        bool white = bilevelMethod == 0 ? kDither[x & 7][y & 7] < gray[x] / 4 : gray[x] >= threshold;
        if (white)
          d[x >> 3] |= std::uint8_t(0x80 >> (x & 7));
      }
    }
    moveAlpha();
    return TVlStatus::Ok();
  }

  // ---- into vl8p from vl24RGB: the quantizer ----
  if (sf == vl24RGB && df == vl8p) {
    TVlQuantizer q(src, 0, -1, std::clamp(quantizeColors, 1, 256), palette_.get());
    src.accessMode = 1;
    for (std::int32_t y = 0; y < h; ++y) {
      const std::uint8_t* s = src.RowPointer(y);
      std::uint8_t* d = RowPointer(y);
      for (std::int32_t x = 0; x < w; ++x) {
        std::int32_t i = q.MapColour({s[3 * x], s[3 * x + 1], s[3 * x + 2]});
        d[x] = std::uint8_t(i < 0 ? 0 : i);
      }
    }
    moveAlpha();
    return TVlStatus::Ok();
  }

  // Pairs with a direct rule; each returns true when handled.
  auto direct = [&]() -> bool {
    const TVlRGB* pal = src.palette_.get();
    static const TVlRGB kBlack{};
    auto entry = [&](std::uint8_t i) -> const TVlRGB& { return pal ? pal[i] : kBlack; };
    if (df == vl8p && (sf == vl1g || sf == vl8g || sf == vl16g || sf == vl32f)) {
      if (sf == vl1g) {
        for (int i = 0; i < 256; ++i)
          palette_[i] = i == 1 ? TVlRGB{255, 255, 255} : TVlRGB{};
      } else {
        grayPalette();
      }
    }
    for (std::int32_t y = 0; y < h; ++y) {
      const std::uint8_t* s = src.RowPointer(y);
      std::uint8_t* d = RowPointer(y);
      switch (sf) {
        case vl1g:
          for (std::int32_t x = 0; x < w; ++x) {
            bool b = VlGetBit(s, x);
            switch (df) {
              case vl8p: d[x] = b; break;
              case vl8g: d[x] = b ? 255 : 0; break;
              case vl16g: Put16(d + 2 * x, b ? 65535 : 0); break;
              case vl24RGB: std::memset(d + 3 * x, b ? 255 : 0, 3); break;
              case vlRGB48: std::memset(d + 6 * x, b ? 255 : 0, 6); break;
              case vl32f: PutF(d + 4 * x, b ? 1.0f : 0.0f); break;
              default: return false;
            }
          }
          break;
        case vl8p:
          for (std::int32_t x = 0; x < w; ++x) {
            const TVlRGB& c = entry(s[x]);
            switch (df) {
              case vl8g: d[x] = std::uint8_t(VlGray(c)); break;
              case vl16g: Put16(d + 2 * x, std::uint32_t(Luma1000x257(c.r, c.g, c.b))); break;
              case vl24RGB: std::memcpy(d + 3 * x, &c, 3); break;
              case vl32f: PutF(d + 4 * x, float(LumaFloat(c.r, c.g, c.b) / 255.0)); break;
              case vlRGB48:
                Put16(d + 6 * x, c.r * 257u);
                Put16(d + 6 * x + 2, c.g * 257u);
                Put16(d + 6 * x + 4, c.b * 257u);
                break;
              default: return false;
            }
          }
          break;
        case vl8g:
          for (std::int32_t x = 0; x < w; ++x) {
            std::uint8_t v = s[x];
            switch (df) {
              case vl8p: d[x] = v; break;
              case vl16g: Put16(d + 2 * x, v * 257u); break;
              case vlRGB48: Put16(d + 6 * x, v * 257u), Put16(d + 6 * x + 2, v * 257u), Put16(d + 6 * x + 4, v * 257u); break;
              case vl24RGB: std::memset(d + 3 * x, v, 3); break;
              case vl32f: PutF(d + 4 * x, float(v / 255.0)); break;
              default: return false;
            }
          }
          break;
        case vl16g:
          for (std::int32_t x = 0; x < w; ++x) {
            std::uint16_t v = Get16(s + 2 * x);
            switch (df) {
              case vl8p:
              case vl8g: d[x] = std::uint8_t(v >> 8); break;
              case vl24RGB: std::memset(d + 3 * x, v >> 8, 3); break;
              case vl32f: PutF(d + 4 * x, float(v / 65535.0)); break;
              case vlRGB48: Put16(d + 6 * x, v), Put16(d + 6 * x + 2, v), Put16(d + 6 * x + 4, v); break;
              default: return false;
            }
          }
          break;
        case vl24RGB:
          for (std::int32_t x = 0; x < w; ++x) {
            TVlRGB c{s[3 * x], s[3 * x + 1], s[3 * x + 2]};
            switch (df) {
              case vl8g: d[x] = std::uint8_t(VlGray(c)); break;
              case vl16g: Put16(d + 2 * x, std::uint32_t(Luma1000x257(c.r, c.g, c.b))); break;
              case vl32f: PutF(d + 4 * x, float(LumaFloat(c.r, c.g, c.b) / 255.0)); break;
              case vlCMYK: RGBToCMYK(c, d + 4 * x); break;
              case vlRGB48: Put16(d + 6 * x, c.r * 257u), Put16(d + 6 * x + 2, c.g * 257u), Put16(d + 6 * x + 4, c.b * 257u); break;
              case vlCIELab: RGBToLab(c, d + 3 * x); break;
              default: return false;
            }
          }
          break;
        case vl32f:
          for (std::int32_t x = 0; x < w; ++x) {
            double v = GetF(s + 4 * x);
            switch (df) {
              case vl8p:
              case vl8g: d[x] = std::uint8_t(TruncScaled(v, 255.0)); break;
              case vl24RGB: std::memset(d + 3 * x, std::uint8_t(TruncScaled(v, 255.0)), 3); break;
              case vl16g: Put16(d + 2 * x, std::uint32_t(TruncScaled(v, 65535.0))); break;
              case vlRGB48: {
                std::uint32_t t = std::uint32_t(TruncScaled(v, 65535.0));
                Put16(d + 6 * x, t), Put16(d + 6 * x + 2, t), Put16(d + 6 * x + 4, t);
                break;
              }
              default: return false;
            }
          }
          break;
        case vlCMYK:
          if (df != vl24RGB)
            return false;
          for (std::int32_t x = 0; x < w; ++x) {
            TVlRGB c = CMYKToRGB(s + 4 * x);
            std::memcpy(d + 3 * x, &c, 3);
          }
          break;
        case vlRGB48:
          for (std::int32_t x = 0; x < w; ++x) {
            std::uint16_t r = Get16(s + 6 * x), g = Get16(s + 6 * x + 2), b = Get16(s + 6 * x + 4);
            switch (df) {
              case vl8g: d[x] = std::uint8_t(VlGray(r >> 8, g >> 8, b >> 8)); break;
              case vl16g: Put16(d + 2 * x, (212u * r + 713u * g + 75u * b) / 1000u); break;
              case vl24RGB: d[3 * x] = std::uint8_t(b >> 8), d[3 * x + 1] = std::uint8_t(g >> 8), d[3 * x + 2] = std::uint8_t(r >> 8); break;
              // Full scale is 65535, so white stays 1.0.
              case vl32f: PutF(d + 4 * x, float(LumaFloat(r, g, b) / 65535.0)); break;
              default: return false;
            }
          }
          break;
        case vlCIELab:
          if (df != vl24RGB)
            return false;
          for (std::int32_t x = 0; x < w; ++x) {
            TVlRGB c = LabToRGB(s + 3 * x);
            std::memcpy(d + 3 * x, &c, 3);
          }
          break;
        default: return false;
      }
    }
    return true;
  };

  if (!direct()) {
    // No rule for this pair: the source goes to vl24RGB first, then the vl24RGB rule applies.
    src.accessMode = srcMode;
    VL_TRY(src.ConvertToFormat(vl24RGB));
    src.accessMode = 1;
    if (df == vl24RGB) {
      CopyRowsFrom(src);
    } else {
      accessMode = 2;
      return ConvertPixelsFrom(src);
    }
  }
  moveAlpha();
  return TVlStatus::Ok();
}

// ===================================================================== canvas and areas

void TVlBitmap::FillArea(std::int32_t x1, std::int32_t y1, std::int32_t x2, std::int32_t y2, double value) {
  if (IsEmpty())
    return;
  x1 = std::max(x1, 0);
  y1 = std::max(y1, 0);
  x2 = std::min(x2, width_ - 1);
  y2 = std::min(y2, height_ - 1);
  if (x1 > x2 || y1 > y2)
    return;
  // One pixel's bytes for the value.
  std::uint8_t px[8] = {};
  TVlRGB c = VlColorToRGB(static_cast<TVlColor>(static_cast<std::int64_t>(value)) & 0xFFFFFF);
  switch (pixelFormat_) {
    case vl8p:
    case vl8g: px[0] = std::uint8_t(TruncScaled(value, 1.0)); break;
    case vl16g: Put16(px, std::uint32_t(TruncScaled(value, 1.0))); break;
    case vl24RGB: px[0] = c.b, px[1] = c.g, px[2] = c.r; break;
    case vl32f: PutF(px, float(value)); break;
    case vlCMYK: RGBToCMYK(c, px); break;
    case vlRGB48: Put16(px, c.r * 257u), Put16(px + 2, c.g * 257u), Put16(px + 4, c.b * 257u); break;
    case vlCIELab: RGBToLab(c, px); break;
    default: break;
  }
  const int bytes = bitsPerPixel_ / 8;
  std::vector<std::uint8_t> pattern;
  if (pixelFormat_ != vl1g) {
    pattern.resize(size_t(x2 - x1 + 1) * size_t(bytes));
    for (size_t i = 0; i < pattern.size(); i += size_t(bytes))
      std::memcpy(pattern.data() + i, px, size_t(bytes));
  }
  for (std::int32_t y = y1; y <= y2; ++y) {
    std::uint8_t* r = RowPointer(y);
    if (pixelFormat_ == vl1g)
      VlFillBits(r, x1, x2 - x1 + 1, value != 0);
    else
      std::memcpy(r + std::int64_t(x1) * bytes, pattern.data(), pattern.size());
  }
  ReleaseRowBuffer();
}

void TVlBitmap::FillImage(double value) {
  if (IsEmpty())
    return;
  FillArea(0, 0, width_ - 1, height_ - 1, value);
  switch (pixelFormat_) {
    case vl1g: alphaFull_ = value != 0; break;
    case vl8p:
    case vl8g: alphaFull_ = value == 255; break;
    case vl16g: alphaFull_ = value == 65535; break;
    case vl32f: alphaFull_ = value == 1.0; break;
    default: alphaFull_ = (static_cast<std::int64_t>(value) & 0xFFFFFF) == 0xFFFFFF; break;
  }
}

void TVlBitmap::CopyArea(TVlBitmap& dst, std::int32_t sx, std::int32_t sy, std::int32_t w, std::int32_t h,
                         std::int32_t dx, std::int32_t dy) {
  TVlRect r = ClipCopy(sx, sy, w, h, dx, dy, width_, height_, dst.width_, dst.height_);
  if (r.W <= 0 || r.H <= 0 || IsEmpty() || dst.IsEmpty())
    return;
  const std::int64_t SX = r.SX, SY = r.SY, W = r.W, H = r.H, DX = r.DX, DY = r.DY;
  const TVlPixelFormat sf = pixelFormat_, df = dst.pixelFormat_;
  const bool bits = sf == vl1g && df == vl1g;
  const bool bw = sf == vl1g && df == vl24RGB;
  if (!bits && !bw && sf != df)
    return;
  const int bytes = bitsPerPixel_ / 8;
  std::vector<std::uint8_t> tmp(static_cast<size_t>(rowLength_));
  // Within one bitmap, walk rows so that no source row is overwritten before it is read.
  const bool same = &dst == this;
  const bool upward = same && DY > SY;
  for (std::int64_t i = 0; i < H; ++i) {
    std::int64_t r = upward ? H - 1 - i : i;
    std::memcpy(tmp.data(), RowPointer(std::int32_t(SY + r)), tmp.size());
    std::uint8_t* d = dst.RowPointer(std::int32_t(DY + r));
    if (bits) {
      VlCopyBits(d, DX, tmp.data(), SX, W);
    } else if (bw) {
      for (std::int64_t x = 0; x < W; ++x)
        std::memset(d + 3 * (DX + x), VlGetBit(tmp.data(), SX + x) ? 255 : 0, 3);
    } else {
      std::memcpy(d + DX * bytes, tmp.data() + SX * bytes, size_t(W * bytes));
    }
  }
  dst.ReleaseRowBuffer();
}

void TVlBitmap::MergeAlphaArea(TVlBitmap& dst, std::int32_t sx, std::int32_t sy, std::int32_t w, std::int32_t h,
                               std::int32_t dx, std::int32_t dy) {
  TVlBitmap* sa = AlphaChannel();
  TVlBitmap* da = dst.AlphaChannel();
  if (!sa || !da)
    return;
  TVlRect r = ClipCopy(sx, sy, w, h, dx, dy, sa->width_, sa->height_, da->width_, da->height_);
  if (r.W <= 0 || r.H <= 0)
    return;
  const std::int64_t SX = r.SX, SY = r.SY, W = r.W, H = r.H, DX = r.DX, DY = r.DY;
  std::vector<std::uint8_t> tmp(static_cast<size_t>(W));
  for (std::int64_t r = 0; r < H; ++r) {
    std::memcpy(tmp.data(), sa->RowPointer(std::int32_t(SY + r)) + SX, tmp.size());
    std::uint8_t* d = da->RowPointer(std::int32_t(DY + r)) + DX;
    for (std::int64_t x = 0; x < W; ++x)
      d[x] = std::max(d[x], tmp[size_t(x)]);
  }
  da->ReleaseRowBuffer();
  da->RecheckAlphaFull();
}

TVlStatus TVlBitmap::ResizeCanvas(std::int32_t newWidth, std::int32_t newHeight, int hAnchor, int vAnchor, double fill,
                                  std::uint8_t alphaFill) {
  if (newWidth == width_ && newHeight == height_)
    return TVlStatus::Ok();
  if (IsEmpty())
    return TVlStatus::Ok();
  // For each axis: which part of the old content lands where.
  auto axis = [](std::int32_t oldLen, std::int32_t newLen, int anchor, std::int32_t& src, std::int32_t& dst,
                 std::int32_t& len) {
    std::int32_t diff = std::abs(newLen - oldLen);
    std::int32_t off = anchor == 0 ? 0 : anchor == 1 ? diff / 2 : diff;
    if (newLen < oldLen)
      src = off, dst = 0, len = newLen;
    else
      src = 0, dst = off, len = oldLen;
  };
  std::int32_t sx, dx, cw, sy, dy, ch;
  axis(width_, newWidth, hAnchor, sx, dx, cw);
  axis(height_, newHeight, vAnchor, sy, dy, ch);

  auto rebuild = [&](TVlBitmap& b, double value) -> TVlStatus {
    TVlBitmap n;
    n.location_ = b.location_ == vlTBitmap ? vlTBitmap : b.location_;
    n.fileThreshold = b.fileThreshold;
    n.isAlphaPlane_ = b.isAlphaPlane_;
    VL_TRY(n.Allocate(newWidth, newHeight, b.pixelFormat_, b.rowAlignBits_));
    n.FillImage(value);
    b.CopyArea(n, sx, sy, cw, ch, dx, dy);
    if (b.palette_ && n.palette_)
      std::memcpy(n.palette_.get(), b.palette_.get(), 256 * sizeof(TVlRGB));
    std::unique_ptr<TVlBitmap> alpha = std::move(b.alpha_);
    bool full = b.alphaFull_;
    n.MoveStorageTo(b);
    b.alpha_ = std::move(alpha);
    b.alphaFull_ = full;
    b.needsAllocation_ = true;
    return TVlStatus::Ok();
  };
  VL_TRY(rebuild(*this, fill));
  if (alpha_) {
    VL_TRY(rebuild(*alpha_, alphaFill));
    alpha_->RecheckAlphaFull();
  }
  return TVlStatus::Ok();
}

TVlStatus TVlBitmap::SetWidthKeep(std::int32_t width) { return ResizeCanvas(width, height_, 0, 0, 0, 255); }
TVlStatus TVlBitmap::SetHeightKeep(std::int32_t height) { return ResizeCanvas(width_, height, 0, 0, 0, 255); }

TVlRGB TVlBitmap::PixelAsRGB(std::int32_t x, std::int32_t y) {
  if (IsEmpty() || x < 0 || y < 0 || x >= width_ || y >= height_)
    return {};
  const std::uint8_t* row = RowPointer(y);
  TVlRGB out[1];
  // RowToRGB on a one-pixel window: shift the row start for byte formats, keep the bit index for vl1g.
  if (pixelFormat_ == vl1g) {
    std::uint8_t v = VlGetBit(row, x) ? 255 : 0;
    return {v, v, v};
  }
  RowToRGB(*this, row + std::int64_t(x) * (bitsPerPixel_ / 8), 1, out);
  return out[0];
}

bool TVlBitmap::IsAllGray() {
  if (pixelFormat_ == vl8p) {
    for (std::int32_t i = 0; i < paletteUsed_; ++i)
      if (palette_[i].r != palette_[i].g || palette_[i].g != palette_[i].b)
        return false;
    return true;
  }
  if (pixelFormat_ == vl24RGB) {
    for (std::int32_t y = 0; y < height_; ++y) {
      const std::uint8_t* r = RowPointer(y);
      for (std::int32_t x = 0; x < width_; ++x)
        if (r[3 * x] != r[3 * x + 1] || r[3 * x + 1] != r[3 * x + 2])
          return false;
    }
  }
  return true;
}

// ===================================================================== alpha plane

TVlBitmap* TVlBitmap::AlphaChannel() {
  if (isAlphaPlane_)
    return this;
  if (!alpha_) {
    alpha_ = std::make_unique<TVlBitmap>();
    alpha_->isAlphaPlane_ = true;
    alpha_->location_ = location_ == vlTBitmap ? vlInMemory : location_;
    alpha_->fileThreshold = fileThreshold;
    if (!IsEmpty() && alpha_->AllocateImage(width_, height_, vl8g).ok())
      alpha_->FillImage(255);
  }
  return alpha_.get();
}

std::uint8_t TVlBitmap::AlphaAt(std::int32_t x, std::int32_t y) {
  if (x < 0 || y < 0 || x >= width_ || y >= height_)
    return 0;
  if (isAlphaPlane_)
    return RowPointer(y)[x];
  if (!alpha_)
    return 255;
  return alpha_->RowPointer(y)[x];
}

void TVlBitmap::SetAlphaAt(std::int32_t x, std::int32_t y, std::uint8_t v) {
  if (x < 0 || y < 0 || x >= width_ || y >= height_)
    return;
  TVlBitmap* a = AlphaChannel();
  if (a->IsEmpty())
    return;
  a->RowPointer(y)[x] = v;
  if (v != 255)
    a->alphaFull_ = false;
}

void TVlBitmap::RecheckAlphaFull() {
  TVlBitmap* a = isAlphaPlane_ ? this : alpha_.get();
  if (!a)
    return;
  bool full = true;
  for (std::int32_t y = 0; y < a->height_ && full; ++y) {
    const std::uint8_t* r = a->RowPointer(y);
    for (std::int32_t x = 0; x < a->width_; ++x)
      if (r[x] != 255) {
        full = false;
        break;
      }
  }
  a->alphaFull_ = full;
}

void TVlBitmap::DropAlpha(bool blend, TVlColor colour) {
  if (isAlphaPlane_ || !alpha_)
    return;
  if (blend && pixelFormat_ == vl24RGB && !alpha_->IsEmpty()) {
    TVlRGB bg = VlColorToRGB(colour);
    const int bgc[3] = {bg.b, bg.g, bg.r};
    for (std::int32_t y = 0; y < height_; ++y) {
      std::uint8_t* p = RowPointer(y);
      const std::uint8_t* a = alpha_->RowPointer(y);
      for (std::int32_t x = 0; x < width_; ++x)
        for (int c = 0; c < 3; ++c) {
          std::int64_t prod = std::int64_t(p[3 * x + c] - bgc[c]) * a[x] * 1024;
          p[3 * x + c] = std::uint8_t(bgc[c] + (prod >> 18));  // arithmetic shift: floor
        }
    }
    ReleaseRowBuffer();
  }
  alpha_.reset();
}

void TVlBitmap::AlphaFromMask(const TVlMask* mask) {
  TVlBitmap* a = AlphaChannel();
  if (a->IsEmpty())
    return;
  if (!mask) {
    a->FillImage(255);
    return;
  }
  std::int32_t w = std::min(width_, mask->Width()), h = std::min(height_, mask->Height());
  for (std::int32_t y = 0; y < height_; ++y) {
    std::uint8_t* d = a->RowPointer(y);
    std::memset(d, 0, size_t(width_));
    if (y >= h)
      continue;
    const std::uint8_t* s = mask->RowPointer(y);
    if (mask->BitsPerPixel() == 1) {
      for (std::int32_t x = 0; x < w; ++x)
        d[x] = VlGetBit(s, x) ? 255 : 0;
    } else {
      std::memcpy(d, s, size_t(w));
    }
  }
  a->ReleaseRowBuffer();
  a->alphaFull_ = mask->full;
}

void TVlBitmap::MaskFromImage(TVlMask& mask) {
  if (IsEmpty())
    return;
  int depth;
  switch (pixelFormat_) {
    case vl1g: depth = 1; break;
    case vl8g:
    case vl24RGB: depth = 8; break;
    default: return;
  }
  if (!mask.Allocate(width_, height_, depth).ok())
    return;
  for (std::int32_t y = 0; y < height_; ++y) {
    const std::uint8_t* s = RowPointer(y);
    for (std::int32_t x = 0; x < width_; ++x) {
      std::uint8_t v;
      if (pixelFormat_ == vl1g)
        v = VlGetBit(s, x);
      else if (pixelFormat_ == vl8g)
        v = s[x];
      else
        v = std::uint8_t(VlGray(s[3 * x + 2], s[3 * x + 1], s[3 * x]) / 4);
      if (v)
        mask.SetPixel(x, y, v);
    }
  }
  std::int64_t setCount = 0;
  for (std::int32_t y = 0; y < height_; ++y)
    for (std::int32_t x = 0; x < width_; ++x)
      setCount += mask.GetPixel(x, y) ? 1 : 0;
  mask.full = setCount == std::int64_t(width_) * height_;
}

// ===================================================================== raw snapshot

namespace {
constexpr char kSnapshotSignature[12] = {'T', 'V', 'L', 'B', 'I', 'T', 'M', 'A', 'P', 'R', 'A', 'W'};
constexpr std::int64_t kSnapshotFixed = 76;

void PutI32(std::vector<std::uint8_t>& v, std::int32_t x) {
  for (int i = 0; i < 4; ++i)
    v.push_back(std::uint8_t(std::uint32_t(x) >> (8 * i)));
}
void PutF64(std::vector<std::uint8_t>& v, double d) {
  std::uint8_t b[8];
  std::memcpy(b, &d, 8);
  v.insert(v.end(), b, b + 8);
}
}  // namespace

std::int64_t TVlBitmap::RawSnapshotSize() const {
  std::int64_t n = std::int64_t(paletteUsed_) * 3 + std::int64_t(rowLength_) * height_ + kSnapshotFixed;
  if (alpha_)
    n += std::int64_t(alpha_->rowLength_) * alpha_->height_ + 1;
  return n;
}

bool TVlBitmap::WriteRawSnapshot(TVlStream& target) {
  std::vector<std::uint8_t> head;
  head.insert(head.end(), kSnapshotSignature, kSnapshotSignature + 12);
  PutI32(head, 0);
  PutI32(head, paletteUsed_);
  for (std::int32_t i = 0; i < paletteUsed_; ++i) {
    head.push_back(palette_[i].b);
    head.push_back(palette_[i].g);
    head.push_back(palette_[i].r);
  }
  PutI32(head, width_);
  PutI32(head, height_);
  head.push_back(pixelFormat_);
  head.push_back(alphaFull_ ? 1 : 0);
  PutI32(head, quantizeColors);
  PutF64(head, display.low);
  PutF64(head, display.high);
  head.insert(head.end(), display.extra.begin(), display.extra.end());
  head.push_back(display.flag);
  PutI32(head, display.contrast);
  PutI32(head, rowAlignBits_);
  if (!target.WriteAll(head.data(), std::int64_t(head.size())))
    return false;
  std::uint8_t mode = accessMode;
  accessMode = 1;
  bool ok = true;
  for (std::int32_t y = 0; y < height_ && ok; ++y)
    ok = target.WriteAll(RowPointer(y), rowLength_);
  accessMode = mode;
  if (!ok)
    return false;
  std::uint8_t has = alpha_ ? 1 : 0;
  if (!target.WriteByte(has))
    return false;
  if (alpha_) {
    for (std::int32_t y = 0; y < alpha_->height_; ++y)
      if (!target.WriteAll(alpha_->RowPointer(y), alpha_->rowLength_))
        return false;
    if (!target.WriteByte(alpha_->alphaFull_ ? 1 : 0))
      return false;
  }
  return true;
}

std::vector<std::uint8_t> TVlBitmap::WriteRawSnapshot() {
  TVlMemoryStream s;
  if (!WriteRawSnapshot(s))
    return {};
  return s.TakeBytes();
}

bool TVlBitmap::ReadRawSnapshot(const std::uint8_t* data, std::int64_t size) {
  TVlMemoryStream s(data, size);
  return ReadRawSnapshot(s);
}

bool TVlBitmap::ReadRawSnapshot(TVlStream& source) {
  // Everything is read and validated into locals before this bitmap changes.
  std::uint8_t sig[12];
  if (!source.ReadExact(sig, 12) || std::memcmp(sig, kSnapshotSignature, 12) != 0)
    return false;
  auto i32 = [&](std::int32_t& v) {
    std::uint8_t b[4];
    if (!source.ReadExact(b, 4))
      return false;
    v = std::int32_t(std::uint32_t(b[0]) | std::uint32_t(b[1]) << 8 | std::uint32_t(b[2]) << 16 |
                     std::uint32_t(b[3]) << 24);
    return true;
  };
  auto f64 = [&](double& d) {
    std::uint8_t b[8];
    if (!source.ReadExact(b, 8))
      return false;
    std::memcpy(&d, b, 8);
    return true;
  };
  std::int32_t version, palUsed;
  if (!i32(version) || version < 0 || !i32(palUsed) || palUsed < 0 || palUsed > 256)
    return false;
  TVlRGB pal[256];
  for (std::int32_t i = 0; i < palUsed; ++i) {
    std::uint8_t c[3];
    if (!source.ReadExact(c, 3))
      return false;
    pal[i] = {c[0], c[1], c[2]};
  }
  std::int32_t w, h, quant, contrast, align;
  std::uint8_t fmt, full, flag;
  TVlDisplayParams disp;
  if (!i32(w) || !i32(h) || !source.ReadExact(&fmt, 1) || !source.ReadExact(&full, 1) || !i32(quant) ||
      !f64(disp.low) || !f64(disp.high) || !source.ReadExact(disp.extra.data(), 16) || !source.ReadExact(&flag, 1) ||
      !i32(contrast) || !i32(align))
    return false;
  disp.flag = flag;
  disp.contrast = contrast;
  if (fmt < vl1g || fmt > vlCIELab)
    return false;
  if (align != 8 && align != 16 && align != 32 && align != 64)
    return false;
  if (!CheckImageSize(w, h, kFormats[fmt].bpp, align).ok())
    return false;
  std::int64_t rowLen = *CheckedRowLength(w, kFormats[fmt].bpp, align);
  std::int64_t alphaRowLen = *CheckedRowLength(w, 8, 32);
  std::int64_t rows = rowLen * h;
  // The rows and the has-alpha byte must be there before anything is allocated.
  if (source.Remaining() < rows + 1)
    return false;

  TVlBitmap fresh;
  fresh.location_ = location_ == vlTBitmap ? vlInMemory : location_;
  fresh.fileThreshold = fileThreshold;
  fresh.isAlphaPlane_ = isAlphaPlane_;
  if (!fresh.Allocate(w, h, TVlPixelFormat(fmt), align).ok() || fresh.pixelFormat_ != fmt)
    return false;
  fresh.accessMode = 2;
  for (std::int32_t y = 0; y < h; ++y)
    if (!source.ReadExact(fresh.RowPointer(y), rowLen))
      return false;
  fresh.ReleaseRowBuffer();
  fresh.accessMode = 3;
  std::uint8_t has;
  if (!source.ReadExact(&has, 1) || has > 1)
    return false;
  if (has) {
    if (source.Remaining() < alphaRowLen * h + 1)
      return false;
    fresh.alpha_ = std::make_unique<TVlBitmap>();
    TVlBitmap& a = *fresh.alpha_;
    a.isAlphaPlane_ = true;
    a.location_ = fresh.location_;
    a.fileThreshold = fileThreshold;
    if (!a.AllocateImage(w, h, vl8g).ok())
      return false;
    for (std::int32_t y = 0; y < h; ++y)
      if (!source.ReadExact(a.RowPointer(y), alphaRowLen))
        return false;
    a.ReleaseRowBuffer();
    std::uint8_t afull;
    if (!source.ReadExact(&afull, 1))
      return false;
    a.alphaFull_ = afull != 0;
  }
  // Accepted: take over the new storage and fields.
  if (fresh.palette_)
    for (std::int32_t i = 0; i < palUsed; ++i)
      fresh.palette_[i] = pal[i];
  std::uint8_t keepBilevel = bilevelMethod;
  TVlLocation wasLocation = location_;
  fresh.quantizeColors = quant;
  fresh.alphaFull_ = full != 0;
  fresh.MoveStorageTo(*this);
  bilevelMethod = keepBilevel;
  display = disp;
  if (wasLocation == vlTBitmap)
    (void)ChangeLocation(vlTBitmap);
  needsAllocation_ = true;
  return true;
}

// ===================================================================== mask

TVlStatus TVlMask::Allocate(std::int32_t width, std::int32_t height, std::int32_t bitsPerPixel) {
  if (bitsPerPixel != 1 && bitsPerPixel != 8)
    return TVlStatus::BadData("mask depth must be 1 or 8 bits");
  VL_TRY(CheckImageSize(width, height, bitsPerPixel, 32));
  width_ = width;
  height_ = height;
  bitsPerPixel_ = bitsPerPixel;
  rowLength_ = *CheckedRowLength(width, bitsPerPixel, 32);
  rows_.assign(size_t(rowLength_) * size_t(height), 0);
  left = top = INT32_MAX;
  right = bottom = 0;
  full = false;
  return TVlStatus::Ok();
}

void TVlMask::Clear() {
  std::fill(rows_.begin(), rows_.end(), 0);
  left = top = INT32_MAX;
  right = bottom = 0;
  full = false;
}

TVlStatus TVlMask::Resize(std::int32_t width, std::int32_t height) {
  TVlMask n;
  VL_TRY(n.Allocate(width, height, bitsPerPixel_ ? bitsPerPixel_ : 8));
  std::int32_t w = std::min(width, width_), h = std::min(height, height_);
  for (std::int32_t y = 0; y < h; ++y) {
    if (bitsPerPixel_ == 1)
      VlCopyBits(n.RowPointer(y), 0, RowPointer(y), 0, w);
    else
      std::memcpy(n.RowPointer(y), RowPointer(y), size_t(w));
  }
  if (!IsEmpty()) {
    n.left = left, n.top = top;
    n.right = std::min(right, width - 1);
    n.bottom = std::min(bottom, height - 1);
    if (n.left > n.right || n.top > n.bottom)
      n.left = n.top = INT32_MAX, n.right = n.bottom = 0;
  }
  *this = std::move(n);
  return TVlStatus::Ok();
}

std::uint8_t TVlMask::GetPixel(std::int32_t x, std::int32_t y) const {
  if (x < 0 || y < 0 || x >= width_ || y >= height_)
    return 0;
  const std::uint8_t* r = RowPointer(y);
  return bitsPerPixel_ == 1 ? VlGetBit(r, x) : r[x];
}

void TVlMask::SetPixel(std::int32_t x, std::int32_t y, std::uint8_t v) {
  if (x < 0 || y < 0 || x >= width_ || y >= height_)
    return;
  std::uint8_t* r = RowPointer(y);
  if (bitsPerPixel_ == 1)
    VlSetBit(r, x, v != 0);
  else
    r[x] = v;
  if (v) {
    left = std::min(left, x);
    top = std::min(top, y);
    right = std::max(right, x);
    bottom = std::max(bottom, y);
  }
}
