// JPEG 2000: the corpus files decode like opj_decompress, hostile files fail cleanly, the
// writer's options map as documented, and the resolution box is read.
#include "imaging/formats/jpeg2000.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "imaging/limits.h"
#include "test_paths.h"
#include "test_streams.h"

namespace {

struct Decoded {
  TVlStatus status;
  TVlBitmap image;
  TIOParamsVals params;
  bool aborted = false;
};

void Decode(const std::vector<std::uint8_t>& bytes, bool codestream, Decoded& d, bool native = true,
            bool paramsOnly = false) {
  TVlMemoryStream s(bytes.data(), static_cast<std::int64_t>(bytes.size()));
  std::atomic<bool> abort{false};
  ProgressRecord pr;
  pr.abortFlag = &abort;
  d.params.nativePixelFormat = native;
  d.status = ReadJ2K(s, paramsOnly ? nullptr : &d.image, d.params, pr, paramsOnly, codestream);
  d.aborted = abort;
}

// A Netpbm file as opj_decompress writes it (P5, P6 or P7), samples as integers.
struct Pnm {
  int width = 0, height = 0, depth = 0, maxval = 0;
  std::vector<int> samples;
};

bool ParsePnm(const std::vector<std::uint8_t>& b, Pnm& p) {
  std::size_t i = 0;
  auto token = [&]() {
    std::string t;
    while (i < b.size()) {
      if (b[i] == '#') {
        while (i < b.size() && b[i] != '\n')
          ++i;
      } else if (std::isspace(b[i])) {
        if (!t.empty())
          break;
        ++i;
      } else {
        t += static_cast<char>(b[i++]);
      }
    }
    return t;
  };
  const std::string magic = token();
  if (magic == "P5" || magic == "P6") {
    p.depth = magic == "P5" ? 1 : 3;
    p.width = std::stoi(token());
    p.height = std::stoi(token());
    p.maxval = std::stoi(token());
  } else if (magic == "P7") {
    for (std::string t = token(); t != "ENDHDR" && !t.empty(); t = token()) {
      if (t == "WIDTH")
        p.width = std::stoi(token());
      else if (t == "HEIGHT")
        p.height = std::stoi(token());
      else if (t == "DEPTH")
        p.depth = std::stoi(token());
      else if (t == "MAXVAL")
        p.maxval = std::stoi(token());
      else if (t == "TUPLTYPE")
        token();
    }
  } else {
    return false;
  }
  ++i;  // the single white-space byte after the header
  const bool wide = p.maxval > 255;
  const std::size_t n = std::size_t(p.width) * p.height * p.depth;
  if (b.size() < i + n * (wide ? 2 : 1))
    return false;
  p.samples.resize(n);
  for (std::size_t k = 0; k < n; ++k)
    p.samples[k] = wide ? b[i + 2 * k] << 8 | b[i + 2 * k + 1] : b[i + k];
  return true;
}

bool HaveOpjDecompress() { return std::system("command -v opj_decompress >/dev/null 2>&1") == 0; }

std::vector<std::uint8_t> EncodeImage(TVlBitmap& img, TIOParamsVals& p, bool codestream) {
  TVlMemoryStream out;
  ProgressRecord pr;
  EXPECT_TRUE(WriteJ2K(out, img, p, pr, codestream).ok());
  return {out.Data(), out.Data() + out.Size()};
}

}  // namespace

TEST(JPEG2000, CorpusFilesDecodeLikeOpjDecompress) {
  VL_REQUIRE_CORPUS("pillow");
  if (!HaveOpjDecompress())
    GTEST_SKIP() << "opj_decompress not installed";
  const auto tmp = std::filesystem::temp_directory_path() / ("vl-j2k-" + std::to_string(::getpid()));
  std::filesystem::create_directories(tmp);
  int compared = 0, refused = 0;
  for (const auto& e : std::filesystem::directory_iterator(CorpusPath("pillow"))) {
    const std::string ext = e.path().extension().string();
    if (ext != ".jp2" && ext != ".j2k" && ext != ".jpf")
      continue;
    if (std::filesystem::file_size(e.path()) > 200000)
      continue;  // keeps the test short
    const std::string name = e.path().filename().string();
    const bool codestream = ext == ".j2k";
    const auto ref = tmp / (name + ".pnm");
    const auto log = tmp / (name + ".log");
    const std::string cmd = "opj_decompress -i '" + e.path().string() + "' -o '" + ref.string() + "' >'" +
                            log.string() + "' 2>&1";
    const int rc = std::system(cmd.c_str());
    const auto logText = ReadWholeFile(log);
    const bool headerRefused = std::string(logText.begin(), logText.end()).find("failed to read the header") !=
                               std::string::npos;
    Decoded d;
    Decode(ReadWholeFile(e.path()), codestream, d);
    if (headerRefused) {
      EXPECT_FALSE(d.status.ok()) << name;
      EXPECT_TRUE(d.aborted) << name;
      ++refused;
      continue;
    }
    Pnm pnm;
    if (rc != 0 || !std::filesystem::exists(ref) || !ParsePnm(ReadWholeFile(ref), pnm))
      continue;  // decoded, but not into a form opj_decompress can write
    ASSERT_TRUE(d.status.ok()) << name << ": " << DescribeStatus(d.status);
    ASSERT_EQ(d.image.Width(), pnm.width) << name;
    ASSERT_EQ(d.image.Height(), pnm.height) << name;
    const bool deep = pnm.maxval > 255;
    std::size_t diff = 0;
    for (int y = 0; y < pnm.height; ++y) {
      std::vector<std::uint8_t> row(d.image.RowPointer(y), d.image.RowPointer(y) + d.image.RowLength());
      for (int x = 0; x < pnm.width; ++x) {
        const int* s = &pnm.samples[(std::size_t(y) * pnm.width + x) * pnm.depth];
        auto scaled = [&](int v, int outMax) { return (std::int64_t(v) * outMax + pnm.maxval / 2) / pnm.maxval; };
        if (pnm.depth <= 2) {
          std::int64_t got;
          if (d.image.PixelFormat() == vl16g)
            got = row[x * 2] | row[x * 2 + 1] << 8;
          else if (d.image.PixelFormat() == vl1g)
            got = (row[x >> 3] & (0x80 >> (x & 7))) ? pnm.maxval : 0;
          else
            got = row[x];
          const std::int64_t want = d.image.PixelFormat() == vl1g ? s[0] : scaled(s[0], deep ? 65535 : 255);
          diff += got != want;
        } else {
          const TVlRGB c = d.image.PixelAsRGB(x, y);
          diff += c.r != scaled(s[0], 255) || c.g != scaled(s[1], 255) || c.b != scaled(s[2], 255);
        }
        if (pnm.depth == 2 || pnm.depth == 4)
          diff += d.image.AlphaAt(x, y) != scaled(s[pnm.depth - 1], 255);
      }
    }
    EXPECT_EQ(diff, 0u) << name << " (" << VlPixelFormatName(d.image.PixelFormat()) << ", " << pnm.depth
                        << " channels)";
    ++compared;
  }
  std::filesystem::remove_all(tmp);
  EXPECT_GE(compared, 8);
  EXPECT_GE(refused, 5);
}

TEST(JPEG2000, HostileInputsFailCleanly) {
  TVlBitmap img(40, 30, vl24RGB);
  for (int y = 0; y < 30; ++y)
    for (int i = 0; i < img.RowLength(); ++i)
      img.RowPointer(y)[i] = static_cast<std::uint8_t>(i ^ y);
  TIOParamsVals p;
  for (bool codestream : {false, true}) {
    const auto good = EncodeImage(img, p, codestream);
    for (std::size_t k : {std::size_t(0), std::size_t(3), std::size_t(12), std::size_t(40), good.size() / 3,
                          good.size() - 5}) {
      std::vector<std::uint8_t> cut(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(k));
      Decoded d;
      Decode(cut, codestream, d);
      EXPECT_FALSE(d.status.ok()) << "cut at " << k;
      EXPECT_TRUE(d.aborted);
    }
  }
  // A code stream claiming 60000 x 60000 pixels with no data behind it.
  auto cs = EncodeImage(img, p, true);
  // SIZ: FF4F FF51 Lsiz(2) Rsiz(2) Xsiz(4) Ysiz(4) ...
  cs[8] = 0x00, cs[9] = 0x00, cs[10] = 0xEA, cs[11] = 0x60;
  cs[12] = 0x00, cs[13] = 0x00, cs[14] = 0xEA, cs[15] = 0x60;
  cs.resize(200);
  Decoded d;
  Decode(cs, true, d);
  EXPECT_FALSE(d.status.ok());
  // A JP2 signature read as a code stream, and the other way round.
  Decoded w1, w2;
  Decode(EncodeImage(img, p, false), true, w1);
  Decode(EncodeImage(img, p, true), false, w2);
  EXPECT_FALSE(w1.status.ok());
  EXPECT_FALSE(w2.status.ok());
}

TEST(JPEG2000, WriterRoundTripsAndOptions) {
  struct Case {
    const char* name;
    TVlPixelFormat format;
    int colourSpace;
    TVlPixelFormat readBack;
    bool exact;
  } cases[] = {
      {"rgb lossless", vl24RGB, 1, vl24RGB, true}, {"bilevel", vl1g, 1, vl1g, true},
      {"gray", vl24RGB, 0, vl8g, true},            {"ycc", vl24RGB, 2, vl24RGB, true},
      {"gray source", vl8g, 1, vl24RGB, true},
  };
  for (const auto& c : cases) {
    for (bool codestream : {false, true}) {
      TVlBitmap img(33, 9, c.format);
      for (int y = 0; y < 9; ++y)
        for (int i = 0; i < img.RowLength(); ++i)
          img.RowPointer(y)[i] = static_cast<std::uint8_t>(i * 29 + y * 7);
      TIOParamsVals p;
      p.j2kColorSpace = static_cast<std::uint8_t>(c.colourSpace);
      Decoded d;
      Decode(EncodeImage(img, p, codestream), codestream, d);
      ASSERT_TRUE(d.status.ok()) << c.name << ": " << DescribeStatus(d.status);
      EXPECT_EQ(d.image.PixelFormat(), c.readBack) << c.name;
      int worst = 0;
      for (int y = 0; y < 9; ++y)
        for (int x = 0; x < 33; ++x) {
          TVlRGB a = img.PixelAsRGB(x, y), b = d.image.PixelAsRGB(x, y);
          if (c.colourSpace == 0) {
            const int g = VlGray(a);
            a = TVlRGB{std::uint8_t(g), std::uint8_t(g), std::uint8_t(g)};
          }
          worst = std::max({worst, std::abs(a.r - b.r), std::abs(a.g - b.g), std::abs(a.b - b.b)});
        }
      EXPECT_LE(worst, c.exact ? 0 : 3) << c.name << (codestream ? " (code stream)" : " (JP2)");
    }
  }
  // A rate below 1 compresses harder.
  TVlBitmap img(128, 128, vl24RGB);
  for (int y = 0; y < 128; ++y)
    for (int i = 0; i < img.RowLength(); ++i)
      img.RowPointer(y)[i] = static_cast<std::uint8_t>((i * i + y * 3) & 0xFF);
  TIOParamsVals lossless, lossy;
  lossless.j2kColorSpace = 2;
  lossy.j2kRate = 0.05;
  lossy.j2kProgression = 1;
  const auto big = EncodeImage(img, lossless, true);
  const auto small = EncodeImage(img, lossy, true);
  EXPECT_LT(small.size() * 5, big.size());
  // COD marker (FF52) after SIZ: Lcod(2) Scod(1) then the progression order byte.
  auto progressionOf = [](const std::vector<std::uint8_t>& b) {
    for (std::size_t i = 0; i + 5 < b.size(); ++i)
      if (b[i] == 0xFF && b[i + 1] == 0x52)
        return int(b[i + 5]);
    return -1;
  };
  EXPECT_EQ(progressionOf(big), 0);    // LRCP
  EXPECT_EQ(progressionOf(small), 1);  // RLCP
}

TEST(JPEG2000, ResolutionBoxAndParametersOnly) {
  TVlBitmap img(16, 8, vl24RGB);
  TIOParamsVals p;
  auto jp2 = EncodeImage(img, p, false);
  Decoded none;
  Decode(jp2, false, none, true, true);
  ASSERT_TRUE(none.status.ok());
  EXPECT_EQ(none.params.width, 16);
  EXPECT_EQ(none.params.height, 8);
  EXPECT_EQ(none.params.samplesPerPixel, 3);
  EXPECT_EQ(none.params.dpiX, 0);
  EXPECT_TRUE(none.image.IsEmpty());

  // Insert a 'res ' box holding 'resc' of 11811 pixels per metre across (300 dpi) and 5906
  // down (150 dpi) at the end of the jp2h box.
  std::size_t at = 0;
  for (std::size_t i = 0; i + 8 < jp2.size(); ++i)
    if (jp2[i + 4] == 'j' && jp2[i + 5] == 'p' && jp2[i + 6] == '2' && jp2[i + 7] == 'h') {
      at = i;
      break;
    }
  ASSERT_GT(at, 0u);
  const std::uint32_t len = std::uint32_t(jp2[at]) << 24 | jp2[at + 1] << 16 | jp2[at + 2] << 8 | jp2[at + 3];
  const std::uint8_t res[] = {0, 0, 0, 26, 'r', 'e', 's', ' ', 0, 0, 0, 18, 'r', 'e', 's', 'c',
                              0x17, 0x12, 0, 1, 0x2E, 0x23, 0, 1, 0, 0};
  jp2.insert(jp2.begin() + static_cast<std::ptrdiff_t>(at + len), std::begin(res), std::end(res));
  const std::uint32_t nl = len + sizeof res;
  jp2[at] = std::uint8_t(nl >> 24), jp2[at + 1] = std::uint8_t(nl >> 16), jp2[at + 2] = std::uint8_t(nl >> 8),
  jp2[at + 3] = std::uint8_t(nl);
  Decoded d;
  Decode(jp2, false, d);
  ASSERT_TRUE(d.status.ok()) << DescribeStatus(d.status);
  EXPECT_EQ(d.params.dpiX, 300);
  EXPECT_EQ(d.params.dpiY, 150);
}
