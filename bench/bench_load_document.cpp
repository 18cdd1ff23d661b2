// Opens a document into a page store the way the program's main window does and reports the
// time taken and what the store holds in memory.
//
// The store gets the main window's settings (180 x 180 thumbnails, filter rfLinear, the image
// cache of 10 pages), LoadAllFromFile reads every page, then page 0 is copied out as ShowPage
// does and the thumbnails of the first screenful (6 pages) are made as the grid would. With
// --all-thumbnails every page's thumbnail is made (scrolling through the whole list).
//
// Usage: bench_load_document FILE [--all-thumbnails]
// Output: one line per phase, "phase<TAB>seconds", then the store figures. Peak memory of the
// whole process comes from /usr/bin/time -v (see bench_load_document.sh).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "imaging/io/pagestore.h"
#include "imaging/io/vlmio.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::printf("usage: bench_load_document FILE [--all-thumbnails]  (see bench_load_document.sh)\n");
    return 0;
  }
  const bool allThumbs = argc > 2 && std::strcmp(argv[2], "--all-thumbnails") == 0;
  using Clock = std::chrono::steady_clock;
  auto seconds = [](Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); };

  TVlPageStore store;
  store.SetThumbSize(180, 180);
  store.SetThumbnailFilter(8);
  store.SetEnableMultiSelect(true);
  store.SetLoaderPoolSize(0);  // no drawing here: every thumbnail is made at once

  const auto t0 = Clock::now();
  try {
    store.MIO().LoadAllFromFile(argv[1]);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_load_document: %s\n", e.what());
    return 1;
  }
  if (store.MIO().aborting) {
    std::fprintf(stderr, "bench_load_document: %s\n", store.MIO().LastFailure().reason);
    return 1;
  }
  const auto t1 = Clock::now();
  TVlBitmap shown;
  store.SelectPage(0);
  store.CopyPageImage(0, shown);
  const auto t2 = Clock::now();
  TVlBitmap thumb;
  const std::int32_t n = allThumbs ? store.PageCount() : std::min<std::int32_t>(6, store.PageCount());
  for (std::int32_t i = 0; i < n; ++i)
    store.PageThumbnail(i, thumb);
  const auto t3 = Clock::now();

  std::printf("load\t%.3f\n", seconds(t0, t1));
  std::printf("show page 0\t%.3f\n", seconds(t1, t2));
  std::printf("thumbnails (%d)\t%.3f\n", n, seconds(t2, t3));
  std::printf("pages\t%d\n", store.PageCount());
  std::printf("images loaded\t%d of %d (%.1f MiB)\n", store.ImageList().LoadedCount(), store.ImageList().EntryCount(),
              store.ImageList().LoadedBytes() / 1048576.0);
  std::printf("image store file\t%.1f MiB\n", store.ImageList().FileSize() / 1048576.0);
  std::printf("thumbnails loaded\t%d of %d (%.1f MiB)\n", store.ThumbnailCache().LoadedCount(),
              store.ThumbnailCache().EntryCount(), store.ThumbnailCache().LoadedBytes() / 1048576.0);
  return 0;
}
