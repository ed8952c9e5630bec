// Load tools of the performance run; bench/perf/perf.py drives them. Each
// command enters the network namespace it is given before it opens a socket
// (the driver makes those namespaces and deletes them), and every loop ends by
// itself at a time and count limit.
//
//   flood      ArtDmx at a fixed rate (0: as fast as the sender goes), cycling universes
//   console    universes at a steady frame rate, each level changing at random moments
//   bare       a bare receive loop: what one socket on this machine can take
//   sink       records arrival time, universe and level of every datagram
//   spin       keeps one core busy
//   startstop  program start to its first output datagram, and SIGTERM to exit
//
// Levels carry a counter in channels 1-4 (big-endian), so that a receiver can
// tell which input frame an output datagram was copied from.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <random>
#include <span>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "artnet/ArtNetPacket.h"
#include "bench/perf/PerfSupport.h"

namespace pallador::perf {
namespace {

constexpr int kPort = 6454;
constexpr std::size_t kFrameSize = ArtDmxHeaderSize + 512;
constexpr int kReceiveBufferBytes = 1 << 20;  // what the program's sockets ask for
constexpr std::int64_t kSecond = 1'000'000'000;
constexpr double kMaxSeconds = 600;
constexpr long kMaxFloodCount = 50'000'000;
constexpr std::size_t kMaxRecords = 4'000'000;

using TFrame = std::array<std::uint8_t, kFrameSize>;

std::atomic<bool> gStop{false};

void OnStopSignal(int) {
  gStop = true;
}

void StopOnSignals() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
}

double BoundedSeconds(const TArgs& Args) {
  return std::clamp(Args.Number("seconds", 10), 0.0, kMaxSeconds);
}

sockaddr_in Address(const std::string& IP, int Port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(Port));
  if (inet_pton(AF_INET, IP.c_str(), &address.sin_addr) != 1) {
    throw std::runtime_error("bad address " + IP);
  }
  return address;
}

int BoundSocket(const std::string& IP, int Port, int Flags = 0) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | Flags, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  const sockaddr_in local = Address(IP, Port);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    close(fd);
    throw std::runtime_error("cannot bind " + IP + ":" + std::to_string(Port) + ": " +
                             std::strerror(errno));
  }
  return fd;
}

// "0-15", "0-15,40,41" -> the universes, in order.
std::vector<std::uint16_t> Universes(const std::string& Text) {
  std::vector<std::uint16_t> list;
  std::stringstream parts(Text);
  std::string part;
  while (std::getline(parts, part, ',')) {
    const std::size_t dash = part.find('-');
    const int first = std::stoi(part.substr(0, dash));
    const int last = dash == std::string::npos ? first : std::stoi(part.substr(dash + 1));
    for (int u = first; u <= last && u < 32768; ++u) list.push_back(static_cast<std::uint16_t>(u));
  }
  if (list.empty()) throw std::runtime_error("no universes in " + Text);
  return list;
}

TFrame MakeFrame(std::uint16_t Universe, std::uint32_t Value) {
  std::array<std::uint8_t, 512> levels{};
  levels.fill(static_cast<std::uint8_t>(Value));
  levels[0] = static_cast<std::uint8_t>(Value >> 24);
  levels[1] = static_cast<std::uint8_t>(Value >> 16);
  levels[2] = static_cast<std::uint8_t>(Value >> 8);
  levels[3] = static_cast<std::uint8_t>(Value);
  TFrame frame{};
  EncodeArtDmx(Universe, levels, 512, frame);
  return frame;
}

std::uint32_t ValueOf(std::span<const std::uint8_t> Datagram) {
  if (Datagram.size() < ArtDmxHeaderSize + 4) return 0;
  const std::uint8_t* v = Datagram.data() + ArtDmxHeaderSize;
  return (std::uint32_t{v[0]} << 24) | (std::uint32_t{v[1]} << 16) | (std::uint32_t{v[2]} << 8) |
         std::uint32_t{v[3]};
}

// ---- flood ---------------------------------------------------------------

int Flood(const TArgs& Args) {
  EnterNetns(Args.Text("netns"));
  const double rate = std::max(0.0, Args.Number("rate", 0));
  const double seconds = BoundedSeconds(Args);
  const long maxCount =
      std::clamp(static_cast<long>(Args.Number("max-count", kMaxFloodCount)), 0L, kMaxFloodCount);
  const sockaddr_in to = Address(Args.Required("to"), static_cast<int>(Args.Number("port", kPort)));
  const int fd = BoundSocket(Args.Text("from", "0.0.0.0"), 0);
  // Short sleeps between bursts: the default 50 us slack would make them lumpy.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);

  std::vector<TFrame> frames;
  for (const std::uint16_t u : Universes(Args.Text("universes", "0-31"))) {
    frames.push_back(MakeFrame(u, u));
  }
  constexpr long kBatch = 32;
  std::array<mmsghdr, kBatch> messages{};
  std::array<iovec, kBatch> vectors{};
  for (std::size_t i = 0; i < messages.size(); ++i) {
    messages[i].msg_hdr.msg_name = const_cast<sockaddr_in*>(&to);
    messages[i].msg_hdr.msg_namelen = sizeof to;
    messages[i].msg_hdr.msg_iov = &vectors[i];
    messages[i].msg_hdr.msg_iovlen = 1;
  }

  long sent = 0;
  long errors = 0;
  std::size_t next = 0;
  const std::int64_t start = MonotonicNs();
  const std::int64_t end = start + static_cast<std::int64_t>(seconds * kSecond);
  while (sent < maxCount && !gStop) {
    const std::int64_t now = MonotonicNs();
    if (now >= end) break;
    long due = kBatch;
    if (rate > 0) {
      due = static_cast<long>(static_cast<double>(now - start) * rate / kSecond) + 1 - sent;
      if (due <= 0) {
        SleepUntilNs(start + static_cast<std::int64_t>(static_cast<double>(sent) * kSecond / rate));
        continue;
      }
    }
    const long count = std::min({due, kBatch, maxCount - sent});
    for (long i = 0; i < count; ++i) {
      TFrame& frame = frames[next];
      next = (next + 1) % frames.size();
      vectors[static_cast<std::size_t>(i)] = iovec{frame.data(), frame.size()};
    }
    const int n = sendmmsg(fd, messages.data(), static_cast<unsigned>(count), 0);
    if (n > 0) {
      sent += n;
    } else {
      ++errors;
    }
  }
  const double elapsed = static_cast<double>(MonotonicNs() - start) / kSecond;
  close(fd);
  char line[200];
  std::snprintf(line, sizeof line, R"({"sent": %ld, "seconds": %.6f, "errors": %ld})", sent,
                elapsed, errors);
  Emit(line);
  return 0;
}

// ---- console -------------------------------------------------------------

// Every universe once per frame period, each on its own phase (a console's
// universes need not leave in one burst), and each level changing at a random
// moment 150-450 ms after its previous change: together the changes fall at
// many points of the bridge's 75 ms period, not at the few that one 44 Hz grid
// would give. Logs "universe value t_ns" (monotonic) of the first datagram that
// carries each new value.
int Console(const TArgs& Args) {
  EnterNetns(Args.Text("netns"));
  const double hz = std::clamp(Args.Number("hz", 44), 1.0, 1000.0);
  const double seconds = BoundedSeconds(Args);
  const auto minChange = static_cast<std::int64_t>(Args.Number("change-min-ms", 150) * 1e6);
  const auto maxChange = static_cast<std::int64_t>(Args.Number("change-max-ms", 450) * 1e6);
  const sockaddr_in to = Address(Args.Required("to"), static_cast<int>(Args.Number("port", kPort)));
  const int fd = BoundSocket(Args.Text("from", "0.0.0.0"), 0);
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  std::mt19937_64 random(static_cast<std::uint64_t>(Args.Number("seed", 6454)));
  std::uniform_int_distribution<std::int64_t> changeAfter(minChange,
                                                          std::max(minChange, maxChange));
  const auto period = static_cast<std::int64_t>(static_cast<double>(kSecond) / hz);
  std::uniform_int_distribution<std::int64_t> phase(0, period - 1);

  struct TUniverse {
    std::uint16_t Number;
    std::uint32_t Value;
    std::int64_t NextFrame;
    std::int64_t NextChange;
    TFrame Frame;
  };
  std::vector<TUniverse> state;
  const std::int64_t start = MonotonicNs();
  for (const std::uint16_t u : Universes(Args.Text("universes", "0-15"))) {
    const std::uint32_t value = 1;
    state.push_back(
        {u, value, start + phase(random), start + changeAfter(random), MakeFrame(u, value)});
  }
  struct TChange {
    std::uint16_t Universe;
    std::uint32_t Value;
    std::int64_t At;
  };
  std::vector<TChange> changes;
  changes.reserve(100'000);

  const std::int64_t end = start + static_cast<std::int64_t>(seconds * kSecond);
  long sent = 0;
  while (!gStop) {
    TUniverse& u = *std::min_element(state.begin(), state.end(), [](const auto& a, const auto& b) {
      return a.NextFrame < b.NextFrame;
    });
    if (u.NextFrame >= end) break;
    SleepUntilNs(u.NextFrame);
    u.NextFrame += period;
    const std::int64_t now = MonotonicNs();
    const bool changed = now >= u.NextChange;
    if (changed) {
      ++u.Value;
      u.Frame = MakeFrame(u.Number, u.Value);
      u.NextChange = now + changeAfter(random);
    }
    if (sendto(fd, u.Frame.data(), u.Frame.size(), 0, reinterpret_cast<const sockaddr*>(&to),
               sizeof to) > 0) {
      ++sent;
    }
    if (changed && changes.size() < changes.capacity()) {
      changes.push_back({u.Number, u.Value, now});
    }
  }
  close(fd);
  if (const std::string log = Args.Text("log"); !log.empty()) {
    std::ofstream out(log, std::ios::trunc);
    for (const TChange& c : changes) out << c.Universe << ' ' << c.Value << ' ' << c.At << '\n';
  }
  char line[200];
  std::snprintf(line, sizeof line, R"({"sent": %ld, "changes": %zu, "seconds": %.3f})", sent,
                changes.size(), static_cast<double>(MonotonicNs() - start) / kSecond);
  Emit(line);
  return 0;
}

// ---- bare ----------------------------------------------------------------

// A blocking recvfrom loop with the program's receive buffer, classifying each
// datagram as the program's endpoint does. Ends at --seconds or on SIGTERM.
int Bare(const TArgs& Args) {
  EnterNetns(Args.Text("netns"));
  StopOnSignals();
  const double seconds = BoundedSeconds(Args);
  const int fd = BoundSocket(Args.Required("bind"), static_cast<int>(Args.Number("port", kPort)));
  const int bytes = kReceiveBufferBytes;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
  const timeval wake{0, 50'000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wake, sizeof wake);
  Emit(R"({"ready": true})");

  std::array<std::uint8_t, 8481> buffer{};
  long received = 0;
  std::uint64_t sink = 0;
  const std::int64_t end = MonotonicNs() + static_cast<std::int64_t>(seconds * kSecond);
  while (!gStop && MonotonicNs() < end) {
    sockaddr_in from{};
    socklen_t length = sizeof from;
    const ssize_t n =
        recvfrom(fd, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &length);
    if (n < 0) continue;
    sink += DecodeArtNet(std::span(buffer.data(), static_cast<std::size_t>(n))).PortAddress;
    ++received;
  }
  close(fd);
  char line[200];
  std::snprintf(line, sizeof line, R"({"received": %ld, "checksum": %llu})", received,
                static_cast<unsigned long long>(sink));
  Emit(line);
  return 0;
}

// ---- sink ----------------------------------------------------------------

// CLOCK_REALTIME - CLOCK_MONOTONIC, read with the narrowest bracket of a few tries.
struct TClockPair {
  std::int64_t Real = 0;
  std::int64_t Offset = 0;
};

TClockPair ReadClockPair() {
  TClockPair best;
  std::int64_t narrowest = INT64_MAX;
  for (int i = 0; i < 7; ++i) {
    const std::int64_t m1 = MonotonicNs();
    const std::int64_t r = RealtimeNs();
    const std::int64_t m2 = MonotonicNs();
    if (m2 - m1 < narrowest) {
      narrowest = m2 - m1;
      best = {r, r - (m1 + (m2 - m1) / 2)};
    }
  }
  return best;
}

// Records every datagram with the kernel's receive time, turned into monotonic
// time (the clock of the program's timer and of the console) by the offset
// between the clocks read at the start and at the end. Writes
// "t_ns universe value length" lines when it ends (--seconds or SIGTERM).
int Sink(const TArgs& Args) {
  EnterNetns(Args.Text("netns"));
  StopOnSignals();
  const double seconds = BoundedSeconds(Args);
  const int fd = BoundSocket(Args.Required("bind"), static_cast<int>(Args.Number("port", kPort)),
                             SOCK_NONBLOCK);
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
  const int bytes = kReceiveBufferBytes;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);

  struct TRecord {
    std::int64_t Real;
    std::uint32_t Value;
    std::uint16_t Universe;
    std::uint16_t Length;
  };
  std::vector<TRecord> records;
  records.reserve(kMaxRecords / 8);
  const TClockPair first = ReadClockPair();
  Emit(R"({"ready": true})");

  std::array<std::uint8_t, 8481> buffer{};
  alignas(cmsghdr) std::array<char, 256> control{};
  const std::int64_t end = MonotonicNs() + static_cast<std::int64_t>(seconds * kSecond);
  long unstamped = 0;
  while (!gStop && records.size() < kMaxRecords) {
    const std::int64_t now = MonotonicNs();
    if (now >= end) break;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    for (;;) {
      iovec vector{buffer.data(), buffer.size()};
      msghdr message{};
      message.msg_iov = &vector;
      message.msg_iovlen = 1;
      message.msg_control = control.data();
      message.msg_controllen = control.size();
      const ssize_t n = recvmsg(fd, &message, 0);
      if (n < 0) break;
      std::int64_t real = 0;
      for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
          timespec stamp{};
          std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
          real = static_cast<std::int64_t>(stamp.tv_sec) * kSecond + stamp.tv_nsec;
        }
      }
      if (real == 0) {
        ++unstamped;
        real = RealtimeNs();
      }
      const auto datagram =
          std::span<const std::uint8_t>(buffer.data(), static_cast<std::size_t>(n));
      const ArtNetDatagram decoded = DecodeArtNet(datagram);
      records.push_back({real, ValueOf(datagram), decoded.PortAddress,
                         static_cast<std::uint16_t>(std::min<ssize_t>(n, 65535))});
      if (records.size() >= kMaxRecords) break;
    }
  }
  close(fd);
  const TClockPair last = ReadClockPair();

  if (const std::string out = Args.Text("out"); !out.empty()) {
    std::ofstream file(out, std::ios::trunc);
    const double span = static_cast<double>(std::max<std::int64_t>(last.Real - first.Real, 1));
    for (const TRecord& r : records) {
      const double f = static_cast<double>(r.Real - first.Real) / span;
      const auto offset = static_cast<std::int64_t>(
          static_cast<double>(first.Offset) + f * static_cast<double>(last.Offset - first.Offset));
      file << (r.Real - offset) << ' ' << r.Universe << ' ' << r.Value << ' ' << r.Length << '\n';
    }
  }
  char line[200];
  std::snprintf(line, sizeof line,
                R"({"received": %zu, "unstamped": %ld, "clock_offset_change_ns": %lld})",
                records.size(), unstamped, static_cast<long long>(last.Offset - first.Offset));
  Emit(line);
  return 0;
}

// ---- spin ----------------------------------------------------------------

int Spin(const TArgs& Args) {
  StopOnSignals();
  const std::int64_t end =
      MonotonicNs() + static_cast<std::int64_t>(BoundedSeconds(Args) * kSecond);
  std::uint64_t x = 1;
  while (!gStop && MonotonicNs() < end) {
    for (int i = 0; i < 100'000; ++i) x = x * 6364136223846793005ULL + 1442695040888963407ULL;
  }
  return x == 0 ? 1 : 0;
}

// ---- startstop -----------------------------------------------------------

int PidFd(pid_t Pid) {
  return static_cast<int>(syscall(SYS_pidfd_open, Pid, 0));
}

// Waits for the child's end; -1 when it is still running at the deadline.
int WaitExit(pid_t Pid, int TimeoutMs) {
  const int pidFd = PidFd(Pid);
  if (pidFd >= 0) {
    pollfd p{pidFd, POLLIN, 0};
    poll(&p, 1, TimeoutMs);
    close(pidFd);
  }
  int status = 0;
  if (waitpid(Pid, &status, pidFd >= 0 ? WNOHANG : 0) != Pid) return -1;
  return status;
}

// Starts the program in the bridge namespace with a receiver for its outputs
// in the node namespace; the time to the first datagram is its start, and the
// time from SIGTERM to its end its stop. One line per run.
int StartStop(const TArgs& Args) {
  const int bridgeFd = OpenNetns(Args.Required("bridge-ns"));
  const int nodeFd = OpenNetns(Args.Required("node-ns"));
  const std::string nodeIP = Args.Required("node-ip");
  const std::string program = Args.Required("program");
  const std::string log = Args.Text("log", "/dev/null");
  const int runs = std::clamp(static_cast<int>(Args.Number("runs", 5)), 1, 50);
  const int timeoutMs = static_cast<int>(Args.Number("timeout-ms", 5000));
  const auto settle = static_cast<std::int64_t>(Args.Number("settle-ms", 300) * 1e6);

  for (int run = 0; run < runs; ++run) {
    if (setns(nodeFd, CLONE_NEWNET) != 0) throw std::runtime_error("cannot enter the node");
    const int receiver = BoundSocket(nodeIP, kPort, SOCK_NONBLOCK);
    if (setns(bridgeFd, CLONE_NEWNET) != 0) throw std::runtime_error("cannot enter the bridge");

    const std::int64_t t0 = MonotonicNs();
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      unsetenv("DISPLAY");
      unsetenv("WAYLAND_DISPLAY");
      unsetenv("QT_QPA_PLATFORM");
      const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
      if (out >= 0) {
        dup2(out, STDOUT_FILENO);
        dup2(out, STDERR_FILENO);
      }
      execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    double startMs = -1;
    pollfd p{receiver, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) == 1) startMs = static_cast<double>(MonotonicNs() - t0) / 1e6;
    SleepUntilNs(MonotonicNs() + settle);

    const std::int64_t t2 = MonotonicNs();
    kill(pid, SIGTERM);
    int status = WaitExit(pid, timeoutMs);
    const double stopMs = static_cast<double>(MonotonicNs() - t2) / 1e6;
    if (status < 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    close(receiver);
    const int exitCode = status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    char line[200];
    std::snprintf(line, sizeof line,
                  R"({"run": %d, "start_ms": %.3f, "stop_ms": %.3f, "exit": %d, "ended": %s})", run,
                  startMs, stopMs, exitCode, status >= 0 ? "true" : "false");
    Emit(line);
  }
  close(bridgeFd);
  close(nodeFd);
  return 0;
}

int Main(int Argc, char** Argv) {
  if (Argc < 2) {
    std::fputs("usage: perf_load flood|console|bare|sink|spin|startstop --key value...\n", stderr);
    return 2;
  }
  const std::string command = Argv[1];
  const TArgs args(Argc, Argv, 2);
  if (command == "flood") return Flood(args);
  if (command == "console") return Console(args);
  if (command == "bare") return Bare(args);
  if (command == "sink") return Sink(args);
  if (command == "spin") return Spin(args);
  if (command == "startstop") return StartStop(args);
  std::fprintf(stderr, "perf_load: unknown command %s\n", command.c_str());
  return 2;
}

}  // namespace
}  // namespace pallador::perf

int main(int Argc, char** Argv) {
  try {
    return pallador::perf::Main(Argc, Argv);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "perf_load: %s\n", error.what());
  }
  return 1;
}
