#include "app/gui/waitform.h"

#include <QGuiApplication>
#include <QPainter>
#include <QScreen>
#include <QWindow>

#include <cmath>

namespace {
const char* const kWaitText = "请稍候，正在执行中……";
}

TWaitForm::TWaitForm(QWidget* owner)
    : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint), owner_(owner) {
  setObjectName(QStringLiteral("WaitForm"));
  setFixedSize(289, 71);
  setCursor(Qt::WaitCursor);
  setAttribute(Qt::WA_ShowWithoutActivating);
  timer_.setInterval(kFrameMs);
  connect(&timer_, &QTimer::timeout, this, &TWaitForm::Advance);
}

QString TWaitForm::Text() const { return QString::fromUtf8(kWaitText); }

void TWaitForm::Start() {
  QRect area = owner_ ? owner_->frameGeometry() : QRect();
  if (area.isEmpty() && QGuiApplication::primaryScreen())
    area = QGuiApplication::primaryScreen()->availableGeometry();
  move(area.center() - QPoint(width() / 2, height() / 2));
  if (owner_ && owner_->windowHandle()) {
    winId();
    windowHandle()->setTransientParent(owner_->windowHandle());
  }
  frame_ = 0;
  show();
  raise();
  repaint();
  timer_.start();
}

void TWaitForm::Stop() {
  timer_.stop();
  hide();
}

void TWaitForm::Advance() {
  frame_ = (frame_ + 1) % kFrameCount;
  update();
}

void TWaitForm::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  p.fillRect(rect(), palette().window());
  p.setPen(palette().color(QPalette::Mid));
  p.drawRect(rect().adjusted(0, 0, -1, -1));
  // The animation: six dots on a circle, the frame's dot darkest.
  const QRectF anim(16, (height() - 32) / 2.0, 32, 32);
  const QPointF c = anim.center();
  for (int i = 0; i < kFrameCount; ++i) {
    const double a = 2 * M_PI * i / kFrameCount - M_PI / 2;
    const int age = (frame_ - i + kFrameCount) % kFrameCount;
    QColor dot(30, 100, 180);
    dot.setAlpha(255 - age * 38);
    p.setPen(Qt::NoPen);
    p.setBrush(dot);
    p.drawEllipse(c + QPointF(std::cos(a) * 11, std::sin(a) * 11), 4, 4);
  }
  p.setPen(palette().color(QPalette::WindowText));
  p.drawText(QRect(60, 0, width() - 68, height()), Qt::AlignVCenter | Qt::AlignLeft, Text());
}
