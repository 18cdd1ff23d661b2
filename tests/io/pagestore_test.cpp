// The page store: selection rules, page moves and deletions, the image store with its LRU,
// check-out, on-demand and background loading, thumbnails.
#include "imaging/io/pagestore.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "imaging/io/thumbnail.h"
#include "imaging/io/vlmio.h"
#include "test_streams.h"

namespace {

// A bitmap whose bytes depend on (x, y, seed), so copies can be compared.
void Fill(TVlBitmap& b, std::int32_t w, std::int32_t h, TVlPixelFormat f, int seed) {
  ASSERT_TRUE(b.AllocateImage(w, h, f).ok());
  for (std::int32_t y = 0; y < h; ++y) {
    std::uint8_t* r = b.RowPointer(y);
    for (std::int32_t i = 0; i < b.RowLength(); ++i)
      r[i] = static_cast<std::uint8_t>(i * 7 + y * 13 + seed * 31);
  }
  if (f == vl8p)
    for (int i = 0; i < 256; ++i)
      b.SetPaletteColor(i, TVlRGB{std::uint8_t(i), std::uint8_t(255 - i), std::uint8_t(i ^ seed)});
}

// Compares the meaningful bits of every row (padding excluded), palette and alpha.
bool SameImage(TVlBitmap& a, TVlBitmap& b) {
  if (a.Width() != b.Width() || a.Height() != b.Height() || a.PixelFormat() != b.PixelFormat())
    return false;
  const std::int64_t bits = std::int64_t(a.Width()) * a.BitsPerPixel();
  for (std::int32_t y = 0; y < a.Height(); ++y) {
    std::vector<std::uint8_t> ra(a.RowPointer(y), a.RowPointer(y) + a.RowLength());
    const std::uint8_t* rb = b.RowPointer(y);
    if (std::memcmp(ra.data(), rb, static_cast<std::size_t>(bits / 8)))
      return false;
    if (bits % 8) {
      const std::uint8_t mask = static_cast<std::uint8_t>(0xFF << (8 - bits % 8));
      if ((ra[static_cast<std::size_t>(bits / 8)] ^ rb[bits / 8]) & mask)
        return false;
    }
  }
  for (int i = 0; i < a.PaletteUsed(); ++i) {
    TVlRGB ca{}, cb{};
    a.PaletteColor(i, ca);
    b.PaletteColor(i, cb);
    if (!(ca == cb))
      return false;
  }
  if (a.IsAlphaPlane())
    return true;
  if (a.HasAlpha() != b.HasAlpha())
    return false;
  if (a.HasAlpha())
    return SameImage(*a.AlphaChannel(), *b.AlphaChannel());
  return true;
}

// Tags every page with its original position in the info caption.
void Populate(TVlPageStore& s, int n) {
  for (int i = 0; i < n; ++i) {
    const std::int32_t k = s.InsertPageNoSelect(s.PageCount());
    s.SetPageInfoText(k, "p" + std::to_string(i));
  }
}

std::string Order(const TVlPageStore& s) {
  std::string o;
  for (int i = 0; i < s.PageCount(); ++i)
    o += s.PageInfoText(i) + " ";
  return o;
}

}  // namespace

TEST(PageStore, DeleteMovesTheSelectionAsTheListRulesSay) {
  struct Case {
    const char* name;
    int count, selected, deleted;
    int wantSelected;
    const char* wantCurrentTag;  // caption of the page that is current afterwards ("" none)
  } cases[] = {
      {"current last page -> new last page", 3, 2, 2, 1, "p1"},
      {"only page -> none", 1, 0, 0, -1, ""},
      {"page before current keeps the same page", 4, 2, 0, 1, "p2"},
      {"page after current keeps the index", 4, 1, 3, 1, "p1"},
      {"current middle page -> its successor", 4, 1, 1, 1, "p2"},
      {"no current page stays none", 3, -1, 1, -1, ""},
  };
  for (const auto& c : cases) {
    TVlPageStore s;
    Populate(s, c.count);
    if (c.selected >= 0)
      s.SelectPage(c.selected);
    EXPECT_TRUE(s.DeletePage(c.deleted)) << c.name;
    EXPECT_EQ(s.SelectedPage(), c.wantSelected) << c.name;
    EXPECT_EQ(s.PageInfoText(s.SelectedPage()), c.wantCurrentTag) << c.name;
    EXPECT_EQ(s.MIO().ParamsCount(), s.PageCount()) << c.name;
  }
  TVlPageStore s;
  Populate(s, 2);
  EXPECT_FALSE(s.DeletePage(2));
  EXPECT_FALSE(s.DeletePage(-1));
}

TEST(PageStore, DeleteSelectedPagesRemovesEverySelectedPage) {
  TVlPageStore s;
  s.SetEnableMultiSelect(true);
  Populate(s, 6);
  s.SelectPage(3);
  s.SetMultiSelectionMode(true);
  s.SelectPage(1);
  s.SelectPage(4);
  s.SetMultiSelectionMode(false);
  s.DeleteSelectedPages();
  EXPECT_EQ(Order(s), "p0 p2 p5 ");
  EXPECT_EQ(s.MIO().ParamsCount(), 3);
}

TEST(PageStore, MovePage) {
  {  // past the end: to the last position, selection stays in range
    TVlPageStore s;
    s.SetEnableMultiSelect(true);
    Populate(s, 3);
    s.SelectPage(0);
    s.MovePage(0, 5);
    EXPECT_EQ(Order(s), "p1 p2 p0 ");
    EXPECT_EQ(s.SelectedPage(), 2);
    EXPECT_EQ(s.SelectedPageAt(0), 2);
    EXPECT_EQ(s.PageInfoText(s.SelectedPage()), "p0");
  }
  {  // the moved-over page keeps its selection
    TVlPageStore s;
    s.SetEnableMultiSelect(true);
    Populate(s, 3);
    s.SelectPage(2);
    s.MovePage(0, 2);
    EXPECT_EQ(s.SelectedPageCount(), 1);
    EXPECT_EQ(s.SelectedPageAt(0), 1);
    EXPECT_EQ(s.SelectedPage(), 1);
    EXPECT_EQ(s.PageInfoText(1), "p2");
  }
  {  // no multi-selection: the position stays current
    TVlPageStore s;
    Populate(s, 4);
    s.SelectPage(1);
    s.DeselectPage(1);
    s.MovePage(3, 0);
    EXPECT_EQ(Order(s), "p3 p0 p1 p2 ");
    EXPECT_EQ(s.SelectedPage(), -1);
  }
  {  // nothing for bad arguments
    TVlPageStore s;
    Populate(s, 3);
    s.MovePage(3, 0);
    s.MovePage(0, -1);
    s.MovePage(1, 1);
    s.MovePage(2, 9);  // clamps to 2 == from
    EXPECT_EQ(Order(s), "p0 p1 p2 ");
  }
  {  // parameter records move with their pages
    TVlPageStore s;
    Populate(s, 3);
    for (int i = 0; i < 3; ++i)
      s.PageParams(i)->tiffJpegQuality = 10 + i;
    s.MovePage(0, 2);
    EXPECT_EQ(s.PageParams(0)->tiffJpegQuality, 11);
    EXPECT_EQ(s.PageParams(2)->tiffJpegQuality, 10);
  }
}

TEST(PageStore, SelectionEventsFireOnlyForUserInput) {
  TVlPageStore s;
  s.SetEnableMultiSelect(true);
  Populate(s, 4);
  std::vector<std::string> log;
  s.OnImageSelect = [&](int i) { log.push_back("+" + std::to_string(i)); };
  s.OnImageDeselect = [&](int i) { log.push_back("-" + std::to_string(i)); };

  s.SelectPage(1);  // program code: no events
  EXPECT_TRUE(log.empty());
  s.SetUserInput(true);
  s.SelectPage(1);  // already current, mode off: nothing
  EXPECT_TRUE(log.empty());
  s.SelectPage(2);
  EXPECT_EQ(log, (std::vector<std::string>{"-1", "+2"}));
  log.clear();
  s.SetMultiSelectionMode(true);
  s.SelectPage(0);  // added
  s.SelectPage(2);  // toggled off; no page current any more
  EXPECT_EQ(log, (std::vector<std::string>{"+0", "-2"}));
  EXPECT_EQ(s.SelectedPage(), -1);
  EXPECT_EQ(s.SelectedPageCount(), 1);
  EXPECT_TRUE(s.IsPageSelected(0));
  s.SetMultiSelectionMode(false);
  log.clear();
  s.DeselectAll();
  EXPECT_EQ(log, (std::vector<std::string>{"-0"}));
  EXPECT_EQ(s.SelectedPageCount(), 0);
}

TEST(PageStore, SelectionQueries) {
  TVlPageStore s;
  Populate(s, 3);
  s.SelectAllPages();  // multi-selection disabled: nothing
  EXPECT_EQ(s.SelectedPage(), -1);
  EXPECT_EQ(s.SelectedPageCount(), 0);
  s.SetEnableMultiSelect(true);
  s.SelectAllPages();
  EXPECT_EQ(s.Selection(), (std::vector<std::int32_t>{0, 1, 2}));
  EXPECT_EQ(s.SelectedPage(), 2);
  EXPECT_EQ(s.SelectedPageAt(-1), -1);
  EXPECT_EQ(s.SelectedPageAt(3), -1);
  EXPECT_EQ(s.SelectedPageAt(1), 1);
  s.SelectPage(7);  // out of range: ignored
  EXPECT_EQ(s.SelectedPage(), 2);
}

TEST(PageStore, InsertionKeepsSelectionIndexesAndCopiesWriteOptions) {
  TVlPageStore s;
  Populate(s, 4);
  s.PageParams(1)->tiffCompression = 4;
  s.PageParams(3)->tiffCompression = 5;
  s.SelectPage(1);
  const std::int32_t i = s.InsertPageNoSelect(1);
  EXPECT_EQ(i, 1);
  EXPECT_EQ(s.SelectedPage(), 1);  // indexes are not shifted
  EXPECT_EQ(s.PageParams(1)->tiffCompression, 4);  // from the record that was at 1
  EXPECT_EQ(s.PageInfoText(2), "p1");
  const std::int32_t j = s.InsertPageNoSelect(99);
  EXPECT_EQ(j, 5);
  EXPECT_EQ(s.PageParams(5)->tiffCompression, 5);  // from the last record
  EXPECT_EQ(s.AppendPage(), 6);
  EXPECT_EQ(s.SelectedPage(), 6);

  TVlPageStore fresh;
  fresh.AppendPage();
  EXPECT_EQ(fresh.PageParams(0)->tiffCompression, 0);
  EXPECT_EQ(fresh.PageParams(1), nullptr);
}

TEST(PageStore, StructureEventsComeInPairs) {
  TVlPageStore s;
  std::vector<std::string> log;
  auto name = [](const TVlPageChange& c) {
    return std::to_string(int(c.kind)) + ":" + std::to_string(c.index) + "," + std::to_string(c.index2);
  };
  s.OnBeforeChange = [&](const TVlPageChange& c) { log.push_back("b" + name(c)); };
  s.OnAfterChange = [&](const TVlPageChange& c) { log.push_back("a" + name(c)); };
  Populate(s, 2);
  s.MovePage(0, 7);
  s.DeletePage(0);
  s.ClearPages();
  EXPECT_EQ(log, (std::vector<std::string>{"b1:0,-1", "a1:0,-1", "b1:1,-1", "a1:1,-1", "b3:0,1", "a3:0,1",
                                           "b2:0,-1", "a2:0,-1", "b4:-1,-1", "a4:-1,-1"}));
  EXPECT_EQ(s.PageCount(), 0);
  EXPECT_EQ(s.MIO().ParamsCount(), 0);
}

TEST(PageStore, ImagesRoundTripThroughTheStore) {
  struct Case {
    std::int32_t w, h;
    TVlPixelFormat f;
    bool alpha;
  } cases[] = {{1, 1, vl1g, false},    {7, 3, vl1g, false},  {8, 2, vl1g, false},  {9, 5, vl1g, false},
               {31, 4, vl1g, false},   {32, 4, vl1g, false}, {33, 9, vl1g, false}, {5, 5, vl8g, false},
               {17, 3, vl8p, false},   {3, 7, vl24RGB, false}, {33, 2, vl24RGB, true}, {4, 4, vl16g, false},
               {6, 3, vlRGB48, false}, {2, 2, vlCMYK, false}};
  TVlPageStore s;
  for (const auto& c : cases) {
    TVlBitmap in;
    Fill(in, c.w, c.h, c.f, c.w);
    if (c.alpha) {
      in.AlphaChannel();
      in.SetAlphaAt(1, 1, 7);
    }
    const std::int32_t i = s.AppendPage();
    ASSERT_TRUE(s.SetPageImage(i, in));
    TVlBitmap out;
    ASSERT_TRUE(s.CopyPageImage(i, out));
    EXPECT_TRUE(SameImage(in, out)) << c.w << "x" << c.h << " " << VlPixelFormatName(c.f);
    EXPECT_EQ(s.PageImageWidth(i), c.w);
    EXPECT_EQ(s.PageOriginalHeight(i), c.h);
  }
}

TEST(PageStore, CheckOutSharesOneImageAndReleaseWritesBack) {
  TVlPageStore s;
  TVlBitmap in;
  Fill(in, 40, 30, vl24RGB, 1);
  s.SetPageImage(s.AppendPage(), in);
  TVlBitmap* a = s.CheckOutPageImage(0);
  TVlBitmap* b = s.CheckOutPageImage(0);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a, b);
  TVlBitmap thumb;
  EXPECT_EQ(s.PageThumbnail(0, thumb), TVlThumbState::ready);
  EXPECT_EQ(s.ThumbnailCache().EntryCount(), 1);
  ASSERT_TRUE(a->ResizeCanvas(60, 30, 0, 0, 0, 255).ok());  // the layout changes
  a->RowPointer(0)[0] = 0xAB;
  s.ReleasePageImage(0);
  EXPECT_EQ(s.ThumbnailCache().EntryCount(), 0);  // dropped after editing
  EXPECT_EQ(s.PageImageWidth(0), 60);
  s.ReleasePageImage(0);
  TVlBitmap out;
  ASSERT_TRUE(s.CopyPageImage(0, out));
  EXPECT_EQ(out.Width(), 60);
  EXPECT_EQ(out.RowPointer(0)[0], 0xAB);
  s.ReleasePageImage(0);  // unmatched release: ignored
  EXPECT_EQ(s.CheckOutPageImage(5), nullptr);
}

TEST(PageStore, CurrentPageImageIsReleasedWhenTheSelectionChanges) {
  TVlPageStore s;
  TVlBitmap in;
  Fill(in, 10, 10, vl8g, 2);
  s.SetPageImage(s.AppendPage(), in);
  s.SetPageImage(s.AppendPage(), in);
  s.SelectPage(0);
  TVlBitmap* cur = s.CurrentPageImage();
  ASSERT_NE(cur, nullptr);
  cur->RowPointer(3)[3] = 0x55;
  s.SelectPage(1);  // writes the edit back
  TVlBitmap out;
  s.CopyPageImage(0, out);
  EXPECT_EQ(out.RowPointer(3)[3], 0x55);
}

TEST(VirtualImageList, LeastRecentlyUsedUnloadWritesBackOnlyWrittenEntries) {
  TVlVirtualImageList list("ILIST", 10);
  TVlBitmap img;
  Fill(img, 200, 300, vl24RGB, 3);
  std::vector<TVlVirtualImageList::Entry*> e;
  for (int i = 0; i < 10; ++i)
    e.push_back(list.Add(img, 200, 300));
  EXPECT_EQ(list.LoadedCount(), 10);
  EXPECT_EQ(list.WriteBackCount(), 0);
  e.push_back(list.Add(img, 200, 300));  // the eleventh
  EXPECT_EQ(list.LoadedCount(), 10);
  EXPECT_EQ(list.WriteBackCount(), 1);  // entry 0 was loaded for writing
  EXPECT_FALSE(list.IsLoaded(e[0]));
  TVlBitmap out;
  ASSERT_TRUE(list.CopyTo(e[0], out).ok());  // reloads 0 for reading, unloads 1 (written)
  EXPECT_TRUE(SameImage(img, out));
  EXPECT_EQ(list.WriteBackCount(), 2);
  EXPECT_FALSE(list.IsLoaded(e[1]));
  // Unload everything written so entry 0 becomes the oldest read-only one.
  for (int i = 1; i <= 10; ++i)
    ASSERT_TRUE(list.CopyTo(e[static_cast<std::size_t>(i)], out).ok());
  const std::int64_t before = list.WriteBackCount();
  ASSERT_TRUE(list.CopyTo(e[1], out).ok());  // pushes out entry 0, which was only read
  EXPECT_FALSE(list.IsLoaded(e[0]));
  EXPECT_EQ(list.WriteBackCount(), before);
}

TEST(VirtualImageList, FreedBlocksAreReusedFirstFitAndTheFileGrowsInSteps) {
  TVlVirtualImageList list("ILIST", 2);
  TVlBitmap small, big;
  Fill(small, 100, 100, vl8g, 1);  // 10,000 bytes
  Fill(big, 1000, 400, vl8g, 2);   // 400,000 bytes: above the 256 KiB growth step
  auto* a = list.Add(small, 0, 0);
  auto* b = list.Add(small, 0, 0);
  ASSERT_TRUE(a && b);
  ASSERT_TRUE(list.HasFile());
  EXPECT_EQ(list.FileSize(), TVlVirtualImageList::kInitialSize);
  const std::int64_t end = list.UsedEnd();
  list.Remove(a);
  EXPECT_EQ(list.FreeBlockCount(), 1u);
  auto* c = list.Add(small, 0, 0);  // takes a's block
  EXPECT_EQ(list.FreeBlockCount(), 0u);
  EXPECT_EQ(list.UsedEnd(), end);
  EXPECT_EQ(c->offset, 0);
  auto* d = list.Add(big, 0, 0);
  EXPECT_EQ(list.GrowthStep(), 400000 + 10000);  // size + the previous request
  EXPECT_GE(list.FileSize(), list.UsedEnd());
  TVlBitmap out;
  ASSERT_TRUE(list.CopyTo(d, out).ok());
  EXPECT_TRUE(SameImage(big, out));
  ASSERT_TRUE(list.CopyTo(b, out).ok());
  EXPECT_TRUE(SameImage(small, out));
  list.Remove(b);
  list.Remove(c);
  list.Remove(d);
  EXPECT_EQ(list.EntryCount(), 0);
  EXPECT_EQ(list.UsedEnd(), 0);
  EXPECT_EQ(list.FileSize(), list.GrowthStep());  // reset to one growth step
}

TEST(PageStore, MemoryStaysBoundedByImageCacheSize) {
  TVlPageStore s;
  s.SetImageCacheSize(3);
  TVlBitmap img;
  Fill(img, 300, 300, vl24RGB, 4);
  for (int i = 0; i < 20; ++i)
    s.SetPageImage(s.AppendPage(), img);
  EXPECT_LE(s.ImageList().LoadedCount(), 3);
  TVlBitmap out;
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(s.CopyPageImage(i, out));
    EXPECT_TRUE(SameImage(img, out));
  }
  EXPECT_LE(s.ImageList().LoadedCount(), 3);
}

TEST(PageStore, ThumbStoresReduceImages) {
  TVlPageStore s;
  s.SetStoreType(vltThumb);
  s.SetThumbSize(150, 150);
  TVlBitmap big, small;
  Fill(big, 600, 300, vl24RGB, 5);
  Fill(small, 40, 20, vl1g, 6);
  s.SetPageImage(s.AppendPage(), big);
  EXPECT_EQ(s.PageImageWidth(0), 150);
  EXPECT_EQ(s.PageImageHeight(0), 75);
  EXPECT_EQ(s.PageOriginalWidth(0), 600);
  s.SetPageImage(s.AppendPage(), small);
  EXPECT_EQ(s.PageImageWidth(1), 150);  // small images are enlarged to the thumbnail size
  s.SetReduceSmallImages(false);
  s.SetPageImage(1, small);
  EXPECT_EQ(s.PageImageWidth(1), 40);
}

TEST(PageStore, ThumbnailsFitTheBoxAndAreDroppedWhenTheImageChanges) {
  TVlPageStore s;
  s.SetThumbSize(180, 180);
  TVlBitmap page;
  Fill(page, 2480, 350, vl1g, 7);
  s.SetPageImage(s.AppendPage(), page);
  TVlBitmap t;
  ASSERT_EQ(s.PageThumbnail(0, t), TVlThumbState::ready);
  EXPECT_EQ(t.Width(), 180);
  EXPECT_EQ(t.Height(), 350 * 180 / 2480);
  EXPECT_EQ(t.PixelFormat(), vl8g);  // bilevel pages reduce to gray
  EXPECT_EQ(s.ThumbnailCache().EntryCount(), 1);
  s.SetPageImage(0, page);
  EXPECT_EQ(s.ThumbnailCache().EntryCount(), 0);
  s.PageThumbnail(0, t);
  s.SetPageBackground(0, clBlack);
  EXPECT_EQ(s.ThumbnailCache().EntryCount(), 0);
  s.PageThumbnail(0, t);
  s.SetThumbSize(100, 100);
  EXPECT_EQ(s.ThumbnailCache().EntryCount(), 0);
  TVlBitmap tiny;
  Fill(tiny, 20, 10, vl24RGB, 8);
  s.SetPageImage(0, tiny);
  ASSERT_EQ(s.PageThumbnail(0, t), TVlThumbState::ready);
  EXPECT_EQ(t.Width(), 20);  // images smaller than the cell keep their size
  EXPECT_EQ(s.PageThumbnail(3, t), TVlThumbState::none);
}

TEST(PageStore, OnDemandLoadingUsesTheLoaderOnceAndShowsAPlaceholderOnFailure) {
  TVlPageStore s;
  int calls = 0;
  s.SetPageLoader([&](const TVlPageLoadRequest& r, TVlPageLoadResult& out) {
    ++calls;
    if (r.fileName == "bad.png") {
      out.status = TVlStatus::BadData("broken file");
      return;
    }
    Fill(out.image, 64, 32, vl24RGB, 9);
    out.params.bitsPerSample = 8;
    out.params.fileType = 8;
    out.sourceWidth = 640;
    out.sourceHeight = 320;
    out.background = clBlack;
    out.status = TVlStatus::Ok();
  });
  s.SetPageFileName(s.InsertPageNoSelect(0), "good.png");
  s.SetPageFileName(s.InsertPageNoSelect(1), "bad.png");
  EXPECT_FALSE(s.PageHasImage(0));
  TVlBitmap out;
  ASSERT_TRUE(s.CopyPageImage(0, out));
  ASSERT_TRUE(s.CopyPageImage(0, out));
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(out.Width(), 64);
  EXPECT_EQ(s.PageOriginalWidth(0), 640);
  EXPECT_EQ(s.PageParams(0)->fileType, 8);
  EXPECT_EQ(s.PageBackground(0), clBlack);
  EXPECT_FALSE(s.PageLoadFailed(0));

  ASSERT_TRUE(s.CopyPageImage(1, out));  // the placeholder
  EXPECT_TRUE(s.PageLoadFailed(1));
  EXPECT_EQ(s.PageLoadError(1), "badData: broken file");
  EXPECT_EQ(out.Width(), s.ThumbWidth());
  EXPECT_EQ(out.PixelFormat(), vl24RGB);
  TVlRGB corner = out.PixelAsRGB(0, 0), centre = out.PixelAsRGB(out.Width() / 2, out.Height() / 2);
  EXPECT_EQ(corner, (TVlRGB{255, 255, 255}));
  EXPECT_FALSE(centre == corner);

  TVlBitmap wrong;
  Fill(wrong, 5, 5, vl8g, 1);
  s.OnWrongImage = [&](std::int32_t, TVlBitmap& b) { return b.AssignImage(wrong).ok(); };
  s.SetPageFileName(s.AppendPage(), "bad.png");
  ASSERT_TRUE(s.CopyPageImage(2, out));
  EXPECT_TRUE(SameImage(out, wrong));

  s.SetPageImageId(s.AppendPage(), 42);
  s.OnImageIDRequest = [&](std::int32_t id, TVlBitmap& b) {
    Fill(b, id, 2, vl8g, 0);
    return true;
  };
  ASSERT_TRUE(s.CopyPageImage(3, out));
  EXPECT_EQ(out.Width(), 42);
}

TEST(PageStore, BackgroundLoaderRunsAtMostFiveJobsAndStoresResultsUnderTheLock) {
  TVlPageStore s;
  std::mutex m;
  std::condition_variable cv;
  bool release = false;
  std::atomic<int> running{0}, peak{0}, calls{0};
  s.SetPageLoader([&](const TVlPageLoadRequest& r, TVlPageLoadResult& out) {
    const int now = ++running;
    int p = peak.load();
    while (now > p && !peak.compare_exchange_weak(p, now)) {
    }
    ++calls;
    {
      std::unique_lock<std::mutex> l(m);
      cv.wait(l, [&] { return release || (r.abort && r.abort->load()); });
    }
    Fill(out.image, 30, 20, vl8g, static_cast<int>(r.fileName.size()));
    out.status = TVlStatus::Ok();
    --running;
  });
  std::atomic<int> ready{0};
  s.OnThumbnailReady = [&](std::int32_t) { ++ready; };
  for (int i = 0; i < 12; ++i)
    s.SetPageFileName(s.InsertPageNoSelect(i), "page" + std::to_string(i) + ".png");
  TVlBitmap t;
  for (int i = 0; i < 12; ++i)
    EXPECT_EQ(s.PageThumbnail(i, t), TVlThumbState::pending);
  for (int tries = 0; tries < 200 && calls.load() < 5; ++tries)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(calls.load(), 5);
  s.DeletePage(11);  // still queued: dropped
  {
    std::lock_guard<std::mutex> l(m);
    release = true;
  }
  cv.notify_all();
  // New jobs start only after earlier ones finished; wake waiting loaders as they come.
  for (int tries = 0; tries < 400 && calls.load() < 11; ++tries) {
    cv.notify_all();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  s.WaitBackgroundLoads();
  EXPECT_LE(peak.load(), 5);
  EXPECT_EQ(calls.load(), 11);
  EXPECT_EQ(ready.load(), 11);
  for (int i = 0; i < s.PageCount(); ++i) {
    EXPECT_TRUE(s.PageHasImage(i)) << i;
    EXPECT_EQ(s.PageThumbnail(i, t), TVlThumbState::ready);
  }
}

TEST(PageStore, PagesDeletedWhileTheirJobRunsAreLeftAlone) {
  auto s = std::make_unique<TVlPageStore>();
  std::atomic<bool> go{false};
  std::atomic<int> started{0};
  s->SetPageLoader([&](const TVlPageLoadRequest& r, TVlPageLoadResult& out) {
    ++started;
    while (!go && !(r.abort && *r.abort))
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    Fill(out.image, 8, 8, vl8g, 0);
    out.status = TVlStatus::Ok();
  });
  for (int i = 0; i < 3; ++i)
    s->SetPageFileName(s->AppendPage(), "x.png");
  s->DeselectAll();
  TVlBitmap t;
  for (int i = 0; i < 3; ++i)
    s->PageThumbnail(i, t);
  while (started < 3)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  s->DeletePage(1);
  go = true;
  s->WaitBackgroundLoads();
  EXPECT_EQ(s->PageCount(), 2);
  EXPECT_TRUE(s->PageHasImage(0));
  EXPECT_TRUE(s->PageHasImage(1));
  // Destroying the store with jobs queued and running cancels them.
  for (int i = 0; i < 6; ++i)
    s->SetPageFileName(s->AppendPage(), "y.png");
  s->DeselectAll();
  go = false;
  for (int i = 2; i < 8; ++i)
    s->PageThumbnail(i, t);
  s.reset();
}

TEST(PageStore, ImmediateLoadsForTheCurrentPageAndWithoutAPool) {
  TVlPageStore s;
  s.SetLoaderPoolSize(0);
  s.SetRemoveCorrupted(true);
  s.SetPageLoader([](const TVlPageLoadRequest& r, TVlPageLoadResult& out) {
    if (r.fileName == "bad") {
      out.status = TVlStatus::BadData("bad");
      return;
    }
    Fill(out.image, 8, 8, vl8g, 0);
    out.status = TVlStatus::Ok();
  });
  s.SetPageFileName(s.InsertPageNoSelect(0), "good");
  s.SetPageFileName(s.InsertPageNoSelect(1), "bad");
  int notices = 0;
  s.OnCorruptedPage = [&] { ++notices; };
  TVlBitmap t;
  EXPECT_EQ(s.PageThumbnail(0, t), TVlThumbState::ready);
  EXPECT_EQ(s.PageThumbnail(1, t), TVlThumbState::failed);
  EXPECT_EQ(notices, 1);
  EXPECT_EQ(s.RemoveCorruptedPages(), 1);
  EXPECT_EQ(s.PageCount(), 1);
  EXPECT_EQ(s.RunningLoads(), 0);
}

TEST(PageStore, LockUpdateNestsAndTheLastUnlockRefreshes) {
  TVlPageStore s;
  int refreshes = 0;
  s.OnRefresh = [&] { ++refreshes; };
  s.LockUpdate();
  s.LockUpdate();
  s.UnlockUpdate();
  EXPECT_TRUE(s.IsUpdateLocked());
  EXPECT_EQ(refreshes, 0);
  s.UnlockUpdate();
  EXPECT_FALSE(s.IsUpdateLocked());
  EXPECT_EQ(refreshes, 1);
  s.UnlockUpdate();  // unmatched: ignored
  EXPECT_EQ(refreshes, 1);
}

TEST(Thumbnail, FitAndReduce) {
  struct Case {
    std::int32_t w, h, bw, bh;
    bool enlarge;
    std::int32_t ow, oh;
  } cases[] = {{2480, 3508, 180, 180, false, 127, 180}, {3508, 2480, 180, 180, false, 180, 127},
               {100, 50, 180, 180, false, 100, 50},     {100, 50, 180, 180, true, 180, 90},
               {1, 10000, 100, 100, false, 1, 100},     {10000, 1, 100, 100, false, 100, 1}};
  for (const auto& c : cases) {
    std::int32_t ow = 0, oh = 0;
    VlFitThumbnailSize(c.w, c.h, c.bw, c.bh, c.enlarge, ow, oh);
    EXPECT_EQ(ow, c.ow) << c.w << "x" << c.h;
    EXPECT_EQ(oh, c.oh) << c.w << "x" << c.h;
  }
  // A half-black, half-white bilevel image reduces to gray averages.
  TVlBitmap bw(16, 2, vl1g), g;
  for (int y = 0; y < 2; ++y) {
    std::uint8_t* r = bw.RowPointer(y);
    r[0] = 0xFF;  // 8 white
    r[1] = 0x00;  // 8 black
  }
  ASSERT_TRUE(VlReduceImage(bw, 2, 1, 9, g).ok());
  EXPECT_EQ(g.PixelFormat(), vl8g);
  EXPECT_EQ(g.RowPointer(0)[0], 255);
  EXPECT_EQ(g.RowPointer(0)[1], 0);
  ASSERT_TRUE(VlReduceImage(bw, 1, 1, 9, g).ok());
  EXPECT_EQ(g.RowPointer(0)[0], 128);
  ASSERT_TRUE(VlReduceImage(bw, 4, 1, 0, g).ok());  // plain stretch keeps vl1g
  EXPECT_EQ(g.PixelFormat(), vl1g);
  EXPECT_EQ(g.RowPointer(0)[0] & 0xF0, 0xC0);
}

TEST(PageStore, AddFolderPagesAddsReadableFilesInNameOrder) {
  TTempFolder dir;
  for (const char* n : {"b.png", "a.PNG", "notes.txt", "scan.tif", "x.nef"})
    WriteWholeFile(dir / n, {1, 2, 3});
  std::filesystem::create_directory(dir / "sub.png");
  TVlPageStore s;
  s.SetStoreType(vltThumb);
  EXPECT_EQ(s.AddFolderPages(dir.Path()), 4);
  std::vector<std::string> names;
  for (int i = 0; i < s.PageCount(); ++i) {
    names.push_back(s.PageInfoText(i));
    EXPECT_EQ(s.PageFileName(i), (dir / s.PageInfoText(i)).string());
    EXPECT_FALSE(s.PageHasImage(i));
  }
  EXPECT_EQ(names, (std::vector<std::string>{"a.PNG", "b.png", "scan.tif", "x.nef"}));
  TVlPageStore limited;
  EXPECT_EQ(limited.AddFolderPages(dir.Path(), 1), 1);
  EXPECT_EQ(limited.AddFolderPages(dir.Path(), 0), 0);
}

TEST(PageStore, ThumbStoresAskForReducedReads) {
  TVlPageStore s;
  s.SetStoreType(vltThumb);
  s.SetThumbSize(150, 150);
  s.SetLoaderPoolSize(0);
  TVlPageLoadRequest seen;
  s.SetPageLoader([&](const TVlPageLoadRequest& r, TVlPageLoadResult& out) {
    seen = r;
    Fill(out.image, 300, 200, vl24RGB, 1);
    out.sourceWidth = 3000;
    out.sourceHeight = 2000;
    out.status = TVlStatus::Ok();
  });
  s.SetPageFileName(s.InsertPageNoSelect(0), "photo.jpg");
  TVlBitmap t;
  ASSERT_EQ(s.PageThumbnail(0, t), TVlThumbState::ready);
  EXPECT_TRUE(seen.thumbnail);
  EXPECT_EQ(seen.thumbWidth, 150);
  EXPECT_EQ(s.PageImageWidth(0), 150);
  EXPECT_EQ(s.PageImageHeight(0), 100);
  EXPECT_EQ(s.PageOriginalWidth(0), 3000);
}
