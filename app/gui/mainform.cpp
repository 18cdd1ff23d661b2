#include "app/gui/mainform.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFrame>
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
#include "app/gui/imageconv.h"
#include "app/gui/imageview.h"
#include "app/gui/pagelist.h"
#include "app/gui/qt_clipboard.h"
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
  splitter_->setCollapsible(0, false);
  splitter_->setSizes({pageList_->minimumWidth(), 1000});
  setCentralWidget(splitter_);
  resize(1024, 700);

  connect(&updateChecker_, &TUpdateChecker::Finished, this, &TMainForm::UpdateCheckFinished);
  InstallClipboardPngCodecs();

  // Start-up: settings (background colour of the view and navigator, undo limit), the empty
  // view with its navigator, the recent-file list, then the first status.
  shell_->Startup();
  const TVlColor bg = shell_->settings.backgroundColor;
  const QColor background(bg & 0xFF, (bg >> 8) & 0xFF, (bg >> 16) & 0xFF);
  imageView_->SetBackground(background);
  navView_->SetBackground(background);
  ViewImageChanged(true);
  ConnectCommands();
  RefreshStatus();
  setAcceptDrops(true);
}

TMainForm::~TMainForm() {
  updateChecker_.Stop();
  if (waitForm_)
    waitForm_->Stop();
  // The page list's model goes with the window's children, after the shell: detach it first,
  // with no background load left that could still report to it.
  shell_->Store().CancelBackgroundLoads();
  shell_->Store().WaitBackgroundLoads();
  shell_->SetPageListObserver(nullptr);
  shell_->Shutdown();
  delete pageList_;
  delete pageModel_;
  pageList_ = nullptr;
  pageModel_ = nullptr;
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

  pageModel_ = new TPageListModel(*shell_, this);
  pageList_ = new TPageListView(*pageModel_, pane);
  connect(pageList_, &TPageListView::UserSelectionDone, this, [this] { RefreshStatus(); });
  v->addWidget(pageList_, 1);

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

  imageView_ = new TVlImageView(pane);
  v->addWidget(imageView_, 1);
  connect(imageView_, &TVlImageView::Clicked, this, &TMainForm::HideNavigator);
  connect(imageView_, &TVlImageView::DoubleClicked, this, &TMainForm::ImageVDblClick);
  connect(imageView_, &TVlImageView::SelectionChanged, this, &TMainForm::ViewSelectionChanged);

  // The navigator floats inside the view, hidden at start.
  pnlNavigator_ = new QFrame(imageView_);
  pnlNavigator_->setObjectName(QStringLiteral("pnlNavigator"));
  pnlNavigator_->setFrameShape(QFrame::Box);
  pnlNavigator_->setLineWidth(1);
  pnlNavigator_->resize(150, 200);
  auto* nl = new QVBoxLayout(pnlNavigator_);
  nl->setContentsMargins(1, 1, 1, 1);
  navView_ = new TVlNavigatorView(imageView_, pnlNavigator_);
  nl->addWidget(navView_);
  connect(navView_, &TVlNavigatorView::DoubleClicked, this, [this] {
    if (imageView_->Zoom() != fitZoom_)
      sbFitClick();
    else
      sb100Click();
  });
  pnlNavigator_->hide();
  return pane;
}

QAction* TMainForm::ActionByName(const QString& name) const { return findChild<QAction*>(name); }

void TMainForm::SetEnabledByName(const QString& name, bool enabled) {
  if (QAction* a = ActionByName(name)) {
    a->setEnabled(enabled);
    // A popup menu passes its own enabled state on to its button's action whenever the window
    // is enabled again (after a command): it must agree.
    if (QMenu* m = a->menu())
      m->setEnabled(enabled);
  }
}

void TMainForm::Connect(const QString& action, void (TMainForm::*slot)()) {
  if (QAction* a = ActionByName(action))
    connect(a, &QAction::triggered, this, slot);
}

void TMainForm::ConnectCommands() {
  // The commands of this window, menu item and button alike.
  Connect(QStringLiteral("mnOpenFile"), &TMainForm::mnOpenFileClick);
  Connect(QStringLiteral("sbOpen"), &TMainForm::mnOpenFileClick);
  Connect(QStringLiteral("mnAddFiles"), &TMainForm::sbAddFilesClick);
  Connect(QStringLiteral("sbAddFiles"), &TMainForm::sbAddFilesClick);
  Connect(QStringLiteral("mnOpenAgain"), &TMainForm::mnOpenAgainClick);
  Connect(QStringLiteral("mnDelete"), &TMainForm::sbDeleteClick);
  Connect(QStringLiteral("sbDelete"), &TMainForm::sbDeleteClick);
  Connect(QStringLiteral("mnEmptyAll"), &TMainForm::sbEmptyAllClick);
  Connect(QStringLiteral("sbEmptyAll"), &TMainForm::sbEmptyAllClick);
  Connect(QStringLiteral("sbMoveUp"), &TMainForm::sbMoveUpClick);
  Connect(QStringLiteral("sbMoveDown"), &TMainForm::sbMoveDownClick);
  Connect(QStringLiteral("mnSelectAll"), &TMainForm::sbSelectAllClick);
  Connect(QStringLiteral("sbSelectAll"), &TMainForm::sbSelectAllClick);
  Connect(QStringLiteral("mnInvertSelect"), &TMainForm::sbInvertSelectClick);
  Connect(QStringLiteral("sbInvertSelect"), &TMainForm::sbInvertSelectClick);
  Connect(QStringLiteral("sbZoomIn"), &TMainForm::sbZoomInClick);
  Connect(QStringLiteral("sbZoomOut"), &TMainForm::sbZoomOutClick);
  Connect(QStringLiteral("sbFit"), &TMainForm::sbFitClick);
  Connect(QStringLiteral("sb100"), &TMainForm::sb100Click);
  Connect(QStringLiteral("sbNavigator"), &TMainForm::sbNavigatorClick);
  Connect(QStringLiteral("sbCropPage"), &TMainForm::sbCropPageClick);
  Connect(QStringLiteral("mnBlur1"), &TMainForm::mnBlur1Click);
  Connect(QStringLiteral("mnBlur2"), &TMainForm::mnBlur1Click);
  Connect(QStringLiteral("mnBlur3"), &TMainForm::mnBlur1Click);
  Connect(QStringLiteral("mnUndo"), &TMainForm::sbUndoClick);
  Connect(QStringLiteral("sbUndo"), &TMainForm::sbUndoClick);
  Connect(QStringLiteral("mnRedo"), &TMainForm::sbRedoClick);
  Connect(QStringLiteral("sbRedo"), &TMainForm::sbRedoClick);
  Connect(QStringLiteral("mnCheckUpdate"), &TMainForm::mnCheckUpdateClick);
  Connect(QStringLiteral("mnCopyImage"), &TMainForm::mnCopyImageClick);
  Connect(QStringLiteral("mnPasteImage"), &TMainForm::mnPasteImageClick);

  // Commands whose machinery is not part of this build stay visible but disabled.
  static const char* const kUnavailable[] = {
      "mnSaveAs", "mnScan", "mnExportSelected", "mnExportAll", "mnPrintCurrent", "mnPrintAll", "mnOption",
      "mnRotateLeft", "mnRotateRight", "mnRotate180", "mnFlipVertical",
      "mnFlipHorizontal", "mnCorrect", "mnTrimBorders", "mnWhiteBalance", "mnConvertBW", "mnConvertGray",
      "mnNegative", "mnAutoContrast", "mnSharpen", "mnResize", "mnTifQuick", "sbSaveAs", "sbScan", "sbPrint",
      "sbExportPage", "sbRotate", "sbResize", "sbNegative", "sbCorrect", "sbAutoContrast", "pmRotateLeft",
      "pmRotateRight", "pmRotate180", "pmFlipVertical", "pmFlipHorizontal",
  };
  for (const char* n : kUnavailable)
    SetEnabledByName(QString::fromLatin1(n), false);
  if (TUpdateChecker::Disabled())
    SetEnabledByName(QStringLiteral("mnCheckUpdate"), false);
}

// ---------------------------------------------------------------------------------------------
// Routines

void TMainForm::LoadArguments(const std::vector<std::string>& files) {
  for (const std::string& f : files)
    LoadFile(f);
}

QString TMainForm::CompactDocumentPath() const {
  const std::string& doc = shell_->DocumentPath();
  if (doc.empty())
    return QString::fromLatin1(kBlankPanel);
  QFontMetrics fm(status_->font());
  QString shortened = fm.elidedText(QPath(doc), Qt::ElideMiddle, 300).trimmed();
  if (shortened.isEmpty())
    shortened = QPath(std::filesystem::path(doc).filename().string());
  return shortened;
}

void TMainForm::RefreshStatus() {
  const TShellStatus st = shell_->Status();
  const QString title = Q(st.title);
  setWindowTitle(title);

  QString info = Q(st.imageInfo);
  if (!st.imageInfoBlank && imageView_->width() > 1)
    info += QStringLiteral(" (%1%)").arg(static_cast<int>(std::nearbyint(imageView_->Zoom())));
  const QString texts[3] = {CompactDocumentPath(), Q(st.pagePosition), info};
  const double factors[3] = {1.1, 1.5, 1.1};
  QFontMetrics fm(status_->font());
  for (int i = 0; i < 3; ++i)
    status_->SetPanel(i, texts[i], static_cast<int>(std::nearbyint((fm.horizontalAdvance(texts[i]) + 5) * factors[i])));
  ProcessEvents();
  UpdateUndoButtons();

  if (imageView_->ShrinkingToFit())
    fitZoom_ = imageView_->Zoom();
  if (!imageView_->HasImage())
    pnlNavigator_->hide();
  // The navigator takes the image's orientation.
  const QSize sz = pnlNavigator_->size();
  const int longer = std::max(sz.width(), sz.height()), shorter = std::min(sz.width(), sz.height());
  const QImage& img = imageView_->Image();
  const QSize wanted = img.width() > img.height() ? QSize(longer, shorter) : QSize(shorter, longer);
  if (wanted != sz) {
    pnlNavigator_->resize(wanted);
    PlaceNavigator();
  }
}

void TMainForm::UpdateUndoButtons() {
  const bool undo = shell_->Proc().UndoDepth() > 0, redo = shell_->Proc().RedoDepth() > 0;
  SetEnabledByName(QStringLiteral("mnUndo"), undo);
  SetEnabledByName(QStringLiteral("sbUndo"), undo);
  SetEnabledByName(QStringLiteral("mnRedo"), redo);
  SetEnabledByName(QStringLiteral("sbRedo"), redo);
}

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
  if (pendingOutcome_.set) {
    pendingOutcome_.set = false;
    const auto o = pendingOutcome_;
    QMetaObject::invokeMethod(
        this, [this, o] { UpdateCheckFinished(o.outcome, true, o.version); }, Qt::QueuedConnection);
  }
}

void TMainForm::ProcessEvents() {
  // Painting, timers and the background loader's results run; clicks and keys wait until the
  // command is done, so no second command can start inside this one.
  QApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

void TMainForm::PageListChanged() {
  pageList_->viewport()->update();
  pageList_->UpdateVisibleRange();
}

void TMainForm::ViewImageChanged(bool fitToWindow) {
  TShellView& v = shell_->View();
  imageView_->SetImage(v.HasImage() ? VlToQImage(v.image) : QImage());
  if (fitToWindow)
    imageView_->ShowFitted();
  const TVlColor bg = v.background;
  imageView_->SetBackground(QColor(bg & 0xFF, (bg >> 8) & 0xFF, (bg >> 16) & 0xFF));
  if (v.HasSelection())
    imageView_->SetSelection(QRect(QPoint(v.selection->left, v.selection->top),
                                   QPoint(v.selection->right, v.selection->bottom)));
  else
    imageView_->ClearSelection();
  navView_->ImageChanged();
}

void TMainForm::ScrollToSelected() { pageList_->ScrollToSelected(); }

void TMainForm::StartQuietUpdateCheck() { updateChecker_.Start(false); }

void TMainForm::BuildHistoryMenu() {
  if (!mnRecentFiles_)
    return;
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

void TMainForm::PlaceNavigator() {
  const QRect area = imageView_->viewport()->geometry();
  pnlNavigator_->move(area.right() - pnlNavigator_->width() - 8, area.top() + 8);
  pnlNavigator_->raise();
}

void TMainForm::HideNavigator() { pnlNavigator_->hide(); }

void TMainForm::ViewSelectionChanged(const QRect& r) {
  if (r.isEmpty())
    shell_->View().SelectNone();
  else
    shell_->View().SelectRect(r.left(), r.top(), r.right(), r.bottom());
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
  if (busyDepth_ > 0 || !shell_->ConfirmClose()) {
    event->ignore();
    return;
  }
  event->accept();
}

void TMainForm::resizeEvent(QResizeEvent* event) {
  QMainWindow::resizeEvent(event);
  PlaceNavigator();
}

void TMainForm::dragEnterEvent(QDragEnterEvent* event) {
  if (event->mimeData()->hasUrls() && !IsBusy())
    event->acceptProposedAction();
}

void TMainForm::dropEvent(QDropEvent* event) {
  // Full local paths of any length, in the order the desktop lists them.
  std::vector<std::string> paths;
  for (const QUrl& url : event->mimeData()->urls())
    if (url.isLocalFile())
      paths.push_back(QFile::encodeName(url.toLocalFile()).toStdString());
  event->acceptProposedAction();
  for (const std::string& p : paths)
    LoadFile(p);
}

// ---------------------------------------------------------------------------------------------
// Page-list commands

void TMainForm::mnOpenFileClick() { shell_->OpenDocument(); }
void TMainForm::sbAddFilesClick() { shell_->InsertFiles(); }
void TMainForm::mnOpenAgainClick() { shell_->Reopen(); }
void TMainForm::sbDeleteClick() { shell_->RemoveSelected(); }
void TMainForm::sbEmptyAllClick() { shell_->EmptyAll(); }

void TMainForm::sbMoveUpClick() {
  shell_->MoveUp();
  ScrollToSelected();
}

void TMainForm::sbMoveDownClick() {
  shell_->MoveDown();
  ScrollToSelected();
}

void TMainForm::sbSelectAllClick() { shell_->SelectAll(); }

void TMainForm::mnCopyImageClick() {
  TQtClipboard clipboard;
  shell_->CopyPageImage(clipboard);
}

void TMainForm::mnPasteImageClick() {
  TQtClipboard clipboard;
  shell_->PasteAsNewPage(clipboard);
}
void TMainForm::sbInvertSelectClick() { shell_->InvertSelection(); }

void TMainForm::RecentFileClick() {
  auto* a = qobject_cast<QAction*>(sender());
  if (a)
    shell_->OpenRecent(a->data().toInt());
}

// ---------------------------------------------------------------------------------------------
// View bar

void TMainForm::sbZoomInClick() {
  imageView_->SetZoom(imageView_->Zoom() * 1.2);
  RefreshStatus();
  HideNavigator();
}

void TMainForm::sbZoomOutClick() {
  imageView_->SetZoom(imageView_->Zoom() / 1.2);
  RefreshStatus();
  HideNavigator();
}

void TMainForm::sbFitClick() {
  imageView_->SetFit(true);
  RefreshStatus();
  HideNavigator();
}

void TMainForm::sb100Click() {
  imageView_->SetZoom(100);
  RefreshStatus();
  if (fitZoom_ < 100)
    sbNavigatorClick();
}

void TMainForm::sbNavigatorClick() {
  if (!imageView_->HasImage())
    return;
  PlaceNavigator();
  pnlNavigator_->show();
  navView_->ImageChanged();
}

void TMainForm::sbCropPageClick() {
  QAction* crop = ActionByName(QStringLiteral("sbCropPage"));
  const bool on = crop && crop->isChecked();
  TShellView& v = shell_->View();
  imageView_->SetRectSelection(on);
  if (on && v.HasImage()) {
    v.SelectRect(0, 0, v.image.Width() - 1, v.image.Height() - 1);
    imageView_->SetSelection(QRect(0, 0, v.image.Width(), v.image.Height()));
  } else {
    v.SelectNone();
    imageView_->ClearSelection();
  }
}

void TMainForm::ImageVDblClick() {
  if (!imageView_->RectSelection())
    return;
  shell_->CropToSelection();
}

void TMainForm::mnBlur1Click() {
  auto* a = qobject_cast<QAction*>(sender());
  shell_->Blur(a ? a->data().toInt() : 2);
}

void TMainForm::sbUndoClick() { shell_->Undo(); }
void TMainForm::sbRedoClick() { shell_->Redo(); }

// ---------------------------------------------------------------------------------------------
// Help

void TMainForm::mnCheckUpdateClick() { updateChecker_.Start(true); }

void TMainForm::UpdateCheckFinished(TUpdateChecker::TOutcome outcome, bool report, const QString& version) {
  if (busyDepth_ > 0) {
    // No message box inside a running command: keep it for the end of the command.
    if (report || outcome == TUpdateChecker::TOutcome::newer)
      pendingOutcome_ = {true, outcome, version};
    return;
  }
  switch (outcome) {
    case TUpdateChecker::TOutcome::newer:
      prompter_->MessageBox(TMsgKind::information,
                            "发现新版本：" + version.toStdString() + "，请访问主页下载。\n" + kHomePageUrl, mbOK);
      break;
    case TUpdateChecker::TOutcome::upToDate:
    case TUpdateChecker::TOutcome::noInfo:
      if (report)
        prompter_->MessageBox(TMsgKind::information, "没有发现新版本，当前版本已经是最新版。", mbOK);
      break;
    case TUpdateChecker::TOutcome::noConnection:
      if (report)
        prompter_->MessageBox(TMsgKind::error, "无法连接主站，请检查网络状态。", mbOK);
      break;
  }
}

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
