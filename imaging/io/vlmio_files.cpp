// Whole-file runs of TVlMIO. The readers behind them arrive with the single-image I/O; until
// then every run fails cleanly with the reason "unsupported".
#include "imaging/io/pagestore.h"
#include "imaging/io/vlmio.h"

void TVlMIO::LoadAllFromFile(const std::string&) {
  Begin();
  Fail(TVlStatus::Unsupported("file reading is not built yet"));
  Finish();
}

void TVlMIO::SaveAllToFile(const std::string&) {
  Begin();
  Fail(TVlStatus::Unsupported("file writing is not built yet"));
  Finish();
}

void TVlMIO::SaveAllToPDF(const std::string&) {
  Begin();
  Fail(TVlStatus::Unsupported("file writing is not built yet"));
  Finish();
}

std::int32_t TVlMIO::LoadTIFFPages(TVlStream&) {
  Fail(TVlStatus::Unsupported("file reading is not built yet"));
  return 0;
}

void TVlMIO::AdjustDPI(TVlBitmap&, TIOParamsVals&) {}

TVlPageLoader VlDefaultPageLoader() {
  return [](const TVlPageLoadRequest&, TVlPageLoadResult& r) {
    r.status = TVlStatus::Unsupported("file reading is not built yet");
  };
}

bool VlIsReadableFileName(const std::filesystem::path&) { return false; }
