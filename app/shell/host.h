// TShellHost: what the shell asks of the window that shows it.
//
// The shell (app/shell/shell.h) holds the session and runs the commands; the window repaints,
// shows the busy window and keeps the event loop alive. Every call has a do-nothing default,
// so a test host overrides only what it watches.
#pragma once

#include <string>

class TShellHost {
 public:
  virtual ~TShellHost() = default;
  // The busy window around long work (always paired; see TBusyGuard).
  virtual void BeginBusy() {}
  virtual void EndBusy() {}
  // Title, status bar, undo buttons, navigator panel.
  virtual void RefreshStatus() {}
  // Undo and redo buttons and menu items follow the histories' sizes.
  virtual void UpdateUndoButtons() {}
  // Lets pending window events run (painting, the busy animation).
  virtual void ProcessEvents() {}
  // The page list's pages, order, selection or captions changed: repaint it.
  virtual void PageListChanged() {}
  // The view's image was replaced or edited. `fitToWindow`: show it shrunk to fit (ShowPage).
  virtual void ViewImageChanged(bool /*fitToWindow*/) {}
  // The recent-file list changed: rebuild its submenu.
  virtual void BuildHistoryMenu() {}
  // Single-text status (empty: back to the panels).
  virtual void ShowStatusHint(const std::string& /*text*/) {}
  virtual void ShowProgress(int /*percent*/) {}
  // Centre the current page in the page list.
  virtual void ScrollToSelected() {}
  // The first Open of a run starts a quiet update check.
  virtual void StartQuietUpdateCheck() {}
};

// Pairs BeginBusy and EndBusy, so the busy window goes away on every way out of a command.
class TBusyGuard {
 public:
  explicit TBusyGuard(TShellHost& host) : host_(host) { host_.BeginBusy(); }
  ~TBusyGuard() { host_.EndBusy(); }
  TBusyGuard(const TBusyGuard&) = delete;
  TBusyGuard& operator=(const TBusyGuard&) = delete;

 private:
  TShellHost& host_;
};
