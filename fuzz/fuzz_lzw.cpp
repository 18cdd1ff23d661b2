// Fuzz target for the TIFF LZW decoder (both bit orders) and the encoder.
//
// Input: 2 bytes big-endian row length (taken modulo 8192, plus 1), then the strip. The strip
// is decoded row by row until the decoder gives up; then the same bytes, coded as rows by the
// encoder, must decode back to themselves.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "imaging/stream.h"
#include "tiff/lzw.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2)
    return 0;
  const std::int32_t rowLength = std::int32_t(((data[0] << 8) | data[1]) % 8192) + 1;
  // An exact-size copy, so that any read past the strip is caught.
  std::vector<std::uint8_t> strip(size - 2);
  if (!strip.empty())
    std::memcpy(strip.data(), data + 2, strip.size());
  static const std::uint8_t kNoData = 0;
  const std::uint8_t* stripData = strip.empty() ? &kNoData : strip.data();

  TLzwDecoderState* st = nullptr;
  std::uint64_t total = 0;
  for (int r = 0; r < 100000; ++r) {
    const std::uint8_t* row = TIFFLzwDecode(stripData, strip.size(), rowLength, st);
    if (!row)
      break;
    for (std::int32_t i = 0; i < rowLength; i += 97) total += row[i];
  }
  (void)LzwDecodeStatus(st);
  (void)TIFFLzwDecode(nullptr, 0, rowLength, st);

  // Round trip of the input bytes as rows.
  if (strip.empty())
    return int(total & 0);
  const std::size_t rows = strip.size() / std::size_t(rowLength);
  TVlMemoryStream coded;
  TLzwEncoderState* es = nullptr;
  for (std::size_t r = 0; r < rows; ++r)
    if (!TIFFLzwEncode(strip.data() + r * std::size_t(rowLength), rowLength, coded, es))
      std::abort();
  if (!TIFFLzwEncode(nullptr, 0, coded, es))
    std::abort();
  const std::vector<std::uint8_t> bytes = coded.TakeBytes();
  for (std::size_t r = 0; r < rows; ++r) {
    const std::uint8_t* row = TIFFLzwDecode(bytes.data(), bytes.size(), rowLength, st);
    if (!row || std::memcmp(row, strip.data() + r * std::size_t(rowLength), std::size_t(rowLength)) != 0)
      std::abort();
  }
  if (rows > 0 && (TIFFLzwDecode(bytes.data(), bytes.size(), rowLength, st) != nullptr ||
                   LzwDecodeStatus(st).code != TVlStatusCode::truncated))
    std::abort();  // the strip must end with a clean End Of Information
  (void)TIFFLzwDecode(nullptr, 0, rowLength, st);
  return 0;
}
