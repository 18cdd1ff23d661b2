// Whole-file runs of TVlMIO: the page loop of multi-page files, one on-demand page for a
// single-image file, downloads, and the TIFF and PDF writers over all pages.
#include <algorithm>
#include <cctype>

#include "imaging/io/atomic_file.h"
#include "imaging/io/codecs.h"
#include "imaging/io/filetypes.h"
#include "imaging/io/http.h"
#include "imaging/io/pagestore.h"
#include "imaging/io/vlio.h"
#include "imaging/io/vlmio.h"
#include "imaging/tempfile.h"
#include "pdf/pdf_images.h"

namespace {

std::string Trim(const std::string& s) {
  std::size_t a = 0, b = s.size();
  while (a < b && std::isspace(static_cast<unsigned char>(s[a])))
    ++a;
  while (b > a && std::isspace(static_cast<unsigned char>(s[b - 1])))
    --b;
  return s.substr(a, b - a);
}

bool IsTIFFExtension(const std::string& e) {
  return e == ".tif" || e == ".tiff" || e == ".fax" || e == ".g3f" || e == ".g3n" || e == ".xif";
}

// Painting of the store stays suspended for the whole run, also when it ends early.
class TUpdateLock {
 public:
  explicit TUpdateLock(TVlPageStore* s) : s_(s) {
    if (s_)
      s_->LockUpdate();
  }
  ~TUpdateLock() {
    if (s_)
      s_->UnlockUpdate();
  }
  TUpdateLock(const TUpdateLock&) = delete;
  TUpdateLock& operator=(const TUpdateLock&) = delete;

 private:
  TVlPageStore* s_;
};

}  // namespace

void TVlMIO::AdjustDPI(TVlBitmap& image, TIOParamsVals& params) { VlAdjustDPI(image, params, FilteredAdjustDPI); }

std::int32_t TVlMIO::LoadTIFFPages(TVlStream& stream) {
  if (!store_)
    return 0;
  TUpdateLock lock(store_);
  const std::int32_t selected = store_->SelectedPage();
  std::int32_t i = selected >= 0 ? selected : store_->PageCount();
  const std::int64_t start = stream.Position();
  std::int32_t inserted = 0;
  std::int32_t n = 1;
  for (std::int32_t k = 0; k < n; ++k) {
    store_->InsertPageNoSelect(i);
    TIOParamsVals* r = PageParams(i);
    TVlBitmap bitmap;
    std::unique_ptr<TVlMask> alpha;
    std::int32_t pages = 0;
    bool ok = false;
    try {
      stream.Seek(start);
      r->SetImageIndex(k);
      ProgressRecord pr;
      pr.abortFlag = &aborting;
      const TVlStatus s = VlReadTIFFPage(stream, &bitmap, *r, pr, false, alpha, pages);
      if (!s)
        Fail(s);
      n = pages;
      if (!aborting) {
        if (alpha)
          bitmap.AlphaFromMask(alpha.get());
        if (r->dpiX < 2)
          r->SetDpiX(300);
        if (r->dpiY < 2)
          r->SetDpiY(300);
        if (AutoAdjustDPI)
          AdjustDPI(bitmap, *r);
      }
      r->SetImageIndex(i);
      r->fileType = vlftTIFF;
      r->fileName.clear();
      ok = !aborting && !bitmap.IsEmpty() && store_->SetPageImage(i, bitmap);
      if (!aborting && !bitmap.IsEmpty() && !ok)
        Fail(TVlStatus::LimitExceeded("the page image cannot be stored"));
    } catch (const std::bad_alloc&) {
      Fail(TVlStatus::LimitExceeded("out of memory while reading a page"));
    } catch (const std::exception&) {
      Fail(TVlStatus::BadData("the reader failed"));
    }
    if (!ok) {
      // The half-inserted page goes; the selection's indexes stay as they were.
      std::lock_guard<std::recursive_mutex> l(store_->mutex_);
      store_->RemoveRecord(i);
    } else {
      store_->SetPageDelayTime(i, 100);
      ++inserted;
    }
    if (n > 0)
      ReportProgress(static_cast<int>(std::int64_t(k) * 100 / n));
    if (aborting)
      break;
    if (ok)
      ++i;
  }
  return inserted;
}

void TVlMIO::LoadAllFromFile(const std::string& name) {
  const std::string n = Trim(name);
  if (n.empty()) {
    failure_ = TVlStatus::BadData("empty file name");
    aborting = true;
    return;
  }
  if (VlIsHttpName(n)) {
    LoadFromURL(n);
    return;
  }
  Begin();
  const std::string ext = VlLowerExtension(n);
  if (IsTIFFExtension(ext)) {
    TVlFileStream f(n, TVlFileStream::Mode::read);  // a file that cannot be opened raises to the caller
    LoadTIFFPages(f);
  } else if (ext == ".gif" || ext == ".ico" || ext == ".dcx") {
    Fail(TVlStatus::Unsupported("unsupported"));
  } else if (ext == ".avi") {
    Fail(TVlStatus::Unsupported("video files are not supported"));
  } else if (IsReadableExtension(n)) {
    if (store_) {
      const std::int32_t selected = store_->SelectedPage();
      const std::int32_t i = store_->InsertPageNoSelect(selected >= 0 ? selected : store_->PageCount());
      store_->SetPageFileName(i, n);
    }
  } else {
    Fail(TVlStatus::Unsupported("no reader for this file type"));
  }
  if (store_ && store_->OnRefresh && !store_->IsUpdateLocked())
    store_->OnRefresh();
  Finish();
}

bool TVlMIO::LoadDownloaded(std::vector<std::uint8_t>& data, const std::string& contentType) {
  TVlMemoryStream m(std::move(data));
  const std::int32_t t = DetectStreamType(m);
  m.Seek(0);
  if (t == vlftTIFF) {
    LoadTIFFPages(m);
    return !aborting;
  }
  if (t == vlftGIF || t == vlftICO || t == vlftDCX) {
    Fail(TVlStatus::Unsupported("unsupported"));
    return false;
  }
  // Single images are decoded now, so that the page does not depend on a temporary file.
  TVlBitmap image;
  TVlIO io;
  io.SetTargetBitmap(&image);
  if (t != 0 && FileTypeById(t)) {
    io.LoadImageStreamAs(m, t);
  } else {
    const std::string ext = VlContentTypeExtension(contentType);
    if (ext.empty()) {
      Fail(TVlStatus::BadData("downloaded data of unknown type"));
      return false;
    }
    const std::filesystem::path temp = VlUniqueTempName("vltemp", "." + ext);
    try {
      {
        TVlFileStream f(temp, TVlFileStream::Mode::create);
        if (!f.WriteAll(m.Data(), m.Size()) || !f.Flush())
          throw TVlFileError("cannot write " + temp.string());
      }
      io.LoadImageFileByExtension(temp.string());
    } catch (const std::exception&) {
      io.aborting = true;
    }
    std::error_code ec;
    std::filesystem::remove(temp, ec);
  }
  if (io.aborting || image.IsEmpty()) {
    Fail(io.LastFailure().ok() ? TVlStatus::BadData("no image in the download") : io.LastFailure());
    return false;
  }
  if (!store_)
    return true;
  const std::int32_t selected = store_->SelectedPage();
  const std::int32_t i = store_->InsertPageNoSelect(selected >= 0 ? selected : store_->PageCount());
  if (TIOParamsVals* r = PageParams(i)) {
    r->CopyParams(io.Params());
    r->fileName.clear();
  }
  store_->SetPageImage(i, image);
  store_->SetPageDelayTime(i, 100);
  return true;
}

void TVlMIO::LoadFromURL(const std::string& url) {
  Begin();
  TVlHttpRequest req;
  req.url = url;
  req.proxy = proxyAddress;
  req.proxyUser = proxyUser;
  req.proxyPassword = proxyPassword;
  req.maxBytes = httpMaxBytes;
  req.timeoutMs = httpTimeoutMs;
  TVlHttpResponse resp;
  const TVlStatus s = VlHttpGet(req, resp, &aborting, [this](int p) { ReportProgress(p); });
  if (!s) {
    aborting = false;
    Fail(s);
  } else {
    TUpdateLock lock(store_);
    LoadDownloaded(resp.body, resp.contentType);
  }
  Finish();
}

void TVlMIO::SaveAllAsTIFF(const std::string& name) {
  TVlAtomicFile file(name);  // a target that cannot be created raises to the caller
  TVlStream& stream = file.Stream();
  const std::int32_t count = store_ ? store_->PageCount() : 0;
  const std::int64_t start = stream.Position();
  TVlBitmap page;
  for (std::int32_t i = 0; i < count; ++i) {
    try {
      if (!store_->CopyPageImage(i, page)) {
        Fail(TVlStatus::BadData("a page image cannot be read"));
        break;
      }
      TIOParamsVals* r = PageParams(i);  // after the page is loaded: an on-demand load fills it
      r->SetImageIndex(i);
      stream.Seek(start);
      page.bilevelMethod = saveBilevelMethod;
      ProgressRecord pr;
      pr.abortFlag = &aborting;
      const TVlStatus s = tiffPageWriter ? tiffPageWriter(stream, i > 0, page, *r, pr)
                                         : VlWriteTIFFPage(stream, i > 0, page, *r, pr);
      if (!s)
        Fail(s);
    } catch (const std::bad_alloc&) {
      Fail(TVlStatus::LimitExceeded("out of memory while writing a page"));
    } catch (const std::exception&) {
      Fail(TVlStatus::IoError("the writer failed"));
    }
    ReportProgress(static_cast<int>(std::int64_t(i) * 100 / count));
    if (aborting)
      break;
  }
  if (!aborting) {
    if (TVlStatus c = file.Commit(); !c)
      Fail(c);
  } else {
    file.Discard();
  }
}

void TVlMIO::SaveAllToFile(const std::string& name) {
  const std::string n = Trim(name);
  if (n.empty()) {
    failure_ = TVlStatus::BadData("empty file name");
    aborting = true;
    return;
  }
  const std::string ext = VlLowerExtension(n);
  if (ext == ".pdf") {
    SaveAllToPDF(n);
    return;
  }
  if (ext == ".tif" || ext == ".tiff" || ext == ".fax" || ext == ".g3f" || ext == ".g3n") {
    Begin();
    SaveAllAsTIFF(n);
    Finish();
    return;
  }
  if (ext == ".gif" || ext == ".avi" || ext == ".ps" || ext == ".eps" || ext == ".dcx") {
    Begin();
    Fail(TVlStatus::Unsupported("unsupported"));
    Finish();
    return;
  }
  // Any other extension writes nothing and reports nothing; the flag tells the caller.
  failure_ = TVlStatus::Unsupported("no multi-page writer for the file's extension");
  aborting = true;
}

void TVlMIO::SaveAllToPDF(const std::string& name) {
  Begin();
  {
    TVlAtomicFile file(Trim(name));
    const std::int32_t count = store_ ? store_->PageCount() : 0;
    if (count > 0) {
      std::unique_ptr<TPDFBuilder> builder = BeginPDF();
      TVlBitmap page;
      for (std::int32_t i = 0; i < count; ++i) {
        try {
          if (!store_->CopyPageImage(i, page)) {
            Fail(TVlStatus::BadData("a page image cannot be read"));
            break;
          }
          TIOParamsVals* r = PageParams(i);
          r->SetImageIndex(i);
          page.bilevelMethod = saveBilevelMethod;
          ProgressRecord pr;
          pr.abortFlag = &aborting;
          const TVlStatus s = AddImagePage(*builder, page, *r, pr);
          if (!s)
            Fail(s);
        } catch (const std::bad_alloc&) {
          Fail(TVlStatus::LimitExceeded("out of memory while writing a page"));
        } catch (const std::exception&) {
          Fail(TVlStatus::IoError("the writer failed"));
        }
        ReportProgress(static_cast<int>(std::int64_t(i) * 100 / count));
        if (aborting)
          break;
      }
      if (!aborting) {
        try {
          const TVlStatus s = EndPDF(std::move(builder), file.Stream(), *PageParams(0));
          if (!s)
            Fail(s);
        } catch (const std::exception&) {
          Fail(TVlStatus::IoError("the PDF file cannot be written"));
        }
      }
    }
    if (!aborting) {
      if (TVlStatus c = file.Commit(); !c)
        Fail(c);
    } else {
      file.Discard();
    }
  }
  Finish();
}
