#include "imaging/status.h"

const char* StatusCodeName(TVlStatusCode code) {
  switch (code) {
    case TVlStatusCode::ok: return "ok";
    case TVlStatusCode::truncated: return "truncated";
    case TVlStatusCode::badData: return "badData";
    case TVlStatusCode::unsupported: return "unsupported";
    case TVlStatusCode::limitExceeded: return "limitExceeded";
    case TVlStatusCode::aborted: return "aborted";
    case TVlStatusCode::ioError: return "ioError";
  }
  return "unknown";
}

std::string DescribeStatus(const TVlStatus& s) {
  std::string out = StatusCodeName(s.code);
  if (s.reason && *s.reason) {
    out += ": ";
    out += s.reason;
  }
  return out;
}
