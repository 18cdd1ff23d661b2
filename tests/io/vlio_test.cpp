// TVlIO: dispatch, the finishing events, stream headers, resolutions, writer conversions,
// safe saving, metafiles, async workers and downloads.
#include "imaging/io/vlio.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <thread>

#include "imaging/formats/png.h"
#include "imaging/io/filetypes.h"
#include "imaging/io/http.h"
#include "imaging/io/pagestore.h"
#include "formats/dng_builder.h"
#include "test_paths.h"
#include "test_streams.h"

namespace {

// Records the events of an I/O object.
struct Events {
  std::vector<int> progress;
  int finished = 0;
  void Attach(TVlIO& io) {
    io.OnProgress = [this](TVlIO*, int p) { progress.push_back(p); };
    io.OnFinishWork = [this](TVlIO*) { ++finished; };
  }
  bool EndedProperly() const { return finished == 1 && !progress.empty() && progress.back() == 100; }
};

std::vector<std::uint8_t> MakePNG(std::int32_t w, std::int32_t h, TVlPixelFormat f, int dpiX = 0, int dpiY = 0) {
  TVlBitmap img(w, h, f);
  for (int y = 0; y < h; ++y)
    for (int i = 0; i < img.RowLength(); ++i)
      img.RowPointer(y)[i] = static_cast<std::uint8_t>(i * 3 + y * 5);
  TIOParamsVals p;
  p.samplesPerPixel = f == vl24RGB ? 3 : 1;
  p.SetDpiX(dpiX);
  p.SetDpiY(dpiY);
  TVlMemoryStream out;
  ProgressRecord pr;
  EXPECT_TRUE(WritePNG(out, img, p, pr, nullptr).ok());
  return {out.Data(), out.Data() + out.Size()};
}

// An external file type ".vlfail" whose writer writes a little and then fails, and whose
// reader throws.
struct FailingType {
  static constexpr std::int32_t kId = 901;
  FailingType() {
    FileTypeRecord r;
    r.id = kId;
    r.name = "failing test type";
    r.extensions = "VLFAIL";
    r.internal = false;
    r.writer = [](TVlStream& s, TVlBitmap&, TIOParamsVals&, ProgressRecord& pr) {
      (void)s.WriteString("partial");
      (void)pr.Fail(TVlStatus::IoError("disk full"));
    };
    r.reader = [](TVlStream&, TVlBitmap&, TIOParamsVals&, bool, ProgressRecord&) {
      throw std::runtime_error("reader exploded");
    };
    RegisterFileType(r);
  }
  ~FailingType() { UnregisterFileType(kId); }
};

class FakeFetcher : public TVlHttpFetcher {
 public:
  std::vector<std::uint8_t> body;
  std::string contentType = "image/png";
  int calls = 0;
  TVlHttpRequest last;
  TVlStatus Get(const TVlHttpRequest& r, TVlHttpResponse& resp,
                const std::function<bool(std::int64_t, std::int64_t)>& progress) override {
    ++calls;
    last = r;
    resp.status = 200;
    resp.contentType = contentType;
    resp.contentLength = static_cast<std::int64_t>(body.size());
    for (std::size_t at = 0; at < body.size(); at += 1024) {
      const std::size_t n = std::min<std::size_t>(1024, body.size() - at);
      resp.body.insert(resp.body.end(), body.begin() + static_cast<std::ptrdiff_t>(at),
                       body.begin() + static_cast<std::ptrdiff_t>(at + n));
      if (!progress(static_cast<std::int64_t>(resp.body.size()), resp.contentLength))
        return TVlStatus::Aborted();
    }
    return TVlStatus::Ok();
  }
};

class InstalledFetcher {
 public:
  explicit InstalledFetcher(std::shared_ptr<TVlHttpFetcher> f) { VlInstallHttpFetcher(std::move(f)); }
  ~InstalledFetcher() { VlInstallHttpFetcher(nullptr); }
};

}  // namespace

TEST(TVlIO, EveryOperationEndsWithOneHundredAndFinishWork) {
  TTempFolder dir;
  WriteWholeFile(dir / "a.png", MakePNG(9, 4, vl24RGB));
  WriteWholeFile(dir / "notes.txt", std::vector<std::uint8_t>(50, 'x'));
  struct Case {
    const char* name;
    std::function<void(TVlIO&)> run;
    bool wantAborting;
  } cases[] = {
      {"load png", [&](TVlIO& io) { io.LoadImageFile((dir / "a.png").string()); }, false},
      {"params of png", [&](TVlIO& io) { io.ReadFileParams((dir / "a.png").string()); }, false},
      {"params of unknown type", [&](TVlIO& io) { io.ReadFileParams((dir / "notes.txt").string()); }, false},
      {"params of missing file", [&](TVlIO& io) { io.ReadFileParams((dir / "none.png").string()); }, true},
      {"load by empty extension name", [&](TVlIO& io) { io.LoadImageFileByExtension(""); }, true},
      {"unknown extension", [&](TVlIO& io) { io.LoadImageFileByExtension((dir / "notes.txt").string()); }, true},
      {"video", [&](TVlIO& io) { io.LoadImageFileByExtension((dir / "clip.avi").string()); }, true},
      {"save png", [&](TVlIO& io) { io.SaveImageFile((dir / "b.png").string()); }, false},
      {"save pnm", [&](TVlIO& io) { io.SaveImageFile((dir / "b.ppm").string()); }, false},
      {"unrecognised stream", [&](TVlIO& io) {
         TVlMemoryStream s(std::vector<std::uint8_t>(100, 7));
         io.LoadImageStream(s);
       }, true},
      {"reader not built", [&](TVlIO& io) {
         TVlMemoryStream s(std::vector<std::uint8_t>{'B', 'M', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
         io.LoadImageStreamAs(s, vlftBMP);
       }, true},
  };
  for (const auto& c : cases) {
    TVlIO io;
    ASSERT_TRUE(io.Target()->AllocateImage(5, 5, vl24RGB).ok());
    Events ev;
    ev.Attach(io);
    c.run(io);
    EXPECT_TRUE(ev.EndedProperly()) << c.name;
    EXPECT_EQ(io.aborting.load(), c.wantAborting) << c.name;
  }
  // A params read of an unknown type leaves fileType 0.
  TVlIO io;
  io.ReadFileParams((dir / "notes.txt").string());
  EXPECT_EQ(io.Params().fileType, 0);
  // The reader that is not built says so.
  TVlMemoryStream s(std::vector<std::uint8_t>(40, 0));
  io.LoadImageStreamAs(s, vlftPCX);
  EXPECT_STREQ(io.LastFailure().reason, "unsupported");
}

TEST(TVlIO, CallsThatDoNothingAtAll) {
  TTempFolder dir;
  TVlIO io;
  Events ev;
  ev.Attach(io);
  io.SaveImageFile("");
  io.LoadImageFileAs((dir / "x.png").string(), 77);  // not a type of the table
  EXPECT_EQ(ev.finished, 0);
  EXPECT_TRUE(ev.progress.empty());
  EXPECT_TRUE(dir.Names().empty());
  io.SaveImageFile((dir / "x.unknownext").string());  // no writer: nothing created
  EXPECT_TRUE(io.aborting);
  EXPECT_TRUE(dir.Names().empty());
}

TEST(TVlIO, ResolutionDefaultsAndAdjustment) {
  TTempFolder dir;
  WriteWholeFile(dir / "nodpi.png", MakePNG(4, 4, vl8g));
  WriteWholeFile(dir / "wide.png", MakePNG(1000, 500, vl8g, 200, 100));
  TVlIO io;
  io.LoadImageFile((dir / "nodpi.png").string());
  ASSERT_FALSE(io.aborting);
  EXPECT_EQ(io.Params().dpiX, 300);
  EXPECT_EQ(io.Params().dpiY, 300);
  EXPECT_EQ(io.Params().fileType, vlftPNG);
  EXPECT_EQ(io.Params().fileName, (dir / "nodpi.png").string());
  io.AutoAdjustDPI = true;
  io.LoadImageFile((dir / "wide.png").string());
  ASSERT_FALSE(io.aborting);
  EXPECT_EQ(io.Target()->Width(), 1000);
  EXPECT_EQ(io.Target()->Height(), 1000);
  EXPECT_EQ(io.Params().dpiX, 200);
  EXPECT_EQ(io.Params().dpiY, 200);
}

TEST(TVlIO, WritersGetTheirPixelFormats) {
  TTempFolder dir;
  struct Case {
    TVlPixelFormat in;
    const char* ext;
    TVlPixelFormat after;
  } cases[] = {
      {vl8g, ".jp2", vl24RGB}, {vl1g, ".jp2", vl1g},   {vl8g, ".png", vl8g},
      {vl8g, ".ppm", vl24RGB}, {vl1g, ".pbm", vl1g},   {vlRGB48, ".ppm", vlRGB48},
      {vl8g, ".pdf", vl24RGB}, {vl16g, ".j2k", vl24RGB}, {vl8g, ".jpg", vl24RGB},
      {vl1g, ".jpeg", vl1g},
  };
  for (const auto& c : cases) {
    TVlIO io;
    ASSERT_TRUE(io.Target()->AllocateImage(8, 6, c.in).ok());
    io.Target()->FillImage(0);
    io.SaveImageFile((dir / (std::string("out") + c.ext)).string());
    EXPECT_FALSE(io.aborting) << c.ext << " " << DescribeStatus(io.LastFailure());
    EXPECT_EQ(io.Target()->PixelFormat(), c.after) << c.ext << " from " << VlPixelFormatName(c.in);
  }
}

TEST(TVlIO, AFailedSaveLeavesThePreviousFileIntact) {
  FailingType failing;
  TTempFolder dir;
  const auto target = dir / "page.vlfail";
  WriteWholeFile(target, {'o', 'l', 'd'});
  ::chmod(target.c_str(), 0640);
  TVlIO io;
  ASSERT_TRUE(io.Target()->AllocateImage(4, 4, vl24RGB).ok());
  Events ev;
  ev.Attach(io);
  io.SaveImageFile(target.string());
  EXPECT_TRUE(io.aborting);
  EXPECT_TRUE(ev.EndedProperly());
  EXPECT_EQ(ReadWholeFile(target), (std::vector<std::uint8_t>{'o', 'l', 'd'}));
  EXPECT_EQ(dir.Names(), (std::vector<std::string>{"page.vlfail"}));  // no temporary file left
  // A successful save replaces the file and keeps its permissions.
  const auto png = dir / "page.png";
  WriteWholeFile(png, {'o', 'l', 'd'});
  ::chmod(png.c_str(), 0640);
  io.SaveImageFile(png.string());
  EXPECT_FALSE(io.aborting);
  EXPECT_TRUE(IsPNGStream(*std::make_unique<TVlFileStream>(png, TVlFileStream::Mode::read)));
  struct stat st {};
  ASSERT_EQ(::stat(png.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_EQ(dir.Names(), (std::vector<std::string>{"page.png", "page.vlfail"}));
  // A folder that does not exist raises the file error.
  EXPECT_THROW(io.SaveImageFile((dir / "no/such/dir.png").string()), TVlFileError);
}

TEST(TVlIO, SavingOverAPagesOwnSourceKeepsThePage) {
  TTempFolder dir;
  const auto src = dir / "source.png";
  WriteWholeFile(src, MakePNG(7, 3, vl24RGB));
  TVlPageStore store;
  store.SetPageFileName(store.AppendPage(), src.string());
  ASSERT_FALSE(store.PageHasImage(0));
  TVlIO io;
  ASSERT_TRUE(io.Target()->AllocateImage(20, 20, vl8g).ok());
  io.Target()->FillImage(0);
  io.SaveImageFile(src.string());  // replaces the file the page still loads from
  ASSERT_FALSE(io.aborting);
  EXPECT_TRUE(store.PageHasImage(0));  // loaded before the file was replaced
  TVlBitmap page;
  ASSERT_TRUE(store.CopyPageImage(0, page));
  EXPECT_EQ(page.Width(), 7);
  EXPECT_EQ(page.Height(), 3);
}

TEST(TVlIO, StreamHeadersAreCheckedAndTheirLengthClamped) {
  TVlIO io;
  io.StreamHeaders = true;
  Events ev;
  ev.Attach(io);
  TVlMemoryStream bad(std::vector<std::uint8_t>{'T', 'I', 'F', 'X', 0, 0, 0, 0, 5, 0, 0, 0, 1, 2, 3, 4, 5});
  io.LoadImageStreamAs(bad, vlftTIFF);
  EXPECT_TRUE(io.aborting);
  EXPECT_TRUE(ev.EndedProperly());
  // A stored length far beyond the data: the stream ends up at its end, not beyond.
  std::vector<std::uint8_t> b{'T', 'I', 'F', 'F', 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x7F};
  b.resize(40, 0);
  TVlMemoryStream s(b);
  io.LoadImageStreamAs(s, vlftTIFF);
  EXPECT_EQ(s.Position(), s.Size());
  // Writers with headers fill in signature and length.
  TVlMemoryStream out;
  TVlIO w;
  w.StreamHeaders = true;
  ASSERT_TRUE(w.Target()->AllocateImage(3, 3, vl24RGB).ok());
  w.SaveImageStream(out, vlftPNG);  // PNG carries no header
  ASSERT_FALSE(w.aborting);
  out.Seek(0);
  EXPECT_TRUE(IsPNGStream(out));
}

TEST(TVlIO, JpegStreamHeaderAndContentOverExtension) {
  TVlIO w;
  ASSERT_TRUE(w.Target()->AllocateImage(40, 30, vl24RGB).ok());
  w.Target()->FillImage(VlColor(200, 30, 30));
  TVlMemoryStream jpeg;
  w.SaveImageStream(jpeg, vlftJPEG);
  ASSERT_FALSE(w.aborting) << DescribeStatus(w.LastFailure());
  // Header "JFIF", 4 zero bytes, the length; then the data and something after it.
  const std::int64_t n = jpeg.Size();
  std::vector<std::uint8_t> framed{'J', 'F', 'I', 'F', 0, 0, 0, 0, std::uint8_t(n), std::uint8_t(n >> 8),
                                   std::uint8_t(n >> 16), std::uint8_t(n >> 24)};
  framed.insert(framed.end(), jpeg.Data(), jpeg.Data() + n);
  framed.insert(framed.end(), {'T', 'A', 'I', 'L'});
  TVlMemoryStream s(framed);
  TVlIO io;
  io.LoadImageStream(s);
  ASSERT_FALSE(io.aborting) << DescribeStatus(io.LastFailure());
  EXPECT_EQ(io.Params().fileType, vlftJPEG);
  EXPECT_EQ(io.Target()->Width(), 40);
  EXPECT_EQ(s.Position(), 12 + n);  // right after the image data
  // A ".tif" file that holds a JPEG loads as JPEG: content decides.
  TTempFolder dir;
  WriteWholeFile(dir / "photo.tif", std::vector<std::uint8_t>(jpeg.Data(), jpeg.Data() + n));
  TVlIO f;
  f.LoadImageFile((dir / "photo.tif").string());
  ASSERT_FALSE(f.aborting);
  EXPECT_EQ(f.Params().fileType, vlftJPEG);
  // The parameters-only read verifies the extension: a ".tif" holding a JPEG gives 0.
  f.ReadFileParams((dir / "photo.tif").string());
  EXPECT_EQ(f.Params().fileType, 0);
  WriteWholeFile(dir / "photo.jpg", std::vector<std::uint8_t>(jpeg.Data(), jpeg.Data() + n));
  f.ReadFileParams((dir / "photo.jpg").string());
  EXPECT_EQ(f.Params().fileType, vlftJPEG);
  EXPECT_EQ(f.Params().width, 40);
  EXPECT_EQ(f.Params().imageCount, 1);
}

TEST(TVlIO, Metafiles) {
  VL_REQUIRE_CORPUS("pillow/drawing.wmf");
  for (const char* name : {"drawing.wmf", "drawing.emf"}) {
    TVlIO io;
    io.Background = clWhite;
    io.LoadImageFile(CorpusPath(std::string("pillow/") + name).string());
    ASSERT_FALSE(io.aborting) << name << ": " << DescribeStatus(io.LastFailure());
    TVlBitmap& b = *io.Target();
    EXPECT_EQ(b.Width(), 109) << name;
    EXPECT_EQ(io.Params().fileType, name[8] == 'w' ? vlftWMF : vlftEMF);
    const TVlRGB centre = b.PixelAsRGB(b.Width() / 2, b.Height() / 2);
    EXPECT_EQ(centre, (TVlRGB{0, 0, 255})) << name;  // red
    EXPECT_TRUE(b.HasAlpha()) << name;
    EXPECT_EQ(b.AlphaAt(0, 0), 0) << name;  // nothing drawn in the corner
    EXPECT_EQ(b.AlphaAt(b.Width() / 2, b.Height() / 2), 255) << name;
    // At a given width, the height keeps the proportion.
    io.LoadMetafileImage(CorpusPath(std::string("pillow/") + name).string(), 50, false, -1);
    ASSERT_FALSE(io.aborting);
    EXPECT_EQ(b.Width(), 50);
    EXPECT_EQ(b.Height(), 50);
    EXPECT_FALSE(b.HasAlpha());
  }
}

TEST(TVlIO, MetafileSizes) {
  struct Case {
    std::int64_t ownW, ownH;
    std::int32_t w, h;
    bool ok;
    std::int64_t wantW, wantH;
  } cases[] = {
      {40000, 20000, -1, -1, true, 16000, 8000}, {20000, 40000, -1, -1, true, 8000, 16000},
      {300, 100, -1, 50, true, 150, 50},         {300, 100, 60, -1, true, 60, 20},
      {300, 100, 10, 10, true, 10, 10},          {0, 100, 60, -1, false, 0, 0},
      {300, 0, -1, 50, false, 0, 0},             {1, 300, 2, -1, true, 2, 600},
      {300, 1, 2, -1, false, 0, 0},
  };
  for (const auto& c : cases) {
    std::int64_t w = 0, h = 0;
    EXPECT_EQ(VlMetafileRenderSize(c.ownW, c.ownH, c.w, c.h, w, h), c.ok) << c.ownW << "x" << c.ownH;
    if (c.ok) {
      EXPECT_EQ(w, c.wantW);
      EXPECT_EQ(h, c.wantH);
    }
  }
  // Headers with a zero size or zero units per inch are refused before any division.
  std::vector<std::uint8_t> wmf(40, 0);
  wmf[0] = 0xD7, wmf[1] = 0xCD, wmf[2] = 0xC6, wmf[3] = 0x9A;
  wmf[10] = 100;  // right = 100, inch = 0
  wmf[22] = 1, wmf[24] = 9;
  TVlMetafile m;
  EXPECT_FALSE(VlOpenMetafile(wmf, m).ok());
  wmf[14] = 96;  // inch 96, but bottom - top = 0
  EXPECT_FALSE(VlOpenMetafile(wmf, m).ok());
  TVlIO io;
  TVlMemoryStream s(wmf);
  io.LoadImageStreamAs(s, vlftWMF);
  EXPECT_TRUE(io.aborting);
}

TEST(TVlIO, AsyncModeRunsOnAWorker) {
  TTempFolder dir;
  WriteWholeFile(dir / "a.png", MakePNG(64, 64, vl24RGB));
  FailingType failing;
  WriteWholeFile(dir / "boom.vlfail", {1, 2, 3});
  TVlBitmap target;
  TVlIO io;
  io.SetTargetBitmap(&target);
  io.asyncMode = true;
  std::atomic<bool> onWorker{false};
  std::atomic<int> finished{0};
  const auto caller = std::this_thread::get_id();
  io.OnFinishWork = [&](TVlIO* sender) {
    onWorker = std::this_thread::get_id() != caller && sender->IsWorkerThread();
    ++finished;
  };
  io.LoadImageFile((dir / "a.png").string());
  io.WaitWorkerThreads(false);
  EXPECT_EQ(finished.load(), 1);
  EXPECT_TRUE(onWorker.load());
  EXPECT_EQ(target.Width(), 64);
  EXPECT_FALSE(io.aborting);
  // A throwing reader on a worker: aborting, and the worker ends normally.
  io.LoadImageFileAs((dir / "boom.vlfail").string(), FailingType::kId);
  io.WaitWorkerThreads(false);
  EXPECT_TRUE(io.aborting);
  // An object that owns its target never goes async.
  TVlIO own;
  own.asyncMode = true;
  own.LoadImageFile((dir / "a.png").string());
  EXPECT_EQ(own.Target()->Width(), 64);
}

TEST(TVlIO, Downloads) {
  TVlIO io;
  io.LoadImageURL("http://example.invalid/a.png");  // no fetcher installed
  EXPECT_TRUE(io.aborting);
  EXPECT_STREQ(io.LastFailure().reason, "no HTTP support installed");
  auto fetcher = std::make_shared<FakeFetcher>();
  fetcher->body = MakePNG(30, 20, vl24RGB);
  InstalledFetcher installed(fetcher);
  Events ev;
  ev.Attach(io);
  io.LoadImageFileByExtension("HTTP://example.invalid:8080/images/a.png");
  ASSERT_FALSE(io.aborting) << DescribeStatus(io.LastFailure());
  EXPECT_EQ(io.Target()->Width(), 30);
  EXPECT_EQ(fetcher->last.host, "example.invalid");
  EXPECT_EQ(fetcher->last.port, 8080);
  EXPECT_EQ(fetcher->last.path, "/images/a.png");
  EXPECT_TRUE(ev.finished >= 1);
  io.httpMaxBytes = 100;  // the cap stops the transfer
  io.LoadImageURL("http://example.invalid/a.png");
  EXPECT_TRUE(io.aborting);
  EXPECT_EQ(io.LastFailure().code, TVlStatusCode::limitExceeded);
}

TEST(Http, UrlsAndContentTypes) {
  struct Url {
    const char* url;
    bool ok;
    const char* host;
    int port;
    const char* path;
  } urls[] = {
      {"http://host/a/b.png", true, "host", 80, "/a/b.png"}, {"HtTp://host:81", true, "host", 81, "/"},
      {"http://host:99999/x", true, "host", 80, "/x"},      {"http://host:abc/x", true, "host", 80, "/x"},
      {"http:///x", false, "", 0, ""},                       {"ftp://host/x", false, "", 0, ""},
  };
  for (const auto& u : urls) {
    TVlHttpRequest r;
    EXPECT_EQ(VlParseHttpUrl(u.url, r), u.ok) << u.url;
    if (u.ok) {
      EXPECT_EQ(r.host, u.host) << u.url;
      EXPECT_EQ(r.port, u.port) << u.url;
      EXPECT_EQ(r.path, u.path) << u.url;
    }
  }
  struct Type {
    const char* contentType;
    const char* ext;
  } types[] = {
      {"image/png", "png"},          {"image/JPEG; charset=x", "jpeg"}, {"image/tiff", "tiff"},
      {"image/x-ms-bmp", ""},        {"image/../../etc", ""},           {"image/png/../x", ""},
      {"text/html", ""},             {"image/", ""},                     {"image/verylongsubtype", ""},
      {"application/octet-stream", ""}, {"noslash", ""},
  };
  for (const auto& t : types)
    EXPECT_EQ(VlContentTypeExtension(t.contentType), t.ext) << t.contentType;
}

TEST(TVlIO, CameraRawThumbnailsUseTheEmbeddedJpegPreview) {
  TVlIO w;
  ASSERT_TRUE(w.Target()->AllocateImage(32, 24, vl24RGB).ok());
  w.Target()->FillImage(VlColor(10, 200, 10));
  TVlMemoryStream jpeg;
  w.SaveImageStream(jpeg, vlftJPEG);
  ASSERT_FALSE(w.aborting);
  DngBuilder b;
  b.withPreview = true;
  b.previewWidth = 32;
  b.previewHeight = 24;
  b.jpegPreview.assign(jpeg.Data(), jpeg.Data() + jpeg.Size());
  TTempFolder dir;
  WriteWholeFile(dir / "shot.nef", b.Build());
  TVlIO full;
  full.LoadImageFile((dir / "shot.nef").string());
  ASSERT_FALSE(full.aborting) << DescribeStatus(full.LastFailure());
  EXPECT_EQ(full.Params().fileType, vlftRAW);
  EXPECT_EQ(full.Target()->Width(), 64);  // the developed image
  TVlIO thumb;
  thumb.Params().rawGetExifThumbnail = true;
  thumb.LoadImageFile((dir / "shot.nef").string());
  ASSERT_FALSE(thumb.aborting);
  EXPECT_EQ(thumb.Target()->Width(), 32);  // the preview
  const TVlRGB c = thumb.Target()->PixelAsRGB(5, 5);
  EXPECT_GT(c.g, 150);
  EXPECT_LT(c.r, 60);
  EXPECT_EQ(thumb.Params().width, 64);  // the record still describes the raw image
}
