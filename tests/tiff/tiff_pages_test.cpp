#include "tiff/tiff_pages.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>

#include "tests/test_paths.h"
#include "tests/tiff/tiff_bytes.h"
#include "tiff/tiff_container.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::uint8_t> ReadFileBytes(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// One directory of a TIFF held in memory.
class TLoaded {
 public:
  TLoaded(const std::vector<std::uint8_t>& bytes, std::int32_t page)
      : s_(bytes.data(), static_cast<std::int64_t>(bytes.size())) {
    TTIFFHeader h;
    if (!ReadTIFFHeader(s_, 0, h).ok())
      return;
    version = h.version;
    d.stream = &s_;
    d.littleEndian = h.littleEndian;
    ok = ReadDirectoryChain(page, h.firstOffset, d, count);
    firstOffset = h.firstOffset;
  }
  TLoaded(const TLoaded&) = delete;

  std::vector<std::uint8_t> Bytes(std::int64_t offset, std::int64_t length) {
    std::int64_t avail = std::max<std::int64_t>(0, s_.Size() - offset);
    std::vector<std::uint8_t> b(static_cast<std::size_t>(std::min(length, avail)));
    if (!b.empty())
      s_.ReadAt(offset, b.data(), static_cast<std::int64_t>(b.size()));
    return b;
  }
  std::int64_t Size() const { return s_.Size(); }

  TVlMemoryStream s_;
  TTIFFDirectory d;
  std::int32_t count = 0;
  std::uint16_t version = 0;
  std::uint32_t firstOffset = 0;
  bool ok = false;
};

bool Fits(const TTIFFDirectory& d, const TTIFFEntry& e) {
  std::int64_t pos, size;
  return EntryDataLocation(d, e, pos, size);
}

bool IsPointer(std::uint16_t tag) {
  return tag == 330 || tag == 34665 || tag == 34853 || tag == 40965 || tag == 400;
}

// The copy of page `page` of `src` in `dst` holds the same entries and the same data.
void ExpectSamePage(const std::vector<std::uint8_t>& src, std::int32_t page, const std::vector<std::uint8_t>& dst,
                    const std::string& what) {
  SCOPED_TRACE(what);
  TLoaded S(src, page), D(dst, 0);
  ASSERT_TRUE(S.ok);
  ASSERT_TRUE(D.ok);
  EXPECT_EQ(D.count, 1);
  EXPECT_EQ(D.d.littleEndian, S.d.littleEndian);
  EXPECT_EQ(D.version, S.version);
  EXPECT_EQ(D.firstOffset % 2, 0u);
  for (const TTIFFEntry& e : D.d.entries) {
    std::int64_t pos, size;
    ASSERT_TRUE(EntryDataLocation(D.d, e, pos, size)) << "tag " << e.tag;
    if (pos >= 0) {
      EXPECT_EQ(pos % 2, 0) << "block of tag " << e.tag;
    }
    EXPECT_GE(FindTag(S.d, e.tag), 0) << "tag " << e.tag << " not in the source";
  }
  std::vector<std::int32_t> so, sc, doff, dc;
  for (const TTIFFEntry& e : S.d.entries) {
    if (&e != &S.d.entries[static_cast<std::size_t>(FindTag(S.d, e.tag))])
      continue;  // later duplicates
    const int di = FindTag(D.d, e.tag);
    if (e.tag == 288 || e.tag == 289 || TIFFTypeSize(e.type) == 0 || !Fits(S.d, e)) {
      EXPECT_LT(di, 0) << "tag " << e.tag << " should be dropped";
      continue;
    }
    if (IsPointer(e.tag))
      continue;
    ASSERT_GE(di, 0) << "tag " << e.tag << " missing in the copy";
    const TTIFFEntry& de = D.d.entries[static_cast<std::size_t>(di)];
    if (e.tag == 273 || e.tag == 324) {
      const std::uint16_t ct = e.tag == 273 ? 279 : 325;
      GetIntArrayTag(S.d, e.tag, so);
      GetIntArrayTag(S.d, ct, sc);
      GetIntArrayTag(D.d, e.tag, doff);
      GetIntArrayTag(D.d, ct, dc);
      ASSERT_EQ(doff.size(), so.size());
      std::vector<std::uint32_t> sorted(so.begin(), so.end());
      std::sort(sorted.begin(), sorted.end());
      for (std::size_t k = 0; k < so.size(); ++k) {
        const std::uint32_t off = static_cast<std::uint32_t>(so[k]);
        if (off == 0) {
          EXPECT_EQ(doff[k], 0) << "an absent piece stays absent";
          if (k < dc.size()) {
            EXPECT_EQ(dc[k], 0);
          }
          continue;
        }
        std::int64_t len;
        if (k < sc.size()) {
          len = static_cast<std::uint32_t>(sc[k]);
        } else {
          auto next = std::upper_bound(sorted.begin(), sorted.end(), off);
          len = next != sorted.end() ? *next - off : S.Size() - off;
        }
        len = std::min<std::int64_t>(len, std::max<std::int64_t>(0, S.Size() - off));
        EXPECT_EQ(S.Bytes(off, len), D.Bytes(static_cast<std::uint32_t>(doff[k]), len)) << "piece " << k;
        if (k < dc.size()) {
          EXPECT_EQ(dc[k], len) << "byte count " << k;
        }
        if (k > 0 && doff[k] != doff[k - 1]) {
          EXPECT_GE(static_cast<std::uint32_t>(doff[k]), static_cast<std::uint32_t>(doff[k - 1]))
              << "pieces are copied in array order";
        }
      }
    } else if (e.tag == 279 || e.tag == 325 || e.tag == 514) {
      continue;  // checked with their offsets
    } else if (e.tag == 513) {
      const std::uint32_t off = static_cast<std::uint32_t>(GetIntTag(S.d, 513, 0));
      const std::uint32_t doffv = static_cast<std::uint32_t>(GetIntTag(D.d, 513, 0));
      if (FindTag(S.d, 514) >= 0) {
        const std::int64_t len = static_cast<std::uint32_t>(GetIntTag(S.d, 514, 0));
        EXPECT_EQ(S.Bytes(off, len), D.Bytes(doffv, len));
      } else {
        GetIntArrayTag(S.d, 273, so);
        GetIntArrayTag(D.d, 273, doff);
        auto it = std::find(so.begin(), so.end(), static_cast<std::int32_t>(off));
        ASSERT_NE(it, so.end());
        EXPECT_EQ(static_cast<std::int32_t>(doffv), doff[static_cast<std::size_t>(it - so.begin())]);
      }
    } else if (e.tag >= 519 && e.tag <= 521) {
      GetIntArrayTag(S.d, e.tag, so);
      GetIntArrayTag(D.d, e.tag, doff);
      ASSERT_EQ(so.size(), doff.size());
      for (std::size_t k = 0; k < so.size(); ++k)
        EXPECT_EQ(S.Bytes(static_cast<std::uint32_t>(so[k]), 16), D.Bytes(static_cast<std::uint32_t>(doff[k]), 16));
    } else {
      EXPECT_EQ(de.type, e.type) << "tag " << e.tag;
      EXPECT_EQ(de.count, e.count) << "tag " << e.tag;
      std::vector<std::uint8_t> a, b;
      GetRawTag(S.d, e.tag, a);
      GetRawTag(D.d, e.tag, b);
      EXPECT_EQ(a, b) << "data of tag " << e.tag;
    }
  }
}

TVlStatus Extract(const std::vector<std::uint8_t>& src, std::int32_t page, std::vector<std::uint8_t>& dst) {
  TVlMemoryStream in(src.data(), static_cast<std::int64_t>(src.size()));
  TVlMemoryStream out;
  TVlStatus s = ExtractTIFFPage(in, page, out);
  dst = out.TakeBytes();
  return s;
}

std::string Pattern(int seed, int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s.push_back(static_cast<char>('A' + (seed * 7 + i) % 26));
  return s;
}

// Three pages; page p has three strips whose data lie in the file in the order 2, 0, 1.
std::vector<std::uint8_t> ThreePages(bool le) {
  TTiffBytes b(le);
  std::vector<std::vector<TSpec>> dirs;
  for (int p = 0; p < 3; ++p) {
    std::uint32_t s2 = b.Pos();
    b.Raw(Pattern(p * 3 + 2, 11));
    std::uint32_t s0 = b.Pos();
    b.Raw(Pattern(p * 3, 13));
    std::uint32_t s1 = b.Pos();
    b.Raw(Pattern(p * 3 + 1, 7));
    dirs.push_back({
        {256, 4, {static_cast<std::uint64_t>(8 + p)}},
        {257, 4, {3}},
        {258, 3, {8, 8, 8}},
        {259, 3, {1}},
        {262, 3, {2}},
        {273, 4, {s0, s1, s2}},
        {278, 4, {1}},
        {279, 4, {13, 7, 11}},
        {282, 5, {300, 1}},
        {305, 2, {}, "page " + std::to_string(p) + " of a test file"},
    });
  }
  b.Chain(dirs);
  return b.bytes;
}

}  // namespace

// ---- counting ----

TEST(TIFFPages, CountsChainsWithoutDecoding) {
  struct Case {
    const char* name;
    std::vector<std::uint8_t> bytes;
    std::int32_t pages;
    TVlStatusCode code;
  };
  std::vector<Case> cases = {
      {"three pages II", ThreePages(true), 3, TVlStatusCode::ok},
      {"three pages MM", ThreePages(false), 3, TVlStatusCode::ok},
      {"JPEG", {0xFF, 0xD8, 0xFF, 0xE0, 0, 16, 'J', 'F', 'I', 'F', 0, 1}, 0, TVlStatusCode::badData},
      {"BigTIFF", {'I', 'I', 43, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0, TVlStatusCode::unsupported},
      {"header only", {'M', 'M', 0, 42, 0, 0, 0, 0}, 0, TVlStatusCode::ok},
      {"two bytes", {'I', 'I'}, 0, TVlStatusCode::truncated},
  };
  {
    std::vector<std::uint8_t> loop = ThreePages(true);
    TTiffBytes b(true);
    b.bytes = loop;
    TLoaded l(loop, 2);
    // Third directory's next field points back at the first: A -> B -> C -> A.
    std::uint32_t third = 0;
    {
      TVlMemoryStream s(loop.data(), static_cast<std::int64_t>(loop.size()));
      TTIFFChainWalker w(s, 0, true, l.firstOffset);
      while (w.Next()) third = static_cast<std::uint32_t>(w.Step().nextLinkPosition);
    }
    b.Patch32(third, l.firstOffset);
    cases.push_back({"loop back to the first page", b.bytes, 3, TVlStatusCode::ok});
  }
  for (const Case& c : cases) {
    TVlMemoryStream s(c.bytes.data(), static_cast<std::int64_t>(c.bytes.size()));
    std::int32_t pages = -1;
    EXPECT_EQ(TryCountTIFFPages(s, pages).code, c.code) << c.name;
    EXPECT_EQ(pages, c.pages) << c.name;
    EXPECT_EQ(CountTIFFPages(s), c.pages) << c.name;
    EXPECT_EQ(s.Position(), 0) << c.name;
  }
}

TEST(TIFFPages, CorpusPageCountsMatchTheMainChain) {
  VL_REQUIRE_CORPUS("tiff-inventory.tsv");
  std::ifstream list(FixturePath("tiff/page-counts.tsv"));
  ASSERT_TRUE(list) << "tests/fixtures/tiff/page-counts.tsv";
  std::string line;
  std::getline(list, line);  // heading
  int files = 0;
  while (std::getline(list, line)) {
    std::istringstream row(line);
    std::string path;
    std::int32_t expected = 0;
    std::getline(row, path, '\t');
    row >> expected;
    EXPECT_EQ(CountTIFFPagesOfFile(CorpusPath(path)), expected) << path;
    ++files;
  }
  EXPECT_GT(files, 300);
  // Not a TIFF file: 0 pages. A missing file: the file system's error.
  EXPECT_EQ(CountTIFFPagesOfFile(CorpusPath("pillow/hopper.jpg")), 0);
  EXPECT_THROW(CountTIFFPagesOfFile(CorpusPath("no/such/file.tif")), TVlFileError);
}

// ---- extraction of hand-built pages ----

class TIFFExtract : public ::testing::TestWithParam<bool> {};

TEST_P(TIFFExtract, EveryPageOfAThreePageFile) {
  const bool le = GetParam();
  std::vector<std::uint8_t> src = ThreePages(le);
  for (int p = 0; p < 3; ++p) {
    std::vector<std::uint8_t> dst;
    ASSERT_TRUE(Extract(src, p, dst).ok()) << p;
    ExpectSamePage(src, p, dst, "page " + std::to_string(p));
    TLoaded D(dst, 0);
    EXPECT_EQ(GetIntTag(D.d, 256, 0), 8 + p);
    EXPECT_EQ(dst[0], le ? 'I' : 'M');
  }
}

TEST_P(TIFFExtract, PageIndexBeyondTheChainLeavesOnlyTheHeader) {
  const bool le = GetParam();
  std::vector<std::uint8_t> src = ThreePages(le);
  for (std::int32_t page : {3, 100, -1}) {
    std::vector<std::uint8_t> dst;
    EXPECT_FALSE(Extract(src, page, dst).ok());
    ASSERT_EQ(dst.size(), 8u);
    EXPECT_TRUE(std::equal(dst.begin(), dst.begin() + 4, src.begin()));
    EXPECT_EQ(dst[4] | dst[5] | dst[6] | dst[7], 0);
  }
}

INSTANTIATE_TEST_SUITE_P(ByteOrder, TIFFExtract, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "II" : "MM"; });

TEST(TIFFExtract, NotATIFFLeavesTheTargetEmpty) {
  const std::vector<std::vector<std::uint8_t>> inputs = {
      {0xFF, 0xD8, 0xFF, 0xE0, 0, 16, 'J', 'F', 'I', 'F', 0, 1},
      {'I', 'I', 43, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
      {'I', 'I', 42},
  };
  for (const auto& in : inputs) {
    std::vector<std::uint8_t> dst;
    EXPECT_FALSE(Extract(in, 0, dst).ok());
    EXPECT_TRUE(dst.empty());
  }
}

TEST(TIFFExtract, PiecesWithoutOrBeyondTheirByteCounts) {
  for (bool le : {true, false}) {
    // Strips at 40 and 20 without byte counts: [20, 40) and [40, end of file).
    TTiffBytes a(le);
    a.Raw(std::string(12, '.'));
    a.Raw(Pattern(1, 20));  // 20..40
    a.Raw(Pattern(2, 30));  // 40..70
    a.Chain({{{256, 4, {5}}, {257, 4, {2}}, {273, 4, {40, 20}}}});
    std::vector<std::uint8_t> dst;
    ASSERT_TRUE(Extract(a.bytes, 0, dst).ok());
    ExpectSamePage(a.bytes, 0, dst, "no byte counts");

    // The last strip claims more than the file holds: what is there is copied and counted.
    TTiffBytes b(le);
    b.Raw(Pattern(3, 10));  // strip 0 at 8
    const std::uint32_t dir = b.Directory({{256, 4, {5}}, {257, 4, {2}}, {273, 4, {8, 0}}, {279, 4, {10, 5000}}});
    b.Link(4, dir);
    const std::uint32_t tail = b.Pos();
    b.Raw(Pattern(4, 25));  // strip 1: the file ends 25 bytes into it
    {
      TLoaded l(b.bytes, 0);
      b.Patch32(l.d.entries[2].value + 4, tail);  // second element of the offsets array
    }
    ASSERT_TRUE(Extract(b.bytes, 0, dst).ok());
    ExpectSamePage(b.bytes, 0, dst, "truncated strip");
    TLoaded D(dst, 0);
    EXPECT_EQ(GetArrayElement(D.d, 279, 1), 25);

    // A sparse tiled page: the first tile is absent (offset 0, byte count 0).
    TTiffBytes c(le);
    c.Raw(Pattern(5, 16));
    c.Chain({{{256, 4, {32}}, {257, 4, {16}}, {322, 4, {16}}, {323, 4, {16}}, {324, 4, {0, 8}}, {325, 4, {0, 16}}}});
    ASSERT_TRUE(Extract(c.bytes, 0, dst).ok());
    ExpectSamePage(c.bytes, 0, dst, "sparse tiles");
  }
}

TEST(TIFFExtract, SixteenBitOffsetsAreWidenedWhenTheyNoLongerFit) {
  TTiffBytes b(false);
  b.Raw(Pattern(5, 40));  // strip at 8, below 65536 in the source
  // ImageDescription (270) comes before the strips and is 70000 bytes long.
  b.Chain(
      {{{256, 4, {8}}, {257, 4, {5}}, {270, 2, {}, std::string(70000, 'd')}, {273, 3, {8, 28}}, {279, 3, {20, 20}}}});
  std::vector<std::uint8_t> dst;
  ASSERT_TRUE(Extract(b.bytes, 0, dst).ok());
  ExpectSamePage(b.bytes, 0, dst, "widened");
  TLoaded D(dst, 0);
  const TTIFFEntry& e = D.d.entries[static_cast<std::size_t>(FindTag(D.d, 273))];
  EXPECT_EQ(e.type, 4);
  EXPECT_GT(GetArrayElement(D.d, 273, 0), 65535);
}

TEST(TIFFExtract, LoopOfTwoDirectories) {
  std::vector<std::uint8_t> src = ThreePages(true);
  TLoaded l(src, 1);
  TTiffBytes b(true);
  b.bytes = src;
  {
    TVlMemoryStream s(src.data(), static_cast<std::int64_t>(src.size()));
    TTIFFChainWalker w(s, 0, true, l.firstOffset);
    ASSERT_TRUE(w.Next());
    ASSERT_TRUE(w.Next());
    b.Patch32(static_cast<std::uint32_t>(w.Step().nextLinkPosition), l.firstOffset);  // B -> A
  }
  std::vector<std::uint8_t> dst;
  EXPECT_TRUE(Extract(b.bytes, 0, dst).ok());
  EXPECT_TRUE(Extract(b.bytes, 1, dst).ok());
  ExpectSamePage(b.bytes, 1, dst, "second of a loop");
  EXPECT_FALSE(Extract(b.bytes, 2, dst).ok());
}

TEST(TIFFExtract, OldStyleJPEGData) {
  for (bool le : {true, false}) {
    TTiffBytes b(le);
    const std::uint32_t stream = b.Pos();
    b.Raw(Pattern(6, 30));  // interchange stream
    const std::uint32_t q = b.Pos();
    b.Raw(Pattern(7, 64));  // one quantisation table shared by two components
    const std::uint32_t dc = b.Pos();
    std::string huff(16, '\0');
    huff[0] = 2;
    huff[3] = 1;  // 3 values follow
    b.Raw(huff + "xyz");
    const std::uint32_t strip = b.Pos();
    b.Raw(Pattern(8, 12));
    const std::vector<TSpec> common = {{256, 4, {8}},  {257, 4, {8}},       {259, 3, {6}},         {273, 4, {strip}},
                                       {279, 4, {12}}, {519, 4, {q, q, q}}, {520, 4, {dc, dc, dc}}};
    {
      TTiffBytes c = b;
      std::vector<TSpec> e = common;
      e.push_back({513, 4, {stream}});
      e.push_back({514, 4, {30}});
      c.Chain({e});
      std::vector<std::uint8_t> dst;
      ASSERT_TRUE(Extract(c.bytes, 0, dst).ok());
      ExpectSamePage(c.bytes, 0, dst, "interchange stream with length");
      TLoaded D(dst, 0);
      EXPECT_EQ(GetArrayElement(D.d, 519, 0), GetArrayElement(D.d, 519, 2));  // shared table copied once
    }
    {
      TTiffBytes c = b;
      std::vector<TSpec> e = common;
      e.push_back({513, 4, {strip}});  // no length, at the strip
      c.Chain({e});
      std::vector<std::uint8_t> dst;
      ASSERT_TRUE(Extract(c.bytes, 0, dst).ok());
      ExpectSamePage(c.bytes, 0, dst, "interchange stream at the strip");
    }
    {
      TTiffBytes c = b;
      std::vector<TSpec> e = common;
      e.push_back({513, 4, {stream}});  // no length, not at a strip
      c.Chain({e});
      std::vector<std::uint8_t> dst;
      TVlStatus s = Extract(c.bytes, 0, dst);
      EXPECT_EQ(s.code, TVlStatusCode::unsupported);
      EXPECT_STREQ(s.reason, "old-style JPEG stream without a length cannot be relocated");
    }
  }
}

TEST(TIFFExtract, SubDirectoriesAreCopiedOrDropped) {
  for (bool le : {true, false}) {
    TTiffBytes b(le);
    // EXIF directory with an out-of-line text.
    const std::uint32_t exif = b.Directory({{36867, 2, {}, std::string("2024:01:02 03:04:05\0", 20)}});
    // A reduced-resolution image with its own strip.
    const std::uint32_t subStrip = b.Pos();
    b.Raw(Pattern(9, 6));
    const std::uint32_t sub =
        b.Directory({{254, 4, {1}}, {256, 4, {2}}, {257, 4, {3}}, {273, 4, {subStrip}}, {279, 4, {6}}});
    const std::uint32_t strip = b.Pos();
    b.Raw(Pattern(10, 9));
    // The page points at: the sub-image, itself (a loop), a place past the end; EXIF; GPS past the end.
    std::vector<TSpec> entries = {{256, 4, {3}},
                                  {257, 4, {3}},
                                  {273, 4, {strip}},
                                  {279, 4, {9}},
                                  {288, 4, {8}},
                                  {289, 4, {4}},
                                  {330, 4, {sub, 0, 0x7FFFFFF0u}},
                                  {700, 77, {1}},
                                  {34665, 4, {exif}},
                                  {34853, 4, {0x7FFFFFF0u}}};
    const std::uint32_t dir = b.Directory(entries);
    b.Link(4, dir);
    {
      // Make the second SubIFD element point at the page itself.
      TLoaded l(b.bytes, 0);
      b.Patch32(l.d.entries[6].value + 4, dir);
    }
    std::vector<std::uint8_t> dst;
    ASSERT_TRUE(Extract(b.bytes, 0, dst).ok());
    ExpectSamePage(b.bytes, 0, dst, "page with sub-directories");
    TLoaded D(dst, 0);
    EXPECT_LT(FindTag(D.d, 34853), 0) << "GPS pointer past the end is dropped";
    EXPECT_LT(FindTag(D.d, 700), 0) << "unknown type is dropped";
    std::vector<std::int32_t> subs;
    ASSERT_EQ(GetIntArrayTag(D.d, 330, subs), 1) << "only the sub-image survives";
    TTIFFDirectory s = D.d;
    std::int32_t n = 0;
    ASSERT_TRUE(ReadDirectoryChain(0, static_cast<std::uint32_t>(subs[0]), s, n));
    std::vector<std::uint8_t> piece = D.Bytes(static_cast<std::uint32_t>(GetIntTag(s, 273, 0)), 6);
    EXPECT_EQ(std::string(piece.begin(), piece.end()), Pattern(9, 6));
    TTIFFDirectory e = D.d;
    ASSERT_TRUE(ReadDirectoryChain(0, static_cast<std::uint32_t>(GetIntTag(D.d, 34665, 0)), e, n));
    EXPECT_EQ(GetStringTag(e, 36867), "2024:01:02 03:04:05");
  }
}

TEST(TIFFExtract, OverlappingPiecesCannotMultiplyTheOutput) {
  // 3000 strips at consecutive offsets, each claiming 20000 bytes of a 23000-byte file.
  TTiffBytes b(true);
  b.Raw(std::string(20000, 'p'));
  std::vector<std::uint64_t> offs, counts;
  for (int i = 0; i < 3000; ++i) {
    offs.push_back(8 + i);
    counts.push_back(20000);
  }
  b.Chain({{{256, 4, {1}}, {257, 4, {3000}}, {273, 4, offs}, {279, 4, counts}}});
  std::vector<std::uint8_t> dst;
  TVlStatus s = Extract(b.bytes, 0, dst);
  EXPECT_EQ(s.code, TVlStatusCode::limitExceeded);
  EXPECT_LE(dst.size(), 3 * b.bytes.size() + 65536 + 8);
}

TEST(TIFFExtract, SourceAndTargetInsideLargerStreams) {
  std::vector<std::uint8_t> page = ThreePages(true);
  std::vector<std::uint8_t> src(33 + page.size(), 0x55);
  std::copy(page.begin(), page.end(), src.begin() + 33);
  TVlMemoryStream in(src.data(), static_cast<std::int64_t>(src.size()));
  in.Seek(33);
  TVlMemoryStream out;
  out.WriteString("prefix!");
  ASSERT_TRUE(ExtractTIFFPage(in, 1, out).ok());
  std::vector<std::uint8_t> bytes = out.TakeBytes();
  std::vector<std::uint8_t> copy(bytes.begin() + 7, bytes.end());
  ExpectSamePage(page, 1, copy, "shifted");
}

TEST(TIFFExtract, ToFile) {
  const fs::path dir = fs::temp_directory_path() / "vl_tiff_pages_test";
  fs::remove_all(dir);
  fs::create_directories(dir);
  const fs::path src = dir / "three.tif", dst = dir / "three_0002.tif";
  {
    std::vector<std::uint8_t> b = ThreePages(false);
    std::ofstream(src, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), b.size());
  }
  std::ofstream(dst) << "an older file that is replaced";
  ASSERT_TRUE(ExtractTIFFPageToFile(src, dst, 1).ok());
  ExpectSamePage(ReadFileBytes(src), 1, ReadFileBytes(dst), "file");
  EXPECT_EQ(CountTIFFPagesOfFile(dst), 1);

  // A failed copy leaves no file behind; the source is never its own target.
  EXPECT_FALSE(ExtractTIFFPageToFile(src, dir / "none.tif", 7).ok());
  EXPECT_FALSE(fs::exists(dir / "none.tif"));
  const auto size = fs::file_size(src);
  EXPECT_FALSE(ExtractTIFFPageToFile(src, src, 0).ok());
  EXPECT_EQ(fs::file_size(src), size);
  EXPECT_THROW((void)ExtractTIFFPageToFile(dir / "missing.tif", dir / "x.tif", 0), TVlFileError);
  fs::remove_all(dir);
}

// ---- the corpus ----

TEST(TIFFExtract, EveryPageOfTheCorpus) {
  VL_REQUIRE_CORPUS("tiff-inventory.tsv");
  std::ifstream list(FixturePath("tiff/page-counts.tsv"));
  ASSERT_TRUE(list);
  std::string line;
  std::getline(list, line);
  int pages = 0;
  while (std::getline(list, line)) {
    std::istringstream row(line);
    std::string path;
    std::int32_t n = 0;
    std::getline(row, path, '\t');
    row >> n;
    if (n == 0)
      continue;
    std::vector<std::uint8_t> src = ReadFileBytes(CorpusPath(path));
    for (std::int32_t p = 0; p < n; ++p) {
      std::vector<std::uint8_t> dst;
      TVlStatus s = Extract(src, p, dst);
      ASSERT_TRUE(s.ok()) << path << " page " << p << ": " << s.reason;
      ExpectSamePage(src, p, dst, path + " page " + std::to_string(p));
      ++pages;
    }
  }
  EXPECT_GT(pages, 350);
}

// ---- inputs found by fuzzing ----

TEST(TIFFFuzzFindings, HugeOffsetsCountIsRefusedBeforeAllocating) {
  // Page 1 of this file declares 1358954497 strip offsets (5.4 GB) in a 1.5 KB file.
  const std::vector<std::uint8_t> src = ReadFileBytes(FixturePath("tiff/fuzz-huge-offsets-count.tif"));
  ASSERT_FALSE(src.empty());
  std::vector<std::uint8_t> dst;
  EXPECT_TRUE(Extract(src, 0, dst).ok());
  TVlStatus s = Extract(src, 1, dst);
  EXPECT_EQ(s.code, TVlStatusCode::badData);
  EXPECT_STREQ(s.reason, "strip or tile offsets outside the file");
  // The same built by hand.
  TTiffBytes b(true);
  b.Chain({{{256, 4, {1}}, {257, 4, {1}}, {273, 4, {}, "", 0x40000000u, 8}}});
  EXPECT_EQ(Extract(b.bytes, 0, dst).code, TVlStatusCode::badData);
}
