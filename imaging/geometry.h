// Exact quarter turns and mirrors of a whole bitmap (every pixel format; the alpha plane
// follows), and the orientation correction readers apply for TIFF/EXIF Orientation values.
#pragma once

#include "imaging/bitmap.h"

// Mirrors left-right (horizontal) or top-bottom.
TVlStatus VlFlip(TVlBitmap& image, bool horizontal);

// Turns by quarterTurns x 90 degrees counter-clockwise (negative: clockwise).
TVlStatus VlRotateQuarter(TVlBitmap& image, int quarterTurns);

// Makes an image stored with the given Orientation upright: 2 mirrors left-right, 3 turns
// 180 degrees, 4 mirrors top-bottom, 5 mirrors left-right then turns 90 counter-clockwise
// (a transpose), 6 turns 90 clockwise, 7 mirrors left-right then turns 90 clockwise
// (a transverse), 8 turns 90 counter-clockwise; 1 and other values change nothing.
TVlStatus ApplyOrientation(TVlBitmap& image, int orientation);
