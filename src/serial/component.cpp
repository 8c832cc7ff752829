#include "serial/component.h"

#include <algorithm>

namespace veldoran::serial {

TComponent::TComponent(TComponent* owner) : owner_(owner) {}

TComponent::~TComponent() {
  // Each side is told once, and forgets this component before it is gone.
  while (!free_notifies_.empty()) {
    TComponent* other = free_notifies_.back();
    free_notifies_.pop_back();
    auto& theirs = other->free_notifies_;
    theirs.erase(std::remove(theirs.begin(), theirs.end(), this), theirs.end());
    other->Notification(this, TOperation::opRemove);
  }
}

void TComponent::EndLoading() {
  if (!loading_) return;
  Loaded();
}

void TComponent::Loaded() { loading_ = false; }

void TComponent::FreeNotification(TComponent* other) {
  if (!other || other == this) return;
  if (std::find(free_notifies_.begin(), free_notifies_.end(), other) == free_notifies_.end()) {
    free_notifies_.push_back(other);
    other->free_notifies_.push_back(this);
  }
}

void TComponent::RemoveFreeNotification(TComponent* other) {
  if (!other) return;
  auto& mine = free_notifies_;
  mine.erase(std::remove(mine.begin(), mine.end(), other), mine.end());
  auto& theirs = other->free_notifies_;
  theirs.erase(std::remove(theirs.begin(), theirs.end(), this), theirs.end());
}

void TComponent::Notification(TComponent*, TOperation) {}

}  // namespace veldoran::serial
