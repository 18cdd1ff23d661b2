// The operation frame: nothing without an image, format admission by the preference table,
// region operations with rectangular and shaped selections, events and refresh.
#include <gtest/gtest.h>

#include "proc/proc.h"
#include "proc_test_util.h"

using namespace proctest;

TEST(Frame, PreferenceTable) {
  struct Case {
    TVlPixelFormat from;
    TVlFormatSet admitted;
    TVlPixelFormat expect;
  } cases[] = {
      {vl1g, VlFormats({vl24RGB}), vl24RGB},          // 1-bit pages become 24-bit for colour operations
      {vl1g, VlFormats({vl8g, vl24RGB}), vl8g},       // ... and 8-bit gray for the blur
      {vl1g, VlFormats({vl1g, vl24RGB}), vl1g},       // admitted: unchanged
      {vl8p, VlFormats({vl8g}), vl8g},                // no candidate: highest admitted
      {vl8p, VlFormats({vl1g, vl8g, vl16g}), vl16g},  // 9 down to 0
      {vl24RGB, VlFormats({vl1g, vl8g}), vl8g},       // 7, 9, 8, 2, 4, 3: vl8g is the first admitted
      {vl24RGB, VlFormats({vl8p, vl8g}), vl8p},
      {vl16g, VlFormats({vl8g, vl24RGB}), vl8g},
      {vlCMYK, VlFormats({vl8g, vlRGB48}), vlRGB48},
      {vlCIELab, VlFormats({vl1g}), vl1g},
      {vl8g, 0, vlNone},
  };
  for (const auto& c : cases)
    EXPECT_EQ(VlAdmittedFormat(c.from, c.admitted), c.expect)
        << VlPixelFormatName(c.from) << " -> " << VlPixelFormatName(c.expect);
}

TEST(Frame, NothingHappensWithoutAnImage) {
  TVlProc proc;
  int events = 0;
  proc.OnFinishWork = [&](TVlProc&) { ++events; };
  proc.OnProgress = [&](TVlProc&, int) { ++events; };
  proc.Rotate(true, -1, 90);
  proc.Negative();
  proc.Blur(4);
  proc.TrimBorders(6);
  proc.AutoContrast();
  proc.ConvertToBW_FloyedSteinberg();
  proc.ImageResize(10, 10, 1, 1);
  TVlBitmap empty;
  proc.SetImage(&empty);
  proc.Flip(0);
  proc.AutoSharp(68, 0.035);
  EXPECT_EQ(events, 0);
  EXPECT_EQ(proc.UndoDepth(), 0);
}

TEST(Frame, WorksOnAPlainImageWithoutAView) {
  TVlBitmap img;
  MakeImage(img, 6, 3, vl8g, 2);
  TVlProc proc;
  proc.SetImage(&img);
  proc.SetBackground(clWhite);
  EXPECT_EQ(proc.Background(), clWhite);
  proc.Rotate(true, -1, 90);
  EXPECT_EQ(img.Width(), 3);
  EXPECT_EQ(proc.UndoDepth(), 1);  // the default limit is 1
}

TEST(Frame, EventsComeInOrderAfterTheWork) {
  TVlSimpleView view;
  MakeImage(view.image, 40, 30, vl24RGB, 1);
  TVlProc proc(&view);
  std::vector<std::string> log;
  proc.OnSaveUndo = [&](TVlProc&, std::uint8_t kind) { log.push_back("undo" + std::to_string(kind)); };
  proc.OnProgress = [&](TVlProc&, int p) {
    if (p == 100)
      log.push_back("100 refreshed=" + std::to_string(view.refreshCount));
  };
  proc.OnFinishWork = [&](TVlProc&) { log.push_back("finish"); };
  proc.Blur(1);
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(log.front(), "undo1");
  EXPECT_EQ(log[log.size() - 2], "100 refreshed=1");
  EXPECT_EQ(log.back(), "finish");
}

TEST(Frame, AdmittedFormatStaysAndUndoKeepsTheOriginal) {
  TVlSimpleView view;
  MakeImage(view.image, 9, 7, vl1g, 3);
  TVlProc proc(&view);
  proc.SetUndoLimit(5);
  proc.Blur(1);
  EXPECT_EQ(view.image.PixelFormat(), vl8g);
  proc.ApplyUndo(0);
  EXPECT_EQ(view.image.PixelFormat(), vl1g);  // recorded before the conversion
  proc.WhiteBalance_AutoWhite();
  EXPECT_EQ(view.image.PixelFormat(), vl24RGB);
  // Without AutoConvertFormat the operation sees the format as it is.
  TVlSimpleView v2;
  MakeImage(v2.image, 9, 7, vl1g, 3);
  TVlBitmap before;
  Copy(before, v2.image);
  TVlProc p2(&v2);
  p2.AutoConvertFormat = false;
  p2.AutoSharp(68, 0.035);
  EXPECT_TRUE(SamePixels(v2.image, before));
}

TEST(Frame, RegionOperationsChangeOnlyTheSelection) {
  // A rectangular selection and a shaped one (every other pixel of a diagonal band).
  for (bool shaped : {false, true})
    for (TVlPixelFormat f : {vl1g, vl8g, vl24RGB}) {
      TVlSimpleView view;
      MakeImage(view.image, 37, 23, f, 4);
      TVlBitmap before;
      Copy(before, view.image);
      view.SelectRect(5, 3, 20, 15);
      if (shaped) {
        TVlMask* m = view.selection.get();
        ASSERT_TRUE(m->Allocate(37, 23, 8).ok());
        for (int y = 0; y < 23; ++y)
          for (int x = 0; x < 37; ++x)
            if ((x + y) % 2 == 0 && std::abs(x - y) < 6)
              m->SetPixel(x, y, 255);
      }
      TVlProc proc(&view);
      proc.Negative();
      const TVlMask& m = *view.selection;
      for (int y = 0; y < 23; ++y)
        for (int x = 0; x < 37; ++x) {
          const std::uint64_t full = f == vl1g ? 1 : f == vl8g ? 0xFF : 0xFFFFFF;
          const std::uint64_t expect = m.GetPixel(x, y) ? Px(before, x, y) ^ full : Px(before, x, y);
          ASSERT_EQ(Px(view.image, x, y), expect)
              << VlPixelFormatName(f) << " shaped " << shaped << " at " << x << "," << y;
        }
    }
}

TEST(Frame, EmptySelectionMeansNothingToDo) {
  TVlSimpleView view;
  MakeImage(view.image, 10, 10, vl24RGB, 5);
  TVlBitmap before;
  Copy(before, view.image);
  view.selection = std::make_unique<TVlMask>();
  ASSERT_TRUE(view.selection->Allocate(10, 10, 1).ok());  // nothing set
  TVlProc proc(&view);
  proc.Negative();
  proc.Blur(4);
  proc.CropSel();
  EXPECT_TRUE(SamePixels(view.image, before));
  EXPECT_EQ(proc.UndoDepth(), 0);
  EXPECT_EQ(view.refreshCount, 0);
  // A selection entirely outside the image is empty too.
  view.selection = std::make_unique<TVlMask>();
  ASSERT_TRUE(view.selection->Allocate(30, 30, 1).ok());
  view.selection->SetPixel(25, 25, 1);
  proc.Negative();
  EXPECT_TRUE(SamePixels(view.image, before));
}

TEST(Frame, PaletteNegativeChangesTheWholeImage) {
  TVlSimpleView view;
  MakeImage(view.image, 8, 8, vl8p, 6);
  TVlBitmap before;
  Copy(before, view.image);
  view.SelectRect(0, 0, 1, 1);
  TVlProc proc(&view);
  proc.Negative();
  for (int i = 0; i < 256; ++i) {
    EXPECT_EQ(view.image.Palette()[i].r, 255 - before.Palette()[i].r);
    EXPECT_EQ(view.image.Palette()[i].b, 255 - before.Palette()[i].b);
  }
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x) ASSERT_EQ(Px(view.image, x, y), Px(before, x, y));
}

TEST(Frame, FillValueFollowsTheFormat) {
  TVlBitmap g(1, 1, vl8g), b(1, 1, vl1g), c(1, 1, vl24RGB), w(1, 1, vl16g);
  const TVlColor gray = VlColor(160, 160, 164);
  EXPECT_EQ(VlFillValue(g, gray), VlGray(160, 160, 164));
  EXPECT_EQ(VlFillValue(w, gray), VlGray(160, 160, 164) * 257.0);
  EXPECT_NE(VlFillValue(b, VlColor(1, 0, 0)), 0);  // any non-zero colour paints white
  EXPECT_EQ(VlFillValue(c, gray), double(gray));
}
