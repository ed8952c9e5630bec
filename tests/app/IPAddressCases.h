#pragma once

// The telling inputs of the address check, each with the rule that decides it.
// Shared by the unit test of the check and the dialog test that types them.

namespace pallador::testsupport {

struct TAddressCase {
  const char* Text;
  bool Valid;
  const char* Rule;
};

inline constexpr TAddressCase kAddressCases[] = {
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
};

}  // namespace pallador::testsupport
