// Listeners of a port component: the components that want to know when the port opened,
// closed, or its port number or device list changed. A listener is a method pointer (the
// handler's code and its object), so the same handler can be recognised and never listed twice.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "serial/component.h"

namespace veldoran::serial {

// Notification codes.
inline constexpr std::int32_t kNotifyClosed = 1;
inline constexpr std::int32_t kNotifyOpened = 2;
inline constexpr std::int32_t kNotifyPortChanged = 3;

struct TspNotifyEvent {
  using Code = void (*)(void* data, TObject* sender, std::int32_t code);
  Code code = nullptr;
  void* data = nullptr;

  // The method `Method` of `object` as a listener.
  template <class C, void (C::*Method)(TObject*, std::int32_t)>
  static TspNotifyEvent Of(C* object) {
    return {[](void* data, TObject* sender, std::int32_t code) {
              (static_cast<C*>(data)->*Method)(sender, code);
            },
            object};
  }

  explicit operator bool() const { return code != nullptr; }
  bool operator==(const TspNotifyEvent&) const = default;
};

class TspNotifyList {
 public:
  TspNotifyList() = default;
  TspNotifyList(const TspNotifyList&) = delete;
  TspNotifyList& operator=(const TspNotifyList&) = delete;

  int Add(TspNotifyEvent event);  // index of the new entry
  void Delete(int index);
  void Clear();
  int Count() const { return static_cast<int>(entries_.size()); }
  TspNotifyEvent Get(int index) const { return entries_.at(static_cast<std::size_t>(index)); }
  int IndexOf(TspNotifyEvent event) const;  // -1 if absent

  // Calls every entry in list order. A handler may add or remove listeners meanwhile: the
  // entries listed when the call began are called unless they were removed before their turn.
  // A handler may also destroy the list's owner, and with it the list: the call ends there.
  void Notify(TObject* sender, std::int32_t code);

 private:
  std::vector<TspNotifyEvent> entries_;
  // Lives exactly as long as the list; Notify holds a weak reference across each handler.
  const std::shared_ptr<char> lifetime_ = std::make_shared<char>();
};

}  // namespace veldoran::serial
