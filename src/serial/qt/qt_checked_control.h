// A Qt widget (or any QObject) as a monitor control of the port component: its "checked"
// property mirrors a modem line where it has one; other widgets are left alone.
#pragma once

#include <QObject>
#include <QPointer>

#include "serial/spcomm_types.h"

namespace veldoran::serial {

class QtCheckedControl : public TControl {
 public:
  explicit QtCheckedControl(QObject* object, TComponent* owner = nullptr);

  bool SetChecked(bool checked) override;
  QObject* Object() const { return object_; }

 private:
  QPointer<QObject> object_;  // becomes null when the widget is deleted
};

}  // namespace veldoran::serial
