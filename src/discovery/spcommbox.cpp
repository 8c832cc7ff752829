#include "discovery/spcommbox.h"

#include <QAbstractItemView>
#include <QMessageBox>
#include <QStyledItemDelegate>
#include <exception>

#include "platform/cp1250.h"

namespace veldoran::discovery {
namespace {

// Entries of a fixed height in the drop-down list.
class FixedHeightDelegate : public QStyledItemDelegate {
 public:
  FixedHeightDelegate(int height, QObject* parent) : QStyledItemDelegate(parent), height_(height) {}
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    return {QStyledItemDelegate::sizeHint(option, index).width(), height_};
  }

 private:
  int height_;
};

}  // namespace

TspDeviceBox::TspDeviceBox(QWidget* parent) : QComboBox(parent) {
  setEditable(false);  // a drop-down list: the text cannot be typed
  connect(this, &QComboBox::activated, this, &TspDeviceBox::Picked);
}

TspDeviceBox::~TspDeviceBox() {
  if (com_) com_->RemoveListener(Listener());
}

serial::TspNotifyEvent TspDeviceBox::Listener() {
  return serial::TspNotifyEvent::Of<TspDeviceBox, &TspDeviceBox::PortChanged>(this);
}

void TspDeviceBox::SetspComm(serial::TspBaseIO* value) {
  clear();
  setCurrentIndex(-1);
  items_.clear();
  if (com_ && com_ != value) {
    com_->RemoveListener(Listener());
    RemoveFreeNotification(com_);
  }
  com_ = nullptr;
  if (value) {
    value->FillDeviceList(&items_);
    for (const serial::TspDeviceItem& item : items_) {
      addItem(QString::fromStdU16String(cp1250::Decode(item.text)));
    }
    setCurrentIndex(value->SelectedDeviceIndex());
    value->AddListener(Listener());
    FreeNotification(value);
  }
  com_ = value;
}

void TspDeviceBox::Rebuild() { SetspComm(com_); }

void TspDeviceBox::PortChanged(serial::TObject* /*Sender*/, std::int32_t Code) {
  if (Code == serial::kNotifyPortChanged) Rebuild();
}

bool TspDeviceBox::DeviceChange(const serial::TMessage& message) {
  return com_ ? com_->DeviceChanged(message) : false;
}

void TspDeviceBox::Change() {
  if (!com_) return;
  com_->SelectDevice(currentIndex());
  if (on_change_) on_change_(this);
}

void TspDeviceBox::Picked(int /*index*/) {
  if (guard_) {
    guard_([this] { Change(); });
    return;
  }
  try {
    Change();
  } catch (const std::exception& e) {
    QMessageBox::critical(window(), QString(), QString::fromLocal8Bit(e.what()));
  }
}

void TspDeviceBox::SetItemHeight(int height) {
  item_height_ = height;
  view()->setItemDelegate(new FixedHeightDelegate(height, this));
}

std::shared_ptr<const serial::TspDevice> TspDeviceBox::Device(int index) const {
  if (index < 0 || index >= static_cast<int>(items_.size())) return nullptr;
  return items_[static_cast<std::size_t>(index)].record.lock();
}

void TspDeviceBox::Notification(serial::TComponent* component, serial::TOperation operation) {
  serial::TComponent::Notification(component, operation);
  if (operation == serial::TOperation::opRemove && component == com_) {
    com_ = nullptr;
    setCurrentIndex(-1);
  }
}

}  // namespace veldoran::discovery
