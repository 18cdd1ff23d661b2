// Gaussian blur with integer weights.
//
// Entry points: VlBlurKernel, VlGaussianBlur, VlBlurAllowAvx2.
//
// The kernel has 201 weights in units of 1/65536 centred on index 100 (w[i] = exp(-((i - 100) /
// r)^2 / 2), normalised and rounded); its effective radius R drops the zero weights at both ends
// (radius 1 keeps 4 taps on each side, 4 keeps 17, 20 keeps 79). The blur is separable: rows
// first, then columns of that result, each output (32768 + sum of weight x pixel) >> 16, pixels
// beyond the ends of a line repeating the end pixel. The sums are exact integers below 2^24,
// so they are accumulated in single-precision lanes, which vectorise well.
#pragma once

#include <cstdint>

#include "imaging/bitmap.h"
#include "proc/proc.h"

struct TVlBlurKernel {
  std::int32_t weight[201] = {};  // 1/65536 units, index 100 is the centre
  std::int32_t radius = 0;        // effective radius, 1..100
};

// False for a radius that is not > 0.
bool VlBlurKernel(double radius, TVlBlurKernel& kernel);

// Whether the blur may use AVX2 where the processor has it (tests switch it off to check the
// baseline code).
bool& VlBlurAllowAvx2();

// Blurs a vl8g or vl24RGB image in place (other formats: unsupported). Radius <= 0: nothing.
TVlStatus VlGaussianBlur(TVlBitmap& image, double radius, const TVlProcProgress& progress = {});
