#include "app/gui/mainform.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QHBoxLayout>
#include <QLabel>
#include <QListView>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QSplitter>
#include <QStatusTipEvent>
#include <QToolBar>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

#include <cmath>
#include <cstdio>

#include "app/gui/aboutform.h"
#include "app/gui/glyphs.h"
#include "app/gui/qt_prompter.h"
#include "app/gui/statusbar.h"
#include "app/gui/waitform.h"
#include "app/shell/status.h"
#include "app/shell/version.h"

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }
QString QPath(const std::string& p) { return QFile::decodeName(QByteArray::fromStdString(p)); }

const char* const kRecentChanges =
    "1) 输出PDF时，PDF页面大小可自动旋转和调整\r\n2) 修正了打印菜单误响应的错误\r\n3) 修改了软件界面套件\r\n4) "
    "修正了选项中部分参数无法保存的错误\r\n5) 图像粘贴后，自动跳转显示新增图像帧\r\n6) 改进和美化了部分菜单及窗体界面";

}  // namespace

TMainForm::TMainForm(TPrompter* prompter, std::filesystem::path iniPath) : QMainWindow(nullptr) {
  setObjectName(QStringLiteral("MainForm"));
  if (!prompter) {
    ownPrompter_ = std::make_unique<TQtPrompter>(this);
    prompter = ownPrompter_.get();
  }
  prompter_ = prompter;
  shell_ = std::make_unique<TVlShell>(*prompter_, *this, std::move(iniPath));
  setWindowIcon(ProgramIcon());
  setWindowTitle(QString::fromUtf8(kAppTitle));

  status_ = new TVlStatusBar(this);
  status_->setObjectName(QStringLiteral("StatusBar"));
  setStatusBar(status_);

  BuildMenus();
  BuildToolbar();
  splitter_ = new QSplitter(Qt::Horizontal, this);
  splitter_->setObjectName(QStringLiteral("Splitter"));
  splitter_->addWidget(BuildLeftPane());
  splitter_->addWidget(BuildRightPane());
  splitter_->setStretchFactor(0, 0);
  splitter_->setStretchFactor(1, 1);
  splitter_->setSizes({232, 1000});
  setCentralWidget(splitter_);
  resize(1024, 700);

  // Settings and recent files, then the first status.
  shell_->Startup();
  BuildHistoryMenu();
  DisableUnavailableCommands();
  RefreshStatus();
  setAcceptDrops(true);
}

TMainForm::~TMainForm() {
  if (waitForm_)
    waitForm_->Stop();
  shell_->Shutdown();
}

// ---------------------------------------------------------------------------------------------
// Building the window

QAction* TMainForm::MakeAction(const QString& name, const QString& caption, const QKeySequence& shortcut, int tag) {
  auto* a = new QAction(caption, this);
  a->setObjectName(name);
  if (!shortcut.isEmpty())
    a->setShortcut(shortcut);
  if (tag >= 0)
    a->setData(tag);
  return a;
}

QAction* TMainForm::MakeButtonAction(const QString& name, const QString& caption, const QString& hint, int glyph,
                                     int tag) {
  QAction* a = MakeAction(name, caption, {}, tag);
  a->setStatusTip(hint);
  a->setToolTip(hint.isEmpty() ? caption : hint);
  if (glyph >= 0)
    a->setIcon(GlyphIcon(static_cast<TGlyph>(glyph)));
  return a;
}

QToolButton* TMainForm::MakeBarButton(QWidget* bar, const QString& name, const QString& caption, const QString& hint,
                                      int glyph) {
  auto* b = new QToolButton(bar);
  b->setObjectName(name + QStringLiteral("Button"));
  QAction* a = MakeButtonAction(name, caption, hint, glyph);
  b->setDefaultAction(a);
  b->setAutoRaise(true);
  b->setToolButtonStyle(caption.isEmpty() ? Qt::ToolButtonIconOnly : Qt::ToolButtonTextBesideIcon);
  if (caption.isEmpty())
    a->setIconText(QString());
  return b;
}

void TMainForm::BuildMenus() {
  QMenuBar* bar = menuBar();

  QMenu* file = bar->addMenu(QStringLiteral("文件(&F)"));
  file->setObjectName(QStringLiteral("mnFile"));
  file->addAction(MakeAction(QStringLiteral("mnOpenFile"), QStringLiteral("打开(&O)..."), QKeySequence(Qt::CTRL | Qt::Key_O)));
  mnRecentFiles_ = file->addMenu(QStringLiteral("最近打开的文件(&R)..."));
  mnRecentFiles_->setObjectName(QStringLiteral("mnRecentFiles"));
  file->addAction(MakeAction(QStringLiteral("mnSaveAs"), QStringLiteral("另存(&S)..."), QKeySequence(Qt::CTRL | Qt::Key_S)));
  file->addAction(MakeAction(QStringLiteral("mnOpenAgain"), QStringLiteral("重新打开...(&T)")));
  file->addSeparator();
  file->addAction(MakeAction(QStringLiteral("mnScan"), QStringLiteral("扫描(&A)...")));
  QMenu* exportMenu = file->addMenu(QStringLiteral("导出分页(&E)"));
  exportMenu->setObjectName(QStringLiteral("mnExport"));
  exportMenu->addAction(MakeAction(QStringLiteral("mnExportSelected"), QStringLiteral("导出选定的页面(&S)...")));
  exportMenu->addAction(MakeAction(QStringLiteral("mnExportAll"), QStringLiteral("导出全部页面(&A)...")));
  QMenu* printMenu = file->addMenu(QStringLiteral("打印(&P)"));
  printMenu->setObjectName(QStringLiteral("mnPrint"));
  printMenu->addAction(MakeAction(QStringLiteral("mnPrintCurrent"), QStringLiteral("打印当前页面(&C)...")));
  printMenu->addAction(MakeAction(QStringLiteral("mnPrintAll"), QStringLiteral("打印全部页面(&A)...")));
  file->addSeparator();
  file->addAction(MakeAction(QStringLiteral("mnOption"), QStringLiteral("选项(&O)...")));
  file->addSeparator();
  QAction* exit = MakeAction(QStringLiteral("mnExit"), QStringLiteral("退出(&Q)"));
  connect(exit, &QAction::triggered, this, &TMainForm::mnExitClick);
  file->addAction(exit);

  QMenu* edit = bar->addMenu(QStringLiteral("编辑(&E)"));
  edit->setObjectName(QStringLiteral("mnEdit"));
  edit->addAction(MakeAction(QStringLiteral("mnUndo"), QStringLiteral("撤消(&U)"), QKeySequence(Qt::CTRL | Qt::Key_Z)));
  edit->addAction(MakeAction(QStringLiteral("mnRedo"), QStringLiteral("重做(&R)"), QKeySequence(Qt::CTRL | Qt::Key_Y)));
  edit->addSeparator();
  edit->addAction(MakeAction(QStringLiteral("mnCopyImage"), QStringLiteral("复制页面图像(&C)"), QKeySequence(Qt::CTRL | Qt::Key_C)));
  edit->addAction(MakeAction(QStringLiteral("mnPasteImage"), QStringLiteral("粘贴为新页面(&N)"), QKeySequence(Qt::CTRL | Qt::Key_V)));

  QMenu* page = bar->addMenu(QStringLiteral("页面(&P)"));
  page->setObjectName(QStringLiteral("mnPage"));
  page->addAction(MakeAction(QStringLiteral("mnSelectAll"), QStringLiteral("全选"), QKeySequence(Qt::CTRL | Qt::Key_A)));
  page->addAction(MakeAction(QStringLiteral("mnInvertSelect"), QStringLiteral("反选"), QKeySequence(Qt::CTRL | Qt::Key_I)));
  page->addSeparator();
  page->addAction(MakeAction(QStringLiteral("mnAddFiles"), QStringLiteral("当前位置插入新页面...")));
  page->addAction(MakeAction(QStringLiteral("mnDelete"), QStringLiteral("移除选中页面")));
  page->addAction(MakeAction(QStringLiteral("mnEmptyAll"), QStringLiteral("清空所有页面")));

  QMenu* image = bar->addMenu(QStringLiteral("图像(&G)"));
  image->setObjectName(QStringLiteral("mnImage"));
  QMenu* rotate = image->addMenu(QStringLiteral("旋转和翻转(&R)"));
  rotate->setObjectName(QStringLiteral("mnRotateMenu"));
  rotate->addAction(MakeAction(QStringLiteral("mnRotateLeft"), QStringLiteral("左转90度(&A)"), {}, 1));
  rotate->addAction(MakeAction(QStringLiteral("mnRotateRight"), QStringLiteral("右转90度(&C)"), {}, 3));
  rotate->addAction(MakeAction(QStringLiteral("mnRotate180"), QStringLiteral("转动180度(&B)"), {}, 2));
  rotate->addAction(MakeAction(QStringLiteral("mnFlipVertical"), QStringLiteral("垂直翻转(&V)"), {}, 4));
  rotate->addAction(MakeAction(QStringLiteral("mnFlipHorizontal"), QStringLiteral("水平翻转(&H)"), {}, 5));
  QMenu* scanned = image->addMenu(QStringLiteral("扫描图像处理(&S)"));
  scanned->setObjectName(QStringLiteral("mnScanProcess"));
  scanned->addAction(MakeAction(QStringLiteral("mnCorrect"), QStringLiteral("倾斜校正(&O)...")));
  scanned->addAction(MakeAction(QStringLiteral("mnTrimBorders"), QStringLiteral("裁边(&C)"), {}, 9));
  scanned->addAction(MakeAction(QStringLiteral("mnWhiteBalance"), QStringLiteral("白纸底色校正(&W)"), {}, 10));
  scanned->addAction(MakeAction(QStringLiteral("mnConvertBW"), QStringLiteral("转为黑白图(&B)"), {}, 11));
  scanned->addAction(MakeAction(QStringLiteral("mnConvertGray"), QStringLiteral("转为灰阶色(&G)"), {}, 12));
  image->addSeparator();
  image->addAction(MakeAction(QStringLiteral("mnNegative"), QStringLiteral("反色(&I)"), {}, 6));
  image->addAction(MakeAction(QStringLiteral("mnAutoContrast"), QStringLiteral("自动对比度(&E)"), {}, 7));
  image->addAction(MakeAction(QStringLiteral("mnSharpen"), QStringLiteral("锐化(&S)"), {}, 8));
  image->addAction(MakeAction(QStringLiteral("mnResize"), QStringLiteral("缩放(&R)...")));

  QMenu* tools = bar->addMenu(QStringLiteral("工具(&T)"));
  tools->setObjectName(QStringLiteral("mnTools"));
  tools->addAction(MakeAction(QStringLiteral("mnTifQuick"), QStringLiteral("快速统计和拆分TIF页面(&T)"), QKeySequence(Qt::Key_F3)));

  QMenu* help = bar->addMenu(QStringLiteral("帮助(&H)"));
  help->setObjectName(QStringLiteral("mnHelp"));
  QAction* home = MakeAction(QStringLiteral("mnHomePage"), QStringLiteral("访问主页(&P)..."));
  connect(home, &QAction::triggered, this, &TMainForm::mnHomePageClick);
  help->addAction(home);
  QAction* feedback = MakeAction(QStringLiteral("mnFeedback"), QStringLiteral("意见反馈(&G)..."));
  connect(feedback, &QAction::triggered, this, &TMainForm::mnFeedbackClick);
  help->addAction(feedback);
  help->addSeparator();
  QAction* changes = MakeAction(QStringLiteral("mnRecentChanges"), QStringLiteral("最近更新(&U)..."));
  connect(changes, &QAction::triggered, this, &TMainForm::mnRecentChangesClick);
  help->addAction(changes);
  help->addAction(MakeAction(QStringLiteral("mnCheckUpdate"), QStringLiteral("检查新版本(&C)")));
  help->addSeparator();
  QAction* about = MakeAction(QStringLiteral("mnAbout"), QStringLiteral("关于(&A)..."));
  connect(about, &QAction::triggered, this, &TMainForm::mnAboutClick);
  help->addAction(about);
}

void TMainForm::BuildToolbar() {
  QToolBar* tb = addToolBar(QStringLiteral("ToolBar"));
  tb->setObjectName(QStringLiteral("ToolBar"));
  tb->setMovable(false);
  tb->setFloatable(false);
  tb->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
  tb->setContextMenuPolicy(Qt::PreventContextMenu);
  tb->addAction(MakeButtonAction(QStringLiteral("sbOpen"), QStringLiteral("打开"), QStringLiteral("打开多页TIF图像文件"), int(TGlyph::open)));
  tb->addAction(MakeButtonAction(QStringLiteral("sbSaveAs"), QStringLiteral("另存"), QStringLiteral("所有页面打包成一个TIF文件输出"), int(TGlyph::save)));
  tb->addSeparator();
  tb->addAction(MakeButtonAction(QStringLiteral("sbScan"), QStringLiteral("扫描"), QStringLiteral("从扫描仪进行扫描"), int(TGlyph::scan)));
  tb->addAction(MakeButtonAction(QStringLiteral("sbPrint"), QStringLiteral("打印"), QStringLiteral("打印输出"), int(TGlyph::print)));
  tb->addAction(MakeButtonAction(QStringLiteral("sbExportPage"), QStringLiteral("导出"), QStringLiteral("把每个页面导出成一个独立图像文件"), int(TGlyph::exportPages)));
  tb->addSeparator();

  // The rotate button pops up the same five items as the image menu, with the same tags.
  rotatePopup_ = new QMenu(this);
  rotatePopup_->setObjectName(QStringLiteral("pmRotate"));
  rotatePopup_->addAction(MakeAction(QStringLiteral("pmRotateLeft"), QStringLiteral("左转90度(&A)"), {}, 1));
  rotatePopup_->addAction(MakeAction(QStringLiteral("pmRotateRight"), QStringLiteral("右转90度(&C)"), {}, 3));
  rotatePopup_->addAction(MakeAction(QStringLiteral("pmRotate180"), QStringLiteral("转动180度(&B)"), {}, 2));
  rotatePopup_->addAction(MakeAction(QStringLiteral("pmFlipVertical"), QStringLiteral("垂直翻转(&V)"), {}, 4));
  rotatePopup_->addAction(MakeAction(QStringLiteral("pmFlipHorizontal"), QStringLiteral("水平翻转(&H)"), {}, 5));
  QAction* rotate = MakeButtonAction(QStringLiteral("sbRotate"), QStringLiteral("旋转"), QStringLiteral("旋转和翻转图像"), int(TGlyph::rotate));
  rotate->setMenu(rotatePopup_);
  tb->addAction(rotate);
  if (auto* b = qobject_cast<QToolButton*>(tb->widgetForAction(rotate)))
    b->setPopupMode(QToolButton::InstantPopup);

  tb->addAction(MakeButtonAction(QStringLiteral("sbResize"), QStringLiteral("缩放"), QStringLiteral("自动调整图像的长宽大小"), int(TGlyph::resize)));
  tb->addAction(MakeButtonAction(QStringLiteral("sbNegative"), QStringLiteral("反色"), QStringLiteral("黑白反色"), int(TGlyph::negative), 6));
  tb->addAction(MakeButtonAction(QStringLiteral("sbCorrect"), QStringLiteral("倾斜"), QStringLiteral("自动识别和校正图像的倾斜角度"), int(TGlyph::deskew)));
  tb->addAction(MakeButtonAction(QStringLiteral("sbAutoContrast"), QStringLiteral("自动对比"), QStringLiteral("自动调节图像的对比度"), int(TGlyph::contrast), 7));
}

QWidget* TMainForm::BuildLeftPane() {
  auto* pane = new QWidget(this);
  pane->setObjectName(QStringLiteral("pnlLeft"));
  auto* v = new QVBoxLayout(pane);
  v->setContentsMargins(0, 0, 0, 0);
  v->setSpacing(0);

  auto* top = new QWidget(pane);
  top->setObjectName(QStringLiteral("pnlPageTop"));
  auto* th = new QHBoxLayout(top);
  th->setContentsMargins(2, 2, 2, 2);
  th->addWidget(MakeBarButton(top, QStringLiteral("sbSelectAll"), QStringLiteral("全选"), QStringLiteral("选择所有页面"), int(TGlyph::selectAll)));
  th->addWidget(MakeBarButton(top, QStringLiteral("sbInvertSelect"), QStringLiteral("反选"), QStringLiteral("页面反选"), int(TGlyph::invertSelection)));
  th->addStretch(1);
  v->addWidget(top);

  auto* list = new QListView(pane);
  list->setObjectName(QStringLiteral("ImageMV"));
  list->setMinimumWidth(200);
  QPalette pal = list->palette();
  pal.setColor(QPalette::Base, Qt::white);
  list->setPalette(pal);
  v->addWidget(list, 1);

  auto* bottom = new QWidget(pane);
  bottom->setObjectName(QStringLiteral("pnlPageBottom"));
  auto* bh = new QHBoxLayout(bottom);
  bh->setContentsMargins(2, 2, 2, 2);
  bh->addWidget(MakeBarButton(bottom, QStringLiteral("sbMoveUp"), QString(), QStringLiteral("向上移"), int(TGlyph::moveUp)));
  bh->addWidget(MakeBarButton(bottom, QStringLiteral("sbMoveDown"), QString(), QStringLiteral("向下移"), int(TGlyph::moveDown)));
  bh->addWidget(MakeBarButton(bottom, QStringLiteral("sbAddFiles"), QStringLiteral("新增"), QStringLiteral("当前位置插入新页面新图像"), int(TGlyph::addFiles)));
  bh->addWidget(MakeBarButton(bottom, QStringLiteral("sbDelete"), QString(), QStringLiteral("移除选择的页面"), int(TGlyph::remove)));
  bh->addWidget(MakeBarButton(bottom, QStringLiteral("sbEmptyAll"), QString(), QStringLiteral("清空所有页面"), int(TGlyph::emptyAll)));
  bh->addStretch(1);
  v->addWidget(bottom);
  return pane;
}

QWidget* TMainForm::BuildRightPane() {
  auto* pane = new QWidget(this);
  pane->setObjectName(QStringLiteral("pnlRight"));
  auto* v = new QVBoxLayout(pane);
  v->setContentsMargins(0, 0, 0, 0);
  v->setSpacing(0);

  auto* bar = new QWidget(pane);
  bar->setObjectName(QStringLiteral("pnlViewBar"));
  auto* h = new QHBoxLayout(bar);
  h->setContentsMargins(2, 2, 2, 2);
  h->addWidget(MakeBarButton(bar, QStringLiteral("sbZoomIn"), QString(), QStringLiteral("放大查看"), int(TGlyph::zoomIn)));
  h->addWidget(MakeBarButton(bar, QStringLiteral("sbZoomOut"), QString(), QStringLiteral("缩小查看"), int(TGlyph::zoomOut)));
  h->addWidget(MakeBarButton(bar, QStringLiteral("sbFit"), QString(), QStringLiteral("缩放到满屏查看"), int(TGlyph::fit)));
  h->addWidget(MakeBarButton(bar, QStringLiteral("sb100"), QString(), QStringLiteral("100%大小查看"), int(TGlyph::actualSize)));
  h->addWidget(MakeBarButton(bar, QStringLiteral("sbNavigator"), QString(), QStringLiteral("图像导航，当显示大图时可实现快速定位"), int(TGlyph::navigator)));
  QToolButton* crop = MakeBarButton(bar, QStringLiteral("sbCropPage"), QStringLiteral("裁剪"), QStringLiteral("选定内容，双击完成裁剪"), int(TGlyph::crop));
  crop->defaultAction()->setCheckable(true);
  h->addWidget(crop);
  QToolButton* blur = MakeBarButton(bar, QStringLiteral("SpeedButton1"), QString(), QStringLiteral("对选择的区域进行模糊处理，若未选择区域则全图模糊"), int(TGlyph::blur));
  auto* blurMenu = new QMenu(this);
  blurMenu->setObjectName(QStringLiteral("pmBlur"));
  QAction* b1 = MakeAction(QStringLiteral("mnBlur1"), QStringLiteral("轻度模糊(&1)"), {}, 1);
  b1->setStatusTip(QStringLiteral("对选择的区域进行模糊处理－模糊程度低"));
  QAction* b2 = MakeAction(QStringLiteral("mnBlur2"), QStringLiteral("中度模糊(&2)"), {}, 2);
  b2->setStatusTip(QStringLiteral("对选择的区域进行模糊处理－模糊程度中"));
  QAction* b3 = MakeAction(QStringLiteral("mnBlur3"), QStringLiteral("重度模糊(&3)"), {}, 3);
  b3->setStatusTip(QStringLiteral("对选择的区域进行模糊处理－模糊程度高"));
  blurMenu->addActions({b1, b2, b3});
  blur->defaultAction()->setMenu(blurMenu);
  blur->setPopupMode(QToolButton::InstantPopup);
  h->addWidget(blur);
  h->addWidget(MakeBarButton(bar, QStringLiteral("sbUndo"), QString(), QStringLiteral("撤消"), int(TGlyph::undo)));
  h->addWidget(MakeBarButton(bar, QStringLiteral("sbRedo"), QString(), QStringLiteral("重做"), int(TGlyph::redo)));
  h->addStretch(1);
  v->addWidget(bar);

  auto* view = new QWidget(pane);
  view->setObjectName(QStringLiteral("ImageV"));
  view->setAutoFillBackground(true);
  QPalette pal = view->palette();
  pal.setColor(QPalette::Window, QColor(160, 160, 164));
  view->setPalette(pal);
  v->addWidget(view, 1);
  return pane;
}

QAction* TMainForm::ActionByName(const QString& name) const { return findChild<QAction*>(name); }

void TMainForm::SetEnabledByName(const QString& name, bool enabled) {
  if (QAction* a = ActionByName(name))
    a->setEnabled(enabled);
}

void TMainForm::DisableUnavailableCommands() {
  // Commands whose machinery is not part of this build stay visible but disabled.
  static const char* const kUnavailable[] = {
      "mnOpenFile", "mnSaveAs", "mnOpenAgain", "mnScan", "mnExportSelected", "mnExportAll", "mnPrintCurrent",
      "mnPrintAll", "mnOption", "mnUndo", "mnRedo", "mnCopyImage", "mnPasteImage", "mnSelectAll",
      "mnInvertSelect", "mnAddFiles", "mnDelete", "mnEmptyAll", "mnRotateLeft", "mnRotateRight", "mnRotate180",
      "mnFlipVertical", "mnFlipHorizontal", "mnCorrect", "mnTrimBorders", "mnWhiteBalance", "mnConvertBW",
      "mnConvertGray", "mnNegative", "mnAutoContrast", "mnSharpen", "mnResize", "mnTifQuick", "mnCheckUpdate",
      "sbOpen", "sbSaveAs", "sbScan", "sbPrint", "sbExportPage", "sbRotate", "sbResize", "sbNegative",
      "sbCorrect", "sbAutoContrast", "sbSelectAll", "sbInvertSelect", "sbMoveUp", "sbMoveDown", "sbAddFiles",
      "sbDelete", "sbEmptyAll", "sbZoomIn", "sbZoomOut", "sbFit", "sb100", "sbNavigator", "sbCropPage",
      "SpeedButton1", "sbUndo", "sbRedo",
  };
  for (const char* n : kUnavailable)
    SetEnabledByName(QString::fromLatin1(n), false);
}

// ---------------------------------------------------------------------------------------------
// Routines

void TMainForm::LoadArguments(const std::vector<std::string>& files) {
  for (const std::string& f : files)
    LoadFile(f);
}

void TMainForm::LoadFile(const std::string& path) {
  if (path.empty())
    return;
  std::fprintf(stderr, "vellumo: page loading is not part of this build yet: %s\n", path.c_str());
}

QString TMainForm::CompactDocumentPath() const {
  const std::string& doc = shell_->DocumentPath();
  if (doc.empty())
    return QString::fromLatin1(kBlankPanel);
  QFontMetrics fm(status_->font());
  return fm.elidedText(QPath(doc), Qt::ElideMiddle, 300).trimmed();
}

void TMainForm::RefreshStatus() {
  const QString title = Q(TitleText(shell_->DocumentPath()));
  setWindowTitle(title);

  const QString texts[3] = {CompactDocumentPath(), Q(PagePositionText(-1, 0)), Q(ImageInfoText(false, 0, 0, {}, false, 0))};
  const double factors[3] = {1.1, 1.5, 1.1};
  QFontMetrics fm(status_->font());
  for (int i = 0; i < 3; ++i)
    status_->SetPanel(i, texts[i], static_cast<int>(std::nearbyint((fm.horizontalAdvance(texts[i]) + 5) * factors[i])));
  ProcessEvents();
  UpdateUndoButtons();
}

void TMainForm::UpdateUndoButtons() {}

void TMainForm::ShowStatusHint(const std::string& text) { status_->SetSimpleText(Q(text)); }

void TMainForm::ClearStatusHint() {
  status_->update();
  status_->LeaveSimpleMode();
  ProcessEvents();
  while (QApplication::overrideCursor())
    QApplication::restoreOverrideCursor();
}

void TMainForm::ShowProgress(int percent) {
  status_->LeaveSimpleMode();
  ProcessEvents();
  if (percent < 100) {
    if (!QApplication::overrideCursor())
      QApplication::setOverrideCursor(Qt::WaitCursor);
  } else {
    while (QApplication::overrideCursor())
      QApplication::restoreOverrideCursor();
  }
  status_->SetProgress(percent);
  if (percent > 98)
    ClearStatusHint();
}

void TMainForm::BeginBusy() {
  if (busyDepth_++ > 0)
    return;
  if (!waitForm_)
    waitForm_ = std::make_unique<TWaitForm>(this);
  waitForm_->Start();
  setEnabled(false);
  ProcessEvents();
}

void TMainForm::EndBusy() {
  if (busyDepth_ == 0)
    return;
  if (--busyDepth_ > 0)
    return;
  if (waitForm_) {
    waitForm_->Stop();
    waitForm_.reset();
  }
  setEnabled(true);
  RefreshStatus();
}

void TMainForm::ProcessEvents() {
  // While a command works, only painting and timers run: no click can start a second command.
  QApplication::processEvents(busyDepth_ > 0 ? QEventLoop::ExcludeUserInputEvents : QEventLoop::AllEvents);
}

void TMainForm::BuildHistoryMenu() {
  mnRecentFiles_->clear();
  const std::vector<HistoryFileRecord> entries = shell_->RecentMenuEntries();
  if (entries.empty()) {
    QAction* none = mnRecentFiles_->addAction(QStringLiteral("[无]"));
    none->setObjectName(QStringLiteral("mnRecentNone"));
    none->setEnabled(false);
    return;
  }
  for (std::size_t i = 0; i < entries.size(); ++i) {
    QString caption = QStringLiteral("&%1 %2").arg(i + 1).arg(QPath(entries[i].path));
    QAction* a = mnRecentFiles_->addAction(caption);
    a->setData(static_cast<int>(i));
    a->setObjectName(QStringLiteral("mnRecent%1").arg(i));
    connect(a, &QAction::triggered, this, &TMainForm::RecentFileClick);
  }
}

// ---------------------------------------------------------------------------------------------
// Events

bool TMainForm::event(QEvent* event) {
  if (event->type() == QEvent::StatusTip) {
    const QString tip = static_cast<QStatusTipEvent*>(event)->tip();
    if (tip.isEmpty())
      ClearStatusHint();
    else
      ShowStatusHint(tip.toStdString());
    return true;
  }
  return QMainWindow::event(event);
}

void TMainForm::closeEvent(QCloseEvent* event) {
  if (busyDepth_ > 0 || !shell_->ConfirmClose(0)) {
    event->ignore();
    return;
  }
  event->accept();
}

void TMainForm::dragEnterEvent(QDragEnterEvent* event) {
  if (event->mimeData()->hasUrls())
    event->acceptProposedAction();
}

void TMainForm::dropEvent(QDropEvent* event) {
  std::vector<std::string> paths;
  for (const QUrl& url : event->mimeData()->urls())
    if (url.isLocalFile())
      paths.push_back(QFile::encodeName(url.toLocalFile()).toStdString());
  event->acceptProposedAction();
  for (const std::string& p : paths)
    LoadFile(p);
}

// ---------------------------------------------------------------------------------------------
// Handlers

void TMainForm::mnExitClick() { close(); }

void TMainForm::mnHomePageClick() { QDesktopServices::openUrl(QUrl(QString::fromUtf8(kHomePageUrl))); }

void TMainForm::mnFeedbackClick() { QDesktopServices::openUrl(QUrl(QString::fromUtf8(kFeedbackUrl))); }

void TMainForm::mnRecentChangesClick() {
  char head[128];
  std::snprintf(head, sizeof head, "软件版本 - %s 更新内容：", kVersionText);
  prompter_->MessageBox(TMsgKind::information, std::string(head) + "\n\n" + kRecentChanges, mbOK);
}

void TMainForm::mnAboutClick() {
  TAboutForm about(this);
  about.exec();
}

void TMainForm::RecentFileClick() {
  auto* a = qobject_cast<QAction*>(sender());
  if (!a)
    return;
  const std::string path = shell_->RecentPath(a->data().toInt());
  shell_->SetDocumentPath({});
  LoadFile(path);
}
