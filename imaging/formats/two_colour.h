// The two-colour rule of the writers that are asked for 1 bit per sample.
//
// A vl1g image is used as it is; an image of exactly two colours becomes a 1-bit image whose
// set bits mark the lighter colour (by the luma weights); any other image is converted to vl1g
// in a copy by the ordinary pixel-format conversion (its bilevelMethod decides).
#pragma once

#include "imaging/bitmap.h"

// Exactly two colours in a vl24RGB, vl8g or vl8p image: the darker and the lighter.
bool VlFindTwoColours(TVlBitmap& image, TVlRGB& dark, TVlRGB& light);

// Applies the rule: `result` points at `image` itself or at `working`, which then holds the
// 1-bit copy. `dark`/`light` are the two colours (black and white for vl1g and converted images).
TVlStatus VlApplyTwoColourRule(TVlBitmap& image, TVlBitmap& working, TVlBitmap*& result, TVlRGB& dark,
                               TVlRGB& light);
