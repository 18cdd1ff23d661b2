// Cropping and border trimming.
//
// Entry points: VlCropImage, VlTrimBordersRect, VlRowAsRGB, VlZeroRows.
//
// Border trimming looks for the first pair of "typical" columns (and rows) from each side: a
// column is typical when its sum of (R + G + B) div 3 lies within colMean div divisor of the
// mean column sum. Scanner margins (black or dark strips) are atypical and fall away.
#pragma once

#include <cstdint>

#include "imaging/bitmap.h"

struct TVlRect {
  std::int32_t left = 0, top = 0, right = -1, bottom = -1;  // inclusive
  bool IsEmpty() const { return right < left || bottom < top; }
  std::int32_t Width() const { return right - left + 1; }
  std::int32_t Height() const { return bottom - top + 1; }
};

// Clears every row byte (padding included) of a freshly allocated image.
void VlZeroRows(TVlBitmap& image);

// The colours of row y as PixelAsRGB reads them (out has Width() entries).
void VlRowAsRGB(TVlBitmap& image, std::int32_t y, TVlRGB* out);

// Replaces the image with its inclusive rectangle (clipped to the image), same format, palette
// and alpha. Nothing happens for an inverted or empty rectangle.
TVlStatus VlCropImage(TVlBitmap& image, TVlRect rect);

// The rectangle TrimBorders crops to. Returns false (rect untouched) for an empty image or a
// divisor below 1. The rectangle may come out inverted (no typical pair of rows or columns).
bool VlTrimBordersRect(TVlBitmap& image, std::int32_t divisor, TVlRect& rect);
