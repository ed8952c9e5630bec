#include "fuzz/LoopbackGuard.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace pallador::fuzzguard {
namespace {

std::atomic<std::uint64_t> gLookups{0};
std::atomic<std::uint64_t> gLoopbackSends{0};
std::atomic<std::uint64_t> gRefusedSends{0};
thread_local int tTickDepth = 0;

constexpr std::uint16_t kArtNetPort = 6454;
constexpr std::uint32_t kOwnBlock = 0x7F000C;  // 127.0.12.0/24, this target's loopback block

template <class TFunction>
TFunction* Next(const char* Name) {
  void* symbol = ::dlsym(RTLD_NEXT, Name);
  if (symbol == nullptr) {
    std::fprintf(stderr, "loopback guard: no %s after this executable\n", Name);
    std::abort();
  }
  return reinterpret_cast<TFunction*>(symbol);
}

void NoteLookup(const char* Host) {
  gLookups.fetch_add(1, std::memory_order_relaxed);
  if (tTickDepth > 0) {
    std::fprintf(stderr, "a name lookup on the transmit tick: \"%s\"\n", Host ? Host : "(null)");
    std::abort();
  }
}

}  // namespace

TTickScope::TTickScope() {
  ++tTickDepth;
}
TTickScope::~TTickScope() {
  --tTickDepth;
}

std::uint64_t Lookups() {
  return gLookups.load(std::memory_order_relaxed);
}
std::uint64_t LoopbackSends() {
  return gLoopbackSends.load(std::memory_order_relaxed);
}
std::uint64_t RefusedSends() {
  return gRefusedSends.load(std::memory_order_relaxed);
}

}  // namespace pallador::fuzzguard

using pallador::fuzzguard::Next;
using pallador::fuzzguard::NoteLookup;

extern "C" int getaddrinfo(const char* Node, const char* Service, const addrinfo* Hints,
                           addrinfo** Result) {
  NoteLookup(Node);
  addrinfo numeric = Hints != nullptr ? *Hints : addrinfo{};
  numeric.ai_flags |= AI_NUMERICHOST;  // never a query to a name server
  using TGetAddrInfo = int(const char*, const char*, const addrinfo*, addrinfo**);
  static TGetAddrInfo* const real = Next<TGetAddrInfo>("getaddrinfo");
  return real(Node, Service, &numeric, Result);
}

extern "C" hostent* gethostbyname(const char* Name) {
  NoteLookup(Name);
  h_errno = HOST_NOT_FOUND;
  return nullptr;
}

extern "C" hostent* gethostbyname2(const char* Name, int /*Family*/) {
  NoteLookup(Name);
  h_errno = HOST_NOT_FOUND;
  return nullptr;
}

extern "C" int gethostbyname_r(const char* Name, hostent* /*Entry*/, char* /*Buffer*/,
                               size_t /*Length*/, hostent** Result, int* Error) {
  NoteLookup(Name);
  *Result = nullptr;
  *Error = HOST_NOT_FOUND;
  return 0;
}

extern "C" ssize_t sendto(int Socket, const void* Buffer, size_t Length, int Flags,
                          const sockaddr* To, socklen_t ToLength) {
  using namespace pallador::fuzzguard;
  const bool inet = To != nullptr && ToLength >= static_cast<socklen_t>(sizeof(sockaddr_in)) &&
                    To->sa_family == AF_INET;
  sockaddr_in to{};
  if (inet) to = *reinterpret_cast<const sockaddr_in*>(To);
  if (!inet || (ntohl(to.sin_addr.s_addr) >> 8) != kOwnBlock) {
    gRefusedSends.fetch_add(1, std::memory_order_relaxed);
    errno = ENETUNREACH;
    return -1;
  }
  using TSendTo = ssize_t(int, const void*, size_t, int, const sockaddr*, socklen_t);
  static TSendTo* const real = Next<TSendTo>("sendto");
  const ssize_t sent = real(Socket, Buffer, Length, Flags, To, ToLength);
  if (sent >= 0 && ntohs(to.sin_port) == kArtNetPort) {
    gLoopbackSends.fetch_add(1, std::memory_order_relaxed);
  }
  return sent;
}
