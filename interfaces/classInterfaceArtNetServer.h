#pragma once

#include <array>
#include <memory>

#include "artnet/classArtNet.h"
#include "interfaces/classInterfaceBase.h"

namespace pallador {

// An output port: on every transmit tick, while open, sends its row of the
// universe table as one 530-byte ArtDmx packet under UniverseArtNet.
class TInterfaceArtNetServer : public TInterfaceBase {
 public:
  TInterfaceArtNetServer(TComponent* Owner, TUDPFactory* UDPFactory, std::string BindIP,
                         std::string DestinationIP);
  ~TInterfaceArtNetServer() override;

  std::string GetLogName() override;
  void Update() override;
  void Disconnect() override;
  void Connect() override;
  // Open and sending nothing until the lookup of its destination's name has
  // an answer (under the application's lock, like the other send state).
  bool IsWaitingForName() const { return PortState == 1 && Endpoint->IsWaitingForName(); }

  std::unique_ptr<TArtNet> Endpoint;
  std::array<std::uint8_t, 2048> OutputFrame{};
};

}  // namespace pallador
