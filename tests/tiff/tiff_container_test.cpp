#include "tiff/tiff_container.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "tests/test_paths.h"
#include "tests/tiff/tiff_bytes.h"

namespace fs = std::filesystem;

namespace {

TTIFFDirectory Load(TVlMemoryStream& s, bool le, std::int32_t index, std::int32_t* count = nullptr) {
  TTIFFDirectory d;
  d.stream = &s;
  d.littleEndian = le;
  TTIFFHeader h;
  EXPECT_TRUE(ReadTIFFHeader(s, 0, h).ok());
  std::int32_t n = 0;
  ReadDirectoryChain(index, h.firstOffset, d, n);
  if (count)
    *count = n;
  return d;
}

std::int32_t ChainCount(const std::vector<std::uint8_t>& bytes, bool le) {
  TVlMemoryStream s(bytes.data(), static_cast<std::int64_t>(bytes.size()));
  TTIFFHeader h;
  if (!ReadTIFFHeader(s, 0, h).ok())
    return -1;
  TTIFFDirectory d;
  d.stream = &s;
  d.littleEndian = le;
  std::int32_t n = -1;
  ReadDirectoryChain(-1, h.firstOffset, d, n);
  return n;
}

const std::vector<TSpec> kImage = {{256, 4, {640}}, {257, 4, {480}}};

}  // namespace

// ---- header ----

TEST(TIFFHeader, MarksVersionsAndShortInput) {
  struct Case {
    const char* name;
    std::vector<std::uint8_t> bytes;
    TVlStatusCode code;
    bool le;
    std::uint32_t first;
  };
  const Case cases[] = {
      {"little-endian", {'I', 'I', 42, 0, 8, 0, 0, 0}, TVlStatusCode::ok, true, 8},
      {"big-endian", {'M', 'M', 0, 42, 0, 0, 1, 0}, TVlStatusCode::ok, false, 256},
      {"BigTIFF", {'I', 'I', 43, 0, 8, 0, 0, 0}, TVlStatusCode::unsupported, true, 0},
      {"BigTIFF big-endian", {'M', 'M', 0, 43, 0, 8, 0, 0}, TVlStatusCode::unsupported, false, 0},
      {"version 41", {'I', 'I', 41, 0, 8, 0, 0, 0}, TVlStatusCode::badData, true, 0},
      {"mixed mark", {'I', 'M', 42, 0, 8, 0, 0, 0}, TVlStatusCode::badData, true, 0},
      {"seven bytes", {'I', 'I', 42, 0, 8, 0, 0}, TVlStatusCode::truncated, true, 0},
      {"empty", {}, TVlStatusCode::truncated, true, 0},
  };
  for (const Case& c : cases) {
    TVlMemoryStream s(c.bytes.data(), static_cast<std::int64_t>(c.bytes.size()));
    TTIFFHeader h;
    TVlStatus st = ReadTIFFHeader(s, 0, h);
    EXPECT_EQ(st.code, c.code) << c.name;
    if (st.ok()) {
      EXPECT_EQ(h.littleEndian, c.le) << c.name;
      EXPECT_EQ(h.firstOffset, c.first) << c.name;
    }
  }
}

// ---- accessors, table-driven in both byte orders ----

class TIFFAccessors : public ::testing::TestWithParam<bool> {};

TEST_P(TIFFAccessors, TypedValues) {
  const bool le = GetParam();
  TTiffBytes b(le);
  std::uint32_t far = 0xFFFFFF00u;
  b.Chain({{
      {256, 3, {2}},                                    // SHORT inline
      {257, 4, {1234567}},                              // LONG inline
      {258, 3, {1, 3}},                                 // two SHORTs inline
      {259, 1, {7}},                                    // BYTE inline
      {260, 8, {0xFFFE}},                               // SSHORT -2
      {261, 3, {10, 20, 30, 40, 50}},                   // SHORT array out of line
      {262, 4, {100, 200, 300}},                        // LONG array out of line
      {269, 2, {}, "abcdef"},                           // ASCII out of line, no terminator
      {270, 2, {}, std::string("abcdef\0", 7)},         // ASCII out of line with terminator
      {271, 2, {}, std::string("abc\0", 4)},            // ASCII inline, count 4
      {272, 2, {}, "ab"},                               // ASCII inline, count 2
      {282, 5, {300, 1}},                               // RATIONAL
      {283, 5, {72, 0}},                                // zero denominator
      {284, 5, {0x80000000u, 1}},                       // unsigned numerator
      {285, 10, {0xFFFFFFFFu, 2}},                      // SRATIONAL -1/2
      {286, 5, {1, 2, 3, 4, 5, 8}},                     // three rationals
      {287, 4, {600}},                                  // LONG read as a rational
      {330, 4, {4096}},                                 // single SubIFD
      {331, 13, {111, 222}},                            // IFD type array
      {332, 7, {}, std::string("\x01\x02\x03", 3)},     // UNDEFINED inline
      {333, 7, {}, "0123456789"},                       // UNDEFINED out of line
      {40091, 1, {}, std::string("H\0i\0\0\0x\0", 8)},  // XP text
      {40092, 1, {}, std::string("A\0\0\0", 4)},        // XP text held inline
      // Hostile: data outside the stream, huge counts, offsets near 4 GiB.
      {500, 4, {}, "", 1000, 16},
      {501, 4, {}, "", 0xFFFFFFFFu, 16},
      {502, 2, {}, "", 100, far},
      {503, 5, {}, "", 1, far},
      {504, 3, {}, "", 0x7FFFFFFF, 8},
      {505, 99, {5}},       // unknown type
      {506, 3, {}, "", 0},  // count 0
  }});
  TVlMemoryStream s(b.bytes.data(), static_cast<std::int64_t>(b.bytes.size()));
  TTIFFDirectory d = Load(s, le, 0);
  ASSERT_EQ(d.entryCount, 30);

  struct IntCase {
    std::uint16_t tag;
    std::int32_t intTag, elem0, elem1, elem5;
  };
  const IntCase ints[] = {
      {256, 2, 2, 2, 2},  // a single value answers every index
      {257, 1234567, 1234567, 1234567, 1234567},
      {258, 1, 1, 3, 0},  // index beyond a count of 2 gives 0
      {259, 7, 0, 0, 0},  // BYTE: no array elements
      {260, -2, 0, 0, 0},
      {261, 10, 10, 20, 0},
      {262, 100, 100, 200, 0},
      {330, 4096, 4096, 4096, 4096},
      {331, 111, 111, 222, 0},
      {500, -9, 0, 0, 0},
      {501, -9, 0, 0, 0},
      {504, -9, 0, 0, 0},
      {505, -9, 0, 0, 0},
      {506, -9, 0, 0, 0},
      {999, -9, 0, 0, 0},
  };
  for (const IntCase& c : ints) {
    EXPECT_EQ(GetIntTag(d, c.tag, -9), c.intTag) << "GetIntTag " << c.tag;
    EXPECT_EQ(GetArrayElement(d, c.tag, 0), c.elem0) << "element 0 of " << c.tag;
    EXPECT_EQ(GetArrayElement(d, c.tag, 1), c.elem1) << "element 1 of " << c.tag;
    EXPECT_EQ(GetArrayElement(d, c.tag, 5), c.elem5) << "element 5 of " << c.tag;
  }
  EXPECT_EQ(GetInlineValue(d, d.entries[0]), 2u);
  EXPECT_EQ(GetInlineValue(d, d.entries[3]), 7u);

  std::vector<std::int32_t> v;
  EXPECT_EQ(GetIntArrayTag(d, 261, v), 5);
  EXPECT_EQ(v, (std::vector<std::int32_t>{10, 20, 30, 40, 50}));
  EXPECT_EQ(GetIntArrayTag(d, 258, v), 2);
  EXPECT_EQ(v, (std::vector<std::int32_t>{1, 3}));
  EXPECT_EQ(GetIntArrayTag(d, 256, v), 1);
  EXPECT_EQ(v, (std::vector<std::int32_t>{2}));
  for (std::uint16_t missing : {500, 501, 504, 999}) {
    EXPECT_EQ(GetIntArrayTag(d, missing, v), 0) << missing;
    EXPECT_TRUE(v.empty()) << missing;
  }

  const struct {
    std::uint16_t tag;
    std::string text;
  } strings[] = {
      {269, "abcdef"}, {270, "abcdef"}, {271, std::string("abc\0", 4)}, {272, "ab"}, {502, ""}, {999, ""},
  };
  for (const auto& c : strings) EXPECT_EQ(GetStringTag(d, c.tag), c.text) << "string " << c.tag;

  const struct {
    std::uint16_t tag;
    std::int32_t i;
    double value;
  } rationals[] = {
      {282, 0, 300}, {283, 0, 72}, {284, 0, 2147483648.0}, {285, 0, -0.5}, {286, 0, 0.5}, {286, 2, 0.625},
      {286, 3, 0},   {286, -1, 0}, {287, 0, 600},          {503, 0, 0},    {999, 0, 0},
  };
  for (const auto& c : rationals)
    EXPECT_DOUBLE_EQ(GetRationalElement(d, c.tag, c.i), c.value) << "rational " << c.tag << "[" << c.i << "]";
  EXPECT_DOUBLE_EQ(GetRationalTag(d, 282), 300);
  EXPECT_DOUBLE_EQ(GetRationalTag(d, 286), 0.5);

  std::vector<std::uint8_t> raw;
  EXPECT_TRUE(GetRawTag(d, 333, raw));
  EXPECT_EQ(std::string(raw.begin(), raw.end()), "0123456789");
  EXPECT_TRUE(GetRawTag(d, 332, raw));
  EXPECT_EQ(raw, (std::vector<std::uint8_t>{1, 2, 3}));
  EXPECT_FALSE(GetRawTag(d, 500, raw));
  EXPECT_FALSE(GetRawTag(d, 501, raw));
  EXPECT_TRUE(raw.empty());

  EXPECT_EQ(GetWideStringTag(d, 40091), u"Hi");
  EXPECT_EQ(GetWideStringTag(d, 40092), u"A");
  EXPECT_EQ(GetWideStringTag(d, 502), u"");
}

INSTANTIATE_TEST_SUITE_P(ByteOrder, TIFFAccessors, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "II" : "MM"; });

TEST(TIFFAccessors, OversizedStringsReadEmpty) {
  TTiffBytes b(true);
  std::string big(0x100000, 'x');  // one more than the 0xFFFFF ceiling
  b.Chain({{{270, 2, {}, big}, {271, 2, {}, big.substr(1)}}});
  TVlMemoryStream s(b.bytes.data(), static_cast<std::int64_t>(b.bytes.size()));
  TTIFFDirectory d = Load(s, true, 0);
  EXPECT_EQ(GetStringTag(d, 270), "");
  EXPECT_EQ(GetStringTag(d, 271).size(), 0xFFFFFu);
}

// ---- chain walk ----

TEST(TIFFChain, CountsAndEndings) {
  struct Case {
    const char* name;
    std::int32_t expected;
    TTIFFChainEnd end;
    std::vector<std::uint8_t> (*build)(bool le);
  };
  const Case cases[] = {
      {"one directory", 1, TTIFFChainEnd::endOfChain,
       [](bool le) {
         TTiffBytes b(le);
         b.Chain({kImage});
         b.U32(0);  // room after the next field
         return b.bytes;
       }},
      {"three directories", 3, TTIFFChainEnd::endOfChain,
       [](bool le) {
         TTiffBytes b(le);
         b.Chain({kImage, kImage, kImage});
         b.U32(0);
         return b.bytes;
       }},
      {"first offset 0", 0, TTIFFChainEnd::endOfChain,
       [](bool le) {
         TTiffBytes b(le);
         b.Directory(kImage);
         return b.bytes;
       }},
      {"first offset past the end", 0, TTIFFChainEnd::badLink,
       [](bool le) {
         TTiffBytes b(le);
         b.Directory(kImage);
         b.Link(4, 100000);
         return b.bytes;
       }},
      {"first offset inside the header", 0, TTIFFChainEnd::badLink,
       [](bool le) {
         TTiffBytes b(le);
         b.U32(0);
         b.Link(4, 2);
         return b.bytes;
       }},
      {"directory pointing at itself", 1, TTIFFChainEnd::loop,
       [](bool le) {
         TTiffBytes b(le);
         std::uint32_t next;
         std::uint32_t a = b.Directory(kImage, 0, &next);
         b.Link(4, a);
         b.Link(next, a);
         b.U32(0);
         return b.bytes;
       }},
      {"A to B to A", 2, TTIFFChainEnd::loop,
       [](bool le) {
         TTiffBytes b(le);
         auto offs = b.Chain({kImage, kImage});
         b.Patch32(offs[1] + 2 + 12 * 2, offs[0]);
         b.U32(0);
         return b.bytes;
       }},
      {"A to B to C to B", 3, TTIFFChainEnd::loop,
       [](bool le) {
         TTiffBytes b(le);
         auto offs = b.Chain({kImage, kImage, kImage});
         b.Patch32(offs[2] + 2 + 12 * 2, offs[1]);
         b.U32(0);
         return b.bytes;
       }},
      {"next offset below 8", 1, TTIFFChainEnd::badLink,
       [](bool le) {
         TTiffBytes b(le);
         auto offs = b.Chain({kImage});
         b.Patch32(offs[0] + 2 + 24, 4);
         b.U32(0);
         return b.bytes;
       }},
      {"next offset past the end", 1, TTIFFChainEnd::badLink,
       [](bool le) {
         TTiffBytes b(le);
         auto offs = b.Chain({kImage});
         b.Patch32(offs[0] + 2 + 24, 0xFFFFFFF0u);
         b.U32(0);
         return b.bytes;
       }},
      {"last directory ends at the end of the file", 1, TTIFFChainEnd::truncated,
       [](bool le) {
         TTiffBytes b(le);
         b.Chain({kImage, kImage});
         b.bytes.resize(b.bytes.size() - 4);  // the second directory has no next field
         return b.bytes;
       }},
      {"entries cut off", 1, TTIFFChainEnd::truncated,
       [](bool le) {
         TTiffBytes b(le);
         b.Chain({kImage, kImage});
         b.bytes.resize(b.bytes.size() - 10);
         return b.bytes;
       }},
      {"entry count beyond the file", 1, TTIFFChainEnd::truncated,
       [](bool le) {
         TTiffBytes b(le);
         auto offs = b.Chain({kImage, kImage});
         b.bytes[offs[1]] = 0xFF;
         b.bytes[offs[1] + 1] = 0xFF;
         return b.bytes;
       }},
      {"empty directory", 1, TTIFFChainEnd::emptyDirectory,
       [](bool le) {
         TTiffBytes b(le);
         b.Chain({kImage, {}});
         b.U32(0);
         return b.bytes;
       }},
  };
  for (bool le : {true, false}) {
    for (const Case& c : cases) {
      std::vector<std::uint8_t> bytes = c.build(le);
      EXPECT_EQ(ChainCount(bytes, le), c.expected) << c.name << (le ? " II" : " MM");
      TVlMemoryStream s(bytes.data(), static_cast<std::int64_t>(bytes.size()));
      TTIFFHeader h;
      ASSERT_TRUE(ReadTIFFHeader(s, 0, h).ok());
      TTIFFChainWalker w(s, 0, le, h.firstOffset);
      while (w.Next()) {
      }
      EXPECT_EQ(w.EndReason(), c.end) << c.name << (le ? " II" : " MM");
    }
  }
}

TEST(TIFFChain, StopsAfterTheDirectoryCeiling) {
  // 70000 one-entry directories, each linked to the next.
  TTiffBytes b(true);
  std::uint32_t link = 4;
  for (int i = 0; i < 70000; ++i) {
    std::uint32_t next;
    std::uint32_t at = b.Directory({{256, 3, {1}}}, 0, &next);
    b.Link(link, at);
    link = next;
  }
  b.U32(0);
  EXPECT_EQ(ChainCount(b.bytes, true), kTIFFMaxDirectories);
}

TEST(TIFFChain, LoadsTheWantedDirectoryAndCountsTheWholeChain) {
  for (bool le : {true, false}) {
    TTiffBytes b(le);
    b.Chain({{{256, 3, {10}}, {297, 3, {0, 3}}}, {{256, 3, {20}}}, {{256, 4, {30}}, {257, 4, {40}}}});
    b.U32(0);
    TVlMemoryStream s(b.bytes.data(), static_cast<std::int64_t>(b.bytes.size()));
    for (int i = 0; i < 3; ++i) {
      std::int32_t n = 0;
      TTIFFDirectory d = Load(s, le, i, &n);
      EXPECT_EQ(n, 3);
      EXPECT_EQ(GetIntTag(d, 256, 0), 10 * (i + 1));
    }
    TTIFFDirectory d;
    d.stream = &s;
    d.littleEndian = le;
    std::int32_t n = 0;
    TTIFFHeader h;
    ASSERT_TRUE(ReadTIFFHeader(s, 0, h).ok());
    EXPECT_FALSE(ReadDirectoryChain(5, h.firstOffset, d, n));  // beyond the chain
    EXPECT_EQ(n, 3);
    EXPECT_FALSE(ReadDirectoryChain(-1, h.firstOffset, d, n));
    EXPECT_EQ(n, 3);
    EXPECT_TRUE(d.entries.empty());
  }
}

TEST(TIFFChain, WalkerGivesLinksForInsertion) {
  TTiffBytes b(true);
  std::vector<std::uint32_t> offs = b.Chain({kImage, kImage});
  b.U32(0);
  TVlMemoryStream s(b.bytes.data(), static_cast<std::int64_t>(b.bytes.size()));
  TTIFFChainWalker w(s, 0, true, offs[0]);
  ASSERT_TRUE(w.Next());
  EXPECT_EQ(w.Step().linkPosition, 4);
  EXPECT_EQ(w.Step().offset, offs[0]);
  EXPECT_EQ(w.Step().nextOffset, offs[1]);
  ASSERT_TRUE(w.Next());
  EXPECT_EQ(w.Step().linkPosition, offs[0] + 2 + 24);
  EXPECT_FALSE(w.Next());
  EXPECT_EQ(w.EndLinkPosition(), offs[1] + 2 + 24);
  EXPECT_EQ(w.Count(), 2);
}

TEST(TIFFChain, BaseAtAStreamPosition) {
  TTiffBytes b(false);
  b.Chain({kImage, kImage});
  b.U32(0);
  std::vector<std::uint8_t> bytes(100, 0xAB);
  bytes.insert(bytes.end(), b.bytes.begin(), b.bytes.end());
  TVlMemoryStream s(bytes.data(), static_cast<std::int64_t>(bytes.size()));
  TTIFFHeader h;
  ASSERT_TRUE(ReadTIFFHeader(s, 100, h).ok());
  TTIFFDirectory d;
  d.stream = &s;
  d.base = 100;
  d.littleEndian = false;
  std::int32_t n = 0;
  EXPECT_TRUE(ReadDirectoryChain(1, h.firstOffset, d, n));
  EXPECT_EQ(n, 2);
  EXPECT_EQ(GetIntTag(d, 257, 0), 480);
}

// ---- maker note ----

namespace {
// An EXIF-like directory whose maker note (37500) is itself a directory in the file's byte order.
std::vector<std::uint8_t> MakerNoteFile(bool le, std::uint16_t k, const std::vector<TSpec>& note) {
  TTiffBytes b(le);
  b.U32(0);  // some room
  // The note's out-of-line data first, then the note's entry table as the tag's data.
  std::vector<std::uint32_t> fields;
  for (const TSpec& s : note) {
    std::vector<std::uint8_t> d = b.Data(s);
    if (s.raw) {
      fields.push_back(*s.raw);
    } else if (d.size() <= 4) {
      d.resize(4, 0);
      std::uint32_t v = 0;
      for (int q = 0; q < 4; ++q) v = le ? v | static_cast<std::uint32_t>(d[q]) << (8 * q) : v << 8 | d[q];
      fields.push_back(v);
    } else {
      b.Pad();
      fields.push_back(b.Pos());
      b.Raw(d);
    }
  }
  b.Pad();
  const std::uint32_t noteAt = b.Pos();
  b.U16(k);
  for (std::size_t i = 0; i < note.size(); ++i) {
    b.U16(note[i].tag);
    b.U16(note[i].type);
    b.U32(b.Count(note[i]));
    b.U32(fields[i]);
  }
  b.U32(0);
  const std::uint32_t noteSize = b.Pos() - noteAt;
  b.Chain({{{37500, 7, {}, "", noteSize, noteAt}}});
  b.U32(0);
  return b.bytes;
}

const std::vector<TSpec> kNote = {
    {1, 3, {5}},                            // SHORT inline
    {2, 3, {0}},                            // a zero value is kept
    {3, 4, {7, 8, 9}},                      // LONG array out of line
    {4, 2, {}, std::string("Canon\0", 6)},  // ASCII out of line
    {5, 3, {1, 2}},                         // two SHORTs inline
    {6, 7, {}, std::string(2000, 'z')},     // large UNDEFINED block
};
}  // namespace

class TIFFMakerNote : public ::testing::TestWithParam<bool> {};

TEST_P(TIFFMakerNote, CaptureAndReEmitRoundTrip) {
  const bool le = GetParam();
  std::vector<std::uint8_t> file = MakerNoteFile(le, static_cast<std::uint16_t>(kNote.size()), kNote);
  TVlMemoryStream s(file.data(), static_cast<std::int64_t>(file.size()));
  TTIFFDirectory exif = Load(s, le, 0);
  TVlTagsHandler h;
  LoadMakerNote(exif, 37500, h);
  ASSERT_FALSE(h.Empty());
  const TTIFFDirectory& hd = h.Directory();
  ASSERT_EQ(hd.entryCount, 6);
  EXPECT_TRUE(hd.littleEndian);
  EXPECT_EQ(GetIntTag(hd, 1, -1), 5);
  EXPECT_EQ(GetIntTag(hd, 2, -1), 0);
  EXPECT_EQ(GetArrayElement(hd, 3, 2), 9);
  EXPECT_EQ(GetStringTag(hd, 4), "Canon");
  EXPECT_EQ(GetArrayElement(hd, 5, 1), 2);
  std::vector<std::uint8_t> raw;
  EXPECT_TRUE(GetRawTag(hd, 6, raw));
  EXPECT_EQ(raw.size(), 2000u);

  // Copies are deep; the block alone (as the parameter record keeps it) rebuilds the handler.
  TVlTagsHandler copy = h;
  h.Clear();
  EXPECT_EQ(GetArrayElement(copy.Directory(), 3, 1), 8);
  TVlTagsHandler fromBlock(copy.Block());
  EXPECT_EQ(fromBlock.Directory().entryCount, 6);
  EXPECT_EQ(GetStringTag(fromBlock.Directory(), 4), "Canon");

  // Re-emitted at an odd position with a limit of 1024: the large block is left out.
  TVlMemoryStream out;
  out.WriteString("xyzxyzxyz");
  std::atomic<bool> abort{false};
  TTIFFEntryList list;
  AddMakerNoteEntry(list, out, 37500, 1024, abort, copy);
  EXPECT_FALSE(abort);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].type, 7);
  EXPECT_EQ(list[0].value % 2, 0u);
  EXPECT_EQ(static_cast<std::int64_t>(list[0].value + list[0].count), out.Size());
  // The block is a directory with absolute offsets: read it at its position with base 0.
  TTIFFDirectory note;
  note.stream = &out;
  std::int32_t n = 0;
  ASSERT_TRUE(ReadDirectoryChain(0, list[0].value, note, n));
  EXPECT_EQ(note.entryCount, 5);
  EXPECT_EQ(GetIntTag(note, 1, -1), 5);
  EXPECT_EQ(GetArrayElement(note, 3, 0), 7);
  EXPECT_EQ(GetStringTag(note, 4), "Canon");
  EXPECT_EQ(FindTag(note, 6), -1);
  for (const TTIFFEntry& e : note.entries) {
    if (TIFFTypeSize(e.type) * e.count > 4) {
      EXPECT_EQ(e.value % 2, 0u) << e.tag;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(ByteOrder, TIFFMakerNote, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "II" : "MM"; });

TEST(TIFFMakerNote, BlocksThatAreNotDirectories) {
  struct Case {
    const char* name;
    std::uint16_t k;
    std::vector<TSpec> note;
    int entries;        // -1: nothing captured
    std::int32_t tag3;  // value of tag 3 in the capture
  };
  const Case cases[] = {
      {"more than 256 entries", 300, {{1, 3, {5}}}, -1, -1},
      {"count beyond the block", 4, {{1, 3, {5}}}, -1, -1},
      {"unknown type ends the table", 3, {{1, 3, {5}}, {2, 77, {1}}, {3, 3, {6}}}, 1, -1},
      {"data outside the file dropped", 3, {{1, 3, {5}}, {2, 4, {}, "", 50, 0x7FFFFFF0}, {3, 3, {6}}}, 2, 6},
      {"zero offset dropped", 2, {{1, 4, {}, "", 3, 0}, {3, 3, {6}}}, 1, 6},
  };
  for (const Case& c : cases) {
    std::vector<std::uint8_t> file = MakerNoteFile(true, c.k, c.note);
    TVlMemoryStream s(file.data(), static_cast<std::int64_t>(file.size()));
    TTIFFDirectory exif = Load(s, true, 0);
    TVlTagsHandler h;
    LoadMakerNote(exif, 37500, h);
    if (c.entries < 0) {
      EXPECT_TRUE(h.Empty()) << c.name;
    } else {
      EXPECT_EQ(h.Directory().entryCount, c.entries) << c.name;
      EXPECT_EQ(GetIntTag(h.Directory(), 3, -1), c.tag3) << c.name;
    }
  }
  // An empty handler emits nothing.
  TVlTagsHandler empty;
  TVlMemoryStream out;
  std::atomic<bool> abort{false};
  TTIFFEntryList list;
  AddMakerNoteEntry(list, out, 37500, 1024, abort, empty);
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(out.Size(), 0);
}

// ---- content tests ----

TEST(TIFFDetect, IsTIFFStreamAndIsCameraRawTIFF) {
  struct Case {
    const char* name;
    std::vector<std::uint8_t> bytes;
    bool tiff, raw;
  };
  auto file = [](bool le, const std::vector<TSpec>& e, std::uint16_t version = 42) {
    TTiffBytes b(le, version);
    b.Chain({e});
    b.U32(0);
    return b.bytes;
  };
  std::vector<Case> cases = {
      {"image II", file(true, kImage), true, false},
      {"image MM", file(false, kImage), true, false},
      {"no ImageLength", file(true, {{256, 4, {640}}}), false, false},
      {"BigTIFF", file(true, kImage, 43), false, false},
      {"version 0", file(true, kImage, 0), false, false},
      {"eight bytes", {'I', 'I', 42, 0, 8, 0, 0, 0}, false, false},
      {"JPEG", {0xFF, 0xD8, 0xFF, 0xE0, 0, 16, 'J', 'F', 'I', 'F', 0, 1, 1}, false, false},
      {"DNG", file(true, {{256, 4, {4000}}, {257, 4, {3000}}, {50706, 1, {1, 4, 0, 0}}}), true, true},
      {"DNGVersion of the wrong type", file(true, {{256, 4, {4000}}, {257, 4, {3000}}, {50706, 3, {1, 4}}}), true,
       false},
      {"CFA", file(false, {{256, 4, {4000}}, {257, 4, {3000}}, {262, 3, {32803}}}), true, true},
      {"LinearRaw", file(true, {{256, 4, {4000}}, {257, 4, {3000}}, {262, 3, {34892}}}), true, true},
      {"TIFF/EP preview", file(true, {{256, 4, {160}}, {257, 4, {120}}, {330, 4, {8}}, {37398, 1, {1, 0, 0, 0}}}), true,
       true},
      {"TIFF/EP large", file(true, {{256, 4, {1600}}, {257, 4, {120}}, {330, 4, {8}}, {37398, 1, {1, 0, 0, 0}}}), true,
       false},
  };
  for (std::uint8_t at8 : {0x00, 0xBA}) {
    TTiffBytes b(false);
    b.U8(at8);  // the byte after a big-endian header; the directory follows at 10
    b.U8(0);
    b.Chain({kImage});
    b.U32(0);
    cases.push_back({at8 ? "MM with 0xBA at 8" : "MM with 0 at 8", b.bytes, at8 == 0, false});
  }
  {
    std::vector<std::uint8_t> c = file(true, kImage);
    c[4] = 0xF0;
    c[5] = 0xFF;
    cases.push_back({"first offset past the end", c, false, false});
  }
  for (const Case& c : cases) {
    TVlMemoryStream s(c.bytes.data(), static_cast<std::int64_t>(c.bytes.size()));
    EXPECT_EQ(IsTIFFStream(s), c.tiff) << c.name;
    EXPECT_EQ(s.Position(), 0) << c.name;
    EXPECT_EQ(IsCameraRawTIFF(s), c.raw) << c.name;
    EXPECT_EQ(s.Position(), 0) << c.name;
  }
  // Tests start at the stream position and put it back.
  std::vector<std::uint8_t> shifted(37, 0);
  std::vector<std::uint8_t> t = file(true, kImage);
  shifted.insert(shifted.end(), t.begin(), t.end());
  TVlMemoryStream s(shifted.data(), static_cast<std::int64_t>(shifted.size()));
  s.Seek(37);
  EXPECT_TRUE(IsTIFFStream(s));
  EXPECT_EQ(s.Position(), 37);
}

// ---- writing ----

TEST(TIFFWriter, BuildersRoundTripThroughTheReader) {
  TVlMemoryStream out;
  std::atomic<bool> abort{false};
  out.WriteString("II");
  out.WriteU16LE(42);
  out.WriteU32LE(0);
  out.WriteByte(0xEE);  // odd position: every block must be realigned
  TTIFFEntryList list;
  AddLongEntry(list, 257, 480);
  AddShortEntry(list, 259, 4);
  AddByteEntry(list, 1000, 9);
  AddInlineStringEntry(list, 36864, "0220");
  AddInlineStringEntry(list, 1001, "toolong");  // held inline: only 4 bytes survive
  AddStringEntry(list, out, 305, abort, "Vellumo test writer");
  AddStringEntry(list, out, 306, abort, "ab");
  AddStringEntry(list, out, 307, abort, "");
  AddRationalEntry(list, out, 282, abort, 1, 300);
  AddSRationalEntry(list, out, 37380, abort, 3, -1);
  const std::uint32_t rat[] = {1, 2, 3, 4, 5, 8};
  AddRationalArrayEntry(list, out, 318, abort, 5, rat);
  const std::uint32_t one[] = {77};
  AddLongArrayEntry(list, out, 273, abort, 1, one);
  const std::uint32_t three[] = {10, 20, 30};
  AddLongArrayEntry(list, out, 279, abort, 3, three);
  const std::uint16_t pair[] = {1, 3};
  AddShortArrayEntry(list, out, 297, abort, 1, pair);
  const std::uint16_t five[] = {5, 6, 7, 8, 9};
  AddShortArrayEntry(list, out, 320, abort, 4, five);
  AddWideStringEntry(list, out, 40091, abort, u"A");
  AddWideStringEntry(list, out, 40092, abort, u"Hello");
  AddWideStringEntry(list, out, 40093, abort, u"");
  AddLongEntry(list, 256, 640);  // out of order on purpose
  const std::int64_t dirAt = AlignToWord(out, abort);
  WriteDirectory(out, abort, list, 0);
  EXPECT_TRUE(list.empty());
  EXPECT_FALSE(abort);
  EXPECT_EQ(dirAt % 2, 0);
  out.Seek(4);
  out.WriteU32LE(static_cast<std::uint32_t>(dirAt));

  TTIFFDirectory d;
  d.stream = &out;
  std::int32_t n = 0;
  ASSERT_TRUE(ReadDirectoryChain(0, static_cast<std::uint32_t>(dirAt), d, n));
  EXPECT_EQ(n, 1);
  ASSERT_EQ(d.entryCount, 17);
  for (std::size_t i = 1; i < d.entries.size(); ++i) EXPECT_LT(d.entries[i - 1].tag, d.entries[i].tag);
  for (const TTIFFEntry& e : d.entries) {
    if (TIFFTypeSize(e.type) * e.count > 4) {
      EXPECT_EQ(e.value % 2, 0u) << "block of tag " << e.tag;
    }
  }

  EXPECT_EQ(GetIntTag(d, 256, 0), 640);
  EXPECT_EQ(GetIntTag(d, 257, 0), 480);
  EXPECT_EQ(GetIntTag(d, 259, 0), 4);
  EXPECT_EQ(GetIntTag(d, 1000, 0), 9);
  EXPECT_EQ(GetStringTag(d, 36864), "0220");
  EXPECT_EQ(GetStringTag(d, 1001), "tool");
  EXPECT_EQ(GetStringTag(d, 305), "Vellumo test writer");
  EXPECT_EQ(GetStringTag(d, 306), "ab");
  EXPECT_EQ(FindTag(d, 307), -1);
  EXPECT_DOUBLE_EQ(GetRationalTag(d, 282), 300);
  EXPECT_NEAR(GetRationalTag(d, 37380), -1.0 / 3, 1e-12);
  EXPECT_DOUBLE_EQ(GetRationalElement(d, 318, 2), 0.625);
  EXPECT_EQ(d.entries[static_cast<std::size_t>(FindTag(d, 273))].value, 77u);  // one LONG is inline
  EXPECT_EQ(GetArrayElement(d, 279, 2), 30);
  EXPECT_EQ(GetArrayElement(d, 297, 0), 1);
  EXPECT_EQ(GetArrayElement(d, 297, 1), 3);
  EXPECT_EQ(GetArrayElement(d, 320, 4), 9);
  EXPECT_EQ(GetWideStringTag(d, 40091), u"A");
  EXPECT_EQ(GetWideStringTag(d, 40092), u"Hello");
  EXPECT_EQ(FindTag(d, 40093), -1);
}

TEST(TIFFWriter, ShortWritesRaiseTheAbortFlag) {
  std::uint8_t fixed[4] = {};
  TVlMemoryStream readOnly(fixed, 4);  // a view: every write fails
  std::atomic<bool> abort{false};
  TTIFFEntryList list;
  AddStringEntry(list, readOnly, 305, abort, "long enough text");
  EXPECT_TRUE(abort);
  EXPECT_EQ(list.size(), 1u);  // the entry is still added; the caller decides
  abort = false;
  EXPECT_FALSE(WriteChecked(readOnly, abort, "x", 1));
  EXPECT_TRUE(abort);
  abort = false;
  WriteDirectory(readOnly, abort, list, 0);
  EXPECT_TRUE(abort);
  EXPECT_TRUE(list.empty());
}

// ---- inputs found by fuzzing ----

TEST(TIFFFuzzFindings, RawTagWithCountZero) {
  // GetRawTag on an inline entry of count 0 copied 0 bytes into an empty buffer's null data.
  const fs::path p = FixturePath("tiff/fuzz-raw-tag-count-0.tif");
  std::ifstream in(p, std::ios::binary);
  std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(bytes.empty()) << p;
  TVlMemoryStream s(bytes.data(), static_cast<std::int64_t>(bytes.size()));
  TTIFFDirectory page = Load(s, true, 0);
  int empty = 0;
  for (std::int32_t i = 0; i < 2; ++i) {  // an entry of count 0 is in the first SubIFD
    TTIFFDirectory d = page;
    std::int32_t n = 0;
    EXPECT_EQ(ReadDirectoryChain(0, static_cast<std::uint32_t>(GetArrayElement(page, 330, i)), d, n), i == 0)
        << "the second SubIFD's entries run past the end of the file";
    for (const TTIFFEntry& e : d.entries) {
      std::vector<std::uint8_t> raw;
      if (e.count == 0 && TIFFTypeSize(e.type) != 0) {
        EXPECT_TRUE(GetRawTag(d, e.tag, raw)) << e.tag;
        EXPECT_TRUE(raw.empty()) << e.tag;
        ++empty;
      }
    }
  }
  EXPECT_GT(empty, 0);
}
