// The small component model the serial layer is written in: objects with a name and a tag that
// can be loaded (their stored properties applied before Loaded runs), and free-notification, by
// which a component that refers to another learns when that one is destroyed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace veldoran::serial {

class TObject {
 public:
  virtual ~TObject() = default;
};

enum class TOperation { opInsert, opRemove };

class TComponent : public TObject {
 public:
  explicit TComponent(TComponent* owner = nullptr);
  ~TComponent() override;
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  TComponent* Owner() const { return owner_; }
  const std::string& Name() const { return name_; }
  void SetName(std::string name) { name_ = std::move(name); }
  std::intptr_t Tag() const { return tag_; }
  void SetTag(std::intptr_t tag) { tag_ = tag; }

  // Loading: between BeginLoading and EndLoading property writes are only stored; EndLoading
  // then runs Loaded, which applies them.
  bool Loading() const { return loading_; }
  void BeginLoading() { loading_ = true; }
  void EndLoading();

  // Asks to be told (through Notification with opRemove) when `other` is destroyed; the
  // request is mutual and ends when either side goes.
  void FreeNotification(TComponent* other);
  void RemoveFreeNotification(TComponent* other);

 protected:
  virtual void Loaded();
  virtual void Notification(TComponent* component, TOperation operation);

 private:
  TComponent* owner_;
  std::string name_;
  std::intptr_t tag_ = 0;
  bool loading_ = false;
  std::vector<TComponent*> free_notifies_;
};

}  // namespace veldoran::serial
