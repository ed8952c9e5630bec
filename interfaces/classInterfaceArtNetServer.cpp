#include "interfaces/classInterfaceArtNetServer.h"

#include <utility>

#include "interfaces/UniverseTable.h"

namespace pallador {

TInterfaceArtNetServer::TInterfaceArtNetServer(TComponent* Owner, TUDPFactory* UDPFactory,
                                               std::string BindIP_, std::string DestinationIP_)
    : TInterfaceBase(Owner, std::move(BindIP_)),
      Endpoint(std::make_unique<TArtNet>(this, UDPFactory, BindIP, std::move(DestinationIP_))) {
  Endpoint->OnArtDMX = nullptr;
}

TInterfaceArtNetServer::~TInterfaceArtNetServer() = default;

std::string TInterfaceArtNetServer::GetLogName() {
  return "LOG_" + BindIP;
}

void TInterfaceArtNetServer::Update() {
  if (PortState != 1) return;
  UniverseTable().ReadRow(
      Universe, std::span<std::uint8_t, UniverseChannels>(OutputFrame.data(), UniverseChannels));
  const bool sent = Endpoint->SendDmx(UniverseArtNet, OutputFrame, UniverseChannels);
  HasError = !sent;
  // An output that puts nothing on the wire shows why, until a send succeeds again.
  if (sent) {
    StatusText.clear();
  } else {
    try {
      StatusText = Endpoint->GetShortSendError();
    } catch (...) {
      StatusText.clear();
    }
  }
}

void TInterfaceArtNetServer::Disconnect() {
  TInterfaceBase::Disconnect();
  if (PortState == 0) return;
  Endpoint->OnArtDMX = nullptr;
  CloseOpenPort(*Endpoint);
}

void TInterfaceArtNetServer::Connect() {
  HasError = false;
  StatusText.clear();
  try {
    if (Endpoint->Open()) PortState = 1;
  } catch (...) {
  }
  CloseUnlessOpen(*Endpoint);
}

}  // namespace pallador
