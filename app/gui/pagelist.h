// The page list (ImageMV): a list model over the page store, its view and its delegate.
//
//   TPageListModel     one row per page; follows the store's structural changes (insert, remove,
//                      move, reset) and repaints rows whose image or captions changed, including
//                      thumbnails the background loader finished (queued to the GUI thread)
//   TPageListView      one column of cells; selection stays in the store: a click selects, Ctrl
//                      toggles, Shift adds the range from the current page, dragging a region
//                      selects every cell it touches; everything is applied on mouse-up. The
//                      store's user-input flag is set while the view handles mouse and key
//                      events, and the shell then runs the select and deselect events.
//   TPageDelegate      a 180 x 180 thumbnail box on white with a black border and a soft
//                      shadow (images smaller than the box keep their own size), a red frame 3
//                      pixels wide around selected pages, and the captions below the box
#pragma once

#include <QAbstractListModel>
#include <QListView>
#include <QPointer>
#include <QStyledItemDelegate>

#include "app/shell/shell.h"

class QRubberBand;

class TPageListModel final : public QAbstractListModel, public TPageListObserver {
  Q_OBJECT
 public:
  enum Role { kSelectedRole = Qt::UserRole + 1, kCurrentRole, kInfoTextRole, kBottomTextRole };
  explicit TPageListModel(TVlShell& shell, QObject* parent = nullptr);
  ~TPageListModel() override;

  int rowCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  // The thumbnail of a page (null while it loads in the background).
  QImage Thumbnail(int row) const;
  TVlShell& Shell() const { return shell_; }
  // Repaints every row (captions settings changed, selection changed).
  void RepaintAll();
  // Sets a page's captions from the settings before it is drawn (without a repaint).
  void PrepareCaptions(int row);

  // TPageListObserver
  void BeforeChange(const TVlPageChange& change) override;
  void AfterChange(const TVlPageChange& change) override;
  void PageChanged(std::int32_t index) override;
  void ThumbnailReady(std::int32_t index) override;
  void SelectionChanged() override;
  void Refresh() override;

 private:
  TVlShell& shell_;
  int rows_ = 0;
  bool moving_ = false;
  bool preparing_ = false;
};

class TPageDelegate final : public QStyledItemDelegate {
  Q_OBJECT
 public:
  static constexpr int kThumb = 180;
  static constexpr int kMargin = 8;
  explicit TPageDelegate(TPageListModel& model, QObject* parent = nullptr);
  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
  // The thumbnail box of a cell.
  static QRect BoxRect(const QRect& cell);

 private:
  TPageListModel& model_;
};

class TPageListView final : public QListView {
  Q_OBJECT
 public:
  explicit TPageListView(TPageListModel& model, QWidget* parent = nullptr);
  // Scrolls so that the current page's cell is centred.
  void ScrollToSelected();
  // Index of the cell under a viewport point, -1 when none (PageAtPoint).
  int PageAtPoint(const QPoint& p) const;
  // Tells the store which pages are visible, so only they load in the background.
  void UpdateVisibleRange();

 signals:
  // The user's input changed the selection (after the shell ran its events).
  void UserSelectionDone();

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void scrollContentsBy(int dx, int dy) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void ApplyClick(int page, Qt::KeyboardModifiers modifiers);
  void ApplyRegion(const QRect& region, Qt::KeyboardModifiers modifiers);
  void BeginInput();
  void EndInput();

  TPageListModel& model_;
  QRubberBand* band_ = nullptr;
  QPoint pressPos_;
  bool pressed_ = false, dragging_ = false;
  Qt::KeyboardModifiers pressModifiers_;
};
