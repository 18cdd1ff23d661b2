#include "app/shell/shell.h"

#include <algorithm>
#include <cstdio>
#include <system_error>

#include "app/shell/filters.h"
#include "app/shell/ini.h"
#include "app/shell/status.h"
#include "imaging/io/filetypes.h"
#include "imaging/io/vlio.h"
#include "imaging/io/vlmio.h"
#include "imaging/stream.h"
#include "proc/clipboard.h"

namespace {

// The page a structural change leaves at the position of page `index` (-1 when it is gone).
std::int32_t FollowChange(std::int32_t index, const TVlPageChange& c) {
  if (index < 0)
    return index;
  switch (c.kind) {
    case TVlPageChange::insert:
      return index >= c.index ? index + 1 : index;
    case TVlPageChange::remove:
      if (index == c.index)
        return -1;
      return index > c.index ? index - 1 : index;
    case TVlPageChange::move: {
      if (index == c.index)
        return c.index2;
      const std::int32_t b = c.index < index ? index - 1 : index;
      return b >= c.index2 ? b + 1 : b;
    }
    case TVlPageChange::reset:
      return -1;
  }
  return index;
}

std::string FolderOf(const std::string& path) {
  if (path.empty())
    return {};
  return std::filesystem::path(path).parent_path().string();
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// TShellView

void TShellView::Blank() {
  image.FreeImage();
  selection.reset();
  dpi = 300.0;
}

void TShellView::SelectRect(std::int32_t left, std::int32_t top, std::int32_t right, std::int32_t bottom) {
  selection.reset();
  const std::int32_t w = image.Width(), h = image.Height();
  left = std::max(left, 0);
  top = std::max(top, 0);
  right = std::min(right, w - 1);
  bottom = std::min(bottom, h - 1);
  if (w < 1 || h < 1 || left > right || top > bottom)
    return;
  auto mask = std::make_unique<TVlMask>();
  if (!mask->Allocate(w, h, 1).ok())
    return;
  for (std::int32_t y = top; y <= bottom; ++y)
    for (std::int32_t x = left; x <= right; ++x)
      mask->SetPixel(x, y, 1);
  selection = std::move(mask);
}

// ---------------------------------------------------------------------------------------------
// PNG on the clipboard, through the core's PNG codec

void InstallClipboardPngCodecs() {
  TVlClipboardCodecs& c = VlClipboardCodecs();
  c.decodePng = [](const std::uint8_t* data, std::size_t size, TVlBitmap& image) {
    TVlIO io;
    io.SetTargetBitmap(&image);
    io.LoadImageBuffer(data, static_cast<std::int64_t>(size), vlftPNG);
    return !io.aborting && !image.IsEmpty();
  };
  c.encodePng = [](TVlBitmap& image, std::vector<std::uint8_t>& png) {
    TVlIO io;
    io.SetTargetBitmap(&image);
    TVlMemoryStream out;
    io.SaveImageStream(out, vlftPNG);
    if (io.aborting || out.Size() <= 0)
      return false;
    png.resize(static_cast<std::size_t>(out.Size()));
    return out.ReadAt(0, png.data(), out.Size());
  };
}

// ---------------------------------------------------------------------------------------------
// Construction, start and exit

TVlShell::TVlShell(TPrompter& prompter, TShellHost& host, std::filesystem::path iniPath)
    : prompter_(prompter),
      host_(host),
      iniPath_(std::move(iniPath)),
      store_(std::make_unique<TVlPageStore>()),
      io_(std::make_unique<TVlIO>()),
      view_(host),
      proc_(&view_) {
  // The page count of a file: a parameters-only read of the window's own I/O object.
  readImageCount = [this](const std::string& path) {
    io_->Params().SetImageCount(0);
    io_->ReadFileParams(path);
    return io_->Params().imageCount;
  };
  io_->OnProgress = [this](TVlIO*, int percent) { host_.ShowProgress(percent); };
  // The page list's settings: one column of 180 x 180 thumbnails on white, multi-selection,
  // linear thumbnail filter (rfLinear), small images kept at their own size.
  store_->SetThumbSize(180, 180);
  store_->SetBackground(clWhite);
  store_->SetEnableMultiSelect(true);
  store_->SetThumbnailFilter(8);
  InstallStoreEvents();
}

TVlShell::~TVlShell() {
  // The store's handlers point at this object; the store may still fire while it goes.
  store_->CancelBackgroundLoads();
  store_->OnImageSelect = nullptr;
  store_->OnImageDeselect = nullptr;
  store_->OnBeforeChange = nullptr;
  store_->OnAfterChange = nullptr;
  store_->OnPageChanged = nullptr;
  store_->OnThumbnailReady = nullptr;
  store_->OnSelectionChanged = nullptr;
  store_->OnRefresh = nullptr;
  store_->OnProgress = nullptr;
  store_->OnIOProgress = nullptr;
  store_.reset();
}

void TVlShell::InstallStoreEvents() {
  TVlPageStore& s = *store_;
  s.OnImageSelect = [this](std::int32_t i) { pendingSelection_.push_back({true, i}); };
  s.OnImageDeselect = [this](std::int32_t i) { pendingSelection_.push_back({false, i}); };
  s.OnProgress = [this](int percent) { host_.ShowProgress(percent); };
  s.OnIOProgress = [this](int percent) { host_.ShowProgress(percent); };
  s.OnBeforeChange = [this](const TVlPageChange& c) {
    if (TPageListObserver* o = observer_.load())
      o->BeforeChange(c);
  };
  s.OnAfterChange = [this](const TVlPageChange& c) {
    TrackChange(c);
    if (TPageListObserver* o = observer_.load())
      o->AfterChange(c);
  };
  s.OnPageChanged = [this](std::int32_t i) {
    if (TPageListObserver* o = observer_.load())
      o->PageChanged(i);
  };
  s.OnThumbnailReady = [this](std::int32_t i) {
    if (TPageListObserver* o = observer_.load())
      o->ThumbnailReady(i);
  };
  s.OnSelectionChanged = [this] {
    if (TPageListObserver* o = observer_.load())
      o->SelectionChanged();
  };
  s.OnRefresh = [this] {
    if (TPageListObserver* o = observer_.load())
      o->Refresh();
  };
  proc_.OnProgress = [this](TVlProc&, int percent) { host_.ShowProgress(percent); };
}

void TVlShell::TrackChange(const TVlPageChange& change) {
  shownPage_ = FollowChange(shownPage_, change);
  if (change.kind == TVlPageChange::move)
    rememberedPageIndex_ = FollowChange(rememberedPageIndex_, change);
}

void TVlShell::Startup() {
  TVlIniFile ini(iniPath_);
  settings.LoadSettings(ini);
  view_.background = settings.backgroundColor;
  proc_.SetUndoLimit(settings.undoCount);
  deskewPromptSuppressed = false;
  openUseCount_ = 0;
  rememberedPageIndex_ = 1;
  rememberedPageCount_ = 0;
  view_.Blank();
  shownPage_ = -1;
  history_.LoadHistory(ini);
  host_.BuildHistoryMenu();
}

void TVlShell::Shutdown() {
  TVlIniFile ini(iniPath_);
  settings.SaveSettings(ini);
  history_.SaveHistory(ini, settings.recentFileNumber);
  (void)ini.UpdateFile();  // a settings file that cannot be written is not reported
}

bool TVlShell::ConfirmClose() {
  if (!settings.quitConfirm || store_->PageCount() < 1)
    return true;
  return prompter_.MessageBox(TMsgKind::confirmation, kQuitQuestion, mbYesNo) == TModalResult::mrYes;
}

// ---------------------------------------------------------------------------------------------
// Routines

bool TVlShell::LoadFile(const std::string& path) {
  if (path.empty()) {
    host_.PageListChanged();
    return false;
  }
  const std::int32_t count = readImageCount ? readImageCount(path) : 0;
  if (count > kLargeFilePageCount) {
    const std::string question = "此图像文件包含大量独立页面，可能会影响加载速度，是否继续加载？\n文件名　：" + path +
                                 "\n" + "页面数量：" + std::to_string(count);
    if (prompter_.MessageBox(TMsgKind::warning, question, mbYesNo) != TModalResult::mrYes) {
      host_.PageListChanged();
      return false;
    }
  }

  TVlMIO& mio = store_->MIO();
  const std::int32_t before = store_->PageCount();
  bool opened = true;
  std::string openError;
  {
    TBusyGuard busy(host_);
    try {
      mio.LoadAllFromFile(path);
    } catch (const TVlFileError& e) {
      opened = false;
      openError = e.what();
    }
  }
  if (!opened) {
    prompter_.MessageBox(TMsgKind::error, "无法打开文件：\n" + path + (openError.empty() ? "" : "\n" + openError),
                         mbOK);
    return false;
  }
  if (mio.aborting && store_->PageCount() == before && mio.LastFailure().reason && *mio.LastFailure().reason)
    host_.ShowStatusHint(std::string("读取文件时出错：") + mio.LastFailure().reason);

  if (store_->SelectedPage() < 0 && store_->PageCount() > 0) {
    store_->SelectPage(0);
    ShowPage(0);
  }
  if (documentPath_.empty()) {
    ResetUndoIfPageChanged(-1);
    documentPath_ = path;
    settings.lastOpen = path;
    AddToHistory(path, HistoryTimeNow());
    host_.BuildHistoryMenu();
  }
  host_.PageListChanged();
  return true;
}

void TVlShell::ShowPage(std::int32_t index) {
  ResetUndoIfPageChanged(index);
  if (index < 0 || index >= store_->PageCount()) {
    view_.Blank();
    shownPage_ = -1;
  } else {
    if (!store_->CopyPageImage(index, view_.image))
      view_.image.FreeImage();
    const TIOParamsVals* params = store_->PageParams(index);
    view_.dpi = params && params->dpiX >= 2 ? params->dpiX : 300.0;
    shownPage_ = index;
  }
  view_.SelectNone();
  host_.ViewImageChanged(true);
  host_.ProcessEvents();
  host_.RefreshStatus();
}

void TVlShell::StorePage(std::int32_t index) {
  if (index < 0 || index >= store_->PageCount())
    return;
  // The view's image becomes this page's: a history that belonged to another page must not
  // reach it.
  if (index != shownPage_)
    ResetUndoIfPageChanged(index);
  (void)store_->SetPageImage(index, view_.image);
  shownPage_ = index;
}

void TVlShell::StoreShownPage() {
  if (shownPage_ >= 0)
    StorePage(shownPage_);
}

void TVlShell::ResetUndoIfPageChanged(std::int32_t index) {
  if (store_->SelectedPage() >= 0 && store_->PageCount() == rememberedPageCount_ && index == rememberedPageIndex_) {
    host_.UpdateUndoButtons();
    return;
  }
  rememberedPageCount_ = store_->PageCount();
  rememberedPageIndex_ = index;
  proc_.ClearUndoHistory();
  proc_.ClearRedoHistory();
  host_.UpdateUndoButtons();
}

bool TVlShell::CheckPageSelection(const std::string& message) {
  TVlPageStore& s = *store_;
  const std::int32_t count = s.PageCount();
  if (count == 1 && s.SelectedPageCount() == 0) {
    s.SelectPage(0);
    ShowPage(0);
  } else if (count > 1 && s.SelectedPageCount() == 0) {
    s.SelectAllPages();
    host_.RefreshStatus();
  }
  if (count > 0 && s.SelectedPageCount() == 0) {
    if (!message.empty())
      prompter_.MessageBox(TMsgKind::warning, message, mbOK);
    return true;
  }
  return count == 0;
}

void TVlShell::AddToHistory(const std::string& path, THistoryTime time) { history_.AddToHistory(path, time); }

std::vector<HistoryFileRecord> TVlShell::RecentMenuEntries() { return history_.MenuEntries(settings.recentFileNumber); }

void TVlShell::RecordSavedFile(const std::string& path) {
  documentPath_ = path;
  settings.lastSaved = path;
  AddToHistory(path, HistoryTimeNow());
  host_.BuildHistoryMenu();
}

TShellStatus TVlShell::Status() {
  TShellStatus st;
  st.title = TitleText(documentPath_);
  const std::int32_t count = store_->PageCount();
  const std::int32_t current = store_->SelectedPage();
  st.pagePosition = PagePositionText(current, count);
  std::string colour;
  if (current >= 0) {
    if (const TIOParamsVals* p = store_->PageParams(current))
      colour = ColourDepthText(p->bitsPerSample, p->samplesPerPixel);
  }
  st.imageInfo = ImageInfoText(current >= 0, store_->PageOriginalWidth(current), store_->PageOriginalHeight(current),
                               colour, false, 0);
  st.imageInfoBlank = st.imageInfo == kBlankPanel;
  return st;
}

void TVlShell::UpdateCaptions(std::int32_t index) {
  char buf[64];
  std::string info, bottom;
  if (settings.showPageNumber) {
    std::snprintf(buf, sizeof buf, "第 %d 页", index + 1);
    info = buf;
  }
  if (settings.showResolution) {
    std::snprintf(buf, sizeof buf, "%d x %d", store_->PageImageWidth(index), store_->PageImageHeight(index));
    bottom = buf;
  }
  store_->SetPageInfoText(index, info);
  store_->SetPageBottomText(index, bottom);
}

void TVlShell::FlushSelectionEvents() {
  // A deselect event forgets the undo history; of several select events (a range selected in
  // one go) only the last one's page needs showing.
  std::vector<SelectionEvent> events;
  events.swap(pendingSelection_);
  std::int32_t show = -1;
  bool deselected = false;
  for (const SelectionEvent& e : events) {
    if (e.select)
      show = e.index;
    else
      deselected = true;
  }
  if (deselected)
    ResetUndoIfPageChanged(-1);
  if (show >= 0)
    ShowPage(show);
}

// ---------------------------------------------------------------------------------------------
// Page-list commands

TOpenDialogRequest TVlShell::OpenRequest(bool multiSelect) const {
  TOpenDialogRequest r;
  r.filter = kOpenFilter;
  r.filterIndex = 1;
  r.initialDir = FolderOf(settings.lastOpen);
  r.multiSelect = multiSelect;
  return r;
}

void TVlShell::ClearDocument() {
  store_->ClearPages();
  view_.Blank();
  shownPage_ = -1;
  host_.ViewImageChanged(true);
  documentPath_.clear();
}

void TVlShell::OpenDocument() {
  const std::vector<std::string> chosen = prompter_.OpenFileDialog(OpenRequest(false));
  if (!chosen.empty()) {
    ClearDocument();
    LoadFile(chosen.front());
  }
  if (++openUseCount_ == 1)
    host_.StartQuietUpdateCheck();
}

void TVlShell::InsertFiles() {
  const std::vector<std::string> chosen = prompter_.OpenFileDialog(OpenRequest(true));
  if (chosen.empty())
    return;
  for (const std::string& path : chosen)
    LoadFile(path);
  ShowPage(store_->SelectedPage());
}

void TVlShell::Reopen() {
  std::error_code ec;
  if (documentPath_.empty() || !std::filesystem::exists(documentPath_, ec))
    return;
  const std::string path = documentPath_;
  ClearDocument();
  LoadFile(path);
}

void TVlShell::OpenRecent(std::int32_t position) {
  const std::string path = history_.PathAt(position);
  if (path.empty())
    return;
  ClearDocument();
  LoadFile(path);
}

void TVlShell::RemoveSelected() {
  store_->DeleteSelectedPages();
  ShowPage(store_->SelectedPage());
}

void TVlShell::EmptyAll() {
  store_->ClearPages();
  ShowPage(store_->SelectedPage());
}

void TVlShell::MoveUp() {
  TVlPageStore& s = *store_;
  s.SortSelection();
  for (std::int32_t a : s.Selection())
    if (a > 0 && !s.IsPageSelected(a - 1))
      s.MovePage(a, a - 1);
  host_.RefreshStatus();
}

void TVlShell::MoveDown() {
  TVlPageStore& s = *store_;
  std::vector<std::int32_t> selected = s.Selection();
  std::sort(selected.begin(), selected.end());
  for (auto it = selected.rbegin(); it != selected.rend(); ++it) {
    const std::int32_t a = *it;
    if (a < s.PageCount() - 1 && !s.IsPageSelected(a + 1))
      s.MovePage(a, a + 1);
  }
  host_.RefreshStatus();
}

void TVlShell::SelectAll() {
  store_->SelectAllPages();
  host_.RefreshStatus();
}

void TVlShell::InvertSelection() {
  TVlPageStore& s = *store_;
  const std::int32_t count = s.PageCount();
  for (std::int32_t i = 0; i < count; ++i) {
    if (s.IsPageSelected(i)) {
      s.DeselectPage(i);
    } else {
      s.SetMultiSelectionMode(true);
      s.SelectPage(i);
      s.SetMultiSelectionMode(false);
    }
  }
  host_.RefreshStatus();
}

void TVlShell::CopyPageImage(TVlClipboard& clipboard) {
  if (!view_.HasImage())
    return;
  proc_.CopyImageToClipboard(clipboard, true);
  host_.ShowStatusHint("图象复制完成");
}

bool TVlShell::ClipboardOffersImage(TVlClipboard& clipboard) {
  if (!clipboard.Open())
    return false;
  bool offered = false;
  std::vector<std::uint8_t> probe;
  for (const std::string& mime : VlClipboardPasteOrder())
    if (clipboard.GetData(mime, probe)) {
      offered = true;
      break;
    }
  clipboard.Close();
  return offered;
}

void TVlShell::PasteAsNewPage(TVlClipboard& clipboard) {
  if (!ClipboardOffersImage(clipboard)) {
    host_.ShowStatusHint("剪切板内容非图像格式，无法粘贴。");
    return;
  }
  // The view is blanked first: it no longer shows any page, and its history goes with it.
  view_.Blank();
  shownPage_ = -1;
  ResetUndoIfPageChanged(-1);
  proc_.PasteFromClipboard(clipboard);
  if (view_.image.Width() < 2) {
    view_.image.FreeImage();
    host_.ViewImageChanged(true);
    host_.RefreshStatus();
    return;
  }
  const std::int32_t index = store_->AppendPage();
  StorePage(index);
  host_.ViewImageChanged(true);
  host_.RefreshStatus();
  host_.ScrollToSelected();
}

// ---------------------------------------------------------------------------------------------
// Editing

void TVlShell::Undo() {
  if (proc_.UndoDepth() == 0)
    return;
  proc_.RecordRedoState(1);
  proc_.ApplyUndo(0);
  proc_.DropLastUndo();
  StoreShownPage();
  host_.RefreshStatus();
}

void TVlShell::Redo() {
  if (proc_.RedoDepth() == 0)
    return;
  proc_.RecordUndoState(1);
  proc_.ApplyRedo(0);
  proc_.DropLastRedo();
  StoreShownPage();
  host_.RefreshStatus();
}

void TVlShell::Blur(int level) {
  // The blurred image goes back into the page it came from; without one there is nothing to do.
  if (shownPage_ < 0 || !view_.HasImage())
    return;
  const double radius = level == 1 ? 1.0 : level == 3 ? 20.0 : 4.0;
  TBusyGuard busy(host_);
  proc_.Blur(radius);
  StoreShownPage();
}

void TVlShell::CropToSelection() {
  if (!view_.HasSelection() || shownPage_ < 0)
    return;
  TBusyGuard busy(host_);
  proc_.CropSel();
  view_.SelectNone();
  StoreShownPage();
}
