// Camera raw files through LibRaw.
//
//   IdentifyCameraRaw   LibRaw's identification accepts the data at the stream's position
//   ReadCameraRaw       the developed image, its embedded preview, or the parameters only
//
// The data from the stream's position to its end are read into memory (within the byte
// ceiling) and handed to LibRaw. Decoder options come from the record's camera raw group, each
// mapped explicitly:
//   rawHalfSize          half_size (half width and height, no interpolation)
//   rawGamma             gamm[0] = rawGamma, gamm[1] = 0: a pure power curve (0.6 by default)
//   rawBright            bright
//   rawRedScale/BlueScale  when either differs from 1: user_mul = {red, 1, blue, 1}
//   rawQuickInterpolate  user_qual = 0 (bilinear) when set, else the library's default (AHD)
//   rawUseAutoWB         use_auto_wb
//   rawUseCameraWB       use_camera_wb
//   rawFourColorRGB      four_color_rgb
//   rawExtraParams       dcraw-style switches: -h -a -w -f -W, -q N, -b F, -g P T, -H N, -n F,
//                        -t N, -o N, -m N, -4 / -6 (16-bit output); anything else is ignored
//   rawGetExifThumbnail  use the embedded preview when there is one (the flag is cleared when
//                        it is used); a JPEG preview is handed back undecoded in `jpegPreview`
//                        when the caller asks for it, otherwise the image is developed
// Output: vl24RGB (8 bits), or vlRGB48 with nativePixelFormat and 16-bit output. The record
// gets width, height, bitsPerSample 8 (16), samplesPerPixel 3, the EXIF make, model, exposure,
// aperture, ISO, focal length, date and artist, and dpiX/dpiY 0 (the caller's default applies).
// Sizes are checked against the image ceilings and against what the data can hold before
// LibRaw unpacks anything.
#pragma once

#include <cstdint>
#include <vector>

#include "imaging/bitmap.h"
#include "imaging/params.h"
#include "imaging/progress.h"
#include "imaging/status.h"
#include "imaging/stream.h"

bool IdentifyCameraRaw(TVlStream& stream);

TVlStatus ReadCameraRaw(TVlStream& stream, TVlBitmap* bitmap, TIOParamsVals& params, ProgressRecord& progress,
                        bool paramsOnly, std::vector<std::uint8_t>* jpegPreview = nullptr);
