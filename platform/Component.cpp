#include "platform/Component.h"

#include <algorithm>

namespace pallador {

TComponent::TComponent(TComponent* Owner) : Owner_(nullptr) {
  if (Owner != nullptr) Owner->InsertComponent(this);
}

TComponent::~TComponent() {
  // Last inserted first. Each child is taken off the list before it is freed,
  // so a child whose destructor frees a sibling finds the list consistent.
  while (!Components_.empty()) {
    TComponent* child = Components_.back();
    Components_.pop_back();
    child->Owner_ = nullptr;
    delete child;  // NOLINT(cppcoreguidelines-owning-memory): an owner frees its components
  }
  if (Owner_ != nullptr) Owner_->RemoveComponent(this);
}

void TComponent::InsertComponent(TComponent* Child) {
  Components_.push_back(Child);
  Child->Owner_ = this;
}

void TComponent::RemoveComponent(TComponent* Child) {
  // Children are usually freed in reverse order of creation: search from the end.
  auto it = std::find(Components_.rbegin(), Components_.rend(), Child);
  if (it != Components_.rend()) Components_.erase(std::next(it).base());
  Child->Owner_ = nullptr;
}

}  // namespace pallador
