#include "imaging/limits.h"

#include <limits>

TVlSizeLimits& VlSizeLimits() {
  static TVlSizeLimits limits;
  return limits;
}

std::optional<std::int64_t> CheckedMul(std::int64_t a, std::int64_t b) {
  std::int64_t r;
  if (__builtin_mul_overflow(a, b, &r))
    return std::nullopt;
  return r;
}

std::optional<std::int64_t> CheckedAdd(std::int64_t a, std::int64_t b) {
  std::int64_t r;
  if (__builtin_add_overflow(a, b, &r))
    return std::nullopt;
  return r;
}

std::optional<std::int32_t> CheckedRowLength(std::int64_t width, std::int64_t bitsPerPixel, std::int32_t alignBits) {
  if (width < 1 || bitsPerPixel < 1)
    return std::nullopt;
  if (alignBits != 8 && alignBits != 16 && alignBits != 32 && alignBits != 64)
    return std::nullopt;
  auto bits = CheckedMul(width, bitsPerPixel);
  if (!bits || *bits > std::numeric_limits<std::int64_t>::max() - alignBits)
    return std::nullopt;
  std::int64_t units = (*bits + alignBits - 1) / alignBits;
  std::int64_t bytes = units * (alignBits / 8);
  if (bytes > std::numeric_limits<std::int32_t>::max())
    return std::nullopt;
  return static_cast<std::int32_t>(bytes);
}

TVlStatus CheckImageSize(std::int64_t width, std::int64_t height, std::int64_t bitsPerPixel, std::int32_t alignBits) {
  if (width < 1 || height < 1)
    return TVlStatus::BadData("image width or height below 1");
  const TVlSizeLimits& lim = VlSizeLimits();
  if (width > lim.maxDimension || height > lim.maxDimension)
    return TVlStatus::LimitExceeded("image side above the size ceiling");
  auto pixels = CheckedMul(width, height);
  if (!pixels || *pixels > lim.maxPixels)
    return TVlStatus::LimitExceeded("image pixel count above the ceiling");
  auto row = CheckedRowLength(width, bitsPerPixel, alignBits);
  if (!row)
    return TVlStatus::LimitExceeded("image row length above the ceiling");
  auto bytes = CheckedMul(*row, height);
  if (!bytes || *bytes > lim.maxBytes)
    return TVlStatus::LimitExceeded("image byte size above the ceiling");
  return TVlStatus::Ok();
}

TVlStatus CheckBufferSize(std::int64_t bytes) {
  if (bytes < 0)
    return TVlStatus::BadData("negative buffer size");
  if (bytes > VlSizeLimits().maxBytes)
    return TVlStatus::LimitExceeded("buffer size above the ceiling");
  return TVlStatus::Ok();
}
