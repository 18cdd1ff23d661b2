// Fuzz target for the CCITT row decoders (tiff/ccitt.h).
//
// Input: a 5-byte parameter prefix, then the strip data.
//   bytes 0-1  columns, little-endian: 1 + value % 4096
//   byte  2    rows: 1 + value % 256
//   byte  3    K as a signed byte: < 0 T.6 (compression 4), 0 one-dimensional, > 0 T.4
//              two-dimensional (compression 3 with T4Options bit 0)
//   byte  4    bit 0 EOL mode (T.6), bit 1 byte-aligned rows (with K = 0: compression 2),
//              bit 2 fill order 2
// Every row is decoded as the strip decoder does. The decoded page is then written with the
// matching row writer and decoded again, which must give the same page.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "imaging/stream.h"
#include "tiff/ccitt.h"

namespace {

enum class Kind { mh, t4OneD, t4TwoD, t6 };

// Decodes `rows` rows; rows come back as the decoder delivers them (1 bits = white).
std::vector<std::uint8_t> DecodeAll(const std::uint8_t* data, std::size_t size, Kind kind, bool eolMode, int fill,
                                    std::int32_t width, std::int32_t rows) {
  const std::size_t rowBytes = (static_cast<std::size_t>(width) + 7) / 8;
  std::vector<std::uint8_t> page(rowBytes * rows);
  std::vector<std::uint8_t> ref(((static_cast<std::size_t>(width) + 31) / 32) * 4, 0xFF);
  std::int64_t bitPos = 0, lastPos = 0;
  std::size_t cursor = 0;
  for (std::int32_t y = 0; y < rows; ++y) {
    std::uint8_t* row = page.data() + rowBytes * y;
    switch (kind) {
      case Kind::mh: {
        std::size_t used = DecodeMHRowAligned(row, data + cursor, width, fill, size - cursor);
        if (used > size - cursor)
          std::abort();
        cursor += used;
        break;
      }
      case Kind::t4OneD:
        bitPos = DecodeMHRow(row, data, size, fill, bitPos, width);
        break;
      case Kind::t4TwoD:
        bitPos = Decode2DRow(row, data, size, true, fill, bitPos, ref.data(), width);
        break;
      case Kind::t6:
        bitPos = Decode2DRow(row, data, size, eolMode, fill, bitPos, ref.data(), width);
        break;
    }
    if (bitPos < lastPos)
      std::abort();  // positions never move back
    lastPos = bitPos;
  }
  return page;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 5)
    return 0;
  const std::int32_t width = 1 + (data[0] | data[1] << 8) % 4096;
  const std::int32_t rows = 1 + data[2] % 256;
  const int k = static_cast<std::int8_t>(data[3]);
  const bool eolMode = data[4] & 1, aligned = data[4] & 2;
  const int fill = (data[4] & 4) ? 2 : 1;
  const Kind kind = k < 0 ? Kind::t6 : k > 0 ? Kind::t4TwoD : aligned ? Kind::mh : Kind::t4OneD;

  // The strip in an exact-size heap block, so that any read past it is caught.
  std::vector<std::uint8_t> strip(data + 5, data + size);
  std::vector<std::uint8_t> page =
      DecodeAll(strip.empty() ? nullptr : strip.data(), strip.size(), kind, eolMode, fill, width, rows);

  // Write the decoded page (writers take 1 bits = black) and read it back.
  const std::size_t rowBytes = (static_cast<std::size_t>(width) + 7) / 8;
  TVlMemoryStream out;
  std::atomic<bool> abort{false};
  std::vector<std::uint8_t> ref, row(rowBytes);
  int carriedBits = 0;
  std::uint8_t carriedByte = 0;
  bool ok = true;
  for (std::int32_t y = 0; y < rows; ++y) {
    for (std::size_t i = 0; i < rowBytes; ++i) row[i] = static_cast<std::uint8_t>(~page[rowBytes * y + i]);
    switch (kind) {
      case Kind::mh:
        ok &= WriteMHRow(row.data(), width, out, fill, abort).ok();
        break;
      case Kind::t4OneD:
      case Kind::t4TwoD:
        ok &= WriteT4Row(row.data(), width, out, fill, abort, kind == Kind::t4TwoD, ref, carriedBits, carriedByte).ok();
        break;
      case Kind::t6:
        ok &= WriteT6Row(row.data(), width, out, fill, abort, ref, carriedBits, carriedByte).ok();
        break;
    }
  }
  if (kind == Kind::t6)
    ok &= WriteT6Row(nullptr, width, out, fill, abort, ref, carriedBits, carriedByte).ok();
  else if (kind != Kind::mh)
    ok &= WriteT4Row(nullptr, width, out, fill, abort, kind == Kind::t4TwoD, ref, carriedBits, carriedByte).ok();
  if (!ok || abort.load())
    std::abort();
  std::vector<std::uint8_t> again(out.Data(), out.Data() + out.Size());
  std::vector<std::uint8_t> back =
      DecodeAll(again.empty() ? nullptr : again.data(), again.size(), kind, false, fill, width, rows);
  // Compare within the width only.
  const std::uint8_t padMask = static_cast<std::uint8_t>(width & 7 ? 0xFF << (8 - (width & 7)) : 0xFF);
  for (std::int32_t y = 0; y < rows; ++y)
    for (std::size_t i = 0; i < rowBytes; ++i) {
      std::uint8_t m = i + 1 == rowBytes ? padMask : 0xFF;
      if ((page[rowBytes * y + i] ^ back[rowBytes * y + i]) & m)
        std::abort();
    }
  return 0;
}
