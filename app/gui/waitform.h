// TWaitForm: the busy window shown while a command works.
//
// Borderless, 289 x 71 pixels, always on top, centred on the main window, with the hourglass
// cursor and the text "请稍候，正在执行中……" beside a 32 x 32 animation of 6 frames at 300 ms.
// The window has no parent widget, so disabling the main window leaves it painting.
#pragma once

#include <QTimer>
#include <QWidget>

class TWaitForm final : public QWidget {
  Q_OBJECT
 public:
  static constexpr int kFrameCount = 6;
  static constexpr int kFrameMs = 300;

  explicit TWaitForm(QWidget* owner);
  // Centres on the owner, shows, paints at once and starts the animation.
  void Start();
  void Stop();
  int Frame() const { return frame_; }
  QString Text() const;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void Advance();
  QWidget* owner_;
  QTimer timer_;
  int frame_ = 0;
};
