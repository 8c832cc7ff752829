#include "ui/page_control.h"

namespace veldoran::ui {
namespace {

class TallTabBar : public QTabBar {
 public:
  using QTabBar::QTabBar;

 protected:
  QSize tabSizeHint(int index) const override {
    QSize size = QTabBar::tabSizeHint(index);
    size.setHeight(32);
    return size;
  }
};

}  // namespace

TPageControl::TPageControl(QWidget* parent) : QTabWidget(parent) {
  setTabBar(new TallTabBar(this));
  setMovable(false);
  auto* indent = new QWidget(this);
  indent->setFixedSize(4, 32);
  setCornerWidget(indent, Qt::TopLeftCorner);
}

}  // namespace veldoran::ui
