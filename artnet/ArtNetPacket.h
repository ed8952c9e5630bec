#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace pallador {

// Art-Net (protocol revision 14) as this bridge speaks it: ArtPoll is
// recognised, ArtDmx is read and written. Pure functions over byte spans.

constexpr int ArtNetPort = 6454;
constexpr std::uint16_t OpPoll = 0x2000;
constexpr std::uint16_t OpDmx = 0x5000;
constexpr std::size_t ArtNetHeaderSize = 10;   // ID + OpCode
constexpr std::size_t ArtDmxHeaderSize = 18;   // data starts here
constexpr std::size_t ArtDmxMaxLength = 2048;  // most data bytes encoded or stored
constexpr std::size_t ArtDmxMaxPacket = ArtDmxHeaderSize + ArtDmxMaxLength;

enum class ArtNetPacketKind { NotArtNet, ArtPoll, ArtDmx, OtherOpCode };

struct ArtNetDatagram {
  ArtNetPacketKind Kind = ArtNetPacketKind::NotArtNet;
  std::uint16_t PortAddress = 0;  // ArtDmx: Net x 256 + SubUni (header bytes absent read as 0)
  std::uint16_t Length = 0;       // ArtDmx: the Length field (header bytes absent read as 0)
  // ArtDmx: the data bytes the datagram really carries: min(Length, Count - 18),
  // 0 when it ends inside the header. Never more than the datagram holds.
  std::uint16_t DataCount = 0;
};

// Classifies a received datagram (its first Count bytes). Reads nothing past
// the end of Datagram; never fails.
ArtNetDatagram DecodeArtNet(std::span<const std::uint8_t> Datagram);

// Writes one ArtDmx packet (18 + Length bytes) into Out and returns its size.
// Length <= 2048, Data.size() >= Length and Out.size() >= 18 + Length are the
// caller's to respect; when they are not, nothing is written and 0 is returned.
std::size_t EncodeArtDmx(std::uint16_t Universe, std::span<const std::uint8_t> Data,
                         std::uint16_t Length, std::span<std::uint8_t> Out);

}  // namespace pallador
