#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "net/IdComponent.h"
#include "net/IdSocketHandle.h"

namespace pallador {

// Active state, buffer size, broadcast setting and sending.
// Thread: main thread; the sends also from the transmit thread (the application
// serialises the two).
class TIdUDPBase : public TIdComponent {
 public:
  explicit TIdUDPBase(TComponent* Owner = nullptr);

  bool Active() { return QueryActive(); }
  void SetActive(bool Value);

  bool BroadcastEnabled() const { return BroadcastEnabled_; }
  void SetBroadcastEnabled(bool Value);

  void SendDatagram(const std::string& Host, int Port, std::span<const std::uint8_t> Data);
  // Gives the permission, sends to BroadcastIP, applies the broadcast setting
  // back (also when the send fails).
  void BroadcastDatagram(std::span<const std::uint8_t> Data, int Port,
                         const std::string& BroadcastIP = "255.255.255.255");

  virtual void ShutDownServer() = 0;
  virtual bool QueryActive() = 0;
  virtual TIdSocketHandle& GetActiveBinding() = 0;  // activates when needed; raises on failure
  virtual void ApplyBroadcastSetting() = 0;

  int BufferSize = 8192;

 private:
  bool BroadcastEnabled_ = false;
};

}  // namespace pallador
