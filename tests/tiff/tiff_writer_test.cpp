// The TIFF writer: every compression x page kind accepted by libtiff (tiffinfo -D without a
// word on stderr) and decoded by it (tiff2rgba) to the pixels written; the normalisation of
// buffer and record; strips; insert mode; EXIF and GPS; the 4 GiB reach of 32-bit offsets.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <map>

#include "imaging/params.h"
#include "imaging/stream.h"
#include "tiff/tiff_bytes.h"
#include "tiff/tiff_codecs.h"
#include "tiff/tiff_container.h"
#include "tiff/tiff_pages.h"
#include "tiff/tiff_reader.h"
#include "tiff/tiff_reader_reference.h"
#include "tiff/tiff_writer.h"

namespace {

struct TRun {
  std::atomic<bool> abort{false};
  ProgressRecord pr;
  TRun() { pr.abortFlag = &abort; }
};

// ---- page kinds ----

enum class TKindId { bilevel, gray, palette4, palette8, rgb, rgba };
const char* KindName(TKindId k) {
  switch (k) {
    case TKindId::bilevel: return "bilevel";
    case TKindId::gray: return "gray";
    case TKindId::palette4: return "palette4";
    case TKindId::palette8: return "palette8";
    case TKindId::rgb: return "rgb";
    case TKindId::rgba: return "rgba";
  }
  return "?";
}

constexpr int kW = 97, kH = 61;  // odd sizes break packing and row padding

void MakePage(TKindId k, TVlBitmap& bm, TIOParamsVals& p) {
  switch (k) {
    case TKindId::bilevel: {
      ASSERT_TRUE(bm.AllocateImage(kW, kH, vl1g).ok());
      for (int y = 0; y < kH; ++y) {
        std::uint8_t* r = bm.RowPointer(y);
        std::memset(r, 0xFF, std::size_t(bm.RowLength()));
        for (int x = 0; x < kW; ++x)
          if ((x / 3 + y / 5) % 7 == 0 || (x * y) % 29 == 1 || (y > 40 && x > 20 && x < 60))
            r[x >> 3] &= std::uint8_t(~(0x80 >> (x & 7)));
      }
      p.bitsPerSample = 1;
      p.samplesPerPixel = 1;
      break;
    }
    case TKindId::gray:
      ASSERT_TRUE(bm.AllocateImage(kW, kH, vl8g).ok());
      for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x)
          bm.RowPointer(y)[x] = std::uint8_t((x * 255 / (kW - 1) + y * 37) % 256);
      p.bitsPerSample = 8;
      p.samplesPerPixel = 1;
      break;
    case TKindId::palette4:
    case TKindId::palette8: {
      const int n = k == TKindId::palette4 ? 12 : 200;
      ASSERT_TRUE(bm.AllocateImage(kW, kH, vl24RGB).ok());
      for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
          int c = (x / 4 + y / 3 * 7) % n;
          std::uint8_t* q = bm.RowPointer(y) + 3 * x;
          q[0] = std::uint8_t(c * 37);
          q[1] = std::uint8_t(c * 11 + 5);
          q[2] = std::uint8_t(255 - c);
        }
      p.bitsPerSample = k == TKindId::palette4 ? 4 : 8;
      p.samplesPerPixel = 1;
      break;
    }
    case TKindId::rgb:
    case TKindId::rgba:
      ASSERT_TRUE(bm.AllocateImage(kW, kH, vl24RGB).ok());
      for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
          std::uint8_t* q = bm.RowPointer(y) + 3 * x;
          q[0] = std::uint8_t((x + y) * 255 / (kW + kH));
          q[1] = std::uint8_t(y * 255 / (kH - 1));
          q[2] = std::uint8_t(x * 255 / (kW - 1));
        }
      p.bitsPerSample = 8;
      p.samplesPerPixel = 3;
      if (k == TKindId::rgba) {
        TVlBitmap* a = bm.AlphaChannel();
        for (int y = 0; y < kH; ++y)
          for (int x = 0; x < kW; ++x)
            a->RowPointer(y)[x] = std::uint8_t(std::min(255, x * 3 + y));
        bm.SetAlphaFull(false);
      }
      break;
  }
}

struct TCompression {
  const char* name;
  std::uint8_t param;
};
const TCompression kCompressions[] = {{"none", 0},     {"MH", 1},       {"G3-1D", 2},     {"G3-2D", 3},
                                      {"G4", 4},       {"LZW", 5},      {"PackBits", 8},  {"Deflate", 10},
                                      {"AdobeDeflate", 9}, {"JPEG", 7}};

// What the writer stores for a requested compression on a page kind.
int ExpectedCode(TKindId k, std::uint8_t param) {
  const bool bilevel = k == TKindId::bilevel;
  const bool indexed = k == TKindId::gray || k == TKindId::palette4 || k == TKindId::palette8;
  switch (param) {
    case 1: return bilevel ? 2 : 1;
    case 2: case 3: return bilevel ? 3 : 1;
    case 4: return bilevel ? 4 : 1;
    case 5: return 5;
    case 7: return bilevel || indexed ? 1 : 7;
    case 8: return 32773;
    case 9: case 10: return 32946;
    default: return 1;
  }
}

std::vector<std::uint8_t> WritePage(TVlBitmap& bm, TIOParamsVals& p, TRun& run) {
  TVlMemoryStream s;
  EXPECT_EQ(WriteTIFF(s, false, &bm, run.pr, p), 1);
  return s.Bytes();
}

fs::path TempFile(const std::string& name) {
  fs::path d = fs::temp_directory_path() / ("vellumo-tiffw-" + std::to_string(::getpid()));
  fs::create_directories(d);
  return d / name;
}

void SaveFile(const fs::path& p, const std::vector<std::uint8_t>& b) {
  std::ofstream o(p, std::ios::binary);
  o.write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
}

TVlStatus ReadBack(const std::vector<std::uint8_t>& file, TVlBitmap& bm, TIOParamsVals& p,
                   std::unique_ptr<TVlMask>* mask = nullptr, std::int32_t index = 0) {
  TVlMemoryStream s(file.data(), std::int64_t(file.size()));
  TRun run;
  std::int32_t n = 0;
  p.SetImageIndex(index);
  std::unique_ptr<TVlMask> m;
  return ReadTIFF(&bm, s, n, &p, run.pr, false, mask ? mask : &m, false, false, false);
}

}  // namespace

// Every compression on every page kind, checked by libtiff.
TEST(TIFFPageWriter, MatrixIsAcceptedAndDecodedByLibtiff) {
  if (!ToolsPresent())
    GTEST_SKIP() << "libtiff tools not installed";
  InstallDefaultCodecs();
  int cells = 0, jpegSkipped = 0;
  for (TKindId kind : {TKindId::bilevel, TKindId::gray, TKindId::palette4, TKindId::palette8, TKindId::rgb,
                       TKindId::rgba}) {
    for (const TCompression& c : kCompressions) {
      SCOPED_TRACE(std::string(KindName(kind)) + " x " + c.name);
      TVlBitmap bm;
      TIOParamsVals p;
      MakePage(kind, bm, p);
      p.tiffCompression = c.param;
      TRun run;
      TVlMemoryStream s;
      WriteTIFF(s, false, &bm, run.pr, p);
      if (run.abort && std::string(run.pr.failure.reason).find("which this build lacks") != std::string::npos) {
        ++jpegSkipped;
        continue;
      }
      ASSERT_FALSE(run.abort.load()) << DescribeStatus(run.pr.failure);
      ++cells;
      const fs::path file = TempFile(std::string(KindName(kind)) + "-" + c.name + ".tif");
      SaveFile(file, s.Bytes());

      std::string err;
      EXPECT_EQ(RunCapture("tiffinfo -D " + Quote(file.string()), err), 0);
      EXPECT_EQ(err, "") << "tiffinfo -D";

      // What was stored.
      TTIFFDirectory dir;
      TVlMemoryStream in(s.Bytes().data(), std::int64_t(s.Bytes().size()));
      dir.stream = &in;
      std::int32_t pages = 0;
      TTIFFHeader h;
      ASSERT_TRUE(ReadTIFFHeader(in, 0, h).ok());
      ASSERT_TRUE(ReadDirectoryChain(0, h.firstOffset, dir, pages));
      EXPECT_EQ(GetIntTag(dir, 259, 0), ExpectedCode(kind, c.param));

      // libtiff's decoding against the page.
      const fs::path out = TempFile(std::string(KindName(kind)) + "-" + c.name + ".rgba.tif");
      ASSERT_EQ(RunCapture("tiff2rgba -c none " + Quote(file.string()) + " " + Quote(out.string()), err), 0) << err;
      std::vector<TRefPage> ref;
      ASSERT_TRUE(ParseRefTIFF(Slurp(out), ref));
      ASSERT_EQ(ref[0].w, kW);
      ASSERT_EQ(ref[0].h, kH);
      const bool lossy = ExpectedCode(kind, c.param) == 7;
      const bool alphaStored = kind == TKindId::rgba && !lossy;
      double sum = 0;
      int worst = 0;
      for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
          TVlRGB e = bm.PixelAsRGB(x, y);
          int a = alphaStored ? bm.AlphaAt(x, y) : 255;
          int er = e.r, eg = e.g, eb = e.b;
          if (alphaStored) {  // libtiff premultiplies unassociated alpha
            er = (er * a + 127) / 255;
            eg = (eg * a + 127) / 255;
            eb = (eb * a + 127) / 255;
          }
          const std::uint8_t* q = ref[0].px.data() + (std::size_t(y) * kW + x) * 4;
          int d = std::max({std::abs(q[0] - er), std::abs(q[1] - eg), std::abs(q[2] - eb), std::abs(q[3] - a)});
          worst = std::max(worst, d);
          sum += d;
        }
      if (lossy) {
        EXPECT_LT(sum / (kW * kH), 4.0);
        EXPECT_LE(worst, 48);
      } else {
        EXPECT_EQ(worst, 0) << "pixels differ from the page written";
      }

      // And our own reader gives the page back.
      TVlBitmap back;
      TIOParamsVals q;
      std::unique_ptr<TVlMask> mask;
      ASSERT_TRUE(ReadBack(s.Bytes(), back, q, &mask).ok());
      if (lossy) {
        // Both decoders of the same JPEG data agree within rounding.
        for (int y = 0; y < kH; ++y)
          for (int x = 0; x < kW; ++x) {
            TVlRGB o = back.PixelAsRGB(x, y);
            const std::uint8_t* q = ref[0].px.data() + (std::size_t(y) * kW + x) * 4;
            ASSERT_LE(std::max({std::abs(q[0] - o.r), std::abs(q[1] - o.g), std::abs(q[2] - o.b)}), 2);
          }
      } else {
        for (int y = 0; y < kH; ++y)
          for (int x = 0; x < kW; ++x) {
            ASSERT_EQ(back.PixelAsRGB(x, y), bm.PixelAsRGB(x, y)) << "at " << x << "," << y;
            if (alphaStored) {
              ASSERT_EQ(mask->RowPointer(y)[x], bm.AlphaAt(x, y));
            }
          }
      }
      std::error_code ec;
      fs::remove(file, ec);
      fs::remove(out, ec);
    }
  }
  std::printf("TIFF writer matrix: %d cells checked by libtiff, %d JPEG cells need the JPEG codec\n", cells,
              jpegSkipped);
}

// A multi-page document written page by page: libtiff reads every page.
TEST(TIFFPageWriter, MultiPageDocumentPassesTiffinfo) {
  if (!ToolsPresent())
    GTEST_SKIP() << "libtiff tools not installed";
  InstallDefaultCodecs();
  TVlMemoryStream s;
  for (int k = 0; k < 3; ++k) {
    TVlBitmap bm;
    TIOParamsVals p;
    MakePage(k == 1 ? TKindId::rgb : TKindId::bilevel, bm, p);
    p.tiffCompression = k == 1 ? 5 : 4;
    p.SetImageIndex(k);
    p.tiffPageNumber = k;
    p.tiffPageCount = 3;
    TRun run;
    s.Seek(0);
    EXPECT_EQ(WriteTIFF(s, k > 0, &bm, run.pr, p), k + 1);
    ASSERT_FALSE(run.abort.load());
  }
  const fs::path file = TempFile("three.tif");
  SaveFile(file, s.Bytes());
  std::string err;
  EXPECT_EQ(RunCapture("tiffinfo -D " + Quote(file.string()), err), 0);
  EXPECT_EQ(err, "");
  TVlMemoryStream in(s.Bytes().data(), std::int64_t(s.Bytes().size()));
  TIOParamsVals p;
  TVlBitmap bm;
  ASSERT_TRUE(ReadBack(s.Bytes(), bm, p, nullptr, 2).ok());
  EXPECT_EQ(p.imageCount, 3);
  EXPECT_EQ(p.tiffCompression, 4);
  std::error_code ec;
  fs::remove(file, ec);
}

TEST(TIFFPageWriter, RationalFromDouble) {
  struct Row {
    double x;
    std::int32_t num;
    std::uint32_t den;
  } rows[] = {
      {0.5, 500000, 1000000},    {-0.5, -500000, 1000000}, {3000.123, 300012300, 100000},
      {0, 0, 1000000},           {1e12, 2147483647, 1},    {-1e12, -2147483647, 1},
      {2147.48364, 2147483640, 1000000}, {2147.483641, 214748364, 100000},
  };
  for (const Row& r : rows) {
    TTIFFRational q = RationalFromDouble(r.x);
    EXPECT_EQ(q.numerator, r.num) << r.x;
    EXPECT_EQ(q.denominator, r.den) << r.x;
  }
  TTIFFRational n = RationalFromDouble(std::nan(""));
  EXPECT_EQ(n.numerator, 0);
  EXPECT_EQ(n.denominator, 1u);
}

TEST(TIFFPageWriter, StripsHoldAboutHalfAMebibyte) {
  EXPECT_EQ(TIFFRowsPerStrip(1000, 3000), 200);  // 5 strips of 200 rows
  EXPECT_EQ(TIFFRowsPerStrip(10, 100), 10);
  EXPECT_EQ(TIFFRowsPerStrip(1001, 3000), 200);  // and a sixth strip for the last row
  // 64-bit products: a very tall page of long rows.
  EXPECT_EQ(TIFFRowsPerStrip(1 << 20, 1 << 20), 1);

  InstallDefaultCodecs();
  TVlBitmap bm;
  ASSERT_TRUE(bm.AllocateImage(1000, 1000, vl24RGB).ok());  // rows of 3000 bytes
  bm.FillImage(double(clWhite));
  TIOParamsVals p;
  TRun run;
  std::vector<std::uint8_t> f = WritePage(bm, p, run);
  TVlMemoryStream in(f.data(), std::int64_t(f.size()));
  TTIFFHeader h;
  ASSERT_TRUE(ReadTIFFHeader(in, 0, h).ok());
  TTIFFDirectory dir;
  dir.stream = &in;
  std::int32_t n = 0;
  ASSERT_TRUE(ReadDirectoryChain(0, h.firstOffset, dir, n));
  EXPECT_EQ(GetIntTag(dir, 278, 0), 200);
  std::vector<std::int32_t> offs;
  EXPECT_EQ(GetIntArrayTag(dir, 273, offs), 5);
  // The directory at an even offset, its tags ascending.
  EXPECT_EQ(h.firstOffset % 2, 0u);
  for (std::size_t i = 1; i < dir.entries.size(); ++i)
    EXPECT_LT(dir.entries[i - 1].tag, dir.entries[i].tag);
}

// The normalisation of buffer and record.
TEST(TIFFPageWriter, Normalisation) {
  InstallDefaultCodecs();
  {
    // Two colours, record asking for 1 bit: the darker colour (dark blue) is black, whichever
    // comes first.
    for (bool blueFirst : {true, false}) {
      TVlBitmap bm;
      ASSERT_TRUE(bm.AllocateImage(9, 3, vl24RGB).ok());
      for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 9; ++x) {
          bool blue = ((x + y) % 2 == 0) == blueFirst;
          std::uint8_t* q = bm.RowPointer(y) + 3 * x;
          q[0] = blue ? 120 : 0;
          q[1] = blue ? 0 : 230;
          q[2] = blue ? 0 : 240;
        }
      TIOParamsVals p;
      p.bitsPerSample = 1;
      p.samplesPerPixel = 1;
      TRun run;
      std::vector<std::uint8_t> f = WritePage(bm, p, run);
      TVlBitmap back;
      TIOParamsVals q;
      ASSERT_TRUE(ReadBack(f, back, q).ok());
      ASSERT_EQ(back.PixelFormat(), vl1g);
      for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 9; ++x) {
          bool blue = ((x + y) % 2 == 0) == blueFirst;
          EXPECT_EQ(back.PixelAsRGB(x, y).r, blue ? 0 : 255);
        }
    }
  }
  {
    // A 24-bit page saved with G4 is stored uncompressed; a gray page with JPEG too, as gray.
    TVlBitmap bm;
    TIOParamsVals p;
    MakePage(TKindId::rgb, bm, p);
    p.tiffCompression = 4;
    TRun run;
    std::vector<std::uint8_t> f = WritePage(bm, p, run);
    TIOParamsVals q;
    TVlBitmap back;
    ASSERT_TRUE(ReadBack(f, back, q).ok());
    EXPECT_EQ(q.tiffCompression, 0);
    EXPECT_EQ(q.tiffPhotometric, 2);

    TVlBitmap g;
    TIOParamsVals gp;
    MakePage(TKindId::gray, g, gp);
    gp.tiffCompression = 7;
    TRun run2;
    f = WritePage(g, gp, run2);
    ASSERT_TRUE(ReadBack(f, back, q).ok());
    EXPECT_EQ(q.tiffCompression, 0);
    EXPECT_EQ(q.tiffPhotometric, 1);
    EXPECT_EQ(q.bitsPerSample, 8);
  }
  {
    // RGB with alpha and LZW: 4 samples, unassociated alpha (2), no predictor.
    TVlBitmap bm;
    TIOParamsVals p;
    MakePage(TKindId::rgba, bm, p);
    p.tiffCompression = 5;
    TRun run;
    std::vector<std::uint8_t> f = WritePage(bm, p, run);
    TVlMemoryStream in(f.data(), std::int64_t(f.size()));
    TTIFFHeader h;
    ASSERT_TRUE(ReadTIFFHeader(in, 0, h).ok());
    TTIFFDirectory dir;
    dir.stream = &in;
    std::int32_t n = 0;
    ASSERT_TRUE(ReadDirectoryChain(0, h.firstOffset, dir, n));
    EXPECT_EQ(GetIntTag(dir, 277, 0), 4);
    EXPECT_EQ(GetIntTag(dir, 338, 0), 2);
    EXPECT_EQ(FindTag(dir, 317), -1);
    // Plain RGB with LZW gets the predictor.
    TVlBitmap rgb;
    TIOParamsVals rp;
    MakePage(TKindId::rgb, rgb, rp);
    rp.tiffCompression = 5;
    TRun run2;
    f = WritePage(rgb, rp, run2);
    TVlMemoryStream in2(f.data(), std::int64_t(f.size()));
    ASSERT_TRUE(ReadTIFFHeader(in2, 0, h).ok());
    dir.stream = &in2;
    ASSERT_TRUE(ReadDirectoryChain(0, h.firstOffset, dir, n));
    EXPECT_EQ(GetIntTag(dir, 317, 0), 2);
  }
  {
    // A 16-bit gray buffer keeps its 16 bits; an RGB48 buffer too.
    TVlBitmap bm;
    ASSERT_TRUE(bm.AllocateImage(5, 2, vl16g).ok());
    for (int y = 0; y < 2; ++y)
      for (int x = 0; x < 5; ++x) {
        std::uint16_t v = std::uint16_t(x * 13000 + y * 7);
        bm.RowPointer(y)[2 * x] = std::uint8_t(v);
        bm.RowPointer(y)[2 * x + 1] = std::uint8_t(v >> 8);
      }
    TIOParamsVals p;
    p.bitsPerSample = 16;
    p.samplesPerPixel = 1;
    p.nativePixelFormat = true;
    TRun run;
    std::vector<std::uint8_t> f = WritePage(bm, p, run);
    TVlBitmap back;
    TIOParamsVals q;
    q.nativePixelFormat = true;
    ASSERT_TRUE(ReadBack(f, back, q).ok());
    ASSERT_EQ(back.PixelFormat(), vl16g);
    EXPECT_EQ(q.bitsPerSample, 16);
    for (int y = 0; y < 2; ++y)
      EXPECT_EQ(std::memcmp(back.RowPointer(y), bm.RowPointer(y), 10), 0);
  }
  {
    // A bilevel page whose record says palette is written as a plain bilevel page.
    TVlBitmap bm;
    TIOParamsVals p;
    MakePage(TKindId::bilevel, bm, p);
    p.tiffPhotometric = 3;
    TRun run;
    std::vector<std::uint8_t> f = WritePage(bm, p, run);
    TVlBitmap back;
    TIOParamsVals q;
    ASSERT_TRUE(ReadBack(f, back, q).ok());
    for (int y = 0; y < kH; ++y)
      ASSERT_EQ(std::memcmp(back.RowPointer(y), bm.RowPointer(y), (kW + 7) / 8 - 1), 0);
  }
}

// G4 with fill order 2: FillOrder and PhotometricInterpretation 0 in the file, same pixels back.
TEST(TIFFPageWriter, FaxFillOrder) {
  InstallDefaultCodecs();
  for (int fo : {1, 2}) {
    for (std::uint8_t c : {1, 2, 3, 4}) {
      TVlBitmap bm;
      TIOParamsVals p;
      MakePage(TKindId::bilevel, bm, p);
      p.tiffCompression = c;
      p.tiffFillOrder = fo;
      TRun run;
      std::vector<std::uint8_t> f = WritePage(bm, p, run);
      TVlBitmap back;
      TIOParamsVals q;
      ASSERT_TRUE(ReadBack(f, back, q).ok());
      EXPECT_EQ(q.tiffFillOrder, fo);
      EXPECT_EQ(q.tiffPhotometric, 0);
      for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x)
          ASSERT_EQ(back.PixelAsRGB(x, y), bm.PixelAsRGB(x, y));
    }
  }
}

// Insert mode: before page tiffImageIndex, or appended past the end.
TEST(TIFFPageWriter, InsertMode) {
  InstallDefaultCodecs();
  auto page = [](int shade, TVlBitmap& bm) {
    ASSERT_TRUE(bm.AllocateImage(8, 4, vl8g).ok());
    bm.FillImage(shade);
  };
  auto threePages = [&](TVlMemoryStream& s) {
    for (int k = 0; k < 3; ++k) {
      TVlBitmap bm;
      page(10 + k, bm);
      TIOParamsVals p;
      p.bitsPerSample = 8;
      p.samplesPerPixel = 1;
      p.SetImageIndex(k);
      TRun run;
      s.Seek(0);
      WriteTIFF(s, k > 0, &bm, run.pr, p);
      ASSERT_FALSE(run.abort.load());
    }
  };
  struct Row {
    int index;
    std::vector<int> shades;
  } rows[] = {{0, {99, 10, 11, 12}}, {1, {10, 99, 11, 12}}, {3, {10, 11, 12, 99}}, {7, {10, 11, 12, 99}}};
  for (const Row& r : rows) {
    TVlMemoryStream s;
    threePages(s);
    TVlBitmap bm;
    page(99, bm);
    TIOParamsVals p;
    p.bitsPerSample = 8;
    p.samplesPerPixel = 1;
    p.SetImageIndex(r.index);
    TRun run;
    s.Seek(0);
    EXPECT_EQ(WriteTIFF(s, true, &bm, run.pr, p), 4) << r.index;
    for (int k = 0; k < 4; ++k) {
      TVlBitmap back;
      TIOParamsVals q;
      q.nativePixelFormat = true;
      ASSERT_TRUE(ReadBack(s.Bytes(), back, q, nullptr, k).ok());
      EXPECT_EQ(q.imageCount, 4);
      EXPECT_EQ(back.RowPointer(0)[0], r.shades[std::size_t(k)]) << "index " << r.index << " page " << k;
    }
  }
  // Not a little-endian TIFF: nothing written, 0, abort flag.
  TTiffBytes be(false);
  be.Directory({TSpec(256, 3, {1}), TSpec(257, 3, {1})});
  TVlMemoryStream s(std::vector<std::uint8_t>(be.bytes));
  TVlBitmap bm;
  page(1, bm);
  TIOParamsVals p;
  TRun run;
  EXPECT_EQ(WriteTIFF(s, true, &bm, run.pr, p), 0);
  EXPECT_TRUE(run.abort.load());
  EXPECT_EQ(s.Size(), std::int64_t(be.bytes.size()));
}

// A chain that loops (A -> B -> A) is walked once; the new page is appended after it.
TEST(TIFFPageWriter, InsertIntoLoopingChain) {
  InstallDefaultCodecs();
  TTiffBytes b(true);
  const std::vector<TSpec> d = {TSpec(256, 3, {1}), TSpec(257, 3, {1}), TSpec(258, 3, {8}), TSpec(273, 4, {8}),
                                TSpec(279, 4, {1})};
  b.U8(0x55);
  std::vector<std::uint32_t> at = b.Chain({d, d});
  b.Patch32(at[1] + 2 + 12 * 5, at[0]);  // B links back to A
  TVlMemoryStream s(std::vector<std::uint8_t>(b.bytes));
  TVlBitmap bm;
  ASSERT_TRUE(bm.AllocateImage(2, 2, vl8g).ok());
  bm.FillImage(7);
  TIOParamsVals p;
  p.bitsPerSample = 8;
  p.samplesPerPixel = 1;
  p.SetImageIndex(9);
  TRun run;
  EXPECT_EQ(WriteTIFF(s, true, &bm, run.pr, p), 3);
  EXPECT_FALSE(run.abort.load());
  TVlMemoryStream in(s.Bytes().data(), std::int64_t(s.Bytes().size()));
  EXPECT_EQ(CountTIFFPages(in), 3);
}

// Offsets are 32-bit: a file that would pass 4 GiB is refused, and the existing chain is kept.
TEST(TIFFPageWriter, RefusesToPassFourGiB) {
  InstallDefaultCodecs();
  // A sparse stream: a real TIFF at the start, and a size just below 4 GiB.
  class TSparse final : public TVlStream {
   public:
    explicit TSparse(std::vector<std::uint8_t> head) : head_(std::move(head)), size_(0xFFFFF000ll) {}
    std::int64_t Read(void* b, std::int64_t n) override {
      std::int64_t got = 0;
      auto* o = static_cast<std::uint8_t*>(b);
      while (got < n && pos_ < size_) {
        o[got++] = pos_ < std::int64_t(head_.size()) ? head_[std::size_t(pos_)] : 0;
        ++pos_;
      }
      return got;
    }
    std::int64_t Write(const void* b, std::int64_t n) override {
      const auto* in = static_cast<const std::uint8_t*>(b);
      for (std::int64_t i = 0; i < n; ++i, ++pos_)
        if (pos_ < std::int64_t(head_.size()))
          head_[std::size_t(pos_)] = in[i];
      size_ = std::max(size_, pos_);
      return n;
    }
    bool Seek(std::int64_t p) override {
      pos_ = p;
      return true;
    }
    std::int64_t Position() const override { return pos_; }
    std::int64_t Size() const override { return size_; }
    std::vector<std::uint8_t> head_;

   private:
    std::int64_t size_, pos_ = 0;
  };
  TVlMemoryStream first;
  {
    TVlBitmap bm;
    ASSERT_TRUE(bm.AllocateImage(4, 4, vl8g).ok());
    bm.FillImage(3);
    TIOParamsVals p;
    p.bitsPerSample = 8;
    p.samplesPerPixel = 1;
    TRun run;
    WriteTIFF(first, false, &bm, run.pr, p);
  }
  TSparse big(first.Bytes());
  const std::vector<std::uint8_t> before = big.head_;
  TVlBitmap bm;
  ASSERT_TRUE(bm.AllocateImage(300, 300, vl24RGB).ok());  // 270 000 bytes of strips
  bm.FillImage(double(clWhite));
  TIOParamsVals p;
  p.SetImageIndex(1);
  TRun run;
  EXPECT_EQ(WriteTIFF(big, true, &bm, run.pr, p), 0);
  EXPECT_TRUE(run.abort.load());
  EXPECT_NE(std::string(run.pr.failure.reason).find("4 GiB"), std::string::npos) << run.pr.failure.reason;
  EXPECT_EQ(big.head_, before);  // the chain of the existing file is untouched
}

// EXIF and GPS fields survive a write and a read; signed rationals stay negative.
TEST(TIFFPageWriter, ExifAndGpsRoundTrip) {
  InstallDefaultCodecs();
  TVlBitmap bm;
  ASSERT_TRUE(bm.AllocateImage(3, 2, vl24RGB).ok());
  bm.FillImage(double(clWhite));
  TIOParamsVals p;
  p.hasExif = true;
  p.exifMake = "Maker";
  p.exifModel = "Model 7";
  p.exifDateTime = "2024:01:02 03:04:05";
  p.exifSoftware = "Vellumo";
  p.exifCopyright = "(c) us";
  p.exifXPTitle = u"Titel \u00e9";
  p.SetExifXResolution(200.0);
  p.SetExifYResolution(100.0);
  p.exifExposureTime = 0.004;
  p.exifFNumber = 2.8;
  p.exifExposureBiasValue = -0.7;
  p.exifBrightnessValue = -1.25;
  p.exifShutterSpeedValue = -2.5;
  p.exifISOSpeedRatings = {200, 400};
  p.exifExifVersion = "0220";
  p.exifFlashPixVersion = "0100";
  p.exifDateTimeOriginal = "2024:01:02 03:04:05";
  p.exifUserCommentCode = std::string("ASCII\0\0\0", 8);
  p.exifUserComment = "hello";
  p.exifFocalLength = 35.5;
  p.exifColorSpace = 1;
  p.exifFileSource = 3;
  p.exifWhiteBalance = 1;
  p.exifImageUniqueID = "abc123";
  p.exifWhitePoint = {0.3127, 0.329};
  p.gpsVersionID = "2.2.0.0";
  p.gpsLatitudeRef = "N";
  p.gpsLatitude = {52, 31, 12.5};
  p.gpsLongitudeRef = "E";
  p.gpsLongitude = {13, 24, 0.25};
  p.gpsAltitudeRef = "1";
  p.gpsAltitude = 35.5;
  p.gpsDateStamp = "2024:01:02";
  p.iptcInfo.records.push_back({2, 5, {'T', 'i', 't', 'l', 'e'}});
  p.iptcInfo.records.push_back({2, 120, {'c', 'a', 'p'}});
  TRun run;
  std::vector<std::uint8_t> f = WritePage(bm, p, run);
  ASSERT_FALSE(run.abort.load());
  TVlBitmap back;
  TIOParamsVals q;
  ASSERT_TRUE(ReadBack(f, back, q).ok());
  EXPECT_TRUE(q.hasExif);
  EXPECT_EQ(q.exifMake, "Maker");
  EXPECT_EQ(q.exifModel, "Model 7");
  EXPECT_EQ(q.exifDateTime, p.exifDateTime);
  EXPECT_EQ(q.exifSoftware, "Vellumo");
  EXPECT_EQ(q.exifCopyright, "(c) us");
  EXPECT_EQ(q.exifXPTitle, p.exifXPTitle);
  EXPECT_EQ(q.dpiX, 200);
  EXPECT_EQ(q.dpiY, 100);
  EXPECT_NEAR(q.exifExposureTime, 0.004, 1e-9);
  EXPECT_NEAR(q.exifFNumber, 2.8, 1e-9);
  EXPECT_NEAR(q.exifExposureBiasValue, -0.7, 1e-9);
  EXPECT_NEAR(q.exifBrightnessValue, -1.25, 1e-9);
  EXPECT_NEAR(q.exifShutterSpeedValue, -2.5, 1e-9);
  EXPECT_EQ(q.exifISOSpeedRatings[0], 200);
  EXPECT_EQ(q.exifISOSpeedRatings[1], 400);
  EXPECT_EQ(q.exifExifVersion, "0220");
  EXPECT_EQ(q.exifFlashPixVersion, "0100");
  EXPECT_EQ(q.exifUserCommentCode, p.exifUserCommentCode);
  EXPECT_EQ(q.exifUserComment, "hello");
  EXPECT_NEAR(q.exifFocalLength, 35.5, 1e-9);
  EXPECT_EQ(q.exifColorSpace, 1);
  EXPECT_EQ(q.exifFileSource, 3);
  EXPECT_EQ(q.exifWhiteBalance, 1);
  EXPECT_EQ(q.exifExposureMode, -1);  // -1 is not written and reads back as absent
  EXPECT_EQ(q.exifImageUniqueID, "abc123");
  EXPECT_NEAR(q.exifWhitePoint[0], 0.3127, 1e-9);
  EXPECT_EQ(q.gpsVersionID, "2.2.0.0");
  EXPECT_EQ(q.gpsLatitudeRef, "N");
  EXPECT_NEAR(q.gpsLatitude[2], 12.5, 1e-9);
  EXPECT_EQ(q.gpsLongitudeRef, "E");
  EXPECT_NEAR(q.gpsLongitude[2], 0.25, 1e-9);
  EXPECT_EQ(q.gpsAltitudeRef, "1");
  EXPECT_NEAR(q.gpsAltitude, 35.5, 1e-9);
  EXPECT_EQ(q.gpsDateStamp, "2024:01:02");
  EXPECT_EQ(q.iptcInfo.records, p.iptcInfo.records);

  // The three signed EXIF rationals are SRATIONAL; the IPTC block is zero-padded LONGs.
  TVlMemoryStream in(f.data(), std::int64_t(f.size()));
  TTIFFHeader h;
  ASSERT_TRUE(ReadTIFFHeader(in, 0, h).ok());
  TTIFFDirectory dir;
  dir.stream = &in;
  std::int32_t n = 0;
  ASSERT_TRUE(ReadDirectoryChain(0, h.firstOffset, dir, n));
  int iptc = FindTag(dir, 33723);
  ASSERT_GE(iptc, 0);
  EXPECT_EQ(dir.entries[std::size_t(iptc)].type, 4);
  EXPECT_EQ(dir.entries[std::size_t(iptc)].count, 5u);  // 10 + 8 bytes of datasets, padded to 20
  std::vector<std::uint8_t> raw;
  ASSERT_TRUE(GetRawTag(dir, 33723, raw));
  EXPECT_EQ(raw.back(), 0);
  TTIFFDirectory exif;
  exif.stream = &in;
  ASSERT_TRUE(ReadDirectoryChain(0, std::uint32_t(GetIntTag(dir, 34665, 0)), exif, n));
  for (std::uint16_t tag : {37377, 37379, 37380})
    EXPECT_EQ(exif.entries[std::size_t(FindTag(exif, tag))].type, 10) << tag;
  EXPECT_EQ(exif.entries[std::size_t(FindTag(exif, 36864))].type, 7);
}
