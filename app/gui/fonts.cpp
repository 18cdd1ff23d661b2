#include "app/gui/fonts.h"

#include <QApplication>
#include <QFontDatabase>

QFont ChooseProgramFont(const QStringList& families) {
  auto has = [&](const QString& name) { return families.contains(name, Qt::CaseInsensitive); };
  // The sans faces keep the usual 9-point size (12 pixels at 96 dpi).
  for (const QString& name : {QStringLiteral("微软雅黑"), QStringLiteral("Microsoft YaHei"),
                              QStringLiteral("Noto Sans CJK SC"), QStringLiteral("WenQuanYi Micro Hei")})
    if (has(name)) {
      QFont f(name);
      f.setPointSize(9);
      return f;
    }
  QFont f;
  for (const QString& name : {QStringLiteral("宋体"), QStringLiteral("SimSun"), QStringLiteral("NSimSun"),
                              QStringLiteral("Noto Serif CJK SC"), QStringLiteral("AR PL UMing CN"),
                              QStringLiteral("AR PL SungtiL GB")})
    if (has(name)) {
      f = QFont(name);
      break;
    }
  f.setPixelSize(12);
  return f;
}

void ApplyProgramFont() { QApplication::setFont(ChooseProgramFont(QFontDatabase::families())); }
