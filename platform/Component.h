#pragma once

#include <vector>

namespace pallador {

// A component with an optional owner. Destroying an owner destroys every
// component it still owns (last inserted first); a component destroyed before
// its owner leaves the owner's care. Components are created with new and an
// owner, or held by std::unique_ptr where one holder is the only one that frees.
// Thread: an owner and its components are touched by one thread at a time.
class TComponent {
 public:
  explicit TComponent(TComponent* Owner = nullptr);
  virtual ~TComponent();
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  TComponent* Owner() const { return Owner_; }
  int ComponentCount() const { return static_cast<int>(Components_.size()); }
  TComponent* Components(int Index) const {
    return Components_.at(static_cast<std::size_t>(Index));
  }

 private:
  void InsertComponent(TComponent* Child);
  void RemoveComponent(TComponent* Child);

  TComponent* Owner_;
  std::vector<TComponent*> Components_;
};

}  // namespace pallador
