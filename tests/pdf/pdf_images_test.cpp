// Image pages to PDF: object layout, image dictionaries per compression, placement, document
// information, spooling, failures; and the peer tools' view of the files (qpdf --check,
// pdfinfo page sizes, pdfimages encodings, pdftoppm pixels at 72 dpi).
#include "pdf/pdf_images.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "imaging/bitmap.h"
#include "imaging/codec_hooks.h"
#include "imaging/params.h"
#include "imaging/progress.h"
#include "imaging/stream.h"
#include "pdf_test_util.h"
#include "tiff/tiff_codecs.h"

namespace {

// LZW pages need the process-wide coder that the program installs at start.
class TInstallCodecs : public ::testing::Environment {
 public:
  void SetUp() override { InstallDefaultCodecs(); }
};
const ::testing::Environment* const kInstallCodecs = ::testing::AddGlobalTestEnvironment(new TInstallCodecs);

// A text-like bilevel page: white with black strokes and blocks, deterministic per seed.
std::unique_ptr<TVlBitmap> Bilevel(std::int32_t w, std::int32_t h, unsigned seed = 1) {
  auto b = std::make_unique<TVlBitmap>(w, h, vl1g);
  EXPECT_FALSE(b->IsEmpty());
  std::mt19937 rng(seed);
  for (std::int32_t y = 0; y < h; ++y) {
    std::uint8_t* row = b->RowPointer(y);
    std::memset(row, 0xFF, static_cast<std::size_t>(b->RowLength()));
    for (std::int32_t x = 0; x < w; ++x) {
      const bool ink = ((x / 3 + y / 5) % 7 == 0) || (rng() % 11 == 0);
      if (ink)
        row[x / 8] &= static_cast<std::uint8_t>(~(0x80 >> (x % 8)));
    }
  }
  return b;
}

std::unique_ptr<TVlBitmap> Colour(std::int32_t w, std::int32_t h, unsigned seed = 1) {
  auto b = std::make_unique<TVlBitmap>(w, h, vl24RGB);
  EXPECT_FALSE(b->IsEmpty());
  std::mt19937 rng(seed);
  for (std::int32_t y = 0; y < h; ++y) {
    std::uint8_t* row = b->RowPointer(y);
    for (std::int32_t x = 0; x < w; ++x) {
      row[3 * x + 0] = static_cast<std::uint8_t>(x * 255 / std::max(w - 1, 1));             // blue
      row[3 * x + 1] = static_cast<std::uint8_t>(y * 255 / std::max(h - 1, 1));             // green
      row[3 * x + 2] = static_cast<std::uint8_t>((x * 7 + y * 13) ^ (rng() % 4 == 0 ? 0x55 : 0));  // red
    }
  }
  return b;
}

// Bit x of row y of a vl1g bitmap: true for white.
bool White(TVlBitmap& b, std::int32_t x, std::int32_t y) { return (b.RowPointer(y)[x / 8] >> (7 - x % 8)) & 1; }

struct TPage {
  TVlBitmap* bitmap;
  std::uint8_t compression;
  std::int32_t paperWidth = 0, paperHeight = 0;  // 0: the image's own size
};

struct TWritten {
  std::string pdf;
  std::vector<TIOParamsVals> params;  // each page's record after AddImagePage
  TVlStatus status;
};

TWritten WritePdf(const std::vector<TPage>& pages, const std::function<void(TIOParamsVals&)>& edit = {},
                  bool spoolInMemory = false) {
  TWritten out;
  auto builder = BeginPDF();
  builder->spoolInMemory = spoolInMemory;
  for (const TPage& p : pages) {
    TIOParamsVals params;
    params.pdfCompression = p.compression;
    params.pdfPaperWidth = p.paperWidth ? p.paperWidth : p.bitmap->Width();
    params.pdfPaperHeight = p.paperHeight ? p.paperHeight : p.bitmap->Height();
    if (edit)
      edit(params);
    ProgressRecord progress;
    out.status = AddImagePage(*builder, *p.bitmap, params, progress);
    out.params.push_back(params);
    if (!out.status.ok())
      return out;
  }
  TVlMemoryStream s;
  TIOParamsVals first = out.params.empty() ? TIOParamsVals() : out.params.front();
  out.status = EndPDF(std::move(builder), s, first);
  out.pdf.assign(s.Bytes().begin(), s.Bytes().end());
  return out;
}

std::string Dict(const TParsedPdf& parsed, std::int64_t n) { return parsed.objects[static_cast<std::size_t>(n - 1)].dictionary; }

// The dictionary text of an image stream without its Length entry.
std::string ImageDictWithoutLength(const TParsedPdf& parsed, std::int64_t n) {
  std::string d = Dict(parsed, n);
  return std::regex_replace(d, std::regex("/Length [0-9]+\n"), "/Length L\n");
}

// A gray or colour raster (PGM P5 / PPM P6) as rendered by pdftoppm.
struct TRaster {
  int width = 0, height = 0, channels = 0;
  std::vector<std::uint8_t> pixels;
};

bool ReadPnm(const std::filesystem::path& path, TRaster& r) {
  std::ifstream in(path, std::ios::binary);
  std::string magic;
  int maxval = 0;
  if (!(in >> magic >> r.width >> r.height >> maxval) || maxval != 255)
    return false;
  in.get();
  r.channels = magic == "P5" ? 1 : magic == "P6" ? 3 : 0;
  if (!r.channels)
    return false;
  r.pixels.resize(static_cast<std::size_t>(r.width) * r.height * r.channels);
  in.read(reinterpret_cast<char*>(r.pixels.data()), static_cast<std::streamsize>(r.pixels.size()));
  return static_cast<std::size_t>(in.gcount()) == r.pixels.size();
}

// Renders one page at `dpi`.
bool Render(const TTempPdf& file, int page, bool gray, int dpi, TRaster& r) {
  const std::string base = file.Path().string() + "-render";
  std::string out;
  const std::string cmd = "pdftoppm -r " + std::to_string(dpi) + " " + std::string(gray ? "-gray " : "") + "-f " + std::to_string(page) +
                          " -l " + std::to_string(page) + " -singlefile " + file.Quoted() + " '" + base + "'";
  if (RunTool(cmd, out) != 0)
    return false;
  const std::filesystem::path result = base + (gray ? ".pgm" : ".ppm");
  const bool ok = ReadPnm(result, r);
  std::error_code ec;
  std::filesystem::remove(result, ec);
  return ok;
}

const char* CompressionName(int c) {
  static const char* names[] = {"none", "RunLength", "G4", "G3-2D", "JPEG", "LZW"};
  return c >= 0 && c < 6 ? names[c] : "?";
}

}  // namespace

TEST(PdfImages, FitImageToPage) {
  struct Case {
    std::int64_t w, h, pw, ph, dw, dh;
  };
  const Case cases[] = {
      {600, 800, 300, 800, 300, 400},   // limited by the width
      {2480, 3508, 2480, 3508, 2480, 3508},  // the image's own size: scale 1
      {2480, 3508, 595, 842, 595, 841},  // 3508 * 595 / 2480 = 841.6
      {3508, 2480, 842, 595, 841, 595},
      {1000, 1000, 842, 595, 595, 595},
      {10, 1, 595, 842, 595, 59},        // 59.5 rounded down
      {1, 100000, 595, 842, 1, 842},     // at least one unit wide
      {17, 33, 1, 1, 1, 1},
  };
  for (const Case& c : cases) {
    const TPDFDrawnSize d = FitImageToPage(c.w, c.h, c.pw, c.ph);
    EXPECT_EQ(d.width, c.dw) << c.w << "x" << c.h << " on " << c.pw << "x" << c.ph;
    EXPECT_EQ(d.height, c.dh) << c.w << "x" << c.h << " on " << c.pw << "x" << c.ph;
  }
}

TEST(PdfImages, ThreePageLayoutAndObjectNumbers) {
  auto a = Bilevel(600, 800), b = Bilevel(9, 7), c = Colour(5, 3);
  TWritten w = WritePdf({{a.get(), pdfNone, 300, 800}, {b.get(), pdfNone}, {c.get(), pdfNone, 595, 842}},
                        [](TIOParamsVals& p) { p.pdfTitle = "Three"; });
  ASSERT_TRUE(w.status.ok()) << DescribeStatus(w.status);
  TParsedPdf parsed;
  ASSERT_TRUE(ParsePdfStructure(w.pdf, parsed)) << parsed.error;
  ASSERT_EQ(parsed.size, 14);  // objects 1 to 13
  EXPECT_EQ(parsed.info, 13);
  EXPECT_EQ(Dict(parsed, 1), "<< /Type /Catalog\n/Pages 12 0 R\n>>");
  EXPECT_EQ(Dict(parsed, 2), "<< /ProcSet [/PDF /ImageB ]\n/XObject << /lm1 3 0 R\n/lm2 6 0 R\n/lm3 9 0 R\n>>\n>>");
  EXPECT_EQ(ImageDictWithoutLength(parsed, 3),
            "<< /Type /XObject\n/Subtype /Image\n/Length L\n/ColorSpace /DeviceGray\n/BitsPerComponent 1\n"
            "/Width 600\n/Height 800\n>>");
  EXPECT_EQ(parsed.StreamData(w.pdf, 4), "q\n300 0 0 400 0 400 cm\n/lm1 Do\nQ");
  EXPECT_EQ(Dict(parsed, 5), "<< /Type /Page\n/Resources 2 0 R\n/MediaBox [0 0 300 800 ]\n/Contents 4 0 R\n/Parent 12 0 R\n>>");
  EXPECT_EQ(parsed.StreamData(w.pdf, 7), "q\n9 0 0 7 0 0 cm\n/lm2 Do\nQ");
  EXPECT_EQ(ImageDictWithoutLength(parsed, 9),
            "<< /Type /XObject\n/Subtype /Image\n/Length L\n/ColorSpace /DeviceRGB\n/BitsPerComponent 8\n"
            "/Width 5\n/Height 3\n>>");
  EXPECT_EQ(parsed.StreamData(w.pdf, 10), "q\n595 0 0 357 0 485 cm\n/lm3 Do\nQ");
  EXPECT_EQ(Dict(parsed, 12), "<< /Type /Pages\n/Kids [5 0 R 8 0 R 11 0 R ]\n/Count 3\n>>");
  EXPECT_NE(Dict(parsed, 13).find("<< /Title (Three)\n/CreationDate (D:"), std::string::npos) << Dict(parsed, 13);

  // Uncompressed data: the rows top to bottom, bilevel as held (padding bits white), colour as R, G, B.
  const std::string_view bits = parsed.StreamData(w.pdf, 6);
  ASSERT_EQ(bits.size(), 2u * 7);
  for (int y = 0; y < 7; ++y) {
    EXPECT_EQ(static_cast<std::uint8_t>(bits[2 * y]), b->RowPointer(y)[0]);
    EXPECT_EQ(static_cast<std::uint8_t>(bits[2 * y + 1]), b->RowPointer(y)[1] | 0x7F);
  }
  const std::string_view rgb = parsed.StreamData(w.pdf, 9);
  ASSERT_EQ(rgb.size(), 5u * 3 * 3);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 5; ++x)
      for (int k = 0; k < 3; ++k)
        EXPECT_EQ(static_cast<std::uint8_t>(rgb[(y * 5 + x) * 3 + k]), c->RowPointer(y)[x * 3 + 2 - k]);
}

TEST(PdfImages, ImageDictionaryPerCompression) {
  const std::string ccitt = "/Filter /CCITTFaxDecode\n/DecodeParms << /K %K\n/BlackIs1 true\n/Columns 33\n/Rows 9\n"
                            "/EndOfLine false\n/Uncompressed true\n/EncodedByteAlign false\n/EndOfBlock false\n>>\n";
  auto g4 = std::regex_replace(ccitt, std::regex("%K"), "-1");
  auto g3 = std::regex_replace(ccitt, std::regex("%K"), "1");
  struct Case {
    bool bilevel;
    std::uint8_t chosen;
    std::string entries;  // between Length and Width
    std::uint8_t after;   // pdfCompression afterwards
  };
  const std::vector<Case> cases = {
      {true, pdfNone, "/ColorSpace /DeviceGray\n/BitsPerComponent 1\n", pdfNone},
      {true, pdfRunLength, "/Filter [/RunLengthDecode ]\n/ColorSpace /DeviceGray\n/BitsPerComponent 1\n", pdfRunLength},
      {true, pdfG4, g4 + "/ColorSpace /DeviceGray\n/BitsPerComponent 1\n", pdfG4},
      {true, pdfG3TwoD, g3 + "/ColorSpace /DeviceGray\n/BitsPerComponent 1\n", pdfG3TwoD},
      {true, pdfJpeg, g3 + "/ColorSpace /DeviceGray\n/BitsPerComponent 1\n", pdfG3TwoD},  // JPEG is not for bilevel
      {true, pdfLzw, "/Filter /LZWDecode\n/ColorSpace /DeviceGray\n/BitsPerComponent 1\n", pdfLzw},
      {false, pdfNone, "/ColorSpace /DeviceRGB\n/BitsPerComponent 8\n", pdfNone},
      {false, pdfRunLength, "/ColorSpace /DeviceRGB\n/BitsPerComponent 8\n", pdfRunLength},
      {false, pdfG4, "/ColorSpace /DeviceRGB\n/BitsPerComponent 8\n", pdfG4},
      {false, pdfG3TwoD, "/ColorSpace /DeviceRGB\n/BitsPerComponent 8\n", pdfG3TwoD},
      {false, pdfLzw, "/Filter /LZWDecode\n/ColorSpace /DeviceRGB\n/BitsPerComponent 8\n", pdfLzw},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.bilevel ? "bilevel " : "colour ") + CompressionName(c.chosen));
    auto bmp = c.bilevel ? Bilevel(33, 9) : Colour(33, 9);
    TWritten w = WritePdf({{bmp.get(), c.chosen}});
    ASSERT_TRUE(w.status.ok()) << DescribeStatus(w.status);
    TParsedPdf parsed;
    ASSERT_TRUE(ParsePdfStructure(w.pdf, parsed)) << parsed.error;
    EXPECT_EQ(ImageDictWithoutLength(parsed, 3),
              "<< /Type /XObject\n/Subtype /Image\n/Length L\n" + c.entries + "/Width 33\n/Height 9\n>>");
    EXPECT_EQ(w.params[0].pdfCompression, c.after);
    EXPECT_EQ(w.params[0].bitsPerSample, c.bilevel ? 1 : 8);
    EXPECT_EQ(w.params[0].samplesPerPixel, c.bilevel ? 1 : 3);
  }
}

// Components of the first frame of a JPEG stream and whether an Adobe marker asks for YCCK
// (transform 2); -1 when there is no frame header.
int JpegComponents(std::string_view j, bool& ycck) {
  ycck = false;
  if (j.size() < 4 || static_cast<std::uint8_t>(j[0]) != 0xFF || static_cast<std::uint8_t>(j[1]) != 0xD8)
    return -1;
  std::size_t p = 2;
  while (p + 4 <= j.size() && static_cast<std::uint8_t>(j[p]) == 0xFF) {
    const std::uint8_t m = static_cast<std::uint8_t>(j[p + 1]);
    const std::size_t len = static_cast<std::uint8_t>(j[p + 2]) * 256u + static_cast<std::uint8_t>(j[p + 3]);
    if (m == 0xEE && len >= 14 && j.substr(p + 4, 5) == "Adobe" && p + 15 < j.size())
      ycck = static_cast<std::uint8_t>(j[p + 4 + 11]) == 2;
    if ((m >= 0xC0 && m <= 0xC3) && p + 9 < j.size())
      return static_cast<std::uint8_t>(j[p + 9]);
    p += 2 + len;
  }
  return -1;
}

// Every colour JPEG page is a gray (jpegColorSpace 1) or YCbCr stream, whatever colour space
// the record asks for, so that DeviceGray or DeviceRGB describes it; a CMYK or YCCK stream
// labelled DeviceRGB would not show.
TEST(PdfImages, JpegPagesAreGrayOrYCbCr) {
  auto bmp = std::make_unique<TVlBitmap>(40, 24, vl24RGB);  // smooth colours, as JPEG is for
  for (std::int32_t y = 0; y < 24; ++y)
    for (std::int32_t x = 0; x < 40; ++x) {
      std::uint8_t* p = bmp->RowPointer(y) + 3 * x;
      p[0] = static_cast<std::uint8_t>(40 + 4 * x);
      p[1] = static_cast<std::uint8_t>(200 - 5 * y);
      p[2] = static_cast<std::uint8_t>(90 + 2 * x + 3 * y);
    }
  struct Case {
    std::uint8_t colorSpace;
    const char* deviceSpace;
    int components;
  };
  const Case cases[] = {{0, "DeviceRGB", 3}, {1, "DeviceGray", 1}, {2, "DeviceRGB", 3},
                        {3, "DeviceRGB", 3}, {4, "DeviceRGB", 3}};
  std::vector<TPage> pages;
  for (const Case& c : cases) {
    SCOPED_TRACE(int(c.colorSpace));
    TWritten w = WritePdf({{bmp.get(), pdfJpeg}}, [&](TIOParamsVals& p) {
      p.jpegColorSpace = c.colorSpace;
      p.jpegQuality = 90;
    });
    ASSERT_TRUE(w.status.ok()) << DescribeStatus(w.status);
    TParsedPdf parsed;
    ASSERT_TRUE(ParsePdfStructure(w.pdf, parsed)) << parsed.error;
    EXPECT_EQ(ImageDictWithoutLength(parsed, 3), std::string("<< /Type /XObject\n/Subtype /Image\n/Length L\n") +
                                                     "/Filter /DCTDecode\n/ColorSpace /" + c.deviceSpace +
                                                     "\n/BitsPerComponent 8\n/Width 40\n/Height 24\n>>");
    bool ycck = false;
    EXPECT_EQ(JpegComponents(parsed.StreamData(w.pdf, 3), ycck), c.components);
    EXPECT_FALSE(ycck);
    EXPECT_EQ(w.params[0].pdfCompression, pdfJpeg);

    if (ToolAvailable("pdftoppm")) {  // the page shows the image (JPEG loss aside)
      TTempPdf file(w.pdf);
      TRaster r;
      ASSERT_TRUE(Render(file, 1, c.components == 1, 72 * 4, r));
      double error = 0;
      for (int y = 0; y < r.height; ++y)
        for (int x = 0; x < r.width; ++x) {
          const std::uint8_t* src = bmp->RowPointer(y / 4) + 3 * (x / 4);
          const std::uint8_t* px = &r.pixels[(static_cast<std::size_t>(y) * r.width + x) * r.channels];
          if (c.components == 1)
            error += std::abs(px[0] - (299 * src[2] + 587 * src[1] + 114 * src[0]) / 1000);  // JPEG luma
          else
            error += (std::abs(px[0] - src[2]) + std::abs(px[1] - src[1]) + std::abs(px[2] - src[0])) / 3.0;
        }
      EXPECT_LT(error / (static_cast<double>(r.width) * r.height), 6.0) << "mean difference";
    }
  }
}

TEST(PdfImages, LzwWithoutAnyCoderIsWrittenUncompressed) {
  const LzwEncodeHook saved = DefaultTiffLzwEncoder();
  DefaultTiffLzwEncoder() = nullptr;
  auto bmp = Bilevel(16, 2);
  TWritten w = WritePdf({{bmp.get(), pdfLzw}}, [](TIOParamsVals& p) { p.tiffLzwEncoder = nullptr; });
  DefaultTiffLzwEncoder() = saved;
  ASSERT_TRUE(w.status.ok());
  TParsedPdf parsed;
  ASSERT_TRUE(ParsePdfStructure(w.pdf, parsed)) << parsed.error;
  EXPECT_EQ(Dict(parsed, 3).find("/Filter"), std::string::npos);
  EXPECT_EQ(parsed.StreamData(w.pdf, 3).size(), 4u);
}

TEST(PdfImages, OtherPixelFormatsGoInAsColour) {
  TVlBitmap gray(4, 2, vl8g);
  ASSERT_FALSE(gray.IsEmpty());
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 4; ++x)
      gray.RowPointer(y)[x] = static_cast<std::uint8_t>(40 * x + 100 * y);
  TWritten w = WritePdf({{&gray, pdfNone}});
  ASSERT_TRUE(w.status.ok()) << DescribeStatus(w.status);
  TParsedPdf parsed;
  ASSERT_TRUE(ParsePdfStructure(w.pdf, parsed)) << parsed.error;
  EXPECT_NE(Dict(parsed, 3).find("/ColorSpace /DeviceRGB\n/BitsPerComponent 8\n"), std::string::npos);
  const std::string_view data = parsed.StreamData(w.pdf, 3);
  ASSERT_EQ(data.size(), 4u * 2 * 3);
  EXPECT_EQ(static_cast<std::uint8_t>(data[3 * 5]), 140);  // x 1, y 1: gray kept in all three channels
  EXPECT_EQ(static_cast<std::uint8_t>(data[3 * 5 + 2]), 140);
  EXPECT_EQ(gray.PixelFormat(), vl8g) << "the caller's image is not changed";
}

TEST(PdfImages, DocumentInformation) {
  auto bmp = Bilevel(8, 8);
  {
    TWritten w = WritePdf({{bmp.get(), pdfNone}});
    ASSERT_TRUE(w.status.ok());
    TParsedPdf parsed;
    ASSERT_TRUE(ParsePdfStructure(w.pdf, parsed)) << parsed.error;
    EXPECT_TRUE(std::regex_match(Dict(parsed, parsed.info), std::regex("<< /CreationDate \\(D:[0-9]{14}\\)\n>>")))
        << Dict(parsed, parsed.info);
  }
  {
    TWritten w = WritePdf({{bmp.get(), pdfNone}}, [](TIOParamsVals& p) {
      p.pdfTitle = "年度报告";
      p.pdfAuthor = "Li (Lee)";
      p.pdfSubject = "S";
      p.pdfKeywords = "k1 k2";
      p.pdfCreator = "扫描仪";
      p.pdfProducer = "vELLUMO";
    });
    ASSERT_TRUE(w.status.ok());
    TParsedPdf parsed;
    ASSERT_TRUE(ParsePdfStructure(w.pdf, parsed)) << parsed.error;
    EXPECT_TRUE(std::regex_match(Dict(parsed, parsed.info),
                                 std::regex("<< /Title <FEFF5E745EA662A5544A>\n/Author \\(Li \\\\\\(Lee\\\\\\)\\)\n"
                                            "/Subject \\(S\\)\n/Keywords \\(k1 k2\\)\n/Creator <FEFF626B63CF4EEA>\n"
                                            "/Producer \\(vELLUMO\\)\n/CreationDate \\(D:[0-9]{14}\\)\n>>")))
        << Dict(parsed, parsed.info);
    if (ToolAvailable("pdfinfo")) {
      TTempPdf file(w.pdf);
      std::string out;
      ASSERT_EQ(RunTool("pdfinfo " + file.Quoted(), out), 0) << out;
      EXPECT_NE(out.find("Title:           年度报告"), std::string::npos) << out;
      EXPECT_NE(out.find("Creator:         扫描仪"), std::string::npos) << out;
      EXPECT_NE(out.find("Producer:        vELLUMO"), std::string::npos) << out;
    }
  }
}

TEST(PdfImages, SpooledAndInMemoryOutputsAreIdentical) {
  auto a = Bilevel(200, 150, 3), b = Colour(64, 40, 4), c = Bilevel(31, 33, 5);
  std::vector<TPage> pages = {{a.get(), pdfRunLength, 595, 842}, {b.get(), pdfNone, 595, 842},
                              {c.get(), pdfLzw}, {a.get(), pdfNone}};
  TWritten spooled, inMemory;
  for (int attempt = 0; attempt < 3; ++attempt) {  // the creation date could change between the two
    spooled = WritePdf(pages, {}, false);
    inMemory = WritePdf(pages, {}, true);
    if (spooled.pdf == inMemory.pdf)
      break;
  }
  ASSERT_TRUE(spooled.status.ok());
  EXPECT_EQ(spooled.pdf.size(), inMemory.pdf.size());
  EXPECT_TRUE(spooled.pdf == inMemory.pdf);
}

TEST(PdfImages, ImagesHeldInTemporaryFilesGiveTheSameBytes) {
  for (bool colour : {false, true})
    for (std::uint8_t c = 0; c < 6; ++c) {
      SCOPED_TRACE(std::string(colour ? "colour " : "bilevel ") + CompressionName(c));
      auto inMemory = colour ? Colour(45, 20, 8) : Bilevel(45, 20, 8);
      TVlBitmap inFile;
      inFile.fileThreshold = 0;  // even a small image goes to a temporary file
      ASSERT_TRUE(inFile.AssignImage(*inMemory).ok());
      ASSERT_TRUE(inFile.ChangeLocation(vlTempFile).ok());
      ASSERT_EQ(inFile.Location(), vlTempFile);
      TWritten a, b;
      for (int attempt = 0; attempt < 3; ++attempt) {  // the creation date could change between the two
        a = WritePdf({{inMemory.get(), c}}, {}, true);
        b = WritePdf({{&inFile, c}}, {}, true);
        if (a.pdf == b.pdf)
          break;
      }
      ASSERT_TRUE(a.status.ok()) << DescribeStatus(a.status);
      EXPECT_TRUE(a.pdf == b.pdf);
    }
}

TEST(PdfImages, FailuresAddNothing) {
  auto bmp = Bilevel(16, 16);
  struct Case {
    const char* name;
    std::function<void(TIOParamsVals&)> edit;
    bool abort;
    TVlStatusCode code;
    const char* reason;
  };
  const std::vector<Case> cases = {
      {"compression 6", [](TIOParamsVals& p) { p.pdfCompression = 6; }, false, TVlStatusCode::badData,
       "PDF compression outside 0 to 5"},
      {"paper width 0", [](TIOParamsVals& p) { p.pdfPaperWidth = 0; }, false, TVlStatusCode::badData,
       "PDF paper size below one point"},
      {"paper height negative", [](TIOParamsVals& p) { p.pdfPaperHeight = -842; }, false, TVlStatusCode::badData,
       "PDF paper size below one point"},
      {"aborted", [](TIOParamsVals& p) { p.pdfCompression = pdfNone; }, true, TVlStatusCode::aborted, "aborted"},
  };
  for (const Case& c : cases) {
    auto builder = BeginPDF();
    builder->spoolInMemory = true;
    TIOParamsVals params;
    c.edit(params);
    std::atomic<bool> abortFlag{c.abort};
    ProgressRecord progress;
    progress.abortFlag = &abortFlag;
    TVlStatus st = AddImagePage(*builder, *bmp, params, progress);
    EXPECT_EQ(st.code, c.code) << c.name;
    EXPECT_STREQ(st.reason, c.reason) << c.name;
    EXPECT_EQ(builder->objects.size(), 2u) << c.name;
    EXPECT_EQ(builder->xobjects->Count(), 0u) << c.name;
  }
  TVlBitmap empty;
  auto builder = BeginPDF();
  TIOParamsVals params;
  ProgressRecord progress;
  EXPECT_EQ(AddImagePage(*builder, empty, params, progress).code, TVlStatusCode::badData);
}

TEST(PdfImages, ProgressPerRow) {
  auto bmp = Bilevel(8, 4);
  auto builder = BeginPDF();
  builder->spoolInMemory = true;
  TIOParamsVals params;
  params.pdfCompression = pdfNone;
  std::vector<int> seen;
  ProgressRecord progress;
  progress.handler = [&](int p) { seen.push_back(p); };
  ASSERT_TRUE(AddImagePage(*builder, *bmp, params, progress).ok());
  EXPECT_EQ(seen, (std::vector<int>{25, 50, 75, 100}));
}

// ---- peer tools ----

TEST(PdfImages, QpdfAcceptsEveryCompressionAndSize) {
  if (!ToolAvailable("qpdf"))
    GTEST_SKIP() << "qpdf not installed";
  std::vector<std::unique_ptr<TVlBitmap>> bitmaps;
  std::vector<TPage> pages;
  const std::int32_t sizes[][2] = {{1, 1}, {7, 3}, {8, 8}, {9, 1}, {31, 17}, {32, 32}, {33, 64}, {64, 5}};
  unsigned seed = 10;
  for (const auto& s : sizes)
    for (int colour = 0; colour < 2; ++colour)
      for (std::uint8_t c = 0; c < 6; ++c) {
        bitmaps.push_back(colour ? Colour(s[0], s[1], seed++) : Bilevel(s[0], s[1], seed++));
        pages.push_back({bitmaps.back().get(), c, 595, 842});
      }
  TWritten w = WritePdf(pages, [](TIOParamsVals& p) { p.pdfTitle = "检查"; });
  ASSERT_TRUE(w.status.ok()) << DescribeStatus(w.status);
  TParsedPdf parsed;
  ASSERT_TRUE(ParsePdfStructure(w.pdf, parsed)) << parsed.error;
  TTempPdf file(w.pdf);
  std::string out;
  EXPECT_EQ(RunTool("qpdf --check " + file.Quoted(), out), 0) << out;
  EXPECT_NE(out.find("No syntax or stream encoding errors"), std::string::npos) << out;
}

TEST(PdfImages, PdfinfoPageSizes) {
  if (!ToolAvailable("pdfinfo"))
    GTEST_SKIP() << "pdfinfo not installed";
  struct Case {
    int item;
    bool autoRotate;
    std::int32_t w, h;
    const char* size;
  };
  const Case cases[] = {
      {kPDFPaperA4, true, 2480, 3508, "595 x 842 pts (A4)"},
      {kPDFPaperA4, true, 3508, 2480, "842 x 595 pts (A4)"},
      {kPDFPaperA4, true, 1000, 1000, "842 x 595 pts (A4)"},
      {kPDFPaperImageSize, true, 2480, 3508, "2480 x 3508 pts"},
      {10, true, 2480, 3508, "792 x 1224 pts"},
  };
  for (const Case& c : cases) {
    // The page's pixel content does not matter here: a small image of the same proportions.
    auto bmp = Bilevel(c.w / 40, c.h / 40);
    const TPDFPaperSize paper = PDFPageSizeForImage(c.item, c.autoRotate, c.w, c.h);
    TWritten w = WritePdf({{bmp.get(), pdfNone, paper.width, paper.height}});
    ASSERT_TRUE(w.status.ok());
    TTempPdf file(w.pdf);
    std::string out;
    ASSERT_EQ(RunTool("pdfinfo " + file.Quoted(), out), 0) << out;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(out, m, std::regex("Page size: +([^\n]*)"))) << out;
    EXPECT_EQ(m[1].str(), c.size)
        << "item " << c.item << " image " << c.w << "x" << c.h << "\n"
        << out;
  }
}

TEST(PdfImages, PdfimagesListsEncodingAndDepth) {
  if (!ToolAvailable("pdfimages"))
    GTEST_SKIP() << "pdfimages not installed";
  auto b = Bilevel(40, 30), c = Colour(20, 10);
  struct Case {
    TVlBitmap* bmp;
    std::uint8_t compression;
    const char* color;
    int bpc;
    const char* enc;
  };
  std::vector<Case> cases = {
      {b.get(), pdfNone, "gray", 1, "image"}, {b.get(), pdfRunLength, "gray", 1, "image"},
      {b.get(), pdfG4, "gray", 1, "ccitt"},   {b.get(), pdfG3TwoD, "gray", 1, "ccitt"},
      {c.get(), pdfNone, "rgb", 8, "image"},  {c.get(), pdfG4, "rgb", 8, "image"},
  };
  cases.push_back({b.get(), pdfLzw, "gray", 1, "image"});
  cases.push_back({c.get(), pdfLzw, "rgb", 8, "image"});
  cases.push_back({b.get(), pdfJpeg, "gray", 1, "ccitt"});  // bilevel: G3 2-D instead
  cases.push_back({c.get(), pdfJpeg, "rgb", 8, "jpeg"});
  std::vector<TPage> pages;
  for (const Case& k : cases)
    pages.push_back({k.bmp, k.compression, 595, 842});
  TWritten w = WritePdf(pages);
  ASSERT_TRUE(w.status.ok()) << DescribeStatus(w.status);
  TTempPdf file(w.pdf);
  std::string out;
  ASSERT_EQ(RunTool("pdfimages -list " + file.Quoted(), out), 0) << out;
  std::istringstream lines(out);
  std::string line;
  std::getline(lines, line);
  std::getline(lines, line);
  for (std::size_t i = 0; i < cases.size(); ++i) {
    ASSERT_TRUE(std::getline(lines, line)) << out;
    std::istringstream f(line);
    int page = 0, num = 0, width = 0, height = 0, comp = 0, bpc = 0;
    std::string type, color, enc;
    f >> page >> num >> type >> width >> height >> color >> comp >> bpc >> enc;
    SCOPED_TRACE(line);
    EXPECT_EQ(page, static_cast<int>(i) + 1);
    EXPECT_EQ(width, cases[i].bmp->Width());
    EXPECT_EQ(height, cases[i].bmp->Height());
    EXPECT_EQ(color, cases[i].color);
    EXPECT_EQ(bpc, cases[i].bpc);
    EXPECT_EQ(enc, cases[i].enc);
  }
}

// A page of the image's own size holds one pixel per point. pdftoppm at 72 dpi smooths images
// drawn at exactly 1:1 (bilinear interpolation), so the page is rendered at 288 dpi, where
// each image pixel becomes a 4 x 4 block without interpolation; every block must be uniform
// and equal to its source pixel.
TEST(PdfImages, PdftoppmReproducesThePixelsAtImageSize) {
  if (!ToolAvailable("pdftoppm"))
    GTEST_SKIP() << "pdftoppm not installed";
  constexpr int kZoom = 4;
  auto bilevel = Bilevel(77, 45, 21);
  auto colour = Colour(23, 17, 22);
  std::vector<TPage> pages;
  for (std::uint8_t c : {pdfNone, pdfRunLength, pdfG4, pdfG3TwoD, pdfLzw})
    pages.push_back({bilevel.get(), c});
  const std::size_t bilevelPages = pages.size();
  pages.push_back({colour.get(), pdfNone});
  pages.push_back({colour.get(), pdfLzw});
  TWritten w = WritePdf(pages);
  ASSERT_TRUE(w.status.ok()) << DescribeStatus(w.status);
  TTempPdf file(w.pdf);
  for (std::size_t i = 0; i < pages.size(); ++i) {
    SCOPED_TRACE(std::string("page ") + std::to_string(i + 1) + " " + CompressionName(pages[i].compression));
    const bool gray = i < bilevelPages;
    TRaster r;
    ASSERT_TRUE(Render(file, static_cast<int>(i) + 1, gray, 72 * kZoom, r));
    TVlBitmap& src = *pages[i].bitmap;
    ASSERT_EQ(r.width, src.Width() * kZoom);
    ASSERT_EQ(r.height, src.Height() * kZoom);
    int wrong = 0;
    for (int y = 0; y < r.height; ++y)
      for (int x = 0; x < r.width; ++x) {
        const std::uint8_t* px = &r.pixels[(static_cast<std::size_t>(y) * r.width + x) * r.channels];
        const int sx = x / kZoom, sy = y / kZoom;
        if (gray)
          wrong += px[0] != (White(src, sx, sy) ? 255 : 0);
        else
          wrong += px[0] != src.RowPointer(sy)[3 * sx + 2] || px[1] != src.RowPointer(sy)[3 * sx + 1] ||
                   px[2] != src.RowPointer(sy)[3 * sx];
      }
    EXPECT_EQ(wrong, 0);
  }
}
