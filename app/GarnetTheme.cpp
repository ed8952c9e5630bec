#include "app/GarnetTheme.h"

#include <QApplication>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QStyleFactory>
#include <QStyleOption>

namespace pallador {

QFont DialogFont() {
  // Liberation Sans has the metrics of the Windows sans fonts; the others are fallbacks.
  static const bool substituted = [] {
    QFont::insertSubstitutions("MS Sans Serif",
                               {"Liberation Sans", "Arial", "Nimbus Sans", "DejaVu Sans"});
    return true;
  }();
  static_cast<void>(substituted);
  QFont font("MS Sans Serif");
  font.setPixelSize(11);
  return font;
}

QString GarnetStyleSheet() {
  return QStringLiteral(R"css(
QDialog { background-color: #1a1113; }
QLabel { color: rgb(139,153,137); background: transparent; }
QPushButton { color: #ecdcde; border: 1px solid #9a2f42; border-radius: 3px; padding: 2px 8px;
  background-color: qlineargradient(x1:0, y1:0, x2:0, y2:1,
    stop:0 #6b1f2c, stop:0.5 #561722, stop:1 #3d0f18); }
QPushButton:hover { border-color: #c24a60;
  background-color: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #842838, stop:1 #4d1420); }
QPushButton:pressed { background-color: #2c0a10; }
QPushButton:focus { border-color: #e0607a; }
QPushButton:disabled { color: #6f5e61; background-color: #2a1d20; border-color: #4a3236; }
QLineEdit { background-color: #000000; color: rgb(139,153,137); border: 1px solid #7a2434;
  padding: 1px 2px; selection-background-color: #7a1f2e; selection-color: #f3e3e5; }
QLineEdit:focus { border-color: #d0506a; }
QLineEdit:disabled { color: #5e6a5d; background-color: #0b0b0b; border-color: #3e272b; }
QHeaderView::section { color: #e6d0d4; border: none; border-right: 1px solid #1a1113;
  border-bottom: 1px solid #9a2f42; padding: 0px 4px; height: 20px;
  background-color: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #5a1a25, stop:1 #35101a); }
QAbstractItemView { border: 1px solid #7a2434; outline: 0; background-color: #000000;
  color: rgb(139,153,137); selection-background-color: #7a1f2e; selection-color: #f3e3e5; }
QTreeView::item { border-right: 1px solid #4a2a30; border-bottom: 1px solid #4a2a30; height: 16px; }
QTreeView::item:selected { background-color: #7a1f2e; color: #f3e3e5; }
)css");
}

TGarnetStyle::TGarnetStyle() : QProxyStyle(QStyleFactory::create("Fusion")) {}

void TGarnetStyle::drawPrimitive(PrimitiveElement Element, const QStyleOption* Option,
                                 QPainter* Painter, const QWidget* Widget) const {
  if (Element != PE_IndicatorItemViewItemCheck) {
    QProxyStyle::drawPrimitive(Element, Option, Painter, Widget);
    return;
  }
  const QRect box = Option->rect.adjusted(0, 0, -1, -1);
  Painter->save();
  Painter->setRenderHint(QPainter::Antialiasing, false);
  Painter->setPen(GarnetTextColour);
  Painter->setBrush(Qt::black);
  Painter->drawRect(box);
  if (Option->state & State_On) {
    Painter->setRenderHint(QPainter::Antialiasing, true);
    QPen tick(QColor(0xe8, 0x4a, 0x66));
    tick.setWidthF(2.0);
    tick.setCapStyle(Qt::RoundCap);
    tick.setJoinStyle(Qt::RoundJoin);
    Painter->setPen(tick);
    Painter->setBrush(Qt::NoBrush);
    const QRectF r = QRectF(box).adjusted(2.5, 2.5, -2.5, -2.5);
    QPainterPath path;
    path.moveTo(r.left(), r.top() + r.height() * 0.55);
    path.lineTo(r.left() + r.width() * 0.38, r.bottom());
    path.lineTo(r.right(), r.top());
    Painter->drawPath(path);
  }
  Painter->restore();
}

void InstallGarnetTheme(QApplication& App) {
  // The proxy style goes in first: the style sheet wraps it and falls back to it.
  QApplication::setStyle(new TGarnetStyle);
  App.setStyleSheet(GarnetStyleSheet());
  QApplication::setFont(DialogFont());
}

QIcon OkGlyph() {
  QPixmap pixmap(16, 16);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing, true);
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor(0x2e, 0xa0, 0x43));
  painter.drawEllipse(QRectF(0.5, 0.5, 15.0, 15.0));
  QPen tick(Qt::white);
  tick.setWidthF(2.2);
  tick.setCapStyle(Qt::RoundCap);
  tick.setJoinStyle(Qt::RoundJoin);
  painter.setPen(tick);
  QPainterPath path;
  path.moveTo(4.2, 8.4);
  path.lineTo(6.9, 11.0);
  path.lineTo(11.8, 5.2);
  painter.drawPath(path);
  painter.end();
  return QIcon(pixmap);
}

}  // namespace pallador
