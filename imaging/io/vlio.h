// TVlIO: one image between a file, a stream or a memory block and a TVlBitmap with its
// TIOParamsVals record.
//
//   loads              LoadImageFile (by content, then extension), LoadImageFileAs,
//                      LoadImageFileByExtension, LoadImageStream, LoadImageStreamAs,
//                      LoadImageBuffer, LoadImageURL, LoadMetafileImage, ImportMetafile
//   parameters only    ReadFileParams, ReadFileParamsAs, ReadStreamParams, ReadStreamParamsAs
//   saves              SaveImageFile (writer by extension), SaveImageStream (writer by type)
//   events             ReportProgress, ReportFinished; async mode with TVlIOThread workers
//
// Outcome. Every load, save and parameters-only read clears `aborting` at its start and ends
// with OnProgress(100) and OnFinishWork, except where a call does nothing at all (an empty save
// name, a file type outside the table). Failures set `aborting`; LastFailure() keeps the reason.
// A file that cannot be opened or created raises TVlFileError to the caller (parameters-only
// reads catch it and leave fileType 0). Exceptions of codecs never leave a call: they become
// `aborting`.
//
// Saving to a file writes a temporary file beside the target and renames it over the target
// only when the writer succeeded, so a failed save leaves the previous file untouched and no
// partial file behind.
//
// Stream headers: a 12-byte header ("TIFF", "JFIF" or "PCX2", 4 zero bytes, the little-endian
// length of the data that follows) may precede the image data in streams; the JPEG loader always
// recognises one, the TIFF and PCX loaders require one with StreamHeaders set. The stored length
// is clamped to the bytes left in the stream.
//
// Threads. An object is used by one thread at a time. In async mode (with a target the object
// does not own) loads and saves run on a TVlIOThread and return at once; OnProgress and
// OnFinishWork then run on that worker thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "imaging/bitmap.h"
#include "imaging/formats/metafile.h"
#include "imaging/params.h"
#include "imaging/progress.h"
#include "imaging/status.h"
#include "imaging/stream.h"

class TVlIO;

// One asynchronous operation of a TVlIO on its own thread.
class TVlIOThread {
 public:
  TVlIOThread(TVlIO* io, std::function<void()> operation);
  ~TVlIOThread();
  TVlIOThread(const TVlIOThread&) = delete;
  TVlIOThread& operator=(const TVlIOThread&) = delete;
  void Start();
  std::thread::id Id() const { return id_; }

 private:
  friend class TVlIO;
  void Execute();
  TVlIO* io_;
  std::function<void()> operation_;
  std::thread thread_;
  std::atomic<std::thread::id> id_{};
};

class TVlIO {
 public:
  TVlIO();
  ~TVlIO();
  TVlIO(const TVlIO&) = delete;
  TVlIO& operator=(const TVlIO&) = delete;

  // ---- target and record ----
  // Makes `bitmap` the target without taking ownership (nullptr: no target; loads and saves
  // then only report finished). The own target is freed.
  void SetTargetBitmap(TVlBitmap* bitmap);
  TVlBitmap* Target() const { return target_; }
  bool OwnsTarget() const { return ownTarget_ != nullptr && target_ == ownTarget_.get(); }
  TIOParamsVals& Params() { return params_; }
  const TIOParamsVals& Params() const { return params_; }

  // ---- loading ----
  void LoadImageFile(const std::string& name);
  void LoadImageFileAs(const std::string& name, std::int32_t type);
  void LoadImageFileByExtension(const std::string& name);
  void LoadImageStream(TVlStream& stream);
  void LoadImageStreamAs(TVlStream& stream, std::int32_t type);
  // Wraps the caller's block without copying; type 0 detects.
  void LoadImageBuffer(const void* data, std::int64_t size, std::int32_t type);
  void LoadImageURL(const std::string& url);
  // Reads a WMF or EMF file and renders it (see ImportMetafile).
  void LoadMetafileImage(const std::string& name, std::int32_t width, bool transparency, std::int32_t height);
  // Width/height: both >= 0 that size; one negative: kept in proportion; both negative: the
  // picture's own size; 0 for either does nothing. Sides above 16,000 are scaled down.
  void ImportMetafile(const TVlMetafile& metafile, std::int32_t width, bool transparency, std::int32_t height);

  // ---- parameters only (the target is not changed) ----
  void ReadFileParams(const std::string& name);
  void ReadFileParamsAs(const std::string& name, std::int32_t type);
  void ReadStreamParams(TVlStream& stream);
  void ReadStreamParamsAs(TVlStream& stream, std::int32_t type);

  // ---- saving ----
  // Writer chosen by the lower-cased extension; an empty name does nothing.
  void SaveImageFile(const std::string& name);
  void SaveImageStream(TVlStream& stream, std::int32_t type);

  // ---- events ----
  void ReportProgress(TVlIO* sender, int percent);
  void ReportFinished();
  // Waits until no worker runs (with abort: setting `aborting` first). Not from a worker.
  void WaitWorkerThreads(bool abort);

  // ---- properties ----
  std::atomic<bool> aborting{false};
  TVlColor Background = 0;
  bool ChangeBackground = false;
  void SetNativePixelFormat(bool on) { nativePixelFormat_ = on; params_.nativePixelFormat = on; }
  bool NativePixelFormat() const { return nativePixelFormat_; }
  bool AutoAdjustDPI = false;
  bool FilteredAdjustDPI = false;
  bool StreamHeaders = false;
  bool asyncMode = false;
  std::uint8_t defaultDitherMethod = 1;
  std::string proxyAddress, proxyUser, proxyPassword;
  std::int64_t httpMaxBytes = std::int64_t(256) << 20;
  std::int32_t httpTimeoutMs = 60000;
  std::function<void(TVlIO* sender, int percent)> OnProgress;
  std::function<void(TVlIO* sender)> OnFinishWork;

  // The reason of the last failure (ok after a successful call).
  const TVlStatus& LastFailure() const { return failure_; }
  // True when called on one of this object's worker threads.
  bool IsWorkerThread();

 private:
  friend class TVlIOThread;
  ProgressRecord MakeProgress(bool withHandler);
  void Fail(TVlStatus s);
  bool StartAsync(std::function<void()> op);
  void StreamLoad(TVlStream& stream, std::int32_t type, const std::string* fileName);
  void FileLoad(const std::string& name, std::int32_t type);
  void ExternalLoad(TVlStream& stream, std::int32_t type, const std::string* fileName, bool byExtension);
  void StreamSave(TVlStream& stream, std::int32_t type);
  void FileSave(const std::string& name, std::int32_t type, bool external);
  TVlStatus PrepareForWriter(std::int32_t type, bool toFile);
  TVlStatus RunWriter(TVlStream& stream, std::int32_t type, ProgressRecord& pr);
  void ParamsRead(TVlStream& stream, std::int32_t type, bool fromStream);
  void AdjustDPI();
  void EnsureResolution();

  std::unique_ptr<TVlBitmap> ownTarget_;
  TVlBitmap* target_ = nullptr;
  TIOParamsVals params_;
  bool nativePixelFormat_ = false;
  TVlStatus failure_;
  std::mutex workerLock_;
  std::vector<TVlIOThread*> workers_;
  std::vector<std::unique_ptr<TVlIOThread>> finished_;
};

// Equalises different horizontal and vertical resolutions by resampling: the shorter side of
// the record's size is scaled to the other axis' resolution (1000 x 500 at 200 x 100 dpi gives
// 1000 x 1000 at 200 x 200 dpi). `filtered` resamples as vl24RGB with filter 9, otherwise a plain
// stretch keeps the pixel format. The alpha plane is stretched too. The record's width, height
// and resolution follow.
void VlAdjustDPI(TVlBitmap& image, TIOParamsVals& params, bool filtered);

// The writer type a save name's extension chooses (0: none) and whether it is external.
std::int32_t VlWriterTypeOfName(const std::string& name, bool* external = nullptr);
// Lower-cased extension with its dot (".tif"), empty when none.
std::string VlLowerExtension(const std::string& name);
