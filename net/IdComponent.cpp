#include "net/IdComponent.h"

#include "net/IdStack.h"

namespace pallador {

TIdComponent::TIdComponent(TComponent* Owner) : TIdBaseComponent(Owner) {
  SocketComponentCreated();
}

TIdComponent::~TIdComponent() {
  SocketComponentDestroyed();
}

}  // namespace pallador
