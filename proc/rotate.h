// Rotation of a page by any angle.
//
// Entry points: VlRotate (what TVlProc::Rotate does to the pixels), VlShearRotate,
// VlRotateBitsNearest, VlRotateNearest, VlShortestDecimal.
//
// Angles are degrees, positive counter-clockwise on screen. By pixel format:
//   vl24RGB  the angle is truncated to thousandths of a degree and reduced modulo 360; exact
//            quarter turns bring it into -45 .. 45, and three shears (horizontal, vertical,
//            horizontal) with tan(angle / 2) and sin(angle) do the rest. With antialiasing
//            each shifted pixel is blended with its predecessor in units of 1/4096
//            (clamp(Round((prev * a + cur * b + 2048) / 4096)), a + b = 4096).
//   vl1g     exactly 90, -90, 270, 180 and -180 are exact turns; any other angle is a
//            nearest-neighbour rotation whose sine and cosine are truncated to four decimals
//            and whose column offsets are tabled once. The background bit is white when the
//            background colour has all three components non-zero.
//   others   the same exact turns; any other angle is a nearest-neighbour rotation of whole
//            pixels over the image surrounded by a 3-pixel border of background, which is
//            removed again afterwards.
// An alpha plane is rotated with the image by the same geometry, with background 0.
#pragma once

#include <string>

#include "imaging/bitmap.h"
#include "proc/proc.h"

// Rotates `image` in place. Angle 0 (or not finite) changes nothing.
TVlStatus VlRotate(TVlBitmap& image, bool antialias, TVlColor background, double angle,
                   const TVlProcProgress& progress = {});

// Three-shear rotation of a vl24RGB or vl8g image by c degrees, -45 <= c <= 45 (no reduction);
// `background` is the colour (vl24RGB) or the gray value (vl8g). The result replaces the image.
TVlStatus VlShearRotate(TVlBitmap& image, bool antialias, TVlColor background, double c,
                        const TVlProcProgress& progress = {});

// Nearest-neighbour rotation of a vl1g image (and of its alpha plane by the same tables).
TVlStatus VlRotateBitsNearest(TVlBitmap& image, TVlColor background, double angle,
                              const TVlProcProgress& progress = {});

// Nearest-neighbour rotation of whole pixels (any format of 8 bits or more per pixel).
TVlStatus VlRotateNearest(TVlBitmap& image, TVlColor background, double angle, const TVlProcProgress& progress = {});

// The shortest decimal text that reads back as `value` ("90", "-0.5", "1e-05").
std::string VlShortestDecimal(double value);
