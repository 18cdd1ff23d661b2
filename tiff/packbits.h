// PackBits run-length coding (TIFF compression 32773, TIFF 6.0 section 9; also the PDF
// RunLengthDecode filter without its end-of-data byte).
//
// Entry points: PackBitsDecodeRow, PackBitsEncodeRow, PackBitsEncodeRowTo.
//
// Each run starts with a signed control byte n: 0..127 copies the next n + 1 bytes
// literally, -1..-127 repeats the next byte 1 - n times, -128 is a no-op. Rows are coded
// independently: a writer never lets a run cross the end of a row, but a reader tolerates
// one (the bytes beyond the row are consumed and dropped).
//
// The encoder writes runs of 4 or more equal bytes as repeats (at most 128 per run) and
// everything else as literals of at most 128 bytes; shorter repeats stay inside literals,
// where they cost no more.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "imaging/status.h"

class TVlStream;

// Decodes one row of `rowLength` bytes from data[cursor .. dataLength), advancing `cursor`
// past every byte consumed (a run that crosses the row end is consumed whole). Returns
// truncated ("PackBits data ended before the row") when the strip ends first; the rest of
// the row is then set to 0. Never reads outside data[0 .. dataLength).
TVlStatus PackBitsDecodeRow(const std::uint8_t* data, std::size_t dataLength, std::size_t& cursor, std::uint8_t* row,
                            std::int32_t rowLength);

// Appends the coded row to `out`.
void PackBitsEncodeRowTo(const std::uint8_t* row, std::int32_t rowLength, std::vector<std::uint8_t>& out);

// Writes the coded row to `stream`; ioError ("short write") when the stream refuses bytes.
TVlStatus PackBitsEncodeRow(const std::uint8_t* row, std::int32_t rowLength, TVlStream& stream);
