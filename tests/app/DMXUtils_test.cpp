#include "app/DMXUtils.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "app/IPAddressCases.h"

namespace pallador {
namespace {

// Beyond the shared table: inputs no one types into the dialog.
constexpr testsupport::TAddressCase kMoreAddressCases[] = {
    {".", false, "a lone dot"},
    {"1", false, "one character, no dots"},
    {"1.2.3.4\n", false, "a control character"},
    {"1.2.3.\xc2\xb2", false, "a non-ASCII digit-like character"},
};

TEST(IsValidIP, FollowsTheAddressRules) {
  using Table = std::span<const testsupport::TAddressCase>;
  for (const Table table : {Table(testsupport::kAddressCases), Table(kMoreAddressCases)}) {
    for (const testsupport::TAddressCase& c : table) {
      EXPECT_EQ(IsValidIP(c.Text), c.Valid) << '"' << c.Text << "\": " << c.Rule;
    }
  }
}

struct SplitCase {
  const char* Text;
  std::array<std::int32_t, 4> Parts;
};

TEST(SplitIP, ConvertsUntilThePartThatFails) {
  constexpr SplitCase cases[] = {
      {"", {-1, -1, -1, -1}},
      {"1.2.3.4", {1, 2, 3, 4}},
      {"1.2", {1, 2, -1, -1}},
      {"1.2.3.4.5.6", {1, 2, 3, 4}},   // parts after the fourth are dropped
      {"1.2.3.4.junk", {1, 2, 3, 4}},  // ... without conversion
      {"1.x.3.4", {1, -1, -1, -1}},    // a failed part stops the split
      {"1..3.4", {1, -1, -1, -1}},     // an empty part does not convert
      {"  7.0x1F.$ff.-X10", {7, 31, 255, -16}},
      {"2147483647.-2147483648.2147483648.4", {2147483647, -2147483648, -1, -1}},
      {"1 .2.3.4", {-1, -1, -1, -1}},   // nothing may follow the digits
      {"+-1.2.3.4", {-1, -1, -1, -1}},  // at most one sign
      {"0x.2.3.4", {-1, -1, -1, -1}},   // a prefix needs hexadecimal digits
  };
  for (const SplitCase& c : cases) {
    std::array<std::int32_t, 4> parts{};
    SplitIP(c.Text, parts[0], parts[1], parts[2], parts[3]);
    EXPECT_EQ(parts, c.Parts) << '"' << c.Text << '"';
  }
}

}  // namespace
}  // namespace pallador
