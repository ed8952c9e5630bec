#include "app/DMXUtils.h"

#include <array>
#include <cstddef>
#include <limits>

namespace pallador {
namespace {

bool IsDigit(char C) {
  return C >= '0' && C <= '9';
}

int HexValue(char C) {
  if (IsDigit(C)) return C - '0';
  if (C >= 'a' && C <= 'f') return C - 'a' + 10;
  if (C >= 'A' && C <= 'F') return C - 'A' + 10;
  return -1;
}

}  // namespace

bool TryStrToInt(const std::string& Text, std::int32_t& Value) {
  std::size_t i = 0;
  const std::size_t n = Text.size();
  while (i < n && Text[i] == ' ') ++i;
  bool negative = false;
  if (i < n && (Text[i] == '+' || Text[i] == '-')) {
    negative = Text[i] == '-';
    ++i;
  }
  int base = 10;
  if (i + 1 < n && Text[i] == '0' && (Text[i + 1] == 'x' || Text[i + 1] == 'X')) {
    base = 16;
    i += 2;
  } else if (i < n && (Text[i] == '$' || Text[i] == 'x' || Text[i] == 'X')) {
    base = 16;
    ++i;
  }
  if (i == n) return false;

  // The magnitude may reach 2^31 only for a negative value.
  const std::int64_t limit =
      static_cast<std::int64_t>(std::numeric_limits<std::int32_t>::max()) + (negative ? 1 : 0);
  std::int64_t magnitude = 0;
  for (; i < n; ++i) {
    const int digit = base == 16 ? HexValue(Text[i]) : (IsDigit(Text[i]) ? Text[i] - '0' : -1);
    if (digit < 0) return false;
    magnitude = magnitude * base + digit;
    if (magnitude > limit) return false;
  }
  Value = static_cast<std::int32_t>(negative ? -magnitude : magnitude);
  return true;
}

void SplitIP(const std::string& Text, std::int32_t& First, std::int32_t& Second,
             std::int32_t& Third, std::int32_t& Fourth) {
  std::array<std::int32_t*, 4> numbers{&First, &Second, &Third, &Fourth};
  for (std::int32_t* number : numbers) *number = -1;
  if (Text.empty()) return;

  const std::string text = Text + '.';
  std::size_t start = 0;
  for (std::size_t part = 0; start < text.size(); ++part) {
    const std::size_t dot = text.find('.', start);
    if (dot == std::string::npos) return;
    if (part < numbers.size()) {
      std::int32_t value = 0;
      if (!TryStrToInt(text.substr(start, dot - start), value)) return;
      *numbers[part] = value;
    }
    start = dot + 1;
  }
}

bool IsValidIP(const std::string& Text) {
  const std::size_t n = Text.size();
  int dots = 0;
  // Looks at each character's successor: the first character is held only to
  // the rule that a dot is followed by a digit.
  for (std::size_t i = 0; i + 1 < n; ++i) {
    const char next = Text[i + 1];
    if (Text[i] == '.') {
      if (!IsDigit(next)) return false;
      if (++dots > 3) return false;
    }
    if (next != '.' && !IsDigit(next)) return false;
  }
  if (n > 0 && Text[n - 1] == '.') return false;
  if (dots != 3) return false;

  std::int32_t a = 0;
  std::int32_t b = 0;
  std::int32_t c = 0;
  std::int32_t d = 0;
  SplitIP(Text, a, b, c, d);
  for (const std::int32_t part : {a, b, c, d}) {
    if (part < 0 || part > 255) return false;
  }
  return true;
}

}  // namespace pallador
