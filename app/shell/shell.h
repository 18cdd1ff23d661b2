// TVlShell: the session of the main window without any widget.
//
// It owns the settings, the recent-file list and the current document path, and runs the
// routines every command goes through. The window (TMainForm) forwards its handlers here and
// implements TShellHost; questions go through TPrompter.
//
// Entry points: Startup / Shutdown (settings and recent files), AddToHistory,
// RecordSavedFile, RecentMenuEntries, RecentPath, ConfirmClose.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "app/shell/history.h"
#include "app/shell/host.h"
#include "app/shell/prompter.h"
#include "app/shell/settings.h"

class TVlShell {
 public:
  TVlShell(TPrompter& prompter, TShellHost& host, std::filesystem::path iniPath = IniFilePath());
  ~TVlShell();
  TVlShell(const TVlShell&) = delete;
  TVlShell& operator=(const TVlShell&) = delete;

  // ---- session state ----
  TShellSettings settings;
  const std::filesystem::path& IniPath() const { return iniPath_; }
  const std::string& DocumentPath() const { return documentPath_; }
  void SetDocumentPath(const std::string& path) { documentPath_ = path; }
  THistoryList& History() { return history_; }
  TPrompter& Prompter() { return prompter_; }
  TShellHost& Host() { return host_; }

  // ---- start and exit ----
  // LoadSettings and LoadHistory from the settings file.
  void Startup();
  // SaveSettings, then SaveHistory, into the settings file.
  void Shutdown();

  // ---- recent files ----
  void AddToHistory(const std::string& path, THistoryTime time);
  // The entries the recent-files submenu shows (sorts the list, newest first); empty when the
  // submenu shows "[无]".
  std::vector<HistoryFileRecord> RecentMenuEntries();
  // The path of a recent-file item's remembered position (outside the list: position 0).
  std::string RecentPath(std::int32_t position) const { return history_.PathAt(position); }
  // After a save: the file becomes the current document, the last saved path and a recent file.
  void RecordSavedFile(const std::string& path);

  // ---- closing ----
  // True when the window may close: without pages, or with quit confirmation off, at once;
  // otherwise the user is asked "现在退出 『Vellumo』 吗？\n".
  bool ConfirmClose(std::int32_t pageCount);

 private:
  TPrompter& prompter_;
  TShellHost& host_;
  std::filesystem::path iniPath_;
  std::string documentPath_;
  THistoryList history_;
};

inline constexpr const char* kQuitQuestion = "现在退出 『Vellumo』 吗？\n";
