// The window's focus mark. The window is built like a classic Windows form, where the control
// that has the keyboard focus carries a dotted rectangle: inside a button or around a check
// box's caption, and on the grid's current cell. The toolkit's base style draws its focus mark
// only after the keyboard was used, so after a click nothing showed where the focus was.
#pragma once

#include <QProxyStyle>

namespace veldoran::ui {

class TFocusStyle : public QProxyStyle {
  Q_OBJECT
 public:
  TFocusStyle();
  void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                     const QWidget* widget = nullptr) const override;
  // A button is drawn without the base style's focus mark, then with the dotted rectangle.
  void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                   const QWidget* widget = nullptr) const override;
};

// The one instance, owned by the application; give it to a widget with QWidget::setStyle.
QStyle* FocusStyle();

// The dotted rectangle's colour on `background`: black on light, white on dark.
QColor FocusMarkColor(const QColor& background);

}  // namespace veldoran::ui
