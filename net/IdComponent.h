#pragma once

#include "platform/Component.h"

namespace pallador {

class TIdBaseComponent : public TComponent {
 public:
  using TComponent::TComponent;
};

// A socket component keeps the socket stack alive while it exists.
class TIdComponent : public TIdBaseComponent {
 public:
  explicit TIdComponent(TComponent* Owner = nullptr);
  ~TIdComponent() override;
};

}  // namespace pallador
