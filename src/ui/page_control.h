// The window's tab control: tabs 32 pixels high that start 4 pixels from the left edge and
// cannot be reordered. Sized through the tab bar rather than a style sheet, so the pages keep
// the window's font and colours.
#pragma once

#include <QTabBar>
#include <QTabWidget>

namespace veldoran::ui {

class TPageControl : public QTabWidget {
  Q_OBJECT
 public:
  explicit TPageControl(QWidget* parent = nullptr);
};

}  // namespace veldoran::ui
