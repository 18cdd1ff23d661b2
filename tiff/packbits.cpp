// PackBits row coder; see packbits.h.
#include "tiff/packbits.h"

#include <algorithm>
#include <cstring>

#include "imaging/stream.h"

TVlStatus PackBitsDecodeRow(const std::uint8_t* data, std::size_t dataLength, std::size_t& cursor, std::uint8_t* row,
                            std::int32_t rowLength) {
  const std::size_t want = rowLength > 0 ? std::size_t(rowLength) : 0;
  std::size_t filled = 0;
  std::size_t pos = std::min(cursor, dataLength);
  while (filled < want) {
    if (pos >= dataLength)
      break;
    const int n = static_cast<std::int8_t>(data[pos++]);
    if (n >= 0) {
      // Literal of n + 1 bytes; those beyond the strip are missing, those beyond the row dropped.
      const std::size_t count = std::size_t(n) + 1;
      const std::size_t avail = std::min(count, dataLength - pos);
      const std::size_t take = std::min(avail, want - filled);
      std::memcpy(row + filled, data + pos, take);
      filled += take;
      pos += avail;
      if (avail < count)
        break;
    } else if (n != -128) {
      if (pos >= dataLength)
        break;
      const std::size_t count = std::size_t(1 - n);
      const std::size_t take = std::min(count, want - filled);
      std::memset(row + filled, data[pos++], take);
      filled += take;
    }
  }
  cursor = pos;
  if (filled < want) {
    std::memset(row + filled, 0, want - filled);
    return TVlStatus::Truncated("PackBits data ended before the row");
  }
  return TVlStatus::Ok();
}

void PackBitsEncodeRowTo(const std::uint8_t* row, std::int32_t rowLength, std::vector<std::uint8_t>& out) {
  if (rowLength <= 0)
    return;
  const std::size_t n = std::size_t(rowLength);
  const std::size_t worst = out.size() + n + n / 128 + 1;
  if (out.capacity() < worst)
    out.reserve(std::max(worst, 2 * out.capacity()));  // keep growth geometric over many rows
  std::size_t literal = 0;                             // start of the pending literal
  std::size_t scan = 0;
  auto flushLiteral = [&](std::size_t end) {
    if (end > literal) {
      out.push_back(std::uint8_t(end - literal - 1));
      out.insert(out.end(), row + literal, row + end);
    }
  };
  while (scan < n) {
    const std::uint8_t b = row[scan];
    std::size_t run = 1;
    const std::size_t maxRun = std::min<std::size_t>(128, n - scan);
    while (run < maxRun && row[scan + run] == b) ++run;
    if (run < 4) {
      if (scan - literal == 128) {
        flushLiteral(scan);
        literal = scan;
      } else {
        ++scan;
      }
    } else {
      flushLiteral(scan);
      out.push_back(std::uint8_t(1 - int(run)));
      out.push_back(b);
      scan += run;
      literal = scan;
    }
  }
  flushLiteral(n);
}

TVlStatus PackBitsEncodeRow(const std::uint8_t* row, std::int32_t rowLength, TVlStream& stream) {
  std::vector<std::uint8_t> coded;
  PackBitsEncodeRowTo(row, rowLength, coded);
  if (!stream.WriteAll(coded.data(), std::int64_t(coded.size())))
    return TVlStatus::IoError("short write");
  return TVlStatus::Ok();
}
