#include "app/shell/history.h"

#include <langinfo.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "app/shell/filters.h"
#include "app/shell/ini.h"
#include "app/shell/settings.h"

THistoryTime HistoryTimeNow() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string FormatHistoryTime(THistoryTime t) {
  std::time_t tt = static_cast<std::time_t>(t);
  std::tm lt{};
  if (!localtime_r(&tt, &lt))
    return {};
  long off = lt.tm_gmtoff;  // seconds east of UTC
  char sign = off < 0 ? '-' : '+';
  if (off < 0)
    off = -off;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d%c%02ld:%02ld", lt.tm_year + 1900, lt.tm_mon + 1,
                lt.tm_mday, lt.tm_hour, lt.tm_min, lt.tm_sec, sign, off / 3600, (off % 3600) / 60);
  return buf;
}

namespace {

bool Digits(const char*& p, int count, int& out) {
  out = 0;
  for (int i = 0; i < count; ++i, ++p) {
    if (*p < '0' || *p > '9')
      return false;
    out = out * 10 + (*p - '0');
  }
  return true;
}

bool ValidFields(const std::tm& tm) {
  return tm.tm_mon >= 0 && tm.tm_mon < 12 && tm.tm_mday >= 1 && tm.tm_mday <= 31 && tm.tm_hour >= 0 &&
         tm.tm_hour < 24 && tm.tm_min >= 0 && tm.tm_min < 60 && tm.tm_sec >= 0 && tm.tm_sec <= 60 &&
         tm.tm_year >= 1 - 1900 && tm.tm_year <= 9999 - 1900;
}

// YYYY-MM-DD[(T| )HH:MM[:SS[.fraction]]][Z|(+|-)HH[:]MM]
bool ParseIso(const char* p, THistoryTime& out) {
  std::tm tm{};
  int y, mo, d, h = 0, mi = 0, s = 0;
  if (!Digits(p, 4, y) || *p++ != '-' || !Digits(p, 2, mo) || *p++ != '-' || !Digits(p, 2, d))
    return false;
  bool hasOffset = false;
  long offset = 0;
  if (*p == 'T' || *p == ' ') {
    ++p;
    if (!Digits(p, 2, h) || *p++ != ':' || !Digits(p, 2, mi))
      return false;
    if (*p == ':') {
      ++p;
      if (!Digits(p, 2, s))
        return false;
      if (*p == '.' || *p == ',') {
        ++p;
        if (*p < '0' || *p > '9')
          return false;
        while (*p >= '0' && *p <= '9')
          ++p;
      }
    }
    if (*p == 'Z') {
      hasOffset = true;
      ++p;
    } else if (*p == '+' || *p == '-') {
      bool neg = *p == '-';
      ++p;
      int oh, om = 0;
      if (!Digits(p, 2, oh))
        return false;
      if (*p == ':')
        ++p;
      if (*p)
        if (!Digits(p, 2, om))
          return false;
      if (oh > 23 || om > 59)
        return false;
      hasOffset = true;
      offset = (oh * 3600L + om * 60L) * (neg ? -1 : 1);
    }
  }
  while (*p == ' ')
    ++p;
  if (*p)
    return false;
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = mi;
  tm.tm_sec = s;
  if (!ValidFields(tm))
    return false;
  std::time_t t;
  if (hasOffset) {
    t = timegm(&tm);
    t -= offset;
  } else {
    tm.tm_isdst = -1;
    t = std::mktime(&tm);
  }
  out = static_cast<THistoryTime>(t);
  return true;
}

bool ParseWithFormat(const char* text, const char* format, THistoryTime& out) {
  std::tm tm{};
  tm.tm_mday = 1;
  const char* end = strptime(text, format, &tm);
  if (!end)
    return false;
  while (*end == ' ')
    ++end;
  if (*end || !ValidFields(tm))
    return false;
  tm.tm_isdst = -1;
  std::time_t t = std::mktime(&tm);
  if (t == static_cast<std::time_t>(-1))
    return false;
  out = static_cast<THistoryTime>(t);
  return true;
}

}  // namespace

bool ParseHistoryTime(const std::string& raw, THistoryTime& out) {
  out = 0;
  std::string text = raw;
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
    text.pop_back();
  std::size_t b = text.find_first_not_of(" \t");
  if (b == std::string::npos)
    return false;
  text.erase(0, b);
  if (ParseIso(text.c_str(), out))
    return true;
  // Older files: the locale's own layout first, then the usual numeric layouts. A date alone
  // stands for midnight.
  const char* localeFormat = nl_langinfo(D_T_FMT);
  if (localeFormat && *localeFormat && ParseWithFormat(text.c_str(), localeFormat, out))
    return true;
  static const char* const kLayouts[] = {
      "%Y/%m/%d %H:%M:%S", "%Y/%m/%d %H:%M", "%Y/%m/%d", "%Y-%m-%d %H:%M:%S", "%Y-%m-%d %H:%M",
      "%Y.%m.%d %H:%M:%S", "%Y.%m.%d", "%d.%m.%Y %H:%M:%S", "%d.%m.%Y %H:%M", "%d.%m.%Y",
      "%m/%d/%Y %I:%M:%S %p", "%m/%d/%Y %H:%M:%S", "%m/%d/%Y %H:%M", "%m/%d/%Y", "%d/%m/%Y %H:%M:%S",
      "%d/%m/%Y %H:%M", "%d/%m/%Y", "%d-%m-%Y %H:%M:%S", "%d-%m-%Y",
  };
  for (const char* f : kLayouts)
    if (ParseWithFormat(text.c_str(), f, out))
      return true;
  out = 0;
  return false;
}

bool THistoryList::AddToHistory(const std::string& path, THistoryTime time) {
  if (path.empty() || !IsListedImageType(path))
    return false;
  for (HistoryFileRecord& e : entries_)
    if (e.path == path) {
      if (time > e.time) {
        e.time = time;
        return true;
      }
      return false;
    }
  entries_.push_back({path, time});
  return true;
}

void THistoryList::SortNewestFirst() {
  std::stable_sort(entries_.begin(), entries_.end(),
                   [](const HistoryFileRecord& a, const HistoryFileRecord& b) { return a.time > b.time; });
}

std::vector<HistoryFileRecord> THistoryList::MenuEntries(std::int32_t count) {
  std::vector<HistoryFileRecord> r;
  if (count <= 0 || entries_.empty())
    return r;
  SortNewestFirst();
  std::size_t n = std::min<std::size_t>(entries_.size(), static_cast<std::size_t>(count));
  r.assign(entries_.begin(), entries_.begin() + static_cast<std::ptrdiff_t>(n));
  return r;
}

std::string THistoryList::PathAt(std::int32_t position) const {
  if (entries_.empty())
    return {};
  if (position < 0 || static_cast<std::size_t>(position) >= entries_.size())
    position = 0;
  return entries_[static_cast<std::size_t>(position)].path;
}

void THistoryList::LoadHistory(const TVlIniFile& ini) {
  entries_.clear();
  // A settings file is edited by hand at most; a thousand entries is far beyond any menu.
  constexpr int kMaxEntries = 1000;
  for (int n = 0; n < kMaxEntries; ++n) {
    const std::string timeKey = "Time" + std::to_string(n);
    const std::string fileKey = "File" + std::to_string(n);
    const bool hasTime = ini.ValueExists(kIniHistoryMenu, timeKey);
    const bool hasFile = ini.ValueExists(kIniHistoryMenu, fileKey);
    if (!hasTime && !hasFile)
      break;
    THistoryTime t = 0;
    (void)ParseHistoryTime(ini.ReadString(kIniHistoryMenu, timeKey, ""), t);
    const std::string path = ini.ReadString(kIniHistoryMenu, fileKey, "");
    if (!path.empty())
      AddToHistory(path, t);
  }
}

void THistoryList::SaveHistory(TVlIniFile& ini, std::int32_t count) const {
  ini.EraseSection(kIniHistoryMenu);
  if (count <= 0)
    return;
  std::size_t n = std::min<std::size_t>(entries_.size(), static_cast<std::size_t>(count));
  for (std::size_t i = 0; i < n; ++i) {
    ini.WriteString(kIniHistoryMenu, "Time" + std::to_string(i), FormatHistoryTime(entries_[i].time));
    ini.WriteString(kIniHistoryMenu, "File" + std::to_string(i), entries_[i].path);
  }
}
