// TVlMIO: all images of a multi-page file into the page store, and all pages into one file.
//
//   LoadAllFromFile   reads every page of a TIFF (and, once their readers exist, GIF, icon,
//                     DCX) file into the store at its insertion point, or adds one on-demand
//                     page for a single-image file; "http://" names are downloaded first
//   SaveAllToFile     all pages as one multi-page TIFF (page 0 as a new file, every further
//                     page in the writer's insert mode), or as PDF for ".pdf"
//   SaveAllToPDF      all pages as one PDF document
//   PageParams        the parameter record of a page: one per page, kept parallel to the pages
//                     through the store's change notices
//
// Every run clears `aborting` at its start and ends with OnProgress(100) and OnFinishWork;
// callers decide success by reading `aborting` afterwards (LastFailure() gives the reason).
// A file that cannot be opened raises TVlFileError to the caller. Exceptions of codecs and
// libraries never leave a run: they become `aborting`, the half-inserted page is deleted and
// painting is unlocked.
//
// Saving writes to a temporary file in the target's folder and renames it over the target only
// when every page was written; a failed save leaves the previous file untouched.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "imaging/bitmap.h"
#include "imaging/params.h"
#include "imaging/progress.h"
#include "imaging/status.h"

class TVlPageStore;
class TVlStream;

class TVlMIO {
 public:
  explicit TVlMIO(TVlPageStore* store = nullptr);
  ~TVlMIO();
  TVlMIO(const TVlMIO&) = delete;
  TVlMIO& operator=(const TVlMIO&) = delete;

  // Attaches a store; fresh records are appended until the counts agree.
  void AttachStore(TVlPageStore* store);
  TVlPageStore* Store() const { return store_; }

  // ---- whole-file runs ----
  void LoadAllFromFile(const std::string& name);
  void SaveAllToFile(const std::string& name);
  void SaveAllToPDF(const std::string& name);

  // Per-format page loops on a stream (the store's insertion point, stream position kept).
  // Return the number of pages inserted.
  std::int32_t LoadTIFFPages(TVlStream& stream);

  // ---- parameter records ----
  TIOParamsVals* PageParams(std::int32_t index);
  std::int32_t ParamsCount() const { return static_cast<std::int32_t>(params_.size()); }
  // Copies page 0's write options to every other page.
  void ApplyWriteOptionsToAll();

  // ---- acquisition ----
  // Hands a scanned image to the store: OnAcquireBitmap may take it; otherwise a page is
  // inserted at acquirePosition (clamped), the image stored and acquirePosition advanced.
  // Returns the page index, or -1 when the handler took it.
  std::int32_t AcquireImage(TVlBitmap& image);

  // ---- state ----
  std::atomic<bool> aborting{false};
  std::function<void(TVlMIO* sender, int percent)> OnProgress;
  std::function<void(TVlMIO* sender)> OnFinishWork;
  bool AutoAdjustDPI = false;
  bool FilteredAdjustDPI = false;
  std::int32_t acquirePosition = 0;
  std::uint8_t saveBilevelMethod = 1;
  std::function<bool(TVlBitmap& image)> OnAcquireBitmap;
  // Limits of "http://" downloads.
  std::int64_t httpMaxBytes = std::int64_t(256) << 20;
  std::int32_t httpTimeoutMs = 60000;
  std::string proxyAddress, proxyUser, proxyPassword;

  // The reason of the last failure ("" when the last run succeeded).
  const TVlStatus& LastFailure() const { return failure_; }

  // ---- writers used by SaveAllToFile (replaceable for tests) ----
  // Writes one TIFF page: a new file when `insert` is false, otherwise a directory inserted at
  // params.tiffImageIndex of the TIFF the stream holds (positioned at its start).
  using TiffPageWriter = std::function<TVlStatus(TVlStream& stream, bool insert, TVlBitmap& image,
                                                 TIOParamsVals& params, ProgressRecord& progress)>;
  TiffPageWriter tiffPageWriter;

  // ---- change notices of the attached store ----
  void PageInserted(std::int32_t index, std::int32_t);
  void PageDeleted(std::int32_t index, std::int32_t);
  void PageMoved(std::int32_t from, std::int32_t to);
  void PagesSwapped(std::int32_t a, std::int32_t b);
  void PagesCleared(std::int32_t, std::int32_t);

 private:
  void Begin();
  void Finish();
  void Fail(TVlStatus s);
  void ReportProgress(int percent);
  void LoadFromURL(const std::string& url);
  bool LoadDownloaded(std::vector<std::uint8_t>& data, const std::string& contentType);
  void SaveAllAsTIFF(const std::string& name);
  void AdjustDPI(TVlBitmap& image, TIOParamsVals& params);

  TVlPageStore* store_ = nullptr;
  std::vector<std::unique_ptr<TIOParamsVals>> params_;
  TVlStatus failure_;
};
