// The socket stack on POSIX sockets. The only unit that includes the OS's
// socket headers; everything above it sees Windows Sockets numbers.

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "net/IdException.h"
#include "net/IdHostLookup.h"
#include "net/IdStack.h"

namespace pallador {

namespace {

struct TErrnoRow {
  int Errno;
  int Wsa;
};

// Mapped by meaning. EAGAIN == EWOULDBLOCK and EOPNOTSUPP == ENOTSUP on Linux,
// so each appears once.
constexpr TErrnoRow kErrnoToWsa[] = {
    {EINTR, 10004},        {EBADF, 10009},           {EACCES, 10013},
    {EPERM, 10013},        {EFAULT, 10014},          {EINVAL, 10022},
    {EMFILE, 10024},       {ENFILE, 10024},          {EAGAIN, 10035},
    {EINPROGRESS, 10036},  {EALREADY, 10037},        {ENOTSOCK, 10038},
    {EDESTADDRREQ, 10039}, {EMSGSIZE, 10040},        {EPROTOTYPE, 10041},
    {ENOPROTOOPT, 10042},  {EPROTONOSUPPORT, 10043}, {ESOCKTNOSUPPORT, 10044},
    {EOPNOTSUPP, 10045},   {EPFNOSUPPORT, 10046},    {EAFNOSUPPORT, 10047},
    {EADDRINUSE, 10048},   {EADDRNOTAVAIL, 10049},   {ENETDOWN, 10050},
    {ENETUNREACH, 10051},  {ENETRESET, 10052},       {ECONNABORTED, 10053},
    {ECONNRESET, 10054},   {ENOBUFS, 10055},         {ENOMEM, 10055},
    {EISCONN, 10056},      {ENOTCONN, 10057},        {ESHUTDOWN, 10058},
    {EPIPE, 10058},        {ETOOMANYREFS, 10059},    {ETIMEDOUT, 10060},
    {ECONNREFUSED, 10061}, {ELOOP, 10062},           {ENAMETOOLONG, 10063},
    {EHOSTDOWN, 10064},    {EHOSTUNREACH, 10065},    {ENOTEMPTY, 10066},
};

constexpr int kWsaInvalidArgument = 10022;
constexpr int kWsaBadProtocolOption = 10042;
constexpr int kWsaSocketTypeNotSupported = 10044;
constexpr int kWsaMessageTooLong = 10040;
constexpr int kWsaBadFile = 10009;
constexpr int kWsaNotSocket = 10038;
constexpr int kWsaHostNotFound = 11001;
constexpr int kWsaTryAgain = 11002;
constexpr int kWsaNoRecovery = 11003;
constexpr int kWsaNoData = 11004;
constexpr int kWsaNoBuffers = 10055;

// getaddrinfo's failures in the resolver's own numbering (11000 + h_errno).
int LookupErrorToWsa(int Eai, int Errno) {
  switch (Eai) {
    case EAI_NONAME:
      return kWsaHostNotFound;
    case EAI_AGAIN:
      return kWsaTryAgain;
    case EAI_NODATA:
    case EAI_ADDRFAMILY:
      return kWsaNoData;  // the name exists but has no IPv4 address
    case EAI_MEMORY:
      return kWsaNoBuffers;
    case EAI_SYSTEM:
      return ToWsaError(Errno);
    default:
      return kWsaNoRecovery;
  }
}

// Last error of the calling thread, set right after each failed call.
thread_local int tLastError = 0;

int Fail(int Wsa) {
  tLastError = Wsa;
  return -1;
}

int FailWithErrno() {
  return Fail(ToWsaError(errno));
}

sockaddr_in MakeAddress(const TIdIPv4Address& Bytes, int Port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(Port));
  std::memcpy(&address.sin_addr.s_addr, Bytes.data(), Bytes.size());
  return address;
}

TIdIPv4Address BytesOf(const in_addr& Address) {
  TIdIPv4Address bytes{};
  std::memcpy(bytes.data(), &Address.s_addr, bytes.size());
  return bytes;
}

bool ValidPort(int Port) {
  return Port >= 0 && Port <= 0xFFFF;
}

// Calls Op until it is not interrupted by a signal.
template <typename TOp>
auto RetryOnInterrupt(TOp Op) {
  for (;;) {
    auto result = Op();
    if (result >= 0 || errno != EINTR) return result;
  }
}

}  // namespace

int ToWsaError(int Errno) {
  for (const TErrnoRow& row : kErrnoToWsa) {
    if (row.Errno == Errno) return row.Wsa;
  }
  // 10000 + errno would land on rows of a different meaning (EDEADLK -> 10035).
  return 20000 + Errno;
}

// Thread: any; takes no lock. Owns no sockets: the callers close what they open.
class TIdStackPosix final : public TIdStack {
 public:
  TIdStackSocketHandle NewSocket(int SocketType, int Protocol) override {
    if (SocketType != Id_SOCK_DGRAM) {
      Fail(kWsaSocketTypeNotSupported);
      throw EIdInvalidSocket();
    }
    // Close-on-exec: no child process inherits a bound port.
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, Protocol);
    if (fd < 0) {
      FailWithErrno();
      throw EIdInvalidSocket();
    }
    return fd;
  }

  int bind(TIdStackSocketHandle Socket, int Port, const std::string& IP) override {
    const TIdIPv4Address bytes = IP.empty() ? TIdIPv4Address{0, 0, 0, 0} : ParseIPv4(IP);
    if (!ValidPort(Port)) return Fail(kWsaInvalidArgument);
    const sockaddr_in address = MakeAddress(bytes, Port);
    if (::bind(Socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      return FailWithErrno();
    }
    return 0;
  }

  int closesocket(TIdStackSocketHandle Socket) override {
    // Never retried: Linux releases the descriptor even when close is interrupted.
    if (::close(Socket) != 0) return FailWithErrno();
    return 0;
  }

  int shutdown(TIdStackSocketHandle Socket, int How) override {
    int how = 0;
    switch (How) {
      case 0:
        how = SHUT_RD;
        break;
      case Id_SD_SEND:
        how = SHUT_WR;
        break;
      case 2:
        how = SHUT_RDWR;
        break;
      default:
        return Fail(kWsaInvalidArgument);
    }
    if (::shutdown(Socket, how) != 0) return FailWithErrno();
    return 0;
  }

  void getsockname(TIdStackSocketHandle Socket, std::string& IP, int& Port) override {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    int result = 0;
    if (::getsockname(Socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      result = FailWithErrno();
    } else if (address.sin_family != AF_INET) {
      result = Fail(10047);
    }
    CheckSocketResult(result);
    IP = FormatIPv4(BytesOf(address.sin_addr));
    Port = ntohs(address.sin_port);
  }

  int setsockopt(TIdStackSocketHandle Socket, int Level, int Option, const void* Value,
                 int ValueLength) override {
    if (ValueLength < 0 || (Value == nullptr && ValueLength > 0)) return Fail(10014);
    const auto length = static_cast<socklen_t>(ValueLength);
    if (Level == Id_SOL_SOCKET) {
      switch (Option) {
        case Id_SO_BROADCAST:
          return SetNative(Socket, SOL_SOCKET, SO_BROADCAST, Value, length);
        case Id_SO_REUSEADDR:
          return SetNative(Socket, SOL_SOCKET, SO_REUSEADDR, Value, length);
        case Id_SO_RCVBUF:
          return SetNative(Socket, SOL_SOCKET, SO_RCVBUF, Value, length);
        case Id_SO_BINDTODEVICE:
          return SetNative(Socket, SOL_SOCKET, SO_BINDTODEVICE, Value, length);
        default:
          return Fail(kWsaBadProtocolOption);
      }
    }
    if (Level == Id_IPPROTO_IP && Option == Id_IP_UNICAST_IF) {
      std::uint32_t index = 0;
      if (length != sizeof index) return Fail(kWsaInvalidArgument);
      std::memcpy(&index, Value, sizeof index);
      // The kernel reads this option's index in network byte order.
      const std::uint32_t networkIndex = htonl(index);
      return SetNative(Socket, IPPROTO_IP, IP_UNICAST_IF, &networkIndex, sizeof networkIndex);
    }
    return Fail(kWsaBadProtocolOption);
  }

  int select(std::vector<TIdStackSocketHandle>& Sockets, int TimeoutMs, int WakeFd) override {
    if (Sockets.size() > static_cast<std::size_t>(Id_MaxSelectSockets)) {
      throw EIdStackSetSizeExceeded();
    }
    if (TimeoutMs < 0 && TimeoutMs != Id_WaitForever) return Fail(kWsaInvalidArgument);
    for (const TIdStackSocketHandle socket : Sockets) {
      if (socket < 0) return Fail(kWsaNotSocket);  // poll would silently skip it
    }

    // On the stack, and the readable list compacted in place: a listener's
    // cycle allocates nothing, however many datagrams it waits for.
    std::array<pollfd, Id_MaxSelectSockets + 1> entries{};
    std::size_t count = 0;
    for (const TIdStackSocketHandle socket : Sockets) entries[count++] = {socket, POLLIN, 0};
    if (WakeFd >= 0) entries[count++] = {WakeFd, POLLIN, 0};
    const std::span<pollfd> set(entries.data(), count);

    const int ready = PollUntil(set, TimeoutMs);
    if (ready < 0) return FailWithErrno();
    for (const pollfd& entry : set) {
      if ((entry.revents & POLLNVAL) != 0) return Fail(kWsaBadFile);
    }

    // Readable as select means it: a datagram or a pending error makes the
    // next recvfrom return at once.
    std::size_t readable = 0;
    for (std::size_t i = 0; i < Sockets.size(); ++i) {
      if ((set[i].revents & (POLLIN | POLLERR | POLLHUP)) != 0) Sockets[readable++] = Sockets[i];
    }
    Sockets.resize(readable);
    return static_cast<int>(readable);
  }

  int recvfrom(TIdStackSocketHandle Socket, void* Buffer, int Length, int Flags,
               std::string& FromIP, int& FromPort) override {
    if (Length < 0) return Fail(kWsaInvalidArgument);
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    // MSG_TRUNC makes the kernel return the datagram's real length, so a
    // datagram longer than the buffer is seen, consumed and never passed on cut.
    const ssize_t received = RetryOnInterrupt([&] {
      fromLength = sizeof from;
      return ::recvfrom(Socket, Buffer, static_cast<std::size_t>(Length), Flags | MSG_TRUNC,
                        reinterpret_cast<sockaddr*>(&from), &fromLength);
    });
    if (received < 0) return FailWithErrno();
    if (received > Length) return Fail(kWsaMessageTooLong);
    FromIP = from.sin_family == AF_INET ? FormatIPv4(BytesOf(from.sin_addr)) : std::string();
    FromPort = from.sin_family == AF_INET ? ntohs(from.sin_port) : 0;
    return static_cast<int>(received);
  }

  int sendto(TIdStackSocketHandle Socket, const void* Buffer, int Length, int Flags,
             const std::string& IP, int Port) override {
    const sockaddr_in to = MakeAddress(ParseIPv4(IP), Port);
    if (Length < 0 || !ValidPort(Port)) return Fail(kWsaInvalidArgument);
    const ssize_t sent = RetryOnInterrupt([&] {
      return ::sendto(Socket, Buffer, static_cast<std::size_t>(Length), Flags | MSG_NOSIGNAL,
                      reinterpret_cast<const sockaddr*>(&to), sizeof to);
    });
    if (sent < 0) return FailWithErrno();
    return static_cast<int>(sent);
  }

  int WSGetLastError() override { return tLastError; }

  std::string gethostbyname(const std::string& Host) override {
    try {
      return CurrentHostResolver()(Host);
    } catch (const EIdSocketError& error) {
      Fail(error.SocketErrorCode);
      throw;
    }
  }

  std::optional<TIdInterfaceAddress> InterfaceOfAddress(const std::string& IP) override {
    if (!IsIPv4Text(IP)) return std::nullopt;
    const sockaddr_in wanted = MakeAddress(ParseIPv4(IP), 0);
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
      FailWithErrno();
      return std::nullopt;
    }
    std::optional<TIdInterfaceAddress> result;
    // An exact address first; then a loopback interface whose subnet holds it,
    // since every 127.x.y.z is local without being assigned one by one.
    for (int pass = 0; pass < 2 && !result; ++pass) {
      for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
        const in_addr address = AsInet(entry->ifa_addr);
        const in_addr mask = entry->ifa_netmask != nullptr ? AsInet(entry->ifa_netmask) : in_addr{};
        const bool loopback = (entry->ifa_flags & IFF_LOOPBACK) != 0;
        const bool match = pass == 0 ? address.s_addr == wanted.sin_addr.s_addr
                                     : loopback && (address.s_addr & mask.s_addr) ==
                                                       (wanted.sin_addr.s_addr & mask.s_addr);
        if (!match) continue;
        in_addr broadcast{};
        broadcast.s_addr = address.s_addr | ~mask.s_addr;
        TIdInterfaceAddress found;
        found.Name = entry->ifa_name;
        found.Index = ::if_nametoindex(entry->ifa_name);
        found.Address = IP;
        found.DirectedBroadcast = FormatIPv4(BytesOf(broadcast));
        found.Up = (entry->ifa_flags & IFF_UP) != 0;
        found.Running = (entry->ifa_flags & IFF_RUNNING) != 0;
        found.Loopback = loopback;
        result = std::move(found);
        break;
      }
    }
    ::freeifaddrs(list);
    return result;
  }

 private:
  static int SetNative(TIdStackSocketHandle Socket, int Level, int Option, const void* Value,
                       socklen_t Length) {
    if (::setsockopt(Socket, Level, Option, Value, Length) != 0) return FailWithErrno();
    return 0;
  }

  static in_addr AsInet(const sockaddr* Address) {
    sockaddr_in inet{};
    std::memcpy(&inet, Address, sizeof inet);
    return inet.sin_addr;
  }

  // poll with the select timeout; a signal does not shorten the wait.
  static int PollUntil(std::span<pollfd> Set, int TimeoutMs) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(TimeoutMs);
    int remaining = TimeoutMs == Id_WaitForever ? -1 : TimeoutMs;
    for (;;) {
      const int ready = ::poll(Set.data(), static_cast<nfds_t>(Set.size()), remaining);
      if (ready >= 0 || errno != EINTR) return ready;
      if (TimeoutMs != Id_WaitForever) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        remaining = static_cast<int>(std::max<std::chrono::milliseconds::rep>(left, 0));
      }
    }
  }
};

std::string PlatformResolveIPv4(const std::string& Host) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  errno = 0;
  const int status = ::getaddrinfo(Host.c_str(), nullptr, &hints, &found);
  if (status != 0 || found == nullptr) {
    const int saved = errno;
    if (found != nullptr) ::freeaddrinfo(found);
    TIdStack::ThrowSocketError(status != 0 ? LookupErrorToWsa(status, saved) : kWsaNoData);
  }
  sockaddr_in address{};
  std::memcpy(&address, found->ai_addr, std::min<std::size_t>(sizeof address, found->ai_addrlen));
  ::freeaddrinfo(found);
  return TIdStack::FormatIPv4(BytesOf(address.sin_addr));
}

std::unique_ptr<TIdStack> CreateIdStack() {
  return std::make_unique<TIdStackPosix>();
}

}  // namespace pallador
