#pragma once

// Keeps the core fuzz target on this machine whatever its inputs make the
// code under test do. This target's executable defines the resolver entry
// points and sendto, so every call from the core lands here first:
// - a name lookup never asks a name server: getaddrinfo converts numeric
//   texts only and fails at once for anything else, the gethostbyname family
//   always fails; a lookup made on the transmit tick aborts the run (the tick
//   must never wait for a resolver);
// - a datagram leaves only for 127.0.12.0/24, this target's loopback block: a
//   send anywhere else fails with ENETUNREACH before it reaches the kernel, so
//   neither a broadcast nor a text that denotes another address (an octal
//   reading, TEST-NET, localhost) can reach a network or another test.
// Thread: any; the counters are atomic, the tick mark is per thread.

#include <cstdint>

namespace pallador::fuzzguard {

// Marks the calling thread as running the transmit tick while it lives.
class TTickScope {
 public:
  TTickScope();
  ~TTickScope();
  TTickScope(const TTickScope&) = delete;
  TTickScope& operator=(const TTickScope&) = delete;
};

std::uint64_t Lookups();        // resolver calls so far
std::uint64_t LoopbackSends();  // datagrams sent to 127.0.12.0/24, port 6454
std::uint64_t RefusedSends();   // sends kept off the network

}  // namespace pallador::fuzzguard
