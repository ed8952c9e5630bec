#include "interfaces/UniverseTable.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

namespace pallador {
namespace {

using TRow = std::array<std::uint8_t, UniverseChannels>;

TEST(TUniverseTable, RowsOutsideTheTableReadAsZerosAndIgnoreWrites) {
  TUniverseTable table;
  const std::vector<std::uint8_t> full(UniverseChannels, 0x99);
  for (int row : {-1, 64, 1000}) table.WriteRow(row, full);
  TRow out{};
  out.fill(0xEE);
  table.ReadRow(64, out);
  EXPECT_EQ(out, TRow{});
  out.fill(0xEE);
  table.ReadRow(-1, out);
  EXPECT_EQ(out, TRow{});
  for (int row = 0; row < UniverseRows; ++row) {
    table.ReadRow(row, out);
    EXPECT_EQ(out, TRow{}) << row;
  }
}

TEST(TUniverseTable, WriteCopiesAtMostOneRowAndKeepsTheRest) {
  TUniverseTable table;
  table.WriteRow(5, std::vector<std::uint8_t>(UniverseChannels, 0x11));
  table.WriteRow(5, std::vector<std::uint8_t>(100, 0x22));
  table.WriteRow(6, std::vector<std::uint8_t>(UniverseChannels + 10, 0x33));
  TRow five{};
  table.ReadRow(5, five);
  EXPECT_EQ(five[99], 0x22);
  EXPECT_EQ(five[100], 0x11);
  EXPECT_EQ(five[511], 0x11);
  TRow seven{};
  table.ReadRow(7, seven);
  EXPECT_EQ(seven, TRow{}) << "a long write spilled into the next row";
  table.Clear();
  table.ReadRow(5, five);
  EXPECT_EQ(five, TRow{});
}

}  // namespace
}  // namespace pallador
