// LoadFile, Open and Insert with real multi-page TIFF files (written by our TIFF writer).
#include <gtest/gtest.h>

#include <filesystem>

#include "app/shell/shell.h"
#include "imaging/io/codecs.h"
#include "imaging/io/vlmio.h"
#include "shell_test_support.h"
#include "test_paths.h"

namespace {

// A TIFF file with one bilevel page per width (height 16), so pages are told apart by width.
void WriteTiff(const std::filesystem::path& path, const std::vector<int>& widths) {
  TVlPageStore s;
  for (int w : widths) {
    const int at = s.InsertPageNoSelect(s.PageCount());
    TVlBitmap b(w, 16, vl1g);
    ASSERT_FALSE(b.IsEmpty());
    b.FillImage(1);
    b.FillArea(0, 0, w / 2, 3, 0);
    ASSERT_TRUE(s.SetPageImage(at, b));
    s.PageParams(at)->bitsPerSample = 1;
    s.PageParams(at)->samplesPerPixel = 1;
  }
  s.MIO().SaveAllToFile(path.string());
  ASSERT_FALSE(s.MIO().aborting) << DescribeStatus(s.MIO().LastFailure());
}

class LoadingTest : public ::testing::Test {
 protected:
  TTempFolder dir{"loading"};
  TScriptedPrompter prompter;
  TRecordingHost host;
  TVlShell shell{prompter, host, dir / "vellumo.ini"};

  void SetUp() override {
    if (!VlHaveTIFFCodec())
      GTEST_SKIP() << "the TIFF codec is not part of this build yet";
    shell.Startup();
  }
  std::string File(const std::string& name, const std::vector<int>& widths) {
    const auto p = dir / name;
    WriteTiff(p, widths);
    return p.string();
  }
  std::vector<int> Widths() {
    std::vector<int> w;
    for (int i = 0; i < shell.Store().PageCount(); ++i)
      w.push_back(shell.Store().PageImageWidth(i));
    return w;
  }
};

}  // namespace

TEST_F(LoadingTest, TwoFilesAtStartTheSecondLandsInFrontOfTheFirst) {
  const std::string a = File("a.tif", {10, 11}), b = File("b.tif", {20, 21, 22});
  ASSERT_TRUE(shell.LoadFile(a));
  EXPECT_EQ(shell.Store().SelectedPage(), 0);  // page 0 became current and was shown
  EXPECT_EQ(shell.ShownPage(), 0);
  EXPECT_EQ(shell.View().image.Width(), 10);
  ASSERT_TRUE(shell.LoadFile(b));
  EXPECT_EQ(Widths(), (std::vector<int>{20, 21, 22, 10, 11}));
  EXPECT_EQ(shell.Store().SelectedPage(), 0);  // the index, not the page, stays current
  EXPECT_EQ(shell.ShownPage(), 3);             // the view still shows the first file's page 0
  EXPECT_EQ(shell.DocumentPath(), a);
  ASSERT_EQ(shell.History().Size(), 1u);
  EXPECT_EQ(shell.History().Entries()[0].path, a);
  EXPECT_EQ(host.busyDepth, 0);
  EXPECT_EQ(host.beginBusy, 2);
  // The colour text of a loaded bilevel page.
  EXPECT_EQ(shell.Status().imageInfo, "20 x 16 x 2");
  EXPECT_EQ(shell.Status().pagePosition, " 1/5 ");
}

TEST_F(LoadingTest, InsertPositions) {
  const std::string doc = File("doc.tif", {10, 11, 12, 13, 14});
  const std::string x = File("x.tif", {30, 31}), y = File("y.tif", {40});
  ASSERT_TRUE(shell.LoadFile(doc));

  // No current page: appended at the end.
  shell.Store().DeselectAll();
  prompter.openAnswers.push_back({y});
  shell.InsertFiles();
  EXPECT_EQ(Widths(), (std::vector<int>{10, 11, 12, 13, 14, 40}));

  // Page 3 current: the file's pages start at index 3, the former page 3 follows them; and of
  // two files inserted in one go, the second's pages come first.
  shell.Store().SelectPage(3);
  prompter.openAnswers.push_back({x, y});
  shell.InsertFiles();
  EXPECT_EQ(Widths(), (std::vector<int>{10, 11, 12, 40, 30, 31, 13, 14, 40}));
  EXPECT_EQ(shell.Store().SelectedPage(), 3);
  EXPECT_EQ(shell.ShownPage(), 3);  // Insert ends by showing the current index
  EXPECT_EQ(shell.View().image.Width(), 40);
  EXPECT_EQ(shell.DocumentPath(), doc);
}

TEST_F(LoadingTest, FileThatCannotBeOpenedAndFileWithoutPages) {
  const std::string missing = (dir / "missing.tif").string();
  prompter.answers.push_back(TModalResult::mrOK);
  EXPECT_FALSE(shell.LoadFile(missing));
  ASSERT_EQ(prompter.messages.size(), 1u);
  EXPECT_EQ(prompter.messages[0].kind, TMsgKind::error);
  EXPECT_EQ(prompter.messages[0].buttons, mbOK);
  EXPECT_EQ(prompter.messages[0].text.rfind("无法打开文件：\n" + missing, 0), 0u);
  EXPECT_EQ(host.busyDepth, 0);  // the busy window is gone
  EXPECT_EQ(shell.DocumentPath(), "");
  EXPECT_EQ(shell.History().Size(), 0u);

  // A file that opens but holds no readable page still becomes the document.
  const std::string empty = (dir / "empty.tif").string();
  std::fclose(std::fopen(empty.c_str(), "wb"));
  EXPECT_TRUE(shell.LoadFile(empty));
  EXPECT_EQ(shell.Store().PageCount(), 0);
  EXPECT_EQ(shell.DocumentPath(), empty);
  EXPECT_EQ(shell.Status().title, "Vellumo - empty.tif");
}

TEST_F(LoadingTest, PageCountsComeFromAParametersOnlyRead) {
  const std::string four = File("four.tif", {8, 9, 10, 11});
  EXPECT_EQ(shell.readImageCount(four), 4);
  EXPECT_EQ(shell.readImageCount((dir / "none.tif").string()), 0);
  const auto sample = FixturePath().parent_path().parent_path() / "samples" / "sample.tif";
  if (std::filesystem::exists(sample)) {
    EXPECT_EQ(shell.readImageCount(sample.string()), 4);
  }
}

TEST_F(LoadingTest, FiveHundredPagesLoadWithoutAQuestionFiveHundredAndOneAsk) {
  std::vector<int> widths(500, 8);
  const std::string p500 = File("p500.tif", widths);
  widths.push_back(9);
  const std::string p501 = File("p501.tif", widths);
  ASSERT_TRUE(shell.LoadFile(p500));
  EXPECT_TRUE(prompter.messages.empty());
  EXPECT_EQ(shell.Store().PageCount(), 500);
  EXPECT_EQ(shell.Status().pagePosition, " 1/500 ");
  prompter.answers.push_back(TModalResult::mrNo);
  EXPECT_FALSE(shell.LoadFile(p501));
  ASSERT_EQ(prompter.messages.size(), 1u);
  EXPECT_NE(prompter.messages[0].text.find("页面数量：501"), std::string::npos);
  EXPECT_EQ(shell.Store().PageCount(), 500);
  // Progress went up to 100 while loading.
  ASSERT_FALSE(host.progress.empty());
  EXPECT_EQ(host.progress.back(), 100);
}

TEST_F(LoadingTest, SampleDocumentLoadsWithThumbnails) {
  const auto sample = FixturePath().parent_path().parent_path() / "samples" / "sample.tif";
  if (!std::filesystem::exists(sample))
    GTEST_SKIP() << sample << " missing";
  ASSERT_TRUE(shell.LoadFile(sample.string()));
  ASSERT_EQ(shell.Store().PageCount(), 4);
  const std::vector<std::string> colours = {"2", "2", "256", "24b"};
  for (int i = 0; i < 4; ++i) {
    shell.Store().SelectPage(i);
    EXPECT_EQ(shell.Status().imageInfo.substr(shell.Status().imageInfo.rfind(' ') + 1), colours[i]) << i;
    TVlBitmap thumb;
    EXPECT_EQ(shell.Store().PageThumbnail(i, thumb), TVlThumbState::ready) << i;
    EXPECT_LE(std::max(thumb.Width(), thumb.Height()), 180) << i;
  }
  EXPECT_EQ(shell.Store().PageOriginalWidth(0), 1240);
}
