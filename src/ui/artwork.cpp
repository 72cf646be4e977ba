#include "ui/artwork.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace vexon {

namespace {

QPixmap Blank(int w, int h) {
  QPixmap p(w, h);
  p.fill(Qt::transparent);
  return p;
}

void DrawGear(QPainter& g, QRectF r, QColor c) {
  g.setPen(Qt::NoPen);
  g.setBrush(c);
  const QPointF mid = r.center();
  const double outer = r.width() / 2, inner = outer * 0.68;
  QPainterPath path;
  for (int i = 0; i < 16; ++i) {
    const double a = i * 3.14159265358979 / 8;
    const double rad = (i % 2 == 0) ? outer : inner;
    const QPointF p(mid.x() + rad * std::cos(a), mid.y() + rad * std::sin(a));
    if (i == 0) path.moveTo(p); else path.lineTo(p);
  }
  path.closeSubpath();
  g.drawPath(path);
  g.setBrush(Qt::white);
  g.drawEllipse(mid, outer * 0.3, outer * 0.3);
}

void DrawHelp(QPainter& g, QRectF r, QColor c) {
  g.setPen(Qt::NoPen);
  g.setBrush(c);
  g.drawEllipse(r.adjusted(1, 1, -1, -1));
  g.setPen(Qt::white);
  QFont f("DejaVu Sans", 1, QFont::Bold);
  f.setPixelSize(static_cast<int>(r.height() * 0.7));
  g.setFont(f);
  g.drawText(r, Qt::AlignCenter, "?");
}

void DrawExit(QPainter& g, QRectF r, QColor c) {
  // An open door with an arrow leaving through it.
  g.setPen(QPen(c.darker(140), 1));
  g.setBrush(QColor(170, 120, 60));
  g.drawRect(r.adjusted(r.width() * 0.15, 1, -r.width() * 0.45, -1));
  g.setPen(QPen(c, r.width() / 8, Qt::SolidLine, Qt::RoundCap));
  const double y = r.center().y();
  g.drawLine(QPointF(r.left() + r.width() * 0.4, y), QPointF(r.right() - 1, y));
  g.drawLine(QPointF(r.right() - 1, y), QPointF(r.right() - r.width() * 0.25, y - r.height() * 0.2));
  g.drawLine(QPointF(r.right() - 1, y), QPointF(r.right() - r.width() * 0.25, y + r.height() * 0.2));
}

void DrawPicture(QPainter& g, int index, QRectF r) {
  g.setRenderHint(QPainter::Antialiasing);
  switch (index) {
    case 0: DrawGear(g, r.adjusted(1, 1, -1, -1), QColor(60, 90, 150)); break;
    case 1: DrawHelp(g, r, QColor(30, 110, 200)); break;
    default: DrawExit(g, r, QColor(190, 30, 30)); break;
  }
}

}  // namespace

QPixmap MainPicture() {
  QPixmap p = Blank(80, 160);
  QPainter g(&p);
  g.setRenderHint(QPainter::Antialiasing);
  QLinearGradient sky(0, 0, 0, 160);
  sky.setColorAt(0, QColor(0, 160, 90));
  sky.setColorAt(1, QColor(0, 0, 63));
  g.fillRect(p.rect(), sky);
  // Door frame and leaf.
  g.setPen(QPen(QColor(40, 40, 40), 2));
  g.setBrush(QColor(150, 105, 55));
  g.drawRect(QRectF(14, 30, 40, 118));
  g.setBrush(QColor(230, 200, 80));
  g.drawEllipse(QPointF(48, 92), 3, 3);
  // Reader beside the door with its green light.
  g.setBrush(QColor(35, 35, 35));
  g.drawRoundedRect(QRectF(60, 74, 14, 26), 3, 3);
  g.setPen(Qt::NoPen);
  g.setBrush(QColor(0, 255, 0));
  g.drawEllipse(QPointF(67, 81), 3, 3);
  // A card on its way.
  g.setBrush(Qt::white);
  g.drawRoundedRect(QRectF(58, 110, 18, 12), 2, 2);
  g.setBrush(QColor(0, 90, 200));
  g.drawRect(QRectF(58, 113, 18, 3));
  g.setPen(Qt::white);
  QFont f("DejaVu Sans", 1, QFont::Bold);
  f.setPixelSize(12);
  g.setFont(f);
  g.drawText(QRectF(0, 4, 80, 20), Qt::AlignCenter, "VEXON");
  return p;
}

QPixmap ButtonPicture(int index) {
  QPixmap p = Blank(20, 20);
  QPainter g(&p);
  DrawPicture(g, index, QRectF(0, 0, 20, 20));
  return p;
}

QPixmap MenuPictureStrip() {
  QPixmap p = Blank(48, 16);
  QPainter g(&p);
  for (int i = 0; i < 3; ++i) DrawPicture(g, i, QRectF(16.0 * i, 0, 16, 16));
  return p;
}

QPixmap StripCell(const QPixmap& strip, int cell) {
  const int w = strip.width() / 3;
  return strip.copy(w * cell, 0, w, strip.height());
}

std::vector<QIcon> TrayFrames() {
  std::vector<QIcon> frames;
  for (int step = 0; step < 4; ++step) {
    QPixmap p = Blank(32, 32);
    QPainter g(&p);
    g.setRenderHint(QPainter::Antialiasing);
    g.setPen(QPen(QColor(20, 20, 20), 1));
    g.setBrush(QColor(0, 0, 63));
    g.drawRoundedRect(QRectF(6, 1, 20, 30), 4, 4);
    // Four lights; the lit one moves round with the step.
    const QPointF lights[4] = {{12, 8}, {20, 8}, {20, 16}, {12, 16}};
    for (int i = 0; i < 4; ++i) {
      g.setPen(Qt::NoPen);
      g.setBrush(i == step ? QColor(0, 255, 0) : QColor(0, 90, 0));
      g.drawEllipse(lights[i], 3, 3);
    }
    g.setBrush(Qt::white);
    g.drawRect(QRectF(10, 23, 12, 3));
    frames.emplace_back(p);
  }
  return frames;
}

}  // namespace vexon
