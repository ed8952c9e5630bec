#include "interfaces/classInterfaceBase.h"

#include <utility>

#include "artnet/classArtNet.h"

namespace pallador {

TInterfaceBase::TInterfaceBase(TComponent* Owner, std::string BindIP_)
    : TComponent(Owner), BindIP(std::move(BindIP_)) {}

std::string TInterfaceBase::GetLogName() {
  return {};
}

void TInterfaceBase::Update() {}

void TInterfaceBase::Disconnect() {}

void TInterfaceBase::Connect() {}

void TInterfaceBase::CloseUnlessOpen(TArtNet& Endpoint) {
  LastConnect = std::chrono::steady_clock::now();
  ErrorCode = 0;
  bool open = false;
  try {
    open = Endpoint.IsOpen();
  } catch (...) {
    // Whatever failed, the endpoint does not listen or send.
  }
  if (open) return;
  Endpoint.Close();
  HasError = true;
  StatusText = Endpoint.GetShortError();
  ErrorCode = Endpoint.ErrorCode;
  PortState = 0;
}

void TInterfaceBase::CloseOpenPort(TArtNet& Endpoint) {
  Endpoint.Close();
  PortState = 0;
  HasError = false;
  StatusText.clear();
  ErrorCode = 0;
}

}  // namespace pallador
