#include "app/gui/pagelist.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QRubberBand>
#include <QScrollBar>

#include <algorithm>

#include "app/gui/imageconv.h"

// ---------------------------------------------------------------------------------------------
// Model

TPageListModel::TPageListModel(TVlShell& shell, QObject* parent) : QAbstractListModel(parent), shell_(shell) {
  rows_ = shell_.Store().PageCount();
  shell_.SetPageListObserver(this);
}

TPageListModel::~TPageListModel() = default;

int TPageListModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : rows_; }

QVariant TPageListModel::data(const QModelIndex& index, int role) const {
  const int row = index.row();
  if (!index.isValid() || row < 0 || row >= rows_)
    return {};
  TVlPageStore& s = shell_.Store();
  switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
      return QString::fromStdString(s.PageFileName(row));
    case kSelectedRole:
      return s.IsPageSelected(row);
    case kCurrentRole:
      return s.SelectedPage() == row;
    case kInfoTextRole:
      return QString::fromStdString(s.PageInfoText(row));
    case kBottomTextRole:
      return QString::fromStdString(s.PageBottomText(row));
    default:
      return {};
  }
}

QImage TPageListModel::Thumbnail(int row) const {
  TVlBitmap thumb;
  const TVlThumbState st = shell_.Store().PageThumbnail(row, thumb);
  if (st != TVlThumbState::ready && st != TVlThumbState::failed)
    return {};
  return VlToQImage(thumb);
}

void TPageListModel::RepaintAll() {
  if (rows_ > 0)
    emit dataChanged(index(0), index(rows_ - 1));
}

void TPageListModel::BeforeChange(const TVlPageChange& c) {
  switch (c.kind) {
    case TVlPageChange::insert: {
      const int at = std::clamp(c.index, 0, rows_);
      beginInsertRows({}, at, at);
      break;
    }
    case TVlPageChange::remove:
      if (c.index >= 0 && c.index < rows_)
        beginRemoveRows({}, c.index, c.index);
      break;
    case TVlPageChange::move: {
      // Qt names the row the moved one goes in front of.
      const int to = std::clamp(c.index2, 0, rows_ - 1);
      const int dest = to > c.index ? to + 1 : to;
      moving_ = c.index >= 0 && c.index < rows_ && beginMoveRows({}, c.index, c.index, {}, dest);
      break;
    }
    case TVlPageChange::reset:
      beginResetModel();
      break;
  }
}

void TPageListModel::AfterChange(const TVlPageChange& c) {
  switch (c.kind) {
    case TVlPageChange::insert:
      ++rows_;
      endInsertRows();
      break;
    case TVlPageChange::remove:
      if (c.index >= 0 && c.index < rows_) {
        --rows_;
        endRemoveRows();
      }
      break;
    case TVlPageChange::move:
      if (moving_)
        endMoveRows();
      moving_ = false;
      break;
    case TVlPageChange::reset:
      rows_ = shell_.Store().PageCount();
      endResetModel();
      break;
  }
}

void TPageListModel::PrepareCaptions(int row) {
  preparing_ = true;
  shell_.UpdateCaptions(row);
  preparing_ = false;
}

void TPageListModel::PageChanged(std::int32_t i) {
  if (!preparing_ && i >= 0 && i < rows_)
    emit dataChanged(index(i), index(i));
}

void TPageListModel::ThumbnailReady(std::int32_t i) {
  // Loader thread: repaint the row on the GUI thread (dropped if the model is gone).
  QMetaObject::invokeMethod(
      this, [this, i] { PageChanged(i); }, Qt::QueuedConnection);
}

void TPageListModel::SelectionChanged() { RepaintAll(); }

void TPageListModel::Refresh() { RepaintAll(); }

// ---------------------------------------------------------------------------------------------
// Delegate

TPageDelegate::TPageDelegate(TPageListModel& model, QObject* parent) : QStyledItemDelegate(parent), model_(model) {}

QRect TPageDelegate::BoxRect(const QRect& cell) {
  return {cell.left() + (cell.width() - kThumb) / 2, cell.top() + kMargin, kThumb, kThumb};
}

QSize TPageDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const {
  const TShellSettings& s = model_.Shell().settings;
  const int line = option.fontMetrics.height() + 2;
  int h = kMargin + kThumb + kMargin;
  if (s.showPageNumber)
    h += line;
  if (s.showResolution)
    h += line + 4;
  return {kThumb + 2 * kMargin + 6, h};
}

void TPageDelegate::paint(QPainter* p, const QStyleOptionViewItem& option, const QModelIndex& index) const {
  const int row = index.row();
  model_.PrepareCaptions(row);
  const QRect cell = option.rect;
  p->save();
  p->fillRect(cell, Qt::white);
  const QRect box = BoxRect(cell);
  const QImage thumb = model_.Thumbnail(row);
  QRect pic;
  if (!thumb.isNull()) {
    // Images smaller than the box keep their size; larger ones arrive reduced from the store.
    const QSize sz = thumb.size().boundedTo(box.size());
    pic = QRect(box.left() + (box.width() - sz.width()) / 2, box.top() + (box.height() - sz.height()) / 2,
                sz.width(), sz.height());
    // Soft shadow.
    p->setPen(Qt::NoPen);
    for (int k = 4; k >= 1; --k) {
      p->setBrush(QColor(0, 0, 0, 18 + (4 - k) * 10));
      p->drawRect(pic.translated(k, k));
    }
    p->drawImage(pic, thumb);
    p->setPen(QPen(Qt::black, 1));
    p->setBrush(Qt::NoBrush);
    p->drawRect(pic.adjusted(-1, -1, 0, 0));
  } else {
    // Still loading.
    p->setPen(QPen(QColor(200, 200, 200), 1, Qt::DotLine));
    p->setBrush(Qt::NoBrush);
    p->drawRect(box.adjusted(40, 40, -41, -41));
  }
  if (index.data(TPageListModel::kSelectedRole).toBool()) {
    p->setPen(QPen(Qt::red, 3, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin));
    p->setBrush(Qt::NoBrush);
    p->drawRect(box.adjusted(-4, -4, 4, 4));
  }
  p->setPen(Qt::black);
  p->setFont(option.font);
  const int line = option.fontMetrics.height() + 2;
  int y = box.bottom() + kMargin;
  const QString info = index.data(TPageListModel::kInfoTextRole).toString();
  if (!info.isEmpty()) {
    p->drawText(QRect(cell.left(), y, cell.width(), line), Qt::AlignCenter, info);
    y += line;
  }
  const QString bottom = index.data(TPageListModel::kBottomTextRole).toString();
  if (!bottom.isEmpty())
    p->drawText(QRect(cell.left(), y, cell.width(), line), Qt::AlignCenter, bottom);
  p->restore();
}

// ---------------------------------------------------------------------------------------------
// View

TPageListView::TPageListView(TPageListModel& model, QWidget* parent) : QListView(parent), model_(model) {
  setObjectName(QStringLiteral("ImageMV"));
  setModel(&model_);
  setItemDelegate(new TPageDelegate(model_, this));
  setSelectionMode(QAbstractItemView::NoSelection);
  setViewMode(QListView::ListMode);
  setFlow(QListView::TopToBottom);
  setUniformItemSizes(true);
  setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
  verticalScrollBar()->setSingleStep(24);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setFocusPolicy(Qt::StrongFocus);
  QPalette pal = palette();
  pal.setColor(QPalette::Base, Qt::white);
  setPalette(pal);
  setMinimumWidth(TPageDelegate::kThumb + 2 * TPageDelegate::kMargin + 6 + verticalScrollBar()->sizeHint().width() + 4);
  band_ = new QRubberBand(QRubberBand::Rectangle, viewport());
  connect(&model_, &QAbstractItemModel::rowsInserted, this, [this] { UpdateVisibleRange(); });
  connect(&model_, &QAbstractItemModel::modelReset, this, [this] { UpdateVisibleRange(); });
}

int TPageListView::PageAtPoint(const QPoint& p) const {
  const QModelIndex i = indexAt(p);
  return i.isValid() ? i.row() : -1;
}

void TPageListView::ScrollToSelected() {
  const int current = model_.Shell().Store().SelectedPage();
  if (current >= 0 && current < model_.rowCount())
    scrollTo(model_.index(current), QAbstractItemView::PositionAtCenter);
}

void TPageListView::UpdateVisibleRange() {
  TVlPageStore& s = model_.Shell().Store();
  const int rows = model_.rowCount();
  if (rows == 0)
    return;
  const QModelIndex top = indexAt(QPoint(viewport()->width() / 2, 1));
  const QModelIndex bottom = indexAt(QPoint(viewport()->width() / 2, viewport()->height() - 2));
  const int first = top.isValid() ? top.row() : 0;
  const int last = bottom.isValid() ? bottom.row() : rows - 1;
  s.SetVisibleRange(std::max(0, first - 2), std::min(rows - 1, last + 2));
}

void TPageListView::scrollContentsBy(int dx, int dy) {
  QListView::scrollContentsBy(dx, dy);
  UpdateVisibleRange();
}

void TPageListView::resizeEvent(QResizeEvent* event) {
  QListView::resizeEvent(event);
  UpdateVisibleRange();
}

void TPageListView::BeginInput() { model_.Shell().Store().SetUserInput(true); }

void TPageListView::EndInput() {
  TVlPageStore& s = model_.Shell().Store();
  s.SetUserInput(false);
  s.SetMultiSelectionMode(false);
  model_.Shell().FlushSelectionEvents();
  viewport()->update();
  emit UserSelectionDone();
}

void TPageListView::mousePressEvent(QMouseEvent* event) {
  setFocus(Qt::MouseFocusReason);
  if (event->button() != Qt::LeftButton)
    return;
  pressed_ = true;
  dragging_ = false;
  pressPos_ = event->position().toPoint();
  pressModifiers_ = event->modifiers();
}

void TPageListView::mouseMoveEvent(QMouseEvent* event) {
  if (!pressed_)
    return;
  const QPoint pos = event->position().toPoint();
  if (!dragging_ && (pos - pressPos_).manhattanLength() >= 4)
    dragging_ = true;
  if (dragging_) {
    band_->setGeometry(QRect(pressPos_, pos).normalized());
    band_->show();
  }
}

void TPageListView::mouseReleaseEvent(QMouseEvent* event) {
  if (!pressed_ || event->button() != Qt::LeftButton)
    return;
  pressed_ = false;
  const QPoint pos = event->position().toPoint();
  BeginInput();
  if (dragging_) {
    band_->hide();
    ApplyRegion(QRect(pressPos_, pos).normalized(), pressModifiers_ | event->modifiers());
  } else {
    ApplyClick(PageAtPoint(pressPos_), pressModifiers_ | event->modifiers());
  }
  dragging_ = false;
  EndInput();
}

void TPageListView::mouseDoubleClickEvent(QMouseEvent* event) { mousePressEvent(event); }

void TPageListView::ApplyClick(int page, Qt::KeyboardModifiers mods) {
  TVlPageStore& s = model_.Shell().Store();
  if (page < 0) {
    if (!(mods & (Qt::ControlModifier | Qt::ShiftModifier)))
      s.DeselectAll();
    return;
  }
  if (mods & Qt::ShiftModifier) {
    const int from = s.SelectedPage() >= 0 ? s.SelectedPage() : page;
    s.SetMultiSelectionMode(true);
    const int lo = std::min(from, page), hi = std::max(from, page);
    for (int i = lo; i <= hi; ++i)
      if (i != page && !s.IsPageSelected(i))
        s.SelectPage(i);
    if (s.IsPageSelected(page))
      s.DeselectPage(page);  // selected again below, as the current page
    s.SelectPage(page);
  } else if (mods & Qt::ControlModifier) {
    s.SetMultiSelectionMode(true);
    s.SelectPage(page);  // toggles
  } else {
    if (s.SelectedPageCount() > 1 || s.SelectedPage() != page)
      s.DeselectAll();
    s.SelectPage(page);
  }
}

void TPageListView::ApplyRegion(const QRect& region, Qt::KeyboardModifiers mods) {
  TVlPageStore& s = model_.Shell().Store();
  std::vector<int> hit;
  for (int i = 0; i < model_.rowCount(); ++i)
    if (visualRect(model_.index(i)).intersects(region))
      hit.push_back(i);
  if (!(mods & (Qt::ControlModifier | Qt::ShiftModifier)))
    s.DeselectAll();
  s.SetMultiSelectionMode(true);
  for (int i : hit)
    if (!s.IsPageSelected(i))
      s.SelectPage(i);
}

void TPageListView::keyPressEvent(QKeyEvent* event) {
  TVlPageStore& s = model_.Shell().Store();
  const int rows = model_.rowCount();
  if (rows == 0) {
    QListView::keyPressEvent(event);
    return;
  }
  const int current = s.SelectedPage();
  const int perPage = std::max(1, viewport()->height() / std::max(1, sizeHintForRow(0)));
  int target = -1;
  switch (event->key()) {
    case Qt::Key_Up: target = current < 0 ? 0 : current - 1; break;
    case Qt::Key_Down: target = current < 0 ? 0 : current + 1; break;
    case Qt::Key_Home: target = 0; break;
    case Qt::Key_End: target = rows - 1; break;
    case Qt::Key_PageUp: target = current - perPage; break;
    case Qt::Key_PageDown: target = current + perPage; break;
    default:
      QListView::keyPressEvent(event);
      return;
  }
  target = std::clamp(target, 0, rows - 1);
  BeginInput();
  if (target != current || s.SelectedPageCount() > 1) {
    s.DeselectAll();
    s.SelectPage(target);
  }
  EndInput();
  scrollTo(model_.index(target));
}
