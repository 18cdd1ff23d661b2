// TAboutForm: the about box (272 x 115, fixed, centred on the desktop): the program icon,
// "Vellumo" in 24-pixel bold, "ver " and the version text, the version date and a link to
// the home page that opens in the browser.
#pragma once

#include <QDialog>

class TAboutForm final : public QDialog {
  Q_OBJECT
 public:
  explicit TAboutForm(QWidget* parent = nullptr);
};
