#include "app/gui/imageview.h"

#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>

#include <algorithm>
#include <cmath>

#include "app/gui/imageconv.h"

TVlImageView::TVlImageView(QWidget* parent) : QAbstractScrollArea(parent) {
  setObjectName(QStringLiteral("ImageV"));
  setFrameShape(QFrame::NoFrame);
  viewport()->setMouseTracking(true);
  smoothTimer_.setSingleShot(true);
  smoothTimer_.setInterval(kSmoothDelayMs);
  connect(&smoothTimer_, &QTimer::timeout, this, &TVlImageView::ApplySmooth);
  horizontalScrollBar()->setSingleStep(20);
  verticalScrollBar()->setSingleStep(20);
}

void TVlImageView::SetImage(const QImage& image) {
  src_ = image;
  if (!HasImage())
    selection_ = QRect();
  cache_ = QImage();
  cacheZoom_ = -1;
  UpdateLayout();
  ZoomChanged();
}

void TVlImageView::SetBackground(const QColor& colour) {
  background_ = colour;
  viewport()->update();
}

QSize TVlImageView::ZoomedSize() const {
  if (!HasImage())
    return {0, 0};
  return {std::max(1, static_cast<int>(std::lround(src_.width() * zoom_ / 100.0))),
          std::max(1, static_cast<int>(std::lround(src_.height() * zoom_ / 100.0)))};
}

double TVlImageView::FitZoom() const {
  if (!HasImage())
    return 100;
  const QSize area = maximumViewportSize();
  const double zx = 100.0 * std::max(1, area.width()) / src_.width();
  const double zy = 100.0 * std::max(1, area.height()) / src_.height();
  return std::clamp(std::min(zx, zy), kMinZoom, kMaxZoom);
}

bool TVlImageView::ShrinkingToFit() const {
  if (!HasImage())
    return fit_ || autoShrink_;
  return fit_ || (autoShrink_ && FitZoom() < manualZoom_);
}

void TVlImageView::UpdateLayout() {
  const double old = zoom_;
  if (fit_)
    zoom_ = FitZoom();
  else if (autoShrink_)
    zoom_ = std::min(manualZoom_, FitZoom());
  else
    zoom_ = manualZoom_;
  const QSize z = ZoomedSize();
  const QSize vp = viewport()->size();
  const bool fitting = fit_ || (autoShrink_ && zoom_ < manualZoom_);
  setHorizontalScrollBarPolicy(fitting ? Qt::ScrollBarAlwaysOff : Qt::ScrollBarAsNeeded);
  setVerticalScrollBarPolicy(fitting ? Qt::ScrollBarAlwaysOff : Qt::ScrollBarAsNeeded);
  horizontalScrollBar()->setRange(0, std::max(0, z.width() - vp.width()));
  horizontalScrollBar()->setPageStep(vp.width());
  verticalScrollBar()->setRange(0, std::max(0, z.height() - vp.height()));
  verticalScrollBar()->setPageStep(vp.height());
  if (old != zoom_)
    ZoomChanged();
}

void TVlImageView::ZoomChanged() {
  smooth_ = false;
  smoothTimer_.start();
  viewport()->update();
  emit ViewChanged();
}

void TVlImageView::ApplySmooth() {
  smooth_ = true;
  viewport()->update();
}

void TVlImageView::SetZoom(double percent) {
  if (!std::isfinite(percent))
    return;
  // Keep the image point at the window's centre where it is.
  const QPointF centre = ToImage(viewport()->rect().center());
  fit_ = false;
  autoShrink_ = false;
  manualZoom_ = std::clamp(percent, kMinZoom, kMaxZoom);
  const double old = zoom_;
  UpdateLayout();
  if (old == zoom_)
    ZoomChanged();
  CenterOn(centre);
}

void TVlImageView::SetFit(bool on) {
  fit_ = on;
  UpdateLayout();
  ZoomChanged();
}

void TVlImageView::SetAutoShrink(bool on) {
  autoShrink_ = on;
  UpdateLayout();
}

void TVlImageView::ShowFitted() {
  fit_ = false;
  autoShrink_ = true;
  manualZoom_ = 100;
  UpdateLayout();
  horizontalScrollBar()->setValue(0);
  verticalScrollBar()->setValue(0);
}

QPoint TVlImageView::ImageOrigin() const {
  const QSize z = ZoomedSize();
  const QSize vp = viewport()->size();
  const int x = z.width() < vp.width() ? (vp.width() - z.width()) / 2 : -horizontalScrollBar()->value();
  const int y = z.height() < vp.height() ? (vp.height() - z.height()) / 2 : -verticalScrollBar()->value();
  return {x, y};
}

QPointF TVlImageView::ToImage(const QPoint& p) const {
  const QPoint o = ImageOrigin();
  return {(p.x() - o.x()) * 100.0 / zoom_, (p.y() - o.y()) * 100.0 / zoom_};
}

QPoint TVlImageView::ToViewport(const QPointF& ip) const {
  const QPoint o = ImageOrigin();
  return {o.x() + static_cast<int>(std::lround(ip.x() * zoom_ / 100.0)),
          o.y() + static_cast<int>(std::lround(ip.y() * zoom_ / 100.0))};
}

QRectF TVlImageView::VisibleImageRect() const {
  if (!HasImage())
    return {};
  QRectF r(ToImage(QPoint(0, 0)), ToImage(QPoint(viewport()->width(), viewport()->height())));
  return r.intersected(QRectF(0, 0, src_.width(), src_.height()));
}

void TVlImageView::CenterOn(const QPointF& ip) {
  const QSize vp = viewport()->size();
  horizontalScrollBar()->setValue(static_cast<int>(std::lround(ip.x() * zoom_ / 100.0 - vp.width() / 2.0)));
  verticalScrollBar()->setValue(static_cast<int>(std::lround(ip.y() * zoom_ / 100.0 - vp.height() / 2.0)));
  viewport()->update();
  emit ViewChanged();
}

void TVlImageView::resizeEvent(QResizeEvent* event) {
  QAbstractScrollArea::resizeEvent(event);
  UpdateLayout();
  viewport()->update();
}

void TVlImageView::scrollContentsBy(int, int) {
  viewport()->update();
  emit ViewChanged();
}

void TVlImageView::paintEvent(QPaintEvent* event) {
  QPainter p(viewport());
  p.fillRect(event->rect(), background_);
  if (!HasImage())
    return;
  const QPoint o = ImageOrigin();
  const QSize z = ZoomedSize();
  const QRect target(o, z);
  const QRect visible = target.intersected(event->rect()).intersected(viewport()->rect());
  if (visible.isEmpty())
    return;
  if (zoom_ < 100.0) {
    if (qint64(z.width()) * z.height() <= kCacheLimit) {
      if (cache_.isNull() || cacheZoom_ != zoom_ || cacheSmooth_ != smooth_ || cache_.size() != z) {
        cache_ = VlScaleForScreen(src_, z.width(), z.height(), smooth_);
        cacheZoom_ = zoom_;
        cacheSmooth_ = smooth_;
      }
      p.drawImage(visible.topLeft(), cache_, visible.translated(-o));
    } else {
      // Reduce only the visible part: its source rectangle, one pixel wider on each side.
      const QRectF src = QRectF(ToImage(visible.topLeft()), ToImage(visible.bottomRight() + QPoint(1, 1)));
      const QRect s = src.toAlignedRect().adjusted(-1, -1, 1, 1).intersected(src_.rect());
      const QRect dest(ToViewport(s.topLeft()), ToViewport(s.bottomRight() + QPoint(1, 1)) - QPoint(1, 1));
      QImage part = VlScaleForScreen(src_.copy(s), std::max(1, dest.width()), std::max(1, dest.height()), smooth_);
      p.drawImage(dest.topLeft(), part);
    }
  } else {
    const QRectF src = QRectF(ToImage(visible.topLeft()), ToImage(visible.bottomRight() + QPoint(1, 1)));
    const QRect s = src.toAlignedRect().adjusted(-1, -1, 1, 1).intersected(src_.rect());
    const QRectF dest(QPointF(o.x() + s.x() * zoom_ / 100.0, o.y() + s.y() * zoom_ / 100.0),
                      QSizeF(s.width() * zoom_ / 100.0, s.height() * zoom_ / 100.0));
    p.setRenderHint(QPainter::SmoothPixmapTransform, smooth_);
    p.drawImage(dest, src_.copy(s));
  }
  if (!selection_.isEmpty()) {
    const QPoint a = ToViewport(selection_.topLeft());
    const QPoint b = ToViewport(QPointF(selection_.right() + 1, selection_.bottom() + 1));
    QRect r(a, b - QPoint(1, 1));
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(Qt::white, 1));
    p.drawRect(r);
    p.setPen(QPen(Qt::black, 1, Qt::DashLine));
    p.drawRect(r);
  }
}

// ---- mouse ----

void TVlImageView::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) {
    QAbstractScrollArea::mousePressEvent(event);
    return;
  }
  pressPos_ = event->position().toPoint();
  pressScroll_ = {horizontalScrollBar()->value(), verticalScrollBar()->value()};
  pressSelection_ = selection_;
  moved_ = false;
  drag_ = Drag::scroll;
  if (rectSelection_ && HasImage()) {
    drag_ = Drag::newRect;
    if (!selection_.isEmpty()) {
      const QRect r(ToViewport(selection_.topLeft()),
                    ToViewport(QPointF(selection_.right() + 1, selection_.bottom() + 1)));
      const int grip = 5;
      const QPoint q = pressPos_;
      const bool inY = q.y() >= r.top() - grip && q.y() <= r.bottom() + grip;
      const bool inX = q.x() >= r.left() - grip && q.x() <= r.right() + grip;
      if (inY && std::abs(q.x() - r.left()) <= grip)
        drag_ = Drag::left;
      else if (inY && std::abs(q.x() - r.right()) <= grip)
        drag_ = Drag::right;
      else if (inX && std::abs(q.y() - r.top()) <= grip)
        drag_ = Drag::top;
      else if (inX && std::abs(q.y() - r.bottom()) <= grip)
        drag_ = Drag::bottom;
      else if (r.contains(q))
        drag_ = Drag::moveRect;
    }
  }
  if (drag_ == Drag::scroll)
    viewport()->setCursor(Qt::ClosedHandCursor);
}

void TVlImageView::mouseMoveEvent(QMouseEvent* event) {
  if (drag_ == Drag::none)
    return;
  const QPoint pos = event->position().toPoint();
  if (!moved_ && (pos - pressPos_).manhattanLength() < 3)
    return;
  moved_ = true;
  const QPoint d = pos - pressPos_;
  if (drag_ == Drag::scroll) {
    horizontalScrollBar()->setValue(pressScroll_.x() - d.x());
    verticalScrollBar()->setValue(pressScroll_.y() - d.y());
    return;
  }
  const QRect bounds = src_.rect();
  const QPointF ip = ToImage(pos);
  const int ix = std::clamp(static_cast<int>(std::floor(ip.x())), 0, src_.width() - 1);
  const int iy = std::clamp(static_cast<int>(std::floor(ip.y())), 0, src_.height() - 1);
  QRect r = pressSelection_;
  switch (drag_) {
    case Drag::newRect: {
      const QPointF start = ToImage(pressPos_);
      const int sx = std::clamp(static_cast<int>(std::floor(start.x())), 0, src_.width() - 1);
      const int sy = std::clamp(static_cast<int>(std::floor(start.y())), 0, src_.height() - 1);
      r = QRect(QPoint(std::min(sx, ix), std::min(sy, iy)), QPoint(std::max(sx, ix), std::max(sy, iy)));
      break;
    }
    case Drag::moveRect: {
      const QPoint shift(static_cast<int>(std::lround(d.x() * 100.0 / zoom_)),
                         static_cast<int>(std::lround(d.y() * 100.0 / zoom_)));
      r.translate(shift);
      if (r.left() < 0)
        r.moveLeft(0);
      if (r.top() < 0)
        r.moveTop(0);
      if (r.right() > bounds.right())
        r.moveRight(bounds.right());
      if (r.bottom() > bounds.bottom())
        r.moveBottom(bounds.bottom());
      break;
    }
    case Drag::left:
      r.setLeft(std::min(ix, r.right()));
      break;
    case Drag::right:
      r.setRight(std::max(ix, r.left()));
      break;
    case Drag::top:
      r.setTop(std::min(iy, r.bottom()));
      break;
    case Drag::bottom:
      r.setBottom(std::max(iy, r.top()));
      break;
    default:
      break;
  }
  selection_ = r.intersected(bounds);
  viewport()->update();
}

void TVlImageView::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton || drag_ == Drag::none) {
    QAbstractScrollArea::mouseReleaseEvent(event);
    return;
  }
  const Drag d = drag_;
  drag_ = Drag::none;
  viewport()->unsetCursor();
  if (!moved_) {
    emit Clicked();
    return;
  }
  if (d != Drag::scroll && selection_ != pressSelection_)
    emit SelectionChanged(selection_);
}

void TVlImageView::mouseDoubleClickEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton)
    emit DoubleClicked();
}

void TVlImageView::SetRectSelection(bool on) {
  rectSelection_ = on;
  if (!on)
    selection_ = QRect();
  viewport()->update();
}

void TVlImageView::SetSelection(const QRect& r) {
  selection_ = HasImage() ? r.intersected(src_.rect()) : QRect();
  viewport()->update();
}

// ---------------------------------------------------------------------------------------------
// Navigator

TVlNavigatorView::TVlNavigatorView(TVlImageView* view, QWidget* parent) : QWidget(parent), view_(view) {
  setObjectName(QStringLiteral("ImageVNav"));
  setCursor(Qt::PointingHandCursor);
  if (view_)
    connect(view_, &TVlImageView::ViewChanged, this, qOverload<>(&QWidget::update));
}

void TVlNavigatorView::SetBackground(const QColor& colour) {
  background_ = colour;
  update();
}

QRectF TVlNavigatorView::PictureRect() const {
  if (!view_ || !view_->HasImage())
    return {};
  const QImage& img = view_->Image();
  const double s = std::min(double(width()) / img.width(), double(height()) / img.height());
  const double w = img.width() * s, h = img.height() * s;
  return {(width() - w) / 2.0, (height() - h) / 2.0, w, h};
}

void TVlNavigatorView::ImageChanged() {
  picture_ = QImage();
  const QRectF r = PictureRect();
  if (!r.isEmpty())
    picture_ = VlScaleForScreen(view_->Image(), std::max(1, int(r.width())), std::max(1, int(r.height())), true);
  update();
}

void TVlNavigatorView::resizeEvent(QResizeEvent*) { ImageChanged(); }

QRectF TVlNavigatorView::VisibleFrame() const {
  const QRectF pic = PictureRect();
  if (pic.isEmpty())
    return {};
  const QImage& img = view_->Image();
  const double s = pic.width() / img.width();
  const QRectF v = view_->VisibleImageRect();
  return {pic.x() + v.x() * s, pic.y() + v.y() * s, v.width() * s, v.height() * s};
}

void TVlNavigatorView::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), background_);
  const QRectF pic = PictureRect();
  if (pic.isEmpty() || picture_.isNull())
    return;
  p.drawImage(pic.topLeft(), picture_);
  p.setPen(QPen(Qt::red, 2));
  p.setBrush(Qt::NoBrush);
  p.drawRect(VisibleFrame().adjusted(1, 1, -1, -1));
}

void TVlNavigatorView::MoveViewTo(const QPoint& pos) {
  const QRectF pic = PictureRect();
  if (pic.isEmpty())
    return;
  const double s = pic.width() / view_->Image().width();
  view_->CenterOn(QPointF((pos.x() - pic.x()) / s, (pos.y() - pic.y()) / s));
}

void TVlNavigatorView::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton)
    MoveViewTo(event->position().toPoint());
}

void TVlNavigatorView::mouseMoveEvent(QMouseEvent* event) {
  if (event->buttons() & Qt::LeftButton)
    MoveViewTo(event->position().toPoint());
}

void TVlNavigatorView::mouseDoubleClickEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton)
    emit DoubleClicked();
}
