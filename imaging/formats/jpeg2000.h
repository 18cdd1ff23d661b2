// JPEG 2000 files (JP2 boxes) and bare code streams through OpenJPEG.
//
//   IsJP2Stream, IsJ2KStream   signature tests at the stream's position (position unchanged)
//   ReadJ2K                    one image, or its parameters only
//   WriteJ2K                   one image with the record's JPEG 2000 options
//
// Reading. The output size is that of the first component; other components are sampled in
// proportion (subsampled chroma is replicated). Samples are brought to 8 bits (or, with
// nativePixelFormat and more than 8 bits, to 16 bits) by v * max_out / max_in, rounded, signed
// samples first shifted to unsigned. One or two components are gray (+ alpha), three or more
// colour (+ the first component marked as alpha, or the fourth); sYCC colour is converted to
// RGB with the BT.601 full-range equations. Default output is vl24RGB; with nativePixelFormat
// gray stays vl8g/vl16g and colour deeper than 8 bits becomes vlRGB48. The resolution comes
// from the JP2 'res ' box (display resolution first, else capture resolution); none leaves
// dpiX/dpiY at 0. The decoder's allocation is checked against the image ceilings and against
// what the data can hold before decoding starts.
//
// Writing (fields read: j2kColorSpace, j2kRate, j2kProgression). j2kColorSpace 0 writes one
// gray component (luma), 1 three RGB components, 2 three components through the code stream's
// reversible colour transform (YCbCr-like, undone by every decoder, so it survives in bare
// code streams too); a vl1g image is always one 1-bit component. j2kRate is the target size as a
// fraction of the uncompressed size: 1 or more (or 0 and below) is lossless, otherwise the
// compression ratio 1 / j2kRate. j2kProgression 0 gives LRCP, 1 RLCP, anything else the
// encoder's default order. Type 13 (codestream = false) writes the JP2 file format.
#pragma once

#include "imaging/bitmap.h"
#include "imaging/params.h"
#include "imaging/progress.h"
#include "imaging/status.h"
#include "imaging/stream.h"

bool IsJP2Stream(TVlStream& stream);
bool IsJ2KStream(TVlStream& stream);

// `codestream`: the data is a bare code stream (type 14) rather than a JP2 file (type 13).
TVlStatus ReadJ2K(TVlStream& stream, TVlBitmap* bitmap, TIOParamsVals& params, ProgressRecord& progress,
                  bool paramsOnly, bool codestream);

TVlStatus WriteJ2K(TVlStream& stream, TVlBitmap& bitmap, TIOParamsVals& params, ProgressRecord& progress,
                   bool codestream);
