// Result of a codec routine or a checked computation.
//
// Codecs return a TVlStatus with a short, static reason for programmers ("LZW code beyond
// table", "strip offset past end of file"). The I/O objects turn any failure into their
// `aborting` flag; tests assert on the code and the reason.
#pragma once

#include <cstdint>
#include <string>

enum class TVlStatusCode : std::uint8_t {
  ok = 0,
  truncated = 1,      // the data ended before the structure did
  badData = 2,        // a value outside what the format allows
  unsupported = 3,    // a valid feature this program does not handle
  limitExceeded = 4,  // a size above the configured ceilings
  aborted = 5,        // the abort flag was set by someone else
  ioError = 6,        // the stream refused a read or write
};

struct [[nodiscard]] TVlStatus {
  TVlStatusCode code = TVlStatusCode::ok;
  const char* reason = "";

  constexpr bool ok() const { return code == TVlStatusCode::ok; }
  constexpr explicit operator bool() const { return ok(); }

  static constexpr TVlStatus Ok() { return {}; }
  static constexpr TVlStatus Truncated(const char* why) { return {TVlStatusCode::truncated, why}; }
  static constexpr TVlStatus BadData(const char* why) { return {TVlStatusCode::badData, why}; }
  static constexpr TVlStatus Unsupported(const char* why) { return {TVlStatusCode::unsupported, why}; }
  static constexpr TVlStatus LimitExceeded(const char* why) { return {TVlStatusCode::limitExceeded, why}; }
  static constexpr TVlStatus Aborted(const char* why = "aborted") { return {TVlStatusCode::aborted, why}; }
  static constexpr TVlStatus IoError(const char* why) { return {TVlStatusCode::ioError, why}; }
};

const char* StatusCodeName(TVlStatusCode code);

// "badData: strip offset past end of file"
std::string DescribeStatus(const TVlStatus& s);

// Propagates a failed status to the caller.
#define VL_TRY(expr)                  \
  do {                                \
    TVlStatus vl_try_status_ = (expr); \
    if (!vl_try_status_.ok())         \
      return vl_try_status_;          \
  } while (0)
