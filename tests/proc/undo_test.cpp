// Undo and redo histories: limits, captions, the shell's undo and redo sequences, and image
// states kept in temporary files.
#include <gtest/gtest.h>

#include "imaging/stream.h"
#include "proc/history.h"
#include "proc/proc.h"
#include "proc_test_util.h"

using namespace proctest;

namespace {
struct Page {
  TVlSimpleView view;
  TVlProc proc{&view};
  Page(int w, int h, TVlPixelFormat f, int limit) {
    MakeImage(view.image, w, h, f, 11);
    proc.SetUndoLimit(limit);
  }
  // The shell's undo and redo commands.
  void Undo() {
    if (proc.UndoDepth() > 0) {
      proc.RecordRedoState(1);
      proc.ApplyUndo(0);
      proc.DropLastUndo();
    }
  }
  void Redo() {
    if (proc.RedoDepth() > 0) {
      proc.RecordUndoState(1);
      proc.ApplyRedo(0);
      proc.DropLastRedo();
    }
  }
};
}  // namespace

TEST(Undo, LimitFiveKeepsTheFiveNewestStates) {
  Page p(12, 8, vl24RGB, 5);
  std::vector<TVlBitmap> states(6);
  for (int i = 0; i < 6; ++i) {
    Copy(states[size_t(i)], p.view.image);
    p.proc.ImageResize(12 + i, 8, 0, 0);
  }
  ASSERT_EQ(p.proc.UndoDepth(), 5);
  for (int d = 0; d < 5; ++d) EXPECT_EQ(p.proc.UndoCaption(d), "ImageResize " + std::to_string(12 + 5 - d) + ",8");
  // The oldest state (before the first operation) is gone; the others restore exactly.
  for (int d = 0; d < 5; ++d) {
    p.proc.ApplyUndo(d);
    EXPECT_TRUE(SamePixels(p.view.image, states[size_t(5 - d)])) << d;
  }
  p.proc.ApplyUndo(5);  // beyond the history: nothing
  EXPECT_TRUE(SamePixels(p.view.image, states[1]));
  EXPECT_EQ(p.proc.UndoDepth(), 5);  // applying keeps the entries
}

TEST(Undo, ZeroAndNegativeLimitsRecordNothing) {
  for (int limit : {0, -3}) {
    Page p(10, 10, vl1g, limit);
    int saves = 0;
    p.proc.OnSaveUndo = [&](TVlProc&, std::uint8_t) { ++saves; };
    p.proc.Rotate(true, -1, 90);
    p.proc.Negative();
    EXPECT_EQ(p.proc.UndoLimit(), 0);
    EXPECT_EQ(p.proc.UndoDepth(), 0);
    EXPECT_FALSE(p.proc.RecordRedoState(1));
    EXPECT_EQ(p.proc.RedoDepth(), 0);
    EXPECT_EQ(saves, 0);
  }
}

TEST(Undo, UndoThenRedoOfARotation) {
  Page p(9, 5, vl24RGB, 5);
  TVlBitmap original;
  Copy(original, p.view.image);
  p.proc.Rotate(true, -1, 90);
  TVlBitmap rotated;
  Copy(rotated, p.view.image);
  p.Undo();
  EXPECT_TRUE(SamePixels(p.view.image, original));
  EXPECT_EQ(p.proc.RedoDepth(), 1);
  p.Redo();
  EXPECT_TRUE(SamePixels(p.view.image, rotated));
  EXPECT_EQ(p.proc.UndoDepth(), 1);
  EXPECT_EQ(p.proc.RedoDepth(), 0);
  // Undo twice after one operation: the second finds the list empty.
  p.Undo();
  p.Undo();
  EXPECT_TRUE(SamePixels(p.view.image, original));
  EXPECT_EQ(p.proc.UndoDepth(), 0);
}

TEST(Undo, FullRedoHistoryDropsItsOldest) {
  Page p(6, 6, vl8g, 2);
  p.proc.RecordRedoState(1);
  p.proc.Negative();
  p.proc.RecordRedoState(1);
  p.proc.Negative();
  p.proc.RecordRedoState(1);
  EXPECT_EQ(p.proc.RedoDepth(), 2);
}

TEST(Undo, SmallImagesAreNeverRecorded) {
  for (auto [w, h] : {std::pair{1, 9}, std::pair{9, 1}, std::pair{1, 1}}) {
    Page p(w, h, vl8g, 5);
    p.proc.Negative();
    EXPECT_EQ(p.proc.UndoDepth(), 0) << w << "x" << h;
  }
}

TEST(Undo, StatesInTemporaryFilesRestoreEverything) {
  // Every state goes to a file: deflated and stored; palette, alpha plane and format come back.
  for (int level : {0, 1, 9})
    for (TVlPixelFormat f : {vl1g, vl8p, vl24RGB, vlRGB48}) {
      Page p(37, 29, f, 3);
      p.proc.undoMemoryBudget = 0;
      p.proc.undoCompression = level;
      p.view.image.SetAlphaAt(3, 4, 9);
      TVlBitmap original;
      Copy(original, p.view.image);
      p.proc.Rotate(true, -1, 90);
      p.proc.Negative();
      p.proc.ApplyUndo(1);
      EXPECT_TRUE(SamePixels(p.view.image, original)) << VlPixelFormatName(f) << " level " << level;
    }
}

TEST(Undo, MemoryBudgetSendsLaterStatesToFiles) {
  Page p(100, 50, vl24RGB, 5);
  const std::int64_t state = p.view.image.RawSnapshotSize();
  p.proc.undoMemoryBudget = state * 5 / 2;  // room for two states
  TVlBitmap first;
  Copy(first, p.view.image);
  for (int i = 0; i < 4; ++i) p.proc.Negative();
  EXPECT_EQ(p.proc.UndoDepth(), 4);
  EXPECT_EQ(p.proc.HistoryMemoryBytes(), 2 * state);
  p.proc.ApplyUndo(3);  // the oldest, in memory
  EXPECT_TRUE(SamePixels(p.view.image, first));
  p.proc.ApplyUndo(1);  // a newer one, from its file
  EXPECT_TRUE(SamePixels(p.view.image, first));
}

TEST(Undo, StoredImageReportsWhereItLives) {
  TVlBitmap img;
  MakeImage(img, 300, 200, vl8g, 1);
  for (int y = 0; y < 200; ++y) std::memset(img.RowPointer(y), 200, 300);  // a blank page deflates to almost nothing
  TVlStoredImage inMemory, inFile;
  ASSERT_TRUE(inMemory.Store(img, std::int64_t(1) << 30, 1).ok());
  ASSERT_TRUE(inFile.Store(img, 0, 1).ok());
  EXPECT_FALSE(inMemory.InFile());
  EXPECT_TRUE(inFile.InFile());
  EXPECT_LT(inFile.StoredBytes(), 2000);
  TVlBitmap back;
  ASSERT_TRUE(inFile.Restore(back).ok());
  EXPECT_TRUE(SamePixels(back, img));
}

TEST(Undo, DeflateStreamsRoundTripInPieces) {
  std::vector<std::uint8_t> data(200000);
  std::mt19937 rng(3);
  for (size_t i = 0; i < data.size(); ++i) data[i] = std::uint8_t(i % 251 < 200 ? 7 : rng());
  TVlMemoryStream packed;
  {
    TVlDeflateWriter w(packed, 6);
    for (size_t off = 0; off < data.size(); off += 7777)
      ASSERT_TRUE(w.WriteAll(data.data() + off, std::int64_t(std::min<size_t>(7777, data.size() - off))));
    ASSERT_TRUE(w.Finish());
  }
  ASSERT_TRUE(packed.Seek(0));
  TVlInflateReader r(packed, std::int64_t(data.size()));
  std::vector<std::uint8_t> back(data.size() + 10);
  std::int64_t got = 0, n;
  while ((n = r.Read(back.data() + got, 4096)) > 0) got += n;
  ASSERT_EQ(got, std::int64_t(data.size()));
  back.resize(data.size());
  EXPECT_EQ(back, data);
  // A truncated stream ends early instead of inventing data.
  TVlMemoryStream cut(packed.Data(), packed.Size() / 2);
  TVlInflateReader r2(cut, std::int64_t(data.size()));
  got = 0;
  while ((n = r2.Read(back.data() + got, 4096)) > 0) got += n;
  EXPECT_LT(got, std::int64_t(data.size()));
}

TEST(Undo, SelectionStatesGoThroughTheView) {
  struct View : TVlSimpleView {
    std::vector<std::uint8_t> saved = {1, 2, 3}, restored;
    bool SaveUndoData(std::uint8_t kind, std::vector<std::uint8_t>& out) override {
      if (kind != 2)
        return false;
      out = saved;
      return true;
    }
    void RestoreUndoData(std::uint8_t, const std::vector<std::uint8_t>& d) override { restored = d; }
  } view;
  MakeImage(view.image, 4, 4, vl8g, 1);
  TVlProc proc(&view);
  proc.SetUndoLimit(3);
  EXPECT_TRUE(proc.RecordUndoState(2));
  EXPECT_FALSE(proc.RecordUndoState(3));
  proc.ApplyUndo(0);
  EXPECT_EQ(view.restored, view.saved);
}
