#include "artnet/ArtNetPacket.h"

#include <algorithm>
#include <cstring>

namespace pallador {

namespace {

// Field offsets of the common header and of ArtDmx.
constexpr std::size_t kOffId = 0;
constexpr std::size_t kIdSize = 8;
constexpr std::size_t kOffOpCode = 8;  // little-endian
constexpr std::size_t kOffProtVerHi = 10;
constexpr std::size_t kOffProtVerLo = 11;
constexpr std::size_t kOffSequence = 12;
constexpr std::size_t kOffPhysical = 13;
constexpr std::size_t kOffSubUni = 14;  // universe, low byte
constexpr std::size_t kOffNet = 15;     // universe, high byte
static_assert(kOffNet == kOffSubUni + 1, "the universe is one little-endian field");
constexpr std::size_t kOffLength = 16;  // big-endian
constexpr std::size_t kOffData = ArtDmxHeaderSize;

// "Art-Net" and its terminating zero byte.
constexpr std::uint8_t kArtNetId[kIdSize] = {0x41, 0x72, 0x74, 0x2D, 0x4E, 0x65, 0x74, 0x00};
constexpr std::uint8_t kProtocolVersion = 14;

// A byte the datagram does not carry reads as 0.
std::uint8_t ByteAt(std::span<const std::uint8_t> Bytes, std::size_t Offset) {
  return Offset < Bytes.size() ? Bytes[Offset] : std::uint8_t{0};
}

std::uint16_t ReadLE16(std::span<const std::uint8_t> Bytes, std::size_t Offset) {
  return static_cast<std::uint16_t>(ByteAt(Bytes, Offset) | (ByteAt(Bytes, Offset + 1) << 8));
}

std::uint16_t ReadBE16(std::span<const std::uint8_t> Bytes, std::size_t Offset) {
  return static_cast<std::uint16_t>((ByteAt(Bytes, Offset) << 8) | ByteAt(Bytes, Offset + 1));
}

void WriteLE16(std::span<std::uint8_t> Out, std::size_t Offset, std::uint16_t Value) {
  Out[Offset] = static_cast<std::uint8_t>(Value & 0xFF);
  Out[Offset + 1] = static_cast<std::uint8_t>(Value >> 8);
}

void WriteBE16(std::span<std::uint8_t> Out, std::size_t Offset, std::uint16_t Value) {
  Out[Offset] = static_cast<std::uint8_t>(Value >> 8);
  Out[Offset + 1] = static_cast<std::uint8_t>(Value & 0xFF);
}

}  // namespace

ArtNetDatagram DecodeArtNet(std::span<const std::uint8_t> Datagram) {
  ArtNetDatagram result;
  if (Datagram.size() < ArtNetHeaderSize) return result;
  // The ID is the text before the first zero byte of the first eight, so
  // "Art-Net" must be followed by a zero in byte 7 exactly.
  if (!std::equal(std::begin(kArtNetId), std::end(kArtNetId), Datagram.begin() + kOffId)) {
    return result;
  }
  switch (ReadLE16(Datagram, kOffOpCode)) {
    case OpPoll:
      result.Kind = ArtNetPacketKind::ArtPoll;
      return result;
    case OpDmx:
      break;
    default:
      result.Kind = ArtNetPacketKind::OtherOpCode;
      return result;
  }
  result.Kind = ArtNetPacketKind::ArtDmx;
  // The Net's top bit is kept: the universe is the full 16-bit Port-Address.
  result.PortAddress = ReadLE16(Datagram, kOffSubUni);
  result.Length = ReadBE16(Datagram, kOffLength);
  // Length is the sender's claim; only the bytes really received count.
  const std::size_t carried = Datagram.size() > kOffData ? Datagram.size() - kOffData : 0;
  result.DataCount = static_cast<std::uint16_t>(std::min<std::size_t>(result.Length, carried));
  return result;
}

std::size_t EncodeArtDmx(std::uint16_t Universe, std::span<const std::uint8_t> Data,
                         std::uint16_t Length, std::span<std::uint8_t> Out) {
  if (Length > ArtDmxMaxLength || Data.size() < Length || Out.size() < kOffData + Length) {
    return 0;
  }
  std::copy(std::begin(kArtNetId), std::end(kArtNetId), Out.begin() + kOffId);
  WriteLE16(Out, kOffOpCode, OpDmx);
  Out[kOffProtVerHi] = 0;
  Out[kOffProtVerLo] = kProtocolVersion;
  Out[kOffSequence] = 0;  // sequencing disabled
  Out[kOffPhysical] = static_cast<std::uint8_t>(Universe & 0xFF);
  WriteLE16(Out, kOffSubUni, Universe);
  WriteBE16(Out, kOffLength, Length);
  if (Length > 0) std::memcpy(Out.data() + kOffData, Data.data(), Length);
  return kOffData + Length;
}

}  // namespace pallador
