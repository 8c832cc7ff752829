#include "ui/focus_style.h"

#include <QApplication>
#include <QPainter>
#include <QPointer>
#include <QStyleOptionFocusRect>

namespace veldoran::ui {

TFocusStyle::TFocusStyle() = default;

QColor FocusMarkColor(const QColor& background) {
  return qGray(background.rgb()) < 128 ? QColor(Qt::white) : QColor(Qt::black);
}

void TFocusStyle::drawPrimitive(PrimitiveElement element, const QStyleOption* option,
                                QPainter* painter, const QWidget* widget) const {
  if (element != PE_FrameFocusRect) {
    QProxyStyle::drawPrimitive(element, option, painter, widget);
    return;
  }
  QColor background = option->palette.color(QPalette::Button);
  if (const auto* focus = qstyleoption_cast<const QStyleOptionFocusRect*>(option)) {
    if (focus->backgroundColor.isValid()) background = focus->backgroundColor;
  }
  painter->save();
  painter->setRenderHint(QPainter::Antialiasing, false);
  painter->setPen(QPen(FocusMarkColor(background), 1, Qt::DotLine));
  painter->setBrush(Qt::NoBrush);
  painter->drawRect(option->rect.adjusted(0, 0, -1, -1));
  painter->restore();
}

void TFocusStyle::drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                              const QWidget* widget) const {
  const auto* button = qstyleoption_cast<const QStyleOptionButton*>(option);
  if (element != CE_PushButton || !button || !(button->state & State_HasFocus)) {
    QProxyStyle::drawControl(element, option, painter, widget);
    return;
  }
  QStyleOptionButton plain = *button;
  plain.state &= ~(State_HasFocus | State_KeyboardFocusChange);
  QProxyStyle::drawControl(element, &plain, painter, widget);
  QStyleOptionFocusRect focus;
  focus.QStyleOption::operator=(*button);
  focus.rect = button->rect.adjusted(4, 4, -4, -4);
  focus.backgroundColor = button->palette.color(QPalette::Button);
  drawPrimitive(PE_FrameFocusRect, &focus, painter, widget);
}

QStyle* FocusStyle() {
  static QPointer<TFocusStyle> style;
  if (!style) {
    style = new TFocusStyle;
    style->setParent(qApp);
  }
  return style;
}

}  // namespace veldoran::ui
