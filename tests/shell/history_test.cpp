#include "app/shell/history.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <ctime>

#include "app/shell/filters.h"
#include "app/shell/ini.h"

namespace {

THistoryTime Local(int y, int mo, int d, int h, int mi, int s) {
  std::tm tm{};
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = mi;
  tm.tm_sec = s;
  tm.tm_isdst = -1;
  return static_cast<THistoryTime>(std::mktime(&tm));
}

}  // namespace

TEST(HistoryTime, IsoRoundTripAndOlderLayouts) {
  const THistoryTime t = Local(2013, 5, 1, 13, 45, 12);
  THistoryTime back = 0;
  ASSERT_TRUE(ParseHistoryTime(FormatHistoryTime(t), back)) << FormatHistoryTime(t);
  EXPECT_EQ(back, t);
  EXPECT_EQ(FormatHistoryTime(t).substr(0, 19), "2013-05-01T13:45:12");

  struct Case {
    const char* text;
    THistoryTime expected;
  } cases[] = {
      {"2013-05-01T13:45:12", t},
      {"2013-05-01 13:45:12", t},
      {"2013-05-01T13:45:12.250", t},
      {"2013/5/1 13:45:12", t},   // the Chinese layout of older files
      {"2013/05/01 13:45", Local(2013, 5, 1, 13, 45, 0)},
      {"2013/5/1", Local(2013, 5, 1, 0, 0, 0)},  // midnight was written as the date alone
      {"01.05.2013 13:45:12", t},
      {"5/1/2013 1:45:12 PM", t},
      {"25/12/2013 08:00:00", Local(2013, 12, 25, 8, 0, 0)},
  };
  for (const Case& c : cases) {
    THistoryTime v = -1;
    EXPECT_TRUE(ParseHistoryTime(c.text, v)) << c.text;
    EXPECT_EQ(v, c.expected) << c.text;
  }
  THistoryTime z = 0;
  ASSERT_TRUE(ParseHistoryTime("1970-01-02T00:00:00Z", z));
  EXPECT_EQ(z, 86400);
  ASSERT_TRUE(ParseHistoryTime("1970-01-02T08:00:00+08:00", z));
  EXPECT_EQ(z, 86400);

  for (const char* bad : {"", "0", "yesterday", "2013-13-01T00:00:00", "2013-05-01T25:00", "2013-05-01Tx"}) {
    THistoryTime v = 5;
    EXPECT_FALSE(ParseHistoryTime(bad, v)) << bad;
    EXPECT_EQ(v, 0) << bad;
  }
}

TEST(HistoryList, AddMergesExactPathsOnlyAndKeepsTheLaterTime) {
  THistoryList h;
  EXPECT_TRUE(h.AddToHistory("/scans/a.tif", 100));
  EXPECT_FALSE(h.AddToHistory("/scans/a.tif", 50));  // older time: unchanged
  EXPECT_TRUE(h.AddToHistory("/scans/a.tif", 200));
  // Another letter case is another file here.
  EXPECT_TRUE(h.AddToHistory("/scans/A.TIF", 150));
  ASSERT_EQ(h.Size(), 2u);
  EXPECT_EQ(h.Entries()[0].time, 200);
  // Only listed image types, whatever the case of the extension.
  EXPECT_FALSE(h.AddToHistory("/notes/readme.txt", 300));
  EXPECT_FALSE(h.AddToHistory("/scans/noextension", 300));
  EXPECT_FALSE(h.AddToHistory("/scans/x.ti", 300));  // a prefix of "*.tif" is not a listed pattern
  EXPECT_TRUE(h.AddToHistory("/scans/FAX.G3F", 300));
  EXPECT_EQ(h.Size(), 3u);
}

TEST(HistoryList, ListedTypesFollowTheOpenFilter) {
  for (const char* yes : {"a.tif", "a.TIFF", "b.jpeg", "c.Nef", "d.pbm", "e.j2c", "f.psd", "g.dcx"})
    EXPECT_TRUE(IsListedImageType(yes)) << yes;
  for (const char* no : {"a.pdf", "a.txt", "a.", "tif", ".tif", "a.tif.bak"})
    EXPECT_FALSE(IsListedImageType(no)) << no;
}

TEST(HistoryList, MenuShowsNewestFirstUpToTheCount) {
  THistoryList h;
  h.AddToHistory("/a.tif", 10);
  h.AddToHistory("/b.tif", 30);
  h.AddToHistory("/c.tif", 20);
  EXPECT_TRUE(h.MenuEntries(0).empty());
  EXPECT_TRUE(h.MenuEntries(-2).empty());
  auto two = h.MenuEntries(2);
  ASSERT_EQ(two.size(), 2u);
  EXPECT_EQ(two[0].path, "/b.tif");
  EXPECT_EQ(two[1].path, "/c.tif");
  EXPECT_EQ(h.MenuEntries(10).size(), 3u);
  // A remembered position outside the list is taken as 0.
  EXPECT_EQ(h.PathAt(1), "/c.tif");
  EXPECT_EQ(h.PathAt(7), "/b.tif");
  EXPECT_EQ(h.PathAt(-1), "/b.tif");
  EXPECT_EQ(THistoryList().PathAt(0), "");
}

TEST(HistoryList, SaveAndLoadThroughTheIniSection) {
  THistoryList h;
  h.AddToHistory("/one.tif", Local(2020, 1, 2, 3, 4, 5));
  h.AddToHistory("/two.tif", Local(2021, 1, 2, 3, 4, 5));
  h.AddToHistory("/three.tif", Local(2019, 1, 2, 3, 4, 5));
  h.SortNewestFirst();
  TVlIniFile ini;
  ini.Parse("[HistoryMenu]\nTime7=x\nFile7=/stale.tif\n[Parameter]\nUndoCount=3\n");
  h.SaveHistory(ini, 2);
  EXPECT_EQ(ini.KeyNames("HistoryMenu"), (std::vector<std::string>{"Time0", "File0", "Time1", "File1"}));
  EXPECT_EQ(ini.ReadString("HistoryMenu", "File0", ""), "/two.tif");
  EXPECT_EQ(ini.ReadInteger("Parameter", "UndoCount", 0), 3);

  THistoryList back;
  back.LoadHistory(ini);
  ASSERT_EQ(back.Size(), 2u);
  EXPECT_EQ(back.Entries()[0].path, "/two.tif");
  EXPECT_EQ(back.Entries()[0].time, Local(2021, 1, 2, 3, 4, 5));
  EXPECT_EQ(back.Entries()[1].path, "/one.tif");

  // Count 0: the section is written empty.
  h.SaveHistory(ini, 0);
  EXPECT_FALSE(ini.SectionExists("HistoryMenu"));
}

TEST(HistoryList, LoadKeepsEntriesWhoseTimeNoLongerReads) {
  // Written under another locale, or by hand: the paths survive with the oldest time, and the
  // list does not stop at them.
  TVlIniFile ini;
  ini.Parse(
      "[HistoryMenu]\nTime0=mardi 1 mai 2013 13:45:12\nFile0=/a.tif\nTime1=2013/5/2 10:00:00\nFile1=/b.tif\n"
      "Time2=2013-05-03T09:00:00\nFile2=\nTime3=2013-05-04T09:00:00\nFile3=/d.tif\nFile5=/after-gap.tif\n");
  THistoryList h;
  h.LoadHistory(ini);
  ASSERT_EQ(h.Size(), 3u);
  EXPECT_EQ(h.Entries()[0].path, "/a.tif");
  EXPECT_EQ(h.Entries()[0].time, 0);
  EXPECT_EQ(h.Entries()[1].path, "/b.tif");
  EXPECT_EQ(h.Entries()[1].time, Local(2013, 5, 2, 10, 0, 0));
  EXPECT_EQ(h.Entries()[2].path, "/d.tif");
  // Written back, every entry carries an ISO time and reads again.
  h.SortNewestFirst();
  TVlIniFile out;
  h.SaveHistory(out, 5);
  THistoryList again;
  again.LoadHistory(out);
  EXPECT_EQ(again.Size(), 3u);
}

TEST(HistoryList, LocaleTextOfTheCurrentLocaleReads) {
  const char* old = std::setlocale(LC_TIME, nullptr);
  std::string saved = old ? old : "C";
  if (!std::setlocale(LC_TIME, "de_DE.UTF-8"))
    GTEST_SKIP() << "de_DE.UTF-8 locale not installed";
  char buf[128];
  std::tm tm{};
  const THistoryTime t = Local(2013, 5, 1, 13, 45, 12);
  std::time_t tt = static_cast<std::time_t>(t);
  localtime_r(&tt, &tm);
  std::strftime(buf, sizeof buf, "%c", &tm);
  THistoryTime v = 0;
  EXPECT_TRUE(ParseHistoryTime(buf, v)) << buf;
  EXPECT_EQ(v, t) << buf;
  std::setlocale(LC_TIME, saved.c_str());
}
