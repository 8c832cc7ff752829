#include "serial/notify_list.h"

#include <algorithm>

namespace veldoran::serial {

int TspNotifyList::Add(TspNotifyEvent event) {
  entries_.push_back(event);
  return Count() - 1;
}

void TspNotifyList::Delete(int index) {
  if (index < 0 || index >= Count()) return;
  entries_.erase(entries_.begin() + index);
}

void TspNotifyList::Clear() { entries_.clear(); }

int TspNotifyList::IndexOf(TspNotifyEvent event) const {
  const auto it = std::find(entries_.begin(), entries_.end(), event);
  return it == entries_.end() ? -1 : static_cast<int>(it - entries_.begin());
}

void TspNotifyList::Notify(TObject* sender, std::int32_t code) {
  const std::weak_ptr<char> alive = lifetime_;
  const std::vector<TspNotifyEvent> snapshot = entries_;
  for (const TspNotifyEvent& event : snapshot) {
    if (alive.expired()) return;       // a handler destroyed the list's owner
    if (IndexOf(event) < 0) continue;  // removed by an earlier handler
    event.code(event.data, sender, code);
  }
}

}  // namespace veldoran::serial
