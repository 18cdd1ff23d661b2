// Horizontal differencing predictor (TIFF 6.0 section 14, Predictor = 2).
//
// Entry points: HorizontalPredictorApplies, UndoHorizontalPredictor,
// ApplyHorizontalPredictor, SwapBytes16.
//
// With the predictor a writer stores each sample as the difference to the same sample of the
// pixel on its left (the first pixel of a row unchanged), modulo 2^bits; a reader adds the
// differences back from left to right. Rows are handled on their own. 16-bit samples are
// differenced as numbers: a reader swaps them into host order first (SwapBytes16 for files
// of the other byte order) and a writer differences them before storing.
#pragma once

#include <cstddef>
#include <cstdint>

#include "imaging/status.h"

// The compressions after which a reader undoes the predictor: LZW (5) and Deflate (8, 32946).
bool HorizontalPredictorApplies(std::int32_t compression);

// Undoes the differencing over one row of `pixels` pixels of `samplesPerPixel` samples of
// `bitsPerSample` bits (8, or 16 in host order; `row` need not be aligned). unsupported for
// other depths (the row is left as it is); badData when pixels or samples are below 1.
TVlStatus UndoHorizontalPredictor(std::uint8_t* row, std::int32_t pixels, std::int32_t samplesPerPixel,
                                  std::int32_t bitsPerSample);

// The writer's side: replaces every sample but those of the first pixel by its difference to
// the sample one pixel to the left. Same arguments and results as UndoHorizontalPredictor.
TVlStatus ApplyHorizontalPredictor(std::uint8_t* row, std::int32_t pixels, std::int32_t samplesPerPixel,
                                   std::int32_t bitsPerSample);

// Swaps the two bytes of each of `count` 16-bit values.
void SwapBytes16(std::uint8_t* data, std::size_t count);
