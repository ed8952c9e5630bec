#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace pallador::test {

// An ArtDmx datagram written byte by byte, as a console or the bridge puts it
// on the wire. Data may hold fewer or more bytes than Length says: tests use
// that to send datagrams whose header lies.
inline std::vector<std::uint8_t> ArtDmxBytes(std::uint16_t Universe, std::uint16_t Length,
                                             std::span<const std::uint8_t> Data,
                                             std::uint8_t Sequence = 0,
                                             std::uint8_t Physical = 0) {
  // clang-format off
  const std::array<std::uint8_t, 18> header{
      'A', 'r', 't', '-', 'N', 'e', 't', 0,          // ID
      0x00, 0x50,                                    // OpCode 0x5000, low byte first
      0x00, 14,                                      // protocol version 14
      Sequence, Physical,
      static_cast<std::uint8_t>(Universe & 0xFF),    // SubUni
      static_cast<std::uint8_t>(Universe >> 8),      // Net
      static_cast<std::uint8_t>(Length >> 8),        // Length, high byte first
      static_cast<std::uint8_t>(Length & 0xFF)};
  // clang-format on
  // Sized once, then filled: GCC 12 at -O2 warns falsely about insert() here.
  std::vector<std::uint8_t> packet(header.size() + Data.size());
  std::copy(header.begin(), header.end(), packet.begin());
  std::copy(Data.begin(), Data.end(), packet.begin() + static_cast<std::ptrdiff_t>(header.size()));
  return packet;
}

}  // namespace pallador::test
