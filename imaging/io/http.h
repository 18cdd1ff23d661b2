// HTTP GET of "http://" image names through an interface the platform supplies.
//
//   TVlHttpFetcher         what a platform implementation provides (the GUI installs one built
//                          on its network library; the core has none, so downloads fail with
//                          "no HTTP support installed" until one is installed)
//   VlInstallHttpFetcher   the process-wide installer (call before concurrent use)
//   VlHttpGet              one download with the core's own limits: a size cap, a time limit
//                          and a cancel flag, checked on every progress call of the fetcher
//   VlParseHttpUrl         host, port (default 80; an invalid number gives 80) and path
//   VlContentTypeExtension the extension a content type may lend a temporary file: only a
//                          subtype of 1 to 8 characters [a-z0-9] that names a readable type
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "imaging/status.h"

struct TVlHttpRequest {
  std::string url;  // "http://host[:port]/path"
  std::string host, path;
  std::int32_t port = 80;
  std::string proxy, proxyUser, proxyPassword;  // proxy host[:port] and its credentials, or empty
  std::string userAgent = "Mozilla/4.*";
  std::int64_t maxBytes = std::int64_t(256) << 20;
  std::int32_t timeoutMs = 60000;
};

struct TVlHttpResponse {
  std::int32_t status = 0;       // the HTTP status code
  std::string contentType;       // as the server sent it
  std::int64_t contentLength = -1;
  std::vector<std::uint8_t> body;
};

class TVlHttpFetcher {
 public:
  virtual ~TVlHttpFetcher() = default;
  // Performs a GET (protocol HTTP/1.1, no cache). `progress` is called with the bytes received
  // so far and the announced total (-1 unknown); when it returns false the fetcher stops and
  // returns an aborted status. The fetcher must honour request.timeoutMs and maxBytes itself too.
  virtual TVlStatus Get(const TVlHttpRequest& request, TVlHttpResponse& response,
                        const std::function<bool(std::int64_t received, std::int64_t total)>& progress) = 0;
};

void VlInstallHttpFetcher(std::shared_ptr<TVlHttpFetcher> fetcher);
std::shared_ptr<TVlHttpFetcher> VlHttpFetcherInstalled();

// True for names starting with "http://" in any letter case.
bool VlIsHttpName(const std::string& name);

// Splits an "http://" name; false when it is not one or has no host.
bool VlParseHttpUrl(const std::string& url, TVlHttpRequest& request);

// Downloads `url` into `response`. Fails (status not ok) without an installed fetcher, on a
// transport error, an HTTP status outside 200..299, a body above maxBytes, more time than
// timeoutMs, or when `cancel` becomes true. `percent` (may be empty) gets
// Trunc(received * 100 / total) when the total is known.
TVlStatus VlHttpGet(TVlHttpRequest request, TVlHttpResponse& response, std::atomic<bool>* cancel,
                    const std::function<void(int percent)>& percent);

// The lower-case subtype of a content type ("image/png; q=1" -> "png") when it is 1 to 8
// characters of [a-z0-9] and names a readable file type; otherwise empty.
std::string VlContentTypeExtension(const std::string& contentType);
