// The two hot paths of the ports: an ArtDmx received by the input port (into
// the universe table) and one transmit tick of sixteen open outputs. Traffic
// stays on loopback, 127.0.8.x.

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <vector>

#include "interfaces/UniverseTable.h"
#include "interfaces/classInterfaceArtNetNode.h"
#include "interfaces/classInterfaceInfo.h"
#include "net/IdUDPServer.h"

// GCC sees free() wherever an inlined delete meets a new; here new is malloc().
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {

std::atomic<std::uint64_t> gAllocations{0};

}  // namespace

// Counts allocations so that the benchmarks can show the paths allocate nothing.
void* operator new(std::size_t Size) {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(Size == 0 ? 1 : Size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* P) noexcept {
  std::free(P);
}
void operator delete(void* P, std::size_t) noexcept {
  std::free(P);
}

namespace pallador {
namespace {

std::vector<std::uint8_t> ArtDmx530(std::uint16_t Universe) {
  std::vector<std::uint8_t> d = {'A',  'r',  't', '-',  'N',
                                 'e',  't',  0,   0x00, 0x50,
                                 0x00, 0x0E, 0,   0,    static_cast<std::uint8_t>(Universe),
                                 0,    0x02, 0x00};
  d.resize(530, 0x80);
  return d;
}

void BM_InputReceivesArtDmx(benchmark::State& State) {
  TInterfaceArtNetNode input(nullptr, nullptr, "127.0.8.1");
  input.Endpoint->Active = true;
  input.Endpoint->OnArtDMX = [&input](TArtNet& Sender, std::uint16_t& Universe) {
    input.EndpointArtDMX(Sender, Universe);
  };
  TIdUDPServer server;
  TIdSocketHandle& binding = server.Bindings.AddBinding();
  const std::vector<std::uint8_t> datagram = ArtDmx530(3);

  const std::uint64_t before = gAllocations.load();
  for (auto _ : State) {
    input.Endpoint->HandleDatagram(server, datagram, binding);
  }
  State.counters["allocs/op"] = benchmark::Counter(
      static_cast<double>(gAllocations.load() - before) / static_cast<double>(State.iterations()));
  State.SetItemsProcessed(State.iterations());
}
BENCHMARK(BM_InputReceivesArtDmx);

// One tick: sixteen open outputs each send their universe to a loopback sink.
void BM_TransmitTickOf16Outputs(benchmark::State& State) {
  // A sink on the destination, so the datagrams have somewhere to go; the
  // kernel drops what does not fit its buffer.
  const int sink = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(6454);
  ::inet_pton(AF_INET, "127.0.8.3", &address.sin_addr);
  if (::bind(sink, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    State.SkipWithError("cannot bind the sink on 127.0.8.3:6454");
    ::close(sink);
    return;
  }
  {
    TUDPFactory pool(nullptr);
    TInterfacesInfo slots(nullptr, &pool);
    slots.Slot(0).Port = "127.0.8.1";
    for (int k = 1; k <= 16; ++k) {
      slots.Slot(k).Port = "127.0.8.2";
      slots.Slot(k).Destination = "127.0.8.3";
      slots.Slot(k).Active = true;
    }
    slots.ConnectAll();
    for (int k = 1; k <= 16; ++k) {
      if (slots.Slot(k).Error()) State.SkipWithError("an output did not open");
    }

    const std::uint64_t before = gAllocations.load();
    for (auto _ : State) slots.UpdateAll();
    State.counters["allocs/tick"] =
        benchmark::Counter(static_cast<double>(gAllocations.load() - before) /
                           static_cast<double>(State.iterations()));
    State.SetItemsProcessed(State.iterations() * 16);
    slots.DisconnectAll();
  }
  ::close(sink);
}
BENCHMARK(BM_TransmitTickOf16Outputs)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace pallador

BENCHMARK_MAIN();
