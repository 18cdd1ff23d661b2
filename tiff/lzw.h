// TIFF LZW strip coder (compression 5).
//
// Entry points: TIFFLzwDecode and TIFFLzwEncode (the LzwDecodeHook / LzwEncodeHook of
// imaging/codec_hooks.h), LzwDecodeStatus and LzwDecoderIsCompat to inspect a decoder.
//
// TIFF LZW (TIFF 6.0 section 13) codes strings of bytes with 9- to 12-bit codes: 0..255 are
// the bytes themselves, 256 is Clear (empty the string table, back to 9 bits) and 257 is End
// Of Information; new strings get codes from 258 up to 4095. Codes are packed most
// significant bit first, and the code width grows one code early ("early change"): a decoder
// switches to 10 bits when its next free code reaches 511, to 11 at 1023 and to 12 at 2047,
// because the encoder is always one table entry ahead of it. Every strip starts with Clear.
//
// Files from before TIFF 6.0 use the older variant (the "compat" LZW): the same codes packed
// least significant bit first, as in GIF, and the width grows only when the next free code
// reaches 512, 1024 and 2048. The decoder tells the two apart by the Clear code that begins
// a strip: MSB-first it gives a first byte of 0x80; LSB-first a first byte of 0x00 with the
// low bit of the second byte set.
//
// The decoder keeps each table entry as (prefix code, last byte, first byte, length) and
// writes a string backwards through its prefix chain straight into the output buffer, so no
// string is ever copied twice. It decodes ahead into a buffer of up to 50 rows plus the
// longest string and hands out one row per call; a fault met while decoding ahead is only
// reported once a row actually needs the bytes behind it. It never reads outside the strip.
//
// The encoder keeps its string table in an open hash of 5003 slots (key = prefix code +
// 4096 x next byte) and writes its output in blocks of up to 254 bytes. It clears the table
// when the next free code would pass 4093.
#pragma once

#include <cstddef>
#include <cstdint>

#include "imaging/codec_hooks.h"
#include "imaging/status.h"

class TVlStream;

// The LzwDecodeHook. Returns the next row of `rowLength` bytes (valid until the next call),
// or nullptr when no further row can be produced; LzwDecodeStatus then says why:
//   truncated  the codes ended (End Of Information or the end of the strip) before this row
//              began; a row that the codes only partly cover is returned with its missing
//              tail set to 0 and counts as decoded;
//   badData    a code beyond the string table, a first code above 257, or a string table
//              growing past 4096 entries;
//   limitExceeded / badData  the decoder could not be created (no memory, rowLength < 1).
// `data` must stay valid and unchanged until the releasing call (data == nullptr).
const std::uint8_t* TIFFLzwDecode(const std::uint8_t* data, std::size_t dataLength, std::int32_t rowLength,
                                  TLzwDecoderState*& state);

// Why the last TIFFLzwDecode call on `state` returned nullptr (ok while rows are returned).
TVlStatus LzwDecodeStatus(const TLzwDecoderState* state);

// True when the strip was recognised as the old LSB-first variant.
bool LzwDecoderIsCompat(const TLzwDecoderState* state);

// The LzwEncodeHook. Codes `rowLength` bytes of `row` into `stream`; the first call writes
// Clear; a call with row == nullptr writes the last code and End Of Information, pads the
// last byte with zero bits, flushes and releases the state. Returns false when the stream
// refused a write (the state stays until the closing call, which releases it and returns
// false again) or when the state could not be created.
bool TIFFLzwEncode(const std::uint8_t* row, std::int32_t rowLength, TVlStream& stream, TLzwEncoderState*& state);
