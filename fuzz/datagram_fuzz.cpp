// Every datagram the input can receive: the decoder on the exact bytes, then
// the endpoint's handling feeding the input port and the universe table,
// checked against a model of what must be stored.
//
// Input: a sequence of datagrams, each a 2-byte big-endian size followed by
// that many bytes (fewer when the input ends first), so that one run also
// covers a datagram's effect on the next.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "artnet/ArtNetPacket.h"
#include "artnet/classArtNet.h"
#include "fuzz/FuzzCheck.h"
#include "interfaces/UniverseTable.h"
#include "interfaces/classInterfaceArtNetNode.h"
#include "net/IdUDPServer.h"
#include "net/classUDPFactory.h"

namespace pallador {
namespace {

constexpr std::size_t kReceiveRows = 17;
constexpr std::size_t kInputUniverses = 16;

// The classification read straight from the bytes, as the wire format says.
ArtNetDatagram Expected(std::span<const std::uint8_t> Bytes) {
  ArtNetDatagram d;
  static constexpr std::uint8_t kId[8] = {'A', 'r', 't', '-', 'N', 'e', 't', 0};
  if (Bytes.size() < 10 || std::memcmp(Bytes.data(), kId, sizeof kId) != 0) return d;
  const unsigned op = static_cast<unsigned>(Bytes[8] | Bytes[9] << 8);
  d.Kind = op == OpPoll  ? ArtNetPacketKind::ArtPoll
           : op == OpDmx ? ArtNetPacketKind::ArtDmx
                         : ArtNetPacketKind::OtherOpCode;
  if (d.Kind != ArtNetPacketKind::ArtDmx) return d;
  const auto at = [&](std::size_t Index) -> unsigned {
    return Index < Bytes.size() ? Bytes[Index] : 0U;
  };
  d.PortAddress = static_cast<std::uint16_t>(at(15) << 8 | at(14));
  d.Length = static_cast<std::uint16_t>(at(16) << 8 | at(17));
  const std::size_t carried = Bytes.size() > ArtDmxHeaderSize ? Bytes.size() - ArtDmxHeaderSize : 0;
  d.DataCount = static_cast<std::uint16_t>(std::min<std::size_t>(carried, d.Length));
  return d;
}

struct TRig {
  TRig()
      : Pool(nullptr), Node(nullptr, &Pool, "127.0.3.250"), Binding(Server.Bindings.AddBinding()) {
    // As the input port's Connect sets it up, without opening a socket.
    Node.Endpoint->OnArtDMX = [this](TArtNet& Sender, std::uint16_t& Universe) {
      ++Events;
      Node.EndpointArtDMX(Sender, Universe);
    };
    Node.Endpoint->Active = true;
  }

  TUDPFactory Pool;
  TInterfaceArtNetNode Node;
  TIdUDPServer Server;
  TIdSocketHandle& Binding;
  int Events = 0;
};

TRig& Rig() {
  static TRig* rig = new TRig;  // lives for the whole run
  return *rig;
}

void CheckOne(TRig& R, std::span<const std::uint8_t> Wire,
              std::vector<std::array<std::uint8_t, ArtDmxMaxLength>>& Model) {
  // A buffer of exactly the datagram's size: any read past it is caught.
  const std::vector<std::uint8_t> datagram(Wire.begin(), Wire.end());
  const ArtNetDatagram decoded = DecodeArtNet(datagram);
  const ArtNetDatagram expected = Expected(datagram);
  FUZZ_CHECK(decoded.Kind == expected.Kind, "kind");
  if (expected.Kind == ArtNetPacketKind::ArtDmx) {
    FUZZ_CHECK(decoded.PortAddress == expected.PortAddress, "universe");
    FUZZ_CHECK(decoded.Length == expected.Length, "length");
    FUZZ_CHECK(decoded.DataCount == expected.DataCount, "data bytes carried");
  }

  TArtNet& endpoint = *R.Node.Endpoint;
  const int eventsBefore = R.Events;
  const std::uint16_t universeBefore = endpoint.LastUniverse;
  R.Node.Endpoint->HandleDatagram(R.Server, datagram, R.Binding);

  // What the endpoint reads is capped at its buffer: decode that prefix.
  const ArtNetDatagram seen = Expected(
      std::span(datagram.data(), std::min(datagram.size(), endpoint.DatagramBuffer.size())));
  if (seen.Kind == ArtNetPacketKind::ArtDmx) {
    FUZZ_CHECK(R.Events == eventsBefore + 1, "one event per ArtDmx");
    FUZZ_CHECK(endpoint.LastUniverse == seen.PortAddress, "event universe");
    if (seen.PortAddress < kReceiveRows && seen.Length <= ArtDmxMaxLength) {
      std::memcpy(Model[seen.PortAddress].data(), datagram.data() + ArtDmxHeaderSize,
                  seen.DataCount);
    }
  } else {
    FUZZ_CHECK(R.Events == eventsBefore, "no event for other datagrams");
    FUZZ_CHECK(endpoint.LastUniverse == universeBefore, "universe kept");
  }
  for (std::size_t row = 0; row < kReceiveRows; ++row) {
    FUZZ_CHECK(endpoint.ReceiveTable[row] == Model[row], "receive table row");
  }
  std::array<std::uint8_t, UniverseChannels> levels{};
  for (std::size_t row = 0; row < kInputUniverses; ++row) {
    UniverseTable().ReadRow(static_cast<int>(row), levels);
    FUZZ_CHECK(std::memcmp(levels.data(), Model[row].data(), UniverseChannels) == 0,
               "universe table row");
  }
  const std::array<std::uint8_t, UniverseChannels> zeros{};
  for (int row = static_cast<int>(kInputUniverses); row < UniverseRows; ++row) {
    UniverseTable().ReadRow(row, levels);
    FUZZ_CHECK(levels == zeros, "rows from 16 stay zero");
  }
}

}  // namespace
}  // namespace pallador

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  using namespace pallador;
  TRig& rig = Rig();
  for (auto& row : rig.Node.Endpoint->ReceiveTable) row.fill(0);
  UniverseTable().Clear();
  std::vector<std::array<std::uint8_t, ArtDmxMaxLength>> model(kReceiveRows);

  const std::span<const std::uint8_t> input(Data, Size);
  std::size_t at = 0;
  while (at + 2 <= input.size()) {
    const std::size_t size = static_cast<std::size_t>(input[at] << 8 | input[at + 1]);
    at += 2;
    const std::size_t take = std::min(size, input.size() - at);
    CheckOne(rig, input.subspan(at, take), model);
    at += take;
  }
  return 0;
}
