// A status bar of fixed-width text panels, numbered from 0 at the left.
#pragma once

#include <QLabel>
#include <QVector>
#include <QWidget>
#include <initializer_list>

namespace veldoran::ui {

class TStatusBar : public QWidget {
  Q_OBJECT
 public:
  TStatusBar(std::initializer_list<int> panel_widths, QWidget* parent = nullptr);

  int PanelCount() const { return static_cast<int>(panels_.size()); }
  QString PanelText(int panel) const;
  void SetPanelText(int panel, const QString& text);
  // A longer explanation shown when the pointer rests on the panel; empty for none.
  void SetPanelHint(int panel, const QString& text);
  QString PanelHint(int panel) const;
  int PanelWidth(int panel) const;

 private:
  QVector<QLabel*> panels_;
};

}  // namespace veldoran::ui
