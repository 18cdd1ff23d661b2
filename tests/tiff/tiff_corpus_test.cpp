// Every TIFF page of the public corpus against libtiff's own decoding.
//
// For each page the test decides from the directory alone whether the page is one this reader
// covers (classic TIFF; compression none, CCITT 2/3/4, LZW, JPEG 6/7, Deflate 8/32946, PackBits;
// integer samples of 1 to 8 or 16 bits in a gray, RGB, palette, CMYK, YCbCr or CIE L*a*b*
// layout). Covered pages must decode and match the reference; every other page must be refused
// with the abort flag and a reason.
//
// References are made at test time by libtiff's tools (scripts/bootstrap installs them) and
// cached under the build folder:
//   tiff2rgba -c none FILE OUT      8-bit RGBA of every page, for pages of up to 8-bit samples
//   tiffcp -c none -p contig -s FILE OUT   the raw samples, for 16-bit pages, 3-, 5-, 6- and
//                                          7-bit gray pages (libtiff's RGBA path refuses those)
//                                          and pages stored with an orientation other than 1
// From the raw samples the expected pixel is what this reader documents: 16-bit samples by
// their high byte, gray levels of n bits scaled by 255 / (2^n - 1). JPEG pages and YCbCr or
// L*a*b* pages may differ from libtiff by colour-conversion rounding (at most 2 per sample for
// JPEG); they are counted apart. The summary is printed at the end.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "imaging/limits.h"
#include "imaging/params.h"
#include "imaging/stream.h"
#include "test_paths.h"
#include "tiff/tiff_reader_reference.h"
#include "tiff/tiff_codecs.h"
#include "tiff/tiff_container.h"
#include "tiff/tiff_pages.h"
#include "tiff/tiff_reader.h"


namespace {

// ---- running the tools, with a cache in the build folder ----

fs::path CacheDir() {
  const char* b = std::getenv("VELLUMO_BUILD");
  fs::path d = fs::path(b ? b : fs::temp_directory_path().string()) / "tiff-corpus-refs";
  fs::create_directories(d);
  return d;
}

// Runs `tool` on `file` into a cached output; returns its pages (empty when the tool failed).
std::vector<TRefPage> Reference(const std::string& tool, const fs::path& file) {
  std::string key = file.string();
  for (char& c : key)
    if (c == '/' || c == ' ')
      c = '_';
  fs::path out = CacheDir() / (tool + "_" + key + ".tif");
  fs::path stamp = CacheDir() / (tool + "_" + key + ".done");
  if (!fs::exists(stamp)) {
    std::string cmd = tool == "rgba" ? "tiff2rgba -c none " + Quote(file.string()) + " " + Quote(out.string())
                                     : "tiffcp -c none -s " + Quote(file.string()) + " " + Quote(out.string());
    fs::path err = CacheDir() / (tool + "_" + key + ".err");
    (void)std::system((cmd + " >/dev/null 2>" + Quote(err.string())).c_str());
    // libtiff reports decoding errors (not warnings) on stderr; its output is then unreliable.
    std::ifstream e(err);
    std::string line;
    bool failed = false;
    while (std::getline(e, line))
      if (!line.empty() && line.find("Warning") == std::string::npos && line.find("warning") == std::string::npos &&
          line.find("can not handle") == std::string::npos && line.find("Cannot handle") == std::string::npos)
        failed = true;
    std::ofstream(stamp) << (failed ? "failed" : "ok");
  }
  std::vector<TRefPage> pages;
  std::ifstream st(stamp);
  std::string state;
  st >> state;
  if (state == "ok" && fs::exists(out))
    ParseRefTIFF(Slurp(out), pages);
  return pages;
}

// ---- what the reader covers, judged from the directory ----

enum class TRefKind { rgba, raw };

bool Covered(const TTIFFVars& v, std::string& why) {
  const int c = v.compression, ph = v.photometric, b = v.bitsPerSample;
  switch (c) {
    case 1: case 2: case 3: case 4: case 5: case 6: case 7: case 8: case 32773: case 32946: break;
    default: why = "compression " + std::to_string(c); return false;
  }
  if (v.sampleFormat == 3) {
    why = "floating-point samples";
    return false;
  }
  bool jpeg = c == 6 || c == 7;
  if (jpeg)
    return ph == 0 || ph == 1 || ph == 2 || ph == 5 || ph == 6;
  switch (ph) {
    case 0: case 1:
      if (b == 1 && v.samplesPerPixel != 1) { why = "bilevel with extra samples"; return false; }
      if (b > 8 && b != 16) { why = std::to_string(b) + "-bit gray"; return false; }
      return true;
    case 2:
      if (b != 8 && b != 16) { why = std::to_string(b) + "-bit RGB"; return false; }
      return v.samplesPerPixel >= 3 || (v.samplesPerPixel == 1 && b == 16);
    case 3:
      if (b > 8) { why = std::to_string(b) + "-bit palette"; return false; }
      return true;
    case 5:
      if ((b != 8 && b != 16) || v.samplesPerPixel < 4) { why = "separated layout"; return false; }
      return true;
    case 6:
      if (b != 8 || v.samplesPerPixel != 3 || v.planarConfig == 2) { why = "YCbCr layout"; return false; }
      return true;
    case 8:
      if (b != 8) { why = "L*a*b* layout"; return false; }
      return true;
    default: why = "photometric " + std::to_string(ph); return false;
  }
}

struct TStats {
  int pages = 0, covered = 0, exact = 0, nearly = 0, noReference = 0, refused = 0, knownLimits = 0;
  std::vector<std::string> failures, notes, refusals;
};

// Our pixel (x, y) as R, G, B.
void OurRGB(TVlBitmap& bm, int x, int y, int& r, int& g, int& b) {
  TVlRGB c = bm.PixelAsRGB(x, y);
  r = c.r;
  g = c.g;
  b = c.b;
}

// The expected pixel from raw samples, as this reader documents the mapping.
void RawExpected(const TRefPage& p, const TTIFFVars& v, int x, int y, int& r, int& g, int& b, int& a) {
  const std::uint8_t* row = p.px.data() + std::size_t(y) * p.rowBytes();
  a = 255;
  auto sample = [&](int i) -> int {
    std::int64_t k = std::int64_t(x) * p.spp + i;
    if (p.bits == 16)
      return row[2 * k] | row[2 * k + 1] << 8;
    if (p.bits == 8)
      return row[k];
    std::int64_t bit = k * p.bits;
    int val = 0;
    for (int j = 0; j < p.bits; ++j)
      val = val << 1 | ((row[(bit + j) >> 3] >> (7 - ((bit + j) & 7))) & 1);
    return val;
  };
  const int ph = v.photometric;
  auto to8 = [&](int s) { return p.bits == 16 ? s >> 8 : s; };
  if (ph == 0 || ph == 1) {
    int s = sample(0);
    int level;
    if (p.bits == 16) {
      level = (ph == 0 ? 65535 - s : s) >> 8;
    } else {
      int max = (1 << p.bits) - 1;
      level = ((ph == 0 ? max - s : s) * 255 + max / 2) / max;
    }
    r = g = b = level;
    if (p.spp >= 2 && (v.extraSamples == 1 || v.extraSamples == 2 || (p.spp == 2 && p.bits == 8)))
      a = to8(sample(1));
  } else if (ph == 2) {
    r = to8(sample(0));
    g = to8(sample(1));
    b = to8(sample(2));
    if (p.spp >= 4)
      a = to8(sample(3));
  } else if (ph == 5) {
    int c = to8(sample(0)), m = to8(sample(1)), yy = to8(sample(2)), k = to8(sample(3));
    r = (255 - c) * (255 - k) / 255;
    g = (255 - m) * (255 - k) / 255;
    b = (255 - yy) * (255 - k) / 255;
  } else if (ph == 3 && !v.colorMap.empty()) {
    const TVlRGB& c = v.colorMap[std::size_t(sample(0)) % v.colorMap.size()];
    r = c.r;
    g = c.g;
    b = c.b;
  } else {
    r = g = b = -1000;
  }
}

void CheckFile(const fs::path& file, const std::string& rel, TStats& stats) {
  TVlFileStream stream(file, TVlFileStream::Mode::read);
  TTIFFHeader header;
  if (!ReadTIFFHeader(stream, 0, header).ok() || header.firstOffset == 0) {
    // Not a classic TIFF (BigTIFF, damaged header): must be refused cleanly.
    TIOParamsVals params;
    std::atomic<bool> abort{false};
    ProgressRecord pr;
    pr.abortFlag = &abort;
    TVlBitmap bm;
    std::int32_t count = 0;
    std::unique_ptr<TVlMask> mask;
    stream.Seek(0);
    (void)ReadTIFF(&bm, stream, count, &params, pr, false, &mask, false, false, false);
    ++stats.pages;
    ++stats.refused;
    if (header.firstOffset != 0 || !abort) {
      EXPECT_TRUE(abort.load() && *pr.failure.reason) << rel << ": a file that is not a classic TIFF must be refused";
    }
    return;
  }
  stream.Seek(0);
  const std::int32_t pages = CountTIFFPages(stream);
  std::vector<TRefPage> rgba, raw;
  bool haveRgba = false, haveRaw = false;
  for (std::int32_t k = 0; k < pages && k < 16; ++k) {
    ++stats.pages;
    const std::string name = rel + (pages > 1 ? "[" + std::to_string(k) + "]" : "");
    TTIFFDirectory dir;
    dir.stream = &stream;
    dir.littleEndian = header.littleEndian;
    std::int32_t n = 0;
    if (!ReadDirectoryChain(k, header.firstOffset, dir, n))
      continue;
    TTIFFVars v;
    bool varsOk = FillTIFFVars(dir, v).ok();
    std::string why;
    const bool covered = varsOk && Covered(v, why) && v.imageWidth > 0 && v.imageLength > 0;

    TIOParamsVals params;
    params.SetImageIndex(k);
    std::atomic<bool> abort{false};
    ProgressRecord pr;
    pr.abortFlag = &abort;
    TVlBitmap bm;
    std::unique_ptr<TVlMask> mask;
    std::int32_t count = 0;
    stream.Seek(0);
    TVlStatus st = ReadTIFF(&bm, stream, count, &params, pr, false, &mask, false, false, false);
    if (!covered) {
      ++stats.refused;
      stats.refusals.push_back(name + ": " + why + " -> " + DescribeStatus(st));
      EXPECT_TRUE(!st.ok() && abort.load() && *st.reason) << name << ": a page outside the covered layouts ("
                                                           << why << ") must be refused with a reason";
      continue;
    }
    ++stats.covered;
    if (!st.ok() || abort) {
      // Old-style JPEG pages that carry only the JPEGQTables / JPEGDCTables / JPEGACTables tags
      // and no interchange data: the old-style JPEG reader does not rebuild a JPEG stream from
      // those tables.
      if (v.compression == 6 && v.jpegInterchangeOffset == 0 && FindTag(dir, 519) >= 0) {
        ++stats.knownLimits;
        stats.notes.push_back(name + ": old-style JPEG from tables only, not decoded (" + DescribeStatus(st) + ")");
        continue;
      }
      stats.failures.push_back(name + ": " + DescribeStatus(st));
      continue;
    }
    const bool jpeg = v.compression == 6 || v.compression == 7;
    const bool approx = jpeg || v.photometric == 6;
    if (v.photometric == 8 && !jpeg) {
      // libtiff converts CIE L*a*b* with the page's white point; this reader uses D65 (sRGB).
      ++stats.noReference;
      stats.notes.push_back(name + ": L*a*b* page, libtiff's conversion differs by design");
      continue;
    }
    const bool useRaw = !jpeg && (v.bitsPerSample == 16 || v.orientation != 1 ||
                                  ((v.photometric <= 1) && (v.bitsPerSample == 3 || v.bitsPerSample == 5 ||
                                                            v.bitsPerSample == 6 || v.bitsPerSample == 7)));
    const TRefPage* ref = nullptr;
    if (useRaw) {
      if (!haveRaw) {
        raw = Reference("raw", file);
        haveRaw = true;
      }
      if (std::size_t(k) < raw.size())
        ref = &raw[std::size_t(k)];
    } else {
      if (!haveRgba) {
        // libtiff's own test suite keeps the expected decoding of some files beside them.
        fs::path expected = file.parent_path().parent_path() / "test-refs" / ("o-" + file.stem().string() + ".tiff");
        rgba = Reference("rgba", fs::exists(expected) && file.parent_path().filename() == "test-images" ? expected : file);
        haveRgba = true;
      }
      if (std::size_t(k) < rgba.size())
        ref = &rgba[std::size_t(k)];
    }
    if (!ref || ref->w != bm.Width() || ref->h != bm.Height() ||
        ref->px.size() < std::size_t(ref->rowBytes()) * std::size_t(ref->h)) {
      ++stats.noReference;
      stats.notes.push_back(name + ": no libtiff reference");
      continue;
    }
    // Unassociated alpha is premultiplied by libtiff's RGBA path.
    const bool premultiply = !useRaw && mask && v.photometric == 2 && v.extraSamples == 2;
    int worst = 0;
    std::int64_t diffs = 0, sum = 0;
    int firstX = -1, firstY = -1;
    for (int y = 0; y < ref->h; ++y) {
      for (int x = 0; x < ref->w; ++x) {
        int er, eg, eb, ea = 255;
        if (useRaw) {
          if (v.bitsPerSample == 1) {
            const std::uint8_t* row = ref->px.data() + std::size_t(y) * ref->rowBytes();
            bool bit = (row[x >> 3] >> (7 - (x & 7))) & 1;
            bool white = ref->photometric == 0 ? !bit : bit;
            er = eg = eb = white ? 255 : 0;
          } else {
            RawExpected(*ref, v, x, y, er, eg, eb, ea);
          }
        } else {
          const std::uint8_t* p = ref->px.data() + (std::size_t(y) * ref->w + x) * std::size_t(ref->spp);
          er = p[0];
          eg = p[1];
          eb = p[2];
          ea = ref->spp >= 4 ? p[3] : 255;
        }
        int r, g, b;
        OurRGB(bm, x, y, r, g, b);
        if (premultiply) {
          int a = mask->RowPointer(y)[x];
          r = (r * a + 127) / 255;
          g = (g * a + 127) / 255;
          b = (b * a + 127) / 255;
        }
        int d = std::max({std::abs(r - er), std::abs(g - eg), std::abs(b - eb)});
        sum += std::abs(r - er) + std::abs(g - eg) + std::abs(b - eb);
        if (mask && (v.photometric == 2 || v.bitsPerSample == 16) && v.photometric != 3)
          d = std::max(d, std::abs(int(mask->RowPointer(y)[x]) - ea));
        if (d) {
          if (!diffs) {
            firstX = x;
            firstY = y;
          }
          ++diffs;
          worst = std::max(worst, d);
        }
      }
    }
    const double mean = double(sum) / (double(ref->w) * ref->h * 3);
    if (diffs == 0) {
      ++stats.exact;
    } else if (approx && worst <= (jpeg ? 2 : 3)) {
      ++stats.nearly;
      stats.notes.push_back(name + ": within " + std::to_string(worst) + " (colour conversion)");
    } else if (v.compression == 6 && mean <= 2.0) {
      // libtiff decodes old-style JPEG to raw YCbCr and converts and upsamples it itself.
      ++stats.nearly;
      char buf[160];
      std::snprintf(buf, sizeof buf, ": old-style JPEG, mean difference %.2f, worst %d (libtiff's own YCbCr conversion)",
                    mean, worst);
      stats.notes.push_back(name + buf);
    } else {
      std::ostringstream o;
      o << name << ": " << diffs << " pixels differ, worst " << worst << ", first at (" << firstX << ", " << firstY
        << ")";
      stats.failures.push_back(o.str());
    }
  }
}

}  // namespace

TEST(TIFFCorpus, EveryPageMatchesLibtiff) {
  VL_REQUIRE_CORPUS("tiff-inventory.tsv");
  if (!ToolsPresent())
    GTEST_SKIP() << "libtiff tools (tiff2rgba, tiffcp) not installed";
  InstallDefaultCodecs();
  std::ifstream inv(CorpusPath("tiff-inventory.tsv"));
  std::string line;
  std::getline(inv, line);
  TStats stats;
  int files = 0;
  while (std::getline(inv, line)) {
    std::string rel = line.substr(0, line.find('\t'));
    fs::path file = CorpusPath(rel);
    if (!fs::exists(file))
      continue;
    ++files;
    CheckFile(file, rel, stats);
  }
  std::printf("TIFF corpus: %d files, %d pages; covered %d: exact %d, within tolerance %d, no reference %d, "
              "known limitations %d, failed %zu; refused (outside the covered layouts) %d\n",
              files, stats.pages, stats.covered, stats.exact, stats.nearly, stats.noReference, stats.knownLimits,
              stats.failures.size(), stats.refused);
  for (const std::string& n : stats.refusals)
    std::printf("  refused: %s\n", n.c_str());
  for (const std::string& n : stats.notes)
    std::printf("  note: %s\n", n.c_str());
  for (const std::string& f : stats.failures)
    std::printf("  FAIL: %s\n", f.c_str());
  EXPECT_TRUE(stats.failures.empty());
}
