#include "app/gui/glyphs.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include <cmath>

namespace {

const QColor kInk(40, 60, 90);
const QColor kAccent(30, 120, 200);
const QColor kPaper(250, 250, 245);

void Page(QPainter& p, QRectF r) {
  QPainterPath path;
  const double fold = r.width() * 0.3;
  path.moveTo(r.left(), r.top());
  path.lineTo(r.right() - fold, r.top());
  path.lineTo(r.right(), r.top() + fold);
  path.lineTo(r.right(), r.bottom());
  path.lineTo(r.left(), r.bottom());
  path.closeSubpath();
  p.setBrush(kPaper);
  p.drawPath(path);
  p.setBrush(Qt::NoBrush);
}

void Lines(QPainter& p, QRectF r, int n) {
  for (int i = 0; i < n; ++i) {
    double y = r.top() + (i + 1) * r.height() / (n + 1);
    p.drawLine(QPointF(r.left(), y), QPointF(r.right() - (i % 2) * r.width() * 0.3, y));
  }
}

void Arrow(QPainter& p, QPointF from, QPointF to) {
  p.drawLine(from, to);
  const double a = std::atan2(to.y() - from.y(), to.x() - from.x());
  const double s = 4.5;
  p.drawLine(to, to - QPointF(std::cos(a - 0.6) * s, std::sin(a - 0.6) * s));
  p.drawLine(to, to - QPointF(std::cos(a + 0.6) * s, std::sin(a + 0.6) * s));
}

void CurvedArrow(QPainter& p, bool clockwise) {
  QRectF arc(5, 5, 14, 14);
  p.drawArc(arc, clockwise ? 200 * 16 : -20 * 16, clockwise ? -250 * 16 : 250 * 16);
  QPointF tip = clockwise ? QPointF(19, 9) : QPointF(5, 9);
  QPointF from = clockwise ? QPointF(16.5, 5.5) : QPointF(7.5, 5.5);
  Arrow(p, from, tip);
}

void Magnifier(QPainter& p) {
  p.drawEllipse(QRectF(3, 3, 13, 13));
  QPen thick = p.pen();
  thick.setWidthF(3);
  p.save();
  p.setPen(thick);
  p.drawLine(QPointF(14.5, 14.5), QPointF(20.5, 20.5));
  p.restore();
}

void Draw(QPainter& p, TGlyph g) {
  QPen pen(kInk, 1.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
  p.setPen(pen);
  switch (g) {
    case TGlyph::open: {
      QPainterPath folder;
      folder.moveTo(2, 6);
      folder.lineTo(9, 6);
      folder.lineTo(11, 8);
      folder.lineTo(21, 8);
      folder.lineTo(21, 19);
      folder.lineTo(2, 19);
      folder.closeSubpath();
      p.setBrush(QColor(240, 200, 90));
      p.drawPath(folder);
      break;
    }
    case TGlyph::save:
      p.setBrush(QColor(120, 150, 200));
      p.drawRoundedRect(QRectF(3, 3, 18, 18), 2, 2);
      p.setBrush(kPaper);
      p.drawRect(QRectF(7, 3, 10, 6));
      p.drawRect(QRectF(6, 13, 12, 8));
      break;
    case TGlyph::scan:
      p.setBrush(QColor(200, 210, 220));
      p.drawRoundedRect(QRectF(2, 10, 20, 9), 2, 2);
      p.setPen(QPen(kAccent, 2));
      p.drawLine(QPointF(4, 13), QPointF(20, 13));
      p.setPen(pen);
      Page(p, QRectF(6, 3, 12, 7));
      break;
    case TGlyph::print:
      Page(p, QRectF(7, 2, 10, 8));
      p.setBrush(QColor(200, 210, 220));
      p.drawRoundedRect(QRectF(2, 9, 20, 8), 2, 2);
      p.setBrush(kPaper);
      p.drawRect(QRectF(7, 15, 10, 6));
      break;
    case TGlyph::exportPages:
      Page(p, QRectF(3, 3, 11, 15));
      p.setPen(QPen(kAccent, 2, Qt::SolidLine, Qt::RoundCap));
      Arrow(p, QPointF(10, 13), QPointF(21, 13));
      break;
    case TGlyph::rotate:
      Page(p, QRectF(8, 9, 9, 12));
      p.setPen(QPen(kAccent, 2, Qt::SolidLine, Qt::RoundCap));
      CurvedArrow(p, false);
      break;
    case TGlyph::resize:
      p.drawRect(QRectF(3, 3, 18, 18));
      p.setPen(QPen(kAccent, 2, Qt::SolidLine, Qt::RoundCap));
      Arrow(p, QPointF(8, 16), QPointF(17, 7));
      Arrow(p, QPointF(16, 8), QPointF(7, 17));
      break;
    case TGlyph::negative:
      p.setBrush(Qt::black);
      p.drawPie(QRectF(3, 3, 18, 18), 90 * 16, 180 * 16);
      p.setBrush(Qt::white);
      p.drawPie(QRectF(3, 3, 18, 18), -90 * 16, 180 * 16);
      break;
    case TGlyph::deskew:
      p.save();
      p.translate(12, 12);
      p.rotate(-12);
      Page(p, QRectF(-7, -9, 14, 18));
      Lines(p, QRectF(-5, -7, 10, 14), 4);
      p.restore();
      break;
    case TGlyph::contrast: {
      QLinearGradient grad(3, 0, 21, 0);
      grad.setColorAt(0, Qt::black);
      grad.setColorAt(1, Qt::white);
      p.setBrush(grad);
      p.drawRect(QRectF(3, 6, 18, 12));
      break;
    }
    case TGlyph::selectAll:
      p.setPen(QPen(kAccent, 1.6, Qt::DashLine));
      p.drawRect(QRectF(3, 3, 18, 18));
      p.setPen(pen);
      Page(p, QRectF(7, 6, 10, 12));
      break;
    case TGlyph::invertSelection:
      Page(p, QRectF(3, 5, 8, 12));
      p.setPen(QPen(kAccent, 1.6, Qt::DashLine));
      p.drawRect(QRectF(13, 4, 9, 14));
      break;
    case TGlyph::moveUp:
      p.setPen(QPen(kAccent, 2.4, Qt::SolidLine, Qt::RoundCap));
      Arrow(p, QPointF(12, 20), QPointF(12, 4));
      break;
    case TGlyph::moveDown:
      p.setPen(QPen(kAccent, 2.4, Qt::SolidLine, Qt::RoundCap));
      Arrow(p, QPointF(12, 4), QPointF(12, 20));
      break;
    case TGlyph::addFiles:
      Page(p, QRectF(3, 3, 12, 16));
      p.setPen(QPen(QColor(40, 150, 60), 2.6, Qt::SolidLine, Qt::RoundCap));
      p.drawLine(QPointF(17, 12), QPointF(17, 22));
      p.drawLine(QPointF(12, 17), QPointF(22, 17));
      break;
    case TGlyph::remove:
      Page(p, QRectF(3, 3, 12, 16));
      p.setPen(QPen(QColor(200, 40, 40), 2.6, Qt::SolidLine, Qt::RoundCap));
      p.drawLine(QPointF(13, 13), QPointF(21, 21));
      p.drawLine(QPointF(21, 13), QPointF(13, 21));
      break;
    case TGlyph::emptyAll:
      p.setBrush(QColor(210, 215, 220));
      p.drawRect(QRectF(6, 7, 12, 14));
      p.drawLine(QPointF(4, 6), QPointF(20, 6));
      p.drawLine(QPointF(10, 3), QPointF(14, 3));
      p.drawLine(QPointF(10, 10), QPointF(10, 18));
      p.drawLine(QPointF(14, 10), QPointF(14, 18));
      break;
    case TGlyph::zoomIn:
      Magnifier(p);
      p.drawLine(QPointF(6.5, 9.5), QPointF(12.5, 9.5));
      p.drawLine(QPointF(9.5, 6.5), QPointF(9.5, 12.5));
      break;
    case TGlyph::zoomOut:
      Magnifier(p);
      p.drawLine(QPointF(6.5, 9.5), QPointF(12.5, 9.5));
      break;
    case TGlyph::fit:
      p.drawRect(QRectF(3, 3, 18, 18));
      p.setPen(QPen(kAccent, 1.8, Qt::SolidLine, Qt::RoundCap));
      Arrow(p, QPointF(12, 12), QPointF(5, 5));
      Arrow(p, QPointF(12, 12), QPointF(19, 19));
      break;
    case TGlyph::actualSize: {
      QFont f;
      f.setPixelSize(10);
      f.setBold(true);
      p.setFont(f);
      p.drawRect(QRectF(2, 5, 20, 14));
      p.drawText(QRectF(2, 5, 20, 14), Qt::AlignCenter, QStringLiteral("1:1"));
      break;
    }
    case TGlyph::navigator:
      p.drawRect(QRectF(2, 4, 20, 16));
      p.setPen(QPen(Qt::red, 1.6));
      p.drawRect(QRectF(9, 8, 8, 7));
      break;
    case TGlyph::crop:
      p.setPen(QPen(kInk, 2.2, Qt::SolidLine, Qt::SquareCap));
      p.drawLine(QPointF(7, 2), QPointF(7, 17));
      p.drawLine(QPointF(7, 17), QPointF(22, 17));
      p.drawLine(QPointF(2, 7), QPointF(17, 7));
      p.drawLine(QPointF(17, 7), QPointF(17, 22));
      break;
    case TGlyph::blur: {
      QRadialGradient grad(12, 12, 10);
      grad.setColorAt(0, kAccent);
      grad.setColorAt(1, QColor(255, 255, 255, 0));
      p.setPen(Qt::NoPen);
      p.setBrush(grad);
      p.drawEllipse(QRectF(2, 2, 20, 20));
      break;
    }
    case TGlyph::undo:
      p.setPen(QPen(kAccent, 2.2, Qt::SolidLine, Qt::RoundCap));
      CurvedArrow(p, false);
      break;
    case TGlyph::redo:
      p.setPen(QPen(kAccent, 2.2, Qt::SolidLine, Qt::RoundCap));
      CurvedArrow(p, true);
      break;
  }
}

}  // namespace

QIcon GlyphIcon(TGlyph glyph) {
  QIcon icon;
  for (int scale : {1, 2}) {
    QPixmap pm(24 * scale, 24 * scale);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(scale, scale);
    Draw(p, glyph);
    p.end();
    icon.addPixmap(pm);
  }
  return icon;
}

QIcon ProgramIcon() {
  QIcon icon;
  for (int size : {16, 32, 48, 64}) {
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 24.0, size / 24.0);
    p.setPen(QPen(kInk, 1.2));
    p.setBrush(QColor(220, 225, 232));
    p.drawRect(QRectF(6, 2, 14, 18));
    Page(p, QRectF(3, 5, 14, 18));
    p.setPen(QPen(kAccent, 1.2));
    Lines(p, QRectF(5, 8, 10, 12), 4);
    p.end();
    icon.addPixmap(pm);
  }
  return icon;
}
