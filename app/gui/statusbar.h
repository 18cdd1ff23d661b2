// TVlStatusBar: the five-panel status bar with its single-text mode and the drawn progress bar.
//
// Panels are laid out left to right with their own widths (50, 50, 50, 103 and 100 pixels at
// start); each shows its text in a sunken frame. Single-text mode shows one text across the
// whole bar (status hints). The progress bar is a rectangle from x = (widths of panels 0 to 2)
// + 1, y = 4 to x + min(percent, 100), y = 20, sky blue with a gray outline; it stays until
// the panels are set again or single-text mode ends.
#pragma once

#include <QStatusBar>
#include <QString>

#include <array>

class TVlStatusBar final : public QStatusBar {
  Q_OBJECT
 public:
  static constexpr int kPanelCount = 5;
  explicit TVlStatusBar(QWidget* parent = nullptr);

  void SetPanel(int index, const QString& text, int width);
  void SetPanelText(int index, const QString& text);
  QString PanelText(int index) const;
  int PanelWidth(int index) const;

  void SetSimpleText(const QString& text);  // enters single-text mode
  void LeaveSimpleMode();
  bool SimpleMode() const { return simple_; }
  QString SimpleText() const { return simpleText_; }

  // -1 hides the bar.
  void SetProgress(int percent);
  int Progress() const { return progress_; }
  // Left edge of the progress bar: widths of panels 0 to 2 plus one.
  int ProgressLeft() const;

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  struct Panel {
    QString text;
    int width = 50;
  };
  std::array<Panel, kPanelCount> panels_;
  bool simple_ = false;
  QString simpleText_;
  int progress_ = -1;
};
