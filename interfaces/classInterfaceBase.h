#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "platform/Component.h"

namespace pallador {

class TArtNet;

// A port: joins one slot to the network through its own Art-Net endpoint.
// PortState: 0 closed, 1 open for sending (output), 2 open for listening (input).
// Thread: Update on the transmit thread (under the application's lock); every
// other operation on the main thread. HasError and StatusText are written by
// Update on the transmit thread (an output's failed send) and read on the main
// thread: both sides hold the application's lock.
class TInterfaceBase : public TComponent {
 public:
  TInterfaceBase(TComponent* Owner, std::string BindIP);

  virtual std::string GetLogName();
  virtual void Update();
  virtual void Disconnect();
  virtual void Connect();

  std::uint16_t UniverseArtNet = 0;
  std::uint8_t PortState = 0;
  std::string BindIP;
  std::string DestinationIP;
  std::int32_t Universe = 1;
  std::int32_t ChannelCount = 512;
  bool HasError = false;
  // A failed Connect's short error text; for an open output, the short text of
  // its last send when that failed. Empty otherwise.
  std::string StatusText;
  // The socket error number of a failed Connect (0: none, or no socket
  // error), and when the last Connect ran: the retry of ports that wait for
  // their network reads both.
  int ErrorCode = 0;
  std::chrono::steady_clock::time_point LastConnect{};

 protected:
  // The end of both kinds' Connect: a port whose endpoint is not open closes it
  // again, stays closed and keeps the endpoint's short error text.
  void CloseUnlessOpen(TArtNet& Endpoint);
  // The end of both kinds' Disconnect of an open port.
  void CloseOpenPort(TArtNet& Endpoint);
};

}  // namespace pallador
