// Quarter turns, mirrors, negative and crop of real scanned pages agree pixel for pixel with
// ImageMagick. ImageMagick reads each page (to PBM, PGM or PPM; large fax pages cut to a region
// of odd width so that the test stays quick) and applies every operation in one run; we apply
// ours to its reading of the original.
#include <gtest/gtest.h>

#include "magick_util.h"
#include "proc/proc.h"
#include "proc_test_util.h"
#include "test_paths.h"

using namespace proctest;

namespace {

struct Op {
  const char* name;
  const char* magick;  // ImageMagick's operator (its -rotate turns clockwise)
  std::function<void(TVlProc&)> ours;
};

const std::vector<Op>& Ops() {
  static const std::vector<Op> ops = {
      {"left", "-rotate 270", [](TVlProc& p) { p.Rotate(true, -1, 90); }},
      {"right", "-rotate 90", [](TVlProc& p) { p.Rotate(true, -1, -90); }},
      {"half", "-rotate 180", [](TVlProc& p) { p.Rotate(true, -1, 180); }},
      {"vmirror", "-flip", [](TVlProc& p) { p.Flip(1); }},
      {"hmirror", "-flop", [](TVlProc& p) { p.Flip(0); }},
      {"negative", "-negate", [](TVlProc& p) { p.Negative(); }},
      {"crop", "-crop 301x207+37+11 +repage", [](TVlProc& p) { p.Crop(37, 11, 37 + 301 - 1, 11 + 207 - 1); }},
  };
  return ops;
}

void CompareWithMagick(const std::string& rel, const char* pnmType, const std::string& region = "") {
  VL_REQUIRE_CORPUS(rel);
  VL_REQUIRE_MAGICK();
  magick::TempDir dir;
  const std::string src = magick::Quote(CorpusPath(rel)) + "[0]";
  std::string cmd = src + (region.empty() ? "" : " -crop " + region + " +repage") + " -depth 8";
  for (const Op& op : Ops())
    cmd += std::string(" \\( +clone ") + op.magick + " -write " + pnmType + ":" + magick::Quote(dir / op.name) +
           " +delete \\)";
  cmd += std::string(" -write ") + pnmType + ":" + magick::Quote(dir / "original") + " null:";
  ASSERT_TRUE(magick::Convert(cmd)) << cmd;
  TVlBitmap original;
  ASSERT_TRUE(magick::ReadPnm(dir / "original", original)) << rel;
  for (const Op& op : Ops()) {
    TVlSimpleView view;
    Copy(view.image, original);
    TVlProc proc(&view);
    op.ours(proc);
    TVlBitmap theirs;
    ASSERT_TRUE(magick::ReadPnm(dir / op.name, theirs)) << rel << " " << op.name;
    EXPECT_TRUE(SamePixels(view.image, theirs)) << rel << " " << op.name;
  }
}

}  // namespace

TEST(MagickOracle, G4FaxPage) {
  CompareWithMagick("libtiff/test-images/testfax4.tiff", "pbm", "517x403+700+900");
}
TEST(MagickOracle, G3FaxPage) {
  CompareWithMagick("libtiff/pics/fax2d.tif", "pbm", "613x389+300+200");
}
TEST(MagickOracle, GrayScan) {
  CompareWithMagick("libtiff/pics/cramps.tif", "pgm");
}
TEST(MagickOracle, ColourPage) {
  CompareWithMagick("libtiff/pics/quad-lzw.tif", "ppm");
}
