// JPEG reader and writer: pixels against libjpeg-turbo's djpeg (CRC-32 tables made with
// tests/fixtures/jpeg/djpeg_crc.py), metadata, hostile streams, writer options and round trips.
#include "imaging/formats/jpeg.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "imaging/limits.h"
#include "imaging/stream.h"
#include "test_paths.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes ReadFileBytes(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// CRC-32 over the rows as a PNM holds them: R, G, B for vl24RGB, one byte for vl8g.
std::uint32_t PnmCrc(TVlBitmap& b) {
  uLong crc = crc32(0, nullptr, 0);
  std::vector<std::uint8_t> rgb(std::size_t(b.Width()) * 3);
  for (std::int32_t y = 0; y < b.Height(); ++y) {
    const std::uint8_t* row = b.RowPointer(y);
    if (b.PixelFormat() == vl8g) {
      crc = crc32(crc, row, uInt(b.Width()));
      continue;
    }
    for (std::int32_t x = 0; x < b.Width(); ++x) {
      rgb[3 * std::size_t(x)] = row[3 * x + 2];
      rgb[3 * std::size_t(x) + 1] = row[3 * x + 1];
      rgb[3 * std::size_t(x) + 2] = row[3 * x];
    }
    crc = crc32(crc, rgb.data(), uInt(rgb.size()));
  }
  return std::uint32_t(crc);
}

struct TRead {
  TVlStatus status;
  TVlBitmap bitmap;
  TIOParamsVals params;
};

void ReadBytes(const Bytes& data, TRead& r, const TJpegReadOptions& options = {}, bool withBitmap = true) {
  TVlMemoryStream s(data.data(), std::int64_t(data.size()));
  ProgressRecord progress;
  r.params.ClearReadInfo();
  r.status = ReadJPEG(s, withBitmap ? &r.bitmap : nullptr, &r.params, progress, options);
}

void ReadCorpus(const std::string& rel, TRead& r, const TJpegReadOptions& options = {}) {
  ReadBytes(ReadFileBytes(CorpusPath(rel)), r, options);
}

// Decoding at full size with the integer slow DCT gives djpeg's pixels exactly: baseline,
// progressive (every partial scan count), every chroma subsampling, gray, truncated streams
// (libjpeg's own filling), odd sizes, EXIF/ICC/IPTC/XMP-laden files and damaged headers.
TEST(Jpeg, DecodesLikeDjpeg) {
  VL_REQUIRE_CORPUS("pillow/hopper.jpg");
  struct Case {
    const char* path;
    bool gray;
    std::int32_t w, h;
    std::uint32_t crc;
  };
  const Case cases[] = {
      {"pillow/app13-multiple.jpg", false, 256, 160, 0x4902627d},
      {"pillow/app13.jpg", false, 4, 4, 0xf441fa98},
      {"pillow/broken_exif_dpi.jpg", false, 100, 100, 0x78d0ff9e},
      {"pillow/exif-72dpi-int.jpg", false, 500, 450, 0xaa3cae20},
      {"pillow/exif_gps.jpg", false, 8, 8, 0x8bff08f2},
      {"pillow/flower.jpg", false, 480, 360, 0x7bc11914},
      {"pillow/hopper.jpg", false, 128, 128, 0x9a292e3e},
      {"pillow/hopper_16bit_qtables.jpg", false, 128, 128, 0x2dd7843c},
      {"pillow/hopper_bad_exif.jpg", true, 500, 500, 0x5bd4b379},
      {"pillow/hopper_gray.jpg", true, 128, 128, 0x9a5cda41},
      {"pillow/hopper_orientation_6.jpg", false, 128, 128, 0x723ef254},
      {"pillow/icc-after-SOF.jpg", true, 10, 10, 0x9988c6ca},
      {"pillow/iptc.jpg", false, 640, 480, 0x9e331d73},
      {"pillow/jfif_unit_cm.jpg", true, 1, 1, 0xd202ef8d},
      {"pillow/jpeg_ff00_header.jpg", false, 300, 225, 0x38fa8804},
      {"pillow/junk_jpeg_header.jpg", false, 1024, 768, 0xaefa9366},
      {"pillow/multiple_exif.jpg", true, 1, 1, 0xd202ef8d},
      {"pillow/orientation_rectangle.jpg", false, 2, 1, 0x21008710},
      {"pillow/photoshop-200dpi-broken.jpg", false, 200, 200, 0x12603fb3},
      {"pillow/pil_sample_rgb.jpg", false, 100, 100, 0x2bcac30b},
      {"pillow/rgb.jpg", false, 100, 100, 0x0fdb2125},
      {"pillow/truncated_app14.jpg", false, 100, 100, 0x2bcac30b},
      {"pillow/truncated_exif_dpi.jpg", false, 480, 640, 0x28b67291},
      {"pillow/truncated_jpeg.jpg", false, 100, 100, 0x6137192e},
      {"pillow/xmp_padded.jpg", false, 1, 1, 0xff41d912},
      {"reference-suites/wuffs-data/artificial-jpeg/hippopotamus-bad-comment-length.jpeg", false, 36, 28, 0x9884e0e6},
      {"reference-suites/wuffs-data/artificial-jpeg/hippopotamus-sof-dht-swap.jpeg", false, 36, 28, 0x9884e0e6},
      {"reference-suites/wuffs-data/bricks-gray.jpeg", true, 160, 120, 0xd06cb9e2},
      {"reference-suites/wuffs-data/hibiscus.primitive.jpeg", false, 312, 442, 0xab773065},
      {"reference-suites/wuffs-data/mona-lisa.21x32.q50.jpeg", false, 21, 32, 0xf14aad51},
      {"reference-suites/wuffs-data/peacock.default.truncated.jpeg", false, 100, 75, 0xeb6fb6d3},
      {"reference-suites/wuffs-data/peacock.grayscale.jpeg", true, 100, 75, 0x3de758ba},
      {"reference-suites/wuffs-data/peacock.optimize.jpeg", false, 100, 75, 0xdf446ba8},
      {"reference-suites/wuffs-data/peacock.progressive.jpeg", false, 100, 75, 0xdf446ba8},
      {"reference-suites/wuffs-data/peacock.progressive.scan000.jpeg", false, 100, 75, 0x35b28014},
      {"reference-suites/wuffs-data/peacock.progressive.scan004.jpeg", false, 100, 75, 0x07311b9e},
      {"reference-suites/wuffs-data/peacock.progressive.truncated.jpeg", false, 100, 75, 0x4c8bd7d9},
      {"reference-suites/wuffs-data/peacock.q30.jpeg", false, 100, 75, 0x551ae4d8},
      {"reference-suites/wuffs-data/peacock.s-very-weird.jpeg", false, 100, 75, 0x01b2c11f},
      {"reference-suites/wuffs-data/peacock.s-weird.jpeg", false, 100, 75, 0xe5487249},
      {"reference-suites/wuffs-data/peacock.s1x1-444.jpeg", false, 100, 75, 0xdde31744},
      {"reference-suites/wuffs-data/peacock.s1x3.jpeg", false, 100, 75, 0x0d18a05a},
      {"reference-suites/wuffs-data/peacock.s2x1-422.jpeg", false, 100, 75, 0xe4ff7fbb},
      {"reference-suites/wuffs-data/pjw-thumbnail.jpeg", false, 32, 32, 0xa4366d33},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    if (!std::filesystem::exists(CorpusPath(c.path)))
      continue;
    TRead r;
    r.params.nativePixelFormat = true;  // gray files as vl8g, like djpeg's PGM
    ReadCorpus(c.path, r);
    ASSERT_TRUE(r.status.ok()) << r.status.reason;
    EXPECT_EQ(r.bitmap.PixelFormat(), c.gray ? vl8g : vl24RGB);
    EXPECT_EQ(r.bitmap.Width(), c.w);
    EXPECT_EQ(r.bitmap.Height(), c.h);
    EXPECT_EQ(r.params.width, c.w);
    EXPECT_EQ(PnmCrc(r.bitmap), c.crc);
  }
}

// Reduced scales and the other DCT methods match djpeg -scale 1/n and -dct fast|float.
TEST(Jpeg, ScalesAndDctMethodsLikeDjpeg) {
  VL_REQUIRE_CORPUS("pillow/hopper.jpg");
  struct Case {
    const char* path;
    std::uint8_t scale, dct;
    std::int32_t w, h;
    std::uint32_t crc;
  };
  const Case cases[] = {
      {"pillow/hopper.jpg", 2, 0, 64, 64, 0xb97aa95c},
      {"pillow/hopper.jpg", 3, 0, 32, 32, 0x82a76634},
      {"pillow/hopper.jpg", 4, 0, 16, 16, 0x53ee23ef},
      {"reference-suites/wuffs-data/peacock.progressive.jpeg", 2, 0, 50, 38, 0x91363c84},
      {"reference-suites/wuffs-data/peacock.progressive.jpeg", 3, 0, 25, 19, 0xc782f298},
      {"reference-suites/wuffs-data/peacock.progressive.jpeg", 4, 0, 13, 10, 0xe750e413},
      {"reference-suites/wuffs-data/bricks-gray.jpeg", 2, 0, 80, 60, 0x7daed4c3},
      {"reference-suites/wuffs-data/bricks-gray.jpeg", 4, 0, 20, 15, 0x41664e0d},
      {"pillow/flower.jpg", 3, 0, 120, 90, 0x1a423f1d},
      {"pillow/hopper.jpg", 1, 1, 128, 128, 0xb3b3367c},
      {"pillow/hopper.jpg", 1, 2, 128, 128, 0xdc3ef74f},
      {"reference-suites/wuffs-data/peacock.s1x3.jpeg", 1, 1, 100, 75, 0xb60e1cff},
      {"reference-suites/wuffs-data/peacock.s1x3.jpeg", 1, 2, 100, 75, 0xa3ff937c},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.path) + " scale " + std::to_string(c.scale) + " dct " + std::to_string(c.dct));
    if (!std::filesystem::exists(CorpusPath(c.path)))
      continue;
    TRead r;
    r.params.nativePixelFormat = true;
    r.params.jpegScale = c.scale;
    r.params.jpegDctMethod = c.dct;
    ReadCorpus(c.path, r);
    ASSERT_TRUE(r.status.ok()) << r.status.reason;
    EXPECT_EQ(r.bitmap.Width(), c.w);
    EXPECT_EQ(r.bitmap.Height(), c.h);
    EXPECT_EQ(PnmCrc(r.bitmap), c.crc);
    EXPECT_EQ(r.params.jpegScaleUsed, c.scale == 1 ? 1 : 1 << (c.scale - 1));
  }
}

TEST(Jpeg, AutomaticScaleKeepsTheWantedSize) {
  struct Case {
    std::int32_t w, h, wantW, wantH, denom;
  };
  const Case cases[] = {
      {1000, 800, 200, 100, 4},  // 1/8 gives 125 x 100 < 200 wide; 1/4 gives 250 x 200
      {1000, 800, 125, 100, 8}, {1000, 800, 126, 100, 4}, {1000, 800, 900, 10, 1},
      {1000, 800, 0, 100, 1},   {1001, 801, 126, 101, 8},  // sizes round up
  };
  for (const Case& c : cases)
    EXPECT_EQ(JpegScaleDenominator(0, c.w, c.h, c.wantW, c.wantH), c.denom) << c.wantW << "x" << c.wantH;
  EXPECT_EQ(JpegScaleDenominator(1, 1000, 800, 10, 10), 1);
  EXPECT_EQ(JpegScaleDenominator(4, 1000, 800, 0, 0), 8);
}

// CMYK (Adobe, inverted) becomes vlCMYK bytes of 255 minus the ink, or RGB by
// R = C' x K' / 255 (truncated), within one level of djpeg's rounded conversion.
TEST(Jpeg, CmykFile) {
  VL_REQUIRE_CORPUS("pillow/pil_sample_cmyk.jpg");
  TRead rgb;
  ReadCorpus("pillow/pil_sample_cmyk.jpg", rgb);
  ASSERT_TRUE(rgb.status.ok()) << rgb.status.reason;
  EXPECT_EQ(rgb.bitmap.PixelFormat(), vl24RGB);
  EXPECT_EQ(rgb.params.samplesPerPixel, 4);
  EXPECT_EQ(rgb.params.jpegColorSpace, 4);  // Adobe YCCK
  TRead native;
  native.params.nativePixelFormat = true;
  ReadCorpus("pillow/pil_sample_cmyk.jpg", native);
  ASSERT_TRUE(native.status.ok());
  ASSERT_EQ(native.bitmap.PixelFormat(), vlCMYK);
  // The same pixels both ways, and against the reference rendering of pil_sample_rgb.jpg
  // (the same picture) at most a few levels apart on average.
  TRead ref;
  ReadCorpus("pillow/pil_sample_rgb.jpg", ref);
  double diff = 0;
  for (std::int32_t y = 0; y < 100; ++y) {
    const std::uint8_t* a = rgb.bitmap.RowPointer(y);
    const std::uint8_t* k = native.bitmap.RowPointer(y);
    const std::uint8_t* r = ref.bitmap.RowPointer(y);
    for (std::int32_t x = 0; x < 100; ++x) {
      ASSERT_EQ(a[3 * x + 2], k[4 * x] * k[4 * x + 3] / 255);
      ASSERT_EQ(a[3 * x], k[4 * x + 2] * k[4 * x + 3] / 255);
      for (int i = 0; i < 3; ++i) diff += std::abs(int(a[3 * x + i]) - int(r[3 * x + i]));
    }
  }
  EXPECT_LT(diff / (100 * 100 * 3), 8.0);
}

TEST(Jpeg, MetadataIntoTheRecord) {
  VL_REQUIRE_CORPUS("pillow/iptc.jpg");
  {
    TRead r;
    ReadCorpus("pillow/iptc.jpg", r);
    ASSERT_TRUE(r.status.ok());
    int keywords = 0;
    bool caption = false;
    for (const TVlIPTCRecord& rec : r.params.iptcInfo.records) {
      keywords += rec.record == 2 && rec.dataset == 25;
      caption |= rec.record == 2 && rec.dataset == 90 && rec.data.size() == 8;
    }
    EXPECT_EQ(keywords, 7);
    EXPECT_TRUE(caption);
    EXPECT_EQ(r.params.dpiX, 300);
  }
  {
    TRead r;  // JFIF density in dots per centimetre: 1 x 2 -> 2.54 x 5.08 dpi
    ReadCorpus("pillow/jfif_unit_cm.jpg", r);
    ASSERT_TRUE(r.status.ok());
    EXPECT_EQ(r.params.dpiX, 3);
    EXPECT_EQ(r.params.dpiY, 5);
    EXPECT_EQ(r.params.jpegColorSpace, 1);
    EXPECT_EQ(r.params.samplesPerPixel, 1);
    EXPECT_EQ(r.bitmap.PixelFormat(), vl24RGB);  // gray files as vl24RGB unless native
  }
  {
    TRead r;
    ReadCorpus("pillow/xmp_test.jpg", r, {});
    ASSERT_TRUE(r.status.ok());
    EXPECT_EQ(r.params.xmpPacket.rfind("<?xpacket", 0), 0u) << r.params.xmpPacket.substr(0, 40);
    EXPECT_EQ(r.params.inputProfile().data.size(), 560u);
    bool app14 = false;
    for (const TVlJpegMarker& m : r.params.jpegMarkers) {
      app14 |= m.marker == 0xEE;
      EXPECT_FALSE(m.marker == 0xE0 && m.data.size() >= 4 && std::memcmp(m.data.data(), "JFIF", 4) == 0);
    }
    EXPECT_TRUE(app14);
  }
  {
    TRead r;  // a one-chunk ICC profile given twice, the second time after the frame header
    ReadCorpus("pillow/icc-after-SOF.jpg", r);
    ASSERT_TRUE(r.status.ok());
    EXPECT_EQ(r.params.inputProfile().data.size(), 7u);
  }
  {
    TRead r;
    ReadCorpus("reference-suites/wuffs-data/peacock.progressive.jpeg", r);
    EXPECT_TRUE(r.params.jpegProgressive);
  }
}

// The EXIF block goes to the installed reader (the TIFF library's); with orientation
// correction on, the pixels are turned upright.
bool gExifCalled = false;
bool TestExifReader(const std::uint8_t* data, std::size_t size, TIOParamsVals& params) {
  gExifCalled = size >= 8 && (std::memcmp(data, "II*\0", 4) == 0 || std::memcmp(data, "MM\0*", 4) == 0);
  params.hasExif = true;
  params.SetTiffOrientation(6);
  return true;
}

TEST(Jpeg, ExifBlockGoesToTheInstalledReader) {
  VL_REQUIRE_CORPUS("pillow/orientation_rectangle.jpg");
  ExifBlockReadHook saved = DefaultExifBlockReader();
  DefaultExifBlockReader() = &TestExifReader;
  gExifCalled = false;
  TRead r;
  r.params.jpegAdjustOrientation = true;
  ReadCorpus("pillow/orientation_rectangle.jpg", r);
  DefaultExifBlockReader() = saved;
  ASSERT_TRUE(r.status.ok());
  EXPECT_TRUE(gExifCalled);
  EXPECT_EQ(r.bitmap.Width(), 1);  // 2 x 1 turned a quarter
  EXPECT_EQ(r.bitmap.Height(), 2);
  EXPECT_EQ(r.params.exifOrientation, 1);
  // Without a reader installed the block only travels as a marker.
  TRead plain;
  ReadCorpus("pillow/orientation_rectangle.jpg", plain);
  EXPECT_FALSE(plain.params.hasExif);
  bool exifMarker = false;
  for (const TVlJpegMarker& m : plain.params.jpegMarkers)
    exifMarker |= m.marker == 0xE1 && m.data.size() > 6 && std::memcmp(m.data.data(), "Exif\0\0", 6) == 0;
  EXPECT_TRUE(exifMarker);
}

TEST(Jpeg, ParametersOnlyReadsNoPixels) {
  VL_REQUIRE_CORPUS("pillow/flower.jpg");
  TRead r;
  r.params.jpegScale = 3;
  ReadBytes(ReadFileBytes(CorpusPath("pillow/flower.jpg")), r, {}, false);
  ASSERT_TRUE(r.status.ok());
  EXPECT_TRUE(r.bitmap.IsEmpty());
  EXPECT_EQ(r.params.width, 120);
  EXPECT_EQ(r.params.jpegOriginalWidth, 480);
  EXPECT_EQ(r.params.jpegOriginalHeight, 360);
  EXPECT_EQ(r.params.samplesPerPixel, 3);
}

// ---- hand-made streams ----

// A tiny gray JPEG written by our own writer.
Bytes SmallJpeg(std::int32_t w, std::int32_t h, std::uint8_t colorSpace = 2, bool progressive = false) {
  TVlBitmap b(w, h, vl24RGB);
  for (std::int32_t y = 0; y < h; ++y) {
    std::uint8_t* row = b.RowPointer(y);
    for (std::int32_t x = 0; x < w; ++x) {
      row[3 * x] = std::uint8_t(x * 7 + y);
      row[3 * x + 1] = std::uint8_t(y * 5);
      row[3 * x + 2] = std::uint8_t(200 - x);
    }
  }
  TVlMemoryStream out;
  TJpegWriteOptions o;
  o.colorSpace = colorSpace;
  o.progressive = progressive;
  ProgressRecord p;
  EXPECT_TRUE(WriteJPEGImage(out, b, o, p).ok());
  return out.TakeBytes();
}

// Offset of the first marker `m` (0xFF m) at a segment boundary, walking the header.
std::size_t FindSegment(const Bytes& j, std::uint8_t m) {
  std::size_t i = 2;
  while (i + 4 <= j.size() && j[i] == 0xFF) {
    if (j[i + 1] == m)
      return i;
    i += 2 + (std::size_t(j[i + 2]) << 8 | j[i + 3]);
  }
  return std::string::npos;
}

TEST(Jpeg, HostileStreams) {
  const Bytes good = SmallJpeg(40, 30);
  Bytes huge = good;  // the frame header claims 65000 x 65000 pixels
  const std::size_t sof = FindSegment(huge, 0xC0);
  ASSERT_NE(sof, std::string::npos);
  huge[sof + 5] = 0xFD, huge[sof + 6] = 0xE8, huge[sof + 7] = 0xFD, huge[sof + 8] = 0xE8;
  Bytes badTable = good;
  const std::size_t dht = FindSegment(badTable, 0xC4);
  ASSERT_NE(dht, std::string::npos);
  badTable[dht + 5] = 0xFF;  // Huffman code counts that overflow
  struct Case {
    const char* name;
    Bytes data;
    TVlStatusCode status;
  };
  const Case cases[] = {
      {"empty", {}, TVlStatusCode::truncated},
      {"not a JPEG", {'G', 'I', 'F', '8', '9', 'a', 0, 0}, TVlStatusCode::badData},
      {"SOI only", {0xFF, 0xD8}, TVlStatusCode::badData},
      {"header larger than its data", huge, TVlStatusCode::limitExceeded},
      {"bad Huffman table", badTable, TVlStatusCode::badData},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TRead r;
    ReadBytes(c.data, r);
    EXPECT_EQ(r.status.code, c.status) << r.status.reason;
    EXPECT_NE(std::string(r.status.reason), "");
  }
}

// Cut after any byte, a stream fails cleanly or decodes with libjpeg's filling.
TEST(Jpeg, TruncatedAfterAnyByte) {
  const Bytes good = SmallJpeg(24, 16, 2, true);
  for (std::size_t k = 0; k < good.size(); ++k) {
    Bytes cut(good.begin(), good.begin() + std::ptrdiff_t(k));
    TRead r;
    ReadBytes(cut, r);
    if (r.status.ok()) {
      ASSERT_EQ(r.bitmap.Width(), 24) << k;
    }
  }
}

// A progressive stream that repeats one scan over and over is stopped.
TEST(Jpeg, TooManyScansAreRefused) {
  Bytes j = SmallJpeg(16, 16, 2, true);
  // The last scan: from the last SOS marker to EOI.
  std::size_t last = 0;
  for (std::size_t i = 0; i + 1 < j.size(); ++i)
    if (j[i] == 0xFF && j[i + 1] == 0xDA)
      last = i;
  ASSERT_GT(last, 0u);
  const Bytes scan(j.begin() + std::ptrdiff_t(last), j.end() - 2);
  Bytes many(j.begin(), j.end() - 2);
  for (int i = 0; i < 1100; ++i) many.insert(many.end(), scan.begin(), scan.end());
  many.insert(many.end(), {0xFF, 0xD9});
  TRead r;
  ReadBytes(many, r);
  EXPECT_EQ(r.status.code, TVlStatusCode::limitExceeded) << r.status.reason;
}

TEST(Jpeg, StreamIsLeftBehindTheImage) {
  Bytes j = SmallJpeg(20, 20);
  const std::size_t n = j.size();
  j.insert(j.end(), 100000, 0x55);
  TVlMemoryStream s(j.data(), std::int64_t(j.size()));
  TVlBitmap b;
  TIOParamsVals p;
  ProgressRecord progress;
  ASSERT_TRUE(ReadJPEG(s, &b, &p, progress).ok());
  EXPECT_EQ(s.Position(), std::int64_t(n));
}

// Tables in a separate stream (TIFF JPEGTables): the same pixels as the whole stream.
TEST(Jpeg, TablesFromASeparateStream) {
  const Bytes whole = SmallJpeg(33, 17);
  // Tables: SOI + every DQT and DHT + EOI. Image: SOI + everything else.
  Bytes tables = {0xFF, 0xD8}, image = {0xFF, 0xD8};
  std::size_t i = 2;
  while (i + 4 <= whole.size() && whole[i] == 0xFF && whole[i + 1] != 0xDA) {
    const std::size_t len = 2 + (std::size_t(whole[i + 2]) << 8 | whole[i + 3]);
    Bytes& to = (whole[i + 1] == 0xDB || whole[i + 1] == 0xC4) ? tables : image;
    to.insert(to.end(), whole.begin() + std::ptrdiff_t(i), whole.begin() + std::ptrdiff_t(i + len));
    i += len;
  }
  image.insert(image.end(), whole.begin() + std::ptrdiff_t(i), whole.end());
  tables.insert(tables.end(), {0xFF, 0xD9});
  TRead ref, alone, split;
  ReadBytes(whole, ref);
  ReadBytes(image, alone);
  EXPECT_FALSE(alone.status.ok());  // without its tables the image cannot be decoded
  TVlMemoryStream t(tables.data(), std::int64_t(tables.size()));
  TJpegReadOptions o;
  o.tables = &t;
  ReadBytes(image, split, o);
  ASSERT_TRUE(split.status.ok()) << split.status.reason;
  EXPECT_EQ(PnmCrc(split.bitmap), PnmCrc(ref.bitmap));
}

// RGB components without any marker saying so decode right only when the caller says so.
TEST(Jpeg, RgbDataWithoutMarkers) {
  Bytes j = SmallJpeg(16, 8, 0);
  TRead ref;
  ReadBytes(j, ref);
  // Drop the Adobe marker and give the components the ids 1, 2, 3 (which read as YCbCr).
  const std::size_t adobe = FindSegment(j, 0xEE);
  ASSERT_NE(adobe, std::string::npos);
  j.erase(j.begin() + std::ptrdiff_t(adobe),
          j.begin() + std::ptrdiff_t(adobe + 2 + (j[adobe + 2] << 8 | j[adobe + 3])));
  const std::size_t sof = FindSegment(j, 0xC0);
  for (int k = 0; k < 3; ++k) j[sof + 10 + 3 * std::size_t(k)] = std::uint8_t(k + 1);
  const std::size_t sos = FindSegment(j, 0xDA);
  for (int k = 0; k < 3; ++k) j[sos + 5 + 2 * std::size_t(k)] = std::uint8_t(k + 1);
  TRead guessed, told;
  ReadBytes(j, guessed);
  TJpegReadOptions o;
  o.rgbData = true;
  ReadBytes(j, told, o);
  ASSERT_TRUE(told.status.ok()) << told.status.reason;
  EXPECT_NE(PnmCrc(guessed.bitmap), PnmCrc(ref.bitmap));
  EXPECT_EQ(PnmCrc(told.bitmap), PnmCrc(ref.bitmap));
  EXPECT_EQ(told.params.jpegColorSpace, 0);
}

TEST(Jpeg, FrameSizeChecksAndRowLimit) {
  const Bytes j = SmallJpeg(40, 30);
  struct Case {
    std::int32_t frameWidth, minRows, maxRows, maxRows2;
    bool ok;
    std::int32_t rows;
  };
  const Case cases[] = {
      {40, 30, 30, 0, true, 30}, {40, 16, 32, 0, true, 30}, {41, 30, 30, 0, false, 0},
      {40, 31, 40, 0, false, 0}, {0, 0, 0, 8, true, 8},
  };
  for (const Case& c : cases) {
    TJpegReadOptions o;
    o.frameWidth = c.frameWidth;
    o.frameMinRows = c.minRows;
    o.frameMaxRows = c.maxRows;
    o.maxRows = c.maxRows2;
    TRead r;
    ReadBytes(j, r, o);
    EXPECT_EQ(r.status.ok(), c.ok) << c.frameWidth << " " << c.minRows << " " << r.status.reason;
    if (c.ok) {
      EXPECT_EQ(r.bitmap.Height(), c.rows);
    }
  }
}

TEST(Jpeg, AbortFlagStopsDecoding) {
  const Bytes j = SmallJpeg(64, 64);
  TVlMemoryStream s(j.data(), std::int64_t(j.size()));
  std::atomic<bool> abort{false};
  ProgressRecord progress;
  progress.abortFlag = &abort;
  int reports = 0;
  progress.handler = [&](int) {
    if (++reports == 10)
      abort = true;
  };
  TVlBitmap b;
  EXPECT_EQ(ReadJPEG(s, &b, nullptr, progress).code, TVlStatusCode::aborted);
  EXPECT_EQ(reports, 10);
}

// ---- writer ----

TVlBitmap* TestImage(TVlPixelFormat f, std::int32_t w, std::int32_t h) {
  auto* b = new TVlBitmap(w, h, f);
  if (f == vl8p)
    for (int i = 0; i < 256; ++i) b->SetPaletteColor(i, {std::uint8_t(i), std::uint8_t(255 - i), std::uint8_t(i / 2)});
  for (std::int32_t y = 0; y < h; ++y) {
    std::uint8_t* row = b->RowPointer(y);
    for (std::int32_t x = 0; x < b->RowLength(); ++x)
      row[x] = std::uint8_t(f == vl1g ? ((x + y) % 3 ? 0xF0 : 0x0F) : (x * 3 + y * 2));
  }
  return b;
}

// Every colour space and input pixel format writes a stream that djpeg and our reader both
// read, with the same pixels.
TEST(Jpeg, WriterColourSpacesAndInputFormats) {
  const bool haveDjpeg = std::system("command -v djpeg >/dev/null 2>&1") == 0;
  struct Case {
    TVlPixelFormat format;
    std::uint8_t colorSpace;
    std::uint8_t readSpace;
  };
  const Case cases[] = {
      {vl24RGB, 0, 0}, {vl24RGB, 1, 1}, {vl24RGB, 2, 2}, {vl24RGB, 3, 3}, {vl24RGB, 4, 4}, {vl24RGB, 9, 0},
      {vl8g, 1, 1},    {vl8g, 2, 2},    {vl1g, 1, 1},    {vl1g, 2, 2},    {vl8p, 2, 2},    {vl16g, 1, 1},
      {vlRGB48, 2, 2}, {vlCMYK, 3, 3},  {vlCMYK, 2, 2},  {vl32f, 1, 1},
  };
  const auto dir = std::filesystem::temp_directory_path() / ("vl_jpeg_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(VlPixelFormatName(c.format)) + " as " + std::to_string(c.colorSpace));
    std::unique_ptr<TVlBitmap> img(TestImage(c.format, 37, 23));
    TVlMemoryStream out;
    TJpegWriteOptions o;
    o.colorSpace = c.colorSpace;
    o.quality = 90;
    ProgressRecord p;
    ASSERT_TRUE(WriteJPEGImage(out, *img, o, p).ok());
    TRead r;
    r.params.nativePixelFormat = true;  // gray streams as vl8g, like djpeg's PGM
    ReadBytes(out.Bytes(), r);
    ASSERT_TRUE(r.status.ok()) << r.status.reason;
    EXPECT_EQ(r.params.jpegColorSpace, c.readSpace);
    EXPECT_EQ(r.bitmap.Width(), 37);
    EXPECT_EQ(r.bitmap.Height(), 23);
    if (haveDjpeg && c.readSpace <= 2) {
      const auto in = dir / "w.jpg", ppm = dir / "w.ppm";
      std::ofstream(in, std::ios::binary)
          .write(reinterpret_cast<const char*>(out.Bytes().data()), std::streamsize(out.Bytes().size()));
      ASSERT_EQ(std::system(("djpeg -ppm -outfile " + ppm.string() + " " + in.string()).c_str()), 0);
      const Bytes pnm = ReadFileBytes(ppm);
      const std::size_t pixels = 37 * 23 * (c.readSpace == 1 ? 1 : 3);
      ASSERT_GT(pnm.size(), pixels);
      EXPECT_EQ(std::uint32_t(crc32(0, pnm.data() + pnm.size() - pixels, uInt(pixels))), PnmCrc(r.bitmap));
    }
  }
  std::filesystem::remove_all(dir);
}

TEST(Jpeg, WriterSettingsReachTheStream) {
  std::unique_ptr<TVlBitmap> img(TestImage(vl24RGB, 120, 80));
  auto write = [&](const TJpegWriteOptions& o) {
    TVlMemoryStream out;
    ProgressRecord p;
    EXPECT_TRUE(WriteJPEGImage(out, *img, o, p).ok());
    return out.TakeBytes();
  };
  TJpegWriteOptions low, high, prog, dpi, opt;
  low.quality = 10;
  high.quality = 98;
  prog.progressive = true;
  dpi.dpiX = 200, dpi.dpiY = 0;
  opt.optimalHuffman = true;
  const Bytes l = write(low), h = write(high), pr = write(prog), d = write(dpi), op = write(opt), base = write({});
  EXPECT_LT(l.size(), base.size());
  EXPECT_GT(h.size(), base.size());
  EXPECT_LT(op.size(), base.size());
  EXPECT_NE(FindSegment(pr, 0xC2), std::string::npos);  // progressive frame
  EXPECT_EQ(FindSegment(base, 0xC2), std::string::npos);
  TRead r;
  ReadBytes(d, r);
  EXPECT_EQ(r.params.dpiX, 200);
  EXPECT_EQ(r.params.dpiY, 300);  // 0 is written as 300
  // An empty image writes nothing.
  TVlBitmap empty;
  TVlMemoryStream out;
  ProgressRecord p;
  EXPECT_TRUE(WriteJPEGImage(out, empty, {}, p).ok());
  EXPECT_EQ(out.Size(), 0);
}

TEST(Jpeg, WriterFailures) {
  std::unique_ptr<TVlBitmap> img(TestImage(vl24RGB, 300, 300));
  struct TRefusing final : TVlStream {
    std::int64_t Read(void*, std::int64_t) override { return 0; }
    std::int64_t Write(const void*, std::int64_t) override { return 0; }
    bool Seek(std::int64_t) override { return true; }
    std::int64_t Position() const override { return 0; }
    std::int64_t Size() const override { return 0; }
  } refusing;
  ProgressRecord p;
  EXPECT_EQ(WriteJPEGImage(refusing, *img, {}, p).code, TVlStatusCode::ioError);
  std::atomic<bool> abort{true};
  p.abortFlag = &abort;
  TVlMemoryStream out;
  EXPECT_EQ(WriteJPEGImage(out, *img, {}, p).code, TVlStatusCode::aborted);
}

// The file writer sorts the record's markers and writes all of them but APP14; IPTC and XMP
// are brought up to date first.
TEST(Jpeg, FileWriterMarkers) {
  std::unique_ptr<TVlBitmap> img(TestImage(vl24RGB, 16, 16));
  TIOParamsVals params;
  params.jpegMarkers.push_back({0xFE, {'h', 'i'}});
  params.jpegMarkers.push_back({0xEE, {'A', 'd', 'o', 'b', 'X'}});
  params.jpegMarkers.push_back({0xE5, {1, 2, 3}});
  // A Photoshop marker with a resolution resource (kept) and an old IPTC resource (replaced).
  Bytes ps = {'P', 'h', 'o', 't', 'o', 's', 'h', 'o', 'p', ' ', '3', '.', '0', 0};
  const Bytes res = {'8', 'B', 'I', 'M', 0x03, 0xED, 0, 0, 0, 0, 0, 2, 7, 7};
  const Bytes oldIptc = {'8', 'B', 'I', 'M', 0x04, 0x04, 0, 0, 0, 0, 0, 6, 0x1C, 2, 5, 0, 1, 'x'};
  ps.insert(ps.end(), res.begin(), res.end());
  ps.insert(ps.end(), oldIptc.begin(), oldIptc.end());
  params.jpegMarkers.push_back({0xED, ps});
  params.iptcInfo.records.push_back({2, 120, {'c', 'a', 'p'}});
  params.iptcInfo.userChanged = true;
  params.xmpPacket = "<x:xmpmeta/>";
  TVlMemoryStream out;
  ProgressRecord p;
  ASSERT_TRUE(WriteJPEG(out, *img, params, p).ok());
  for (std::size_t i = 1; i < params.jpegMarkers.size(); ++i)
    EXPECT_LE(params.jpegMarkers[i - 1].marker, params.jpegMarkers[i].marker);
  TRead r;
  ReadBytes(out.Bytes(), r);
  ASSERT_TRUE(r.status.ok());
  EXPECT_EQ(r.params.xmpPacket, "<x:xmpmeta/>");
  ASSERT_EQ(r.params.iptcInfo.records.size(), 1u);
  EXPECT_EQ(r.params.iptcInfo.records[0].dataset, 120);
  bool com = false, app5 = false, ourApp14 = false, resolution = false;
  for (const TVlJpegMarker& m : r.params.jpegMarkers) {
    com |= m.marker == 0xFE && m.data == Bytes{'h', 'i'};
    app5 |= m.marker == 0xE5;
    ourApp14 |= m.marker == 0xEE && m.data.size() == 5 && m.data[4] == 'X';
    resolution |= m.marker == 0xED && std::search(m.data.begin(), m.data.end(), res.begin(), res.end()) != m.data.end();
  }
  EXPECT_TRUE(com);
  EXPECT_TRUE(app5);
  EXPECT_FALSE(ourApp14);
  EXPECT_TRUE(resolution);
  // An emptied IPTC list removes the resource, and with nothing left the marker.
  TIOParamsVals p2;
  p2.jpegMarkers.push_back({0xED, [&] {
                              Bytes b(ps.begin(), ps.begin() + 14);
                              b.insert(b.end(), oldIptc.begin(), oldIptc.end());
                              return b;
                            }()});
  p2.iptcInfo.userChanged = true;
  UpdateJpegMarkers(p2);
  EXPECT_TRUE(p2.jpegMarkers.empty());
}

TEST(Jpeg, WriterRoundTripKeepsPixelsClose) {
  std::unique_ptr<TVlBitmap> img(TestImage(vl24RGB, 64, 48));
  TVlMemoryStream out;
  TJpegWriteOptions o;
  o.quality = 95;
  o.colorSpace = 2;
  ProgressRecord p;
  ASSERT_TRUE(WriteJPEGImage(out, *img, o, p).ok());
  TRead r;
  ReadBytes(out.Bytes(), r);
  ASSERT_TRUE(r.status.ok());
  double diff = 0;
  for (std::int32_t y = 0; y < 48; ++y)
    for (std::int32_t x = 0; x < 64 * 3; ++x)
      diff += std::abs(int(img->RowPointer(y)[x]) - int(r.bitmap.RowPointer(y)[x]));
  EXPECT_LT(diff / (64 * 48 * 3), 4.0);
}

}  // namespace
