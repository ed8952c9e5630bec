#pragma once

#include <cstdint>
#include <string>

namespace pallador {

// Splits a dotted text into four numbers, -1 where a number is missing or does
// not convert (conversion stops at the first part that fails).
void SplitIP(const std::string& Text, std::int32_t& First, std::int32_t& Second,
             std::int32_t& Third, std::int32_t& Fourth);

// Whether Text is a dotted IPv4 address of four parts from 0 to 255. Every
// character after the first must be a digit or a dot; the first part goes
// through the integer conversion of SplitIP, so " 1", "+1" or "$10" pass.
bool IsValidIP(const std::string& Text);

// The integer conversion SplitIP uses: leading spaces, one optional sign, then
// decimal digits or a "$", "x", "X", "0x", "0X" prefix and hexadecimal digits,
// nothing else; the value must fit a signed 32-bit integer.
bool TryStrToInt(const std::string& Text, std::int32_t& Value);

}  // namespace pallador
