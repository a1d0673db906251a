#include "app/core/artwork.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

namespace ravelin {
namespace {

// Every icon is drawn on a 64 x 64 design grid and scaled.
template <typename Draw>
QIcon PaintedIcon(Draw draw) {
  QIcon icon;
  for (int size : {16, 24, 32, 48, 64}) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 64.0, size / 64.0);
    draw(p);
    p.end();
    icon.addPixmap(pixmap);
  }
  return icon;
}

void Tick(QPainter& p, const QColor& color, qreal width) {
  QPen pen(color, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
  p.setPen(pen);
  p.setBrush(Qt::NoBrush);
  QPainterPath path;
  path.moveTo(14, 34);
  path.lineTo(27, 47);
  path.lineTo(51, 17);
  p.drawPath(path);
}

void Page(QPainter& p) {
  p.setPen(QPen(QColor(90, 90, 90), 2));
  p.setBrush(QColor(250, 250, 245));
  p.drawRect(QRectF(12, 6, 34, 46));
  p.setPen(QPen(QColor(170, 170, 170), 2));
  for (int y = 16; y <= 40; y += 8) p.drawLine(18, y, 40, y);
}

}  // namespace

QIcon ProgramIcon() {
  return PaintedIcon([](QPainter& p) {
    // Board.
    p.setPen(QPen(QColor(92, 58, 26), 2));
    p.setBrush(QColor(176, 118, 56));
    p.drawRoundedRect(QRectF(8, 6, 48, 56), 5, 5);
    // Paper.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(252, 252, 246));
    p.drawRect(QRectF(13, 14, 38, 44));
    // Lines of the list.
    p.setPen(QPen(QColor(150, 170, 200), 2));
    for (int y = 24; y <= 52; y += 7) p.drawLine(18, y, 46, y);
    // Clip.
    p.setPen(QPen(QColor(80, 80, 85), 2));
    p.setBrush(QColor(190, 192, 198));
    p.drawRoundedRect(QRectF(22, 2, 20, 10), 3, 3);
    // Tick.
    p.save();
    p.translate(4, 10);
    p.scale(0.9, 0.9);
    Tick(p, QColor(20, 140, 50), 8);
    p.restore();
  });
}

QIcon MakeButtonIcon(ButtonIcon which) {
  switch (which) {
    case ButtonIcon::kOk:
      return PaintedIcon([](QPainter& p) { Tick(p, QColor(20, 140, 50), 9); });
    case ButtonIcon::kCancel:
      return PaintedIcon([](QPainter& p) {
        p.setPen(QPen(QColor(140, 20, 20), 3));
        p.setBrush(QColor(210, 40, 40));
        p.drawEllipse(QRectF(6, 6, 52, 52));
        p.setPen(QPen(Qt::white, 8, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(22, 22, 42, 42);
        p.drawLine(42, 22, 22, 42);
      });
    case ButtonIcon::kHelp:
      return PaintedIcon([](QPainter& p) {
        p.setPen(QPen(QColor(20, 60, 140), 3));
        p.setBrush(QColor(50, 110, 210));
        p.drawEllipse(QRectF(6, 6, 52, 52));
        QFont font;
        font.setPixelSize(40);
        font.setBold(true);
        p.setFont(font);
        p.setPen(Qt::white);
        p.drawText(QRectF(6, 6, 52, 52), Qt::AlignCenter, QStringLiteral("?"));
      });
    case ButtonIcon::kInsert:
      return PaintedIcon([](QPainter& p) {
        Page(p);
        p.setPen(QPen(QColor(20, 140, 50), 8, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(48, 34, 48, 58);
        p.drawLine(36, 46, 60, 46);
      });
    case ButtonIcon::kChange:
      return PaintedIcon([](QPainter& p) {
        Page(p);
        p.save();
        p.translate(44, 40);
        p.rotate(45);
        p.setPen(QPen(QColor(60, 60, 60), 2));
        p.setBrush(QColor(240, 190, 40));
        p.drawRect(QRectF(-5, -22, 10, 30));
        p.setBrush(QColor(230, 200, 160));
        QPolygonF tip;
        tip << QPointF(-5, 8) << QPointF(5, 8) << QPointF(0, 18);
        p.drawPolygon(tip);
        p.restore();
      });
    case ButtonIcon::kDelete:
      return PaintedIcon([](QPainter& p) {
        Page(p);
        p.setPen(QPen(QColor(200, 30, 30), 8, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(36, 46, 60, 46);
      });
    case ButtonIcon::kPrint:
      return PaintedIcon([](QPainter& p) {
        p.setPen(QPen(QColor(70, 70, 70), 2));
        p.setBrush(Qt::white);
        p.drawRect(QRectF(18, 6, 28, 22));
        p.setBrush(QColor(120, 125, 135));
        p.drawRoundedRect(QRectF(6, 24, 52, 24), 4, 4);
        p.setBrush(Qt::white);
        p.drawRect(QRectF(16, 40, 32, 18));
        p.setPen(QPen(QColor(150, 150, 150), 2));
        p.drawLine(21, 46, 43, 46);
        p.drawLine(21, 52, 43, 52);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(80, 200, 90));
        p.drawEllipse(QRectF(48, 29, 5, 5));
      });
  }
  return QIcon();
}

QPixmap BackgroundPicture() {
  QPixmap picture(800, 600);
  QPainter p(&picture);
  p.setRenderHint(QPainter::Antialiasing);

  // Parchment.
  QRadialGradient paper(400, 300, 520);
  paper.setColorAt(0.0, QColor(246, 238, 214));
  paper.setColorAt(1.0, QColor(214, 196, 156));
  p.fillRect(picture.rect(), paper);

  // Faint survey grid.
  p.setPen(QPen(QColor(190, 170, 130, 90), 1));
  for (int x = 0; x <= 800; x += 40) p.drawLine(x, 0, x, 600);
  for (int y = 0; y <= 600; y += 40) p.drawLine(0, y, 800, y);

  // The ditch: a wide V of water in front of the main wall, round the
  // ravelin.
  QPolygonF ditch;
  ditch << QPointF(60, 40) << QPointF(740, 40) << QPointF(400, 585);
  QLinearGradient water(0, 40, 0, 585);
  water.setColorAt(0, QColor(130, 170, 190));
  water.setColorAt(1, QColor(80, 120, 150));
  p.setPen(QPen(QColor(60, 90, 110), 2));
  p.setBrush(water);
  p.drawPolygon(ditch);

  // The main wall with a bastion at each side, across the top.
  QPolygonF wall;
  wall << QPointF(0, 60) << QPointF(170, 60) << QPointF(230, 150) << QPointF(290, 90)
       << QPointF(510, 90) << QPointF(570, 150) << QPointF(630, 60) << QPointF(800, 60)
       << QPointF(800, 0) << QPointF(0, 0);
  p.setPen(QPen(QColor(110, 90, 70), 3));
  p.setBrush(QColor(196, 176, 146));
  p.drawPolygon(wall);

  // The ravelin: two faces meeting in a salient point, flanks at the back.
  QPolygonF ravelin;
  ravelin << QPointF(270, 150) << QPointF(290, 200) << QPointF(400, 470)
          << QPointF(510, 200) << QPointF(530, 150);
  p.setPen(QPen(QColor(90, 75, 55), 3));
  p.setBrush(QColor(150, 170, 110));
  p.drawPolygon(ravelin);
  // Its parapet.
  QPolygonF parapet;
  parapet << QPointF(305, 165) << QPointF(400, 420) << QPointF(495, 165);
  p.setPen(QPen(QColor(110, 120, 80), 6, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin));
  p.setBrush(Qt::NoBrush);
  p.drawPolyline(parapet);

  // A compass mark in the corner, as drawings carry.
  p.save();
  p.translate(720, 520);
  p.setPen(QPen(QColor(110, 90, 70), 2));
  p.drawEllipse(QPointF(0, 0), 34, 34);
  QPolygonF needle;
  needle << QPointF(0, -30) << QPointF(7, 0) << QPointF(0, 30) << QPointF(-7, 0);
  p.setBrush(QColor(140, 60, 40));
  p.drawPolygon(needle);
  QFont font;
  font.setPixelSize(14);
  font.setBold(true);
  p.setFont(font);
  p.drawText(QRectF(-10, -54, 20, 18), Qt::AlignCenter, QStringLiteral("N"));
  p.restore();
  return picture;
}

}  // namespace ravelin
