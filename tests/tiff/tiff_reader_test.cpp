// The TIFF reader and its strip and tile decoding, on pages built byte by byte: bit depths,
// photometric interpretations, planar and tiled layouts, predictor, alpha, orientation, the
// parameter record, and hostile directories (sizes, offsets, counts, colour maps).
#include <gtest/gtest.h>

#include <atomic>
#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <zlib.h>

#include <filesystem>

#include "imaging/limits.h"
#include "imaging/params.h"
#include "imaging/stream.h"
#include "test_paths.h"
#include "tiff/ccitt.h"
#include "tiff/lzw.h"
#include "tiff/predictor.h"
#include "tiff/tiff_bytes.h"
#include "tiff/tiff_codecs.h"
#include "tiff/tiff_reader.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

struct TPage {
  bool le = true;
  std::vector<TSpec> tags;  // without the strip or tile arrays
  std::vector<Bytes> blocks;
  bool tiled = false;
  bool noByteCounts = false;
};

// A one-page file: the blocks first, then the directory with the offset and byte-count arrays.
Bytes Build(const TPage& p, std::uint32_t* dirAt = nullptr) {
  TTiffBytes b(p.le);
  std::vector<std::uint64_t> offs, counts;
  for (const Bytes& blk : p.blocks) {
    b.Pad();
    offs.push_back(b.Pos());
    counts.push_back(blk.size());
    b.Raw(blk);
  }
  std::vector<TSpec> tags = p.tags;
  tags.push_back(TSpec(p.tiled ? 324 : 273, 4, offs));
  if (!p.noByteCounts)
    tags.push_back(TSpec(p.tiled ? 325 : 279, 4, counts));
  std::sort(tags.begin(), tags.end(), [](const TSpec& a, const TSpec& c) { return a.tag < c.tag; });
  std::uint32_t at = b.Directory(tags);
  b.Link(TTiffBytes::HeaderLink(), at);
  if (dirAt)
    *dirAt = at;
  return b.bytes;
}

std::vector<TSpec> Basic(std::uint32_t w, std::uint32_t h, std::uint32_t bits, std::uint32_t spp, std::uint32_t ph,
                         std::uint32_t compression = 1) {
  std::vector<std::uint64_t> bps(spp, bits);
  return {TSpec(256, 4, {w}),           TSpec(257, 4, {h}),   TSpec(258, 3, bps), TSpec(259, 3, {compression}),
          TSpec(262, 3, {ph}),          TSpec(277, 3, {spp}), TSpec(278, 4, {h})};
}

void Set(std::vector<TSpec>& tags, TSpec s) {
  for (TSpec& t : tags)
    if (t.tag == s.tag) {
      t = s;
      return;
    }
  tags.push_back(s);
}

struct TResult {
  TVlStatus status;
  bool aborted = false;
  std::int32_t pages = 0;
  TVlBitmap bm;
  TIOParamsVals params;
  std::unique_ptr<TVlMask> mask;
};

void Read(const Bytes& file, TResult& r, bool native = false, std::int32_t index = 0,
          std::function<void(TIOParamsVals&)> setup = {}) {
  InstallDefaultCodecs();
  TVlMemoryStream s(file.data(), std::int64_t(file.size()));
  std::atomic<bool> abort{false};
  ProgressRecord pr;
  pr.abortFlag = &abort;
  r.params.nativePixelFormat = native;
  r.params.SetImageIndex(index);
  if (setup)
    setup(r.params);
  r.status = ReadTIFF(&r.bm, s, r.pages, &r.params, pr, false, &r.mask, false, false, false);
  r.aborted = abort;
  if (r.aborted) {
    EXPECT_EQ(r.status.code, pr.failure.code);
  }
}

int Gray(TVlBitmap& bm, int x, int y) { return bm.PixelAsRGB(x, y).r; }

// Packs values of `bits` bits most significant first into rows of whole bytes.
Bytes Pack(const std::vector<int>& v, int bits, int perRow) {
  Bytes out;
  for (std::size_t r = 0; r * perRow < v.size(); ++r) {
    std::uint32_t acc = 0;
    int have = 0;
    for (int i = 0; i < perRow; ++i) {
      acc = acc << bits | std::uint32_t(v[r * perRow + i]);
      have += bits;
      while (have >= 8) {
        out.push_back(std::uint8_t(acc >> (have - 8)));
        have -= 8;
      }
    }
    if (have)
      out.push_back(std::uint8_t(acc << (8 - have)));
  }
  return out;
}

Bytes LzwEncode(const Bytes& data, int rowLength) {
  TVlMemoryStream s;
  TLzwEncoderState* st = nullptr;
  for (std::size_t i = 0; i < data.size(); i += std::size_t(rowLength))
    EXPECT_TRUE(TIFFLzwEncode(data.data() + i, rowLength, s, st));
  EXPECT_TRUE(TIFFLzwEncode(nullptr, 0, s, st));
  return s.Bytes();
}

Bytes Zlib(const Bytes& data) {
  uLongf n = compressBound(uLong(data.size()));
  Bytes out(n);
  EXPECT_EQ(compress(out.data(), &n, data.data(), uLong(data.size())), Z_OK);
  out.resize(n);
  return out;
}

}  // namespace

// Gray levels of every depth reach 0..255: 2, 4 and 8 bits as libtiff shows them, 3, 5, 6 and 7
// bits scaled the same way (rounded), 16 bits by their high byte; WhiteIsZero inverted.
TEST(TIFFReader, GrayDepths) {
  for (int bits : {2, 3, 4, 5, 6, 7, 8, 16}) {
    for (int ph : {0, 1}) {
      SCOPED_TRACE("bits " + std::to_string(bits) + " photometric " + std::to_string(ph));
      const int max = (1 << bits) - 1;
      const int w = 9;
      std::vector<int> v;
      for (int i = 0; i < w; ++i)
        v.push_back(i * max / (w - 1));
      TPage p;
      p.tags = Basic(w, 1, bits, 1, ph);
      if (bits == 16) {
        Bytes b;
        for (int x : v) {
          b.push_back(std::uint8_t(x));
          b.push_back(std::uint8_t(x >> 8));
        }
        p.blocks = {b};
      } else {
        p.blocks = {Pack(v, bits, w)};
      }
      TResult r;
      Read(Build(p), r);
      ASSERT_TRUE(r.status.ok()) << DescribeStatus(r.status);
      for (int x = 0; x < w; ++x) {
        int level = ph == 0 ? max - v[std::size_t(x)] : v[std::size_t(x)];
        int expected = bits == 16 ? level >> 8 : (level * 255 + max / 2) / max;
        EXPECT_EQ(Gray(r.bm, x, 0), expected) << "x " << x;
      }
    }
  }
  // The edge cases named for 4 and 3 bits.
  TPage p4;
  p4.tags = Basic(16, 1, 4, 1, 1);
  std::vector<int> ramp;
  for (int i = 0; i < 16; ++i)
    ramp.push_back(i);
  p4.blocks = {Pack(ramp, 4, 16)};
  TResult r4;
  Read(Build(p4), r4);
  for (int i = 0; i < 16; ++i)
    EXPECT_EQ(Gray(r4.bm, i, 0), 17 * i);
  TPage p3;
  p3.tags = Basic(8, 1, 3, 1, 1);
  p3.blocks = {Pack({0, 1, 2, 3, 4, 5, 6, 7}, 3, 8)};
  TResult r3;
  Read(Build(p3), r3);
  const int expected3[8] = {0, 36, 73, 109, 146, 182, 219, 255};
  for (int i = 0; i < 8; ++i)
    EXPECT_EQ(Gray(r3.bm, i, 0), expected3[i]);
}

// The 6-bit gray page of the libtiff samples against an independent rendering (ImageMagick).
TEST(TIFFReader, SixBitGrayMatchesReferenceRendering) {
  VL_REQUIRE_CORPUS("libtiff/pics-reference-renderings/flower-minisblack-06.pgm.gz");
  gzFile g = gzopen(CorpusPath("libtiff/pics-reference-renderings/flower-minisblack-06.pgm.gz").c_str(), "rb");
  ASSERT_NE(g, nullptr);
  std::string text;
  char buf[4096];
  int n;
  while ((n = gzread(g, buf, sizeof buf)) > 0)
    text.append(buf, std::size_t(n));
  gzclose(g);
  std::istringstream in(text);
  std::string magic;
  int w, h, maxval;
  in >> magic >> w >> h >> maxval;
  TResult r;
  Bytes file;
  {
    std::ifstream f(CorpusPath("libtiff/pics/depth/flower-minisblack-06.tif"), std::ios::binary);
    file.assign((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  }
  Read(file, r);
  ASSERT_TRUE(r.status.ok());
  ASSERT_EQ(r.bm.Width(), w);
  ASSERT_EQ(r.bm.Height(), h);
  int differ = 0;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      int v;
      in >> v;
      differ += Gray(r.bm, x, y) != v * 255 / maxval;
    }
  EXPECT_EQ(differ, 0);
}

// Bilevel pages: WhiteIsZero and BlackIsZero of the same picture give identical buffers; fill
// order 2 is undone; a strip that ends early keeps its whole rows and leaves the rest white.
TEST(TIFFReader, Bilevel) {
  const Bytes rows = {0x0F, 0xA0, 0x55, 0x80, 0xFF, 0x00};  // 3 rows of 9 pixels
  Bytes inverted;
  for (std::uint8_t b : rows)
    inverted.push_back(std::uint8_t(~b));
  TPage white, black;
  white.tags = Basic(9, 3, 1, 1, 0);
  white.blocks = {inverted};
  black.tags = Basic(9, 3, 1, 1, 1);
  black.blocks = {rows};
  TResult a, b;
  Read(Build(white), a);
  Read(Build(black), b);
  ASSERT_EQ(a.bm.PixelFormat(), vl1g);
  for (int y = 0; y < 3; ++y) {
    EXPECT_EQ(a.bm.RowPointer(y)[0], rows[std::size_t(2 * y)]);
    EXPECT_EQ(a.bm.RowPointer(y)[1] & 0x80, rows[std::size_t(2 * y + 1)] & 0x80);
    EXPECT_EQ(a.bm.RowPointer(y)[0], b.bm.RowPointer(y)[0]);
  }
  // Fill order 2.
  Bytes reversed;
  for (std::uint8_t x : rows) {
    std::uint8_t r = 0;
    for (int k = 0; k < 8; ++k)
      r |= std::uint8_t(((x >> k) & 1) << (7 - k));
    reversed.push_back(r);
  }
  TPage fo = black;
  fo.blocks = {reversed};
  fo.tags.push_back(TSpec(266, 3, {2}));
  TResult c;
  Read(Build(fo), c);
  for (int y = 0; y < 3; ++y)
    EXPECT_EQ(c.bm.RowPointer(y)[0], rows[std::size_t(2 * y)]);
  // Truncated: 1.5 rows of data; row 0 decoded, rows 1 and 2 white.
  TPage cut = black;
  cut.blocks = {Bytes(rows.begin(), rows.begin() + 3)};
  TResult d;
  Read(Build(cut), d);
  EXPECT_TRUE(d.status.ok());
  EXPECT_EQ(d.bm.RowPointer(0)[0], rows[0]);
  EXPECT_EQ(d.bm.RowPointer(1)[0], 0xFF);
  EXPECT_EQ(d.bm.RowPointer(2)[0], 0xFF);
}

// Fax pages with BlackIsZero are inverted for all three CCITT compressions alike.
TEST(TIFFReader, FaxBlackIsZero) {
  const int w = 20, h = 4;
  Bytes picture;  // rows with 1 = black (the writers' convention)
  for (int y = 0; y < h; ++y) {
    picture.push_back(std::uint8_t(0xF0 >> y));
    picture.push_back(0x0F);
    picture.push_back(0xC0);
  }
  for (int c : {2, 3, 4}) {
    TVlMemoryStream s;
    std::atomic<bool> abort{false};
    std::vector<std::uint8_t> ref;
    int bits = 0;
    std::uint8_t byte = 0;
    for (int y = 0; y < h; ++y) {
      const std::uint8_t* row = picture.data() + 3 * y;
      TVlStatus st = c == 2   ? WriteMHRow(row, w, s, 1, abort)
                     : c == 3 ? WriteT4Row(row, w, s, 1, abort, false, ref, bits, byte)
                              : WriteT6Row(row, w, s, 1, abort, ref, bits, byte);
      ASSERT_TRUE(st.ok());
    }
    if (c == 3) {
      ASSERT_TRUE(WriteT4Row(nullptr, w, s, 1, abort, false, ref, bits, byte).ok());
    }
    if (c == 4) {
      ASSERT_TRUE(WriteT6Row(nullptr, w, s, 1, abort, ref, bits, byte).ok());
    }
    for (int ph : {0, 1}) {
      TPage p;
      p.tags = Basic(w, h, 1, 1, std::uint32_t(ph), std::uint32_t(c));
      p.blocks = {s.Bytes()};
      TResult r;
      Read(Build(p), r);
      ASSERT_TRUE(r.status.ok());
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
          bool coded = (picture[std::size_t(3 * y + x / 8)] >> (7 - x % 8)) & 1;  // coded black
          bool shownBlack = Gray(r.bm, x, y) == 0;
          EXPECT_EQ(shownBlack, ph == 0 ? coded : !coded) << "compression " << c << " photometric " << ph;
        }
    }
  }
}

// Strip arrays: rows per strip of all ones or 0 mean one strip; a byte count of 0 reads to the
// end of the file; an offset past the end skips the strip; a single strip for a page claiming
// several holds the whole page; rows beyond the page are ignored.
TEST(TIFFReader, StripArrays) {
  const Bytes two = {10, 20, 30, 40, 50, 60};  // 3 x 2 gray
  auto gray = [](const TResult& r0, int x, int y) { return Gray(const_cast<TVlBitmap&>(r0.bm), x, y); };
  for (std::uint32_t rps : {0xFFFFFFFFu, 0u, 2u, 100u}) {
    TPage p;
    p.tags = Basic(3, 2, 8, 1, 1);
    Set(p.tags, TSpec(278, 4, {rps}));
    p.blocks = {two};
    TResult r;
    Read(Build(p), r);
    ASSERT_TRUE(r.status.ok());
    EXPECT_EQ(gray(r, 2, 1), 60) << rps;
  }
  {
    TPage p;  // byte count 0
    p.tags = Basic(3, 2, 8, 1, 1);
    p.blocks = {two};
    Bytes f = Build(p);
    // Zero the byte count in place: the single LONG of tag 279 is inline.
    for (std::size_t i = 8; i + 12 <= f.size(); ++i)
      if (f[i] == 0x17 && f[i + 1] == 0x01 && f[i + 2] == 4 && f[i + 8] == 6) {
        f[i + 8] = 0;
        break;
      }
    TResult r;
    Read(f, r);
    ASSERT_TRUE(r.status.ok());
    EXPECT_EQ(gray(r, 2, 1), 60);
  }
  {
    TPage p;  // two strips, the second past the end of the file: skipped, white
    p.tags = Basic(3, 2, 8, 1, 1);
    Set(p.tags, TSpec(278, 4, {1}));
    p.tags.push_back(TSpec(273, 4, {8, 0x7FFFFFF0}));
    p.tags.push_back(TSpec(279, 4, {3, 3}));
    TTiffBytes b(true);
    b.Raw(Bytes{10, 20, 30});
    std::sort(p.tags.begin(), p.tags.end(), [](const TSpec& a, const TSpec& c) { return a.tag < c.tag; });
    b.Link(4, b.Directory(p.tags));
    TResult r;
    Read(b.bytes, r);
    ASSERT_TRUE(r.status.ok());
    EXPECT_EQ(gray(r, 0, 0), 10);
    EXPECT_EQ(gray(r, 0, 1), 255);
  }
  {
    TPage p;  // more strips than rows: the extra ones are ignored
    p.tags = Basic(3, 2, 8, 1, 1);
    Set(p.tags, TSpec(278, 4, {1}));
    p.blocks = {Bytes{1, 2, 3}, Bytes{4, 5, 6}, Bytes{7, 8, 9}, Bytes{10, 11, 12}};
    TResult r;
    Read(Build(p), r);
    ASSERT_TRUE(r.status.ok());
    EXPECT_EQ(gray(r, 2, 1), 6);
  }
  {
    TPage p;  // one strip, rows per strip 1: the strip holds the page
    p.tags = Basic(3, 2, 8, 1, 1);
    Set(p.tags, TSpec(278, 4, {1}));
    p.blocks = {two};
    TResult r;
    Read(Build(p), r);
    EXPECT_EQ(gray(r, 2, 1), 60);
  }
}

// Palette pages: 16-bit and 8-bit colour maps give the same colours; bits and colour map must
// agree; native reading keeps the indices.
TEST(TIFFReader, Palette) {
  std::vector<std::uint64_t> cm16, cm8;
  for (int i = 0; i < 16; ++i)
    cm16.push_back(std::uint64_t(i * 17) * 257), cm8.push_back(std::uint64_t(i * 17));
  for (int i = 0; i < 16; ++i)
    cm16.push_back(std::uint64_t(255 - i * 17) * 257), cm8.push_back(std::uint64_t(255 - i * 17));
  for (int i = 0; i < 16; ++i)
    cm16.push_back(std::uint64_t(i * 5) * 257), cm8.push_back(std::uint64_t(i * 5));
  const Bytes data = Pack({0, 1, 7, 15}, 4, 4);
  TResult a, b;
  TPage p;
  p.tags = Basic(4, 1, 4, 1, 3);
  p.tags.push_back(TSpec(320, 3, cm16));
  p.blocks = {data};
  Read(Build(p), a);
  Set(p.tags, TSpec(320, 3, cm8));
  Read(Build(p), b);
  ASSERT_TRUE(a.status.ok() && b.status.ok());
  for (int x = 0; x < 4; ++x)
    EXPECT_EQ(a.bm.PixelAsRGB(x, 0), b.bm.PixelAsRGB(x, 0));
  EXPECT_EQ(a.bm.PixelAsRGB(2, 0), (TVlRGB{35, 136, 119}));
  EXPECT_EQ(a.params.colorMapCount, 16);

  // A colour map of the wrong size.
  Set(p.tags, TSpec(320, 3, std::vector<std::uint64_t>(cm8.begin(), cm8.begin() + 45)));
  TResult c;
  Read(Build(p), c);
  EXPECT_TRUE(c.aborted);
  EXPECT_NE(std::string(c.status.reason).find("ColorMap"), std::string::npos);
  // More than 8 bits.
  TPage big;
  big.tags = Basic(1, 1, 16, 1, 3);
  big.blocks = {Bytes{0, 0}};
  TResult d;
  Read(Build(big), d);
  EXPECT_TRUE(d.aborted);
  EXPECT_EQ(d.status.code, TVlStatusCode::unsupported);

  // 8-bit palette, native: vl8p with the palette.
  std::vector<std::uint64_t> cm(768, 0);
  cm[5] = 255;  // red of index 5
  TPage e;
  e.tags = Basic(2, 1, 8, 1, 3);
  e.tags.push_back(TSpec(320, 3, cm));
  e.blocks = {Bytes{5, 0}};
  TResult f;
  Read(Build(e), f, true);
  ASSERT_EQ(f.bm.PixelFormat(), vl8p);
  EXPECT_EQ(f.bm.RowPointer(0)[0], 5);
  EXPECT_EQ(f.bm.PixelAsRGB(0, 0), (TVlRGB{0, 0, 255}));
}

// Colour pages: RGB with alpha, CMYK, YCbCr 2x1 of odd width, 16-bit RGB and gray natively,
// and the "Look@Molli" 16-bit quirk.
TEST(TIFFReader, ColourLayouts) {
  {
    TPage p;
    p.tags = Basic(2, 1, 8, 4, 2);
    p.tags.push_back(TSpec(338, 3, {2}));
    p.blocks = {Bytes{10, 20, 30, 40, 50, 60, 70, 255}};
    TResult r;
    Read(Build(p), r);
    ASSERT_TRUE(r.status.ok());
    ASSERT_EQ(r.bm.PixelFormat(), vl24RGB);
    EXPECT_EQ(r.bm.PixelAsRGB(0, 0), (TVlRGB{30, 20, 10}));
    ASSERT_TRUE(r.mask);
    EXPECT_EQ(r.mask->RowPointer(0)[0], 40);
    EXPECT_EQ(r.mask->RowPointer(0)[1], 255);
    EXPECT_FALSE(r.mask->full);
  }
  {
    TPage p;  // CMYK: 255 - ink in vlCMYK, the product rule in vl24RGB
    p.tags = Basic(1, 1, 8, 4, 5);
    p.blocks = {Bytes{0, 255, 51, 102}};
    TResult r, n;
    Read(Build(p), r);
    Read(Build(p), n, true);
    EXPECT_EQ(r.bm.PixelAsRGB(0, 0), (TVlRGB{std::uint8_t(204 * 153 / 255), 0, 153}));
    ASSERT_EQ(n.bm.PixelFormat(), vlCMYK);
    EXPECT_EQ(n.bm.RowPointer(0)[0], 255);
    EXPECT_EQ(n.bm.RowPointer(0)[3], 153);
  }
  {
    TPage p;  // YCbCr 2x1, width 5: ceil(5 / 2) x 4 bytes per row
    p.tags = Basic(5, 2, 8, 3, 6);
    p.tags.push_back(TSpec(530, 3, {2, 1}));
    Bytes row = {100, 110, 128, 128, 120, 130, 128, 128, 140, 0, 128, 128};
    Bytes data = row;
    data.insert(data.end(), row.begin(), row.end());
    p.blocks = {data};
    TResult r;
    Read(Build(p), r);
    ASSERT_TRUE(r.status.ok());
    EXPECT_EQ(Gray(r.bm, 0, 1), 100);
    EXPECT_EQ(Gray(r.bm, 3, 1), 130);
    EXPECT_EQ(Gray(r.bm, 4, 1), 140);
  }
  {
    TPage p;  // 16-bit RGB big-endian: vlRGB48 natively, high bytes otherwise
    p.le = false;
    p.tags = Basic(1, 1, 16, 3, 2);
    p.blocks = {Bytes{0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC}};
    TResult r, n;
    Read(Build(p), r);
    Read(Build(p), n, true);
    EXPECT_EQ(r.bm.PixelAsRGB(0, 0), (TVlRGB{0x9A, 0x56, 0x12}));
    ASSERT_EQ(n.bm.PixelFormat(), vlRGB48);
    const std::uint8_t* q = n.bm.RowPointer(0);
    EXPECT_EQ(q[0] | q[1] << 8, 0x1234);
    EXPECT_EQ(q[4] | q[5] << 8, 0x9ABC);
  }
  {
    TPage p;  // 16-bit gray; shifted by 4 for the one writer that stores 12 bits in 16
    p.tags = Basic(1, 1, 16, 1, 1);
    p.blocks = {Bytes{0x30, 0x0A}};  // 0x0A30
    TResult plain, molli, native;
    Read(Build(p), plain);
    Read(Build(p), native, true);
    p.tags.push_back(TSpec(305, 2, {}, std::string("Look@Molli v1.1 demo", 21)));
    Read(Build(p), molli);
    EXPECT_EQ(Gray(plain.bm, 0, 0), 0x0A);
    EXPECT_EQ(Gray(molli.bm, 0, 0), 0xA3);
    ASSERT_EQ(native.bm.PixelFormat(), vl16g);
    EXPECT_EQ(native.bm.RowPointer(0)[1], 0x0A);
  }
}

// Planar pages decode like contiguous ones, for 8 and 16 bits and with an extra plane; a missing
// alpha plane reads as opaque; an offset array too short for the planes is no fault.
TEST(TIFFReader, Planar) {
  for (int bits : {8, 16}) {
    const int bps = bits / 8;
    Bytes contig, planes[3];
    for (int i = 0; i < 6; ++i)
      for (int s = 0; s < 3; ++s)
        for (int k = 0; k < bps; ++k) {
          std::uint8_t v = std::uint8_t(i * 40 + s * 7 + k);
          contig.push_back(v);
          planes[s].push_back(v);
        }
    TPage c, pl;
    c.tags = Basic(3, 2, std::uint32_t(bits), 3, 2);
    c.blocks = {contig};
    pl.tags = c.tags;
    pl.tags.push_back(TSpec(284, 3, {2}));
    pl.blocks = {planes[0], planes[1], planes[2]};
    TResult a, b;
    Read(Build(c), a);
    Read(Build(pl), b);
    ASSERT_TRUE(a.status.ok() && b.status.ok());
    for (int y = 0; y < 2; ++y)
      for (int x = 0; x < 3; ++x)
        EXPECT_EQ(a.bm.PixelAsRGB(x, y), b.bm.PixelAsRGB(x, y)) << bits;
  }
  {
    TPage p;  // gray + alpha, planar, the alpha plane at offset 0: opaque
    p.tags = Basic(2, 1, 8, 2, 1);
    p.tags.push_back(TSpec(284, 3, {2}));
    p.tags.push_back(TSpec(338, 3, {2}));
    p.tags.push_back(TSpec(273, 4, {8, 0}));
    p.tags.push_back(TSpec(279, 4, {2, 0}));
    TTiffBytes b(true);
    b.Raw(Bytes{90, 180});
    std::sort(p.tags.begin(), p.tags.end(), [](const TSpec& x, const TSpec& y) { return x.tag < y.tag; });
    b.Link(4, b.Directory(p.tags));
    TResult r;
    Read(b.bytes, r);
    ASSERT_TRUE(r.status.ok()) << DescribeStatus(r.status);
    EXPECT_EQ(Gray(r.bm, 1, 0), 180);
    ASSERT_TRUE(r.mask);
    EXPECT_EQ(r.mask->RowPointer(0)[1], 255);
  }
  {
    TPage p;  // 3 planes but one strip offset: nothing decoded, no fault
    p.tags = Basic(2, 1, 8, 3, 2);
    p.tags.push_back(TSpec(284, 3, {2}));
    p.blocks = {Bytes{1, 2}};
    TResult r;
    Read(Build(p), r);
    EXPECT_TRUE(r.status.ok());
    EXPECT_EQ(r.bm.PixelAsRGB(0, 0), (TVlRGB{255, 255, 255}));
  }
}

// Tiles: a page whose width and length are not multiples of the tile size, a tile larger than
// the page, and tile sizes that make a page tiled only when both are at least 1.
TEST(TIFFReader, Tiles) {
  const int W = 37, H = 21, T = 16;
  auto value = [](int x, int y) { return std::uint8_t(x * 5 + y * 11); };
  TPage tiled;
  tiled.tags = Basic(W, H, 8, 1, 1);
  tiled.tags.pop_back();  // no RowsPerStrip
  tiled.tags.push_back(TSpec(322, 3, {T}));
  tiled.tags.push_back(TSpec(323, 3, {T}));
  tiled.tiled = true;
  for (int ty = 0; ty < (H + T - 1) / T; ++ty)
    for (int tx = 0; tx < (W + T - 1) / T; ++tx) {
      Bytes tile;
      for (int y = 0; y < T; ++y)
        for (int x = 0; x < T; ++x)
          tile.push_back(tx * T + x < W && ty * T + y < H ? value(tx * T + x, ty * T + y) : 0xEE);
      tiled.blocks.push_back(tile);
    }
  TResult r;
  Read(Build(tiled), r, true);
  ASSERT_TRUE(r.status.ok()) << DescribeStatus(r.status);
  ASSERT_EQ(r.bm.Width(), W);
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x)
      ASSERT_EQ(r.bm.RowPointer(y)[x], value(x, y)) << x << "," << y;

  TPage big;  // one 64 x 64 tile on a 5 x 3 page
  big.tags = Basic(5, 3, 8, 1, 1);
  big.tags.pop_back();
  big.tags.push_back(TSpec(322, 3, {64}));
  big.tags.push_back(TSpec(323, 3, {64}));
  big.tiled = true;
  Bytes t(64 * 64, 0x33);
  t[64 * 2 + 4] = 0x44;
  big.blocks = {t};
  TResult b;
  Read(Build(big), b, true);
  ASSERT_TRUE(b.status.ok());
  EXPECT_EQ(b.bm.RowPointer(2)[4], 0x44);

  TPage half = big;  // a tile width without a tile length: a stripped page
  half.tags.pop_back();
  half.tiled = false;
  half.blocks = {Bytes(15, 7)};
  TResult h;
  Read(Build(half), h, true);
  ASSERT_TRUE(h.status.ok());
  EXPECT_EQ(h.bm.RowPointer(2)[4], 7);

  TPage huge = big;  // a tile beyond every ceiling is refused before anything is allocated
  Set(huge.tags, TSpec(322, 4, {0x40000000}));
  Set(huge.tags, TSpec(323, 4, {0x40000000}));
  TResult u;
  Read(Build(huge), u);
  EXPECT_TRUE(u.aborted);
  EXPECT_EQ(u.status.code, TVlStatusCode::limitExceeded);
}

// The horizontal predictor after LZW and Deflate, for 8-bit RGB, 8-bit gray and 16-bit gray
// in both byte orders: the same pixels as the page stored without it.
TEST(TIFFReader, Predictor) {
  struct Row {
    int bits, spp, ph, compression;
    bool le;
  } rows[] = {{8, 3, 2, 5, true}, {8, 1, 1, 5, true}, {16, 1, 1, 5, true}, {16, 1, 1, 32946, false},
              {8, 3, 2, 8, true}, {16, 3, 2, 5, false}};
  for (const Row& c : rows) {
    SCOPED_TRACE(std::to_string(c.bits) + " bits, " + std::to_string(c.spp) + " samples, compression " +
                 std::to_string(c.compression));
    const int w = 7, h = 3, bps = c.bits / 8;
    const int rowLength = w * c.spp * bps;
    Bytes raw;
    for (int i = 0; i < rowLength * h; ++i)
      raw.push_back(std::uint8_t((i * 37) ^ (i >> 3)));
    // The file's byte order for 16-bit samples.
    Bytes host = raw;  // samples in host (little-endian) order for the predictor
    if (c.bits == 16 && !c.le)
      for (std::size_t i = 0; i + 1 < host.size(); i += 2)
        std::swap(host[i], host[i + 1]);
    Bytes diff = host;
    for (int y = 0; y < h; ++y)
      ASSERT_TRUE(ApplyHorizontalPredictor(diff.data() + y * rowLength, w, c.spp, c.bits).ok());
    if (c.bits == 16 && !c.le)
      for (std::size_t i = 0; i + 1 < diff.size(); i += 2)
        std::swap(diff[i], diff[i + 1]);
    TPage plain, pred;
    plain.le = pred.le = c.le;
    plain.tags = Basic(w, h, std::uint32_t(c.bits), std::uint32_t(c.spp), std::uint32_t(c.ph));
    plain.blocks = {raw};
    pred.tags = Basic(w, h, std::uint32_t(c.bits), std::uint32_t(c.spp), std::uint32_t(c.ph),
                      std::uint32_t(c.compression));
    pred.tags.push_back(TSpec(317, 3, {2}));
    pred.blocks = {c.compression == 5 ? LzwEncode(diff, rowLength) : Zlib(diff)};
    TResult a, b;
    Read(Build(plain), a, true);
    Read(Build(pred), b, true);
    ASSERT_TRUE(a.status.ok() && b.status.ok()) << DescribeStatus(b.status);
    ASSERT_EQ(a.bm.PixelFormat(), b.bm.PixelFormat());
    for (int y = 0; y < h; ++y)
      EXPECT_EQ(std::memcmp(a.bm.RowPointer(y), b.bm.RowPointer(y), std::size_t(w * a.bm.BitsPerPixel() / 8)), 0)
          << y;
  }
}

// The record: resolution in centimetres, positions, page numbers, texts, compression and
// photometric codes; counting and a page beyond the chain.
TEST(TIFFReader, ParameterRecord) {
  TPage p;
  p.tags = Basic(2, 1, 8, 1, 1, 32773);
  p.tags.push_back(TSpec(282, 5, {11811, 100}));
  p.tags.push_back(TSpec(283, 5, {0, 1}));
  p.tags.push_back(TSpec(296, 3, {3}));
  p.tags.push_back(TSpec(286, 5, {254, 10}));  // 25.4 cm = 10 inches
  p.tags.push_back(TSpec(297, 3, {2, 5}));
  p.tags.push_back(TSpec(269, 2, {}, std::string("Doc\0", 4)));
  p.tags.push_back(TSpec(285, 2, {}, std::string("The page name\0", 14)));
  p.tags.push_back(TSpec(274, 3, {6}));
  p.blocks = {Bytes{1, 7, 9}};  // PackBits literal of two bytes
  TResult r;
  Read(Build(p), r);
  ASSERT_TRUE(r.status.ok());
  EXPECT_EQ(r.params.dpiX, 300);
  EXPECT_NEAR(r.params.exifXResolution, 299.9994, 1e-4);
  EXPECT_EQ(r.params.dpiY, 300);  // a resolution of 0 gives the default
  EXPECT_EQ(r.params.tiffXPosition, 10);
  EXPECT_EQ(r.params.tiffPageNumber, 2);
  EXPECT_EQ(r.params.tiffPageCount, 5);
  EXPECT_EQ(r.params.tiffDocumentName, "Doc");
  EXPECT_EQ(r.params.tiffPageName, "The page name");
  EXPECT_EQ(r.params.tiffCompression, 8);
  EXPECT_EQ(r.params.tiffPhotometric, 1);
  EXPECT_EQ(r.params.tiffOrientation, 6);
  EXPECT_EQ(r.params.imageCount, 1);
  EXPECT_EQ(r.params.width, 2);
  EXPECT_EQ(Gray(r.bm, 1, 0), 9);

  const struct {
    int compression;
    std::uint32_t t4;
    int param;
  } codes[] = {{1, 0, 0},  {2, 0, 1},  {3, 0, 2},     {3, 1, 3}, {4, 0, 4},     {5, 0, 5},
               {6, 0, 6},  {7, 0, 7},  {8, 0, 10},    {32773, 0, 8}, {32946, 0, 9}, {34712, 0, 11}};
  for (const auto& c : codes)
    EXPECT_EQ(TIFFCompressionToParam(c.compression, c.t4), c.param) << c.compression;
  EXPECT_EQ(TIFFPhotometricToParam(8), 7);
  EXPECT_EQ(TIFFPhotometricToParam(32844), -1);

  // Page 5 of a file of one page: nothing read, no abort, the count reported.
  TResult beyond;
  Read(Build(p), beyond, false, 5);
  EXPECT_TRUE(beyond.status.ok());
  EXPECT_FALSE(beyond.aborted);
  EXPECT_EQ(beyond.pages, 1);
  EXPECT_TRUE(beyond.bm.IsEmpty());

  // Counting only (no record), and parameters only.
  Bytes f = Build(p);
  TVlMemoryStream s(f.data(), std::int64_t(f.size()));
  std::atomic<bool> abort{false};
  ProgressRecord pr;
  pr.abortFlag = &abort;
  std::int32_t n = 0;
  EXPECT_TRUE(ReadTIFF(nullptr, s, n, nullptr, pr, false, nullptr, true, true, false).ok());
  EXPECT_EQ(n, 1);
  TIOParamsVals params;
  TVlBitmap bm;
  s.Seek(0);
  EXPECT_TRUE(ReadTIFF(&bm, s, n, &params, pr, true, nullptr, true, true, false).ok());
  EXPECT_EQ(params.width, 2);
  EXPECT_TRUE(bm.IsEmpty());
}

// Orientation correction, with the transposing orientations 5 and 7 and the alpha mask
// turned along; the record then says the pixels are upright.
TEST(TIFFReader, Orientation) {
  // A 3 x 2 page: pixel values 1..6 row by row, alpha 10 x value.
  const Bytes data = {1, 10, 2, 20, 3, 30, 4, 40, 5, 50, 6, 60};
  // Expected upright pages (rows of values) per orientation.
  const std::vector<std::vector<int>> expected = {
      {},
      {1, 2, 3, 4, 5, 6},  // 1: 3 x 2
      {3, 2, 1, 6, 5, 4},  // 2: mirrored
      {6, 5, 4, 3, 2, 1},  // 3: turned 180
      {4, 5, 6, 1, 2, 3},  // 4: flipped
      {1, 4, 2, 5, 3, 6},  // 5: transposed, 2 x 3
      {4, 1, 5, 2, 6, 3},  // 6: turned 90 clockwise
      {6, 3, 5, 2, 4, 1},  // 7: transverse
      {3, 6, 2, 5, 1, 4},  // 8: turned 90 counter-clockwise
  };
  for (int o = 1; o <= 8; ++o) {
    TPage p;
    p.tags = Basic(3, 2, 8, 2, 1);
    p.tags.push_back(TSpec(274, 3, {std::uint64_t(o)}));
    p.tags.push_back(TSpec(338, 3, {2}));
    p.blocks = {data};
    TResult r;
    Read(Build(p), r, false, 0, [](TIOParamsVals& q) { q.tiffAdjustOrientation = true; });
    ASSERT_TRUE(r.status.ok());
    const bool turned = o >= 5;
    ASSERT_EQ(r.bm.Width(), turned ? 2 : 3) << o;
    ASSERT_EQ(r.mask->Width(), r.bm.Width());
    for (int y = 0; y < r.bm.Height(); ++y)
      for (int x = 0; x < r.bm.Width(); ++x) {
        const int v = expected[std::size_t(o)][std::size_t(y * r.bm.Width() + x)];
        EXPECT_EQ(Gray(r.bm, x, y), v) << "orientation " << o << " at " << x << "," << y;
        EXPECT_EQ(r.mask->RowPointer(y)[x], 10 * v);
      }
    EXPECT_EQ(r.params.tiffOrientation, 1);
  }
}

// Hostile directories: every one fails with the abort flag and a reason, or decodes what is
// sound; none crashes or allocates beyond the ceilings.
TEST(TIFFReader, HostileDirectories) {
  TVlSizeLimits lim;
  lim.maxPixels = 1 << 24;
  TVlScopedSizeLimits scoped(lim);
  struct Row {
    const char* name;
    std::function<void(TPage&)> edit;
    TVlStatusCode code;
    const char* reasonPart;
  } rows[] = {
      {"width of 2^31", [](TPage& p) { Set(p.tags, TSpec(256, 4, {0x80000000u})); }, TVlStatusCode::badData,
       "out of range"},
      {"width 0", [](TPage& p) { Set(p.tags, TSpec(256, 4, {0})); }, TVlStatusCode::badData, "is 0"},
      {"above the ceiling", [](TPage& p) { Set(p.tags, TSpec(256, 4, {100000})); Set(p.tags, TSpec(257, 4, {100000})); },
       TVlStatusCode::limitExceeded, "ceiling"},
      {"float samples", [](TPage& p) { p.tags.push_back(TSpec(339, 3, {3})); }, TVlStatusCode::unsupported,
       "floating-point"},
      {"12-bit samples", [](TPage& p) { Set(p.tags, TSpec(258, 3, {12})); }, TVlStatusCode::unsupported, "bits"},
      {"SGILog", [](TPage& p) { Set(p.tags, TSpec(259, 3, {34676})); }, TVlStatusCode::unsupported, "SGILog"},
      {"ThunderScan", [](TPage& p) { Set(p.tags, TSpec(259, 3, {32809})); }, TVlStatusCode::unsupported,
       "ThunderScan"},
      {"different bit depths", [](TPage& p) { Set(p.tags, TSpec(258, 3, {8, 8, 4})); Set(p.tags, TSpec(277, 3, {3})); },
       TVlStatusCode::unsupported, "bit depths"},
      {"RGB with 1 sample of 8 bits", [](TPage& p) { Set(p.tags, TSpec(262, 3, {2})); }, TVlStatusCode::badData,
       "RGB"},
      {"bad YCbCr subsampling",
       [](TPage& p) {
         Set(p.tags, TSpec(262, 3, {6}));
         Set(p.tags, TSpec(277, 3, {3}));
         Set(p.tags, TSpec(258, 3, {8, 8, 8}));
         p.tags.push_back(TSpec(530, 3, {3, 5}));
       },
       TVlStatusCode::badData, "subsampling"},
      {"bad planar configuration", [](TPage& p) { p.tags.push_back(TSpec(284, 3, {7})); }, TVlStatusCode::badData,
       "planar"},
      {"fax code on 8-bit samples", [](TPage& p) { Set(p.tags, TSpec(259, 3, {4})); }, TVlStatusCode::badData,
       "CCITT"},
  };
  for (const Row& c : rows) {
    TPage p;
    p.tags = Basic(4, 4, 8, 1, 1);
    p.blocks = {Bytes(16, 9)};
    c.edit(p);
    TResult r;
    Read(Build(p), r);
    EXPECT_TRUE(r.aborted) << c.name;
    EXPECT_EQ(r.status.code, c.code) << c.name << ": " << DescribeStatus(r.status);
    EXPECT_NE(std::string(r.status.reason).find(c.reasonPart), std::string::npos)
        << c.name << ": " << DescribeStatus(r.status);
  }
  // Not TIFF, BigTIFF, an LZW page without a decoder.
  TResult junk;
  Read(Bytes{'G', 'I', 'F', '8', '9', 'a', 0, 0, 0, 0}, junk);
  EXPECT_TRUE(junk.aborted);
  TTiffBytes big(true, 43);
  TResult bt;
  Read(big.bytes, bt);
  EXPECT_TRUE(bt.aborted);
  EXPECT_EQ(bt.status.code, TVlStatusCode::unsupported);
  TPage lzw;
  lzw.tags = Basic(1, 1, 8, 1, 1, 5);
  lzw.blocks = {Bytes{0x80, 0, 0}};
  LzwDecodeHook saved = DefaultTiffLzwDecoder();
  DefaultTiffLzwDecoder() = nullptr;
  TResult none;
  {
    TVlMemoryStream s(Build(lzw));
    std::atomic<bool> abort{false};
    ProgressRecord pr;
    pr.abortFlag = &abort;
    TIOParamsVals q;
    q.tiffLzwDecoder = nullptr;
    TVlBitmap bm;
    std::unique_ptr<TVlMask> m;
    none.status = ReadTIFF(&bm, s, none.pages, &q, pr, false, &m, false, false, false);
  }
  DefaultTiffLzwDecoder() = saved;
  EXPECT_NE(std::string(none.status.reason).find("LZW"), std::string::npos);
  // A corrupt LZW strip fails and keeps the rows before the fault.
  Bytes good = LzwEncode(Bytes(4, 50), 2);
  good.resize(good.size() - 1);
  good.insert(good.end(), {0xFF, 0xFF, 0xFF, 0xFF});
  TPage bad;
  bad.tags = Basic(2, 8, 8, 1, 1, 5);
  bad.blocks = {good};
  TResult br;
  Read(Build(bad), br);
  EXPECT_TRUE(br.status.ok() || br.aborted);
  // Previews over 400 pixels.
  TPage wide;
  wide.tags = Basic(500, 1, 8, 1, 1);
  wide.blocks = {Bytes(500, 1)};
  Bytes wf = Build(wide);
  TVlMemoryStream ws(wf.data(), std::int64_t(wf.size()));
  std::atomic<bool> abort{false};
  ProgressRecord pr;
  pr.abortFlag = &abort;
  TIOParamsVals q;
  TVlBitmap bm;
  std::int32_t n;
  EXPECT_FALSE(ReadTIFF(&bm, ws, n, &q, pr, false, nullptr, false, false, true).ok());
  EXPECT_TRUE(abort.load());
}

// A SubIFD of the page instead of the page, and the maker note of the EXIF directory.
TEST(TIFFReader, SubIFDAndMakerNote) {
  TTiffBytes b(true);
  b.Raw(Bytes{11, 22});
  const std::uint32_t main = 8, sub = 10;
  std::vector<TSpec> subTags = Basic(1, 1, 8, 1, 1);
  subTags.push_back(TSpec(273, 4, {sub - 1}));
  subTags.push_back(TSpec(279, 4, {1}));
  std::sort(subTags.begin(), subTags.end(), [](const TSpec& x, const TSpec& y) { return x.tag < y.tag; });
  std::uint32_t subAt = b.Directory(subTags);
  // A maker note: a little directory of two entries.
  TTiffBytes mn(true);
  mn.bytes.clear();
  mn.U16(2);
  mn.U16(1), mn.U16(3), mn.U32(1), mn.U32(7);
  mn.U16(2), mn.U16(3), mn.U32(1), mn.U32(9);
  mn.U32(0);
  std::vector<TSpec> exifTags = {TSpec(37500, 7, {}, std::string(mn.bytes.begin(), mn.bytes.end()))};
  std::uint32_t exifAt = b.Directory(exifTags);
  std::vector<TSpec> mainTags = Basic(1, 1, 8, 1, 1);
  mainTags.push_back(TSpec(273, 4, {main}));
  mainTags.push_back(TSpec(279, 4, {1}));
  mainTags.push_back(TSpec(330, 4, {subAt}));
  mainTags.push_back(TSpec(34665, 4, {exifAt}));
  std::sort(mainTags.begin(), mainTags.end(), [](const TSpec& x, const TSpec& y) { return x.tag < y.tag; });
  b.Link(4, b.Directory(mainTags));
  TResult page, subPage;
  Read(b.bytes, page);
  Read(b.bytes, subPage, false, 0, [](TIOParamsVals& q) { q.tiffSubIndex = 0; });
  EXPECT_EQ(Gray(page.bm, 0, 0), 11);
  EXPECT_EQ(Gray(subPage.bm, 0, 0), 22);
  EXPECT_TRUE(page.params.hasExif);
  ASSERT_GE(page.params.exifMakerNote.size(), 2u + 24u);
  EXPECT_EQ(page.params.exifMakerNote[0], 2);
}

// Files that once made the reader fault (found by fuzzing); each names its fault and has a
// sidecar saying how it was made. Every one must read without fault: decoded, or refused with
// the abort flag and a reason.
TEST(TIFFReader, FuzzFixtures) {
  const fs::path dir = FixturePath("tiff");
  if (!fs::is_directory(dir))
    GTEST_SKIP() << "fixtures not found";
  int files = 0;
  for (const auto& e : fs::directory_iterator(dir)) {
    if (e.path().extension() != ".tif")
      continue;
    ++files;
    EXPECT_TRUE(fs::exists(fs::path(e.path()).replace_extension(".txt"))) << e.path() << " has no sidecar";
    std::ifstream f(e.path(), std::ios::binary);
    Bytes file((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    TVlSizeLimits lim;
    lim.maxPixels = 1 << 24;
    TVlScopedSizeLimits scoped(lim);
    for (int k = 0; k < 3; ++k) {
      TResult r;
      Read(file, r, k == 1, k, [k](TIOParamsVals& q) { q.tiffAdjustOrientation = k == 2; });
      if (!r.status.ok()) {
        EXPECT_TRUE(r.aborted) << e.path();
        EXPECT_NE(std::string(r.status.reason), "") << e.path();
      }
    }
  }
  EXPECT_GT(files, 0);
}
