#include "interfaces/classInterfaceBase.h"

#include <utility>

namespace pallador {

TInterfaceBase::TInterfaceBase(TComponent* Owner, std::string BindIP_)
    : TComponent(Owner), BindIP(std::move(BindIP_)) {}

std::string TInterfaceBase::GetLogName() {
  return {};
}

void TInterfaceBase::Update() {}

void TInterfaceBase::Disconnect() {}

void TInterfaceBase::Connect() {}

}  // namespace pallador
