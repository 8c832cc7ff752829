#include "ui/status_bar.h"

namespace veldoran::ui {

TStatusBar::TStatusBar(std::initializer_list<int> panel_widths, QWidget* parent) : QWidget(parent) {
  setAutoFillBackground(true);
  QPalette pal = palette();
  pal.setColor(QPalette::Window, QColor(0xF0, 0xF0, 0xF0));
  pal.setColor(QPalette::WindowText, Qt::black);
  setPalette(pal);
  int x = 0;
  for (const int width : panel_widths) {
    auto* panel = new QLabel(this);
    panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    panel->setTextFormat(Qt::PlainText);  // card codes and names from outside, never markup
    panel->setIndent(2);
    panel->setGeometry(x, 0, width, 19);
    panel->setPalette(pal);
    panels_.push_back(panel);
    x += width;
  }
}

QString TStatusBar::PanelText(int panel) const {
  return panel >= 0 && panel < panels_.size() ? panels_[panel]->text() : QString();
}

void TStatusBar::SetPanelText(int panel, const QString& text) {
  if (panel >= 0 && panel < panels_.size()) panels_[panel]->setText(text);
}

void TStatusBar::SetPanelHint(int panel, const QString& text) {
  if (panel >= 0 && panel < panels_.size()) panels_[panel]->setToolTip(text);
}

QString TStatusBar::PanelHint(int panel) const {
  return panel >= 0 && panel < panels_.size() ? panels_[panel]->toolTip() : QString();
}

int TStatusBar::PanelWidth(int panel) const {
  return panel >= 0 && panel < panels_.size() ? panels_[panel]->width() : 0;
}

}  // namespace veldoran::ui
