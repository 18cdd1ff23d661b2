// The program's general settings, where the settings file lives, and colour texts.
//
// Entry points: IniFilePath, ColorToText / TextToColor, TShellSettings with LoadSettings
// (everything read at start) and SaveSettings (the keys written at exit), SaveOptions (the
// keys the options dialog writes).
//
// The settings file is $VELLUMO_INI when set, else $XDG_CONFIG_HOME/vellumo/vellumo.ini (an
// absolute XDG_CONFIG_HOME only), else ~/.config/vellumo/vellumo.ini. Every write opens the
// file afresh and changes only its own keys, so keys written by dialogs in between and keys
// the program does not know survive.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "imaging/bitmap.h"

class TVlIniFile;

std::filesystem::path IniFilePath();

// Colour values are 0x00BBGGRR (TVlColor). The named colours of the colour box are written by
// name ("clMedGray", "clWhite" …), every other value as "$" and eight hexadecimal digits.
constexpr TVlColor clMedGray = 0xA4A0A0;  // RGB 160, 160, 164
std::string ColorToText(TVlColor color);
// Reads a name, a "$" hexadecimal value or a decimal value; false when the text is none of them.
bool TextToColor(const std::string& text, TVlColor& out);

struct TShellSettings {
  TVlColor backgroundColor = clMedGray;  // BackgrdColor
  std::string lastOpen, lastSaved, lastExport;
  std::int32_t lastExportFormat = 0;
  std::int32_t lastSaveFormat = 0;  // starts every run at 0; written at exit, never read
  bool quitConfirm = true;
  bool showPageNumber = true;
  bool showResolution = false;
  std::int32_t recentFileNumber = 5;
  std::int32_t undoCount = 5;

  void LoadSettings(const TVlIniFile& ini);
  // LastOpen, LastSaved, LastExport, LastExportFormat, LastSaveFormat.
  void SaveSettings(TVlIniFile& ini) const;
  // BackgrdColor, UndoCount, ShowPageNumber, ShowResolution, RecentFileNumber, QuitConfirm.
  void SaveOptions(TVlIniFile& ini) const;
};

inline constexpr const char* kIniParameter = "Parameter";
inline constexpr const char* kIniHistoryMenu = "HistoryMenu";
