// Automatic sharpening guided by an edge map.
//
// Entry points: VlSharpenEdgeMap, VlAutoSharp.
//
// Method. The edge map comes from the Shen-Castan detector: the luma image, extended by 27
// pixels on each side with wrap-around, is smoothed by the infinite symmetric exponential filter
// (b = 0.9, a causal and an anti-causal first-order recursion per line, columns then rows, in
// single precision). The binary Laplacian is 1 where the smoothed value exceeds the original.
// Zero crossings of it whose smoothed neighbours rise across the crossing are candidates; their
// gradient is the mean smoothed value of the 0-pixels minus that of the 1-pixels in the 7 x 7
// window. A high threshold leaves `ratio` of the pixels above it (from a 256-bin histogram of the
// gradients), the low threshold is half of it, and hysteresis from every candidate above the
// high threshold follows 8-connected candidates (with an explicit stack, so long edge chains
// cannot exhaust the call stack), marking those above the low threshold as edges.
//
// The edge map is blurred (radius 4) and each pixel is pushed away from the mean of its 5 x 5
// neighbourhood (without the centre row and column) by Round((255 - map) / 255 x intensity) / 10:
// on an edge line with intensity 68 by 6.8 times the difference, far from edges not at all.
#pragma once

#include <cstdint>

#include "imaging/bitmap.h"
#include "proc/proc.h"

// The page-sized vl1g edge map of an image of any format (edges black, everything else white;
// column 0 and the last row are always white).
TVlStatus VlSharpenEdgeMap(TVlBitmap& image, double ratio, TVlBitmap& edges, const TVlProcProgress& progress = {});

// Sharpens a vl24RGB image in place (other formats: unsupported).
TVlStatus VlAutoSharp(TVlBitmap& image, std::int32_t intensity, double ratio, const TVlProcProgress& progress = {});
