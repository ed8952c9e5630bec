// Receive throughput of a UDP server whose datagrams are handed to a main-thread
// handler, against a bare receive loop on the same machine in the same run, and
// the time a server takes to stop. Loopback only (127.0.8.x), every flood
// bounded in count and time.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>

#include "artnet/ArtNetPacket.h"
#include "net/IdUDPServer.h"
#include "platform/MainThreadQueue.h"

namespace {

using namespace pallador;
using TClock = std::chrono::steady_clock;

constexpr const char* kReceiverIP = "127.0.8.1";
constexpr const char* kSenderIP = "127.0.8.2";
constexpr std::chrono::milliseconds kFloodTime{1000};
constexpr long kFloodMaxDatagrams = 2'000'000;
constexpr std::size_t kArtDmxSize = 530;

sockaddr_in Address(const char* IP, int Port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(Port));
  inet_pton(AF_INET, IP, &address.sin_addr);
  return address;
}

int BoundSocket(const char* IP, int Port) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const sockaddr_in local = Address(IP, Port);
  if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    throw std::runtime_error("cannot bind the benchmark's socket");
  }
  return fd;
}

int LocalPort(int Fd) {
  sockaddr_in local{};
  socklen_t length = sizeof local;
  getsockname(Fd, reinterpret_cast<sockaddr*>(&local), &length);
  return ntohs(local.sin_port);
}

std::array<std::uint8_t, kArtDmxSize> ArtDmxFrame() {
  std::array<std::uint8_t, 512> channels{};
  for (std::size_t i = 0; i < channels.size(); ++i) channels[i] = static_cast<std::uint8_t>(i);
  std::array<std::uint8_t, kArtDmxSize> frame{};
  EncodeArtDmx(3, channels, 512, frame);
  return frame;
}

// Floods 530-byte ArtDmx datagrams at Port until kFloodTime or kFloodMaxDatagrams,
// then sets Done and wakes the main thread.
class TFlood {
 public:
  TFlood(int Port, std::atomic<bool>& Done)
      : Fd_(BoundSocket(kSenderIP, 0)), Thread_([this, Port, &Done] { Run(Port, Done); }) {}
  ~TFlood() {
    Join();
    close(Fd_);
  }
  void Join() {
    if (Thread_.joinable()) Thread_.join();
  }
  TFlood(const TFlood&) = delete;
  TFlood& operator=(const TFlood&) = delete;

  long Sent() const { return Sent_.load(); }

 private:
  void Run(int Port, std::atomic<bool>& Done) {
    const auto frame = ArtDmxFrame();
    const sockaddr_in to = Address(kReceiverIP, Port);
    const auto end = TClock::now() + kFloodTime;
    long sent = 0;
    while (sent < kFloodMaxDatagrams && (sent % 256 != 0 || TClock::now() < end)) {
      if (sendto(Fd_, frame.data(), frame.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                 sizeof to) > 0) {
        ++sent;
      }
    }
    Sent_ = sent;
    Done = true;
    MainThread().Notify();
  }

  int Fd_;
  std::atomic<long> Sent_{0};
  std::thread Thread_;
};

struct TRate {
  double PerSecond = 0;      // delivered
  double SentPerSecond = 0;  // what the flood managed meanwhile
};

// The same work per datagram in both loops: classify it as the endpoint does.
std::uint64_t Handle(std::span<const std::uint8_t> Datagram) {
  return DecodeArtNet(Datagram).PortAddress;
}

TRate BareReceiveLoop() {
  const int fd = BoundSocket(kReceiverIP, 0);
  const int buffer = 1 << 20;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
  const timeval pollInterval{0, 50'000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &pollInterval, sizeof pollInterval);
  std::array<std::uint8_t, 8480> data{};
  std::atomic<bool> done{false};
  long received = 0;
  std::uint64_t sink = 0;
  const auto start = TClock::now();
  TRate rate;
  {
    TFlood flood(LocalPort(fd), done);
    while (!done) {
      const ssize_t n = recv(fd, data.data(), data.size(), 0);
      if (n <= 0) continue;
      sink += Handle(std::span(data.data(), static_cast<std::size_t>(n)));
      ++received;
    }
    const double seconds = std::chrono::duration<double>(TClock::now() - start).count();
    rate.PerSecond = static_cast<double>(received) / seconds;
    flood.Join();
    rate.SentPerSecond = static_cast<double>(flood.Sent()) / seconds;
  }
  benchmark::DoNotOptimize(sink);
  close(fd);
  return rate;
}

// How the main thread runs the deliveries: from its event loop, woken through
// the queue's wake hook as the application does, or from TMainThreadQueue::WaitFor
// as during a join.
enum class TMainLoop { EventLoop, WaitFor };

// An event loop like the application's: it sleeps in poll on an eventfd that
// the wake hook signals, and then runs the queued calls.
void RunEventLoop(const std::atomic<bool>& Done) {
  const int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  MainThread().SetWakeHook([wake] {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(wake, &one, sizeof one);
  });
  while (!Done) {
    pollfd entry{wake, POLLIN, 0};
    if (poll(&entry, 1, 50) == 1) {
      std::uint64_t count = 0;
      [[maybe_unused]] const ssize_t n = read(wake, &count, sizeof count);
    }
    MainThread().ProcessQueue();
  }
  MainThread().SetWakeHook(nullptr);
  close(wake);
}

TRate HandOffToMainThread(TMainLoop Loop) {
  TIdUDPServer server;
  TIdSocketHandle& binding = server.Bindings.AddBinding();
  binding.IP = kReceiverIP;
  binding.Port = 0;
  server.BufferSize = 8480;
  long received = 0;
  std::uint64_t sink = 0;
  server.OnUDPRead = [&](TIdUDPServer&, std::span<const std::uint8_t> AData, TIdSocketHandle&) {
    sink += Handle(AData);
    ++received;
  };
  server.SetActive(true);
  std::atomic<bool> done{false};
  TRate rate;
  const auto start = TClock::now();
  {
    TFlood flood(binding.Port, done);
    if (Loop == TMainLoop::EventLoop) {
      RunEventLoop(done);
    } else {
      MainThread().WaitFor([&] { return done.load(); });
    }
    const double seconds = std::chrono::duration<double>(TClock::now() - start).count();
    rate.PerSecond = static_cast<double>(received) / seconds;
    flood.Join();
    rate.SentPerSecond = static_cast<double>(flood.Sent()) / seconds;
  }
  server.SetActive(false);
  benchmark::DoNotOptimize(sink);
  return rate;
}

// Both loops in one run, so the ratio compares like with like on a busy machine.
void BM_HandOffVsBareReceive(benchmark::State& State) {
  const auto loop = static_cast<TMainLoop>(State.range(0));
  TRate bare;
  TRate handOff;
  for (auto _ : State) {
    bare = BareReceiveLoop();
    handOff = HandOffToMainThread(loop);
  }
  State.SetLabel(loop == TMainLoop::EventLoop ? "main thread in its event loop"
                                              : "main thread in WaitFor");
  State.counters["bare_per_s"] = bare.PerSecond;
  State.counters["bare_sent_per_s"] = bare.SentPerSecond;
  State.counters["handoff_per_s"] = handOff.PerSecond;
  State.counters["handoff_sent_per_s"] = handOff.SentPerSecond;
  State.counters["ratio"] = bare.PerSecond > 0 ? handOff.PerSecond / bare.PerSecond : 0;
}
BENCHMARK(BM_HandOffVsBareReceive)
    ->Arg(static_cast<int>(TMainLoop::EventLoop))
    ->Arg(static_cast<int>(TMainLoop::WaitFor))
    ->Iterations(1)
    ->Repetitions(3)
    ->Unit(benchmark::kMillisecond);

// From Active := false to return, with the listener idle in its wait.
void BM_StopServer(benchmark::State& State) {
  TIdUDPServer server;
  TIdSocketHandle& binding = server.Bindings.AddBinding();
  binding.IP = "127.0.8.3";
  binding.Port = 0;
  for (auto _ : State) {
    State.PauseTiming();
    server.SetActive(true);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));  // let it reach its wait
    State.ResumeTiming();
    server.SetActive(false);
  }
}
BENCHMARK(BM_StopServer)->Iterations(100)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
