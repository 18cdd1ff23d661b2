// Copy and paste: payloads, the order of formats, untrusted blocks, undo, and ImageMagick
// reading the BMP we offer.
#include "proc/clipboard.h"

#include <gtest/gtest.h>

#include <fstream>

#include "magick_util.h"
#include "proc/proc.h"
#include "proc_test_util.h"

using namespace proctest;

namespace {
struct Page {
  TVlSimpleView view;
  TVlProc proc{&view};
  Page() { proc.SetUndoLimit(5); }
};
}  // namespace

TEST(Clipboard, OneBitPageCopiesAsBlackAndWhiteDibAndPastesBack) {
  Page a;
  MakeImage(a.view.image, 13, 7, vl1g, 3);
  TVlMemoryClipboard clip;
  a.proc.CopyImageToClipboard(clip, false);
  std::vector<std::uint8_t> bmp;
  ASSERT_TRUE(clip.GetData(kVlMimeBmp, bmp));
  EXPECT_FALSE(clip.GetData(kVlMimeRaw, bmp = {}));
  ASSERT_TRUE(clip.GetData(kVlMimeBmp, bmp));
  ASSERT_GE(bmp.size(), 14u + 48);
  EXPECT_EQ(bmp[14 + 14], 1);  // one bit per pixel
  EXPECT_EQ(std::vector<std::uint8_t>(bmp.begin() + 54, bmp.begin() + 62),
            (std::vector<std::uint8_t>{0, 0, 0, 0, 255, 255, 255, 255}));
  Page b;
  b.proc.PasteFromClipboard(clip);
  EXPECT_TRUE(SamePixels(b.view.image, a.view.image));
  EXPECT_EQ(b.view.refreshCount, 1);
}

TEST(Clipboard, RawSnapshotWinsAndKeepsTheAlphaPlane) {
  Page a;
  MakeImage(a.view.image, 9, 6, vl24RGB, 4);
  a.view.image.SetAlphaAt(2, 3, 17);
  TVlMemoryClipboard clip;
  a.proc.CopyImageToClipboard(clip, true);
  Page b;
  MakeImage(b.view.image, 4, 4, vl8g, 1);
  b.proc.PasteFromClipboard(clip);
  EXPECT_TRUE(SamePixels(b.view.image, a.view.image));
  EXPECT_EQ(b.view.image.AlphaAt(2, 3), 17);
  EXPECT_EQ(b.proc.UndoCaption(), "PasteFromClipboard");
  b.proc.ApplyUndo(0);
  EXPECT_EQ(b.view.image.Width(), 4);
}

TEST(Clipboard, PayloadSizes) {
  TVlBitmap rgb(2, 2, vl24RGB);
  TVlClipboardPayloads p = MakeClipboardPayloads(rgb, true, 300);
  EXPECT_EQ(p.dib.size(), 44u + 8 * 2);
  EXPECT_EQ(p.bmp.size(), 14u + 40 + 8 * 2);
  EXPECT_EQ(std::int64_t(p.raw.size()), rgb.RawSnapshotSize());
  EXPECT_TRUE(p.png.empty());  // no PNG encoder installed
  TVlBitmap empty;
  EXPECT_TRUE(MakeClipboardPayloads(empty).bmp.empty());
}

TEST(Clipboard, UnreadableBlocksChangeNothing) {
  Page b;
  MakeImage(b.view.image, 5, 5, vl8g, 2);
  TVlBitmap before;
  Copy(before, b.view.image);
  struct Case {
    const char* mime;
    std::vector<std::uint8_t> data;
  } cases[] = {
      {kVlMimeRaw, {'T', 'V', 'L', 'B', 'I', 'T', 'M', 'A', 'P', 'R', 'A', 'X', 0, 0, 0, 0}},
      {kVlMimeRaw, {'T', 'V', 'L', 'B', 'I', 'T', 'M', 'A', 'P', 'R', 'A', 'W', 0xFF, 0xFF, 0xFF, 0xFF}},
      {kVlMimeBmp, {'B', 'M', 1, 2, 3}},
      {kVlMimeBmp, {40, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x7F}},
      {kVlMimePng, {0x89, 'P', 'N', 'G'}},  // no decoder installed
      {"text/plain", {'h', 'i'}},
  };
  for (const auto& c : cases) {
    TVlMemoryClipboard clip;
    clip.SetData(c.mime, c.data);
    // A DIB offered as well is not used: the first format on offer decides.
    TVlBitmap other(3, 3, vl24RGB);
    if (std::string(c.mime) == kVlMimeRaw)
      clip.SetData(kVlMimeBmp, MakeClipboardPayloads(other, false).bmp);
    b.proc.PasteFromClipboard(clip);
    EXPECT_TRUE(SamePixels(b.view.image, before)) << c.mime;
    EXPECT_EQ(b.proc.UndoDepth(), 0) << c.mime;
  }
}

TEST(Clipboard, ClosedClipboardDoesNothing) {
  Page a;
  MakeImage(a.view.image, 5, 5, vl8g, 2);
  TVlMemoryClipboard clip;
  clip.canOpen = false;
  a.proc.CopyImageToClipboard(clip, true);
  EXPECT_TRUE(clip.items.empty());
  clip.canOpen = true;
  a.proc.CopyImageToClipboard(clip, true);
  clip.canOpen = false;
  Page b;
  b.proc.PasteFromClipboard(clip);
  EXPECT_TRUE(b.view.image.IsEmpty());
}

TEST(Clipboard, HeaderlessDibAndPngHooks) {
  TVlBitmap src;
  MakeImage(src, 6, 4, vl24RGB, 8);
  TVlClipboardPayloads p = MakeClipboardPayloads(src, false);
  TVlBitmap got;
  ASSERT_TRUE(PasteFromClipboardData(kVlMimeBmp, p.dib.data(), p.dib.size(), got));
  EXPECT_TRUE(SamePixels(got, src));
  // The PNG hooks are called for copy and paste.
  auto saved = VlClipboardCodecs();
  int encoded = 0;
  VlClipboardCodecs().encodePng = [&](TVlBitmap&, std::vector<std::uint8_t>& out) {
    ++encoded;
    out = {1, 2, 3};
    return true;
  };
  VlClipboardCodecs().decodePng = [&](const std::uint8_t*, std::size_t n, TVlBitmap& img) {
    return n == 3 && img.AllocateImage(7, 7, vl8g).ok();
  };
  TVlClipboardPayloads q = MakeClipboardPayloads(src, false);
  EXPECT_EQ(encoded, 1);
  EXPECT_EQ(q.png, (std::vector<std::uint8_t>{1, 2, 3}));
  TVlMemoryClipboard clip;
  clip.SetData(kVlMimeBmp, p.bmp);
  clip.SetData(kVlMimePng, q.png);
  Page b;
  b.proc.PasteFromClipboard(clip);
  EXPECT_EQ(b.view.image.Width(), 7);  // PNG comes before BMP
  VlClipboardCodecs() = saved;
}

TEST(Clipboard, ImageMagickReadsTheBmpWeOffer) {
  VL_REQUIRE_MAGICK();
  magick::TempDir dir;
  for (TVlPixelFormat f : {vl1g, vl8g, vl8p, vl24RGB}) {
    TVlBitmap src;
    MakeImage(src, 37, 11, f, 6);
    TVlClipboardPayloads p = MakeClipboardPayloads(src, false);
    {
      std::ofstream o(dir / "c.bmp", std::ios::binary);
      o.write(reinterpret_cast<const char*>(p.bmp.data()), std::streamsize(p.bmp.size()));
    }
    ASSERT_TRUE(magick::Convert(magick::Quote(dir / "c.bmp") + " -depth 8 ppm:" + magick::Quote(dir / "c.ppm")));
    TVlBitmap theirs;
    ASSERT_TRUE(magick::ReadPnm(dir / "c.ppm", theirs));
    ASSERT_EQ(theirs.Width(), 37);
    ASSERT_EQ(theirs.Height(), 11);
    for (int y = 0; y < 11; ++y)
      for (int x = 0; x < 37; ++x)
        ASSERT_EQ(Rgb(theirs, x, y), src.PixelAsRGB(x, y)) << VlPixelFormatName(f) << " " << x << "," << y;
  }
}
