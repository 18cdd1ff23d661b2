// RunLengthEncode: the PDF RunLengthDecode filter's coding (PDF 1.4, section 3.3.4).
//
// From the current position the run of equal bytes is measured (at most 128). A run of two or
// more is written as 257 - count followed by the byte. Otherwise a literal is gathered: it
// grows while each next byte differs from the byte before it, up to 128 bytes, and is written
// as its length - 1 followed by its bytes. The end-of-data byte 128 closes the block.
// The output never exceeds 2 n + 2 bytes for n input bytes (a lone byte takes three).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

std::vector<std::uint8_t> RunLengthEncode(const std::uint8_t* data, std::size_t length);

// Worst-case output size for `length` input bytes.
constexpr std::size_t RunLengthEncodeBound(std::size_t length) { return 2 * length + 2; }
