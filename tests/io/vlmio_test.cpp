// TVlMIO: insertion point and on-demand pages, the save loops with their writer modes and
// progress, failing writers, PDF output, downloads into the store and acquisition.
#include "imaging/io/vlmio.h"

#include <gtest/gtest.h>

#include <string>

#include "imaging/formats/png.h"
#include "imaging/io/filetypes.h"
#include "imaging/io/http.h"
#include "imaging/io/pagestore.h"
#include "test_paths.h"
#include "test_streams.h"

namespace {

std::vector<std::uint8_t> MakePNG(std::int32_t w, std::int32_t h, int seed) {
  TVlBitmap img(w, h, vl24RGB);
  for (int y = 0; y < h; ++y)
    for (int i = 0; i < img.RowLength(); ++i)
      img.RowPointer(y)[i] = static_cast<std::uint8_t>(i * 3 + y * 5 + seed);
  TIOParamsVals p;
  TVlMemoryStream out;
  ProgressRecord pr;
  EXPECT_TRUE(WritePNG(out, img, p, pr, nullptr).ok());
  return {out.Data(), out.Data() + out.Size()};
}

void AddPages(TVlPageStore& s, int n) {
  for (int i = 0; i < n; ++i) {
    TVlBitmap b(10 + i, 10, vl8g);
    b.FillImage(i * 10);
    const std::int32_t k = s.InsertPageNoSelect(s.PageCount());
    s.SetPageImage(k, b);
    s.SetPageInfoText(k, "p" + std::to_string(i));
  }
}

struct WriterCall {
  bool insert;
  TIOParamsVals* record;
  std::int32_t imageIndex;
  std::int32_t width;
};

class FakeFetcher : public TVlHttpFetcher {
 public:
  std::vector<std::uint8_t> body;
  std::string contentType;
  TVlStatus Get(const TVlHttpRequest&, TVlHttpResponse& resp,
                const std::function<bool(std::int64_t, std::int64_t)>& progress) override {
    resp.status = 200;
    resp.contentType = contentType;
    resp.body = body;
    progress(static_cast<std::int64_t>(body.size()), static_cast<std::int64_t>(body.size()));
    return TVlStatus::Ok();
  }
};

}  // namespace

TEST(TVlMIO, SingleImageFilesBecomeOnDemandPagesAtTheInsertionPoint) {
  TTempFolder dir;
  WriteWholeFile(dir / "a.png", MakePNG(11, 7, 1));
  WriteWholeFile(dir / "b.PNG", MakePNG(13, 5, 2));
  TVlPageStore s;
  AddPages(s, 4);
  s.SelectPage(1);
  std::vector<int> progress;
  int finished = 0;
  s.MIO().OnProgress = [&](TVlMIO*, int p) { progress.push_back(p); };
  s.MIO().OnFinishWork = [&](TVlMIO*) { ++finished; };
  s.MIO().LoadAllFromFile("  " + (dir / "a.png").string() + " ");
  ASSERT_FALSE(s.MIO().aborting) << DescribeStatus(s.MIO().LastFailure());
  s.MIO().LoadAllFromFile((dir / "b.PNG").string());
  EXPECT_EQ(s.PageCount(), 6);
  EXPECT_EQ(s.SelectedPage(), 1);  // not shifted
  // Each later file lands in front of the one before it.
  EXPECT_EQ(s.PageFileName(1), (dir / "b.PNG").string());
  EXPECT_EQ(s.PageFileName(2), (dir / "a.png").string());
  EXPECT_EQ(s.PageInfoText(3), "p1");
  EXPECT_FALSE(s.PageHasImage(2));
  EXPECT_EQ(finished, 2);
  EXPECT_EQ(progress.back(), 100);
  TVlBitmap page;
  ASSERT_TRUE(s.CopyPageImage(2, page));
  EXPECT_EQ(page.Width(), 11);
  EXPECT_EQ(s.PageParams(2)->fileType, vlftPNG);
  EXPECT_EQ(s.MIO().ParamsCount(), 6);

  // Without a current page, pages are appended.
  TVlPageStore t;
  AddPages(t, 2);
  t.MIO().LoadAllFromFile((dir / "a.png").string());
  EXPECT_EQ(t.PageFileName(2), (dir / "a.png").string());
}

TEST(TVlMIO, NamesThatLoadNothing) {
  TTempFolder dir;
  WriteWholeFile(dir / "notes.txt", {'h', 'i'});
  TVlPageStore s;
  int finished = 0;
  s.MIO().OnFinishWork = [&](TVlMIO*) { ++finished; };
  s.MIO().LoadAllFromFile("   ");
  EXPECT_TRUE(s.MIO().aborting);
  EXPECT_EQ(finished, 0);  // a blank name does nothing else
  s.MIO().LoadAllFromFile((dir / "notes.txt").string());
  EXPECT_TRUE(s.MIO().aborting);
  EXPECT_EQ(finished, 1);
  s.MIO().LoadAllFromFile((dir / "clip.avi").string());
  EXPECT_TRUE(s.MIO().aborting);
  EXPECT_EQ(s.PageCount(), 0);
  EXPECT_THROW(s.MIO().LoadAllFromFile((dir / "missing.tif").string()), TVlFileError);
}

TEST(TVlMIO, SaveAllToFileCallsTheWriterOncePerPageInItsMode) {
  TTempFolder dir;
  TVlPageStore s;
  AddPages(s, 3);
  std::vector<WriterCall> calls;
  std::vector<int> progress;
  int finished = 0;
  TVlMIO& m = s.MIO();
  m.OnProgress = [&](TVlMIO*, int p) { progress.push_back(p); };
  m.OnFinishWork = [&](TVlMIO*) { ++finished; };
  m.tiffPageWriter = [&](TVlStream& st, bool insert, TVlBitmap& img, TIOParamsVals& r, ProgressRecord&) {
    calls.push_back({insert, &r, r.imageIndex, img.Width()});
    (void)st.WriteString(insert ? "+page" : "first");
    return TVlStatus::Ok();
  };
  const auto target = dir / "doc.TIF";
  m.SaveAllToFile(target.string());
  ASSERT_FALSE(m.aborting) << DescribeStatus(m.LastFailure());
  ASSERT_EQ(calls.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(calls[static_cast<std::size_t>(i)].insert, i > 0);
    EXPECT_EQ(calls[static_cast<std::size_t>(i)].record, s.PageParams(i));
    EXPECT_EQ(calls[static_cast<std::size_t>(i)].imageIndex, i);
    EXPECT_EQ(calls[static_cast<std::size_t>(i)].width, 10 + i);
  }
  EXPECT_EQ(progress, (std::vector<int>{0, 33, 66, 100}));
  EXPECT_EQ(finished, 1);
  EXPECT_TRUE(std::filesystem::exists(target));

  // A writer failing on the second page: the previous file stays, no temporary file is left.
  const auto before = ReadWholeFile(target);
  calls.clear();
  m.tiffPageWriter = [&](TVlStream& st, bool insert, TVlBitmap& img, TIOParamsVals& r, ProgressRecord& pr) {
    calls.push_back({insert, &r, r.imageIndex, img.Width()});
    (void)st.WriteString("junk");
    return insert ? pr.Fail(TVlStatus::IoError("disk full")) : TVlStatus::Ok();
  };
  m.SaveAllToFile(target.string());
  EXPECT_TRUE(m.aborting);
  EXPECT_EQ(calls.size(), 2u);  // the loop stops after the failing page
  EXPECT_EQ(ReadWholeFile(target), before);
  EXPECT_EQ(dir.Names(), (std::vector<std::string>{"doc.TIF"}));
  // A writer that throws is a failure too.
  m.tiffPageWriter = [](TVlStream&, bool, TVlBitmap&, TIOParamsVals&, ProgressRecord&) -> TVlStatus {
    throw std::runtime_error("boom");
  };
  m.SaveAllToFile((dir / "other.tif").string());
  EXPECT_TRUE(m.aborting);
  EXPECT_EQ(dir.Names(), (std::vector<std::string>{"doc.TIF"}));
}

TEST(TVlMIO, ExtensionsWithoutAMultiPageWriter) {
  TTempFolder dir;
  TVlPageStore s;
  AddPages(s, 2);
  int finished = 0;
  s.MIO().OnFinishWork = [&](TVlMIO*) { ++finished; };
  s.MIO().SaveAllToFile((dir / "pages.bmp").string());
  EXPECT_TRUE(dir.Names().empty());
  EXPECT_EQ(finished, 0);
  s.MIO().SaveAllToFile("");
  EXPECT_TRUE(s.MIO().aborting);
  s.MIO().SaveAllToFile((dir / "pages.gif").string());
  EXPECT_TRUE(s.MIO().aborting);
  EXPECT_STREQ(s.MIO().LastFailure().reason, "unsupported");
  EXPECT_TRUE(dir.Names().empty());
}

TEST(TVlMIO, PdfOutput) {
  TTempFolder dir;
  TVlPageStore empty;
  WriteWholeFile(dir / "empty.pdf", {'o', 'l', 'd'});
  empty.MIO().SaveAllToPDF((dir / "empty.pdf").string());
  EXPECT_FALSE(empty.MIO().aborting);
  EXPECT_TRUE(ReadWholeFile(dir / "empty.pdf").empty());  // an empty file, no document

  TVlPageStore s;
  AddPages(s, 3);
  s.MIO().SaveAllToFile((dir / "doc.pdf").string());
  ASSERT_FALSE(s.MIO().aborting) << DescribeStatus(s.MIO().LastFailure());
  const auto bytes = ReadWholeFile(dir / "doc.pdf");
  const std::string text(bytes.begin(), bytes.end());
  EXPECT_EQ(text.rfind("%PDF-", 0), 0u);
  EXPECT_NE(text.find("/Count 3"), std::string::npos);
  // A page whose paper size is invalid makes the save fail and leaves no file.
  s.PageParams(1)->pdfPaperWidth = 0;
  s.MIO().SaveAllToPDF((dir / "bad.pdf").string());
  EXPECT_TRUE(s.MIO().aborting);
  EXPECT_FALSE(std::filesystem::exists(dir / "bad.pdf"));
}

TEST(TVlMIO, DownloadedImagesAreDecodedAtOnce) {
  auto f = std::make_shared<FakeFetcher>();
  VlInstallHttpFetcher(f);
  TVlPageStore s;
  AddPages(s, 1);
  f->body = MakePNG(21, 9, 3);
  f->contentType = "image/png";
  s.MIO().LoadAllFromFile("http://example.invalid/scan");
  ASSERT_FALSE(s.MIO().aborting) << DescribeStatus(s.MIO().LastFailure());
  ASSERT_EQ(s.PageCount(), 2);
  EXPECT_TRUE(s.PageHasImage(1));  // nothing depends on a deleted temporary file
  EXPECT_EQ(s.PageImageWidth(1), 21);
  EXPECT_EQ(s.PageParams(1)->fileType, vlftPNG);
  // Content nobody recognises, with a content type that must not choose a file name.
  f->body.assign(200, 0x11);
  f->contentType = "image/../../x";
  s.MIO().LoadAllFromFile("http://example.invalid/scan2");
  EXPECT_TRUE(s.MIO().aborting);
  EXPECT_EQ(s.PageCount(), 2);
  VlInstallHttpFetcher(nullptr);
  s.MIO().LoadAllFromFile("http://example.invalid/scan3");
  EXPECT_TRUE(s.MIO().aborting);
}

TEST(TVlMIO, AcquiredImagesGoToTheAcquirePosition) {
  TVlPageStore s;
  AddPages(s, 2);
  TVlMIO& m = s.MIO();
  m.acquirePosition = 7;  // clamped to the page count
  TVlBitmap scan(5, 5, vl1g);
  EXPECT_EQ(m.AcquireImage(scan), 2);
  EXPECT_EQ(m.acquirePosition, 3);
  EXPECT_EQ(s.PageDelayTime(2), 100);
  m.OnAcquireBitmap = [](TVlBitmap&) { return true; };
  EXPECT_EQ(m.AcquireImage(scan), -1);
  EXPECT_EQ(s.PageCount(), 3);
}
