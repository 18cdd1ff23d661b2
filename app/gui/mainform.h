// TMainForm: the main window — menus, toolbar, page list pane, view pane, status bar.
//
// The window owns the shell session (TVlShell) and implements its host: it repaints, shows the
// busy window, keeps the event loop alive and turns shell state into the title and the status
// bar. Handlers keep the names the program has always used (mnOpenFileClick, sbSaveAsClick …)
// and forward to the shell. Items whose command is not available are disabled.
//
// Every action and button has an object name (the handler's name without "Click": "mnOpenFile",
// "sbSaveAs" …), so tests find them with findChild. Menu items and toolbar buttons that run
// an operation of the image menu carry its number as the action's data ("tag"). Bar buttons
// are QToolButtons named after their action with "Button" appended. Enable and disable items
// through SetEnabledByName, which keeps a button's popup menu in step (a popup menu passes its
// enabled state on to the button's action when the window is enabled again).
#pragma once

#include <QMainWindow>
#include <QPointer>

#include <memory>
#include <string>
#include <vector>

#include "app/gui/updatecheck.h"
#include "app/shell/host.h"
#include "app/shell/shell.h"

class QAction;
class QFrame;
class QMenu;
class QSplitter;
class QToolButton;
class QWidget;
class TPageListModel;
class TPageListView;
class TVlImageView;
class TVlNavigatorView;
class TVlStatusBar;
class TWaitForm;

class TMainForm final : public QMainWindow, public TShellHost {
  Q_OBJECT
 public:
  // Without a prompter the window asks with real dialogs; tests pass their own. The settings
  // file defaults to IniFilePath().
  explicit TMainForm(TPrompter* prompter = nullptr, std::filesystem::path iniPath = IniFilePath());
  ~TMainForm() override;

  TVlShell& Shell() { return *shell_; }
  TVlStatusBar* StatusPanels() const { return status_; }
  TPageListView* PageList() const { return pageList_; }
  TPageListModel* PageModel() const { return pageModel_; }
  TVlImageView* ImageV() const { return imageView_; }
  TVlNavigatorView* ImageVNav() const { return navView_; }
  QFrame* NavigatorPanel() const { return pnlNavigator_; }
  TUpdateChecker& UpdateChecker() { return updateChecker_; }
  QAction* ActionByName(const QString& name) const;
  void SetEnabledByName(const QString& name, bool enabled);
  QMenu* RecentFilesMenu() const { return mnRecentFiles_; }
  bool IsBusy() const { return busyDepth_ > 0; }
  double FitZoom() const { return fitZoom_; }

  // Start-up step 9: every argument, first to last, goes to LoadFile.
  void LoadArguments(const std::vector<std::string>& files);

  // ---- the routines every command uses ----
  void LoadFile(const std::string& path) { shell_->LoadFile(path); }
  void ShowPage(int index) { shell_->ShowPage(index); }
  void StorePage(int index) { shell_->StorePage(index); }
  void RefreshStatus() override;
  void UpdateUndoButtons() override;
  void ShowStatusHint(const std::string& text) override;
  void ClearStatusHint();
  void ShowProgress(int percent) override;
  void BeginBusy() override;
  void EndBusy() override;
  void BuildHistoryMenu() override;
  void ProcessEvents() override;
  void PageListChanged() override;
  void ViewImageChanged(bool fitToWindow) override;
  void ScrollToSelected() override;
  void StartQuietUpdateCheck() override;

  // The panel-0 text: the document path shortened in the middle to fit 300 pixels.
  QString CompactDocumentPath() const;

 public slots:
  // ---- page-list commands ----
  void mnOpenFileClick();
  void sbAddFilesClick();
  void mnOpenAgainClick();
  void sbDeleteClick();
  void sbEmptyAllClick();
  void sbMoveUpClick();
  void sbMoveDownClick();
  void sbSelectAllClick();
  void sbInvertSelectClick();
  void mnCopyImageClick();
  void mnPasteImageClick();
  // ---- view bar ----
  void sbZoomInClick();
  void sbZoomOutClick();
  void sbFitClick();
  void sb100Click();
  void sbNavigatorClick();
  void sbCropPageClick();
  void mnBlur1Click();
  void sbUndoClick();
  void sbRedoClick();
  void ImageVDblClick();
  // ---- help ----
  void mnCheckUpdateClick();
  void mnExitClick();
  void mnHomePageClick();
  void mnFeedbackClick();
  void mnRecentChangesClick();
  void mnAboutClick();

 protected:
  void closeEvent(QCloseEvent* event) override;
  bool event(QEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private slots:
  void RecentFileClick();
  void UpdateCheckFinished(TUpdateChecker::TOutcome outcome, bool report, const QString& version);

 private:
  QAction* MakeAction(const QString& name, const QString& caption, const QKeySequence& shortcut = {},
                      int tag = -1);
  QAction* MakeButtonAction(const QString& name, const QString& caption, const QString& hint, int glyph,
                            int tag = -1);
  QToolButton* MakeBarButton(QWidget* bar, const QString& name, const QString& caption, const QString& hint,
                             int glyph);
  void BuildMenus();
  void BuildToolbar();
  QWidget* BuildLeftPane();
  QWidget* BuildRightPane();
  void Connect(const QString& action, void (TMainForm::*slot)());
  void ConnectCommands();
  void PlaceNavigator();
  void HideNavigator();
  void ViewSelectionChanged(const QRect& r);

  std::unique_ptr<TPrompter> ownPrompter_;
  TPrompter* prompter_;
  std::unique_ptr<TVlShell> shell_;
  TVlStatusBar* status_ = nullptr;
  QSplitter* splitter_ = nullptr;
  QMenu* mnRecentFiles_ = nullptr;
  QMenu* rotatePopup_ = nullptr;
  TPageListModel* pageModel_ = nullptr;
  TPageListView* pageList_ = nullptr;
  TVlImageView* imageView_ = nullptr;
  QFrame* pnlNavigator_ = nullptr;
  TVlNavigatorView* navView_ = nullptr;
  std::unique_ptr<TWaitForm> waitForm_;
  TUpdateChecker updateChecker_;
  int busyDepth_ = 0;
  double fitZoom_ = 0;
  // An update-check outcome that arrived while a command worked; reported at its end.
  struct PendingOutcome {
    bool set = false;
    TUpdateChecker::TOutcome outcome{};
    QString version;
  } pendingOutcome_;
};
