#include "app/shell/ini.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/shell/settings.h"

namespace fs = std::filesystem;

namespace {

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class IniFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("vl_ini_test_" + std::to_string(::getpid()));
    fs::remove_all(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

}  // namespace

TEST(IniFile, ReadsValuesIgnoringCaseOfNamesAndSpaces) {
  TVlIniFile ini;
  ini.Parse("\xEF\xBB\xBF; comment\r\n[Parameter]\r\n  QuitConfirm = 0 \r\nlastopen=/home/u/扫描.tif\r\n"
            "Number=$1F\r\nBad=12x\r\n[Other]\nQuitConfirm=1\n");
  EXPECT_FALSE(ini.ReadBool("parameter", "QUITCONFIRM", true));
  EXPECT_TRUE(ini.ReadBool("Other", "QuitConfirm", false));
  EXPECT_EQ(ini.ReadString("Parameter", "LastOpen", ""), "/home/u/扫描.tif");
  EXPECT_EQ(ini.ReadInteger("Parameter", "Number", 0), 31);
  EXPECT_EQ(ini.ReadInteger("Parameter", "Bad", 7), 7);  // not a number: the default
  EXPECT_EQ(ini.ReadInteger("Parameter", "Missing", -3), -3);
  EXPECT_EQ(ini.ReadString("Nowhere", "Key", "d"), "d");
  EXPECT_TRUE(ini.ValueExists("Parameter", "number"));
  EXPECT_FALSE(ini.ValueExists("Parameter", "nothing"));
}

TEST(IniFile, IntegerTexts) {
  struct Case {
    const char* text;
    bool ok;
    std::int32_t value;
  } cases[] = {
      {"0", true, 0},           {"-17", true, -17},        {"+5", true, 5},
      {"2147483647", true, 2147483647}, {"2147483648", false, 0}, {"-2147483648", true, INT32_MIN},
      {"$FFFFFFFF", true, -1},  {"0x10", true, 16},        {"$", false, 0},
      {"", false, 0},           {"1.5", false, 0},         {"99999999999999999999", false, 0},
  };
  for (const Case& c : cases) {
    std::int32_t v = 0;
    EXPECT_EQ(TVlIniFile::ParseInteger(c.text, v), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(v, c.value) << c.text;
    }
  }
}

TEST(IniFile, WritesKeepUnknownKeysSectionsAndComments) {
  const std::string original =
      "; my settings\n[Parameter]\nLastOpen=/a.tif\nSomethingElse=keep me\n\n[Foreign]\nX=1\n";
  TVlIniFile ini;
  ini.Parse(original);
  ini.WriteString("PARAMETER", "lastopen", "/b.tif");    // replaced in place, spelling kept
  ini.WriteBool("Parameter", "QuitConfirm", false);      // appended to its section
  ini.WriteInteger("Resize", "ToSize", 2048);            // a new section at the end
  EXPECT_EQ(ini.Text(),
            "; my settings\n[Parameter]\nLastOpen=/b.tif\nSomethingElse=keep me\nQuitConfirm=0\n\n"
            "[Foreign]\nX=1\n\n[Resize]\nToSize=2048\n");
}

TEST(IniFile, LineBreaksInValuesCannotBreakTheFile) {
  TVlIniFile ini;
  ini.WriteString("PDF", "Title", "two\nlines\r\n[Parameter]");
  TVlIniFile again;
  again.Parse(ini.Text());
  EXPECT_FALSE(again.SectionExists("Parameter"));
  EXPECT_EQ(again.ReadString("PDF", "Title", ""), "two lines  [Parameter]");
}

TEST(IniFile, EraseSectionRemovesEveryLineOfIt) {
  TVlIniFile ini;
  ini.Parse("[A]\nx=1\n[HistoryMenu]\nTime0=1\nFile0=/a.tif\n; note\n[B]\ny=2\n");
  ini.EraseSection("historymenu");
  EXPECT_EQ(ini.Text(), "[A]\nx=1\n[B]\ny=2\n");
  EXPECT_EQ(ini.KeyNames("B"), std::vector<std::string>{"y"});
}

TEST_F(IniFileTest, UpdateFileCreatesFoldersAndRoundTripsUtf8) {
  const fs::path p = dir_ / "deep" / "vellumo.ini";
  {
    TVlIniFile ini(p);  // missing file: empty document
    EXPECT_FALSE(ini.SectionExists("Parameter"));
    ini.WriteString("PDF", "Author", "张三");
    ASSERT_TRUE(ini.UpdateFile());
  }
  EXPECT_EQ(ReadAll(p), "[PDF]\nAuthor=张三\n");
  TVlIniFile back(p);
  EXPECT_EQ(back.ReadString("PDF", "Author", ""), "张三");
  // No temporary file is left beside it.
  int files = 0;
  for (const auto& e : fs::directory_iterator(p.parent_path())) {
    (void)e;
    ++files;
  }
  EXPECT_EQ(files, 1);
}

TEST_F(IniFileTest, UnwritableLocationFailsWithoutDamage) {
  fs::create_directories(dir_);
  const fs::path blocker = dir_ / "file";
  std::ofstream(blocker) << "x";
  TVlIniFile ini(blocker / "sub" / "vellumo.ini");  // a folder below a plain file cannot exist
  ini.WriteInteger("Parameter", "UndoCount", 3);
  EXPECT_FALSE(ini.UpdateFile());
  EXPECT_EQ(ReadAll(blocker), "x");
}

TEST(ColorText, NamesAndHexadecimalValues) {
  EXPECT_EQ(ColorToText(clMedGray), "clMedGray");
  EXPECT_EQ(ColorToText(0xFFFFFF), "clWhite");
  EXPECT_EQ(ColorToText(VlColor(1, 2, 3)), "$00030201");  // blue, green, red from high to low
  TVlColor c = 0;
  ASSERT_TRUE(TextToColor("clmedgray", c));
  EXPECT_EQ(c, VlColor(160, 160, 164));
  ASSERT_TRUE(TextToColor("$00030201", c));
  EXPECT_EQ(c, VlColor(1, 2, 3));
  ASSERT_TRUE(TextToColor("255", c));
  EXPECT_EQ(c, VlColor(255, 0, 0));
  EXPECT_FALSE(TextToColor("clPurpleish", c));
  EXPECT_FALSE(TextToColor("", c));
}

TEST(ShellSettings, DefaultsForAMissingFileAndTheKeysOfEachWrite) {
  TVlIniFile empty;
  TShellSettings s;
  s.LoadSettings(empty);
  EXPECT_EQ(s.backgroundColor, clMedGray);
  EXPECT_TRUE(s.quitConfirm);
  EXPECT_TRUE(s.showPageNumber);
  EXPECT_FALSE(s.showResolution);
  EXPECT_EQ(s.recentFileNumber, 5);
  EXPECT_EQ(s.undoCount, 5);
  EXPECT_EQ(s.lastExportFormat, 0);

  TVlIniFile ini;
  ini.Parse("[Parameter]\nBackgrdColor=$00112233\nLastSaveFormat=2\nQuitConfirm=7\nShowResolution=1\n"
            "RecentFileNumber=0\nUndoCount=-1\nLastExportFormat=4\nBackgrdColor2=x\n");
  s.LoadSettings(ini);
  EXPECT_EQ(s.backgroundColor, 0x112233u);
  EXPECT_EQ(s.lastSaveFormat, 0);  // never read: every run starts with the first filter
  EXPECT_TRUE(s.quitConfirm);      // non-zero reads as true
  EXPECT_TRUE(s.showResolution);
  EXPECT_EQ(s.recentFileNumber, 0);
  EXPECT_EQ(s.undoCount, -1);
  EXPECT_EQ(s.lastExportFormat, 4);

  s.lastOpen = "/x/a.tif";
  s.lastSaveFormat = 2;
  TVlIniFile out;
  s.SaveSettings(out);
  EXPECT_EQ(out.KeyNames("Parameter"),
            (std::vector<std::string>{"LastOpen", "LastSaved", "LastExport", "LastExportFormat", "LastSaveFormat"}));
  EXPECT_EQ(out.ReadString("Parameter", "LastSaveFormat", ""), "2");
  TVlIniFile opts;
  s.SaveOptions(opts);
  EXPECT_EQ(opts.ReadString("Parameter", "BackgrdColor", ""), "$00112233");
  EXPECT_EQ(opts.ReadString("Parameter", "QuitConfirm", ""), "1");
  EXPECT_EQ(opts.ReadString("Parameter", "ShowPageNumber", ""), "1");
  EXPECT_EQ(opts.ReadString("Parameter", "ShowResolution", ""), "1");
}

TEST(IniFilePath, EnvironmentDecides) {
  const char* oldIni = std::getenv("VELLUMO_INI");
  const char* oldXdg = std::getenv("XDG_CONFIG_HOME");
  const char* oldHome = std::getenv("HOME");
  std::string savedIni = oldIni ? oldIni : "", savedXdg = oldXdg ? oldXdg : "", savedHome = oldHome ? oldHome : "";
  ::unsetenv("VELLUMO_INI");
  ::setenv("XDG_CONFIG_HOME", "/cfg", 1);
  EXPECT_EQ(IniFilePath(), fs::path("/cfg/vellumo/vellumo.ini"));
  ::setenv("XDG_CONFIG_HOME", "relative", 1);  // not absolute: ignored
  ::setenv("HOME", "/home/u", 1);
  EXPECT_EQ(IniFilePath(), fs::path("/home/u/.config/vellumo/vellumo.ini"));
  ::setenv("VELLUMO_INI", "/tmp/other.ini", 1);
  EXPECT_EQ(IniFilePath(), fs::path("/tmp/other.ini"));
  auto restore = [](const char* name, const char* old, const std::string& v) {
    if (old)
      ::setenv(name, v.c_str(), 1);
    else
      ::unsetenv(name);
  };
  restore("VELLUMO_INI", oldIni, savedIni);
  restore("XDG_CONFIG_HOME", oldXdg, savedXdg);
  restore("HOME", oldHome, savedHome);
}
