// PNG files through libpng 1.6.
//
//   IsPNGStream   the 8-byte signature at the stream's position (position unchanged)
//   ReadPNG       one image (or its parameters only) from the stream's position
//   WritePNG      one image with the options of the parameter record
//
// Reading. libpng's errors return here through setjmp and become a failure status; nothing
// leaves the routine by longjmp or exception. Sizes pass the image ceilings before anything is
// allocated, and libpng's own chunk allocations are capped. Pixel formats: a 1-bit gray file
// without transparency gives vl1g (PNG's 1 is white, as in vl1g); otherwise, unless
// params.nativePixelFormat is set, everything becomes vl24RGB (16-bit samples are scaled to
// 8 bits, rounded). With nativePixelFormat: palette files vl8p, gray vl8g or vl16g, colour vl24RGB or
// vlRGB48. Alpha (an alpha channel or tRNS) becomes the bitmap's alpha plane. No gamma
// correction is applied. A missing pHYs chunk leaves dpiX/dpiY at 0 (the caller's default
// applies). Rows decoded before a failure stay in the bitmap.
//
// Writing (fields read: bitsPerSample, samplesPerPixel, pngInterlaced, pngFilter,
// pngCompression, pngBackgroundColor, dpiX, dpiY, pngTextKeys/pngTexts):
// samplesPerPixel 1 gives gray 1-bit for vl1g and two-colour images (darker colour black),
// gray 8/16-bit for gray images, otherwise a palette of the image (a quantizer's 256 colours
// for colour images); with a not fully opaque alpha mask the palette holds entry 0 =
// pngBackgroundColor, fully transparent, and up to 255 further colours at depth 8. Any other
// samplesPerPixel gives RGB 8-bit, RGBA with such a mask. The record's bitsPerSample is set to
// what was written.
#pragma once

#include "imaging/bitmap.h"
#include "imaging/params.h"
#include "imaging/progress.h"
#include "imaging/status.h"
#include "imaging/stream.h"

bool IsPNGStream(TVlStream& stream);

// `bitmap` may be null with paramsOnly. The stream is left after the data libpng consumed.
TVlStatus ReadPNG(TVlStream& stream, TVlBitmap* bitmap, TIOParamsVals& params, ProgressRecord& progress,
                  bool paramsOnly);

// `alphaMask`: an 8-bit mask (255 opaque) of the image's size, or null.
TVlStatus WritePNG(TVlStream& stream, TVlBitmap& bitmap, TIOParamsVals& params, ProgressRecord& progress,
                   const TVlMask* alphaMask);
