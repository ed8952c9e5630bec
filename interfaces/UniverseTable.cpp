#include "interfaces/UniverseTable.h"

#include <algorithm>

namespace pallador {

namespace {
bool IsRow(int Row) {
  return Row >= 0 && Row < UniverseRows;
}
}  // namespace

void TUniverseTable::WriteRow(int Row, std::span<const std::uint8_t> Levels) {
  if (!IsRow(Row)) return;
  const std::size_t count = std::min<std::size_t>(Levels.size(), UniverseChannels);
  std::scoped_lock lock(Lock_);
  std::copy_n(Levels.begin(), count, Rows_[static_cast<std::size_t>(Row)].begin());
}

void TUniverseTable::ReadRow(int Row, std::span<std::uint8_t, UniverseChannels> Out) const {
  if (!IsRow(Row)) {
    std::fill(Out.begin(), Out.end(), std::uint8_t{0});
    return;
  }
  std::scoped_lock lock(Lock_);
  const auto& row = Rows_[static_cast<std::size_t>(Row)];
  std::copy(row.begin(), row.end(), Out.begin());
}

void TUniverseTable::Clear() {
  std::scoped_lock lock(Lock_);
  for (auto& row : Rows_) row.fill(0);
}

TUniverseTable& UniverseTable() {
  static TUniverseTable table;
  return table;
}

}  // namespace pallador
