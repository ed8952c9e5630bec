// Address texts: the socket stack's IPv4 text (IsIPv4Text, ParseIPv4,
// FormatIPv4) and the dialog's address check (IsValidIP, SplitIP). Whatever
// the text, nothing crashes, ParseIPv4 either gives bytes that format and
// parse back to themselves or raises EIdInvalidIPAddress naming the text, and
// every text the dialog accepts parses to the address the dialog read.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <optional>
#include <string>

#include "app/DMXUtils.h"
#include "fuzz/FuzzCheck.h"
#include "net/IdException.h"
#include "net/IdStack.h"

namespace pallador {
namespace {

std::optional<TIdIPv4Address> Parse(const std::string& Text) {
  try {
    return TIdStack::ParseIPv4(Text);
  } catch (const EIdInvalidIPAddress& e) {
    // Compared as C strings: what() ends at a zero byte of the text.
    const std::string message = Text + " is not a valid IP address.";
    FUZZ_CHECK(std::strcmp(e.what(), message.c_str()) == 0, "message");
    return std::nullopt;
  } catch (...) {
    FUZZ_CHECK(false, "ParseIPv4 raised something other than EIdInvalidIPAddress");
  }
  return std::nullopt;
}

void CheckRoundTrip(const TIdIPv4Address& Bytes) {
  const std::string text = TIdStack::FormatIPv4(Bytes);
  FUZZ_CHECK(IsValidIP(text), "formatted address passes the dialog's check");
  const std::optional<TIdIPv4Address> again = Parse(text);
  FUZZ_CHECK(again && *again == Bytes, "formatted address parses back");
}

}  // namespace
}  // namespace pallador

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  using namespace pallador;
  const std::string text(reinterpret_cast<const char*>(Data), Size);

  const bool isText = TIdStack::IsIPv4Text(text);
  const std::optional<TIdIPv4Address> bytes = Parse(text);
  FUZZ_CHECK(isText == bytes.has_value(), "IsIPv4Text agrees with ParseIPv4");
  if (bytes) CheckRoundTrip(*bytes);
  if (Size >= 4) CheckRoundTrip({Data[0], Data[1], Data[2], Data[3]});

  std::int32_t part[4] = {0, 0, 0, 0};
  SplitIP(text, part[0], part[1], part[2], part[3]);
  if (IsValidIP(text)) {
    for (const std::int32_t p : part) FUZZ_CHECK(p >= 0 && p <= 255, "accepted parts are bytes");
    // Whatever notation the first part uses (" 1", "+1", "$10"), the stack
    // reads the same address: no text the dialog accepts goes to a lookup.
    FUZZ_CHECK(bytes.has_value(), "an address the dialog accepts parses");
    for (std::size_t i = 0; bytes && i < 4; ++i) {
      FUZZ_CHECK((*bytes)[i] == part[i], "both read the same address");
    }
  }
  return 0;
}
