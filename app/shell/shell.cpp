#include "app/shell/shell.h"

#include "app/shell/ini.h"

TVlShell::TVlShell(TPrompter& prompter, TShellHost& host, std::filesystem::path iniPath)
    : prompter_(prompter), host_(host), iniPath_(std::move(iniPath)) {}

TVlShell::~TVlShell() = default;

void TVlShell::Startup() {
  TVlIniFile ini(iniPath_);
  settings.LoadSettings(ini);
  history_.LoadHistory(ini);
}

void TVlShell::Shutdown() {
  TVlIniFile ini(iniPath_);
  settings.SaveSettings(ini);
  history_.SaveHistory(ini, settings.recentFileNumber);
  (void)ini.UpdateFile();  // a settings file that cannot be written is not reported
}

void TVlShell::AddToHistory(const std::string& path, THistoryTime time) { history_.AddToHistory(path, time); }

std::vector<HistoryFileRecord> TVlShell::RecentMenuEntries() {
  return history_.MenuEntries(settings.recentFileNumber);
}

void TVlShell::RecordSavedFile(const std::string& path) {
  documentPath_ = path;
  settings.lastSaved = path;
  AddToHistory(path, HistoryTimeNow());
  host_.BuildHistoryMenu();
}

bool TVlShell::ConfirmClose(std::int32_t pageCount) {
  if (!settings.quitConfirm || pageCount < 1)
    return true;
  return prompter_.MessageBox(TMsgKind::confirmation, kQuitQuestion, mbYesNo) == TModalResult::mrYes;
}
