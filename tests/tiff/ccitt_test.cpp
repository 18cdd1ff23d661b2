// CCITT T.4 / T.6 codec: code tables against their lookup structures, exact codes of the
// writers, round trips over every compression, fill order and awkward width, pages made by
// libtiff and real fax pages from the public corpus, and hostile data.
#include "tiff/ccitt.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <sstream>
#include <string>

#include "imaging/stream.h"
#include "test_paths.h"
#include "tiff/ccitt_pages.h"
#include "tiff/ccitt_tables.h"

namespace {

enum class TFaxKind { mh, g3_1d, g3_2d, g4 };

const char* KindName(TFaxKind k) {
  switch (k) {
    case TFaxKind::mh:
      return "MH";
    case TFaxKind::g3_1d:
      return "G3-1D";
    case TFaxKind::g3_2d:
      return "G3-2D";
    case TFaxKind::g4:
      return "G4";
  }
  return "?";
}

std::vector<std::uint8_t> Inverted(const std::uint8_t* row, std::size_t n) {
  std::vector<std::uint8_t> v(row, row + n);
  for (auto& b : v) b = static_cast<std::uint8_t>(~b);
  return v;
}

// Clears the bits past the width in the last byte of every row.
void ClearPad(TFaxTestPage& p) {
  if (p.width & 7)
    for (std::int32_t y = 0; y < p.height; ++y)
      p.Row(y)[p.rowBytes - 1] &= static_cast<std::uint8_t>(0xFF << (8 - (p.width & 7)));
}

// Writes the page as one strip per `rowsPerStrip` rows (0: one strip) with the public row
// writers; returns the strips.
std::vector<std::vector<std::uint8_t>> EncodeStrips(const TFaxTestPage& page, TFaxKind kind, int fillOrder,
                                                    int rowsPerStrip = 0) {
  TVlMemoryStream out;
  std::atomic<bool> abort{false};
  std::vector<std::uint8_t> ref;
  int carriedBits = 0;
  std::uint8_t carriedByte = 0;
  std::vector<std::int64_t> ends;
  if (rowsPerStrip <= 0)
    rowsPerStrip = page.height;
  auto close = [&] {
    if (kind == TFaxKind::g4) {
      EXPECT_TRUE(WriteT6Row(nullptr, page.width, out, fillOrder, abort, ref, carriedBits, carriedByte).ok());
    } else if (kind != TFaxKind::mh) {
      EXPECT_TRUE(
          WriteT4Row(nullptr, page.width, out, fillOrder, abort, kind == TFaxKind::g3_2d, ref, carriedBits, carriedByte)
              .ok());
    }
    ends.push_back(out.Position());
  };
  for (std::int32_t y = 0; y < page.height; ++y) {
    const std::uint8_t* row = page.Row(y);
    TVlStatus s;
    switch (kind) {
      case TFaxKind::mh:
        s = WriteMHRow(row, page.width, out, fillOrder, abort);
        break;
      case TFaxKind::g3_1d:
      case TFaxKind::g3_2d:
        s = WriteT4Row(row, page.width, out, fillOrder, abort, kind == TFaxKind::g3_2d, ref, carriedBits, carriedByte);
        break;
      case TFaxKind::g4:
        s = WriteT6Row(row, page.width, out, fillOrder, abort, ref, carriedBits, carriedByte);
        break;
    }
    EXPECT_TRUE(s.ok());
    if ((y + 1) % rowsPerStrip == 0 || y + 1 == page.height)
      close();
  }
  EXPECT_FALSE(abort.load());
  std::vector<std::vector<std::uint8_t>> strips;
  std::int64_t start = 0;
  const std::uint8_t* d = out.Data();
  for (std::int64_t e : ends) {
    strips.emplace_back(d + start, d + e);
    start = e;
  }
  return strips;
}

std::vector<std::uint8_t> Encode(const TFaxTestPage& page, TFaxKind kind, int fillOrder) {
  return EncodeStrips(page, kind, fillOrder)[0];
}

// Decodes `rows` rows of one strip the way the strip decoder does; rows come back with
// 1 bits = black. `ends` receives the bit (or, for MH, byte) position after each row.
TFaxTestPage DecodeStrip(const std::vector<std::uint8_t>& strip, TFaxKind kind, int fillOrder, std::int32_t width,
                         std::int32_t rows, bool eolMode = false, std::vector<std::int64_t>* ends = nullptr) {
  TFaxTestPage page(width, rows);
  // An exact-size heap copy, so that AddressSanitizer sees any read past the strip.
  std::vector<std::uint8_t> data(strip);
  const std::uint8_t* p = data.empty() ? nullptr : data.data();
  std::vector<std::uint8_t> row(page.rowBytes + 8, 0x5A);
  std::vector<std::uint8_t> ref(((width + 31) / 32) * 4, 0xFF);
  std::int64_t bitPos = 0;
  std::size_t cursor = 0;
  for (std::int32_t y = 0; y < rows; ++y) {
    switch (kind) {
      case TFaxKind::mh:
        cursor += DecodeMHRowAligned(row.data(), p ? p + cursor : nullptr, width, fillOrder, data.size() - cursor);
        if (ends)
          ends->push_back(static_cast<std::int64_t>(cursor));
        break;
      case TFaxKind::g3_1d:
        bitPos = DecodeMHRow(row.data(), p, data.size(), fillOrder, bitPos, width);
        break;
      case TFaxKind::g3_2d:
        bitPos = Decode2DRow(row.data(), p, data.size(), true, fillOrder, bitPos, ref.data(), width);
        break;
      case TFaxKind::g4:
        bitPos = Decode2DRow(row.data(), p, data.size(), eolMode, fillOrder, bitPos, ref.data(), width);
        break;
    }
    if (ends && kind != TFaxKind::mh)
      ends->push_back(bitPos);
    EXPECT_EQ(row[page.rowBytes], 0x5A) << "decoder wrote past the row";
    auto inv = Inverted(row.data(), page.rowBytes);
    std::memcpy(page.Row(y), inv.data(), page.rowBytes);
  }
  ClearPad(page);
  return page;
}

// Bits of a writer as a '0'/'1' string, pending bits included.
std::string BitString(TFaxBitWriter& bw) {
  std::string s;
  std::int64_t bits = bw.BitCount();
  int pending = bw.PendingBits();
  std::uint8_t pb = bw.PendingByte();
  const std::uint8_t* b = bw.Bytes();
  for (std::int64_t i = 0; i < bits - pending; ++i) s += ((b[i >> 3] >> (7 - (i & 7))) & 1) ? '1' : '0';
  for (int i = 0; i < pending; ++i) s += ((pb >> (7 - i)) & 1) ? '1' : '0';
  return s;
}

std::string CodeString(const TFaxCode& c) {
  std::string s;
  for (int i = c.length - 1; i >= 0; --i) s += ((c.code >> i) & 1) ? '1' : '0';
  return s;
}

std::vector<std::uint8_t> ReadFile(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A P4 PBM file (1 bits = black) as a page.
TFaxTestPage ReadPBM(const std::filesystem::path& p) {
  std::vector<std::uint8_t> d = ReadFile(p);
  std::string head(d.begin(), d.begin() + std::min<std::size_t>(d.size(), 64));
  std::istringstream is(head);
  std::string magic;
  int w = 0, h = 0;
  is >> magic >> w >> h;
  TFaxTestPage page(w, h);
  std::size_t off = static_cast<std::size_t>(is.tellg()) + 1;
  if (magic != "P4" || d.size() < off + page.bits.size())
    return {};
  std::memcpy(page.bits.data(), d.data() + off, page.bits.size());
  ClearPad(page);
  return page;
}

std::uint64_t Fnv1a(const TFaxTestPage& p) {
  std::uint64_t h = 0xcbf29ce484222325ull;
  for (std::uint8_t b : p.bits) h = (h ^ b) * 0x100000001b3ull;
  return h;
}

struct TTestTiff {
  std::int32_t width = 0, height = 0, rowsPerStrip = 0;
  int compression = 1, fillOrder = 1;
  std::uint32_t t4Options = 0;
  std::vector<std::uint64_t> offsets, counts;
};

// The first directory of a classic TIFF file, only as far as these tests need it.
bool ParseTestTiff(const std::vector<std::uint8_t>& d, TTestTiff& t) {
  if (d.size() < 8)
    return false;
  const bool le = d[0] == 'I';
  auto u16 = [&](std::size_t o) -> std::uint32_t {
    return o + 2 > d.size() ? 0 : le ? d[o] | d[o + 1] << 8 : d[o] << 8 | d[o + 1];
  };
  auto u32 = [&](std::size_t o) -> std::uint64_t {
    return o + 4 > d.size() ? 0
           : le             ? u16(o) | std::uint64_t(u16(o + 2)) << 16
                            : std::uint64_t(u16(o)) << 16 | u16(o + 2);
  };
  std::size_t ifd = u32(4);
  std::uint32_t n = u16(ifd);
  for (std::uint32_t i = 0; i < n; ++i) {
    std::size_t e = ifd + 2 + 12 * i;
    std::uint32_t tag = u16(e), type = u16(e + 2);
    std::uint64_t count = u32(e + 4);
    std::size_t size = type == 3 ? 2 : 4;
    std::size_t at = count * size <= 4 ? e + 8 : u32(e + 8);
    auto value = [&](std::uint64_t k) { return size == 2 ? u16(at + 2 * k) : u32(at + 4 * k); };
    switch (tag) {
      case 256:
        t.width = static_cast<std::int32_t>(value(0));
        break;
      case 257:
        t.height = static_cast<std::int32_t>(value(0));
        break;
      case 259:
        t.compression = static_cast<int>(value(0));
        break;
      case 266:
        t.fillOrder = static_cast<int>(value(0));
        break;
      case 278:
        t.rowsPerStrip = static_cast<std::int32_t>(value(0));
        break;
      case 292:
        t.t4Options = static_cast<std::uint32_t>(value(0));
        break;
      case 273:
        for (std::uint64_t k = 0; k < count; ++k) t.offsets.push_back(value(k));
        break;
      case 279:
        for (std::uint64_t k = 0; k < count; ++k) t.counts.push_back(value(k));
        break;
      default:
        break;
    }
  }
  if (t.rowsPerStrip <= 0 || t.rowsPerStrip > t.height)
    t.rowsPerStrip = t.height;
  return t.width > 0 && t.height > 0 && t.offsets.size() == t.counts.size() && !t.offsets.empty();
}

// Decodes every strip of a CCITT-compressed test TIFF (rows: 1 bits = black).
TFaxTestPage DecodeTestTiff(const std::vector<std::uint8_t>& file, const TTestTiff& t) {
  TFaxTestPage page(t.width, t.height);
  TFaxKind kind = t.compression == 2   ? TFaxKind::mh
                  : t.compression == 4 ? TFaxKind::g4
                  : (t.t4Options & 1)  ? TFaxKind::g3_2d
                                       : TFaxKind::g3_1d;
  std::int32_t y = 0;
  for (std::size_t s = 0; s < t.offsets.size() && y < t.height; ++s) {
    std::uint64_t off = std::min<std::uint64_t>(t.offsets[s], file.size());
    std::uint64_t len = std::min<std::uint64_t>(t.counts[s], file.size() - off);
    std::vector<std::uint8_t> strip(file.begin() + off, file.begin() + off + len);
    std::int32_t rows = std::min(t.rowsPerStrip, t.height - y);
    TFaxTestPage part = DecodeStrip(strip, kind, t.fillOrder, t.width, rows, kind == TFaxKind::g4 && (t.t4Options & 4));
    std::memcpy(page.Row(y), part.bits.data(), part.bits.size());
    y += rows;
  }
  return page;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Tables

TEST(FaxTables, RunRowsMatchTheLookupTables) {
  const TFaxDecodeTables& t = FaxDecodeTables();
  struct Colour {
    const char* name;
    const std::vector<TFaxRunEntry>* table;
    std::span<const TFaxCode> term, makeup;
  } colours[] = {{"white", &t.white, kFaxWhiteTerminating, kFaxWhiteMakeup},
                 {"black", &t.black, kFaxBlackTerminating, kFaxBlackMakeup}};
  std::mt19937_64 rnd(7);
  for (const Colour& c : colours) {
    std::vector<std::pair<const TFaxCode*, TFaxRunKind>> rows;
    for (const auto& r : c.term) rows.push_back({&r, TFaxRunKind::terminating});
    for (const auto& r : c.makeup) rows.push_back({&r, TFaxRunKind::makeup});
    for (const auto& r : kFaxExtendedMakeup) rows.push_back({&r, TFaxRunKind::makeup});
    // Runs are the row positions: 0..63, then 64 * (i + 1).
    for (std::size_t i = 0; i < rows.size(); ++i)
      EXPECT_EQ(rows[i].first->run, i < 64 ? static_cast<int>(i) : static_cast<int>(64 * (i - 63))) << c.name << i;
    for (const auto& [row, kind] : rows) {
      SCOPED_TRACE(std::string(c.name) + " run " + std::to_string(row->run));
      ASSERT_LE(row->length, 13);
      for (int trial = 0; trial < 8; ++trial) {
        std::uint64_t w = (std::uint64_t(row->code) << (64 - row->length)) | (rnd() >> row->length);
        TFaxRunEntry e = LookupFaxRunCode(*c.table, w);
        EXPECT_EQ(e.kind, kind);
        EXPECT_EQ(e.value, row->run);
        EXPECT_EQ(e.length, row->length);
      }
    }
    // Every 13-bit window that does not start with eight zeros: at most one row is its prefix
    // (the code is prefix-free), and the lookup finds exactly that row or reports invalid.
    for (std::uint32_t v = 1u << 5; v < (1u << 13); ++v) {
      const TFaxCode* match = nullptr;
      int matches = 0;
      for (const auto& [row, kind] : rows)
        if ((v >> (13 - row->length)) == row->code) {
          match = row;
          ++matches;
        }
      ASSERT_LE(matches, 1) << c.name << " window " << v;
      TFaxRunEntry e = LookupFaxRunCode(*c.table, std::uint64_t(v) << 51);
      if (!match) {
        EXPECT_EQ(e.kind, TFaxRunKind::invalid) << c.name << " window " << v;
      } else {
        EXPECT_EQ(e.value, match->run) << c.name << " window " << v;
        EXPECT_EQ(e.length, match->length);
      }
    }
  }
}

TEST(FaxTables, ModeRowsMatchTheLookup) {
  // Index order and bits as tried by the decoder.
  const char* expected[13] = {"000000000000", "0001",   "001",     "0000010",    "000010",       "010",         "1",
                              "011",          "000011", "0000011", "0000001111", "000000001111", "000000000001"};
  for (int i = 0; i < 13; ++i) {
    EXPECT_EQ(CodeString(kFaxModeCodes[i]), expected[i]) << i;
    EXPECT_EQ(kFaxModeCodes[i].run, i);
  }
  // Every 12-bit window: the first row (in index order) that prefixes it wins; none gives fill.
  for (std::uint32_t v = 0; v < (1u << 12); ++v) {
    int found = 0;
    for (int i = 0; i < 13; ++i) {
      const TFaxCode& c = kFaxModeCodes[i];
      if ((v >> (12 - c.length)) == c.code) {
        found = i;
        break;
      }
    }
    TFaxModeEntry e = LookupFaxModeCode(std::uint64_t(v) << 52);
    EXPECT_EQ(static_cast<int>(e.mode), found) << "window " << v;
    if (found != 0) {
      EXPECT_EQ(e.length, kFaxModeCodes[found].length) << "window " << v;
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Exact codes

TEST(FaxEncode, WhiteRowsCodeAsOneWhiteRun) {
  struct Case {
    std::int32_t width;
    std::vector<const TFaxCode*> codes;
  } cases[] = {
      {63, {&kFaxWhiteTerminating[63]}},
      {64, {&kFaxWhiteMakeup[0], &kFaxWhiteTerminating[0]}},
      {1728, {&kFaxWhiteMakeup[26], &kFaxWhiteTerminating[0]}},
      {2560, {&kFaxExtendedMakeup[12], &kFaxWhiteTerminating[0]}},
      // 3000 = 2560 + 384 + 56
      {3000, {&kFaxExtendedMakeup[12], &kFaxWhiteMakeup[5], &kFaxWhiteTerminating[56]}},
      // 5121 = 2560 + 2560 + 1
      {5121, {&kFaxExtendedMakeup[12], &kFaxExtendedMakeup[12], &kFaxWhiteTerminating[1]}},
  };
  for (const Case& c : cases) {
    std::vector<std::uint8_t> row((c.width + 7) / 8, 0);
    TFaxBitWriter bw;
    EncodeMHRow(bw, row.data(), c.width);
    std::string want;
    for (const TFaxCode* code : c.codes) want += CodeString(*code);
    EXPECT_EQ(BitString(bw), want) << "width " << c.width;
  }
  // A black row: white run 0, then the black run.
  std::vector<std::uint8_t> black(3, 0xFF);
  TFaxBitWriter bw;
  EncodeMHRow(bw, black.data(), 20);
  EXPECT_EQ(BitString(bw), CodeString(kFaxWhiteTerminating[0]) + CodeString(kFaxBlackTerminating[20]));
}

TEST(FaxEncode, TwoDimensionalModesFollowT4) {
  // Reference: black at 4..9. Coding rows and the codes they must produce.
  const std::int32_t width = 32;
  auto rowOf = [](std::initializer_list<std::pair<int, int>> spans) {
    std::vector<std::uint8_t> r(4, 0);
    for (auto [s, e] : spans)
      for (int x = s; x < e; ++x) r[x >> 3] |= static_cast<std::uint8_t>(0x80 >> (x & 7));
    return r;
  };
  auto ref = rowOf({{4, 10}});
  const std::string V0 = "1", VR1 = "011", VL2 = "000010", P = "0001", H = "001";
  auto W = [](int n) { return CodeString(kFaxWhiteTerminating[n]); };
  auto B = [](int n) { return CodeString(kFaxBlackTerminating[n]); };
  struct Case {
    std::vector<std::uint8_t> row;
    std::string bits;
  } cases[] = {
      {rowOf({{4, 10}}), V0 + V0 + V0},                // same edges; the last V0 puts a0 at the width
      {rowOf({{5, 8}}), VR1 + VL2 + V0},               // a1 = b1 + 1, then a1 = b1 - 2
      {rowOf({}), P + V0},                             // pass over the reference run, then a1 = b1 = width
      {rowOf({{20, 22}}), P + H + W(10) + B(2) + V0},  // pass, then 20 - 10 too far: horizontal
  };
  for (const Case& c : cases) {
    TFaxBitWriter bw;
    Encode2DRow(bw, c.row.data(), ref.data(), width);
    EXPECT_EQ(BitString(bw), c.bits);
  }
}

// ---------------------------------------------------------------------------------------------
// Round trips

TEST(FaxRoundTrip, EveryCompressionFillOrderAndWidth) {
  const std::int32_t widths[] = {1, 7, 8, 9, 31, 32, 33, 1728, 2480};
  const TFaxKind kinds[] = {TFaxKind::mh, TFaxKind::g3_1d, TFaxKind::g3_2d, TFaxKind::g4};
  for (std::int32_t w : widths) {
    std::vector<std::pair<const char*, TFaxTestPage>> pages;
    const std::int32_t h = w >= 1000 ? 120 : 40;
    pages.push_back({"noise", MakeNoisePage(w, h, 11 + w, 50)});
    pages.push_back({"runs", MakeRunPage(w, h, 12 + w, w >= 1000 ? 3000 : 12)});
    pages.push_back({"text", MakeTextPage(w, h, 13 + w)});
    TFaxTestPage edges(w, 4);  // all white, all black, alternating pixels, black last pixel
    edges.Span(1, 0, w);
    for (int x = 0; x < w; x += 2) edges.Set(x, 2);
    edges.Set(w - 1, 3);
    pages.push_back({"edges", edges});
    for (auto& [name, page] : pages) {
      for (TFaxKind kind : kinds) {
        for (int fill : {1, 2}) {
          SCOPED_TRACE(std::string(KindName(kind)) + " fill " + std::to_string(fill) + " width " + std::to_string(w) +
                       " " + name);
          auto strip = Encode(page, kind, fill);
          TFaxTestPage back = DecodeStrip(strip, kind, fill, w, page.height);
          EXPECT_TRUE(back == page);
        }
      }
    }
  }
}

TEST(FaxRoundTrip, FillOrderTwoIsBitReversedFillOrderOne) {
  TFaxTestPage page = MakeTextPage(1728, 80, 5);
  for (TFaxKind kind : {TFaxKind::mh, TFaxKind::g3_1d, TFaxKind::g3_2d, TFaxKind::g4}) {
    auto msb = Encode(page, kind, 1);
    auto lsb = Encode(page, kind, 2);
    ASSERT_EQ(msb.size(), lsb.size()) << KindName(kind);
    for (auto& b : msb) {
      std::uint8_t r = 0;
      for (int i = 0; i < 8; ++i) r = static_cast<std::uint8_t>(r | (((b >> i) & 1) << (7 - i)));
      b = r;
    }
    EXPECT_EQ(msb, lsb) << KindName(kind);
  }
}

TEST(FaxRoundTrip, StripsStartAfreshAndEndAsStated) {
  TFaxTestPage page = MakeTextPage(1728, 50, 21);
  for (TFaxKind kind : {TFaxKind::g3_1d, TFaxKind::g3_2d, TFaxKind::g4}) {
    SCOPED_TRACE(KindName(kind));
    auto strips = EncodeStrips(page, kind, 1, 7);
    ASSERT_EQ(strips.size(), 8u);
    std::int32_t y = 0;
    for (const auto& s : strips) {
      std::int32_t rows = std::min(7, page.height - y);
      TFaxTestPage part = DecodeStrip(s, kind, 1, page.width, rows);
      EXPECT_EQ(0, std::memcmp(part.bits.data(), page.Row(y), part.bits.size())) << "strip at row " << y;
      y += rows;
      // Every strip ends on a byte with the closing codes: EOFB for T.6, one EOL for T.4.
      std::string tail;
      for (std::size_t i = s.size() >= 4 ? s.size() - 4 : 0; i < s.size(); ++i)
        for (int b = 7; b >= 0; --b) tail += ((s[i] >> b) & 1) ? '1' : '0';
      std::string eol = "000000000001";
      std::string closing = kind == TFaxKind::g4 ? eol + eol : eol;
      std::size_t at = tail.rfind(closing);
      ASSERT_NE(at, std::string::npos);
      EXPECT_EQ(tail.find_first_not_of('0', at + closing.size()), std::string::npos) << "only zero padding follows";
      EXPECT_LT(tail.size() - at - closing.size(), 8u);
    }
    // T.4 rows start with an EOL, the first of each strip tagged one-dimensional.
    if (kind != TFaxKind::g4) {
      EXPECT_EQ(strips[1][0], 0x00);
      EXPECT_EQ(strips[1][1] >> 4, 0x1);
    }
    if (kind == TFaxKind::g3_2d) {
      EXPECT_EQ((strips[1][1] >> 3) & 1, 1);
    }
  }
}

TEST(FaxRoundTrip, MixedOneAndTwoDimensionalRowsForEveryK) {
  // T.4 two-dimensional data with a one-dimensional row every K rows, EOLs with and without
  // fill to a byte boundary, in both fill orders.
  TFaxTestPage page = MakeTextPage(1728, 60, 3);
  for (int K : {1, 2, 4, 1000}) {
    for (bool align : {false, true}) {
      for (int fill : {1, 2}) {
        SCOPED_TRACE("K " + std::to_string(K) + (align ? " aligned" : "") + " fill " + std::to_string(fill));
        TFaxBitWriter bw;
        std::vector<std::uint8_t> ref;
        for (std::int32_t y = 0; y < page.height; ++y) {
          if (align) {  // fill so that the EOL ends on a byte boundary
            int used = static_cast<int>((bw.BitCount() + 12) % 8);
            bw.Put(0, (8 - used) % 8);
          }
          bw.PutEOL();
          if (y % K == 0) {
            bw.Put(1, 1);
            EncodeMHRow(bw, page.Row(y), page.width);
          } else {
            bw.Put(0, 1);
            Encode2DRow(bw, page.Row(y), page.Row(y - 1), page.width);
          }
        }
        for (int i = 0; i < 6; ++i) {  // RTC
          bw.PutEOL();
          bw.Put(1, 1);
        }
        bw.PadToByte();
        std::vector<std::uint8_t> data(bw.Bytes(), bw.Bytes() + bw.ByteCount());
        if (fill == 2)
          for (auto& b : data) {
            std::uint8_t r = 0;
            for (int i = 0; i < 8; ++i) r = static_cast<std::uint8_t>(r | (((b >> i) & 1) << (7 - i)));
            b = r;
          }
        EXPECT_TRUE(DecodeStrip(data, TFaxKind::g3_2d, fill, page.width, page.height) == page);
      }
    }
  }
}

TEST(FaxDecode, OneDimensionalRowsWithAndWithoutEOLsAgree) {
  TFaxTestPage page = MakeTextPage(1728, 40, 9);
  std::mt19937 rnd(4);
  struct Variant {
    const char* name;
    int eol;  // 0 none, 1 EOL, 2 fill zeros + EOL
  } variants[] = {{"no EOL", 0}, {"EOL", 1}, {"fill + EOL", 2}};
  for (const Variant& v : variants) {
    TFaxBitWriter bw;
    for (std::int32_t y = 0; y < page.height; ++y) {
      if (v.eol == 2)
        bw.Put(0, static_cast<int>(rnd() % 30));
      if (v.eol)
        bw.PutEOL();
      EncodeMHRow(bw, page.Row(y), page.width);
    }
    bw.PadToByte();
    std::vector<std::uint8_t> data(bw.Bytes(), bw.Bytes() + bw.ByteCount());
    EXPECT_TRUE(DecodeStrip(data, TFaxKind::g3_1d, 1, page.width, page.height) == page) << v.name;
  }
}

TEST(FaxDecode, CompressionTwoRowsAdvanceByWholeBytes) {
  TFaxTestPage page = MakeRunPage(100, 12, 8, 30);
  std::vector<std::uint8_t> data;
  std::vector<std::int64_t> sizes;
  for (std::int32_t y = 0; y < page.height; ++y) {
    TVlMemoryStream s;
    std::atomic<bool> abort{false};
    ASSERT_TRUE(WriteMHRow(page.Row(y), page.width, s, 1, abort).ok());
    data.insert(data.end(), s.Data(), s.Data() + s.Size());
    sizes.push_back(data.size());
  }
  std::vector<std::int64_t> ends;
  EXPECT_TRUE(DecodeStrip(data, TFaxKind::mh, 1, page.width, page.height, false, &ends) == page);
  EXPECT_EQ(ends, sizes);
}

TEST(FaxDecode, UncompressedModePixelsAreDrawn) {
  // ext2D, then "1" (black), "01" (white, black), "000001" (five white), "0000001" + "1" (leave,
  // black next), then V0 against the all-white reference: black to the width.
  TFaxBitWriter bw;
  bw.Put(0b0000001111, 10);
  bw.Put(0b1, 1);
  bw.Put(0b01, 2);
  bw.Put(0b000001, 6);
  bw.Put(0b0000001, 7);
  bw.Put(1, 1);
  bw.Put(1, 1);
  bw.PadToByte();
  std::vector<std::uint8_t> data(bw.Bytes(), bw.Bytes() + bw.ByteCount());
  TFaxTestPage got = DecodeStrip(data, TFaxKind::g4, 1, 16, 1);
  TFaxTestPage want(16, 1);
  want.Set(0, 0);
  want.Set(2, 0);
  want.Span(0, 8, 16);
  EXPECT_TRUE(got == want);
}

TEST(FaxDecode, ZeroLengthRunsCountOnTheReferenceLine) {
  // Some coders emit H with two empty runs and count the two changes it makes on the next
  // row's reference line (the public page testfax4.tiff does); libtiff decodes them so.
  // Row 0: H W0 B0, H W2 B3, V0: black 2..4. Row 1: P passes the empty pair at 0, H W1 B1,
  // V0: black at 1. Read as pixels alone, P would pass 2..5 and put the black pixel at 6.
  auto W = [](int n) { return kFaxWhiteTerminating[n]; };
  auto B = [](int n) { return kFaxBlackTerminating[n]; };
  TFaxBitWriter bw;
  auto put = [&](const TFaxCode& c) { bw.Put(c.code, c.length); };
  bw.Put(0b001, 3), put(W(0)), put(B(0)), bw.Put(0b001, 3), put(W(2)), put(B(3)), bw.Put(1, 1);
  bw.Put(0b0001, 4), bw.Put(0b001, 3), put(W(1)), put(B(1)), bw.Put(1, 1);
  bw.PadToByte();
  std::vector<std::uint8_t> data(bw.Bytes(), bw.Bytes() + bw.ByteCount());
  TFaxTestPage want(16, 2);
  want.Span(0, 2, 5);
  want.Set(1, 1);
  EXPECT_TRUE(DecodeStrip(data, TFaxKind::g4, 1, 16, 2) == want);
  // Another reference buffer (or one the caller changed) is read as pixels.
  std::vector<std::uint8_t> row(2), ref(4, 0xFF);
  std::int64_t pos = Decode2DRow(row.data(), data.data(), data.size(), false, 1, 0, ref.data(), 16);
  std::vector<std::uint8_t> other = ref;
  Decode2DRow(row.data(), data.data(), data.size(), false, 1, pos, other.data(), 16);
  EXPECT_EQ(row[0], 0xFD);  // black at 6: 1111 1101
  EXPECT_EQ(row[1], 0xFF);
}

// ---------------------------------------------------------------------------------------------
// Pages made by libtiff (tests/fixtures/ccitt, see fixtures.txt)

TEST(FaxFixtures, LibtiffStripsDecodeToTheirImage) {
  TFaxTestPage page = ReadPBM(FixturePath("ccitt/runs.pbm"));
  ASSERT_EQ(page.width, 2640);
  struct Case {
    const char* file;
    TFaxKind kind;
    int fill;
  } cases[] = {{"runs.mh", TFaxKind::mh, 1},
               {"runs.g3-1d", TFaxKind::g3_1d, 1},
               {"runs.g3-1d-fill", TFaxKind::g3_1d, 1},
               {"runs.g3-2d", TFaxKind::g3_2d, 1},
               {"runs.g3-2d-fill-lsb", TFaxKind::g3_2d, 2},
               {"runs.g4", TFaxKind::g4, 1},
               {"runs.g4-lsb", TFaxKind::g4, 2}};
  for (const Case& c : cases) {
    auto strip = ReadFile(FixturePath(std::string("ccitt/") + c.file));
    ASSERT_FALSE(strip.empty()) << c.file;
    EXPECT_TRUE(DecodeStrip(strip, c.kind, c.fill, page.width, page.height) == page) << c.file;
  }
}

TEST(FaxFixtures, GroupFourOutputIsByteIdenticalToLibtiff) {
  // T.6 coding is fully determined by the image, so two correct coders agree byte for byte.
  TFaxTestPage page = ReadPBM(FixturePath("ccitt/runs.pbm"));
  EXPECT_EQ(Encode(page, TFaxKind::g4, 1), ReadFile(FixturePath("ccitt/runs.g4")));
  EXPECT_EQ(Encode(page, TFaxKind::g4, 2), ReadFile(FixturePath("ccitt/runs.g4-lsb")));
}

TEST(FaxFixtures, CorpusFaxPagesDecodeAsLibtiffDoes) {
  VL_REQUIRE_CORPUS("libtiff/pics/g3test.tif");
  std::ifstream list(FixturePath("ccitt/corpus.txt"));
  ASSERT_TRUE(list.good());
  std::string line;
  int checked = 0;
  while (std::getline(list, line)) {
    if (line.empty() || line[0] == '#')
      continue;
    std::istringstream is(line);
    std::string path, hash;
    std::int32_t w = 0, h = 0;
    is >> path >> w >> h >> hash;
    SCOPED_TRACE(path);
    auto file = ReadFile(CorpusPath(path));
    TTestTiff t;
    ASSERT_TRUE(ParseTestTiff(file, t));
    ASSERT_EQ(t.width, w);
    ASSERT_EQ(t.height, h);
    TFaxTestPage page = DecodeTestTiff(file, t);
    ClearPad(page);
    char got[17];
    std::snprintf(got, sizeof got, "%016llx", static_cast<unsigned long long>(Fnv1a(page)));
    EXPECT_EQ(std::string(got), hash);
    ++checked;
  }
  EXPECT_GE(checked, 10);
}

namespace {

// A one-strip WhiteIsZero TIFF around a CCITT strip.
std::vector<std::uint8_t> WrapStrip(const std::vector<std::uint8_t>& strip, std::int32_t w, std::int32_t h, int comp,
                                    int t4Options, int fill) {
  std::vector<std::uint8_t> f = {'I', 'I', 42, 0};
  auto u16 = [&](std::uint32_t v) { f.push_back(v & 0xFF), f.push_back((v >> 8) & 0xFF); };
  auto u32 = [&](std::uint32_t v) { u16(v & 0xFFFF), u16(v >> 16); };
  const std::uint32_t ifd = static_cast<std::uint32_t>(8 + strip.size() + (strip.size() & 1));
  u32(ifd);
  f.insert(f.end(), strip.begin(), strip.end());
  if (strip.size() & 1)
    f.push_back(0);
  std::vector<std::array<std::uint32_t, 3>> tags = {{256, 4, std::uint32_t(w)},
                                                    {257, 4, std::uint32_t(h)},
                                                    {258, 3, 1},
                                                    {259, 3, std::uint32_t(comp)},
                                                    {262, 3, 0},
                                                    {266, 3, std::uint32_t(fill)},
                                                    {273, 4, 8},
                                                    {277, 3, 1},
                                                    {278, 4, std::uint32_t(h)},
                                                    {279, 4, std::uint32_t(strip.size())}};
  if (comp == 3)
    tags.push_back({292, 4, std::uint32_t(t4Options)});
  u16(static_cast<std::uint32_t>(tags.size()));
  for (auto& [tag, type, v] : tags) {
    u16(tag), u16(type), u32(1);
    if (type == 3)
      u16(v), u16(0);
    else
      u32(v);
  }
  u32(0);
  return f;
}

}  // namespace

TEST(FaxPeer, LibtiffReadsWhatWeWriteWithoutComplaint) {
  // Needs libtiff's tiffcp (libtiff-tools, installed by scripts/bootstrap).
  if (std::system("command -v tiffcp > /dev/null 2>&1") != 0)
    GTEST_SKIP() << "tiffcp not installed";
  TFaxTestPage page = MakeTextPage(1728, 90, 77);
  auto dir = std::filesystem::temp_directory_path() / ("vl_ccitt_peer_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  struct Case {
    TFaxKind kind;
    int comp, t4;
  } cases[] = {{TFaxKind::mh, 2, 0}, {TFaxKind::g3_1d, 3, 0}, {TFaxKind::g3_2d, 3, 1}, {TFaxKind::g4, 4, 0}};
  for (const Case& c : cases) {
    for (int fill : {1, 2}) {
      SCOPED_TRACE(std::string(KindName(c.kind)) + " fill " + std::to_string(fill));
      auto tiff = WrapStrip(Encode(page, c.kind, fill), page.width, page.height, c.comp, c.t4, fill);
      auto in = dir / "in.tif", out = dir / "out.tif", err = dir / "err.txt";
      std::ofstream(in, std::ios::binary).write(reinterpret_cast<const char*>(tiff.data()), tiff.size());
      std::string cmd =
          "tiffcp -c none -f msb2lsb -r 100000 '" + in.string() + "' '" + out.string() + "' 2> '" + err.string() + "'";
      ASSERT_EQ(std::system(cmd.c_str()), 0);
      auto messages = ReadFile(err);
      EXPECT_EQ(std::string(messages.begin(), messages.end()), "");  // no warning such as a missing EOL
      auto decoded = ReadFile(out);
      TTestTiff t;
      ASSERT_TRUE(ParseTestTiff(decoded, t));
      ASSERT_EQ(t.counts[0], page.bits.size());
      TFaxTestPage back(page.width, page.height);
      std::memcpy(back.bits.data(), decoded.data() + t.offsets[0], back.bits.size());
      EXPECT_TRUE(back == page);
    }
  }
  std::filesystem::remove_all(dir);
}

// ---------------------------------------------------------------------------------------------
// Hostile data

TEST(FaxHostile, TruncatedStripsKeepWholeRowsAndEndWhite) {
  TFaxTestPage page = MakeTextPage(300, 30, 17);
  for (TFaxKind kind : {TFaxKind::mh, TFaxKind::g3_1d, TFaxKind::g3_2d, TFaxKind::g4}) {
    SCOPED_TRACE(KindName(kind));
    auto strip = Encode(page, kind, 1);
    std::vector<std::int64_t> ends;
    ASSERT_TRUE(DecodeStrip(strip, kind, 1, page.width, page.height, false, &ends) == page);
    const std::int64_t unit = kind == TFaxKind::mh ? 1 : 8;  // positions in bytes for MH, else bits
    for (std::size_t k = 0; k < strip.size(); ++k) {
      std::vector<std::uint8_t> cut(strip.begin(), strip.begin() + k);
      TFaxTestPage got = DecodeStrip(cut, kind, 1, page.width, page.height);
      for (std::int32_t y = 0; y < page.height; ++y) {
        std::int64_t start = y == 0 ? 0 : ends[y - 1];
        bool same = std::memcmp(got.Row(y), page.Row(y), page.rowBytes) == 0;
        if (ends[y] <= static_cast<std::int64_t>(k) * unit) {
          EXPECT_TRUE(same) << "row " << y << " before the cut at byte " << k;
        } else if (start >= static_cast<std::int64_t>(k) * unit) {
          EXPECT_TRUE(std::all_of(got.Row(y), got.Row(y) + page.rowBytes, [](std::uint8_t b) { return b == 0; }))
              << "row " << y << " after the cut at byte " << k;
        }
      }
    }
  }
}

TEST(FaxHostile, GarbageAndZeroDataEndCleanly) {
  std::mt19937 rnd(99);
  for (int trial = 0; trial < 60; ++trial) {
    std::vector<std::uint8_t> data(1 + rnd() % 300);
    for (auto& b : data)
      b = static_cast<std::uint8_t>(trial % 3 == 0 ? rnd() & rnd() & rnd() : rnd());  // sparse ones too
    for (TFaxKind kind : {TFaxKind::mh, TFaxKind::g3_1d, TFaxKind::g3_2d, TFaxKind::g4})
      for (bool eol : {false, true}) {
        std::vector<std::int64_t> ends;
        DecodeStrip(data, kind, 1 + trial % 2, 1 + static_cast<std::int32_t>(rnd() % 200), 40, eol, &ends);
        for (std::size_t i = 1; i < ends.size(); ++i) EXPECT_GE(ends[i], ends[i - 1]) << "positions never move back";
      }
  }
  // All-zero data: white rows, and T.6 data without EOL mode stops at its first code.
  std::vector<std::uint8_t> zeros(64, 0);
  TFaxTestPage white(100, 5);
  for (TFaxKind kind : {TFaxKind::mh, TFaxKind::g3_1d, TFaxKind::g3_2d, TFaxKind::g4}) {
    std::vector<std::int64_t> ends;
    EXPECT_TRUE(DecodeStrip(zeros, kind, 1, 100, 5, false, &ends) == white) << KindName(kind);
    if (kind == TFaxKind::g4) {
      EXPECT_EQ(ends[0], 64 * 8);
    }
  }
}

TEST(FaxHostile, NoModeCodeWithoutEOLModeEndsTheStrip) {
  // Two good T.6 rows, the second cut short by bits that are no mode code.
  TFaxBitWriter bw;
  // Row 0: H W3 B2, then V0 to the width.
  bw.Put(0b001, 3);
  bw.Put(kFaxWhiteTerminating[3].code, kFaxWhiteTerminating[3].length);
  bw.Put(kFaxBlackTerminating[2].code, kFaxBlackTerminating[2].length);
  bw.Put(1, 1);
  // Row 1: V0 (a1 = 3), then 0000001 followed by 0: no mode code.
  bw.Put(1, 1);
  bw.Put(0b00000010, 8);
  bw.Put(0xFFFF, 16);  // more bits that would decode as V0 if they were reached
  bw.PadToByte();
  std::vector<std::uint8_t> data(bw.Bytes(), bw.Bytes() + bw.ByteCount());
  std::vector<std::int64_t> ends;
  TFaxTestPage got = DecodeStrip(data, TFaxKind::g4, 1, 16, 3, false, &ends);
  TFaxTestPage want(16, 3);
  want.Span(0, 3, 5);  // row 1: the black run from 3 never ended: the rest stays white
  EXPECT_TRUE(got == want);
  EXPECT_EQ(ends[1], static_cast<std::int64_t>(data.size()) * 8);
  EXPECT_EQ(ends[2], ends[1]);
}

TEST(FaxHostile, VerticalCodeLeftOfA0EndsTheRow) {
  // Reference black at 1 (changes 1, 2). V0 puts a0 at 1 (black); VL3 asks for a1 = 2 - 3.
  TFaxBitWriter bw;
  bw.Put(1, 1);
  bw.Put(0b0000010, 7);
  bw.Put(1, 1);
  bw.PadToByte();
  std::vector<std::uint8_t> data(bw.Bytes(), bw.Bytes() + bw.ByteCount());
  std::vector<std::uint8_t> row(2), ref = {0xBF, 0xFF, 0xFF, 0xFF};
  std::int64_t pos = Decode2DRow(row.data(), data.data(), data.size(), false, 1, 0, ref.data(), 16);
  EXPECT_EQ(pos, 8);  // stopped after VL3
  EXPECT_EQ(row[0], 0xFF);
  EXPECT_EQ(row[1], 0xFF);
  EXPECT_EQ(ref[0], 0xFF);  // the reference now holds the decoded row
}

TEST(FaxHostile, ExtremeBitPositionsAndWidthsAreHarmless) {
  std::vector<std::uint8_t> data = {0xFF, 0x00, 0x12};
  std::vector<std::uint8_t> row(16, 0), ref(16, 0xFF);
  EXPECT_EQ(DecodeMHRow(row.data(), data.data(), data.size(), 1, INT64_MAX / 2, 100), INT64_MAX / 2);
  EXPECT_EQ(Decode2DRow(row.data(), data.data(), data.size(), true, 1, INT64_MAX / 2, ref.data(), 100), INT64_MAX / 2);
  EXPECT_EQ(DecodeMHRow(row.data(), data.data(), data.size(), 1, -5, 0), -5);  // width 0: untouched
  EXPECT_EQ(DecodeMHRowAligned(row.data(), nullptr, 100, 1, 0), 0u);
  EXPECT_EQ(Decode2DRow(row.data(), nullptr, 0, false, 2, 0, ref.data(), 100), 0);
}

// ---------------------------------------------------------------------------------------------
// Writers

TEST(FaxWrite, ShortWritesRaiseTheAbortFlag) {
  const std::uint8_t store[4] = {};
  TVlMemoryStream readOnly(store, 4);  // refuses writes
  std::vector<std::uint8_t> row(40, 0x0F), ref;
  int bits = 0;
  std::uint8_t byte = 0;
  {
    std::atomic<bool> abort{false};
    TVlStatus s = WriteMHRow(row.data(), 300, readOnly, 1, abort);
    EXPECT_EQ(s.code, TVlStatusCode::ioError);
    EXPECT_TRUE(abort.load());
  }
  {
    std::atomic<bool> abort{false};
    EXPECT_EQ(WriteT4Row(row.data(), 300, readOnly, 1, abort, true, ref, bits, byte).code, TVlStatusCode::ioError);
    EXPECT_TRUE(abort.load());
  }
  {
    std::atomic<bool> abort{false};
    EXPECT_EQ(WriteT6Row(nullptr, 300, readOnly, 2, abort, ref, bits, byte).code, TVlStatusCode::ioError);
    EXPECT_TRUE(abort.load());
  }
  {
    std::atomic<bool> abort{false};
    TVlMemoryStream s;
    EXPECT_EQ(WriteT6Row(row.data(), 0, s, 1, abort, ref, bits, byte).code, TVlStatusCode::badData);
    EXPECT_TRUE(abort.load());
  }
}

TEST(FaxWrite, PartialBytesAreCarriedBetweenRows) {
  // A 1-pixel white row codes as 000111 (6 bits); with T.6 against a white reference as V0.
  TVlMemoryStream s;
  std::atomic<bool> abort{false};
  std::vector<std::uint8_t> ref;
  int bits = 0;
  std::uint8_t byte = 0;
  const std::uint8_t white = 0;
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(WriteT6Row(&white, 1, s, 1, abort, ref, bits, byte).ok());
  EXPECT_EQ(s.Size(), 0);  // three bits so far
  EXPECT_EQ(bits, 3);
  EXPECT_EQ(byte, 0xE0);
  ASSERT_TRUE(WriteT6Row(nullptr, 1, s, 1, abort, ref, bits, byte).ok());
  // 111 + EOL EOL + 5 zero bits = 32 bits
  ASSERT_EQ(s.Size(), 4);
  EXPECT_EQ(s.Data()[0], 0xE0);
  EXPECT_EQ(s.Data()[1], 0x02);
  EXPECT_EQ(s.Data()[2], 0x00);
  EXPECT_EQ(s.Data()[3], 0x20);
  EXPECT_EQ(bits, 0);
  EXPECT_TRUE(ref.empty());
}
