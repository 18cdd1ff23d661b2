// TVlImageView: the single-page view (ImageV), and TVlNavigatorView, its navigator (ImageVNav).
//
// The view shows one image on its background colour at a zoom in percent. Zoom modes:
//   fit          the whole image fills the window (reduced or enlarged);
//   auto-shrink  an image larger than the window is reduced to fit, a smaller one shown at the
//                manual zoom (100 % after ShowFitted);
//   manual       the zoom set by SetZoom.
// A new zoom is drawn at once with nearest-pixel sampling and redrawn with linear filtering
// (box averaging when reduced, bilinear when enlarged) after kSmoothDelayMs. The mouse scrolls
// the image (drag); in rectangle-selection mode it draws, moves or resizes a selection rectangle
// in image pixels instead. A click (press and release without moving) emits Clicked, a double
// click DoubleClicked.
//
// Drawing works on the visible part only: a reduced copy of the whole image is kept while it is
// at most kCacheLimit pixels, otherwise the visible part is reduced for each paint.
#pragma once

#include <QAbstractScrollArea>
#include <QImage>
#include <QPointer>
#include <QTimer>

class TVlImageView final : public QAbstractScrollArea {
  Q_OBJECT
 public:
  static constexpr int kSmoothDelayMs = 300;
  static constexpr qint64 kCacheLimit = 4 << 20;
  static constexpr double kMinZoom = 0.5, kMaxZoom = 6400.0;

  explicit TVlImageView(QWidget* parent = nullptr);

  // The image shown (shared, not copied); a null or 1-pixel-wide image shows the background.
  void SetImage(const QImage& image);
  const QImage& Image() const { return src_; }
  bool HasImage() const { return src_.width() > 1; }
  void SetBackground(const QColor& colour);
  QColor Background() const { return background_; }

  // ---- zoom ----
  double Zoom() const { return zoom_; }  // the zoom in effect, percent
  void SetZoom(double percent);          // manual zoom: fit and auto-shrink off
  void SetFit(bool on);
  bool Fit() const { return fit_; }
  void SetAutoShrink(bool on);
  bool AutoShrink() const { return autoShrink_; }
  // Auto-shrink on, enlarging off, fit off, manual zoom 100 (what showing a page does).
  void ShowFitted();
  // True when fit or auto-shrink decides the zoom now.
  bool ShrinkingToFit() const;
  // The zoom at which the whole image fits the window.
  double FitZoom() const;
  // The part of the image in the window, in image pixels.
  QRectF VisibleImageRect() const;
  void CenterOn(const QPointF& imagePoint);
  bool SmoothShown() const { return smooth_; }

  // ---- rectangle selection (crop mode) ----
  void SetRectSelection(bool on);
  bool RectSelection() const { return rectSelection_; }
  QRect Selection() const { return selection_; }  // image pixels, inclusive; empty: none
  void SetSelection(const QRect& r);
  void ClearSelection() { SetSelection(QRect()); }

  // Image pixel under a viewport point (may lie outside the image).
  QPointF ToImage(const QPoint& viewportPoint) const;
  QPoint ToViewport(const QPointF& imagePoint) const;

 signals:
  void ViewChanged();  // zoom or scroll position changed
  void Clicked();
  void DoubleClicked();
  void SelectionChanged(const QRect& selection);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void scrollContentsBy(int dx, int dy) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;

 private:
  void UpdateLayout();
  void ZoomChanged();
  QSize ZoomedSize() const;
  QPoint ImageOrigin() const;  // viewport position of image pixel (0, 0)
  void ApplySmooth();

  QImage src_;
  QColor background_{160, 160, 164};
  double zoom_ = 100, manualZoom_ = 100;
  bool fit_ = false, autoShrink_ = true;
  bool smooth_ = false;
  QTimer smoothTimer_;
  QImage cache_;  // the whole image at the current zoom (below 100 %)
  double cacheZoom_ = -1;
  bool cacheSmooth_ = false;

  bool rectSelection_ = false;
  QRect selection_;
  enum class Drag : std::uint8_t { none, scroll, newRect, moveRect, left, right, top, bottom } drag_ = Drag::none;
  QPoint pressPos_;
  QPoint pressScroll_;
  QRect pressSelection_;
  bool moved_ = false;
};

class TVlNavigatorView final : public QWidget {
  Q_OBJECT
 public:
  explicit TVlNavigatorView(TVlImageView* view, QWidget* parent = nullptr);
  void SetBackground(const QColor& colour);
  // Rebuilds the reduced picture (after the view's image changed).
  void ImageChanged();
  // The rectangle of the view's visible part in this widget's coordinates.
  QRectF VisibleFrame() const;

 signals:
  void DoubleClicked();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;

 private:
  QRectF PictureRect() const;
  void MoveViewTo(const QPoint& p);
  QPointer<TVlImageView> view_;
  QColor background_{160, 160, 164};
  QImage picture_;
};
