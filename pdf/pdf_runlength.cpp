#include "pdf/pdf_runlength.h"

std::vector<std::uint8_t> RunLengthEncode(const std::uint8_t* data, std::size_t length) {
  std::vector<std::uint8_t> out;
  out.reserve(RunLengthEncodeBound(length));
  std::size_t i = 0;
  while (i < length) {
    std::size_t run = 1;
    while (run < 128 && i + run < length && data[i + run] == data[i])
      ++run;
    if (run >= 2) {
      out.push_back(static_cast<std::uint8_t>(257 - run));
      out.push_back(data[i]);
      i += run;
      continue;
    }
    std::size_t lit = 1;
    while (lit < 128 && i + lit < length && data[i + lit] != data[i + lit - 1])
      ++lit;
    out.push_back(static_cast<std::uint8_t>(lit - 1));
    out.insert(out.end(), data + i, data + i + lit);
    i += lit;
  }
  out.push_back(128);
  return out;
}
