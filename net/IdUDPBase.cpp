#include "net/IdUDPBase.h"

#include "net/IdStack.h"

namespace pallador {

TIdUDPBase::TIdUDPBase(TComponent* Owner) : TIdComponent(Owner) {}

void TIdUDPBase::SetActive(bool Value) {
  if (Value == QueryActive()) return;
  if (Value) {
    GetActiveBinding();
  } else {
    ShutDownServer();
  }
}

void TIdUDPBase::SetBroadcastEnabled(bool Value) {
  if (Value == BroadcastEnabled_) return;
  BroadcastEnabled_ = Value;
  if (Active()) ApplyBroadcastSetting();
}

void TIdUDPBase::SendDatagram(const std::string& Host, int Port,
                              std::span<const std::uint8_t> Data) {
  const std::string destination = GStack()->ResolveToIPv4(Host);
  GetActiveBinding().SendToAddress(destination, Port, Data.data(), static_cast<int>(Data.size()));
}

void TIdUDPBase::BroadcastDatagram(std::span<const std::uint8_t> Data, int Port,
                                   const std::string& BroadcastIP) {
  GetActiveBinding().SetBroadcastPermission(true);
  try {
    SendDatagram(BroadcastIP, Port, Data);
  } catch (...) {
    // Take the permission back on failure too, or later unicast sends to a
    // broadcast address would go out without it.
    try {
      ApplyBroadcastSetting();
    } catch (...) {  // the send's own error is the one to report
    }
    throw;
  }
  ApplyBroadcastSetting();
}

}  // namespace pallador
