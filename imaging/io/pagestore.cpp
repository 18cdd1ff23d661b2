#include "imaging/io/pagestore.h"

#include <algorithm>
#include <chrono>

#include "imaging/io/atomic_file.h"
#include "imaging/io/thumbnail.h"
#include "imaging/io/vlmio.h"

// Provided by the single-image I/O: whether a file's extension names a readable type.
bool VlIsReadableFileName(const std::filesystem::path& name);

struct TVlPageStore::Page {
  std::uint64_t id = 0;
  TVlVirtualImageList::Entry* image = nullptr;
  TVlVirtualImageList::Entry* thumb = nullptr;
  TVlColor background = clWhite;
  std::string fileName;
  std::int32_t frame = -1;
  std::int32_t imageId = -1;
  std::int32_t delayTime = 0;
  TVlPageCaption captions[3];
  std::unique_ptr<TVlBitmap> shared;  // checked-out image
  std::int32_t refs = 0;
  bool loadFailed = false;
  std::string loadError;
  bool queued = false;
  bool loading = false;
};

struct TVlPageStore::Job {
  std::uint64_t pageId = 0;
  std::thread thread;
  std::atomic<bool> abort{false};
  bool finished = false;
  TVlPageLoadRequest request;
  TVlPageLoadResult result;
};

namespace {
using Lock = std::lock_guard<std::recursive_mutex>;
}

TVlPageStore::TVlPageStore()
    : images_(std::make_unique<TVlVirtualImageList>("ILIST", 10)),
      thumbs_(std::make_unique<TVlVirtualImageList>("ICACHE", 10)),
      loader_(VlDefaultPageLoader()),
      mio_(std::make_unique<TVlMIO>(this)) {
  // A page that still loads from a file about to be replaced is loaded first, so that saving
  // over a page's own source cannot lose the page.
  replaceListener_ = VlAddFileReplaceListener([this](const std::filesystem::path& f) { LoadPagesReadingFrom(f); });
}

void TVlPageStore::LoadPagesReadingFrom(const std::filesystem::path& file) {
  Lock l(mutex_);
  for (std::int32_t i = 0; i < static_cast<std::int32_t>(pages_.size()); ++i) {
    Page* p = PageAt(i);
    if (!p->image && !p->fileName.empty() && VlSameFile(p->fileName, file))
      EnsureLoaded(i);
  }
}

bool TVlPageStore::LoadPage(std::int32_t index) {
  Lock l(mutex_);
  return EnsureLoaded(index);
}

TVlPageStore::~TVlPageStore() {
  VlRemoveFileReplaceListener(replaceListener_);
  StopLoader();
  // No events while the store goes away.
  OnImageSelect = nullptr;
  OnImageDeselect = nullptr;
  OnBeforeChange = OnAfterChange = nullptr;
  OnPageChanged = OnThumbnailReady = nullptr;
  OnSelectionChanged = OnRefresh = OnCorruptedPage = nullptr;
  Lock l(mutex_);
  currentImagePage_ = 0;
  pages_.clear();
  mio_.reset();
}

// ===================================================================== helpers

TVlPageStore::Page* TVlPageStore::PageAt(std::int32_t index) const {
  if (index < 0 || index >= static_cast<std::int32_t>(pages_.size()))
    return nullptr;
  return pages_[static_cast<std::size_t>(index)].get();
}

std::int32_t TVlPageStore::IndexOf(std::uint64_t pageId) const {
  for (std::size_t i = 0; i < pages_.size(); ++i)
    if (pages_[i]->id == pageId)
      return static_cast<std::int32_t>(i);
  return -1;
}

void TVlPageStore::Notify(void (TVlMIO::*fn)(std::int32_t, std::int32_t), std::int32_t a, std::int32_t b) {
  if (mio_)
    ((*mio_).*fn)(a, b);
}

void TVlPageStore::FireSelect(std::int32_t index) {
  if (userInput_ && OnImageSelect)
    OnImageSelect(index);
}

void TVlPageStore::FireDeselect(std::int32_t index) {
  if (userInput_ && OnImageDeselect)
    OnImageDeselect(index);
}

void TVlPageStore::FireSelectionChanged() {
  if (OnSelectionChanged)
    OnSelectionChanged();
}

void TVlPageStore::FirePageChanged(std::int32_t index) {
  if (OnPageChanged)
    OnPageChanged(index);
}

bool TVlPageStore::IsVisible(std::int32_t index) const {
  return visibleFirst_ < 0 || (index >= visibleFirst_ && index <= visibleLast_);
}

void TVlPageStore::DropThumbnail(Page& p) {
  if (p.thumb) {
    thumbs_->Remove(p.thumb);
    p.thumb = nullptr;
  }
}

void TVlPageStore::DropAllThumbnails() {
  for (auto& p : pages_)
    p->thumb = nullptr;
  thumbs_->Clear();
}

// ===================================================================== page list

std::int32_t TVlPageStore::PageCount() const {
  Lock l(mutex_);
  return static_cast<std::int32_t>(pages_.size());
}

std::int32_t TVlPageStore::InsertRecord(std::int32_t index) {
  const auto count = static_cast<std::int32_t>(pages_.size());
  index = std::clamp(index, 0, count);
  // The page at the current index changes: give the store's own check-out back first.
  if (selected_ >= index)
    ReleaseCurrentImage(true);
  TVlPageChange change{TVlPageChange::insert, index, -1};
  if (OnBeforeChange)
    OnBeforeChange(change);
  auto p = std::make_unique<Page>();
  p->id = nextPageId_++;
  p->background = background_;
  p->captions[0].position = vlcpTop;
  p->captions[1].position = vlcpInfo;
  p->captions[2].position = vlcpBottom;
  pages_.insert(pages_.begin() + index, std::move(p));
  Notify(&TVlMIO::PageInserted, index, 0);
  if (OnAfterChange)
    OnAfterChange(change);
  return index;
}

std::int32_t TVlPageStore::AppendPage() {
  Lock l(mutex_);
  return InsertPage(static_cast<std::int32_t>(pages_.size()));
}

std::int32_t TVlPageStore::InsertPage(std::int32_t index) {
  Lock l(mutex_);
  std::int32_t i = InsertRecord(index);
  SelectPage(i);
  return i;
}

std::int32_t TVlPageStore::InsertPageNoSelect(std::int32_t index) {
  Lock l(mutex_);
  return InsertRecord(index);
}

void TVlPageStore::RemoveRecord(std::int32_t index) {
  Page* p = PageAt(index);
  if (!p)
    return;
  TVlPageChange change{TVlPageChange::remove, index, -1};
  if (OnBeforeChange)
    OnBeforeChange(change);
  if (currentImagePage_ == p->id)
    currentImagePage_ = 0;
  p->shared.reset();
  p->refs = 0;
  if (p->image)
    images_->Remove(p->image);
  DropThumbnail(*p);
  queue_.erase(std::remove(queue_.begin(), queue_.end(), p->id), queue_.end());
  for (auto& j : jobs_)
    if (j->pageId == p->id)
      j->abort = true;
  pages_.erase(pages_.begin() + index);
  Notify(&TVlMIO::PageDeleted, index, 0);
  if (OnAfterChange)
    OnAfterChange(change);
}

bool TVlPageStore::DeletePage(std::int32_t index) {
  Lock l(mutex_);
  if (!PageAt(index))
    return false;
  const std::int32_t s = selected_;
  DeselectAll();
  RemoveRecord(index);
  const auto count = static_cast<std::int32_t>(pages_.size());
  if (index < s)
    SelectPage(s - 1);
  else if (index > s)
    SelectPage(s);
  else
    SelectPage(s < count ? s : count - 1);
  FireSelectionChanged();
  return true;
}

void TVlPageStore::DeleteSelectedPages() {
  Lock l(mutex_);
  // Every DeletePage empties the selection, so work from a sorted copy.
  std::vector<std::int32_t> doomed = selection_;
  if (doomed.empty() && selected_ >= 0)
    doomed.push_back(selected_);
  std::sort(doomed.begin(), doomed.end());
  doomed.erase(std::unique(doomed.begin(), doomed.end()), doomed.end());
  LockUpdate();
  for (auto it = doomed.rbegin(); it != doomed.rend(); ++it)
    DeletePage(*it);
  UnlockUpdate();
}

void TVlPageStore::MovePage(std::int32_t from, std::int32_t to) {
  Lock l(mutex_);
  const auto count = static_cast<std::int32_t>(pages_.size());
  if (!PageAt(from) || to < 0)
    return;
  if (to >= count)
    to = count - 1;  // "past the end" is the last position; keeps the selection in range
  if (to == from)
    return;
  ReleaseCurrentImage(true);
  TVlPageChange change{TVlPageChange::move, from, to};
  if (OnBeforeChange)
    OnBeforeChange(change);
  std::vector<std::int32_t> mapped;
  mapped.reserve(selection_.size());
  for (std::int32_t b : selection_) {
    if (b == from) {
      mapped.push_back(to);
      continue;
    }
    const std::int32_t c = from < b ? b - 1 : b;
    mapped.push_back(c >= to ? c + 1 : c);
  }
  auto rec = std::move(pages_[static_cast<std::size_t>(from)]);
  pages_.erase(pages_.begin() + from);
  pages_.insert(pages_.begin() + to, std::move(rec));
  Notify(&TVlMIO::PageMoved, from, to);
  if (mapped.empty()) {
    const std::int32_t s = selected_;
    DeselectAll();
    SelectPage(s);
  } else {
    selection_ = std::move(mapped);
    selected_ = selection_.front();
  }
  if (OnAfterChange)
    OnAfterChange(change);
  FireSelectionChanged();
}

void TVlPageStore::ClearPages() {
  Lock l(mutex_);
  DeselectAll();
  CancelBackgroundLoads();
  TVlPageChange change{TVlPageChange::reset, -1, -1};
  if (OnBeforeChange)
    OnBeforeChange(change);
  currentImagePage_ = 0;
  while (!pages_.empty()) {
    pages_.pop_back();
    Notify(&TVlMIO::PageDeleted, static_cast<std::int32_t>(pages_.size()), 0);
  }
  images_ = std::make_unique<TVlVirtualImageList>("ILIST", imageCacheSize_);
  thumbs_ = std::make_unique<TVlVirtualImageList>("ICACHE", 10);
  corrupted_.clear();
  if (OnAfterChange)
    OnAfterChange(change);
  FireSelectionChanged();
  if (lockCount_ == 0 && OnRefresh)
    OnRefresh();
}

// ===================================================================== page images

bool TVlPageStore::StoreImage(Page& p, TVlBitmap& image, std::int32_t sourceWidth, std::int32_t sourceHeight) {
  if (image.IsEmpty())
    return false;
  if (p.image) {
    images_->Remove(p.image);
    p.image = nullptr;
  }
  DropThumbnail(p);
  bool reduce = storeType_ == vltThumb;
  if (reduce && !reduceSmallImages_ && image.Width() <= thumbWidth_ && image.Height() <= thumbHeight_)
    reduce = false;
  TVlStatus st;
  if (reduce) {
    std::int32_t w = 0, h = 0;
    VlFitThumbnailSize(image.Width(), image.Height(), thumbWidth_, thumbHeight_, true, w, h);
    TVlBitmap small;
    if (!VlMakeThumbnail(image, w, h, thumbnailFilter_, small))
      return false;
    p.image = images_->Add(small, sourceWidth, sourceHeight, &st);
  } else {
    p.image = images_->Add(image, sourceWidth, sourceHeight, &st);
  }
  if (!p.image)
    return false;
  if (currentImagePage_ == p.id) {
    // The store's cached copy of the current page is out of date: drop it without write-back.
    currentImagePage_ = 0;
    if (p.refs > 0)
      --p.refs;
  }
  if (p.shared) {
    if (p.refs > 0)
      (void)images_->CopyTo(p.image, *p.shared);  // other holders see the new image
    else
      p.shared.reset();
  }
  return true;
}

bool TVlPageStore::SetPageImage(std::int32_t index, TVlBitmap& image) {
  return SetPageImageWithSource(index, image, image.Width(), image.Height());
}

bool TVlPageStore::SetPageImageWithSource(std::int32_t index, TVlBitmap& image, std::int32_t sourceWidth,
                                          std::int32_t sourceHeight) {
  Lock l(mutex_);
  Page* p = PageAt(index);
  if (!p)
    return false;
  if (!StoreImage(*p, image, sourceWidth, sourceHeight))
    return false;
  p->loadFailed = false;
  p->loadError.clear();
  FirePageChanged(index);
  return true;
}

TVlPageLoadRequest TVlPageStore::MakeRequest(const Page& p, bool background) const {
  TVlPageLoadRequest r;
  r.fileName = p.fileName;
  r.frame = p.frame;
  r.background = p.background;
  r.thumbnail = storeType_ == vltThumb;
  r.thumbWidth = thumbWidth_;
  r.thumbHeight = thumbHeight_;
  r.backgroundLoader = background;
  if (!background && OnIOProgress)
    r.progress = OnIOProgress;
  return r;
}

void TVlPageStore::StorePlaceholder(Page& p) {
  TVlBitmap ph;
  const std::int32_t index = IndexOf(p.id);
  bool supplied = OnWrongImage && OnWrongImage(index, ph) && !ph.IsEmpty();
  if (!supplied && !VlMakePlaceholder(thumbWidth_, thumbHeight_, ph))
    return;
  (void)StoreImage(p, ph, ph.Width(), ph.Height());
}

void TVlPageStore::ApplyLoadResult(Page& p, TVlPageLoadResult& r, bool fromLoader) {
  const std::int32_t index = IndexOf(p.id);
  bool ok = r.status.ok() && !r.image.IsEmpty();
  if (ok) {
    if (TIOParamsVals* rec = PageParams(index))
      rec->CopyParams(r.params);
    p.background = r.background;
    if (r.delayTime >= 0)
      p.delayTime = r.delayTime;
    std::int32_t sw = r.sourceWidth > 0 ? r.sourceWidth : r.image.Width();
    std::int32_t sh = r.sourceHeight > 0 ? r.sourceHeight : r.image.Height();
    ok = StoreImage(p, r.image, sw, sh);
    if (!ok)
      r.status = TVlStatus::LimitExceeded("the page image cannot be stored");
  }
  if (ok) {
    p.loadFailed = false;
    p.loadError.clear();
  } else {
    p.loadFailed = true;
    p.loadError = DescribeStatus(r.status.ok() ? TVlStatus::BadData("no image read") : r.status);
    StorePlaceholder(p);
  }
  if (!fromLoader)
    FirePageChanged(index);
}

bool TVlPageStore::EnsureLoaded(std::int32_t index) {
  Page* p = PageAt(index);
  if (!p)
    return false;
  if (p->image)
    return true;
  if (p->fileName.empty() && p->imageId >= 0 && OnImageIDRequest) {
    TVlBitmap b;
    if (OnImageIDRequest(p->imageId, b) && !b.IsEmpty() && StoreImage(*p, b, b.Width(), b.Height())) {
      p->loadFailed = false;
    } else {
      p->loadFailed = true;
      p->loadError = "no image for the page's id";
      StorePlaceholder(*p);
    }
    FirePageChanged(index);
    return p->image != nullptr;
  }
  if (p->fileName.empty())
    return false;
  TVlPageLoadRequest req = MakeRequest(*p, false);
  TVlPageLoadResult res;
  if (loader_) {
    try {
      loader_(req, res);
    } catch (const std::exception&) {
      res.status = TVlStatus::IoError("the page's file cannot be read");
    }
  } else {
    res.status = TVlStatus::Unsupported("no page loader");
  }
  ApplyLoadResult(*p, res, false);
  return p->image != nullptr;
}

bool TVlPageStore::CopyPageImage(std::int32_t index, TVlBitmap& target) {
  Lock l(mutex_);
  if (!EnsureLoaded(index))
    return false;
  Page* p = PageAt(index);
  if (p->shared)
    return target.AssignImage(*p->shared).ok();
  return images_->CopyTo(p->image, target).ok();
}

TVlBitmap* TVlPageStore::CheckOutPageImage(std::int32_t index) {
  Lock l(mutex_);
  if (!EnsureLoaded(index))
    return nullptr;
  Page* p = PageAt(index);
  if (!p->shared) {
    auto b = std::make_unique<TVlBitmap>();
    if (!images_->CopyTo(p->image, *b))
      return nullptr;
    p->shared = std::move(b);
    p->image->checkedOut = true;
  }
  ++p->refs;
  return p->shared.get();
}

void TVlPageStore::ReleasePageImage(std::int32_t index, bool writeBack) {
  Lock l(mutex_);
  Page* p = PageAt(index);
  if (!p || p->refs <= 0 || !p->shared)
    return;
  if (writeBack && p->image) {
    (void)images_->Replace(p->image, *p->shared);
    DropThumbnail(*p);
    FirePageChanged(index);
  }
  if (--p->refs == 0) {
    p->shared.reset();
    if (p->image)
      p->image->checkedOut = false;
  }
}

TVlBitmap* TVlPageStore::CurrentPageImage() {
  Lock l(mutex_);
  Page* p = PageAt(selected_);
  if (!p)
    return nullptr;
  if (currentImagePage_ == p->id && p->shared)
    return p->shared.get();
  ReleaseCurrentImage(true);
  TVlBitmap* b = CheckOutPageImage(selected_);
  if (b)
    currentImagePage_ = p->id;
  return b;
}

void TVlPageStore::ReleaseCurrentImage(bool writeBack) {
  if (!currentImagePage_)
    return;
  const std::int32_t i = IndexOf(currentImagePage_);
  currentImagePage_ = 0;
  if (i >= 0)
    ReleasePageImage(i, writeBack);
}

std::int32_t TVlPageStore::PageImageWidth(std::int32_t index) const {
  Lock l(mutex_);
  const Page* p = PageAt(index);
  if (!p)
    return 0;
  return p->shared ? p->shared->Width() : p->image ? p->image->width : 0;
}

std::int32_t TVlPageStore::PageImageHeight(std::int32_t index) const {
  Lock l(mutex_);
  const Page* p = PageAt(index);
  if (!p)
    return 0;
  return p->shared ? p->shared->Height() : p->image ? p->image->height : 0;
}

std::int32_t TVlPageStore::PageOriginalWidth(std::int32_t index) const {
  Lock l(mutex_);
  const Page* p = PageAt(index);
  if (!p)
    return 0;
  return p->image ? p->image->callerWidth : p->thumb ? p->thumb->callerWidth : 0;
}

std::int32_t TVlPageStore::PageOriginalHeight(std::int32_t index) const {
  Lock l(mutex_);
  const Page* p = PageAt(index);
  if (!p)
    return 0;
  return p->image ? p->image->callerHeight : p->thumb ? p->thumb->callerHeight : 0;
}

bool TVlPageStore::PageHasImage(std::int32_t index) const {
  Lock l(mutex_);
  const Page* p = PageAt(index);
  return p && p->image;
}

bool TVlPageStore::PageLoadFailed(std::int32_t index) const {
  Lock l(mutex_);
  const Page* p = PageAt(index);
  return p && p->loadFailed;
}

std::string TVlPageStore::PageLoadError(std::int32_t index) const {
  Lock l(mutex_);
  const Page* p = PageAt(index);
  return p ? p->loadError : std::string();
}

// ===================================================================== per-page values

std::string TVlPageStore::PageFileName(std::int32_t index) const {
  Lock l(mutex_);
  const Page* p = PageAt(index);
  return p ? p->fileName : std::string();
}

std::int32_t TVlPageStore::PageFrame(std::int32_t index) const {
  Lock l(mutex_);
  const Page* p = PageAt(index);
  return p ? p->frame : -1;
}

void TVlPageStore::SetPageFileName(std::int32_t index, const std::string& name, std::int32_t frame) {
  Lock l(mutex_);
  Page* p = PageAt(index);
  if (!p)
    return;
  p->fileName = name;
  p->frame = frame < 0 ? -1 : frame;
  p->imageId = -1;
}

std::int32_t TVlPageStore::PageImageId(std::int32_t index) const {
  Lock l(mutex_);
  const Page* p = PageAt(index);
  return p ? p->imageId : -1;
}

void TVlPageStore::SetPageImageId(std::int32_t index, std::int32_t id) {
  Lock l(mutex_);
  if (Page* p = PageAt(index))
    p->imageId = id;
}

TVlColor TVlPageStore::PageBackground(std::int32_t index) const {
  Lock l(mutex_);
  const Page* p = PageAt(index);
  return p ? p->background : 0;
}

void TVlPageStore::SetPageBackground(std::int32_t index, TVlColor colour) {
  Lock l(mutex_);
  Page* p = PageAt(index);
  if (!p)
    return;
  p->background = colour;
  DropThumbnail(*p);
  FirePageChanged(index);
}

std::int32_t TVlPageStore::PageDelayTime(std::int32_t index) const {
  Lock l(mutex_);
  const Page* p = PageAt(index);
  return p ? p->delayTime : 0;
}

void TVlPageStore::SetPageDelayTime(std::int32_t index, std::int32_t ms) {
  Lock l(mutex_);
  if (Page* p = PageAt(index))
    p->delayTime = ms;
}

TVlPageCaption TVlPageStore::PageCaption(std::int32_t index, TVlCaptionPosition which) const {
  Lock l(mutex_);
  const Page* p = PageAt(index);
  if (!p || which > vlcpBottom)
    return {};
  return p->captions[which];
}

void TVlPageStore::SetPageCaption(std::int32_t index, TVlCaptionPosition which, const std::string& text) {
  Lock l(mutex_);
  Page* p = PageAt(index);
  if (!p || which > vlcpBottom || p->captions[which].text == text)
    return;
  p->captions[which].text = text;
  FirePageChanged(index);
}

TIOParamsVals* TVlPageStore::PageParams(std::int32_t index) {
  Lock l(mutex_);
  return mio_ ? mio_->PageParams(index) : nullptr;
}

TVlMIO& TVlPageStore::MIO() { return *mio_; }

std::int32_t TVlPageStore::AddFolderPages(const std::filesystem::path& folder, std::int32_t limit) {
  std::vector<std::filesystem::path> files;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(folder, ec)) {
    std::error_code fe;
    if (e.is_regular_file(fe) && VlIsReadableFileName(e.path()))
      files.push_back(e.path());
  }
  std::sort(files.begin(), files.end());
  Lock l(mutex_);
  LockUpdate();
  std::int32_t added = 0;
  for (const auto& f : files) {
    if (limit >= 0 && added >= limit)
      break;
    const std::int32_t i = AppendPage();
    SetPageFileName(i, f.string());
    SetPageInfoText(i, f.filename().string());
    ++added;
  }
  UnlockUpdate();
  return added;
}

void TVlPageStore::LockUpdate() {
  Lock l(mutex_);
  ++lockCount_;
}

void TVlPageStore::UnlockUpdate() {
  Lock l(mutex_);
  if (lockCount_ <= 0)
    return;
  if (--lockCount_ == 0 && OnRefresh)
    OnRefresh();
}

bool TVlPageStore::IsUpdateLocked() const {
  Lock l(mutex_);
  return lockCount_ > 0;
}

// ===================================================================== selection

std::int32_t TVlPageStore::SelectedPage() const {
  Lock l(mutex_);
  return selected_;
}

void TVlPageStore::SelectPage(std::int32_t index) {
  Lock l(mutex_);
  if (!PageAt(index) || (index == selected_ && !multiSelectionMode_))
    return;
  ReleaseCurrentImage(true);
  if (enableMultiSelect_) {
    if (!multiSelectionMode_) {
      std::vector<std::int32_t> old;
      old.swap(selection_);
      for (std::int32_t i : old)
        FireDeselect(i);
    } else {
      auto it = std::find(selection_.begin(), selection_.end(), index);
      if (it != selection_.end()) {
        selection_.erase(it);
        FireDeselect(index);
        selected_ = -1;
        FireSelectionChanged();
        return;
      }
    }
    selection_.push_back(index);
  } else {
    selection_.assign(1, index);
  }
  selected_ = index;
  FireSelect(index);
  FireSelectionChanged();
}

void TVlPageStore::DeselectPage(std::int32_t index) {
  Lock l(mutex_);
  auto it = std::find(selection_.begin(), selection_.end(), index);
  const bool listed = it != selection_.end();
  if (listed)
    selection_.erase(it);
  if (index == selected_ && index >= 0) {
    ReleaseCurrentImage(true);
    selected_ = -1;
  } else if (!listed) {
    return;
  }
  FireDeselect(index);
  FireSelectionChanged();
}

void TVlPageStore::DeselectAll() {
  Lock l(mutex_);
  ReleaseCurrentImage(true);
  std::vector<std::int32_t> old;
  old.swap(selection_);
  const std::int32_t s = selected_;
  selected_ = -1;
  if (enableMultiSelect_) {
    for (std::int32_t i : old)
      FireDeselect(i);
  } else if (s >= 0) {
    FireDeselect(s);
  }
  if (!old.empty() || s >= 0)
    FireSelectionChanged();
}

void TVlPageStore::SelectAllPages() {
  Lock l(mutex_);
  if (!enableMultiSelect_)
    return;
  DeselectAll();
  const auto count = static_cast<std::int32_t>(pages_.size());
  if (count == 0)
    return;
  for (std::int32_t i = 0; i < count; ++i)
    selection_.push_back(i);
  selected_ = count - 1;
  FireSelect(selected_);
  FireSelectionChanged();
}

std::int32_t TVlPageStore::SelectedPageCount() const {
  Lock l(mutex_);
  return static_cast<std::int32_t>(selection_.size());
}

std::int32_t TVlPageStore::SelectedPageAt(std::int32_t i) const {
  Lock l(mutex_);
  if (i < 0 || i >= static_cast<std::int32_t>(selection_.size()))
    return -1;
  return selection_[static_cast<std::size_t>(i)];
}

bool TVlPageStore::IsPageSelected(std::int32_t index) const {
  Lock l(mutex_);
  return std::find(selection_.begin(), selection_.end(), index) != selection_.end();
}

void TVlPageStore::SortSelection() {
  Lock l(mutex_);
  std::sort(selection_.begin(), selection_.end());
}

std::vector<std::int32_t> TVlPageStore::Selection() const {
  Lock l(mutex_);
  return selection_;
}

void TVlPageStore::SetMultiSelectionMode(bool on) {
  Lock l(mutex_);
  multiSelectionMode_ = on;
}
bool TVlPageStore::MultiSelectionMode() const {
  Lock l(mutex_);
  return multiSelectionMode_;
}
void TVlPageStore::SetEnableMultiSelect(bool on) {
  Lock l(mutex_);
  enableMultiSelect_ = on;
}
bool TVlPageStore::EnableMultiSelect() const {
  Lock l(mutex_);
  return enableMultiSelect_;
}
void TVlPageStore::SetUserInput(bool on) {
  Lock l(mutex_);
  userInput_ = on;
}
bool TVlPageStore::UserInput() const {
  Lock l(mutex_);
  return userInput_;
}

// ===================================================================== thumbnails

TVlThumbState TVlPageStore::PageThumbnail(std::int32_t index, TVlBitmap& out, bool enlarge) {
  Lock l(mutex_);
  Page* p = PageAt(index);
  if (!p)
    return TVlThumbState::none;
  const TVlThumbState done = p->loadFailed ? TVlThumbState::failed : TVlThumbState::ready;
  if (p->thumb)
    return thumbs_->CopyTo(p->thumb, out).ok() ? done : TVlThumbState::none;
  if (!p->image) {
    if (p->fileName.empty() && !(p->imageId >= 0 && OnImageIDRequest))
      return TVlThumbState::none;
    const bool now = index == selected_ || p->frame >= 0 || poolSize_ == 0 || p->fileName.empty();
    if (!now) {
      QueueLoad(*p);
      return TVlThumbState::pending;
    }
    EnsureLoaded(index);
    p = PageAt(index);
    if (!p || !p->image)
      return TVlThumbState::none;
    if (p->loadFailed && removeCorrupted_ &&
        std::find(corrupted_.begin(), corrupted_.end(), p->id) == corrupted_.end()) {
      corrupted_.push_back(p->id);
      if (OnCorruptedPage)
        OnCorruptedPage();
    }
    return PageThumbnail(index, out, enlarge);
  }
  TVlBitmap full;
  TVlBitmap* src = p->shared.get();
  if (!src) {
    if (!images_->CopyTo(p->image, full))
      return TVlThumbState::none;
    src = &full;
  }
  std::int32_t w = 0, h = 0;
  VlFitThumbnailSize(src->Width(), src->Height(), thumbWidth_, thumbHeight_, enlarge, w, h);
  if (w == src->Width() && h == src->Height() && !src->HasAlpha()) {
    if (!out.AssignImage(*src))
      return TVlThumbState::none;
  } else if (!VlMakeThumbnail(*src, w, h, thumbnailFilter_, out)) {
    return TVlThumbState::none;
  }
  p->thumb = thumbs_->Add(out, p->image->callerWidth, p->image->callerHeight);
  return done;
}

std::int32_t TVlPageStore::RemoveCorruptedPages() {
  Lock l(mutex_);
  std::vector<std::uint64_t> ids;
  ids.swap(corrupted_);
  std::int32_t removed = 0;
  for (std::uint64_t id : ids) {
    const std::int32_t i = IndexOf(id);
    if (i >= 0 && DeletePage(i))
      ++removed;
  }
  return removed;
}

// ===================================================================== background loader

void TVlPageStore::QueueLoad(Page& p) {
  if (p.queued || p.loading)
    return;
  p.queued = true;
  queue_.push_back(p.id);
  StartLoader();
  loaderWake_.notify_all();
}

void TVlPageStore::StartLoader() {
  if (loaderThread_.joinable())
    return;
  loaderStop_ = false;
  loaderThread_ = std::thread(&TVlPageStore::LoaderMain, this);
}

void TVlPageStore::StopLoader() {
  {
    Lock l(mutex_);
    loaderStop_ = true;
    CancelBackgroundLoads();
    loaderWake_.notify_all();
  }
  if (loaderThread_.joinable())
    loaderThread_.join();
  // Jobs were aborted; wait for them to return (they take the lock only briefly).
  std::vector<std::unique_ptr<Job>> jobs;
  {
    Lock l(mutex_);
    jobs.swap(jobs_);
  }
  for (auto& j : jobs)
    if (j->thread.joinable())
      j->thread.join();
}

void TVlPageStore::LoaderMain() {
  std::unique_lock<std::recursive_mutex> l(mutex_);
  while (!loaderStop_) {
    // Reap finished jobs outside the lock.
    std::vector<std::unique_ptr<Job>> done;
    for (auto it = jobs_.begin(); it != jobs_.end();) {
      if ((*it)->finished) {
        done.push_back(std::move(*it));
        it = jobs_.erase(it);
      } else {
        ++it;
      }
    }
    if (!done.empty()) {
      l.unlock();
      for (auto& j : done)
        if (j->thread.joinable())
          j->thread.join();
      done.clear();
      l.lock();
      continue;
    }
    const std::int32_t pool = std::clamp(poolSize_, 1, 5);
    while (!queue_.empty() && static_cast<std::int32_t>(jobs_.size()) < pool) {
      const std::uint64_t id = queue_.front();
      queue_.pop_front();
      const std::int32_t index = IndexOf(id);
      Page* p = PageAt(index);
      if (!p)
        continue;
      p->queued = false;
      if (p->image || p->fileName.empty() || !IsVisible(index))
        continue;
      auto job = std::make_unique<Job>();
      job->pageId = id;
      job->request = MakeRequest(*p, true);
      job->request.abort = &job->abort;
      p->loading = true;
      Job* raw = job.get();
      jobs_.push_back(std::move(job));
      raw->thread = std::thread(&TVlPageStore::JobMain, this, raw);
    }
    if (queue_.empty() && jobs_.empty()) {
      loaderIdle_.notify_all();
      loaderWake_.wait(l, [&] { return loaderStop_ || !queue_.empty(); });
    } else {
      loaderWake_.wait_for(l, std::chrono::milliseconds(50));
    }
  }
  loaderIdle_.notify_all();
}

void TVlPageStore::JobMain(Job* job) {
  TVlPageLoader loader;
  {
    Lock l(mutex_);
    loader = loader_;
  }
  if (loader) {
    try {
      loader(job->request, job->result);
    } catch (const std::exception&) {
      job->result.status = TVlStatus::IoError("the page's file cannot be read");
    }
  } else {
    job->result.status = TVlStatus::Unsupported("no page loader");
  }
  std::int32_t ready = -1;
  {
    Lock l(mutex_);
    const std::int32_t index = IndexOf(job->pageId);
    if (Page* p = PageAt(index)) {
      p->loading = false;
      if (!job->abort && !p->image) {
        ApplyLoadResult(*p, job->result, true);
        ready = IndexOf(job->pageId);
      }
    }
  }
  if (ready >= 0 && OnThumbnailReady)
    OnThumbnailReady(ready);
  Lock l(mutex_);
  job->finished = true;
  loaderWake_.notify_all();
}

void TVlPageStore::SetVisibleRange(std::int32_t first, std::int32_t last) {
  Lock l(mutex_);
  visibleFirst_ = first < 0 ? -1 : first;
  visibleLast_ = first < 0 ? -1 : last;
  for (auto it = queue_.begin(); it != queue_.end();) {
    const std::int32_t i = IndexOf(*it);
    if (i < 0 || !IsVisible(i)) {
      if (Page* p = PageAt(i))
        p->queued = false;
      it = queue_.erase(it);
    } else {
      ++it;
    }
  }
  for (auto& j : jobs_) {
    const std::int32_t i = IndexOf(j->pageId);
    if (i < 0 || !IsVisible(i))
      j->abort = true;
  }
}

void TVlPageStore::CancelBackgroundLoads() {
  Lock l(mutex_);
  for (std::uint64_t id : queue_)
    if (Page* p = PageAt(IndexOf(id)))
      p->queued = false;
  queue_.clear();
  for (auto& j : jobs_)
    j->abort = true;
  loaderWake_.notify_all();
}

void TVlPageStore::WaitBackgroundLoads() {
  std::unique_lock<std::recursive_mutex> l(mutex_);
  if (!loaderThread_.joinable())
    return;
  loaderWake_.notify_all();
  loaderIdle_.wait(l, [&] { return loaderStop_ || (queue_.empty() && jobs_.empty()); });
}

std::int32_t TVlPageStore::RunningLoads() const {
  Lock l(mutex_);
  std::int32_t n = 0;
  for (const auto& j : jobs_)
    if (!j->finished)
      ++n;
  return n;
}

// ===================================================================== settings

TVlStoreType TVlPageStore::StoreType() const {
  Lock l(mutex_);
  return storeType_;
}
void TVlPageStore::SetStoreType(TVlStoreType t) {
  Lock l(mutex_);
  storeType_ = t;
}
std::int32_t TVlPageStore::ThumbWidth() const {
  Lock l(mutex_);
  return thumbWidth_;
}
std::int32_t TVlPageStore::ThumbHeight() const {
  Lock l(mutex_);
  return thumbHeight_;
}
void TVlPageStore::SetThumbSize(std::int32_t width, std::int32_t height) {
  Lock l(mutex_);
  width = std::max(1, width);
  height = std::max(1, height);
  if (width == thumbWidth_ && height == thumbHeight_)
    return;
  thumbWidth_ = width;
  thumbHeight_ = height;
  DropAllThumbnails();
  if (OnRefresh)
    OnRefresh();
}
std::int32_t TVlPageStore::ImageCacheSize() const {
  Lock l(mutex_);
  return imageCacheSize_;
}
void TVlPageStore::SetImageCacheSize(std::int32_t n) {
  Lock l(mutex_);
  imageCacheSize_ = std::max(1, n);
  images_->SetMaxLoaded(imageCacheSize_);
}
std::int32_t TVlPageStore::ThumbnailFilter() const {
  Lock l(mutex_);
  return thumbnailFilter_;
}
void TVlPageStore::SetThumbnailFilter(std::int32_t f) {
  Lock l(mutex_);
  thumbnailFilter_ = std::clamp(f, 0, 13);
}
bool TVlPageStore::ReduceSmallImages() const {
  Lock l(mutex_);
  return reduceSmallImages_;
}
void TVlPageStore::SetReduceSmallImages(bool on) {
  Lock l(mutex_);
  reduceSmallImages_ = on;
}
bool TVlPageStore::RemoveCorrupted() const {
  Lock l(mutex_);
  return removeCorrupted_;
}
void TVlPageStore::SetRemoveCorrupted(bool on) {
  Lock l(mutex_);
  removeCorrupted_ = on;
}
std::int32_t TVlPageStore::LoaderPoolSize() const {
  Lock l(mutex_);
  return poolSize_;
}
void TVlPageStore::SetLoaderPoolSize(std::int32_t n) {
  Lock l(mutex_);
  poolSize_ = std::clamp(n, 0, 5);
}
TVlColor TVlPageStore::Background() const {
  Lock l(mutex_);
  return background_;
}
void TVlPageStore::SetBackground(TVlColor c) {
  Lock l(mutex_);
  background_ = c;
}
void TVlPageStore::SetPageLoader(TVlPageLoader loader) {
  Lock l(mutex_);
  loader_ = std::move(loader);
}
