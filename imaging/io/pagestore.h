// TVlPageStore: the ordered list of pages of the open document, without any drawing.
//
// Each page has an image (kept in a delete-on-close "ILIST" image store, at most
// ImageCacheSize images in memory), a parameter record (held by the attached TVlMIO in a list
// parallel to the pages), three captions, a background colour, a display time and optionally
// a file name from which its image loads on demand. The store keeps the current page
// (SelectedPage) and a multi-selection in the order pages were selected, and a cache of
// reduced copies for drawing ("ICACHE").
//
// Entry points: page list (PageCount, AppendPage, InsertPage, InsertPageNoSelect, DeletePage,
// DeleteSelectedPages, MovePage, ClearPages, SetPageImage, CopyPageImage, CheckOutPageImage,
// ReleasePageImage, sizes, file names, captions, AddFolderPages, LockUpdate/UnlockUpdate),
// selection (SelectPage, DeselectPage, DeselectAll, SelectAllPages, queries, SortSelection),
// thumbnails (PageThumbnail, SetVisibleRange, background loader) and events.
//
// Indexes are 0-based; an index outside 0 .. PageCount() - 1 makes getters return 0, empty or
// -1 and setters do nothing, unless said otherwise.
//
// Threads. Every operation is meant for one thread (the GUI thread) and locks the store's
// recursive mutex. The only other threads are the background loader's: a scheduler and at most
// five load jobs, which read files without the lock and store their results under it. Events
// fire on the thread that caused them; OnThumbnailReady also fires on loader threads (after
// the lock is released), so a GUI must queue it to its own thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "imaging/bitmap.h"
#include "imaging/io/virtual_image_list.h"
#include "imaging/params.h"

class TVlMIO;

enum TVlStoreType : std::uint8_t {
  vltNormal = 0,  // full page images
  vltThumb = 1,   // page images are stored reduced to the thumbnail size (file lists)
};

// Position codes of the three captions of a page.
enum TVlCaptionPosition : std::uint8_t {
  vlcpTop = 0,
  vlcpInfo = 1,
  vlcpBottom = 2,
};

struct TVlPageCaption {
  std::string text;              // UTF-8
  TVlColor background = clWhite;
  TVlCaptionPosition position = vlcpTop;
};

// One on-demand read of a page image (what the loader is asked for).
struct TVlPageLoadRequest {
  std::string fileName;
  std::int32_t frame = -1;  // frame of a multi-image file; -1: the file's own single image
  TVlColor background = clWhite;
  bool thumbnail = false;  // vltThumb store: a reduced read of about thumbWidth x thumbHeight is enough
  std::int32_t thumbWidth = 0, thumbHeight = 0;
  bool backgroundLoader = false;  // run by the background loader (metafiles render at thumbWidth)
  std::function<void(int percent)> progress;
  std::atomic<bool>* abort = nullptr;  // set when the job is cancelled; readers poll it
};

struct TVlPageLoadResult {
  TVlBitmap image;
  TIOParamsVals params;
  TVlColor background = clWhite;
  std::int32_t delayTime = -1;  // ms, for frames of animations; -1: leave the page's value
  std::int32_t sourceWidth = 0, sourceHeight = 0;  // full size of the source image
  TVlStatus status;
};

// Reads one page image. The default (installed by the I/O library) uses TVlIO; tests install
// their own. Must be callable from several threads at once.
using TVlPageLoader = std::function<void(const TVlPageLoadRequest&, TVlPageLoadResult&)>;
TVlPageLoader VlDefaultPageLoader();

// What PageThumbnail found.
enum class TVlThumbState : std::uint8_t {
  none = 0,     // index out of range
  ready = 1,    // `out` holds the thumbnail
  pending = 2,  // queued for the background loader; OnThumbnailReady(index) follows
  failed = 3,   // the image cannot be read; `out` holds the placeholder
};

// A structural change, told before and after it happens (for list models).
struct TVlPageChange {
  enum Kind : std::uint8_t { insert = 1, remove = 2, move = 3, reset = 4 } kind;
  std::int32_t index = -1;   // insert: the new index; remove: the index; move: from
  std::int32_t index2 = -1;  // move: to (after the move; already clamped to PageCount() - 1)
};

class TVlPageStore {
 public:
  TVlPageStore();
  ~TVlPageStore();
  TVlPageStore(const TVlPageStore&) = delete;
  TVlPageStore& operator=(const TVlPageStore&) = delete;

  // ---------------------------------------------------------------- page list
  std::int32_t PageCount() const;
  // InsertPage at the end; returns the new index.
  std::int32_t AppendPage();
  // A new empty page at `index` (at the end when index >= count, at 0 when below), then
  // SelectPage of it. Returns the index used.
  std::int32_t InsertPage(std::int32_t index);
  // The same without touching the selection (indexes are not shifted).
  std::int32_t InsertPageNoSelect(std::int32_t index);
  // Removes the page; the selection moves as the page list's rules say. False when out of range.
  bool DeletePage(std::int32_t index);
  // Deletes every selected page, from the highest index down.
  void DeleteSelectedPages();
  // Moves a page; `to` past the end means the last position. Keeps the selection on the moved pages.
  void MovePage(std::int32_t from, std::int32_t to);
  // Removes every page, cancels background loads and empties both image stores.
  void ClearPages();

  // Stores a copy of `image` as the page image (reduced in vltThumb stores, see StoreType).
  // PageOriginalWidth/Height become the image's size. False when out of range or on failure.
  bool SetPageImage(std::int32_t index, TVlBitmap& image);
  // As SetPageImage, but the original size is given (a reduced read of a larger source).
  bool SetPageImageWithSource(std::int32_t index, TVlBitmap& image, std::int32_t sourceWidth,
                              std::int32_t sourceHeight);
  // Loads the page if needed and copies its image (of the checked-out copy when one exists)
  // into `target`. False when out of range or nothing could be stored; a page whose file cannot
  // be read yields its placeholder (see PageLoadFailed).
  bool CopyPageImage(std::int32_t index, TVlBitmap& target);
  // Loads the page if needed and returns its shared image; every call must be matched by
  // ReleasePageImage. Null when out of range. Valid until the last release; never keep it
  // across DeletePage, MovePage or ClearPages.
  TVlBitmap* CheckOutPageImage(std::int32_t index);
  // Writes the shared image back (with writeBack), drops one reference and the page's thumbnail.
  void ReleasePageImage(std::int32_t index, bool writeBack = true);
  // The shared image of the current page, checked out by the store itself and released (with
  // write-back) when the selection changes; null without a current page.
  TVlBitmap* CurrentPageImage();

  std::int32_t PageImageWidth(std::int32_t index) const;
  std::int32_t PageImageHeight(std::int32_t index) const;
  std::int32_t PageOriginalWidth(std::int32_t index) const;
  std::int32_t PageOriginalHeight(std::int32_t index) const;
  // True when the page's image is in the store (loaded or stored), false when it still loads on demand.
  bool PageHasImage(std::int32_t index) const;
  // Loads a page that still loads on demand (a placeholder when its file cannot be read). Call
  // it before reading the sizes or changing the record of such a page: the load replaces the
  // record with the reader's. False when out of range or the page has no source.
  bool LoadPage(std::int32_t index);
  // True when the last on-demand read of the page failed (its image is the placeholder);
  // the reason is in PageLoadError.
  bool PageLoadFailed(std::int32_t index) const;
  std::string PageLoadError(std::int32_t index) const;

  // On-demand source: a file, and a frame number for one frame of a multi-image file (-1: none).
  std::string PageFileName(std::int32_t index) const;
  std::int32_t PageFrame(std::int32_t index) const;
  // Setting also sets the image id to -1.
  void SetPageFileName(std::int32_t index, const std::string& name, std::int32_t frame = -1);
  std::int32_t PageImageId(std::int32_t index) const;
  void SetPageImageId(std::int32_t index, std::int32_t id);
  TVlColor PageBackground(std::int32_t index) const;
  // Also drops the page's thumbnail.
  void SetPageBackground(std::int32_t index, TVlColor colour);
  std::int32_t PageDelayTime(std::int32_t index) const;
  void SetPageDelayTime(std::int32_t index, std::int32_t ms);

  TVlPageCaption PageCaption(std::int32_t index, TVlCaptionPosition which) const;
  void SetPageCaption(std::int32_t index, TVlCaptionPosition which, const std::string& text);
  std::string PageTopText(std::int32_t index) const { return PageCaption(index, vlcpTop).text; }
  std::string PageInfoText(std::int32_t index) const { return PageCaption(index, vlcpInfo).text; }
  std::string PageBottomText(std::int32_t index) const { return PageCaption(index, vlcpBottom).text; }
  void SetPageTopText(std::int32_t index, const std::string& t) { SetPageCaption(index, vlcpTop, t); }
  void SetPageInfoText(std::int32_t index, const std::string& t) { SetPageCaption(index, vlcpInfo, t); }
  void SetPageBottomText(std::int32_t index, const std::string& t) { SetPageCaption(index, vlcpBottom, t); }

  // The parameter record of a page (held by the attached TVlMIO); null out of range.
  TIOParamsVals* PageParams(std::int32_t index);
  // The multi-page I/O object attached to this store (created with it).
  TVlMIO& MIO();

  // Appends one on-demand page per readable file of `folder` (sorted by name), with the file
  // name (without folder) as PageInfoText; stops after `limit` pages when limit >= 0.
  // Returns the number of pages added.
  std::int32_t AddFolderPages(const std::filesystem::path& folder, std::int32_t limit = -1);

  // Nested paint suspension; the last unlock fires OnRefresh.
  void LockUpdate();
  void UnlockUpdate();
  bool IsUpdateLocked() const;

  // ---------------------------------------------------------------- selection
  std::int32_t SelectedPage() const;
  void SelectPage(std::int32_t index);
  void DeselectPage(std::int32_t index);
  void DeselectAll();
  // Only with EnableMultiSelect: every page selected, the last one current.
  void SelectAllPages();
  std::int32_t SelectedPageCount() const;
  // -1 out of range.
  std::int32_t SelectedPageAt(std::int32_t i) const;
  bool IsPageSelected(std::int32_t index) const;
  void SortSelection();
  std::vector<std::int32_t> Selection() const;

  // While set, SelectPage adds to (or toggles in) the multi-selection.
  void SetMultiSelectionMode(bool on);
  bool MultiSelectionMode() const;
  void SetEnableMultiSelect(bool on);
  bool EnableMultiSelect() const;
  // The grid sets this while it handles a mouse or key event; select and deselect events fire
  // only while it is set.
  void SetUserInput(bool on);
  bool UserInput() const;

  // ---------------------------------------------------------------- thumbnails and loading
  // A reduced copy of the page for drawing, at most ThumbWidth x ThumbHeight (images that fit
  // keep their size unless `enlarge`). Pages that still load on demand are queued for the
  // background loader (state pending) except the current page, frames of multi-image files and
  // stores whose loader pool size is 0, which load at once.
  TVlThumbState PageThumbnail(std::int32_t index, TVlBitmap& out, bool enlarge = false);
  // Pages outside first .. last are not loaded in the background: queued jobs are dropped and
  // running ones aborted. (-1, -1): no restriction (the default).
  void SetVisibleRange(std::int32_t first, std::int32_t last);
  // Empties the loader queue and aborts running jobs.
  void CancelBackgroundLoads();
  // Waits until the loader queue is empty and no job runs (tests, the command line).
  void WaitBackgroundLoads();
  // Pages whose immediate load failed while RemoveCorrupted is set are collected here; the grid
  // deletes them after drawing. Returns the number removed.
  std::int32_t RemoveCorruptedPages();

  // ---------------------------------------------------------------- settings
  TVlStoreType StoreType() const;
  void SetStoreType(TVlStoreType t);
  std::int32_t ThumbWidth() const;
  std::int32_t ThumbHeight() const;
  // Drops every thumbnail.
  void SetThumbSize(std::int32_t width, std::int32_t height);
  std::int32_t ImageCacheSize() const;
  void SetImageCacheSize(std::int32_t n);
  // Resampling filter for thumbnails (0 none … 13); default 9.
  std::int32_t ThumbnailFilter() const;
  void SetThumbnailFilter(std::int32_t f);
  // vltThumb stores: when false, images that fit the thumbnail size are stored unreduced.
  bool ReduceSmallImages() const;
  void SetReduceSmallImages(bool on);
  bool RemoveCorrupted() const;
  void SetRemoveCorrupted(bool on);
  // Concurrent background load jobs (0: every load runs at once on the caller's thread); at most 5.
  std::int32_t LoaderPoolSize() const;
  void SetLoaderPoolSize(std::int32_t n);
  // The background of new pages.
  TVlColor Background() const;
  void SetBackground(TVlColor c);
  void SetPageLoader(TVlPageLoader loader);

  // Statistics for tests and benchmarks.
  const TVlVirtualImageList& ImageList() const { return *images_; }
  const TVlVirtualImageList& ThumbnailCache() const { return *thumbs_; }
  std::int32_t RunningLoads() const;

  // The store's lock (recursive). Hold it to read several values consistently from another thread.
  std::recursive_mutex& Mutex() const { return mutex_; }

  // ---------------------------------------------------------------- events
  std::function<void(std::int32_t index)> OnImageSelect;
  std::function<void(std::int32_t index)> OnImageDeselect;
  std::function<void(int percent)> OnIOProgress;  // one page loading on demand
  std::function<void(int percent)> OnProgress;    // whole-list runs of the attached TVlMIO
  std::function<void()> OnFinishWork;
  // Supplies the image of a page that has an image id and no file name.
  std::function<bool(std::int32_t id, TVlBitmap& out)> OnImageIDRequest;
  // Supplies the image shown for a page that cannot be read (default: the placeholder).
  std::function<bool(std::int32_t index, TVlBitmap& out)> OnWrongImage;
  // Structure: told before and after every insert, remove, move and clear.
  std::function<void(const TVlPageChange&)> OnBeforeChange;
  std::function<void(const TVlPageChange&)> OnAfterChange;
  // A page's image, thumbnail, captions or background changed (caller's thread).
  std::function<void(std::int32_t index)> OnPageChanged;
  // The background loader stored a page image (loader thread).
  std::function<void(std::int32_t index)> OnThumbnailReady;
  // The current page or the multi-selection changed (also by program code).
  std::function<void()> OnSelectionChanged;
  // The last UnlockUpdate, or a refresh after a whole-list change.
  std::function<void()> OnRefresh;
  // Fired when a page whose immediate load failed was marked for removal (RemoveCorrupted).
  std::function<void()> OnCorruptedPage;

 private:
  struct Page;
  struct Job;
  friend class TVlMIO;

  Page* PageAt(std::int32_t index) const;
  std::int32_t IndexOf(std::uint64_t pageId) const;
  std::int32_t InsertRecord(std::int32_t index);
  void RemoveRecord(std::int32_t index);
  bool StoreImage(Page& p, TVlBitmap& image, std::int32_t sourceWidth, std::int32_t sourceHeight);
  void DropThumbnail(Page& p);
  void DropAllThumbnails();
  bool EnsureLoaded(std::int32_t index);
  void ApplyLoadResult(Page& p, TVlPageLoadResult& r, bool fromLoader);
  void StorePlaceholder(Page& p);
  TVlPageLoadRequest MakeRequest(const Page& p, bool background) const;
  void ReleaseCurrentImage(bool writeBack);
  void FireDeselect(std::int32_t index);
  void FireSelect(std::int32_t index);
  void FireSelectionChanged();
  void FirePageChanged(std::int32_t index);
  void Notify(void (TVlMIO::*)(std::int32_t, std::int32_t), std::int32_t a, std::int32_t b);
  // Background loader.
  void QueueLoad(Page& p);
  void StartLoader();
  void StopLoader();
  void LoaderMain();
  void JobMain(Job* job);
  bool IsVisible(std::int32_t index) const;

  void LoadPagesReadingFrom(const std::filesystem::path& file);

  mutable std::recursive_mutex mutex_;
  int replaceListener_ = 0;
  std::vector<std::unique_ptr<Page>> pages_;
  std::uint64_t nextPageId_ = 1;
  std::int32_t selected_ = -1;
  std::vector<std::int32_t> selection_;
  bool multiSelectionMode_ = false;
  bool enableMultiSelect_ = false;
  bool userInput_ = false;
  std::int32_t lockCount_ = 0;
  std::unique_ptr<TVlVirtualImageList> images_;
  std::unique_ptr<TVlVirtualImageList> thumbs_;
  std::uint64_t currentImagePage_ = 0;  // page id of the store's own check-out, 0 none
  TVlStoreType storeType_ = vltNormal;
  std::int32_t thumbWidth_ = 100, thumbHeight_ = 100;
  std::int32_t imageCacheSize_ = 10;
  std::int32_t thumbnailFilter_ = 9;
  bool reduceSmallImages_ = true;
  bool removeCorrupted_ = false;
  std::int32_t poolSize_ = 5;
  TVlColor background_ = clWhite;
  TVlPageLoader loader_;
  std::vector<std::uint64_t> corrupted_;
  std::unique_ptr<TVlMIO> mio_;

  // Background loader state (under mutex_).
  std::deque<std::uint64_t> queue_;
  std::vector<std::unique_ptr<Job>> jobs_;
  std::thread loaderThread_;
  std::condition_variable_any loaderWake_;
  std::condition_variable_any loaderIdle_;
  bool loaderStop_ = false;
  std::int32_t visibleFirst_ = -1, visibleLast_ = -1;
};
