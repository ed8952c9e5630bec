#pragma once

#include <memory>

#include "artnet/classArtNet.h"
#include "interfaces/classInterfaceBase.h"

namespace pallador {

// The input port: copies every received ArtDmx universe 0 to 15 into the
// universe table at once, in the receive handler (main thread).
class TInterfaceArtNetNode : public TInterfaceBase {
 public:
  TInterfaceArtNetNode(TComponent* Owner, TUDPFactory* UDPFactory, std::string BindIP);
  ~TInterfaceArtNetNode() override;

  std::string GetLogName() override;
  void Disconnect() override;
  void Connect() override;
  void EndpointArtDMX(TArtNet& Sender, std::uint16_t& PacketUniverse);

  std::unique_ptr<TArtNet> Endpoint;
};

}  // namespace pallador
