// TVlMIO: the parameter list parallel to the pages, acquisition and the run frame.
// The whole-file loaders and writers are in vlmio_files.cpp.
#include "imaging/io/vlmio.h"

#include <algorithm>

#include "imaging/io/pagestore.h"

TVlMIO::TVlMIO(TVlPageStore* store) { AttachStore(store); }

TVlMIO::~TVlMIO() = default;

void TVlMIO::AttachStore(TVlPageStore* store) {
  store_ = store;
  if (!store_)
    return;
  while (ParamsCount() < store_->PageCount())
    params_.push_back(std::make_unique<TIOParamsVals>());
}

TIOParamsVals* TVlMIO::PageParams(std::int32_t index) {
  if (index < 0 || index >= ParamsCount())
    return nullptr;
  return params_[static_cast<std::size_t>(index)].get();
}

void TVlMIO::ApplyWriteOptionsToAll() {
  if (params_.empty())
    return;
  for (std::size_t i = 1; i < params_.size(); ++i)
    params_[i]->CopyWriteOptions(*params_[0]);
}

void TVlMIO::PageInserted(std::int32_t index, std::int32_t) {
  const std::int32_t count = ParamsCount();
  index = std::clamp(index, 0, count);
  auto rec = std::make_unique<TIOParamsVals>();
  if (count > 0)
    rec->CopyWriteOptions(*params_[static_cast<std::size_t>(index < count ? index : count - 1)]);
  params_.insert(params_.begin() + index, std::move(rec));
}

void TVlMIO::PageDeleted(std::int32_t index, std::int32_t) {
  if (index >= 0 && index < ParamsCount())
    params_.erase(params_.begin() + index);
}

void TVlMIO::PageMoved(std::int32_t from, std::int32_t to) {
  const std::int32_t count = ParamsCount();
  if (from < 0 || from >= count || to < 0)
    return;
  if (to >= count)
    to = count - 1;
  auto rec = std::move(params_[static_cast<std::size_t>(from)]);
  params_.erase(params_.begin() + from);
  params_.insert(params_.begin() + to, std::move(rec));
}

void TVlMIO::PagesSwapped(std::int32_t a, std::int32_t b) {
  if (a >= 0 && b >= 0 && a < ParamsCount() && b < ParamsCount())
    std::swap(params_[static_cast<std::size_t>(a)], params_[static_cast<std::size_t>(b)]);
}

void TVlMIO::PagesCleared(std::int32_t, std::int32_t) { params_.clear(); }

// ===================================================================== run frame

void TVlMIO::Begin() {
  aborting = false;
  failure_ = TVlStatus::Ok();
}

void TVlMIO::Fail(TVlStatus s) {
  if (failure_.ok())
    failure_ = s;
  aborting = true;
}

void TVlMIO::ReportProgress(int percent) {
  if (OnProgress)
    OnProgress(this, percent);
  if (store_ && store_->OnProgress)
    store_->OnProgress(percent);
}

void TVlMIO::Finish() {
  ReportProgress(100);
  if (OnFinishWork)
    OnFinishWork(this);
  if (store_ && store_->OnFinishWork)
    store_->OnFinishWork();
}

std::int32_t TVlMIO::AcquireImage(TVlBitmap& image) {
  if (OnAcquireBitmap && OnAcquireBitmap(image))
    return -1;
  if (!store_)
    return -1;
  acquirePosition = std::clamp(acquirePosition, 0, store_->PageCount());
  const std::int32_t i = store_->InsertPageNoSelect(acquirePosition);
  if (TIOParamsVals* r = PageParams(i); r && AutoAdjustDPI)
    AdjustDPI(image, *r);
  store_->SetPageImage(i, image);
  store_->SetPageDelayTime(i, 100);
  ++acquirePosition;
  return i;
}
