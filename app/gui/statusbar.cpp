#include "app/gui/statusbar.h"

#include <QPainter>
#include <QStyleOption>

#include <algorithm>

TVlStatusBar::TVlStatusBar(QWidget* parent) : QStatusBar(parent) {
  setSizeGripEnabled(false);
  static const int kWidths[kPanelCount] = {50, 50, 50, 103, 100};
  for (int i = 0; i < kPanelCount; ++i)
    panels_[i].width = kWidths[i];
}

void TVlStatusBar::SetPanel(int index, const QString& text, int width) {
  if (index < 0 || index >= kPanelCount)
    return;
  panels_[index].text = text;
  panels_[index].width = std::max(0, width);
  progress_ = -1;
  update();
}

void TVlStatusBar::SetPanelText(int index, const QString& text) {
  if (index < 0 || index >= kPanelCount)
    return;
  panels_[index].text = text;
  progress_ = -1;
  update();
}

QString TVlStatusBar::PanelText(int index) const {
  return index >= 0 && index < kPanelCount ? panels_[index].text : QString();
}

int TVlStatusBar::PanelWidth(int index) const { return index >= 0 && index < kPanelCount ? panels_[index].width : 0; }

void TVlStatusBar::SetSimpleText(const QString& text) {
  simple_ = true;
  simpleText_ = text;
  update();
}

void TVlStatusBar::LeaveSimpleMode() {
  if (!simple_)
    return;
  simple_ = false;
  progress_ = -1;
  update();
}

void TVlStatusBar::SetProgress(int percent) {
  progress_ = percent < 0 ? -1 : percent;
  repaint();  // drawn at once: the caller is inside a long loop
}

int TVlStatusBar::ProgressLeft() const { return panels_[0].width + panels_[1].width + panels_[2].width + 1; }

QSize TVlStatusBar::sizeHint() const { return {400, std::max(24, fontMetrics().height() + 8)}; }
QSize TVlStatusBar::minimumSizeHint() const { return {100, 24}; }

void TVlStatusBar::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), palette().window());
  p.setPen(palette().color(QPalette::WindowText));
  const int h = height();
  auto frame = [&](const QRect& r) {
    p.setPen(palette().color(QPalette::Mid));
    p.drawLine(r.topLeft(), r.topRight());
    p.drawLine(r.topLeft(), r.bottomLeft());
    p.setPen(palette().color(QPalette::Light));
    p.drawLine(r.bottomLeft(), r.bottomRight());
    p.drawLine(r.topRight(), r.bottomRight());
    p.setPen(palette().color(QPalette::WindowText));
  };
  if (simple_) {
    QRect r(0, 2, width() - 1, h - 4);
    frame(r);
    p.drawText(r.adjusted(3, 0, -3, 0), Qt::AlignVCenter | Qt::AlignLeft | Qt::TextSingleLine, simpleText_);
    return;
  }
  int x = 0;
  for (int i = 0; i < kPanelCount; ++i) {
    const Panel& panel = panels_[i];
    QRect r(x, 2, std::max(0, panel.width - 2), h - 4);
    frame(r);
    if (i != 3)
      p.drawText(r.adjusted(3, 0, -2, 0), Qt::AlignVCenter | Qt::AlignLeft | Qt::TextSingleLine, panel.text);
    x += panel.width;
  }
  if (progress_ >= 0) {
    const int left = ProgressLeft();
    QRect bar(left, 4, std::min(progress_, 100), 16);
    p.fillRect(bar, QColor(166, 202, 240));
    p.setPen(QColor(128, 128, 128));
    p.drawRect(bar.adjusted(0, 0, -1, -1));
  }
}
