#include "app/gui/aboutform.h"

#include <QDesktopServices>
#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QUrl>

#include "app/gui/glyphs.h"
#include "app/shell/version.h"

TAboutForm::TAboutForm(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("AboutForm"));
  setWindowTitle(QStringLiteral("关于"));
  setFixedSize(272, 115);
  setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);

  auto* icon = new QLabel(this);
  icon->setPixmap(ProgramIcon().pixmap(48, 48));
  icon->setGeometry(12, 14, 48, 48);

  auto* title = new QLabel(QString::fromUtf8(kAppTitle), this);
  title->setObjectName(QStringLiteral("lbTitle"));
  QFont big = font();
  big.setPixelSize(24);
  big.setBold(true);
  title->setFont(big);
  title->setGeometry(72, 8, 190, 32);

  auto* version = new QLabel(QStringLiteral("ver ") + QString::fromUtf8(kVersionText), this);
  version->setObjectName(QStringLiteral("lbVersion"));
  version->setGeometry(74, 42, 90, 18);
  auto* date = new QLabel(QString::fromUtf8(kVersionDate), this);
  date->setObjectName(QStringLiteral("lbDate"));
  date->setGeometry(164, 42, 100, 18);

  const QString url = QString::fromUtf8(kHomePageUrl);
  auto* link = new QLabel(QStringLiteral("<a href=\"%1\">%1</a>").arg(url.toHtmlEscaped()), this);
  link->setObjectName(QStringLiteral("lbHomePage"));
  link->setTextFormat(Qt::RichText);
  link->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
  link->setOpenExternalLinks(false);
  connect(link, &QLabel::linkActivated, this, [](const QString& href) { QDesktopServices::openUrl(QUrl(href)); });
  link->setGeometry(12, 80, 250, 20);

  if (QScreen* s = QGuiApplication::primaryScreen())
    move(s->availableGeometry().center() - QPoint(width() / 2, height() / 2));
}
