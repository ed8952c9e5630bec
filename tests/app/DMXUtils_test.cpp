#include "app/DMXUtils.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "app/IPAddressCases.h"
#include "net/IdStack.h"

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

// The socket layer sends to and binds what the dialog lets through: each such
// text must be an address there, the same one, so that it never goes to a
// name lookup.
TEST(IsValidIP, EveryAcceptedTextIsTheSameAddressForTheSocketLayer) {
  std::vector<std::string> texts;
  for (const testsupport::TAddressCase& c : testsupport::kAddressCases) texts.emplace_back(c.Text);
  for (const char* prefix : {"", " ", "+", "-", "$", "x", "X", "0x", "0X"}) {
    for (const char* digits : {"0", "00", "7", "010", "99", "127", "255", "256", "FF"}) {
      texts.push_back(std::string(prefix) + digits + ".0.0.1");
    }
  }
  int accepted = 0;
  for (const std::string& text : texts) {
    if (!IsValidIP(text)) continue;
    ++accepted;
    std::array<std::int32_t, 4> parts{};
    SplitIP(text, parts[0], parts[1], parts[2], parts[3]);
    const TIdIPv4Address expected{
        static_cast<std::uint8_t>(parts[0]), static_cast<std::uint8_t>(parts[1]),
        static_cast<std::uint8_t>(parts[2]), static_cast<std::uint8_t>(parts[3])};
    ASSERT_TRUE(TIdStack::IsIPv4Text(text)) << '"' << text << '"';
    EXPECT_EQ(TIdStack::ParseIPv4(text), expected) << '"' << text << '"';
  }
  EXPECT_GT(accepted, 40);
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
