// The shell's routines and page-list commands, driven without any window.
#include <gtest/gtest.h>

#include <fstream>

#include <filesystem>

#include "app/shell/shell.h"
#include "app/shell/status.h"
#include "shell_test_support.h"
#include "test_paths.h"

namespace {

// A shell over a page list of `n` pages whose images are told apart by their width (10 + i).
class ShellTest : public ::testing::Test {
 protected:
  TTempFolder dir{"commands"};
  TScriptedPrompter prompter;
  TRecordingHost host;
  TVlShell shell{prompter, host, dir / "vellumo.ini"};

  void SetUp() override { shell.Startup(); }

  void AddPages(int n, TVlPixelFormat format = vl8g) {
    TVlPageStore& s = shell.Store();
    for (int i = 0; i < n; ++i) {
      const int at = s.InsertPageNoSelect(s.PageCount());
      TVlBitmap b(10 + at, 8, format);
      ASSERT_FALSE(b.IsEmpty());
      b.FillImage(format == vl1g ? 1 : 200);
      ASSERT_TRUE(s.SetPageImage(at, b));
    }
  }
  std::vector<int> Widths() {
    std::vector<int> w;
    for (int i = 0; i < shell.Store().PageCount(); ++i)
      w.push_back(shell.Store().PageImageWidth(i));
    return w;
  }
  void Select(std::initializer_list<int> pages) {
    TVlPageStore& s = shell.Store();
    s.DeselectAll();
    s.SetMultiSelectionMode(true);
    for (int p : pages)
      s.SelectPage(p);
    s.SetMultiSelectionMode(false);
  }
  std::vector<int> Selection() {
    auto v = shell.Store().Selection();
    std::sort(v.begin(), v.end());
    return {v.begin(), v.end()};
  }
  // A page pixel, to tell an edited page from an untouched one.
  int Pixel(int page) {
    TVlBitmap b;
    EXPECT_TRUE(shell.Store().CopyPageImage(page, b));
    return b.RowPointer(0)[0];
  }
};

}  // namespace

TEST_F(ShellTest, MoveUpAndDownMoveBlocksAndStopAtTheEnds) {
  struct Case {
    const char* name;
    std::initializer_list<int> selected;
    bool up;
    std::vector<int> order;
    std::vector<int> selectionAfter;
  } cases[] = {
      {"block at the top", {0, 1}, true, {10, 11, 12, 13, 14}, {0, 1}},
      {"pages 1 and 3 up", {1, 3}, true, {11, 10, 13, 12, 14}, {0, 2}},
      {"a gap closes step by step", {0, 2}, true, {10, 12, 11, 13, 14}, {0, 1}},
      {"a block moves as a whole", {2, 3}, true, {10, 12, 13, 11, 14}, {1, 2}},
      {"last page down", {4}, false, {10, 11, 12, 13, 14}, {4}},
      {"block at the bottom", {3, 4}, false, {10, 11, 12, 13, 14}, {3, 4}},
      {"pages 1 and 2 down", {1, 2}, false, {10, 13, 11, 12, 14}, {2, 3}},
  };
  for (const Case& c : cases) {
    shell.Store().ClearPages();
    AddPages(5);
    Select(c.selected);
    if (c.up)
      shell.MoveUp();
    else
      shell.MoveDown();
    EXPECT_EQ(Widths(), c.order) << c.name;
    EXPECT_EQ(Selection(), c.selectionAfter) << c.name;
  }
}

TEST_F(ShellTest, SelectAllAndInvertSelection) {
  AddPages(4);
  const int viewChanges = host.viewChanged;
  shell.InvertSelection();  // nothing selected: everything, the last page current
  EXPECT_EQ(Selection(), (std::vector<int>{0, 1, 2, 3}));
  EXPECT_EQ(shell.Store().SelectedPage(), 3);
  shell.InvertSelection();
  EXPECT_EQ(shell.Store().SelectedPageCount(), 0);
  EXPECT_EQ(shell.Store().SelectedPage(), -1);

  Select({1});
  shell.InvertSelection();
  EXPECT_EQ(Selection(), (std::vector<int>{0, 2, 3}));
  EXPECT_EQ(shell.Store().SelectedPage(), 3);

  Select({2});
  shell.SelectAll();
  EXPECT_EQ(Selection(), (std::vector<int>{0, 1, 2, 3}));
  EXPECT_EQ(shell.Store().SelectedPage(), 3);
  EXPECT_EQ(host.viewChanged, viewChanges);  // neither command touches the view
}

TEST_F(ShellTest, CheckPageSelection) {
  const std::string msg = "在使用本功能前，请先选定需要进行处理的页面。";
  // An empty list stops silently, message or not.
  EXPECT_TRUE(shell.CheckPageSelection(msg));
  EXPECT_TRUE(shell.CheckPageSelection(""));
  EXPECT_TRUE(prompter.messages.empty());

  // One page, none selected: it is selected and shown.
  AddPages(1);
  EXPECT_FALSE(shell.CheckPageSelection(msg));
  EXPECT_EQ(Selection(), std::vector<int>{0});
  EXPECT_EQ(shell.ShownPage(), 0);

  // Several pages, none selected: all of them.
  AddPages(2);
  shell.Store().DeselectAll();
  EXPECT_FALSE(shell.CheckPageSelection(msg));
  EXPECT_EQ(Selection(), (std::vector<int>{0, 1, 2}));
  EXPECT_TRUE(prompter.messages.empty());

  // A selection is left as it is.
  Select({1});
  EXPECT_FALSE(shell.CheckPageSelection(msg));
  EXPECT_EQ(Selection(), std::vector<int>{1});
}

TEST_F(ShellTest, RemoveSelectedAndEmptyAll) {
  AddPages(5);
  shell.SetDocumentPath("/scans/doc.tif");
  Select({1, 3});
  shell.RemoveSelected();
  EXPECT_EQ(Widths(), (std::vector<int>{10, 12, 14}));
  EXPECT_EQ(shell.ShownPage(), shell.Store().SelectedPage());
  shell.EmptyAll();
  EXPECT_EQ(shell.Store().PageCount(), 0);
  EXPECT_FALSE(shell.View().HasImage());
  EXPECT_EQ(shell.ShownPage(), -1);
  EXPECT_EQ(shell.DocumentPath(), "/scans/doc.tif");  // the title stays
  EXPECT_EQ(shell.Status().title, "Vellumo - doc.tif");
}

TEST_F(ShellTest, SwitchingPagesEmptiesTheUndoHistory) {
  AddPages(3);
  shell.Store().SelectPage(0);
  shell.ShowPage(0);
  shell.Proc().Negative();
  ASSERT_EQ(shell.Proc().UndoDepth(), 1);
  shell.ShowPage(0);  // the same page again: the history stays
  EXPECT_EQ(shell.Proc().UndoDepth(), 1);
  shell.ShowPage(1);
  EXPECT_EQ(shell.Proc().UndoDepth(), 0);
  shell.Proc().Negative();
  shell.ShowPage(0);  // and back: forgotten, although nothing was edited there
  EXPECT_EQ(shell.Proc().UndoDepth(), 0);
  // Any change of the page count forgets it too.
  shell.Proc().Negative();
  AddPages(1);
  shell.ShowPage(0);
  EXPECT_EQ(shell.Proc().UndoDepth(), 0);
}

TEST_F(ShellTest, UndoGoesIntoTheShownPageWhenTheCurrentIndexMoved) {
  AddPages(3);
  shell.Store().SelectPage(1);
  shell.ShowPage(1);
  const int before = Pixel(1);
  shell.Proc().Negative();
  shell.StoreShownPage();
  ASSERT_NE(Pixel(1), before);
  // Select all makes the last page current without showing it.
  shell.SelectAll();
  ASSERT_EQ(shell.Store().SelectedPage(), 2);
  const int last = Pixel(2);
  shell.Undo();
  EXPECT_EQ(Pixel(1), before);  // restored where it was edited
  EXPECT_EQ(Pixel(2), last);    // the current page is untouched
  EXPECT_EQ(shell.Proc().RedoDepth(), 1);
  shell.Redo();
  EXPECT_NE(Pixel(1), before);
  EXPECT_EQ(Pixel(2), last);
}

TEST_F(ShellTest, TheShownPageFollowsMovesAndInsertions) {
  AddPages(4);
  Select({0});
  shell.ShowPage(0);
  shell.Proc().Negative();
  shell.StoreShownPage();
  const int edited = Pixel(0);
  shell.MoveDown();  // the page now sits at index 1, still shown
  EXPECT_EQ(shell.ShownPage(), 1);
  EXPECT_EQ(Pixel(1), edited);
  // Pages inserted in front of it move it on.
  shell.Store().InsertPageNoSelect(0);
  EXPECT_EQ(shell.ShownPage(), 2);
  shell.Undo();  // restores the original into the page that was edited, now at 2
  EXPECT_NE(Pixel(2), edited);
  EXPECT_EQ(shell.Store().PageImageWidth(1), 11);  // the page moved into index 1 is untouched
  shell.Store().DeletePage(2);
  EXPECT_EQ(shell.ShownPage(), -1);  // gone: later edits have nowhere to go
}

TEST_F(ShellTest, ShowingAnotherPageAtTheSameIndexAfterAMoveForgetsTheHistory) {
  AddPages(3);
  Select({0});
  shell.ShowPage(0);
  shell.Proc().Negative();
  shell.StoreShownPage();
  shell.MoveDown();  // page 0 -> 1; another page is now at index 0
  ASSERT_EQ(shell.Proc().UndoDepth(), 1);
  shell.ShowPage(1);  // the same page: its history stays
  EXPECT_EQ(shell.Proc().UndoDepth(), 1);
  shell.ShowPage(0);  // a different page under the old index
  EXPECT_EQ(shell.Proc().UndoDepth(), 0);
}

TEST_F(ShellTest, BlurEditsTheShownPageOnly) {
  AddPages(3);
  for (int i = 0; i < 3; ++i) {  // a pattern that blurring changes
    TVlBitmap b(20, 20, vl8g);
    for (int y = 0; y < 20; ++y)
      for (int x = 0; x < 20; ++x)
        b.RowPointer(y)[x] = (x + y) % 2 ? 255 : 0;
    ASSERT_TRUE(shell.Store().SetPageImage(i, b));
  }
  Select({0, 1, 2});
  shell.Store().SelectPage(0);
  shell.ShowPage(0);
  shell.InvertSelection();  // page 0 stays shown, another page becomes current
  const int p0 = Pixel(0), p2 = Pixel(2);
  const int busy = host.beginBusy;
  shell.Blur(2);
  EXPECT_NE(Pixel(0), p0);
  EXPECT_EQ(Pixel(2), p2);
  EXPECT_EQ(host.beginBusy, busy + 1);
  EXPECT_EQ(host.busyDepth, 0);
  // No page shown: nothing happens.
  shell.ShowPage(-1);
  shell.Blur(1);
  EXPECT_EQ(host.beginBusy, busy + 1);
}

TEST_F(ShellTest, StatusColourTextsAndCaptions) {
  struct Case {
    TVlPixelFormat format;
    int bits, samples;
    const char* text;
  } cases[] = {{vl1g, 1, 1, "2"}, {vl8g, 8, 1, "256"}, {vl24RGB, 8, 3, "24b"}, {vl24RGB, 8, 4, "32"}};
  for (const Case& c : cases) {
    shell.Store().ClearPages();
    AddPages(1, c.format);
    TIOParamsVals* p = shell.Store().PageParams(0);
    ASSERT_NE(p, nullptr);
    p->bitsPerSample = c.bits;
    p->samplesPerPixel = c.samples;
    shell.Store().SelectPage(0);
    EXPECT_EQ(shell.Status().imageInfo, std::string("10 x 8 x ") + c.text);
    EXPECT_EQ(shell.Status().pagePosition, " 1/1 ");
  }
  shell.Store().DeselectAll();
  EXPECT_EQ(shell.Status().pagePosition, "总页数 1 ");
  EXPECT_TRUE(shell.Status().imageInfoBlank);

  AddPages(2);
  shell.settings.showPageNumber = true;
  shell.settings.showResolution = true;
  shell.UpdateCaptions(2);
  EXPECT_EQ(shell.Store().PageInfoText(2), "第 3 页");
  EXPECT_EQ(shell.Store().PageBottomText(2), "12 x 8");
  shell.settings.showPageNumber = false;
  shell.settings.showResolution = false;
  shell.UpdateCaptions(2);
  EXPECT_EQ(shell.Store().PageInfoText(2), "");
  EXPECT_EQ(shell.Store().PageBottomText(2), "");
}

TEST_F(ShellTest, QuitConfirmation) {
  EXPECT_TRUE(shell.ConfirmClose());  // no pages: never asks
  AddPages(1);
  prompter.answers = {TModalResult::mrNo, TModalResult::mrYes};
  EXPECT_FALSE(shell.ConfirmClose());
  EXPECT_TRUE(shell.ConfirmClose());
  ASSERT_EQ(prompter.messages.size(), 2u);
  EXPECT_EQ(prompter.messages[0].text, "现在退出 『Vellumo』 吗？\n");
  EXPECT_EQ(prompter.messages[0].kind, TMsgKind::confirmation);
  EXPECT_EQ(prompter.messages[0].buttons, mbYesNo);
  shell.settings.quitConfirm = false;
  EXPECT_TRUE(shell.ConfirmClose());
  EXPECT_EQ(prompter.messages.size(), 2u);
}

TEST_F(ShellTest, LargeFilesAskBeforeLoading) {
  // The files exist (empty: they open, and hold no readable page).
  const std::string exact = (dir / "exactly500.tif").string(), big = (dir / "big.tif").string();
  std::ofstream(exact).flush();
  std::ofstream(big).flush();
  int reads = 0;
  shell.readImageCount = [&](const std::string& path) {
    ++reads;
    return path == big ? 501 : 500;
  };
  shell.LoadFile(exact);  // no question
  EXPECT_TRUE(prompter.messages.empty());
  EXPECT_EQ(host.beginBusy, 1);

  prompter.answers = {TModalResult::mrNo};
  EXPECT_FALSE(shell.LoadFile(big));
  ASSERT_EQ(prompter.messages.size(), 1u);
  EXPECT_EQ(prompter.messages[0].kind, TMsgKind::warning);
  EXPECT_EQ(prompter.messages[0].buttons, mbYesNo);
  EXPECT_EQ(prompter.messages[0].text,
            "此图像文件包含大量独立页面，可能会影响加载速度，是否继续加载？\n文件名　：" + big + "\n页面数量：501");
  EXPECT_EQ(host.beginBusy, 1);  // declined: nothing loaded
  prompter.answers = {TModalResult::mrYes};
  shell.LoadFile(big);
  EXPECT_EQ(host.beginBusy, 2);
  EXPECT_EQ(host.busyDepth, 0);
  EXPECT_EQ(reads, 3);

  // An empty path only repaints.
  const int repaints = host.pageListChanged;
  EXPECT_FALSE(shell.LoadFile(""));
  EXPECT_EQ(host.pageListChanged, repaints + 1);
  EXPECT_EQ(reads, 3);
}

TEST_F(ShellTest, UserSelectionShowsTheLastSelectedPage) {
  AddPages(4);
  TVlPageStore& s = shell.Store();
  s.SetUserInput(true);
  s.SelectPage(1);
  s.SetMultiSelectionMode(true);
  s.SelectPage(2);
  s.SelectPage(3);
  s.SetMultiSelectionMode(false);
  s.SetUserInput(false);
  shell.FlushSelectionEvents();
  EXPECT_EQ(shell.ShownPage(), 3);
  EXPECT_EQ(shell.View().image.Width(), 13);
  // Program code selects without events: the view is left alone.
  s.SelectPage(0);
  shell.FlushSelectionEvents();
  EXPECT_EQ(shell.ShownPage(), 3);
}


TEST_F(ShellTest, OpenInsertAndReopenDecideTheDocument) {
  TTempFolder files("docs");
  const std::string a = (files / "a.tif").string(), b = (files / "b.tif").string(), c = (files / "c.tif").string();
  for (const std::string& p : {a, b, c})
    std::fclose(std::fopen(p.c_str(), "wb"));
  std::vector<std::string> loaded;
  shell.readImageCount = [&](const std::string& p) {
    loaded.push_back(p);
    return 0;
  };
  shell.settings.lastOpen = "/old/place/x.tif";

  // Open: the dialog asks for one file, starting in the folder of the last open path.
  prompter.openAnswers.push_back({a});
  shell.OpenDocument();
  ASSERT_EQ(prompter.openRequests.size(), 1u);
  EXPECT_FALSE(prompter.openRequests[0].multiSelect);
  EXPECT_EQ(prompter.openRequests[0].initialDir, "/old/place");
  EXPECT_EQ(prompter.openRequests[0].filterIndex, 1);
  EXPECT_EQ(prompter.openRequests[0].filter.substr(0, 18), "一般图像文件");
  EXPECT_EQ(shell.DocumentPath(), a);
  EXPECT_EQ(host.quietUpdateChecks, 1);

  // Empty all keeps the title; Insert then adds without changing it.
  AddPages(2);
  shell.EmptyAll();
  EXPECT_EQ(shell.DocumentPath(), a);
  prompter.openAnswers.push_back({b, c});
  shell.InsertFiles();
  EXPECT_TRUE(prompter.openRequests[1].multiSelect);
  EXPECT_EQ(shell.DocumentPath(), a);
  EXPECT_EQ(loaded, (std::vector<std::string>{a, b, c}));
  EXPECT_EQ(shell.History().Size(), 1u);

  // Cancelling changes nothing but the use counter; the quiet check ran only once.
  prompter.openAnswers.push_back({});
  shell.OpenDocument();
  EXPECT_EQ(shell.OpenUseCount(), 2);
  EXPECT_EQ(host.quietUpdateChecks, 1);
  prompter.openAnswers.push_back({});
  AddPages(1);
  shell.InsertFiles();
  EXPECT_EQ(shell.Store().PageCount(), 1);

  // A following Open changes the document.
  prompter.openAnswers.push_back({b});
  shell.OpenDocument();
  EXPECT_EQ(shell.DocumentPath(), b);
  EXPECT_EQ(shell.Store().PageCount(), 0);  // the page list was emptied first

  // Reopen reloads the document; after the file is gone it does nothing.
  AddPages(2);
  shell.Reopen();
  EXPECT_EQ(loaded.back(), b);
  EXPECT_EQ(shell.Store().PageCount(), 0);
  AddPages(2);
  std::filesystem::remove(b);
  const std::size_t before = loaded.size();
  shell.Reopen();
  EXPECT_EQ(loaded.size(), before);
  EXPECT_EQ(shell.Store().PageCount(), 2);
  EXPECT_EQ(shell.DocumentPath(), b);
}

TEST_F(ShellTest, RecentFileItemEmptiesThePageListAndLoads) {
  const std::string old = (dir / "old.tif").string(), gone = (dir / "gone.tif").string();
  std::fclose(std::fopen(old.c_str(), "wb"));
  std::vector<std::string> loaded;
  shell.readImageCount = [&](const std::string& p) {
    loaded.push_back(p);
    return 0;
  };
  shell.AddToHistory(old, 10);
  shell.AddToHistory(gone, 20);
  shell.RecentMenuEntries();  // sorts: gone, old
  AddPages(3);
  shell.SetDocumentPath("/scans/current.tif");
  shell.OpenRecent(1);
  EXPECT_EQ(loaded, std::vector<std::string>{old});
  EXPECT_EQ(shell.Store().PageCount(), 0);
  EXPECT_EQ(shell.DocumentPath(), old);

  // An entry whose file is gone: the list is emptied all the same, the load fails with an
  // error naming the file, nothing is recorded, and the entry stays.
  AddPages(2);
  prompter.answers.push_back(TModalResult::mrOK);
  shell.OpenRecent(99);  // outside the list: position 0
  EXPECT_EQ(loaded.back(), gone);
  ASSERT_EQ(prompter.messages.size(), 1u);
  EXPECT_EQ(prompter.messages[0].kind, TMsgKind::error);
  EXPECT_EQ(prompter.messages[0].text.rfind("无法打开文件：\n" + gone, 0), 0u);
  EXPECT_EQ(shell.Store().PageCount(), 0);
  EXPECT_EQ(shell.DocumentPath(), "");
  EXPECT_EQ(host.busyDepth, 0);
  EXPECT_EQ(shell.History().Size(), 2u);
}
