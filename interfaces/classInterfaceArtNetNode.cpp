#include "interfaces/classInterfaceArtNetNode.h"

#include <utility>

#include "interfaces/UniverseTable.h"

namespace pallador {

namespace {
constexpr std::uint16_t InputUniverses = 16;
}  // namespace

TInterfaceArtNetNode::TInterfaceArtNetNode(TComponent* Owner, TUDPFactory* UDPFactory,
                                           std::string BindIP_)
    : TInterfaceBase(Owner, std::move(BindIP_)),
      Endpoint(std::make_unique<TArtNet>(this, UDPFactory, BindIP, DestinationIP)) {}

TInterfaceArtNetNode::~TInterfaceArtNetNode() = default;

std::string TInterfaceArtNetNode::GetLogName() {
  return "LOG_" + BindIP;
}

void TInterfaceArtNetNode::Disconnect() {
  TInterfaceBase::Disconnect();
  if (PortState == 0) return;
  CloseOpenPort(*Endpoint);
}

void TInterfaceArtNetNode::Connect() {
  HasError = false;
  StatusText.clear();
  Endpoint->OnArtDMX = [this](TArtNet& Sender, std::uint16_t& PacketUniverse) {
    EndpointArtDMX(Sender, PacketUniverse);
  };
  try {
    Endpoint->Open();
    PortState = 2;
  } catch (...) {
    // The state below decides: IsOpen tells whether the endpoint listens.
  }
  CloseUnlessOpen(*Endpoint);
}

void TInterfaceArtNetNode::EndpointArtDMX(TArtNet& /*Sender*/, std::uint16_t& PacketUniverse) {
  if (PacketUniverse >= InputUniverses) return;
  UniverseTable().WriteRow(
      PacketUniverse, std::span(Endpoint->ReceiveTable[PacketUniverse].data(), UniverseChannels));
}

}  // namespace pallador
