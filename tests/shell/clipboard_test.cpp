// Copy page image and Paste as new page, through the core's memory clipboard and through the
// system clipboard adapter.
#include <QAction>
#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>

#include <gtest/gtest.h>

#include "app/gui/mainform.h"
#include "app/gui/qt_clipboard.h"
#include "app/shell/shell.h"
#include "proc/clipboard.h"
#include "shell_test_support.h"

namespace {

class ClipboardTest : public ::testing::Test {
 protected:
  TTempFolder dir{"clipboard"};
  TScriptedPrompter prompter;
  TRecordingHost host;
  TVlShell shell{prompter, host, dir / "vellumo.ini"};
  TVlMemoryClipboard clip;

  void SetUp() override { shell.Startup(); }
  // A page with a checkerboard in the given format.
  void AddPage(int w, int h, TVlPixelFormat f) {
    TVlBitmap b(w, h, f);
    ASSERT_FALSE(b.IsEmpty());
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        if (f == vl1g) {
          std::uint8_t& byte = b.RowPointer(y)[x / 8];
          const std::uint8_t bit = std::uint8_t(0x80 >> (x % 8));
          byte = (x + y) % 2 ? std::uint8_t(byte | bit) : std::uint8_t(byte & ~bit);
        } else {
          b.RowPointer(y)[x] = std::uint8_t((x * 7 + y * 3) & 0xFF);
        }
    const int at = shell.Store().InsertPageNoSelect(shell.Store().PageCount());
    ASSERT_TRUE(shell.Store().SetPageImage(at, b));
  }
  bool SamePixels(int a, int b) {
    TVlBitmap x, y;
    shell.Store().CopyPageImage(a, x);
    shell.Store().CopyPageImage(b, y);
    if (x.Width() != y.Width() || x.Height() != y.Height() || x.PixelFormat() != y.PixelFormat())
      return false;
    const int bits = x.Width() * x.BitsPerPixel();
    for (int r = 0; r < x.Height(); ++r) {
      std::vector<std::uint8_t> row(x.RowPointer(r), x.RowPointer(r) + (bits + 7) / 8);
      const std::uint8_t* other = y.RowPointer(r);
      for (int i = 0; i < bits; ++i)  // the padding bits after the last pixel do not count
        if (((row[i / 8] ^ other[i / 8]) >> (7 - i % 8)) & 1)
          return false;
    }
    return true;
  }
};

}  // namespace

TEST_F(ClipboardTest, CopyAndPasteBackAsANewLastPage) {
  AddPage(33, 9, vl1g);
  AddPage(10, 10, vl8g);
  shell.CopyPageImage(clip);  // no image in the view: nothing
  EXPECT_TRUE(clip.items.empty());
  EXPECT_TRUE(host.hints.empty());

  shell.Store().SelectPage(0);
  shell.ShowPage(0);
  shell.CopyPageImage(clip);
  ASSERT_EQ(host.hints.size(), 1u);
  EXPECT_EQ(host.hints[0], "图象复制完成");
  std::vector<std::uint8_t> bytes;
  EXPECT_TRUE(clip.GetData(kVlMimeRaw, bytes));
  EXPECT_TRUE(clip.GetData(kVlMimeBmp, bytes));

  shell.PasteAsNewPage(clip);
  ASSERT_EQ(shell.Store().PageCount(), 3);
  EXPECT_EQ(shell.Store().SelectedPage(), 2);
  EXPECT_EQ(shell.ShownPage(), 2);
  EXPECT_TRUE(SamePixels(0, 2));

  // The raw snapshot is preferred; without it the BMP gives the same 1-bit page.
  clip.items.erase(clip.items.begin());
  ASSERT_FALSE(clip.GetData(kVlMimeRaw, bytes));
  shell.PasteAsNewPage(clip);
  ASSERT_EQ(shell.Store().PageCount(), 4);
  EXPECT_TRUE(SamePixels(0, 3));
}

TEST_F(ClipboardTest, PasteRefusesWhatIsNoImage) {
  AddPage(10, 10, vl8g);
  shell.PasteAsNewPage(clip);  // empty clipboard
  ASSERT_EQ(host.hints.size(), 1u);
  EXPECT_EQ(host.hints[0], "剪切板内容非图像格式，无法粘贴。");
  EXPECT_EQ(shell.Store().PageCount(), 1);

  // A 1-pixel-wide image adds no page.
  TVlBitmap thin(1, 40, vl8g);
  thin.FillImage(0);
  clip.SetData(kVlMimeRaw, thin.WriteRawSnapshot());
  shell.PasteAsNewPage(clip);
  EXPECT_EQ(shell.Store().PageCount(), 1);

  // Garbage under the raw and BMP names: nothing is added, nothing crashes.
  clip.items.clear();
  clip.SetData(kVlMimeRaw, {1, 2, 3, 4, 5});
  shell.PasteAsNewPage(clip);
  clip.items.clear();
  std::vector<std::uint8_t> bmp = {'B', 'M', 0xFF, 0xFF, 0xFF, 0x7F, 0, 0, 0, 0, 54, 0, 0, 0, 40, 0, 0, 0,
                                   0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0xFF, 0x7F, 1, 0, 24, 0};
  clip.SetData(kVlMimeBmp, bmp);
  shell.PasteAsNewPage(clip);
  EXPECT_EQ(shell.Store().PageCount(), 1);
  // A clipboard that cannot be opened counts as empty.
  clip.canOpen = false;
  shell.PasteAsNewPage(clip);
  EXPECT_EQ(shell.Store().PageCount(), 1);
}

TEST_F(ClipboardTest, PastedPageDoesNotInheritAnotherPagesUndo) {
  AddPage(20, 20, vl8g);
  shell.Store().SelectPage(0);
  shell.ShowPage(0);
  shell.Proc().Negative();
  shell.StoreShownPage();
  ASSERT_EQ(shell.Proc().UndoDepth(), 1);
  shell.CopyPageImage(clip);
  shell.PasteAsNewPage(clip);
  ASSERT_EQ(shell.Store().PageCount(), 2);
  EXPECT_EQ(shell.Proc().UndoDepth(), 0);
  shell.Undo();  // nothing to undo: page 1 keeps the pasted image
  EXPECT_TRUE(SamePixels(0, 1));
}

TEST(QtClipboard, WindowCopiesAndPastesThroughTheSystemClipboard) {
  TTempFolder dir("qtclip");
  TScriptedPrompter prompter;
  TMainForm form(&prompter, dir / "vellumo.ini");
  TVlPageStore& s = form.Shell().Store();
  TVlBitmap b(40, 30, vl24RGB);
  b.FillImage(double(0x336699));
  s.SetPageImage(s.InsertPageNoSelect(0), b);
  s.SelectPage(0);
  form.Shell().ShowPage(0);
  form.ActionByName("mnCopyImage")->trigger();
  const QMimeData* md = QGuiApplication::clipboard()->mimeData();
  ASSERT_NE(md, nullptr);
  EXPECT_TRUE(md->hasFormat("application/x-vellumo-raw"));
  EXPECT_TRUE(md->hasFormat("image/bmp"));
  EXPECT_TRUE(md->hasFormat("image/png"));
  form.ActionByName("mnPasteImage")->trigger();
  ASSERT_EQ(s.PageCount(), 2);
  EXPECT_EQ(s.PageImageWidth(1), 40);
  EXPECT_EQ(s.SelectedPage(), 1);

  // Text on the clipboard is no image.
  QGuiApplication::clipboard()->setText(QStringLiteral("不是图像"));
  form.ActionByName("mnPasteImage")->trigger();
  EXPECT_EQ(s.PageCount(), 2);
}
