// Tone and colour kernels: negative, gray, histogram and contrast stretch, Floyd-Steinberg
// error diffusion, paper whitening.
//
// Entry points: VlNegative, VlConvertToGray, VlChannelHistogram, VlAutoContrastPoints,
// VlHistEqualize, VlFloydSteinberg, VlWhiteBalance, VlIsPaper.
//
// The kernels work on a whole bitmap (the processing object hands them the region's cut-out)
// and never record undo states. Gray is the luma (21 R + 71 G + 8 B) div 100 throughout; tone
// maps go through 256-entry tables per channel.
#pragma once

#include <cstdint>

#include "imaging/bitmap.h"
#include "proc/proc.h"

// Inverts every pixel: bits of vl1g, bytes and words of the integer formats (a bitwise
// complement, so applying it twice restores the image), 1 - v for vl32f; for vl8p the palette.
void VlNegative(TVlBitmap& image);

// vl24RGB: every pixel gets its luma in all three channels. Other formats: unchanged.
void VlConvertToGray(TVlBitmap& image);

// Counts the pixels of a vl24RGB image; with a mask, only those whose mask pixel at
// (x + maskLeft, y + maskTop) is set. The histogram is cleared first.
void VlChannelHistogram(TVlBitmap& image, const TVlMask* mask, std::int32_t maskLeft, std::int32_t maskTop,
                        TVlHistogram& histogram);

// The black and white levels of the automatic contrast for an image of `pixels` pixels:
// levels below max(limit, peak / 10) counted from each end are skipped, limit being
// min(Round(sqrt(pixels)), pixels div 256); the black level is at most 30 and the white level at
// least 220.
void VlAutoContrastPoints(const TVlHistogram& histogram, std::int64_t pixels, int& black, int& white);

// Stretches each channel of a vl24RGB image from the black point up and scales it to the white
// point. Returns false (image unchanged) when the points are equal.
bool VlHistEqualize(TVlBitmap& image, TVlRGB blackPoint, TVlRGB whitePoint);

// Serpentine Floyd-Steinberg diffusion of the luma of a vl24RGB image into a new vl1g image of
// the same size (white where Floor(m + error + 0.5) >= 128). The alpha plane is carried over.
TVlStatus VlFloydSteinberg(TVlBitmap& source, TVlBitmap& result, const TVlProcProgress& progress = {});

// Whether an RGB colour counts as paper: saturation < 0.3, lightness > 0.7 and a hue outside
// 0.01..0.04, 0.35..0.50 and 0.57..0.59.
bool VlIsPaper(int r, int g, int b);

// Scales each channel of a vl24RGB image so that the mean paper colour becomes white.
// Returns false (image unchanged) when no pixel is paper.
bool VlWhiteBalance(TVlBitmap& image, const TVlProcProgress& progress = {});
