// Code tables of ITU-T T.4 and T.6 as rows, and the lookup structures built from them.
//
//   kFaxWhiteTerminating, kFaxBlackTerminating   T.4 Table 2 (runs 0..63)
//   kFaxWhiteMakeup, kFaxBlackMakeup             T.4 Table 3 (runs 64..1728, steps of 64)
//   kFaxExtendedMakeup                           T.4 Table 3 continued, both colours (1792..2560)
//   kFaxModeCodes                                T.4 Table 4 / T.6 Table 1 with EOL, fill and the
//                                                extension codes, in the order they are tried
//   FaxDecodeTables()                            lookup tables built from the rows, once per process
//   LookupFaxRunCode(), LookupFaxModeCode()      one lookup, for the codec and for tests
//
// A row's `code` holds `length` bits, first transmitted bit in the most significant place.
//
// Run lookup: the bit window is taken most significant bit first. Every run code that does not
// start with eight zero bits (the only ones there are) is found in two steps: a root table
// indexed by the first 9 bits, whose entries either give the code or point at a small subtable
// indexed by the following bits (white extended makeup codes, black codes of 10 to 13 bits).
// Windows starting with eight zeros hold EOLs, fill or garbage and are told apart by the count
// of leading zeros before the table is consulted.
//
// Mode lookup: a 128-entry table on the first 7 bits decodes P, H and V0..VR3/VL3; the two
// all-zero-prefix entries mark windows that hold the extension codes, EOL or fill.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

struct TFaxCode {
  std::uint16_t code;
  std::uint8_t length;
  std::int16_t run;  // run length in pixels; for mode codes the TFaxMode value
};

// The two-dimensional mode codes by index, in the order they are tried.
enum class TFaxMode : std::uint8_t {
  fill = 0,  // twelve zero bits, fill before an EOL; also "no mode code matches"
  P = 1,     // pass
  H = 2,     // horizontal
  VL3 = 3,   // vertical, a1 = b1 - 3
  VL2 = 4,
  VL1 = 5,
  V0 = 6,  // vertical, a1 = b1
  VR1 = 7,
  VR2 = 8,
  VR3 = 9,     // vertical, a1 = b1 + 3
  ext2D = 10,  // two-dimensional extension (uncompressed mode)
  ext1D = 11,  // one-dimensional extension (uncompressed mode)
  EOL = 12,
};

extern const TFaxCode kFaxWhiteTerminating[64];
extern const TFaxCode kFaxBlackTerminating[64];
extern const TFaxCode kFaxWhiteMakeup[27];
extern const TFaxCode kFaxBlackMakeup[27];
extern const TFaxCode kFaxExtendedMakeup[13];
extern const TFaxCode kFaxModeCodes[13];

inline constexpr std::uint16_t kFaxEOLCode = 0b000000000001;
inline constexpr int kFaxEOLLength = 12;

enum class TFaxRunKind : std::uint8_t {
  invalid = 0,      // no run code starts with these bits
  terminating = 1,  // run 0..63: the colour changes after it
  makeup = 2,       // run 64..2560: a terminating code of the same colour follows
  subtable = 3,     // root entry only: `value` is the subtable start, `length` its index bits
};

struct TFaxRunEntry {
  std::uint16_t value;  // run length, or subtable start
  std::uint8_t length;  // code length in bits, or subtable index bits
  TFaxRunKind kind;
};

struct TFaxModeEntry {
  TFaxMode mode;
  std::uint8_t length;  // 0 for the two escape entries (window starts with 0000001 or 0000000)
};

struct TFaxDecodeTables {
  static constexpr int kRootBits = 9;
  std::vector<TFaxRunEntry> white;  // root (2^kRootBits entries) followed by subtables
  std::vector<TFaxRunEntry> black;
  TFaxModeEntry mode[128];
};

// Built on first use (thread-safe) and kept for the life of the process.
const TFaxDecodeTables& FaxDecodeTables();

// The run code at the top of `window` (most significant bit first) for one colour; the window
// must not start with eight zero bits. Returns an invalid entry when no code matches.
inline TFaxRunEntry LookupFaxRunCode(const std::vector<TFaxRunEntry>& table, std::uint64_t window) {
  TFaxRunEntry e = table[window >> (64 - TFaxDecodeTables::kRootBits)];
  if (e.kind == TFaxRunKind::subtable)
    e = table[e.value + ((window << TFaxDecodeTables::kRootBits) >> (64 - e.length))];
  return e;
}

// The mode code at the top of `window`: mode and length; fill with length 0 when none matches.
// Handles the escape entries (extensions, EOL, fill) too.
TFaxModeEntry LookupFaxModeCode(std::uint64_t window);
