// The Netpbm writer (one writer for ".pxm", ".ppm", ".pgm" and ".pbm"; the extension does
// not choose the variant).
//
//   WritePNM   one image; the record's bitsPerSample, samplesPerPixel and pnmComments decide
//
// The header is the magic, a space, the comment lines (each as "\n# " line "\n"), the width, a
// space and the height, then " maxval" for P5/P6, and a line feed. The first case that applies:
//   1 bit and 1 sample, or a vl1g image   P4, rows of the 1-bit image with every bit inverted
//                                         (1 = black); a non-vl1g image first follows the
//                                         two-colour rule
//   8 bits and 1 sample                   P5 255, the gray level (luma weights) of each pixel
//   16 bits, 3 samples, a vl24RGB image   P6 65535, each sample * 257, big-endian
//   a vlRGB48 image                       P6 65535, the samples red, green, blue, big-endian
//   otherwise                             P6 255, red, green, blue bytes
// A short write fails with ioError; the writer stops at the next row when aborted.
#pragma once

#include "imaging/bitmap.h"
#include "imaging/params.h"
#include "imaging/progress.h"
#include "imaging/status.h"
#include "imaging/stream.h"

TVlStatus WritePNM(TVlStream& stream, TVlBitmap& bitmap, TIOParamsVals& params, ProgressRecord& progress);
