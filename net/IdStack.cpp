#include "net/IdStack.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string_view>
#include <utility>

#include "net/IdException.h"

namespace pallador {

namespace {

struct TErrorReason {
  int Code;
  const char* Reason;
};

// The reasons users read after "Socket Error # <code>". 10035 keeps its trailing
// blank and 10066 its missing full stop: status texts are compared as written.
constexpr TErrorReason kErrorReasons[] = {
    {10004, "Interrupted system call."},
    {10009, "Bad file number."},
    {10013, "Access denied."},
    {10014, "Bad address."},
    {10022, "Invalid argument."},
    {10024, "Too many open files."},
    {10035, "Operation would block. "},
    {10036, "Operation now in progress."},
    {10037, "Operation already in progress."},
    {10038, "Socket operation on non-socket."},
    {10039, "Destination address required."},
    {10040, "Message too long."},
    {10041, "Protocol wrong type for socket."},
    {10042, "Bad protocol option."},
    {10043, "Protocol not supported."},
    {10044, "Socket type not supported."},
    {10045, "Operation not supported on socket."},
    {10046, "Protocol family not supported."},
    {10047, "Address family not supported by protocol family."},
    {10048, "Address already in use."},
    {10049, "Cannot assign requested address."},
    {10050, "Network is down."},
    {10051, "Network is unreachable."},
    {10052, "Net dropped connection or reset."},
    {10053, "Software caused connection abort."},
    {10054, "Connection reset by peer."},
    {10055, "No buffer space available."},
    {10056, "Socket is already connected."},
    {10057, "Socket is not connected."},
    {10058, "Cannot send or receive after socket is closed."},
    {10059, "Too many references, cannot splice."},
    {10060, "Connection timed out."},
    {10061, "Connection refused."},
    {10062, "Too many levels of symbolic links."},
    {10063, "File name too long."},
    {10064, "Host is down."},
    {10065, "No route to host."},
    {10066, "Directory not empty"},
    {11001, "Host not found."},
};

int DigitValue(char C, int Base) {
  if (C >= '0' && C <= '9') return C - '0';
  if (Base == 16 && C >= 'a' && C <= 'f') return C - 'a' + 10;
  if (Base == 16 && C >= 'A' && C <= 'F') return C - 'A' + 10;
  return -1;
}

// One part, in the notations the port dialog's check reads a number in: any
// leading blanks, at most one sign, then decimal digits (leading zeros are
// decimal) or "$", "x", "X", "0x", "0X" and hexadecimal digits; nothing else.
// Returns -1 for anything else, for a negative value (only -0 is a part) and
// for values beyond 32 bits.
std::int64_t ParsePart(std::string_view Part) {
  constexpr std::int64_t kMax = 0xFFFFFFFFLL;
  std::size_t i = 0;
  while (i < Part.size() && Part[i] == ' ') ++i;
  bool negative = false;
  if (i < Part.size() && (Part[i] == '+' || Part[i] == '-')) negative = Part[i++] == '-';
  int base = 10;
  if (Part.substr(i, 2) == "0x" || Part.substr(i, 2) == "0X") {
    base = 16;
    i += 2;
  } else if (i < Part.size() && (Part[i] == '$' || Part[i] == 'x' || Part[i] == 'X')) {
    base = 16;
    ++i;
  }
  if (i == Part.size()) return -1;
  std::int64_t value = 0;
  for (; i < Part.size(); ++i) {
    const int digit = DigitValue(Part[i], base);
    if (digit < 0) return -1;
    value = value * base + digit;
    if (value > kMax) return -1;
  }
  return negative && value != 0 ? -1 : value;
}

bool InRange(std::int64_t Value, std::int64_t Max) {
  return Value >= 0 && Value <= Max;
}

std::uint8_t ByteOf(std::int64_t Value, int Shift) {
  return static_cast<std::uint8_t>((Value >> Shift) & 0xFF);
}

// The forms a, a.b, a.b.c and a.b.c.d, chosen by how many of the first three
// dots are present. Text after the third dot is the last part, dots included,
// so 1.2.3.4.5 fails as a number. A part that is present must be a number: an
// empty one ("1..2", "1.2.3.") makes the text invalid rather than silently
// dropping what follows it.
std::optional<TIdIPv4Address> TryParseIPv4(std::string_view Text) {
  std::string_view parts[4];
  int count = 0;
  std::string_view rest = Text;
  while (count < 3) {
    const std::size_t dot = rest.find('.');
    if (dot == std::string_view::npos) break;
    parts[count++] = rest.substr(0, dot);
    rest = rest.substr(dot + 1);
  }
  parts[count++] = rest;

  std::int64_t n[4] = {0, 0, 0, 0};
  for (int i = 0; i < count; ++i) n[i] = ParsePart(parts[i]);

  switch (count) {
    case 1:
      if (!InRange(n[0], 0xFFFFFFFFLL)) return std::nullopt;
      return TIdIPv4Address{ByteOf(n[0], 24), ByteOf(n[0], 16), ByteOf(n[0], 8), ByteOf(n[0], 0)};
    case 2:
      if (!InRange(n[0], 255) || !InRange(n[1], 0xFFFFFF)) return std::nullopt;
      return TIdIPv4Address{ByteOf(n[0], 0), ByteOf(n[1], 16), ByteOf(n[1], 8), ByteOf(n[1], 0)};
    case 3:
      if (!InRange(n[0], 255) || !InRange(n[1], 255) || !InRange(n[2], 0xFFFF)) {
        return std::nullopt;
      }
      return TIdIPv4Address{ByteOf(n[0], 0), ByteOf(n[1], 0), ByteOf(n[2], 8), ByteOf(n[2], 0)};
    default:
      for (const std::int64_t part : n) {
        if (!InRange(part, 255)) return std::nullopt;
      }
      return TIdIPv4Address{ByteOf(n[0], 0), ByteOf(n[1], 0), ByteOf(n[2], 0), ByteOf(n[3], 0)};
  }
}

bool EqualsIgnoringCase(std::string_view A, std::string_view B) {
  return A.size() == B.size() &&
         std::equal(A.begin(), A.end(), B.begin(), [](char Left, char Right) {
           return std::toupper(static_cast<unsigned char>(Left)) ==
                  std::toupper(static_cast<unsigned char>(Right));
         });
}

// Created at process start (constant-initialised), guards the two below.
std::mutex gStackLock;
int gComponentCount = 0;
std::unique_ptr<TIdStack> gOwnedStack;
// Read by any thread that holds a live component; only written under the lock
// when the count passes through zero.
std::atomic<TIdStack*> gStack{nullptr};

}  // namespace

bool TIdStack::CheckSocketResult(int Result, std::initializer_list<int> Ignore) {
  if (Result != -1) return false;
  const int code = WSGetLastError();
  if (std::find(Ignore.begin(), Ignore.end(), code) != Ignore.end()) return true;
  ThrowSocketError(code);
}

void TIdStack::ThrowSocketError(int Code) {
  throw EIdSocketError(Code);
}

std::string TIdStack::SocketErrorText(int Code) {
  const char* reason = "";
  for (const TErrorReason& row : kErrorReasons) {
    if (row.Code == Code) {
      reason = row.Reason;
      break;
    }
  }
  return "Socket Error # " + std::to_string(Code) + "\r\n" + reason;
}

bool TIdStack::IsIPv4Text(const std::string& Text) {
  return TryParseIPv4(Text).has_value();
}

TIdIPv4Address TIdStack::ParseIPv4(const std::string& Text) {
  const std::optional<TIdIPv4Address> bytes = TryParseIPv4(Text);
  if (!bytes) throw EIdInvalidIPAddress(Text);
  return *bytes;
}

std::string TIdStack::FormatIPv4(const TIdIPv4Address& Bytes) {
  return std::to_string(Bytes[0]) + "." + std::to_string(Bytes[1]) + "." +
         std::to_string(Bytes[2]) + "." + std::to_string(Bytes[3]);
}

std::string TIdStack::ResolveToIPv4(const std::string& Host) {
  if (EqualsIgnoringCase(Host, "LOCALHOST")) return "127.0.0.1";
  if (IsIPv4Text(Host)) return Host;
  return gethostbyname(Host);
}

bool TIdStack::ResolvesWithoutLookup(const std::string& Host) {
  return EqualsIgnoringCase(Host, "LOCALHOST") || IsIPv4Text(Host);
}

TIdStack* GStack() {
  return gStack.load(std::memory_order_acquire);
}

void SocketComponentCreated() {
  const std::scoped_lock lock(gStackLock);
  if (gComponentCount == 0) {
    // A failure leaves the count and the stack as they were.
    gOwnedStack = CreateIdStack();
    gStack.store(gOwnedStack.get(), std::memory_order_release);
  }
  ++gComponentCount;
}

void SocketComponentDestroyed() {
  const std::scoped_lock lock(gStackLock);
  if (gComponentCount == 0) return;  // unbalanced call: nothing to release
  if (--gComponentCount == 0) {
    gStack.store(nullptr, std::memory_order_release);
    gOwnedStack.reset();
  }
}

int SocketComponentCount() {
  const std::scoped_lock lock(gStackLock);
  return gComponentCount;
}

}  // namespace pallador
