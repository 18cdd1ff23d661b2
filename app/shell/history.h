// The recent-file list: HistoryFileRecord entries, their ini section and their times.
//
// Entry points: THistoryList::AddToHistory, SortNewestFirst, MenuEntries, LoadHistory,
// SaveHistory; FormatHistoryTime / ParseHistoryTime.
//
// Times are written in ISO 8601 with the local offset ("2024-05-01T13:45:12+08:00"). Reading
// accepts ISO 8601 first (with or without offset, "T" or space) and then the date-and-time
// texts older settings files hold: the current locale's date-and-time format and the common
// numeric day/month/year layouts. An entry whose time cannot be read keeps its path with the
// oldest possible time, so a changed locale never empties the list.
//
// Paths compare exactly (byte for byte): on this system "Scan.tif" and "scan.tif" are two files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class TVlIniFile;

// Seconds since 1970-01-01 00:00 UTC; 0 means "no time".
using THistoryTime = std::int64_t;

THistoryTime HistoryTimeNow();
std::string FormatHistoryTime(THistoryTime t);
// False (and out = 0) when the text is empty or not a date-time.
bool ParseHistoryTime(const std::string& text, THistoryTime& out);

struct HistoryFileRecord {
  std::string path;
  THistoryTime time = 0;
};

class THistoryList {
 public:
  const std::vector<HistoryFileRecord>& Entries() const { return entries_; }
  std::size_t Size() const { return entries_.size(); }
  void Clear() { entries_.clear(); }

  // Ignores paths that are not listed image types. An entry with the same path gets the later
  // of both times; otherwise the entry is appended. Returns whether the list changed.
  bool AddToHistory(const std::string& path, THistoryTime time);
  // Newest first; entries with equal times keep their order.
  void SortNewestFirst();
  // The menu's entries: the first min(size, count) entries after sorting; none for count <= 0.
  std::vector<HistoryFileRecord> MenuEntries(std::int32_t count);
  // The path behind a menu item's remembered position; a position outside the list is taken
  // as 0. Empty when the list is empty.
  std::string PathAt(std::int32_t position) const;

  // Empties the list and reads entries 0, 1, … of [HistoryMenu] (Time<n>, File<n>) until an
  // entry has neither key; entries with an empty path are skipped.
  void LoadHistory(const TVlIniFile& ini);
  // Replaces the whole [HistoryMenu] section with the first min(size, count) entries in the
  // list's current order (nothing for count <= 0).
  void SaveHistory(TVlIniFile& ini, std::int32_t count) const;

 private:
  std::vector<HistoryFileRecord> entries_;
};
