#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <span>

namespace pallador {

constexpr int UniverseRows = 64;
constexpr int UniverseChannels = 512;

// The process-wide DMX levels: row r is universe r, byte c - 1 is channel c,
// all zero at start. The input port writes rows 0 to 15 on the main thread; the
// output ports read on the transmit thread. A row is never copied while it is
// written: both go through the table's own lock.
class TUniverseTable {
 public:
  // Copies up to 512 bytes into the row; rows outside 0..63 are ignored.
  void WriteRow(int Row, std::span<const std::uint8_t> Levels);
  // Copies the row into Out (512 bytes); a row outside 0..63 reads as zeros.
  void ReadRow(int Row, std::span<std::uint8_t, UniverseChannels> Out) const;
  void Clear();

 private:
  mutable std::mutex Lock_;
  std::array<std::array<std::uint8_t, UniverseChannels>, UniverseRows> Rows_{};  // guarded by Lock_
};

TUniverseTable& UniverseTable();

}  // namespace pallador
