// Checked size arithmetic for images and buffers.
//
// Every width, height, row length and byte count that comes from a file passes through these
// helpers before anything is allocated: dimensions must be >= 1, products are computed in
// 64 bits with overflow checks, a row may not exceed INT32_MAX bytes, and the process-wide
// ceilings on pixels and bytes hold. Tests and fuzzers lower the ceilings.
#pragma once

#include <cstdint>
#include <optional>

#include "imaging/status.h"

struct TVlSizeLimits {
  std::int64_t maxPixels = std::int64_t(1) << 31;  // width x height of one image
  std::int64_t maxBytes = std::int64_t(16) << 30;  // bytes of one image or one buffer
  std::int32_t maxDimension = 1 << 20;             // either side, in pixels
};

// The process-wide ceilings (read by every reader; change them only before concurrent use).
TVlSizeLimits& VlSizeLimits();

// Restores the previous ceilings when it goes out of scope (tests, fuzzers).
class TVlScopedSizeLimits {
 public:
  explicit TVlScopedSizeLimits(const TVlSizeLimits& limits) : saved_(VlSizeLimits()) { VlSizeLimits() = limits; }
  ~TVlScopedSizeLimits() { VlSizeLimits() = saved_; }
  TVlScopedSizeLimits(const TVlScopedSizeLimits&) = delete;
  TVlScopedSizeLimits& operator=(const TVlScopedSizeLimits&) = delete;

 private:
  TVlSizeLimits saved_;
};

std::optional<std::int64_t> CheckedMul(std::int64_t a, std::int64_t b);
std::optional<std::int64_t> CheckedAdd(std::int64_t a, std::int64_t b);

// Bytes of one row of `width` pixels of `bitsPerPixel` bits padded to a multiple of
// `alignBits` bits (8, 16, 32 or 64). Empty when width < 1, bitsPerPixel < 1 or the row
// would exceed INT32_MAX bytes.
std::optional<std::int32_t> CheckedRowLength(std::int64_t width, std::int64_t bitsPerPixel, std::int32_t alignBits = 32);

// Checks an image of width x height pixels with rows of rowLength bytes against the ceilings.
// badData when a side is < 1; limitExceeded when above a ceiling or on overflow.
TVlStatus CheckImageSize(std::int64_t width, std::int64_t height, std::int64_t bitsPerPixel, std::int32_t alignBits = 32);

// Checks a buffer size against the byte ceiling (limitExceeded when above, badData when < 0).
TVlStatus CheckBufferSize(std::int64_t bytes);
