#include "imaging/io/vlio.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "imaging/io/atomic_file.h"
#include "imaging/io/codecs.h"
#include "imaging/io/filetypes.h"
#include "imaging/io/http.h"
#include "imaging/io/pagestore.h"
#include "imaging/io/thumbnail.h"
#include "imaging/limits.h"

namespace {

// A read-only window [start, start + length) of another stream, positions relative to start.
class TWindowStream final : public TVlStream {
 public:
  TWindowStream(TVlStream& parent, std::int64_t start, std::int64_t length)
      : parent_(parent), start_(start), length_(length) {}
  std::int64_t Read(void* buffer, std::int64_t n) override {
    n = std::min(n, length_ - pos_);
    if (n <= 0 || !parent_.Seek(start_ + pos_))
      return 0;
    const std::int64_t r = parent_.Read(buffer, n);
    if (r > 0)
      pos_ += r;
    return r;
  }
  std::int64_t Write(const void*, std::int64_t) override { return 0; }
  bool Seek(std::int64_t p) override {
    if (p < 0)
      return false;
    pos_ = p;
    return true;
  }
  std::int64_t Position() const override { return pos_; }
  std::int64_t Size() const override { return length_; }

 private:
  TVlStream& parent_;
  std::int64_t start_, length_, pos_ = 0;
};

// The 12-byte stream header: signature, 4 zero bytes, little-endian length of the data.
struct StreamHeader {
  char signature[5] = {};
  std::int64_t length = -1;  // clamped to the bytes left after the header
};

bool ReadStreamHeader(TVlStream& s, StreamHeader& h) {
  std::uint8_t b[12];
  const std::int64_t at = s.Position();
  if (!s.ReadExact(b, 12)) {
    s.Seek(at);
    return false;
  }
  std::memcpy(h.signature, b, 4);
  h.signature[4] = 0;
  const std::int64_t stored = b[8] | b[9] << 8 | b[10] << 16 | std::int64_t(b[11]) << 24;
  h.length = std::clamp<std::int64_t>(stored, 0, s.Remaining());
  return true;
}

// The first bytes spell `text` followed by a zero byte.
bool Spells(const StreamHeader& h, const char* text, std::size_t n) {
  return std::memcmp(h.signature, text, n) == 0 && (n == 4 || h.signature[n] == 0);
}

std::string Lower(std::string s) {
  for (char& c : s)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

// ===================================================================== names

std::string VlLowerExtension(const std::string& name) {
  const std::string ext = std::filesystem::path(name).extension().string();
  return Lower(ext);
}

std::int32_t VlWriterTypeOfName(const std::string& name, bool* external) {
  if (external)
    *external = false;
  const std::string e = VlLowerExtension(name);
  struct Row {
    const char* ext;
    std::int32_t id;
  };
  static const Row rows[] = {
      {".jpg", 3},  {".jpeg", 3}, {".jpe", 3},  {".jif", 3},   {".jp2", 13},  {".j2k", 14}, {".jpc", 14},
      {".j2c", 14}, {".pcx", 4},  {".dcx", 19}, {".gif", 2},   {".tif", 1},   {".tiff", 1}, {".fax", 1},
      {".g3f", 1},  {".g3n", 1},  {".png", 8},  {".bmp", 5},   {".dib", 5},   {".rle", 5},  {".tga", 11},
      {".targa", 11}, {".vda", 11}, {".icb", 11}, {".vst", 11}, {".win", 11}, {".pxm", 12}, {".pbm", 12},
      {".pgm", 12}, {".ppm", 12}, {".ico", 6},  {".wbmp", 16}, {".ps", 17},   {".eps", 17}, {".pdf", 18},
      {".psd", 24},
  };
  for (const Row& r : rows)
    if (e == r.ext)
      return r.id;
  if (e.empty())
    return 0;
  for (int i = 0; i < FileTypeCount(); ++i) {
    const FileTypeRecord* rec = FileTypeAt(i);
    if (rec && !rec->internal && rec->writer && FileTypeOfExtension(e) == rec->id) {
      if (external)
        *external = true;
      return rec->id;
    }
  }
  const FileTypeRecord* rec = FileTypeByExtension(e);
  if (rec && !rec->internal && rec->writer) {
    if (external)
      *external = true;
    return rec->id;
  }
  return 0;
}

// ===================================================================== worker threads

TVlIOThread::TVlIOThread(TVlIO* io, std::function<void()> operation) : io_(io), operation_(std::move(operation)) {}

TVlIOThread::~TVlIOThread() {
  if (thread_.joinable())
    thread_.join();
}

void TVlIOThread::Start() { thread_ = std::thread(&TVlIOThread::Execute, this); }

void TVlIOThread::Execute() {
  id_ = std::this_thread::get_id();
  try {
    operation_();
  } catch (...) {
    std::fprintf(stderr, "Exception in TVlIOThread.Execute\n");
    io_->aborting = true;
  }
  std::lock_guard<std::mutex> l(io_->workerLock_);
  auto& w = io_->workers_;
  w.erase(std::remove(w.begin(), w.end(), this), w.end());
}

bool TVlIO::IsWorkerThread() {
  const auto me = std::this_thread::get_id();
  std::lock_guard<std::mutex> l(workerLock_);
  for (TVlIOThread* t : workers_)
    if (t->Id() == me)
      return true;
  return false;
}

bool TVlIO::StartAsync(std::function<void()> op) {
  if (!asyncMode || !target_ || OwnsTarget() || IsWorkerThread())
    return false;
  auto t = std::make_unique<TVlIOThread>(this, std::move(op));
  std::vector<std::unique_ptr<TVlIOThread>> done;
  {
    std::lock_guard<std::mutex> l(workerLock_);
    // Threads no longer in the worker list have finished their work: collect them.
    for (auto it = finished_.begin(); it != finished_.end();) {
      if (std::find(workers_.begin(), workers_.end(), it->get()) == workers_.end()) {
        done.push_back(std::move(*it));
        it = finished_.erase(it);
      } else {
        ++it;
      }
    }
    workers_.push_back(t.get());
    finished_.push_back(std::move(t));
    finished_.back()->Start();
  }
  done.clear();  // joins
  return true;
}

void TVlIO::WaitWorkerThreads(bool abort) {
  if (IsWorkerThread())
    return;
  for (;;) {
    std::size_t n;
    {
      std::lock_guard<std::mutex> l(workerLock_);
      if (abort)
        aborting = true;
      n = workers_.size();
    }
    if (n == 0)
      break;
    std::this_thread::yield();
  }
  std::vector<std::unique_ptr<TVlIOThread>> done;
  {
    std::lock_guard<std::mutex> l(workerLock_);
    done.swap(finished_);
  }
}

// ===================================================================== construction

TVlIO::TVlIO() : ownTarget_(std::make_unique<TVlBitmap>()), target_(ownTarget_.get()), params_(this) {
  params_.ownerImageSize = [this](std::int32_t& w, std::int32_t& h) {
    if (target_)
      w = target_->Width(), h = target_->Height();
  };
  params_.ResetParams();
}

TVlIO::~TVlIO() { WaitWorkerThreads(false); }

void TVlIO::SetTargetBitmap(TVlBitmap* bitmap) {
  if (bitmap == target_)
    return;
  ownTarget_.reset();
  target_ = bitmap;
  if (target_)
    target_->bilevelMethod = defaultDitherMethod;
}

ProgressRecord TVlIO::MakeProgress(bool withHandler) {
  ProgressRecord pr;
  if (withHandler)
    pr.handler = [this](int p) { ReportProgress(this, p); };
  pr.sender = this;
  pr.abortFlag = &aborting;
  return pr;
}

void TVlIO::Fail(TVlStatus s) {
  if (failure_.ok())
    failure_ = s.ok() ? TVlStatus::BadData("failed") : s;
  aborting = true;
}

void TVlIO::ReportProgress(TVlIO* sender, int percent) {
  if (OnProgress)
    OnProgress(sender, percent);
}

void TVlIO::ReportFinished() {
  ReportProgress(this, 100);
  if (OnFinishWork)
    OnFinishWork(this);
}

void TVlIO::EnsureResolution() {
  if (params_.dpiX < 2)
    params_.SetDpiX(300);
  if (params_.dpiY < 2)
    params_.SetDpiY(300);
}

void VlAdjustDPI(TVlBitmap& image, TIOParamsVals& params, bool filtered) {
  if (image.IsEmpty())
    return;
  const std::int32_t dx = params.dpiX, dy = params.dpiY;
  if (dx == dy || dx <= 0 || dy <= 0)
    return;
  std::int64_t w = params.width > 0 ? params.width : image.Width();
  std::int64_t h = params.height > 0 ? params.height : image.Height();
  const bool heightChanges = h < w;
  if (heightChanges)
    h = static_cast<std::int64_t>(static_cast<double>(h) / dy * dx);
  else
    w = static_cast<std::int64_t>(static_cast<double>(w) / dx * dy);
  w = std::clamp<std::int64_t>(w, 1, INT32_MAX);
  h = std::clamp<std::int64_t>(h, 1, INT32_MAX);
  if (!CheckImageSize(w, h, std::max(8, image.BitsPerPixel())))
    return;
  std::unique_ptr<TVlBitmap> alpha;
  if (image.HasAlpha()) {
    alpha = std::make_unique<TVlBitmap>();
    if (!alpha->AssignImage(*image.AlphaChannel()))
      alpha.reset();
  }
  TVlBitmap source;
  if (!source.AssignImage(image))
    return;
  source.FreeAlpha();
  int filter = 0;
  if (filtered) {
    if (source.PixelFormat() != vl24RGB && !source.ConvertToFormat(vl24RGB))
      return;
    filter = 9;
  }
  TVlBitmap scaled;
  if (!VlReduceImage(source, static_cast<std::int32_t>(w), static_cast<std::int32_t>(h), filter, scaled))
    return;
  if (!image.AssignImage(scaled))
    return;
  if (heightChanges)
    params.SetDpiY(dx);
  else
    params.SetDpiX(dy);
  params.width = static_cast<std::int32_t>(w);
  params.height = static_cast<std::int32_t>(h);
  if (alpha) {
    TVlBitmap a;
    if (VlReduceImage(*alpha, params.width, params.height, 0, a)) {
      TVlBitmap* ta = image.AlphaChannel();
      for (std::int32_t y = 0; ta && y < params.height; ++y)
        std::memcpy(ta->RowPointer(y), a.RowPointer(y), static_cast<std::size_t>(std::min(ta->RowLength(), a.RowLength())));
      image.RecheckAlphaFull();
    }
  }
}

void TVlIO::AdjustDPI() {
  if (target_)
    VlAdjustDPI(*target_, params_, FilteredAdjustDPI);
}

// ===================================================================== loading

void TVlIO::StreamLoad(TVlStream& stream, std::int32_t type, const std::string* fileName) {
  aborting = false;
  failure_ = TVlStatus::Ok();
  ProgressRecord pr = MakeProgress(true);
  if (!target_) {
    ReportFinished();
    return;
  }
  params_.ClearReadInfo();
  params_.nativePixelFormat = nativePixelFormat_;

  // Stream headers.
  TVlStream* src = &stream;
  std::unique_ptr<TWindowStream> window;
  std::int64_t after = -1;
  const std::int64_t at = stream.Position();
  auto useWindow = [&](std::int64_t start, std::int64_t length) {
    window = std::make_unique<TWindowStream>(stream, start, length);
    src = window.get();
    after = start + length;
  };
  if (type == vlftJPEG) {
    StreamHeader h;
    if (ReadStreamHeader(stream, h) && Spells(h, "JFIF", 4))
      useWindow(at + 12, h.length);
    else
      stream.Seek(at);
  } else if (StreamHeaders && (type == vlftTIFF || type == vlftPCX)) {
    StreamHeader h;
    const bool read = ReadStreamHeader(stream, h);
    if (type == vlftTIFF) {
      if (!read || !Spells(h, "TIFF", 4)) {
        Fail(TVlStatus::BadData("stream header does not match"));
        ReportFinished();
        return;
      }
      useWindow(at + 12, h.length);
    } else {
      if (!read || std::memcmp(h.signature, "PCX", 3) != 0) {
        Fail(TVlStatus::BadData("stream header does not match"));
        ReportFinished();
        return;
      }
      if (Spells(h, "PCX2", 4))
        useWindow(at + 12, h.length);
      else
        useWindow(at + 4, std::max<std::int64_t>(0, stream.Size() - (at + 4)));
    }
  }

  target_->DropAlpha(false, clWhite);
  std::unique_ptr<TVlMask> alpha;
  std::vector<std::uint8_t> preview;
  TVlStatus s;
  try {
    if (type == vlftRAW && FileTypeOfExtension("RAW") != vlftRAW && FileTypeOfExtension("RAW") != 0) {
      const std::int32_t other = FileTypeOfExtension("RAW");
      LoadImageStreamAs(*src, other);
      return;
    }
    s = VlReadByType(type, *src, target_, params_, pr, false, alpha, type == vlftRAW ? &preview : nullptr);
    if (s && type == vlftRAW && !preview.empty()) {
      // The embedded JPEG preview replaces the developed image when the JPEG codec can read it.
      TVlMemoryStream m(preview.data(), static_cast<std::int64_t>(preview.size()));
      TIOParamsVals jp;
      std::unique_ptr<TVlMask> none;
      ProgressRecord quiet = MakeProgress(false);
      std::atomic<bool> jabort{false};
      quiet.abortFlag = &jabort;
      if (!VlReadByType(vlftJPEG, m, target_, jp, quiet, false, none)) {
        params_.rawGetExifThumbnail = false;
        src->Seek(src == &stream ? at : 0);
        s = VlReadByType(vlftRAW, *src, target_, params_, pr, false, alpha, nullptr);
      }
    }
  } catch (const std::bad_alloc&) {
    s = TVlStatus::LimitExceeded("out of memory while reading");
  } catch (const std::exception&) {
    s = TVlStatus::BadData("the reader failed");
  }
  if (!s)
    Fail(s);
  if (after >= 0)
    stream.Seek(after);
  if (!aborting) {
    EnsureResolution();
    if (alpha)
      target_->AlphaFromMask(alpha.get());
    if (AutoAdjustDPI)
      AdjustDPI();
  }
  params_.fileName = fileName ? *fileName : std::string();
  params_.fileType = type;
  if (type == vlftPNG)
    Background = VlRGBToColor(params_.pngBackgroundColor);
  ReportFinished();
}

void TVlIO::FileLoad(const std::string& name, std::int32_t type) {
  TVlFileStream f(name, TVlFileStream::Mode::read);
  StreamLoad(f, type, &name);
}

void TVlIO::ExternalLoad(TVlStream& stream, std::int32_t type, const std::string* fileName, bool byExtension) {
  params_.fileName.clear();
  params_.fileType = 0;
  params_.ClearReadInfo();
  failure_ = TVlStatus::Ok();
  const FileTypeRecord* rec = FileTypeById(type);
  if (!rec || !rec->reader) {
    Fail(TVlStatus::Unsupported("no reader for the file type"));
    ReportFinished();
    return;
  }
  aborting = true;
  if (target_) {
    aborting = false;
    params_.fileName = fileName ? *fileName : std::string();
    params_.fileType = type;
    ProgressRecord pr = MakeProgress(true);
    try {
      rec->reader(stream, *target_, params_, false, pr);
    } catch (...) {
      Fail(TVlStatus::BadData("the reader failed"));
    }
    (void)byExtension;
    if (!aborting && AutoAdjustDPI)
      AdjustDPI();
  }
  ReportFinished();
}

void TVlIO::LoadImageFile(const std::string& name) {
  if (StartAsync([this, name] { LoadImageFile(name); }))
    return;
  const std::int32_t t = DetectFileType(name, false);
  if (t == 0)
    LoadImageFileByExtension(name);
  else
    LoadImageFileAs(name, t);
}

void TVlIO::LoadImageFileAs(const std::string& name, std::int32_t type) {
  if (StartAsync([this, name, type] { LoadImageFileAs(name, type); }))
    return;
  if (type == vlftAVI) {  // detected video: refused like a file that cannot be opened
    aborting = false;
    failure_ = TVlStatus::Ok();
    Fail(TVlStatus::Unsupported("video files are not supported"));
    ReportFinished();
    return;
  }
  const FileTypeRecord* rec = FileTypeById(type);
  if (!rec)
    return;
  if (!rec->internal) {
    TVlFileStream f(name, TVlFileStream::Mode::read);
    ExternalLoad(f, type, &name, false);
    return;
  }
  switch (type) {
    case vlftWMF:
    case vlftEMF: LoadMetafileImage(name, -1, true, -1); return;
    case vlftPS:
    case vlftPDF: LoadImageFileByExtension(name); return;
    case vlftVLV:
    case vlftLYR:
    case vlftALL:
      aborting = false;
      failure_ = TVlStatus::Ok();
      Fail(TVlStatus::Unsupported("vector objects and layers are read by the view"));
      params_.fileType = type;
      ReportFinished();
      return;
    default: FileLoad(name, type); return;
  }
}

void TVlIO::LoadImageFileByExtension(const std::string& name) {
  if (!target_)
    return;
  if (StartAsync([this, name] { LoadImageFileByExtension(name); }))
    return;
  failure_ = TVlStatus::Ok();
  if (name.empty()) {
    Fail(TVlStatus::BadData("empty file name"));
    ReportFinished();
    return;
  }
  if (VlIsHttpName(name)) {
    LoadImageURL(name);
    return;
  }
  const std::string ext = VlLowerExtension(name);
  if (ext == ".avi") {
    aborting = false;
    Fail(TVlStatus::Unsupported("video files are not supported"));
    ReportFinished();
    return;
  }
  const FileTypeRecord* p = FileTypeByExtension(ext);
  if (!p) {
    aborting = false;
    Fail(TVlStatus::Unsupported("no reader for the file's extension"));
    ReportFinished();
    return;
  }
  if (p->internal && p->reader && p->id != vlftPS && p->id != vlftPDF) {
    LoadImageFileAs(name, p->id);
    return;
  }
  if (!p->reader) {
    aborting = false;
    Fail(TVlStatus::Unsupported("no reader for the file type"));
    ReportFinished();
    return;
  }
  TVlFileStream f(name, TVlFileStream::Mode::read);
  ExternalLoad(f, p->id, &name, true);
}

void TVlIO::LoadImageStream(TVlStream& stream) {
  if (StartAsync([this, &stream] { LoadImageStream(stream); }))
    return;
  const std::int64_t at = stream.Position();
  const std::int32_t t = DetectStreamType(stream);
  if (!FileTypeById(t) && t != vlftAVI) {
    // Unrecognised content: report it like any other failed load.
    aborting = false;
    failure_ = TVlStatus::Ok();
    Fail(TVlStatus::BadData("unrecognised image data"));
    ReportFinished();
    return;
  }
  stream.Seek(at);
  LoadImageStreamAs(stream, t);
}

void TVlIO::LoadImageStreamAs(TVlStream& stream, std::int32_t type) {
  if (StartAsync([this, &stream, type] { LoadImageStreamAs(stream, type); }))
    return;
  const FileTypeRecord* rec = FileTypeById(type);
  if (!rec || !rec->internal) {
    if (rec) {
      ExternalLoad(stream, type, nullptr, false);
    } else {
      aborting = false;
      failure_ = TVlStatus::Ok();
      Fail(TVlStatus::Unsupported(type == vlftAVI ? "video files are not supported" : "unknown file type"));
      ReportFinished();
    }
    return;
  }
  switch (type) {
    case vlftWMF:
    case vlftEMF: {
      std::vector<std::uint8_t> data;
      TVlMetafile m;
      aborting = false;
      failure_ = TVlStatus::Ok();
      if (!ReadRemaining(stream, data)) {
        Fail(TVlStatus::Truncated("metafile cannot be read"));
      } else if (TVlStatus s = VlOpenMetafile(std::move(data), m); !s) {
        Fail(s);
      } else {
        ImportMetafile(m, -1, true, -1);
      }
      ReportFinished();
      return;
    }
    case vlftPS:
    case vlftPDF:
    case vlftVLV:
    case vlftLYR:
    case vlftALL:
      aborting = false;
      failure_ = TVlStatus::Ok();
      Fail(TVlStatus::Unsupported("unsupported"));
      ReportFinished();
      return;
    default: StreamLoad(stream, type, nullptr); return;
  }
}

void TVlIO::LoadImageBuffer(const void* data, std::int64_t size, std::int32_t type) {
  if (StartAsync([this, data, size, type] { LoadImageBuffer(data, size, type); }))
    return;
  TVlMemoryStream s(data, size);
  if (type == 0)
    LoadImageStream(s);
  else
    LoadImageStreamAs(s, type);
}

void TVlIO::LoadImageURL(const std::string& url) {
  if (StartAsync([this, url] { LoadImageURL(url); }))
    return;
  aborting = false;
  failure_ = TVlStatus::Ok();
  TVlHttpRequest req;
  req.url = url;
  req.proxy = proxyAddress;
  req.proxyUser = proxyUser;
  req.proxyPassword = proxyPassword;
  req.maxBytes = httpMaxBytes;
  req.timeoutMs = httpTimeoutMs;
  TVlHttpResponse resp;
  const TVlStatus s = VlHttpGet(req, resp, &aborting, [this](int p) { ReportProgress(this, p); });
  if (!s) {
    aborting = false;
    Fail(s);
    ReportFinished();
    return;
  }
  TVlMemoryStream m(std::move(resp.body));
  LoadImageStream(m);
}

void TVlIO::LoadMetafileImage(const std::string& name, std::int32_t width, bool transparency, std::int32_t height) {
  if (StartAsync([this, name, width, transparency, height] { LoadMetafileImage(name, width, transparency, height); }))
    return;
  aborting = false;
  failure_ = TVlStatus::Ok();
  std::vector<std::uint8_t> data;
  {
    TVlFileStream f(name, TVlFileStream::Mode::read);
    if (!ReadRemaining(f, data)) {
      Fail(TVlStatus::Truncated("metafile cannot be read"));
      ReportFinished();
      return;
    }
  }
  TVlMetafile m;
  if (TVlStatus s = VlOpenMetafile(std::move(data), m); !s) {
    Fail(s);
    ReportFinished();
    return;
  }
  ImportMetafile(m, width, transparency, height);
  params_.fileName = name;
  ReportFinished();
}

void TVlIO::ImportMetafile(const TVlMetafile& m, std::int32_t width, bool transparency, std::int32_t height) {
  aborting = false;
  if (width == 0 || height == 0 || !target_)
    return;
  params_.ClearReadInfo();
  std::int64_t w = 0, h = 0;
  if (!VlMetafileRenderSize(m.width, m.height, width, height, w, h)) {
    Fail(TVlStatus::BadData("metafile size is zero"));
    return;
  }
  TVlStatus s;
  try {
    s = VlRenderMetafile(m, static_cast<std::int32_t>(w), static_cast<std::int32_t>(h), Background, transparency,
                         *target_);
  } catch (const std::exception&) {
    s = TVlStatus::BadData("metafile cannot be drawn");
  }
  if (!s) {
    Fail(s);
    return;
  }
  params_.fileType = m.kind == vlftEMF ? vlftEMF : vlftWMF;
  params_.bitsPerSample = 8;
  params_.samplesPerPixel = 3;
  params_.width = static_cast<std::int32_t>(w);
  params_.height = static_cast<std::int32_t>(h);
  params_.SetDpiX(300);
  params_.SetDpiY(300);
  params_.colorMap.clear();
  params_.colorMapCount = 0;
  params_.fileName.clear();
}

// ===================================================================== parameters only

void TVlIO::ParamsRead(TVlStream& stream, std::int32_t type, bool) {
  ProgressRecord pr = MakeProgress(false);
  std::unique_ptr<TVlMask> alpha;
  const FileTypeRecord* rec = FileTypeById(type);
  try {
    if (rec && !rec->internal) {
      if (rec->reader && target_)
        rec->reader(stream, *target_, params_, true, pr);
      return;
    }
    if (type == vlftPS || type == vlftPDF || type == vlftAVI || type == 0 || type >= vlftVLV)
      return;  // nothing to read
    if (TVlStatus s = VlReadByType(type, stream, nullptr, params_, pr, true, alpha); !s)
      Fail(s);
  } catch (const std::exception&) {
    Fail(TVlStatus::BadData("the reader failed"));
  }
}

void TVlIO::ReadFileParams(const std::string& name) {
  const std::int32_t t = DetectFileType(name, true);
  ReadFileParamsAs(name, t);
}

void TVlIO::ReadFileParamsAs(const std::string& name, std::int32_t type) {
  params_.fileType = type;
  params_.ClearReadInfo();
  failure_ = TVlStatus::Ok();
  aborting = true;
  try {
    TVlFileStream f(name, TVlFileStream::Mode::read);
    aborting = false;
    params_.nativePixelFormat = nativePixelFormat_;
    ParamsRead(f, type, false);
  } catch (const std::exception&) {
    Fail(TVlStatus::IoError("the file cannot be opened"));
  }
  if (aborting || type == 0)
    params_.fileType = 0;
  if (type == 0 && failure_.ok())
    failure_ = TVlStatus::BadData("unrecognised file type");
  params_.fileName = name;
  ReportFinished();
}

void TVlIO::ReadStreamParams(TVlStream& stream) {
  const std::int64_t at = stream.Position();
  const std::int32_t t = DetectStreamType(stream);
  stream.Seek(at);
  ReadStreamParamsAs(stream, t);
}

void TVlIO::ReadStreamParamsAs(TVlStream& stream, std::int32_t type) {
  params_.fileType = type;
  params_.ClearReadInfo();
  failure_ = TVlStatus::Ok();
  aborting = false;
  params_.nativePixelFormat = nativePixelFormat_;
  ParamsRead(stream, type, true);
  if (aborting || type == 0)
    params_.fileType = 0;
  ReportFinished();
}

// ===================================================================== saving

TVlStatus TVlIO::PrepareForWriter(std::int32_t type, bool toFile) {
  const TVlPixelFormat f = target_->PixelFormat();
  switch (type) {
    case vlftTIFF:
    case vlftGIF:
    case vlftBMP:
    case vlftPNG:
    case vlftDCX:
    case vlftPSD: return TVlStatus::Ok();
    case vlftPNM:
      if (toFile) {
        if (f == vl24RGB || f == vl1g || f == vlRGB48)
          return TVlStatus::Ok();
        return target_->ConvertToFormat(vl24RGB);
      }
      [[fallthrough]];
    default:
      if (f == vl24RGB || f == vl1g)
        return TVlStatus::Ok();
      return target_->ConvertToFormat(vl24RGB);
  }
}

TVlStatus TVlIO::RunWriter(TVlStream& stream, std::int32_t type, ProgressRecord& pr) {
  const FileTypeRecord* rec = FileTypeById(type);
  if (rec && !rec->internal) {
    if (!rec->writer)
      return pr.Fail(TVlStatus::Unsupported("no writer for the file type"));
    rec->writer(stream, *target_, params_, pr);
    return aborting ? (pr.failure.ok() ? TVlStatus::IoError("the writer failed") : pr.failure) : TVlStatus::Ok();
  }
  std::unique_ptr<TVlMask> mask;
  if ((type == vlftPNG || type == vlftTGA) && target_->HasAlpha()) {
    mask = std::make_unique<TVlMask>();
    if (mask->Allocate(target_->Width(), target_->Height(), 8))
      target_->AlphaChannel()->MaskFromImage(*mask);
    else
      mask.reset();
  }
  const bool header = StreamHeaders && (type == vlftTIFF || type == vlftJPEG || type == vlftPCX);
  const std::int64_t start = stream.Position();
  if (header) {
    const std::uint8_t zero[12] = {};
    if (!stream.WriteAll(zero, 12))
      return pr.Fail(TVlStatus::IoError("write failed"));
  }
  TVlStatus s = VlWriteByType(type, stream, *target_, params_, pr, mask.get());
  if (header && (s || type != vlftPCX)) {
    const std::int64_t end = stream.Position();
    const std::int64_t len = end - start - 12;
    std::uint8_t h[12] = {};
    std::memcpy(h, type == vlftTIFF ? "TIFF" : type == vlftJPEG ? "JFIF" : "PCX2", 4);
    h[8] = std::uint8_t(len), h[9] = std::uint8_t(len >> 8), h[10] = std::uint8_t(len >> 16),
    h[11] = std::uint8_t(len >> 24);
    if (!stream.Seek(start) || !stream.WriteAll(h, 12) || !stream.Seek(end))
      s = pr.Fail(TVlStatus::IoError("write failed"));
  }
  return s;
}

void TVlIO::FileSave(const std::string& name, std::int32_t type, bool) {
  failure_ = TVlStatus::Ok();
  aborting = true;
  if (!target_) {
    ReportFinished();
    return;
  }
  if (TVlStatus s = PrepareForWriter(type, true); !s) {
    Fail(s);
    ReportFinished();
    return;
  }
  TVlAtomicFile file(name);
  aborting = false;
  ProgressRecord pr = MakeProgress(true);
  TVlStatus s;
  try {
    s = RunWriter(file.Stream(), type, pr);
  } catch (const std::bad_alloc&) {
    s = TVlStatus::LimitExceeded("out of memory while writing");
  } catch (const std::exception&) {
    s = TVlStatus::IoError("the writer failed");
  }
  if (!s)
    Fail(s);
  if (!aborting) {
    if (TVlStatus c = file.Commit(); !c)
      Fail(c);
  } else {
    file.Discard();
  }
  params_.fileName = name;
  params_.fileType = type;
  ReportFinished();
}

void TVlIO::SaveImageFile(const std::string& name) {
  if (name.empty())
    return;
  if (StartAsync([this, name] { SaveImageFile(name); }))
    return;
  bool external = false;
  const std::int32_t type = VlWriterTypeOfName(name, &external);
  failure_ = TVlStatus::Ok();
  if (type == 0) {
    Fail(TVlStatus::Unsupported("no writer for the file's extension"));
    return;
  }
  if (!external && !VlHasWriter(type)) {
    Fail(TVlStatus::Unsupported("unsupported"));
    ReportFinished();
    return;
  }
  FileSave(name, type, external);
}

void TVlIO::StreamSave(TVlStream& stream, std::int32_t type) {
  aborting = false;
  failure_ = TVlStatus::Ok();
  if (!target_) {
    ReportFinished();
    return;
  }
  ProgressRecord pr = MakeProgress(true);
  TVlStatus s = PrepareForWriter(type, false);
  if (s) {
    try {
      s = RunWriter(stream, type, pr);
    } catch (const std::exception&) {
      s = TVlStatus::IoError("the writer failed");
    }
  }
  if (!s)
    Fail(s);
  ReportFinished();
}

void TVlIO::SaveImageStream(TVlStream& stream, std::int32_t type) {
  if (StartAsync([this, &stream, type] { SaveImageStream(stream, type); }))
    return;
  const FileTypeRecord* rec = FileTypeById(type);
  if (rec && !rec->internal && rec->writer) {
    aborting = false;
    failure_ = TVlStatus::Ok();
    ProgressRecord pr = MakeProgress(true);
    if (target_) {
      if (TVlStatus s = PrepareForWriter(type, false); !s)
        Fail(s);
      params_.fileType = type;
      if (!aborting) {
        try {
          rec->writer(stream, *target_, params_, pr);
        } catch (const std::exception&) {
          Fail(TVlStatus::IoError("the writer failed"));
        }
      }
    }
    ReportFinished();
    return;
  }
  switch (type) {
    case vlftTIFF: case vlftGIF: case vlftJPEG: case vlftPCX: case vlftBMP: case vlftICO: case vlftPNG:
    case vlftTGA: case vlftPNM: case vlftJP2: case vlftJ2K: case vlftWBMP: case vlftPS: case vlftPDF:
    case vlftDCX: case vlftPSD:
      StreamSave(stream, type);
      return;
    default:
      failure_ = TVlStatus::Ok();
      Fail(TVlStatus::Unsupported("no writer for the file type"));
      return;
  }
}

// ===================================================================== page store glue

bool VlIsReadableFileName(const std::filesystem::path& name) { return IsReadableExtension(name); }

TVlPageLoader VlDefaultPageLoader() {
  return [](const TVlPageLoadRequest& req, TVlPageLoadResult& out) {
    TVlIO io;
    io.SetTargetBitmap(&out.image);
    io.Background = req.background;
    TIOParamsVals& p = io.Params();
    if (req.thumbnail) {
      p.jpegScale = 0;
      const bool small = req.thumbWidth <= 200 && req.thumbHeight <= 200;
      p.SetThumbnailHint(small);
      p.rawGetExifThumbnail = small;
      p.jpegDctMethod = 1;
      p.width = req.thumbWidth;
      p.height = req.thumbHeight;
    } else {
      p.jpegScale = 1;
    }
    if (req.frame >= 0)
      p.SetImageIndex(req.frame);
    io.OnProgress = [&req, &io](TVlIO*, int percent) {
      if (req.abort && req.abort->load())
        io.aborting = true;
      if (req.progress)
        req.progress(percent);
    };
    try {
      const std::string ext = VlLowerExtension(req.fileName);
      if (req.backgroundLoader && (ext == ".emf" || ext == ".wmf"))
        io.LoadMetafileImage(req.fileName, req.thumbWidth, true, -1);
      else
        io.LoadImageFile(req.fileName);
    } catch (const TVlFileError&) {
      out.status = TVlStatus::IoError("the file cannot be opened");
      return;
    }
    if (io.aborting || out.image.IsEmpty()) {
      out.status = io.LastFailure().ok() ? TVlStatus::BadData("no image read") : io.LastFailure();
      return;
    }
    out.params.CopyParams(io.Params());
    out.background = io.Background;
    if (req.frame >= 0 && p.fileType == vlftGIF)
      out.delayTime = p.gifDelayTime * 10;
    if (p.fileType == vlftJPEG && p.jpegOriginalWidth > 0) {
      out.sourceWidth = p.jpegOriginalWidth;
      out.sourceHeight = p.jpegOriginalHeight;
    } else {
      out.sourceWidth = p.width;
      out.sourceHeight = p.height;
    }
    out.status = TVlStatus::Ok();
  };
}
