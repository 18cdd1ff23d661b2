// Replaceable coder routines carried by the parameter record.
//
// The TIFF LZW coders are installed process-wide at start-up (InstallDefaultCodecs in the
// TIFF library) and copied into every new parameter record; a record may carry others.
#pragma once

#include <cstddef>
#include <cstdint>

class TVlStream;
struct TLzwDecoderState;  // defined by the TIFF LZW coder
struct TLzwEncoderState;

// Returns the next decoded row of `rowLength` bytes, or nullptr on error or when the strip is
// exhausted (see the coder for the distinction). The first call (state == nullptr) creates the
// state for the strip held in data[0 .. dataLength); a call with data == nullptr releases it.
// The decoder never reads outside data[0 .. dataLength).
using LzwDecodeHook = const std::uint8_t* (*)(const std::uint8_t* data, std::size_t dataLength,
                                              std::int32_t rowLength, TLzwDecoderState*& state);

// Codes one row into the stream. The first call (state == nullptr) creates the state and writes
// the initial Clear code; a call with row == nullptr ends the strip (EOI, flush) and releases the
// state. Returns false when the stream refused a write.
using LzwEncodeHook = bool (*)(const std::uint8_t* row, std::int32_t rowLength, TVlStream& stream,
                               TLzwEncoderState*& state);

// The process-wide defaults copied into new parameter records (null until installed).
LzwDecodeHook& DefaultTiffLzwDecoder();
LzwEncodeHook& DefaultTiffLzwEncoder();
