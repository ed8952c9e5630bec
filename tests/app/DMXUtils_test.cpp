#include "app/DMXUtils.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>

namespace pallador {
namespace {

struct AddressCase {
  const char* Text;
  bool Valid;
  const char* Rule;
};

// The telling inputs of the address check, each with the rule that decides it.
constexpr AddressCase AddressCases[] = {
    {"192.168.0.10", true, "plain address"},
    {"0.0.0.0", true, "lower bound included"},
    {"255.255.255.255", true, "upper bound included"},
    {"010.001.000.255", true, "leading zeros read as decimal"},
    {"", false, "no dots"},
    {"192.168.0", false, "two dots"},
    {"1.2.3.4.5", false, "a fourth dot"},
    {"1.2.3.4.", false, "dot at the end"},
    {"1..2.3.4", false, "a dot followed by a dot"},
    {".1.2.3", false, "empty first part"},
    {"256.1.1.1", false, "first part above 255"},
    {"1.2.3.256", false, "last part above 255"},
    {"1.2.3.99999999999", false, "part too large to convert"},
    {"1.2.3.4 ", false, "trailing space"},
    {"1.2.a.4", false, "a letter"},
    {" 1.2.3.4", true, "leading space: first part converts to 1"},
    {"+1.2.3.4", true, "plus sign: first part converts to 1"},
    {"-0.1.2.3", true, "minus zero converts to 0"},
    {"-1.2.3.4", false, "first part is -1"},
    {"$10.1.2.3", true, "hexadecimal 10 is 16"},
    {"x100.1.2.3", false, "hexadecimal 100 is 256"},
    {"a1.2.3.4", false, "first part does not convert"},
    {".", false, "a lone dot"},
    {"1", false, "one character, no dots"},
    {"1.2.3.4\n", false, "a control character"},
    {"1.2.3.\xc2\xb2", false, "a non-ASCII digit-like character"},
};

TEST(IsValidIP, FollowsTheAddressRules) {
  for (const AddressCase& c : AddressCases) {
    EXPECT_EQ(IsValidIP(c.Text), c.Valid) << '"' << c.Text << "\": " << c.Rule;
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
