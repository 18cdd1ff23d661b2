// TVlShell: the session of the main window without any widget.
//
// It owns the page store (with its multi-page I/O object), the single-page view's image with
// its processing object and histories (TShellView, TVlProc), the settings, the recent-file
// list and the current document path, and runs the routines and commands of the main window.
// The window (TMainForm) forwards its handlers here and implements TShellHost; every question
// goes through TPrompter, the clipboard through TVlClipboard (proc/clipboard.h).
//
// Entry points
//   start and exit   Startup, Shutdown, ConfirmClose
//   routines         LoadFile, ShowPage, StorePage, StoreShownPage, ResetUndoIfPageChanged,
//                    CheckPageSelection, AddToHistory, RecordSavedFile, Status, UpdateCaptions
//   page-list        OpenDocument (mnOpenFileClick), InsertFiles (sbAddFilesClick),
//   commands         Reopen (mnOpenAgainClick), OpenRecent (a recent-file item),
//                    RemoveSelected (sbDeleteClick), EmptyAll (sbEmptyAllClick), MoveUp / MoveDown
//                    (sbMoveUpClick / sbMoveDownClick), SelectAll (sbSelectAllClick),
//                    InvertSelection (sbInvertSelectClick), CopyPageImage (mnCopyImageClick),
//                    PasteAsNewPage (mnPasteImageClick)
//   editing          Undo (sbUndoClick), Redo (sbRedoClick), Blur (mnBlur1Click),
//                    CropToSelection (ImageVDblClick)
//   grid input       FlushSelectionEvents (after the grid handled a mouse or key event)
//
// The shown page. The view's image comes from one page, ShownPage(). The store's current index
// can move without the view changing (Select all, Invert selection, pages loaded in front of the
// current page, a page moved past it), so everything that writes the view's image back into the
// page list after an edit of the view (undo, redo, blur, crop) uses StoreShownPage, which
// follows that page through insertions, removals and moves. The undo history belongs to that
// page too: ResetUndoIfPageChanged compares against the shown page's index as it is now.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/shell/history.h"
#include "app/shell/host.h"
#include "app/shell/prompter.h"
#include "app/shell/settings.h"
#include "imaging/bitmap.h"
#include "imaging/io/pagestore.h"
#include "proc/proc.h"

// The single-page view's state: its image, background colour and selection. TVlProc operates
// on it; the window draws it.
class TShellView final : public TVlProcView {
 public:
  explicit TShellView(TShellHost& host) : host_(host) {}
  TVlBitmap image;
  TVlColor background = clMedGray;
  std::unique_ptr<TVlMask> selection;  // null: nothing selected
  double dpi = 300.0;

  // An image at most 1 pixel wide counts as no image (a blank view).
  bool HasImage() const { return image.Width() > 1; }
  // Fills the view with its background: no image, no selection.
  void Blank();
  // Selects the inclusive rectangle in image pixels (clipped); an empty rectangle selects nothing.
  void SelectRect(std::int32_t left, std::int32_t top, std::int32_t right, std::int32_t bottom);
  void SelectNone() { selection.reset(); }
  bool HasSelection() const { return selection && !selection->IsEmpty(); }

  TVlBitmap* ProcImage() override { return &image; }
  TVlColor BackgroundColor() const override { return background; }
  void SetBackgroundColor(TVlColor colour) override { background = colour; }
  const TVlMask* Selection() const override { return selection.get(); }
  void RefreshView() override { host_.ViewImageChanged(false); }
  double Dpi() const override { return dpi; }

 private:
  TShellHost& host_;
};

// What the page-list widget hears from the store (through the shell, which watches it too).
class TVlClipboard;
class TVlIO;

class TPageListObserver {
 public:
  virtual ~TPageListObserver() = default;
  virtual void BeforeChange(const TVlPageChange&) {}
  virtual void AfterChange(const TVlPageChange&) {}
  virtual void PageChanged(std::int32_t /*index*/) {}
  // Called on a loader thread: queue it to the GUI thread.
  virtual void ThumbnailReady(std::int32_t /*index*/) {}
  virtual void SelectionChanged() {}
  virtual void Refresh() {}
};

// The texts of the title and status bar panels 1 and 2 (panel 2 without the zoom).
struct TShellStatus {
  std::string title;
  std::string pagePosition;
  std::string imageInfo;
  bool imageInfoBlank = true;
};

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
  TVlPageStore& Store() { return *store_; }
  // The window's own single-image I/O object (page counts, and exports of the view's image).
  TVlIO& IO() { return *io_; }
  TShellView& View() { return view_; }
  TVlProc& Proc() { return proc_; }
  // The page the view's image came from, -1 for none (see the file comment).
  std::int32_t ShownPage() const { return shownPage_; }
  // Number of times the Open command ran in this run.
  std::int32_t OpenUseCount() const { return openUseCount_; }
  // Deskew prompt suppression: off at start, never stored.
  bool deskewPromptSuppressed = false;
  // The page-list widget's model; the background loader reads it from its threads.
  void SetPageListObserver(TPageListObserver* observer) { observer_.store(observer); }
  // How LoadFile learns a file's page count without decoding it (parameters-only read; 0 for
  // a file it does not recognise). Tests may replace it.
  std::function<std::int32_t(const std::string& path)> readImageCount;

  // ---- start and exit ----
  // LoadSettings (the background colour to the view, UndoCount as the undo limit) and
  // LoadHistory from the settings file.
  void Startup();
  // SaveSettings, then SaveHistory, into the settings file.
  void Shutdown();
  // True when the window may close: without pages, or with quit confirmation off, at once;
  // otherwise after the user answered "现在退出 『Vellumo』 吗？\n" with Yes.
  bool ConfirmClose();

  // ---- routines ----
  // Brings every page of the file into the page list at the current index (see LoadFile in
  // the window's documentation); asks before more than 500 pages; an unreadable multi-page
  // file ends with an error box naming it. Returns false when nothing was loaded.
  bool LoadFile(const std::string& path);
  // Shows page `index` in the view (a blank view outside the list).
  void ShowPage(std::int32_t index);
  // Writes the view's image into page `index` if it is below the page count.
  void StorePage(std::int32_t index);
  // StorePage for the page the view shows (after undo, redo, blur, crop); nothing without one.
  void StoreShownPage();
  void ResetUndoIfPageChanged(std::int32_t index);
  // True when the calling command must stop (see the page-list commands).
  bool CheckPageSelection(const std::string& message);
  void AddToHistory(const std::string& path, THistoryTime time);
  std::vector<HistoryFileRecord> RecentMenuEntries();
  std::string RecentPath(std::int32_t position) const { return history_.PathAt(position); }
  void RecordSavedFile(const std::string& path);
  TShellStatus Status();
  // Sets the two captions of a page from the caption settings ("第 %d 页", "%d x %d").
  void UpdateCaptions(std::int32_t index);
  // Runs the select and deselect events the grid's last input produced, in order.
  void FlushSelectionEvents();

  // ---- page-list commands ----
  void OpenDocument();
  void InsertFiles();
  void Reopen();
  void OpenRecent(std::int32_t position);
  void RemoveSelected();
  void EmptyAll();
  void MoveUp();
  void MoveDown();
  void SelectAll();
  void InvertSelection();
  // The view's whole image onto the clipboard (raw snapshot, BMP, and PNG when an encoder is
  // installed), confirmed by a status hint; nothing without an image.
  void CopyPageImage(TVlClipboard& clipboard);
  // The clipboard's image as a new last page (it becomes current); a clipboard without an
  // image only gets a status hint, an image narrower than 2 pixels adds no page.
  void PasteAsNewPage(TVlClipboard& clipboard);

  // ---- editing in the view ----
  void Undo();
  void Redo();
  // Blur of the view's selection (or the whole image) at level 1, 2 or 3 (radius 1, 4, 20;
  // other levels count as 2), stored into the shown page.
  void Blur(int level);
  // Crops the view's image to its selection and stores it into the shown page; nothing
  // without a selection.
  void CropToSelection();

 private:
  void InstallStoreEvents();
  void TrackChange(const TVlPageChange& change);
  TOpenDialogRequest OpenRequest(bool multiSelect) const;
  void ClearDocument();
  static bool ClipboardOffersImage(TVlClipboard& clipboard);

  TPrompter& prompter_;
  TShellHost& host_;
  std::filesystem::path iniPath_;
  std::string documentPath_;
  THistoryList history_;
  std::unique_ptr<TVlPageStore> store_;
  std::unique_ptr<TVlIO> io_;
  TShellView view_;
  TVlProc proc_;
  std::atomic<TPageListObserver*> observer_{nullptr};
  std::int32_t shownPage_ = -1;
  std::int32_t rememberedPageIndex_ = 1;
  std::int32_t rememberedPageCount_ = 0;
  std::int32_t openUseCount_ = 0;
  struct SelectionEvent {
    bool select;
    std::int32_t index;
  };
  std::vector<SelectionEvent> pendingSelection_;
};

inline constexpr const char* kQuitQuestion = "现在退出 『Vellumo』 吗？\n";
inline constexpr std::int32_t kLargeFilePageCount = 500;

// Puts the core's PNG reader and writer behind the clipboard's image/png (VlClipboardCodecs).
void InstallClipboardPngCodecs();
