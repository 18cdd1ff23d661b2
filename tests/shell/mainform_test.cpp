#include "app/gui/mainform.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QUrl>
#include <QFontDatabase>
#include <QMenu>
#include <QMenuBar>
#include <QStatusTipEvent>
#include <QToolBar>
#include <QToolButton>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "app/gui/fonts.h"
#include "app/gui/statusbar.h"
#include "app/shell/ini.h"
#include "shell_test_support.h"

namespace {

// Captions of the menu's items as shown (submenus by their title), separators left out.
QStringList Captions(QMenu* m) {
  QStringList out;
  for (QAction* a : m->actions())
    if (!a->isSeparator())
      out << a->text();
  return out;
}

QMenu* TopMenu(TMainForm& f, const QString& title) {
  for (QAction* a : f.menuBar()->actions())
    if (a->text() == title)
      return a->menu();
  return nullptr;
}

}  // namespace

TEST(MainForm, MenusItemsShortcutsAndTags) {
  TTempFolder dir("menus");
  TScriptedPrompter prompter;
  TMainForm form(&prompter, dir / "vellumo.ini");
  EXPECT_EQ(form.windowTitle(), "Vellumo");

  QStringList tops;
  for (QAction* a : form.menuBar()->actions())
    tops << a->text();
  EXPECT_EQ(tops, (QStringList{"文件(&F)", "编辑(&E)", "页面(&P)", "图像(&G)", "工具(&T)", "帮助(&H)"}));
  EXPECT_EQ(Captions(TopMenu(form, "文件(&F)")),
            (QStringList{"打开(&O)...", "最近打开的文件(&R)...", "另存(&S)...", "重新打开...(&T)", "扫描(&A)...",
                         "导出分页(&E)", "打印(&P)", "选项(&O)...", "退出(&Q)"}));
  EXPECT_EQ(Captions(TopMenu(form, "编辑(&E)")),
            (QStringList{"撤消(&U)", "重做(&R)", "复制页面图像(&C)", "粘贴为新页面(&N)"}));
  EXPECT_EQ(Captions(TopMenu(form, "页面(&P)")),
            (QStringList{"全选", "反选", "当前位置插入新页面...", "移除选中页面", "清空所有页面"}));
  EXPECT_EQ(Captions(TopMenu(form, "图像(&G)")),
            (QStringList{"旋转和翻转(&R)", "扫描图像处理(&S)", "反色(&I)", "自动对比度(&E)", "锐化(&S)", "缩放(&R)..."}));
  EXPECT_EQ(Captions(TopMenu(form, "帮助(&H)")),
            (QStringList{"访问主页(&P)...", "意见反馈(&G)...", "最近更新(&U)...", "检查新版本(&C)", "关于(&A)..."}));

  struct Item {
    const char* name;
    const char* caption;
    QKeySequence shortcut;
    int tag;
  } items[] = {
      {"mnOpenFile", "打开(&O)...", QKeySequence("Ctrl+O"), -1},
      {"mnSaveAs", "另存(&S)...", QKeySequence("Ctrl+S"), -1},
      {"mnUndo", "撤消(&U)", QKeySequence("Ctrl+Z"), -1},
      {"mnRedo", "重做(&R)", QKeySequence("Ctrl+Y"), -1},
      {"mnCopyImage", "复制页面图像(&C)", QKeySequence("Ctrl+C"), -1},
      {"mnPasteImage", "粘贴为新页面(&N)", QKeySequence("Ctrl+V"), -1},
      {"mnSelectAll", "全选", QKeySequence("Ctrl+A"), -1},
      {"mnInvertSelect", "反选", QKeySequence("Ctrl+I"), -1},
      {"mnTifQuick", "快速统计和拆分TIF页面(&T)", QKeySequence("F3"), -1},
      {"mnRotateLeft", "左转90度(&A)", {}, 1},
      {"mnRotate180", "转动180度(&B)", {}, 2},
      {"mnRotateRight", "右转90度(&C)", {}, 3},
      {"mnFlipVertical", "垂直翻转(&V)", {}, 4},
      {"mnFlipHorizontal", "水平翻转(&H)", {}, 5},
      {"mnNegative", "反色(&I)", {}, 6},
      {"mnAutoContrast", "自动对比度(&E)", {}, 7},
      {"mnSharpen", "锐化(&S)", {}, 8},
      {"mnTrimBorders", "裁边(&C)", {}, 9},
      {"mnWhiteBalance", "白纸底色校正(&W)", {}, 10},
      {"mnConvertBW", "转为黑白图(&B)", {}, 11},
      {"mnConvertGray", "转为灰阶色(&G)", {}, 12},
      {"mnCorrect", "倾斜校正(&O)...", {}, -1},
      {"mnResize", "缩放(&R)...", {}, -1},
      {"pmRotateLeft", "左转90度(&A)", {}, 1},
      {"pmRotateRight", "右转90度(&C)", {}, 3},
      {"pmRotate180", "转动180度(&B)", {}, 2},
      {"pmFlipVertical", "垂直翻转(&V)", {}, 4},
      {"pmFlipHorizontal", "水平翻转(&H)", {}, 5},
      {"sbNegative", "反色", {}, 6},
      {"sbAutoContrast", "自动对比", {}, 7},
      {"mnBlur1", "轻度模糊(&1)", {}, 1},
      {"mnBlur2", "中度模糊(&2)", {}, 2},
      {"mnBlur3", "重度模糊(&3)", {}, 3},
  };
  for (const Item& it : items) {
    QAction* a = form.ActionByName(it.name);
    ASSERT_NE(a, nullptr) << it.name;
    EXPECT_EQ(a->text(), QString::fromUtf8(it.caption)) << it.name;
    EXPECT_EQ(a->shortcut(), it.shortcut) << it.name;
    EXPECT_EQ(a->data().isValid() ? a->data().toInt() : -1, it.tag) << it.name;
  }
}

TEST(MainForm, ToolbarAndBarButtonsWithTheirHints) {
  TTempFolder dir("toolbar");
  TScriptedPrompter prompter;
  TMainForm form(&prompter, dir / "vellumo.ini");
  QToolBar* tb = form.findChild<QToolBar*>("ToolBar");
  ASSERT_NE(tb, nullptr);
  QStringList captions, hints;
  for (QAction* a : tb->actions())
    if (!a->isSeparator()) {
      captions << a->text();
      hints << a->statusTip();
    }
  EXPECT_EQ(captions, (QStringList{"打开", "另存", "扫描", "打印", "导出", "旋转", "缩放", "反色", "倾斜", "自动对比"}));
  EXPECT_EQ(hints, (QStringList{"打开多页TIF图像文件", "所有页面打包成一个TIF文件输出", "从扫描仪进行扫描", "打印输出",
                                "把每个页面导出成一个独立图像文件", "旋转和翻转图像", "自动调整图像的长宽大小", "黑白反色",
                                "自动识别和校正图像的倾斜角度", "自动调节图像的对比度"}));
  // The rotate button pops up the five rotate items.
  QAction* rotate = form.ActionByName("sbRotate");
  ASSERT_NE(rotate->menu(), nullptr);
  EXPECT_EQ(Captions(rotate->menu()),
            (QStringList{"左转90度(&A)", "右转90度(&C)", "转动180度(&B)", "垂直翻转(&V)", "水平翻转(&H)"}));
  // Commands that are not part of this build are shown disabled, buttons included.
  form.show();
  form.BeginBusy();  // a command ran: enabling the window again must not enable them
  form.EndBusy();
  QApplication::processEvents();
  for (const char* name : {"sbSaveAs", "sbScan", "sbPrint", "sbExportPage", "sbRotate", "sbResize", "sbNegative"}) {
    QAction* a = form.ActionByName(name);
    ASSERT_NE(a, nullptr) << name;
    EXPECT_FALSE(a->isEnabled()) << name;
    EXPECT_FALSE(tb->widgetForAction(a)->isEnabled()) << name;
  }
  EXPECT_TRUE(tb->widgetForAction(form.ActionByName("sbOpen"))->isEnabled());

  struct Hint {
    const char* name;
    const char* hint;
  } bar[] = {
      {"sbSelectAll", "选择所有页面"},
      {"sbInvertSelect", "页面反选"},
      {"sbMoveUp", "向上移"},
      {"sbMoveDown", "向下移"},
      {"sbAddFiles", "当前位置插入新页面新图像"},
      {"sbDelete", "移除选择的页面"},
      {"sbEmptyAll", "清空所有页面"},
      {"sbZoomIn", "放大查看"},
      {"sbZoomOut", "缩小查看"},
      {"sbFit", "缩放到满屏查看"},
      {"sb100", "100%大小查看"},
      {"sbNavigator", "图像导航，当显示大图时可实现快速定位"},
      {"sbCropPage", "选定内容，双击完成裁剪"},
      {"SpeedButton1", "对选择的区域进行模糊处理，若未选择区域则全图模糊"},
      {"sbUndo", "撤消"},
      {"sbRedo", "重做"},
  };
  for (const Hint& h : bar) {
    QAction* a = form.ActionByName(h.name);
    ASSERT_NE(a, nullptr) << h.name;
    EXPECT_EQ(a->statusTip(), QString::fromUtf8(h.hint)) << h.name;
  }
  EXPECT_TRUE(form.ActionByName("sbCropPage")->isCheckable());
  EXPECT_EQ(form.ActionByName("sbAddFiles")->text(), "新增");
  EXPECT_EQ(form.ActionByName("mnBlur2")->statusTip(), "对选择的区域进行模糊处理－模糊程度中");
}

TEST(MainForm, StatusBarPanelsAndHints) {
  TTempFolder dir("status");
  TScriptedPrompter prompter;
  TMainForm form(&prompter, dir / "vellumo.ini");
  TVlStatusBar* sb = form.StatusPanels();
  EXPECT_EQ(sb->PanelWidth(3), 103);
  EXPECT_EQ(sb->PanelWidth(4), 100);
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(sb->PanelText(i), "        ") << i;
  // Panel widths follow (text width + 5) x 1.1 / 1.5 / 1.1, rounded half to even.
  QFontMetrics fm(sb->font());
  const int w = fm.horizontalAdvance(QStringLiteral("        "));
  EXPECT_EQ(sb->PanelWidth(0), static_cast<int>(std::nearbyint((w + 5) * 1.1)));
  EXPECT_EQ(sb->PanelWidth(1), static_cast<int>(std::nearbyint((w + 5) * 1.5)));

  QStatusTipEvent tip(QStringLiteral("打开多页TIF图像文件"));
  QApplication::sendEvent(&form, &tip);
  EXPECT_TRUE(sb->SimpleMode());
  EXPECT_EQ(sb->SimpleText(), "打开多页TIF图像文件");
  QStatusTipEvent none{QString()};
  QApplication::sendEvent(&form, &none);
  EXPECT_FALSE(sb->SimpleMode());

  form.ShowProgress(40);
  EXPECT_FALSE(sb->SimpleMode());
  EXPECT_EQ(sb->Progress(), 40);
  EXPECT_EQ(sb->ProgressLeft(), sb->PanelWidth(0) + sb->PanelWidth(1) + sb->PanelWidth(2) + 1);
  EXPECT_NE(QApplication::overrideCursor(), nullptr);
  form.ShowProgress(100);
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST(MainForm, BusyWindowDisablesTheWindowAndAlwaysGoes) {
  TTempFolder dir("busy");
  TScriptedPrompter prompter;
  TMainForm form(&prompter, dir / "vellumo.ini");
  form.show();
  {
    TBusyGuard outer(form);
    EXPECT_FALSE(form.isEnabled());
    EXPECT_TRUE(form.IsBusy());
    {
      TBusyGuard inner(form);  // nested work keeps one busy window
    }
    EXPECT_TRUE(form.IsBusy());
    QWidget* wait = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets())
      if (w->objectName() == "WaitForm" && w->isVisible())
        wait = w;
    ASSERT_NE(wait, nullptr);
    EXPECT_EQ(wait->size(), QSize(289, 71));
    EXPECT_TRUE(wait->windowFlags() & Qt::WindowStaysOnTopHint);
    // Closing while busy is refused.
    QCloseEvent close;
    QApplication::sendEvent(&form, &close);
    EXPECT_FALSE(close.isAccepted());
  }
  EXPECT_TRUE(form.isEnabled());
  EXPECT_FALSE(form.IsBusy());
  for (QWidget* w : QApplication::topLevelWidgets())
    EXPECT_FALSE(w->objectName() == "WaitForm" && w->isVisible());
  // An exception inside the work still removes the busy window.
  try {
    TBusyGuard g(form);
    throw std::runtime_error("boom");
  } catch (const std::runtime_error&) {
  }
  EXPECT_TRUE(form.isEnabled());
}

TEST(MainForm, RecentMenuAndSettingsWrittenAtExit) {
  TTempFolder dir("recent");
  const auto ini = dir / "vellumo.ini";
  {
    std::ofstream out(ini);
    out << "[Parameter]\nRecentFileNumber=2\nLastOpen=/scans/x.tif\nMyOwnKey=stays\n"
           "[HistoryMenu]\nTime0=2020-01-01T10:00:00\nFile0=/scans/old.tif\n"
           "Time1=2021-01-01T10:00:00\nFile1=/scans/new.tif\nTime2=2019-01-01T10:00:00\nFile2=/scans/oldest.tif\n"
           "[Unknown]\nA=B\n";
  }
  {
    TScriptedPrompter prompter;
    TMainForm form(&prompter, ini);
    QStringList items = Captions(form.RecentFilesMenu());
    EXPECT_EQ(items, (QStringList{"&1 /scans/new.tif", "&2 /scans/old.tif"}));
    form.Shell().settings.lastExport = "/out/p.png";
  }
  TVlIniFile back(ini);
  EXPECT_EQ(back.ReadString("Parameter", "MyOwnKey", ""), "stays");
  EXPECT_EQ(back.ReadString("Unknown", "A", ""), "B");
  EXPECT_EQ(back.ReadString("Parameter", "LastOpen", ""), "/scans/x.tif");
  EXPECT_EQ(back.ReadString("Parameter", "LastExport", ""), "/out/p.png");
  EXPECT_EQ(back.ReadString("Parameter", "LastSaveFormat", ""), "0");
  EXPECT_EQ(back.KeyNames("HistoryMenu"), (std::vector<std::string>{"Time0", "File0", "Time1", "File1"}));
  EXPECT_EQ(back.ReadString("HistoryMenu", "File0", ""), "/scans/new.tif");
  EXPECT_EQ(back.ReadString("HistoryMenu", "Time0", "").substr(0, 19), "2021-01-01T10:00:00");

  // Count 0: only the disabled "[无]" item, and the section is written empty.
  {
    std::ofstream out(ini, std::ios::app);
    out << "";
  }
  TVlIniFile edit(ini);
  edit.WriteInteger("Parameter", "RecentFileNumber", 0);
  ASSERT_TRUE(edit.UpdateFile());
  {
    TScriptedPrompter prompter;
    TMainForm form(&prompter, ini);
    QMenu* m = form.RecentFilesMenu();
    ASSERT_EQ(m->actions().size(), 1);
    EXPECT_EQ(m->actions()[0]->text(), "[无]");
    EXPECT_FALSE(m->actions()[0]->isEnabled());
  }
  TVlIniFile after(ini);
  EXPECT_FALSE(after.SectionExists("HistoryMenu"));
  EXPECT_EQ(after.ReadString("Unknown", "A", ""), "B");
}

TEST(MainForm, ClosingWithoutPagesNeverAsks) {
  TTempFolder dir("close");
  TScriptedPrompter prompter;  // any question would fail the test
  TMainForm form(&prompter, dir / "vellumo.ini");
  ASSERT_TRUE(form.Shell().settings.quitConfirm);
  QCloseEvent close;
  QApplication::sendEvent(&form, &close);
  EXPECT_TRUE(close.isAccepted());
  EXPECT_TRUE(prompter.messages.empty());
}

TEST(MainForm, RecentChangesMessage) {
  TTempFolder dir("changes");
  TScriptedPrompter prompter;
  prompter.answers.push_back(TModalResult::mrOK);
  TMainForm form(&prompter, dir / "vellumo.ini");
  form.ActionByName("mnRecentChanges")->trigger();
  ASSERT_EQ(prompter.messages.size(), 1u);
  EXPECT_EQ(prompter.messages[0].kind, TMsgKind::information);
  EXPECT_EQ(prompter.messages[0].buttons, mbOK);
  EXPECT_EQ(prompter.messages[0].text.rfind("软件版本 - 0.4 更新内容：\n\n1) 输出PDF时", 0), 0u);
  EXPECT_NE(prompter.messages[0].text.find("6) 改进和美化了部分菜单及窗体界面"), std::string::npos);
}

TEST(ProgramFont, PreferenceOrderOverRealFamilies) {
  EXPECT_EQ(ChooseProgramFont({"DejaVu Sans", "Microsoft YaHei", "Noto Sans CJK SC"}).family(), "Microsoft YaHei");
  EXPECT_EQ(ChooseProgramFont({"WenQuanYi Micro Hei", "Noto Sans CJK SC"}).family(), "Noto Sans CJK SC");
  EXPECT_EQ(ChooseProgramFont({"WenQuanYi Micro Hei"}).family(), "WenQuanYi Micro Hei");
  QFont song = ChooseProgramFont({"DejaVu Sans", "SimSun"});
  EXPECT_EQ(song.family(), "SimSun");
  EXPECT_EQ(song.pixelSize(), 12);
  EXPECT_EQ(ChooseProgramFont({}).pixelSize(), 12);
  // This machine has the Noto CJK fonts (scripts/bootstrap installs them).
  if (QFontDatabase::families().contains("Noto Sans CJK SC")) {
    EXPECT_EQ(QApplication::font().family(), "Noto Sans CJK SC");
  }
}

TEST(ProgramOptions, HelpAndVersionNeedNoDisplay) {
  const char* build = std::getenv("VELLUMO_BUILD");
  if (!build)
    GTEST_SKIP() << "VELLUMO_BUILD not set";
  const std::string exe = std::string(build) + "/app/vellumo";
  if (!std::filesystem::exists(exe))
    GTEST_SKIP() << exe << " not built";
  for (const char* arg : {"--help", "--version"}) {
    const std::string cmd = "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM '" + exe + "' " + arg + " 2>&1";
    FILE* p = ::popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string out;
    char buf[256];
    while (std::fgets(buf, sizeof buf, p))
      out += buf;
    const int rc = ::pclose(p);
    EXPECT_EQ(rc, 0) << arg << ": " << out;
    if (std::string(arg) == "--version") {
      EXPECT_EQ(out, "vellumo 0.4 (2024-06-01)\n");
    } else {
      EXPECT_NE(out.find("usage: vellumo [FILE...]"), std::string::npos) << out;
    }
  }
}

TEST(MainForm, DroppedFilesLoadWithTheirFullPathsInOrder) {
  TTempFolder dir("drop");
  TScriptedPrompter prompter;
  TMainForm form(&prompter, dir / "vellumo.ini");
  std::vector<std::string> seen;
  form.Shell().readImageCount = [&](const std::string& p) {
    seen.push_back(p);
    return 0;
  };
  // A path far beyond 255 characters, and a second one.
  std::filesystem::path deep = dir.Path();
  for (int i = 0; i < 8; ++i)
    deep /= std::string(40, char('a' + i));
  std::filesystem::create_directories(deep);
  const std::string first = (deep / "第一份扫描文件.tif").string();
  const std::string second = (dir / "b.tif").string();
  ASSERT_GT(first.size(), 300u);
  std::ofstream(first).flush();  // the files exist (empty: no readable page)
  std::ofstream(second).flush();
  form.Shell().SetDocumentPath("/already/open.tif");
  form.RefreshStatus();

  QMimeData data;
  data.setUrls({QUrl::fromLocalFile(QString::fromStdString(first)), QUrl::fromLocalFile(QString::fromStdString(second)),
                QUrl(QStringLiteral("https://example.org/x.tif"))});
  // As the desktop does it: the window accepts the drag when it enters, then the drop.
  QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(&form, &enter);
  ASSERT_TRUE(enter.isAccepted());
  QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(&form, &drop);
  EXPECT_EQ(seen, (std::vector<std::string>{first, second}));
  EXPECT_EQ(form.Shell().DocumentPath(), "/already/open.tif");  // a drop adds pages, the title stays
  EXPECT_EQ(form.windowTitle(), "Vellumo - open.tif");
}

TEST(MainForm, TwoArgumentsLoadInOrderAndTheFirstIsTheDocument) {
  TTempFolder dir("args");
  TScriptedPrompter prompter;
  TMainForm form(&prompter, dir / "vellumo.ini");
  std::vector<std::string> seen;
  form.Shell().readImageCount = [&](const std::string& p) {
    seen.push_back(p);
    return 0;
  };
  const std::string a = (dir / "a.tif").string(), b = (dir / "b.tif").string();
  std::ofstream(a).flush();  // the files exist (empty: no readable page)
  std::ofstream(b).flush();
  form.LoadArguments({a, b});
  EXPECT_EQ(seen, (std::vector<std::string>{a, b}));
  EXPECT_EQ(form.Shell().DocumentPath(), a);
  EXPECT_EQ(form.windowTitle(), "Vellumo - a.tif");
  ASSERT_EQ(form.Shell().History().Size(), 1u);
  EXPECT_EQ(form.Shell().History().Entries()[0].path, a);
  EXPECT_EQ(form.Shell().settings.lastOpen, a);
  EXPECT_EQ(form.RecentFilesMenu()->actions()[0]->text(), QString::fromStdString("&1 " + a));
}
