#include "serial/qt/qt_checked_control.h"

#include <QMetaObject>
#include <QMetaProperty>

namespace veldoran::serial {

QtCheckedControl::QtCheckedControl(QObject* object, TComponent* owner)
    : TControl(owner), object_(object) {}

bool QtCheckedControl::SetChecked(bool checked) {
  if (!object_) return false;
  const QMetaObject* meta = object_->metaObject();
  const int index = meta->indexOfProperty("checked");
  if (index < 0 || !meta->property(index).isWritable()) return false;
  object_->setProperty("checked", checked);
  return true;
}

}  // namespace veldoran::serial
