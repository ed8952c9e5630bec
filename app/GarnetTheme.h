#pragma once

#include <QColor>
#include <QFont>
#include <QIcon>
#include <QProxyStyle>
#include <QString>

class QApplication;

namespace pallador {

// Text colour of the list, the edit fields and the labels (red 139, green 153, blue 137).
inline const QColor GarnetTextColour{139, 153, 137};

// The focus mark: a thin outline of the current row, and the border of a
// focused button or edit field; light enough to show on the selection's garnet.
inline const QColor GarnetFocusColour{0xe0, 0x60, 0x7a};

// "MS Sans Serif" 8 pt (11 px at 96 dpi), mapped to an installed sans font of the same size.
QFont DialogFont();

// The dark garnet look as one application style sheet.
QString GarnetStyleSheet();

// A style sheet can only draw item-view check boxes from images, so this
// style paints them: a black box with a grey-green frame and a garnet tick.
class TGarnetStyle : public QProxyStyle {
 public:
  TGarnetStyle();
  void drawPrimitive(PrimitiveElement Element, const QStyleOption* Option, QPainter* Painter,
                     const QWidget* Widget = nullptr) const override;
};

// Installs the style, the style sheet and the font on the application.
void InstallGarnetTheme(QApplication& App);

// The 16 x 16 glyph of the dialog's OK button: a white tick on a green disc.
QIcon OkGlyph();

}  // namespace pallador
