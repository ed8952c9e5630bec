#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace pallador {

// The one place that calls the platform's sockets interface. Error numbers are
// the Windows Sockets numbers users read (10048, 10049, ...): the POSIX stack
// maps errno to them by meaning, and to 20000 + errno where no row exists.
// The stack's operations take no lock and are called from any thread; the last
// error is per thread, so CheckSocketResult runs on the thread of the failed call.

using TIdStackSocketHandle = int;
constexpr TIdStackSocketHandle IdInvalidSocket = -1;
using TIdIPv4Address = std::array<std::uint8_t, 4>;  // network order, most significant first

// Socket option names as the callers know them; the stack translates them.
constexpr int Id_SOCK_DGRAM = 2;
constexpr int Id_SOL_SOCKET = 0xFFFF;
constexpr int Id_SO_BROADCAST = 32;
constexpr int Id_SO_REUSEADDR = 4;
constexpr int Id_SO_RCVBUF = 0x1002;
constexpr int Id_SO_BINDTODEVICE = 0x7001;  // value: interface name bytes
constexpr int Id_IPPROTO_IP = 0;
constexpr int Id_IP_UNICAST_IF = 31;  // value: 4-byte interface index, host order
constexpr int Id_SD_SEND = 1;
// recvfrom flag: fail at once with 10035 when no datagram is queued (the POSIX
// stack passes it through: it is Linux's MSG_DONTWAIT).
constexpr int Id_MSG_DONTWAIT = 0x40;
constexpr int Id_MaxSelectSockets = 64;
constexpr int Id_WaitForever = -2;

// One local IPv4 interface address (for broadcast companions, pinning and the
// network-down check).
struct TIdInterfaceAddress {
  std::string Name;               // e.g. "eth0"
  unsigned Index = 0;             // interface index
  std::string Address;            // dotted
  std::string DirectedBroadcast;  // address | ~netmask, dotted
  bool Up = false;                // IFF_UP
  bool Running = false;           // IFF_RUNNING (carrier)
  bool Loopback = false;
};

class TIdStack {
 public:
  virtual ~TIdStack() = default;

  // One operation per platform call. Results are the platform's (0 or -1, or a
  // count); a failure leaves its mapped code for WSGetLastError.
  // A datagram socket (Id_SOCK_DGRAM) of family AF_INET; raises EIdInvalidSocket.
  virtual TIdStackSocketHandle NewSocket(int SocketType, int Protocol) = 0;
  virtual int bind(TIdStackSocketHandle Socket, int Port, const std::string& IP) = 0;
  virtual int closesocket(TIdStackSocketHandle Socket) = 0;
  virtual int shutdown(TIdStackSocketHandle Socket, int How) = 0;
  // Raises EIdSocketError on failure.
  virtual void getsockname(TIdStackSocketHandle Socket, std::string& IP, int& Port) = 0;
  virtual int setsockopt(TIdStackSocketHandle Socket, int Level, int Option, const void* Value,
                         int ValueLength) = 0;
  // Waits until one of Sockets is readable, at most TimeoutMs (Id_WaitForever: no
  // limit); Sockets becomes the readable ones. WakeFd, when not -1, is waited on
  // too (never counted, never listed): it lets another thread end the wait.
  // More than 64 sockets raise EIdStackSetSizeExceeded before any platform call.
  virtual int select(std::vector<TIdStackSocketHandle>& Sockets, int TimeoutMs,
                     int WakeFd = -1) = 0;
  // A datagram longer than Length is consumed and reported as -1 with 10040,
  // never returned truncated.
  virtual int recvfrom(TIdStackSocketHandle Socket, void* Buffer, int Length, int Flags,
                       std::string& FromIP, int& FromPort) = 0;
  virtual int sendto(TIdStackSocketHandle Socket, const void* Buffer, int Length, int Flags,
                     const std::string& IP, int Port) = 0;
  virtual int WSGetLastError() = 0;
  // Host lookup; raises EIdSocketError (11001 "Host not found.") on failure.
  virtual std::string gethostbyname(const std::string& Host) = 0;
  // The local interface that holds IP, if any.
  virtual std::optional<TIdInterfaceAddress> InterfaceOfAddress(const std::string& IP) = 0;

  // Result checks and error texts.
  bool CheckSocketResult(int Result, std::initializer_list<int> Ignore = {});
  [[noreturn]] static void ThrowSocketError(int Code);
  static std::string SocketErrorText(int Code);

  // Address text: a, a.b, a.b.c or a.b.c.d (the last part takes up the rest of
  // the bytes). Every part is a number as the port dialog reads one: leading
  // blanks, one sign, decimal digits (leading zeros read as decimal) or a "$",
  // "x", "X", "0x", "0X" prefix and hexadecimal digits. So every text the
  // dialog accepts is an address here, and never goes to a name lookup.
  static bool IsIPv4Text(const std::string& Text);
  static TIdIPv4Address ParseIPv4(const std::string& Text);  // raises EIdInvalidIPAddress
  static std::string FormatIPv4(const TIdIPv4Address& Bytes);
  // "localhost" in any case gives 127.0.0.1, an address text is taken as it
  // is, anything else is looked up (gethostbyname), blocking the caller.
  std::string ResolveToIPv4(const std::string& Host);
  // Whether ResolveToIPv4 answers Host without a lookup.
  static bool ResolvesWithoutLookup(const std::string& Host);
};

// errno -> Windows Sockets number, by meaning (one table).
int ToWsaError(int Errno);

// The platform's stack (TIdStackPosix here); called by the first component.
std::unique_ptr<TIdStack> CreateIdStack();

// The stack's lifetime follows the live socket components: the first one
// creates SocketStack, the last one destroys it; the count and the stack are
// guarded by one process-wide lock.
TIdStack* GStack();
void SocketComponentCreated();
void SocketComponentDestroyed();
int SocketComponentCount();

}  // namespace pallador
