#include "app/shell/settings.h"

#include <cstdio>
#include <cstdlib>

#include "app/shell/ini.h"

std::filesystem::path IniFilePath() {
  if (const char* p = std::getenv("VELLUMO_INI"); p && *p)
    return p;
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  std::filesystem::path base;
  if (xdg && *xdg == '/') {
    base = xdg;
  } else {
    const char* home = std::getenv("HOME");
    base = std::filesystem::path(home && *home ? home : "/tmp") / ".config";
  }
  return base / "vellumo" / "vellumo.ini";
}

namespace {

struct NamedColor {
  const char* name;
  TVlColor value;
};

// The standard and extended colours of the colour box, and the two special values.
constexpr NamedColor kNamedColors[] = {
    {"clBlack", 0x000000},   {"clMaroon", 0x000080},     {"clGreen", 0x008000},   {"clOlive", 0x008080},
    {"clNavy", 0x800000},    {"clPurple", 0x800080},     {"clTeal", 0x808000},    {"clGray", 0x808080},
    {"clSilver", 0xC0C0C0},  {"clRed", 0x0000FF},        {"clLime", 0x00FF00},    {"clYellow", 0x00FFFF},
    {"clBlue", 0xFF0000},    {"clFuchsia", 0xFF00FF},    {"clAqua", 0xFFFF00},    {"clWhite", 0xFFFFFF},
    {"clMoneyGreen", 0xC0DCC0}, {"clSkyBlue", 0xF0CAA6}, {"clCream", 0xF0FBFF},   {"clMedGray", 0xA4A0A0},
    {"clNone", 0x1FFFFFFF},  {"clDefault", 0x20000000},
};

bool EqualNoCase(const std::string& a, const char* b) {
  std::size_t i = 0;
  for (; i < a.size() && b[i]; ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z')
      x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z')
      y = static_cast<char>(y - 'A' + 'a');
    if (x != y)
      return false;
  }
  return i == a.size() && !b[i];
}

}  // namespace

std::string ColorToText(TVlColor color) {
  for (const NamedColor& c : kNamedColors)
    if (c.value == color)
      return c.name;
  char buf[16];
  std::snprintf(buf, sizeof buf, "$%.8X", static_cast<unsigned>(color));
  return buf;
}

bool TextToColor(const std::string& text, TVlColor& out) {
  std::string t = text;
  while (!t.empty() && (t.back() == ' ' || t.back() == '\t'))
    t.pop_back();
  while (!t.empty() && (t.front() == ' ' || t.front() == '\t'))
    t.erase(t.begin());
  for (const NamedColor& c : kNamedColors)
    if (EqualNoCase(t, c.name)) {
      out = c.value;
      return true;
    }
  std::int32_t v;
  if (!TVlIniFile::ParseInteger(t, v))
    return false;
  out = static_cast<TVlColor>(v);
  return true;
}

void TShellSettings::LoadSettings(const TVlIniFile& ini) {
  TVlColor c;
  backgroundColor = TextToColor(ini.ReadString(kIniParameter, "BackgrdColor", "clMedGray"), c) ? c : clMedGray;
  lastOpen = ini.ReadString(kIniParameter, "LastOpen", "");
  lastSaved = ini.ReadString(kIniParameter, "LastSaved", "");
  lastExport = ini.ReadString(kIniParameter, "LastExport", "");
  lastExportFormat = ini.ReadInteger(kIniParameter, "LastExportFormat", 0);
  lastSaveFormat = 0;
  quitConfirm = ini.ReadBool(kIniParameter, "QuitConfirm", true);
  showPageNumber = ini.ReadBool(kIniParameter, "ShowPageNumber", true);
  showResolution = ini.ReadBool(kIniParameter, "ShowResolution", false);
  recentFileNumber = ini.ReadInteger(kIniParameter, "RecentFileNumber", 5);
  undoCount = ini.ReadInteger(kIniParameter, "UndoCount", 5);
}

void TShellSettings::SaveSettings(TVlIniFile& ini) const {
  ini.WriteString(kIniParameter, "LastOpen", lastOpen);
  ini.WriteString(kIniParameter, "LastSaved", lastSaved);
  ini.WriteString(kIniParameter, "LastExport", lastExport);
  ini.WriteInteger(kIniParameter, "LastExportFormat", lastExportFormat);
  ini.WriteInteger(kIniParameter, "LastSaveFormat", lastSaveFormat);
}

void TShellSettings::SaveOptions(TVlIniFile& ini) const {
  ini.WriteString(kIniParameter, "BackgrdColor", ColorToText(backgroundColor));
  ini.WriteInteger(kIniParameter, "UndoCount", undoCount);
  ini.WriteBool(kIniParameter, "ShowPageNumber", showPageNumber);
  ini.WriteBool(kIniParameter, "ShowResolution", showResolution);
  ini.WriteInteger(kIniParameter, "RecentFileNumber", recentFileNumber);
  ini.WriteBool(kIniParameter, "QuitConfirm", quitConfirm);
}
