// Horizontal differencing predictor; see predictor.h.
#include "tiff/predictor.h"

#include <cstring>
#include <utility>

namespace {

inline std::uint16_t Load16(const std::uint8_t* p) {
  std::uint16_t v;
  std::memcpy(&v, p, 2);
  return v;
}
inline void Store16(std::uint8_t* p, std::uint16_t v) {
  std::memcpy(p, &v, 2);
}

TVlStatus CheckLayout(std::int32_t pixels, std::int32_t samplesPerPixel, std::int32_t bitsPerSample) {
  if (pixels < 1 || samplesPerPixel < 1)
    return TVlStatus::BadData("predictor row without pixels");
  if (bitsPerSample != 8 && bitsPerSample != 16)
    return TVlStatus::Unsupported("predictor needs 8- or 16-bit samples");
  return TVlStatus::Ok();
}

}  // namespace

bool HorizontalPredictorApplies(std::int32_t compression) {
  return compression == 5 || compression == 8 || compression == 32946;
}

TVlStatus UndoHorizontalPredictor(std::uint8_t* row, std::int32_t pixels, std::int32_t samplesPerPixel,
                                  std::int32_t bitsPerSample) {
  VL_TRY(CheckLayout(pixels, samplesPerPixel, bitsPerSample));
  const std::size_t stride = std::size_t(samplesPerPixel);
  const std::size_t count = std::size_t(pixels) * stride;  // samples in the row
  if (bitsPerSample == 8) {
    // Common layouts get their own loops; the compiler keeps the running sums in registers.
    if (stride == 1) {
      std::uint8_t a = row[0];
      for (std::size_t i = 1; i < count; ++i) row[i] = a = std::uint8_t(a + row[i]);
    } else if (stride == 3) {
      std::uint8_t r = row[0], g = row[1], b = row[2];
      for (std::size_t i = 3; i < count; i += 3) {
        row[i] = r = std::uint8_t(r + row[i]);
        row[i + 1] = g = std::uint8_t(g + row[i + 1]);
        row[i + 2] = b = std::uint8_t(b + row[i + 2]);
      }
    } else {
      for (std::size_t i = stride; i < count; ++i) row[i] = std::uint8_t(row[i] + row[i - stride]);
    }
  } else {
    for (std::size_t i = stride; i < count; ++i)
      Store16(row + 2 * i, std::uint16_t(Load16(row + 2 * i) + Load16(row + 2 * (i - stride))));
  }
  return TVlStatus::Ok();
}

TVlStatus ApplyHorizontalPredictor(std::uint8_t* row, std::int32_t pixels, std::int32_t samplesPerPixel,
                                   std::int32_t bitsPerSample) {
  VL_TRY(CheckLayout(pixels, samplesPerPixel, bitsPerSample));
  const std::size_t stride = std::size_t(samplesPerPixel);
  const std::size_t count = std::size_t(pixels) * stride;
  // From the right end back, so that each difference is taken against an original sample.
  if (bitsPerSample == 8) {
    for (std::size_t i = count; i-- > stride;) row[i] = std::uint8_t(row[i] - row[i - stride]);
  } else {
    for (std::size_t i = count; i-- > stride;)
      Store16(row + 2 * i, std::uint16_t(Load16(row + 2 * i) - Load16(row + 2 * (i - stride))));
  }
  return TVlStatus::Ok();
}

void SwapBytes16(std::uint8_t* data, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) std::swap(data[2 * i], data[2 * i + 1]);
}
