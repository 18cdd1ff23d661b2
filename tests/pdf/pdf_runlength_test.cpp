// RunLengthEncode: exact codes, the worst-case size and the round trip through a decoder
// written from PDF 1.4 section 3.3.4.
#include "pdf/pdf_runlength.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

std::vector<std::uint8_t> V(const std::string& s) { return {s.begin(), s.end()}; }

// Returns false on malformed data (a length running past the end, no end-of-data byte).
bool Decode(const std::vector<std::uint8_t>& in, std::vector<std::uint8_t>& out) {
  out.clear();
  std::size_t i = 0;
  while (i < in.size()) {
    const std::uint8_t n = in[i++];
    if (n == 128)
      return i == in.size();
    if (n < 128) {
      if (i + n + 1 > in.size())
        return false;
      out.insert(out.end(), in.begin() + static_cast<std::ptrdiff_t>(i), in.begin() + static_cast<std::ptrdiff_t>(i + n + 1));
      i += n + 1;
    } else {
      if (i >= in.size())
        return false;
      out.insert(out.end(), 257 - n, in[i++]);
    }
  }
  return false;
}

}  // namespace

TEST(PdfRunLength, ExactCodes) {
  struct Case {
    const char* name;
    std::vector<std::uint8_t> in, out;
  };
  const std::vector<Case> cases = {
      {"empty", {}, {128}},
      {"one byte", {7}, {0, 7, 128}},
      {"pair", {7, 7}, {255, 7, 128}},
      {"literal", V("abc"), {2, 'a', 'b', 'c', 128}},
      {"literal stops before a repeat", V("abcc"), {2, 'a', 'b', 'c', 0, 'c', 128}},
      {"run then literal", V("aaab"), {254, 'a', 0, 'b', 128}},
      {"run of 128", std::vector<std::uint8_t>(128, 0xFF), {129, 0xFF, 128}},
      {"run of 129", std::vector<std::uint8_t>(129, 0xFF), {129, 0xFF, 0, 0xFF, 128}},
      {"run of 130", std::vector<std::uint8_t>(130, 0), {129, 0, 255, 0, 128}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(RunLengthEncode(c.in.data(), c.in.size()), c.out) << c.name;

  // A literal is capped at 128 bytes.
  std::vector<std::uint8_t> ramp(300);
  for (std::size_t i = 0; i < ramp.size(); ++i)
    ramp[i] = static_cast<std::uint8_t>(i);
  const auto enc = RunLengthEncode(ramp.data(), ramp.size());
  ASSERT_EQ(enc.size(), 300u + 3 + 1);
  EXPECT_EQ(enc[0], 127);
  EXPECT_EQ(enc[129], 127);
  EXPECT_EQ(enc[258], 43);
}

TEST(PdfRunLength, RoundTripWithinTheBound) {
  std::mt19937 rng(7);
  for (int trial = 0; trial < 400; ++trial) {
    const std::size_t n = rng() % 700;
    std::vector<std::uint8_t> in(n);
    const unsigned alphabet = 1 + rng() % 4;  // few symbols give many runs
    for (auto& b : in)
      b = static_cast<std::uint8_t>(rng() % (trial % 3 == 0 ? 256 : alphabet));
    const auto enc = RunLengthEncode(in.data(), in.size());
    EXPECT_LE(enc.size(), RunLengthEncodeBound(n));
    std::vector<std::uint8_t> dec;
    ASSERT_TRUE(Decode(enc, dec)) << trial;
    ASSERT_EQ(dec, in) << trial;
  }
  // The one input longer than twice its size: a lone byte.
  const std::uint8_t one = 0x55;
  EXPECT_EQ(RunLengthEncode(&one, 1).size(), 3u);
}
