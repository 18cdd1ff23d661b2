// Exact quarter turns, half turns and mirrors of whole bitmaps, for every pixel format; the
// alpha plane and the palette follow.
//
// Entry points: VlTurn, VlTurnInto, VlMirror.
//
// Method: a quarter turn is a transposition. 1-bit images are turned eight rows at a time: the
// eight bytes of one byte column form an 8 x 8 bit matrix that is transposed with three
// delta swaps on a 64-bit word, giving eight whole destination bytes. Byte formats are turned in
// square tiles so that source and destination rows stay in cache. Images held in temporary
// files are turned band by band (a band of destination rows in memory, the source read row by
// row for each band). Half turns and mirrors reverse rows in place (1-bit rows by a byte-reversal
// table and a shift that removes the padding bits).
#pragma once

#include "imaging/bitmap.h"

// Turns by quarterTurns x 90 degrees, counter-clockwise on screen for positive values: a
// counter-clockwise quarter turn of a W x H image gives an H x W image whose pixel
// (x = i, y = W - 1 - d) is source pixel (d, i).
TVlStatus VlTurn(TVlBitmap& image, int quarterTurns);

// The same into another bitmap (which may be file-held); `source` is left unchanged.
TVlStatus VlTurnInto(TVlBitmap& source, TVlBitmap& destination, int quarterTurns);

// Mirrors left-right (horizontal) or top-bottom, in place.
TVlStatus VlMirror(TVlBitmap& image, bool horizontal);

// Bytes of destination rows a turn of a file-held image keeps in memory at once (128 MiB).
std::int64_t& VlTurnBandBudget();

// Transposes the 8 x 8 bit matrix whose row i is byte i of `rows` (byte 0 in the most
// significant position), bit 7 of each byte being column 0. Exposed for tests.
std::uint64_t VlTranspose8x8(std::uint64_t rows);
