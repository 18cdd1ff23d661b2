// The PDF object model: the exact bytes of every object kind, number text under any locale,
// text strings, the file skeleton with its cross-reference table, 64-bit offsets, spooled
// stream data and write failures.
#include "pdf/pdf_objects.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <locale>
#include <memory>
#include <string>
#include <vector>

#include "imaging/stream.h"
#include "pdf_test_util.h"

namespace {

std::string Bytes(TVlPDFObject& o) {
  TVlMemoryStream s;
  EXPECT_TRUE(o.WriteTo(s).ok());
  return std::string(s.Bytes().begin(), s.Bytes().end());
}

// A stream that keeps what it is given but reports positions from a large starting point, as
// if the output already held `base` bytes. Shows that offsets are carried in 64 bits.
class TOffsetStream final : public TVlStream {
 public:
  explicit TOffsetStream(std::int64_t base) : base_(base) {}
  std::int64_t Read(void*, std::int64_t) override { return 0; }
  std::int64_t Write(const void* b, std::int64_t n) override {
    const auto* p = static_cast<const char*>(b);
    bytes.append(p, p + n);
    return n;
  }
  bool Seek(std::int64_t) override { return false; }
  std::int64_t Position() const override { return base_ + static_cast<std::int64_t>(bytes.size()); }
  std::int64_t Size() const override { return Position(); }
  std::string bytes;

 private:
  std::int64_t base_;
};

// A stream that accepts `budget` bytes and refuses everything after.
class TFailingStream final : public TVlStream {
 public:
  explicit TFailingStream(std::int64_t budget) : budget_(budget) {}
  std::int64_t Read(void*, std::int64_t) override { return 0; }
  std::int64_t Write(const void*, std::int64_t n) override {
    const std::int64_t take = std::min(n, budget_ - pos_);
    pos_ += take;
    return take;
  }
  bool Seek(std::int64_t p) override {
    pos_ = p;
    return true;
  }
  std::int64_t Position() const override { return pos_; }
  std::int64_t Size() const override { return pos_; }

 private:
  std::int64_t budget_;
  std::int64_t pos_ = 0;
};

// A three-object document: catalog, page tree root and one empty page whose contents object
// is the fourth.
struct TMiniDocument {
  TVlPDFObjectList list;
  std::unique_ptr<TVlPDFDictionaryObject> catalog, page, root, info;
  std::unique_ptr<TVlPDFStreamObject> contents;
  std::vector<TVlPDFDictionaryObject*> pages;

  explicit TMiniDocument(bool withPage = true) {
    catalog = MakeCatalog(list);
    if (withPage) {
      contents = std::make_unique<TVlPDFStreamObject>("q\nQ", 3);
      AddIndirectObject(list, contents.get());
      auto box = std::make_unique<TVlPDFArrayObject>();
      for (double v : {0.0, 0.0, 595.0, 842.0})
        box->Add(new TVlPDFNumericObject(v));
      page = MakePage(list, pages, nullptr, contents->objectNumber, std::move(box));
    }
    root = MakePagesNode(list, pages);
    info = std::make_unique<TVlPDFDictionaryObject>();
    info->Add("Title", TVlPDFStringObject::FromText("标题 (draft)"));
    AddIndirectObject(list, info.get());
  }

  std::string Write() {
    TVlMemoryStream s;
    EXPECT_TRUE(WritePDFHeader(s).ok());
    EXPECT_TRUE(WriteIndirectObjects(s, list).ok());
    EXPECT_TRUE(WriteXrefAndTrailer(s, list, *info).ok());
    return std::string(s.Bytes().begin(), s.Bytes().end());
  }
};

}  // namespace

TEST(PdfObjects, SerialisesEveryKindExactly) {
  struct Case {
    const char* name;
    std::function<std::unique_ptr<TVlPDFObject>()> make;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"reference", [] { return std::make_unique<TVlPDFRefObject>(5, 0); }, "5 0 R"},
      {"reference generation", [] { return std::make_unique<TVlPDFRefObject>(12, 3); }, "12 3 R"},
      {"true", [] { return std::make_unique<TVlPDFBooleanObject>(true); }, "true"},
      {"false", [] { return std::make_unique<TVlPDFBooleanObject>(false); }, "false"},
      {"integer", [] { return std::make_unique<TVlPDFNumericObject>(595); }, "595"},
      {"fraction", [] { return std::make_unique<TVlPDFNumericObject>(1.5); }, "1.5"},
      {"whole double", [] { return std::make_unique<TVlPDFNumericObject>(2.0); }, "2"},
      {"negative", [] { return std::make_unique<TVlPDFNumericObject>(-1); }, "-1"},
      {"string escapes", [] { return std::make_unique<TVlPDFStringObject>("a(b)c\\d\te"); }, "(a\\(b\\)c\\\\d\\te)"},
      {"string controls", [] { return std::make_unique<TVlPDFStringObject>("\b\n\f\r"); }, "(\\b\\n\\f\\r)"},
      {"string other bytes kept",
       [] { return std::make_unique<TVlPDFStringObject>(std::string("x\0\x7F\xFE<y", 6)); },
       std::string("(x\0\x7F\xFE<y)", 8)},
      {"empty string", [] { return std::make_unique<TVlPDFStringObject>(""); }, "()"},
      {"hex string", [] { return std::make_unique<TVlPDFStringObject>(std::string("\xFE\xFF\x00\x41", 4), true); }, "<FEFF0041>"},
      {"name", [] { return std::make_unique<TVlPDFNameObject>("DeviceGray"); }, "/DeviceGray"},
      {"name with space", [] { return std::make_unique<TVlPDFNameObject>("A B"); }, "/A#20B"},
      {"name outside 21..7E", [] { return std::make_unique<TVlPDFNameObject>("\x7F\x21\x7E\xC3"); }, "/#7F!~#C3"},
      {"empty array", [] { return std::make_unique<TVlPDFArrayObject>(); }, "[]"},
      {"media box",
       [] {
         auto a = std::make_unique<TVlPDFArrayObject>();
         for (double v : {0.0, 0.0, 595.0, 842.0})
           a->Add(new TVlPDFNumericObject(v));
         return a;
       },
       "[0 0 595 842 ]"},
      {"nested array",
       [] {
         auto a = std::make_unique<TVlPDFArrayObject>();
         a->Add(new TVlPDFNameObject("RunLengthDecode"));
         a->Add(std::make_unique<TVlPDFArrayObject>());
         return a;
       },
       "[/RunLengthDecode [] ]"},
      {"empty dictionary", [] { return std::make_unique<TVlPDFDictionaryObject>(); }, "<< >>"},
      {"dictionary in insertion order",
       [] {
         auto d = std::make_unique<TVlPDFDictionaryObject>();
         d->AddNumber("Width", 7);
         d->AddName("ColorSpace", "DeviceGray");
         d->AddBoolean("BlackIs1", true);
         d->AddReference("Parent", 3);
         return d;
       },
       "<< /Width 7\n/ColorSpace /DeviceGray\n/BlackIs1 true\n/Parent 3 0 R\n>>"},
      {"dictionary insert at position",
       [] {
         auto d = std::make_unique<TVlPDFDictionaryObject>();
         d->AddNumber("Length", 0);
         d->Insert(0, "Type", new TVlPDFNameObject("XObject"));
         d->Insert(1, "Subtype", new TVlPDFNameObject("Image"));
         d->Insert(99, "Width", new TVlPDFNumericObject(1));
         return d;
       },
       "<< /Type /XObject\n/Subtype /Image\n/Length 0\n/Width 1\n>>"},
      {"stream length from data",
       [] {
         auto s = std::make_unique<TVlPDFStreamObject>("1234567", 7);
         s->Dictionary().Set("Length", new TVlPDFNumericObject(99));
         return s;
       },
       "<< /Length 7\n>>\nstream\n1234567\nendstream"},
      {"empty stream", [] { return std::make_unique<TVlPDFStreamObject>(); }, "<< /Length 0\n>>\nstream\n\nendstream"},
  };
  for (const Case& c : cases) {
    auto o = c.make();
    EXPECT_EQ(Bytes(*o), c.expected) << c.name;
  }
}

TEST(PdfObjects, FormatsNumbersShortestWithoutExponent) {
  struct Case {
    double value;
    const char* text;
  };
  const Case cases[] = {
      {0.0, "0"},
      {-0.0, "0"},
      {1.5, "1.5"},
      {2.0, "2"},
      {595, "595"},
      {0.5, "0.5"},
      {-3.25, "-3.25"},
      {0.1 + 0.2, "0.3"},         // rounded to 15 significant digits
      {1.0 / 3.0, "0.333333333333333"},
      {1e20, "100000000000000000000"},
      {1e-5, "0.00001"},
      {123456789012345678.0, "123456789012346000"},
      {9999999999.0, "9999999999"},
      {std::numeric_limits<double>::quiet_NaN(), "0"},
      {std::numeric_limits<double>::infinity(), "0"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(FormatPDFNumber(c.value), c.text) << c.value;
}

TEST(PdfObjects, NumbersIgnoreACommaDecimalLocale) {
  const char* chosen = nullptr;
  for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8"})
    if (std::setlocale(LC_ALL, name)) {
      chosen = name;
      break;
    }
  if (!chosen)
    GTEST_SKIP() << "no comma-decimal locale installed (package locales-all)";
  std::locale saved = std::locale::global(std::locale(chosen));
  char probe[16];
  std::snprintf(probe, sizeof probe, "%g", 1.5);
  EXPECT_STREQ(probe, "1,5") << "the locale should really use a comma";

  EXPECT_EQ(FormatPDFNumber(1.5), "1.5");
  EXPECT_EQ(FormatPDFNumber(2.0), "2");
  EXPECT_EQ(FormatPDFNumber(-0.125), "-0.125");
  EXPECT_EQ(FormatPDFNumber(1234567.5), "1234567.5");  // no thousands separators either
  TVlPDFArrayObject a;
  a.Add(new TVlPDFNumericObject(0.75));
  EXPECT_EQ(Bytes(a), "[0.75 ]");

  std::locale::global(saved);
  std::setlocale(LC_ALL, "C");
}

TEST(PdfObjects, TextStringsAsciiOrUtf16) {
  struct Case {
    const char* name;
    std::string utf8;
    std::string bytes;
  };
  const std::vector<Case> cases = {
      {"ascii unchanged", "Scan (1)", "Scan (1)"},
      {"empty", "", ""},
      {"chinese", "标题", std::string("\xFE\xFF\x68\x07\x98\x98", 6)},
      {"mixed", "A张", std::string("\xFE\xFF\x00\x41\x5F\x20", 6)},
      {"beyond BMP as surrogates", "\xF0\x9F\x98\x80", std::string("\xFE\xFF\xD8\x3D\xDE\x00", 6)},
      {"invalid byte", "a\xFF", std::string("\xFE\xFF\x00\x61\xFF\xFD", 6)},
      {"truncated sequence", "\xE6\xA0", std::string("\xFE\xFF\xFF\xFD\xFF\xFD", 6)},
      {"overlong", "\xC0\xAF", std::string("\xFE\xFF\xFF\xFD\xFF\xFD", 6)},
      {"encoded surrogate", "\xED\xA0\x80", std::string("\xFE\xFF\xFF\xFD\xFF\xFD\xFF\xFD", 8)},
  };
  for (const Case& c : cases)
    EXPECT_EQ(PDFTextString(c.utf8), c.bytes) << c.name;

  EXPECT_EQ(Bytes(*TVlPDFStringObject::FromText("Report (v2)")), "(Report \\(v2\\))");
  EXPECT_EQ(Bytes(*TVlPDFStringObject::FromText("张三")), "<FEFF5F204E09>");
}

TEST(PdfObjects, SkeletonKeysAndNumbers) {
  TMiniDocument doc;
  ASSERT_EQ(doc.list.size(), 5u);
  EXPECT_EQ(doc.catalog->objectNumber, 1);
  EXPECT_EQ(doc.contents->objectNumber, 2);
  EXPECT_EQ(doc.page->objectNumber, 3);
  EXPECT_EQ(doc.root->objectNumber, 4);
  EXPECT_EQ(Bytes(*doc.catalog), "<< /Type /Catalog\n/Pages 4 0 R\n>>");
  EXPECT_EQ(Bytes(*doc.page), "<< /Type /Page\n/MediaBox [0 0 595 842 ]\n/Contents 2 0 R\n/Parent 4 0 R\n>>");
  EXPECT_EQ(Bytes(*doc.root), "<< /Type /Pages\n/Kids [3 0 R ]\n/Count 1\n>>");

  // With resources the reference comes right after Type.
  TVlPDFObjectList list;
  auto cat = MakeCatalog(list);
  TVlPDFDictionaryObject resources;
  AddIndirectObject(list, &resources);
  std::vector<TVlPDFDictionaryObject*> pages;
  auto p = MakePage(list, pages, &resources, 9, std::make_unique<TVlPDFArrayObject>());
  EXPECT_EQ(Bytes(*p), "<< /Type /Page\n/Resources 2 0 R\n/MediaBox []\n/Contents 9 0 R\n>>");
  ASSERT_EQ(pages.size(), 1u);
  EXPECT_EQ(pages[0], p.get());
}

TEST(PdfObjects, FileLayoutAndCrossReference) {
  TMiniDocument doc;
  const std::string pdf = doc.Write();
  EXPECT_EQ(pdf.substr(0, 15), "%PDF-1.4\n%\xC8\xD2\xF0\xFE\n");
  EXPECT_EQ(pdf.find('\r'), std::string::npos);
  EXPECT_EQ(pdf.substr(15, 8), "1 0 obj\n");

  TParsedPdf parsed;
  ASSERT_TRUE(ParsePdfStructure(pdf, parsed)) << parsed.error;
  EXPECT_EQ(parsed.size, 6);
  ASSERT_EQ(parsed.offsets.size(), 5u);
  for (std::size_t i = 0; i < doc.list.size(); ++i)
    EXPECT_EQ(parsed.offsets[i], doc.list[i]->fileOffset) << "object " << i + 1;
  EXPECT_NE(pdf.find("trailer\n<< /Size 6\n/Root 1 0 R\n/Info 5 0 R\n>>\nstartxref\n"), std::string::npos);
  EXPECT_EQ(pdf.substr(pdf.size() - 6), "%%EOF\n");
  EXPECT_NE(pdf.find("/Title <FEFF6807989800200028006400720061006600740029>"), std::string::npos) << pdf;
}

TEST(PdfObjects, ThreeObjectsGiveSizeFourAndTwentyByteEntries) {
  TVlPDFObjectList list;
  auto catalog = MakeCatalog(list);
  TVlPDFNumericObject a(1), info(2);
  AddIndirectObject(list, &a);
  AddIndirectObject(list, &info);
  TVlMemoryStream s;
  ASSERT_TRUE(WritePDFHeader(s).ok());
  ASSERT_TRUE(WriteIndirectObjects(s, list).ok());
  const std::int64_t x = s.Position();
  ASSERT_TRUE(WriteXrefAndTrailer(s, list, info).ok());
  const std::string out(s.Bytes().begin() + x, s.Bytes().end());
  const std::string head = "xref\n0 4\n";
  ASSERT_EQ(out.substr(0, head.size()), head);
  const std::string table = out.substr(head.size(), 4 * 20);
  EXPECT_EQ(table.substr(0, 20), "0000000000 65535 f \n");
  EXPECT_EQ(table.substr(20, 20), "0000000015 00000 n \n");
  for (int i = 0; i < 4; ++i)
    EXPECT_EQ(table[i * 20 + 19], '\n');
  EXPECT_EQ(out.substr(head.size() + 80, 19), "trailer\n<< /Size 4\n");
  EXPECT_NE(out.find("startxref\n" + std::to_string(x) + "\n%%EOF\n"), std::string::npos);
}

TEST(PdfObjects, OffsetsBeyondFourGiBAndTheTenDigitCeiling) {
  {
    const std::int64_t base = (std::int64_t(5) << 30) + 3;  // past 2^32
    TOffsetStream s(base);
    TMiniDocument doc;
    ASSERT_TRUE(WritePDFHeader(s).ok());
    ASSERT_TRUE(WriteIndirectObjects(s, doc.list).ok());
    ASSERT_TRUE(WriteXrefAndTrailer(s, doc.list, *doc.info).ok());
    EXPECT_EQ(doc.list[0]->fileOffset, base + 15);
    char first[32];
    std::snprintf(first, sizeof first, "%010lld 00000 n \n", static_cast<long long>(base + 15));
    EXPECT_NE(s.bytes.find(first), std::string::npos);
  }
  {
    TOffsetStream s(9'999'999'900);
    TMiniDocument doc;
    ASSERT_TRUE(WritePDFHeader(s).ok());
    ASSERT_TRUE(WriteIndirectObjects(s, doc.list).ok());
    ASSERT_GT(doc.list.back()->fileOffset, 9'999'999'999);
    const std::size_t before = s.bytes.size();
    TVlStatus st = WriteXrefAndTrailer(s, doc.list, *doc.info);
    EXPECT_EQ(st.code, TVlStatusCode::limitExceeded);
    EXPECT_STREQ(st.reason, "PDF object offset beyond ten cross-reference digits");
    EXPECT_EQ(s.bytes.size(), before) << "nothing of a wrong table is written";
  }
}

TEST(PdfObjects, SpooledStreamDataWritesTheSameBytes) {
  std::vector<std::uint8_t> data(300000);
  for (std::size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<std::uint8_t>(i * 7 + (i >> 9));

  TVlPDFStreamObject inMemory(data.data(), static_cast<std::int64_t>(data.size()));
  inMemory.Dictionary().AddName("Filter", "LZWDecode");

  std::shared_ptr<TVlStream> spool(TVlFileStream::CreateTemporary());
  ASSERT_TRUE(spool->WriteString("unrelated data of another stream"));
  const std::int64_t offset = spool->Position();
  ASSERT_TRUE(spool->WriteAll(data.data(), static_cast<std::int64_t>(data.size())));
  ASSERT_TRUE(spool->WriteString("and more after it"));
  TVlPDFStreamObject spooled;
  spooled.Dictionary().AddName("Filter", "LZWDecode");
  spooled.SetSpooledData(spool, offset, static_cast<std::int64_t>(data.size()));
  EXPECT_TRUE(spooled.IsSpooled());
  EXPECT_EQ(spooled.DataLength(), static_cast<std::int64_t>(data.size()));

  const std::string a = Bytes(inMemory), b = Bytes(spooled);
  EXPECT_EQ(a.size(), b.size());
  EXPECT_TRUE(a == b);
  EXPECT_EQ(a.substr(0, 39), "<< /Length 300000\n/Filter /LZWDecode\n>>");

  // A region that the spool does not hold is a read failure, not silent garbage.
  TVlPDFStreamObject broken;
  broken.SetSpooledData(spool, spool->Size() - 4, 100);
  TVlMemoryStream out;
  TVlStatus st = broken.WriteTo(out);
  EXPECT_EQ(st.code, TVlStatusCode::ioError);
}

TEST(PdfObjects, EveryRefusedWriteIsReported) {
  TMiniDocument doc;
  const std::string full = doc.Write();
  for (std::int64_t budget = 0; budget < static_cast<std::int64_t>(full.size()); ++budget) {
    TVlPDFObjectList& list = doc.list;
    TFailingStream s(budget);
    TVlStatus st = WritePDFHeader(s);
    if (st.ok())
      st = WriteIndirectObjects(s, list);
    if (st.ok())
      st = WriteXrefAndTrailer(s, list, *doc.info);
    ASSERT_EQ(st.code, TVlStatusCode::ioError) << "budget " << budget;
  }
}

TEST(PdfObjects, SharedElementsOutliveTheirContainers) {
  auto shared = std::make_unique<TVlPDFDictionaryObject>();
  shared->shared = true;
  shared->AddNumber("N", 1);
  {
    TVlPDFArrayObject a;
    a.Add(shared.get());
    TVlPDFDictionaryObject d;
    d.Add("R", shared.get());
    d.Set("R", shared.get());  // replacing with itself keeps it
    EXPECT_EQ(Bytes(d), "<< /R << /N 1\n>>\n>>");
  }
  EXPECT_EQ(Bytes(*shared), "<< /N 1\n>>");  // still alive (ASan would see a double free)
}

TEST(PdfObjects, QpdfAcceptsAMinimalDocument) {
  if (!ToolAvailable("qpdf"))
    GTEST_SKIP() << "qpdf not installed";
  TMiniDocument doc;
  const std::string pdf = doc.Write();
  TTempPdf file(pdf);
  std::string output;
  EXPECT_EQ(RunTool("qpdf --check " + file.Quoted(), output), 0) << output;
  EXPECT_NE(output.find("No syntax or stream encoding errors"), std::string::npos) << output;

  if (ToolAvailable("pdfinfo")) {
    ASSERT_EQ(RunTool("pdfinfo " + file.Quoted(), output), 0) << output;
    EXPECT_NE(output.find("标题 (draft)"), std::string::npos) << output;
    EXPECT_NE(output.find("595 x 842 pts"), std::string::npos) << output;
  }
}

TEST(PdfObjects, QpdfAcceptsADocumentWithoutPages) {
  if (!ToolAvailable("qpdf"))
    GTEST_SKIP() << "qpdf not installed";
  TMiniDocument doc(false);
  TTempPdf file(doc.Write());
  std::string output;
  EXPECT_EQ(RunTool("qpdf --check " + file.Quoted(), output), 0) << output;
}
