// The main window with pages: the page list, the view, zoom and navigator, the status bar.
#include <QAction>
#include <QApplication>
#include <QFrame>
#include <QMouseEvent>
#include <QScrollBar>
#include <QTest>

#include <gtest/gtest.h>

#include <cstdlib>

#include "app/gui/imageview.h"
#include "app/gui/mainform.h"
#include "app/gui/pagelist.h"
#include "app/gui/statusbar.h"
#include "shell_test_support.h"

QT_BEGIN_NAMESPACE
inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }
QT_END_NAMESPACE

namespace {

class WindowPagesTest : public ::testing::Test {
 protected:
  TTempFolder dir{"window"};
  TScriptedPrompter prompter;
  std::unique_ptr<TMainForm> form;

  void SetUp() override {
    form = std::make_unique<TMainForm>(&prompter, dir / "vellumo.ini");
    form->resize(1200, 800);
    form->show();
    QApplication::processEvents();
  }
  void TearDown() override { form.reset(); }

  // A page of the given size and format with a few dark bars, so that it is not blank.
  void AddPage(int w, int h, TVlPixelFormat format, int bits, int samples) {
    TVlPageStore& s = form->Shell().Store();
    const int at = s.InsertPageNoSelect(s.PageCount());
    TVlBitmap b(w, h, format);
    ASSERT_FALSE(b.IsEmpty());
    b.FillImage(format == vl1g ? 1 : format == vl24RGB ? double(0xFFFFFF) : 255);
    b.FillArea(w / 10, h / 10, w / 2, h / 10 + h / 50, 0);
    b.FillArea(w / 10, h / 5, w * 8 / 10, h / 5 + h / 80, 0);
    ASSERT_TRUE(s.SetPageImage(at, b));
    TIOParamsVals* p = s.PageParams(at);
    p->bitsPerSample = bits;
    p->samplesPerPixel = samples;
  }
  QPoint CellCentre(int row) {
    TPageListView* list = form->PageList();
    return list->visualRect(form->PageModel()->index(row)).center();
  }
  void Click(int row, Qt::KeyboardModifiers mods = Qt::NoModifier) {
    QTest::mouseClick(form->PageList()->viewport(), Qt::LeftButton, mods, CellCentre(row));
    QApplication::processEvents();
  }
  void MaybeShot(const char* name) {
    if (const char* d = std::getenv("VELLUMO_SHOT_DIR"))
      form->grab().save(QString::fromLocal8Bit(d) + "/" + name);
  }
};

}  // namespace

TEST_F(WindowPagesTest, ClickShowsThePageAndTheStatusBarDescribesIt) {
  AddPage(2480, 3508, vl1g, 1, 1);
  AddPage(400, 300, vl8g, 8, 1);
  AddPage(300, 450, vl24RGB, 8, 3);
  EXPECT_EQ(form->PageModel()->rowCount(), 3);

  Click(0);
  TVlShell& shell = form->Shell();
  EXPECT_EQ(shell.Store().SelectedPage(), 0);
  EXPECT_EQ(shell.ShownPage(), 0);
  EXPECT_TRUE(form->ImageV()->HasImage());
  EXPECT_EQ(form->ImageV()->Image().size(), QSize(2480, 3508));
  TVlStatusBar* sb = form->StatusPanels();
  EXPECT_EQ(sb->PanelText(1), " 1/3 ");
  const int zoom = static_cast<int>(std::nearbyint(form->ImageV()->Zoom()));
  EXPECT_LT(zoom, 100);  // a page larger than the view is shrunk to fit
  EXPECT_EQ(sb->PanelText(2), QStringLiteral("2480 x 3508 x 2 (%1%)").arg(zoom));
  EXPECT_DOUBLE_EQ(form->FitZoom(), form->ImageV()->Zoom());
  MaybeShot("window-pages.png");

  Click(1);
  EXPECT_EQ(sb->PanelText(1), " 2/3 ");
  EXPECT_EQ(sb->PanelText(2), "400 x 300 x 256 (100%)");  // a small page keeps its size
  Click(2, Qt::ControlModifier);
  EXPECT_EQ(shell.Store().SelectedPageCount(), 2);
  EXPECT_EQ(sb->PanelText(2), "300 x 450 x 24b (100%)");
  Click(2, Qt::ControlModifier);  // toggles it off again
  EXPECT_EQ(shell.Store().SelectedPageCount(), 1);
  EXPECT_EQ(sb->PanelText(1), "总页数 3 ");
  Click(0);
  Click(2, Qt::ShiftModifier);  // the range from the current page
  EXPECT_EQ(shell.Store().SelectedPageCount(), 3);
  EXPECT_EQ(shell.Store().SelectedPage(), 2);
}

TEST_F(WindowPagesTest, DraggingARegionSelectsOnMouseUp) {
  for (int i = 0; i < 4; ++i)
    AddPage(300, 400, vl8g, 8, 1);
  QWidget* vp = form->PageList()->viewport();
  const QPoint a = CellCentre(0) + QPoint(-60, 0), b = CellCentre(2) + QPoint(-60, 0);
  QTest::mousePress(vp, Qt::LeftButton, Qt::NoModifier, a);
  QMouseEvent move(QEvent::MouseMove, QPointF(b), vp->mapToGlobal(QPointF(b)), Qt::NoButton, Qt::LeftButton,
                   Qt::NoModifier);
  QApplication::sendEvent(vp, &move);
  EXPECT_EQ(form->Shell().Store().SelectedPageCount(), 0);  // nothing until the button is up
  QTest::mouseRelease(vp, Qt::LeftButton, Qt::NoModifier, b);
  QApplication::processEvents();
  std::vector<std::int32_t> sel = form->Shell().Store().Selection();
  std::sort(sel.begin(), sel.end());
  EXPECT_EQ(sel, (std::vector<std::int32_t>{0, 1, 2}));
  EXPECT_EQ(form->Shell().ShownPage(), 2);
}

TEST_F(WindowPagesTest, ZoomFitOneHundredAndTheNavigator) {
  AddPage(2480, 3508, vl1g, 1, 1);
  AddPage(3000, 1000, vl8g, 8, 1);
  Click(0);
  TVlImageView* v = form->ImageV();
  QFrame* nav = form->NavigatorPanel();
  EXPECT_FALSE(nav->isVisible());
  const double fit = v->Zoom();
  form->ActionByName("sbZoomIn")->trigger();
  EXPECT_NEAR(v->Zoom(), fit * 1.2, 1e-9);
  EXPECT_FALSE(v->AutoShrink());
  form->ActionByName("sbZoomOut")->trigger();
  EXPECT_NEAR(v->Zoom(), fit, 1e-9);
  // 100 %: the page is larger than the view, so the navigator comes up.
  form->ActionByName("sb100")->trigger();
  EXPECT_DOUBLE_EQ(v->Zoom(), 100);
  EXPECT_TRUE(nav->isVisible());
  EXPECT_EQ(nav->size(), QSize(150, 200));  // portrait page, portrait navigator
  EXPECT_GT(v->verticalScrollBar()->maximum(), 0);
  // The navigator's frame shows the visible part; dragging it moves the view.
  const QRectF frame = form->ImageVNav()->VisibleFrame();
  EXPECT_GT(frame.width(), 0);
  QTest::mouseClick(form->ImageVNav(), Qt::LeftButton, Qt::NoModifier,
                    form->ImageVNav()->rect().center() + QPoint(0, 40));
  EXPECT_GT(v->verticalScrollBar()->value(), 0);
  // A double click in the navigator: the zoom is not the fit zoom, so fit.
  QTest::mouseDClick(form->ImageVNav(), Qt::LeftButton);
  EXPECT_TRUE(v->Fit());
  EXPECT_FALSE(nav->isVisible());
  MaybeShot("window-fit.png");
  // A click in the view hides the navigator.
  form->ActionByName("sbNavigator")->trigger();
  EXPECT_TRUE(nav->isVisible());
  QTest::mouseClick(v->viewport(), Qt::LeftButton);
  EXPECT_FALSE(nav->isVisible());
  // A landscape page turns the navigator.
  Click(1);
  EXPECT_EQ(nav->size(), QSize(200, 150));
}

TEST_F(WindowPagesTest, TheViewRedrawsSmoothlyAfterADelay) {
  AddPage(2480, 3508, vl1g, 1, 1);
  Click(0);
  TVlImageView* v = form->ImageV();
  form->ActionByName("sbZoomIn")->trigger();
  EXPECT_FALSE(v->SmoothShown());
  QTest::qWait(TVlImageView::kSmoothDelayMs + 200);
  EXPECT_TRUE(v->SmoothShown());
}

TEST_F(WindowPagesTest, CropModeCropsTheShownPageOnDoubleClick) {
  AddPage(400, 300, vl8g, 8, 1);
  AddPage(500, 300, vl8g, 8, 1);
  Click(0);
  QAction* crop = form->ActionByName("sbCropPage");
  crop->trigger();  // on: the whole image is selected
  ASSERT_TRUE(crop->isChecked());
  EXPECT_EQ(form->ImageV()->Selection(), QRect(0, 0, 400, 300));
  form->ImageV()->SetSelection(QRect(10, 20, 100, 50));
  form->Shell().View().SelectRect(10, 20, 109, 69);
  form->Shell().SelectAll();  // another page becomes current
  QTest::mouseDClick(form->ImageV()->viewport(), Qt::LeftButton);
  EXPECT_EQ(form->Shell().Store().PageImageWidth(0), 100);
  EXPECT_EQ(form->Shell().Store().PageImageHeight(0), 50);
  EXPECT_EQ(form->Shell().Store().PageImageWidth(1), 500);
  EXPECT_TRUE(crop->isChecked());  // the mode stays
  EXPECT_TRUE(form->ActionByName("sbUndo")->isEnabled());
  form->ActionByName("sbUndo")->trigger();
  EXPECT_EQ(form->Shell().Store().PageImageWidth(0), 400);
  EXPECT_TRUE(form->ActionByName("mnRedo")->isEnabled());
  crop->trigger();
  EXPECT_FALSE(form->ImageV()->RectSelection());
}

TEST_F(WindowPagesTest, PageListCommandsThroughTheirButtons) {
  for (int i = 0; i < 3; ++i)
    AddPage(100 + i, 100, vl8g, 8, 1);
  Click(2);
  form->ActionByName("sbMoveUp")->trigger();
  EXPECT_EQ(form->Shell().Store().PageImageWidth(1), 102);
  form->ActionByName("sbSelectAll")->trigger();
  EXPECT_EQ(form->Shell().Store().SelectedPageCount(), 3);
  form->ActionByName("sbInvertSelect")->trigger();
  EXPECT_EQ(form->Shell().Store().SelectedPageCount(), 0);
  Click(0);
  form->ActionByName("sbDelete")->trigger();
  EXPECT_EQ(form->PageModel()->rowCount(), 2);
  form->ActionByName("sbEmptyAll")->trigger();
  EXPECT_EQ(form->PageModel()->rowCount(), 0);
  EXPECT_FALSE(form->ImageV()->HasImage());
  EXPECT_EQ(form->StatusPanels()->PanelText(1), "        ");
}
