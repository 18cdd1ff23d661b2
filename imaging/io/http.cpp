#include "imaging/io/http.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <mutex>

#include "imaging/io/filetypes.h"

namespace {
std::mutex& FetcherLock() {
  static std::mutex m;
  return m;
}
std::shared_ptr<TVlHttpFetcher>& Fetcher() {
  static std::shared_ptr<TVlHttpFetcher> f;
  return f;
}
std::string Lower(std::string s) {
  for (char& c : s)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}
}  // namespace

void VlInstallHttpFetcher(std::shared_ptr<TVlHttpFetcher> fetcher) {
  std::lock_guard<std::mutex> l(FetcherLock());
  Fetcher() = std::move(fetcher);
}

std::shared_ptr<TVlHttpFetcher> VlHttpFetcherInstalled() {
  std::lock_guard<std::mutex> l(FetcherLock());
  return Fetcher();
}

bool VlIsHttpName(const std::string& name) { return name.size() >= 7 && Lower(name.substr(0, 7)) == "http://"; }

bool VlParseHttpUrl(const std::string& url, TVlHttpRequest& r) {
  if (!VlIsHttpName(url))
    return false;
  r.url = url;
  const std::string rest = url.substr(7);
  const std::size_t slash = rest.find('/');
  std::string host = slash == std::string::npos ? rest : rest.substr(0, slash);
  r.path = slash == std::string::npos ? "/" : rest.substr(slash);
  r.port = 80;
  const std::size_t colon = host.rfind(':');
  if (colon != std::string::npos) {
    const std::string num = host.substr(colon + 1);
    host = host.substr(0, colon);
    if (!num.empty() && num.size() <= 5 && std::all_of(num.begin(), num.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      const int p = std::stoi(num);
      r.port = p >= 1 && p <= 65535 ? p : 80;
    }
  }
  r.host = host;
  return !host.empty();
}

TVlStatus VlHttpGet(TVlHttpRequest request, TVlHttpResponse& response, std::atomic<bool>* cancel,
                    const std::function<void(int percent)>& percent) {
  if (!VlParseHttpUrl(request.url, request))
    return TVlStatus::BadData("not an http:// name");
  std::shared_ptr<TVlHttpFetcher> f = VlHttpFetcherInstalled();
  if (!f)
    return TVlStatus::Unsupported("no HTTP support installed");
  const auto start = std::chrono::steady_clock::now();
  bool tooBig = false, tooSlow = false;
  auto progress = [&](std::int64_t received, std::int64_t total) {
    if (received > request.maxBytes || total > request.maxBytes)
      tooBig = true;
    if (std::chrono::steady_clock::now() - start > std::chrono::milliseconds(request.timeoutMs))
      tooSlow = true;
    if (percent && total > 0)
      percent(static_cast<int>(std::min<std::int64_t>(received, total) * 100 / total));
    return !tooBig && !tooSlow && !(cancel && cancel->load());
  };
  response = TVlHttpResponse{};
  TVlStatus s;
  try {
    s = f->Get(request, response, progress);
  } catch (const std::exception&) {
    s = TVlStatus::IoError("HTTP request failed");
  }
  if (tooBig || static_cast<std::int64_t>(response.body.size()) > request.maxBytes) {
    response.body.clear();
    return TVlStatus::LimitExceeded("download larger than the size cap");
  }
  if (tooSlow || std::chrono::steady_clock::now() - start > std::chrono::milliseconds(request.timeoutMs)) {
    response.body.clear();
    return TVlStatus::Aborted("download took longer than the time limit");
  }
  if (cancel && cancel->load())
    return TVlStatus::Aborted("download cancelled");
  if (!s)
    return s;
  if (response.status < 200 || response.status > 299)
    return TVlStatus::IoError("HTTP request refused by the server");
  return TVlStatus::Ok();
}

std::string VlContentTypeExtension(const std::string& contentType) {
  const std::size_t slash = contentType.find('/');
  if (slash == std::string::npos)
    return {};
  std::string sub = contentType.substr(slash + 1);
  const std::size_t end = sub.find_first_of("; \t");
  if (end != std::string::npos)
    sub = sub.substr(0, end);
  sub = Lower(sub);
  if (sub.empty() || sub.size() > 8)
    return {};
  if (!std::all_of(sub.begin(), sub.end(), [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); }))
    return {};
  const FileTypeRecord* t = FileTypeByExtension(sub);
  if (!t || !t->reader)
    return {};
  return sub;
}
