// A soak of the application (the harness, which clicks Connect on a timer):
// sixteen active outputs, a console sending universes 0 to 15 at 44 frames a
// second each (704 ArtDmx/s), a background flood of other universes, and a
// reconnect every few seconds. Checks at the end:
//   - the process closes on SIGTERM with exit 0 and no sanitizer report (an
//     AddressSanitizer build checks for leaks at exit);
//   - no tick skipped: each universe's output count matches elapsed / 75 ms;
//   - no input datagram lost: the input socket's kernel drop count stays 0,
//     and each universe's last frame reaches the output;
//   - no frame torn or older than one sent before it;
//   - memory flat: resident size at the end within a margin of the size
//     after a quarter of the run.
// Traffic stays on 127.0.10.0/24. Prints its figures; exit 0 when all hold.
//
// Usage: soak_driver --harness <path> --seconds <n> [--flood <datagrams/s>]
//                    [--reconnect-ms <ms>]

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e/LoopbackUdp.h"
#include "e2e/SettingsFile.h"
#include "faults/FaultSupport.h"
#include "faults/Process.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using pallador::testsupport::TLoopbackUdp;

constexpr const char* kInputIP = "127.0.10.1";
constexpr const char* kOutputIP = "127.0.10.2";
constexpr const char* kNodeIP = "127.0.10.3";
constexpr const char* kConsoleIP = "127.0.10.4";
constexpr const char* kFloodIP = "127.0.10.5";
constexpr std::uint16_t kPort = 6454;
constexpr int kUniverses = 16;
constexpr double kFramesPerSecond = 44.0;
constexpr double kTickSeconds = 0.075;
constexpr auto kWarmUp = 3s;

struct TOptions {
  std::string Harness;
  int Seconds = 60;
  int Flood = 2000;
  int ReconnectMs = 3000;
};

// Levels that tell which frame they belong to: channels 1-4 hold the frame
// number (big-endian), every later channel follows from it, so a row copied
// while it was written shows as torn.
std::vector<std::uint8_t> FrameLevels(std::uint32_t Frame) {
  std::vector<std::uint8_t> levels(512);
  for (int i = 0; i < 4; ++i)
    levels[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(Frame >> (24 - 8 * i));
  for (std::size_t i = 4; i < levels.size(); ++i) levels[i] = static_cast<std::uint8_t>(Frame + i);
  return levels;
}

long Field(const std::string& Line, int Index) {
  std::istringstream in(Line);
  std::string word;
  for (int i = 0; i <= Index && in >> word; ++i) {
  }
  return std::strtol(word.c_str(), nullptr, 10);
}

// The drops column (the 13th) of a bound socket's line in /proc/net/udp, -1
// when nothing is bound there.
long SocketDrops(const std::string& IP) {
  const std::string line = pallador::testsupport::UdpSocketLine(IP, kPort);
  return line.empty() ? -1 : Field(line, 12);
}

long ResidentKiB(pid_t Pid) {
  std::ifstream status("/proc/" + std::to_string(Pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return Field(line, 1);
  }
  return -1;
}

struct TUniverseSeen {
  long Count = 0;          // frames inside the measuring window
  std::uint32_t Last = 0;  // frame number last seen
  bool Any = false;
  double MaxGapMs = 0;
  Clock::time_point LastAt;
};

int Run(const TOptions& Options) {
  pallador::testsupport::TTempDir dir;
  std::vector<pallador::testsupport::TSlotSettings> settings =
      pallador::testsupport::SlotsOn(kInputIP, kOutputIP, kNodeIP);
  for (std::size_t slot = 1; slot <= kUniverses; ++slot) settings[slot].Active = true;
  pallador::testsupport::WriteTextFile(dir.Path() / "config_unibridge.xml",
                                       pallador::testsupport::SettingsXml(settings));

  TLoopbackUdp node(kNodeIP, kPort);
  pallador::testsupport::TProcess harness(Options.Harness, dir.Path());
  harness.Start({"--reconnect-every", std::to_string(Options.ReconnectMs)});
  if (!pallador::testsupport::WaitFor(
          [] { return pallador::testsupport::IsUdpBound(kInputIP, kPort); }, 30s)) {
    std::fprintf(stderr, "the harness did not open its input\n%s", harness.Stderr().c_str());
    return 1;
  }

  std::atomic<bool> stop{false};
  std::array<TUniverseSeen, kUniverses> seen{};
  long torn = 0;
  long older = 0;
  long foreign = 0;
  Clock::time_point windowStart;
  Clock::time_point windowEnd;
  std::atomic<bool> measuring{false};

  std::thread receiver([&] {
    while (!stop) {
      const std::vector<std::uint8_t> got = node.Receive(100ms);
      if (got.empty()) continue;
      const Clock::time_point now = Clock::now();
      const unsigned universe =
          got.size() >= 16 ? static_cast<unsigned>(got[14] | got[15] << 8) : 0xFFFFU;
      if (got.size() != 530 || universe >= kUniverses) {
        ++foreign;
        continue;
      }
      TUniverseSeen& u = seen[universe];
      const std::uint32_t frame =
          static_cast<std::uint32_t>(got[18] << 24 | got[19] << 16 | got[20] << 8 | got[21]);
      const std::vector<std::uint8_t> expected = FrameLevels(frame);
      // A row still all zero (before the first frame arrived) is not torn.
      const bool zero =
          std::all_of(got.begin() + 18, got.end(), [](std::uint8_t Byte) { return Byte == 0; });
      if (!zero && !std::equal(expected.begin(), expected.end(), got.begin() + 18)) ++torn;
      if (!zero && u.Any && frame < u.Last) ++older;
      if (!zero) {
        u.Last = frame;
        u.Any = true;
      }
      if (measuring) {
        if (u.Count > 0) {
          u.MaxGapMs = std::max(u.MaxGapMs,
                                std::chrono::duration<double, std::milli>(now - u.LastAt).count());
        }
        ++u.Count;
        u.LastAt = now;
      }
    }
  });

  std::atomic<long> consoleSent{0};
  std::atomic<std::uint32_t> lastFrame{0};
  std::thread console([&] {
    TLoopbackUdp socket(kConsoleIP, 0);
    const auto period = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(1.0 / kFramesPerSecond));
    Clock::time_point next = Clock::now();
    for (std::uint32_t frame = 1; !stop; ++frame) {
      const std::vector<std::uint8_t> levels = FrameLevels(frame);
      for (std::uint16_t u = 0; u < kUniverses; ++u) {
        socket.SendTo(kInputIP, kPort, pallador::testsupport::ArtDmx(u, levels));
        ++consoleSent;
      }
      lastFrame = frame;
      next += period;
      std::this_thread::sleep_until(next);
    }
  });

  std::atomic<long> floodSent{0};
  std::thread flood([&] {
    if (Options.Flood <= 0) return;
    TLoopbackUdp socket(kFloodIP, 0);
    const std::vector<std::uint8_t> levels(512, 0x5A);
    const long perBurst = std::max(1, Options.Flood / 100);
    Clock::time_point next = Clock::now();
    for (long i = 0; !stop;) {
      for (long b = 0; b < perBurst; ++b, ++i) {
        // Universes 16 to 527: stored nowhere, but every one is handled.
        socket.SendTo(
            kInputIP, kPort,
            pallador::testsupport::ArtDmx(static_cast<std::uint16_t>(16 + i % 512), levels));
      }
      floodSent += perBurst;
      next += 10ms;
      std::this_thread::sleep_until(next);
    }
  });

  const Clock::time_point started = Clock::now();
  std::this_thread::sleep_for(kWarmUp);
  windowStart = Clock::now();
  measuring = true;
  // The resident size settles later than the traffic: allocator caches (and
  // an AddressSanitizer build's quarantine of freed memory) fill first.
  const Clock::time_point rssSettled = started + std::chrono::seconds(Options.Seconds) / 4;
  long rssWarm = -1;
  long rssMax = 0;
  const Clock::time_point end = started + std::chrono::seconds(Options.Seconds);
  while (Clock::now() < end && harness.Running() && !harness.WaitForExit(0ms)) {
    std::this_thread::sleep_for(std::min<Clock::duration>(1s, end - Clock::now()));
    const long rss = ResidentKiB(harness.Pid());
    rssMax = std::max(rssMax, rss);
    if (rssWarm < 0 && Clock::now() >= rssSettled) rssWarm = rss;
  }
  measuring = false;
  windowEnd = Clock::now();
  const long rssEnd = ResidentKiB(harness.Pid());
  // Both sockets live for the whole run (the pool keeps its servers across
  // reconnects): their counts cover every datagram since they were bound.
  const long drops = SocketDrops(kInputIP);
  const long nodeDrops = SocketDrops(kNodeIP);

  // The last frame of every universe must still come out.
  stop = true;
  console.join();
  flood.join();
  receiver.join();
  const std::uint32_t finalFrame = lastFrame;
  int finalMissing = kUniverses;
  const Clock::time_point settle = Clock::now() + 2s;
  std::array<bool, kUniverses> done{};
  while (Clock::now() < settle && finalMissing > 0) {
    const std::vector<std::uint8_t> got = node.Receive(100ms);
    if (got.size() != 530) continue;
    const auto universe = static_cast<unsigned>(got[14] | got[15] << 8);
    const std::uint32_t frame =
        static_cast<std::uint32_t>(got[18] << 24 | got[19] << 16 | got[20] << 8 | got[21]);
    if (universe < kUniverses && frame == finalFrame && !done[universe]) {
      done[universe] = true;
      --finalMissing;
    }
  }

  harness.Signal(SIGTERM);
  const std::optional<int> status = harness.WaitForExit(60s);
  const std::string errors = harness.Stderr();
  const std::string out = harness.Stdout();
  const std::size_t at = out.rfind("reconnects ");
  const long reconnects =
      at == std::string::npos ? -1 : std::strtol(out.c_str() + at + 11, nullptr, 10);

  const double window = std::chrono::duration<double>(windowEnd - windowStart).count();
  const double expectedTicks = window / kTickSeconds;
  long minCount = seen[0].Count;
  long maxCount = seen[0].Count;
  double maxGap = 0;
  for (const TUniverseSeen& u : seen) {
    minCount = std::min(minCount, u.Count);
    maxCount = std::max(maxCount, u.Count);
    maxGap = std::max(maxGap, u.MaxGapMs);
  }
  const double elapsed = std::chrono::duration<double>(windowEnd - started).count();

  std::printf("soak: %.1f s, reconnect every %d ms (%ld reconnects)\n", elapsed,
              Options.ReconnectMs, reconnects);
  std::printf("  input: %ld ArtDmx for universes 0-15 (%.0f/s), %ld of other universes (%.0f/s)\n",
              consoleSent.load(), static_cast<double>(consoleSent) / elapsed, floodSent.load(),
              static_cast<double>(floodSent) / elapsed);
  std::printf("  input socket drops: %ld; last frame of each universe forwarded: %d of %d\n", drops,
              kUniverses - finalMissing, kUniverses);
  std::printf(
      "  outputs over %.1f s (%.1f ticks): %ld to %ld frames per universe, longest gap %.1f ms\n",
      window, expectedTicks, minCount, maxCount, maxGap);
  std::printf(
      "  frames torn: %ld, older than the one before: %ld, other datagrams: %ld, node drops: %ld\n",
      torn, older, foreign, nodeDrops);
  std::printf(
      "  resident size: %ld KiB after a quarter of the run, %ld KiB at the end, %ld KiB at most\n",
      rssWarm, rssEnd, rssMax);
  std::printf("  exit: %s\n", pallador::testsupport::DescribeStatus(status).c_str());

  std::vector<std::string> failures;
  if (!pallador::testsupport::ExitedCleanly(status)) failures.push_back("did not exit cleanly");
  for (const char* report : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer",
                             "WARNING: ThreadSanitizer", "runtime error:"}) {
    if (errors.find(report) != std::string::npos)
      failures.push_back(std::string("sanitizer: ") + report);
  }
  // A window edge may cut one tick on either side.
  if (minCount < static_cast<long>(expectedTicks) - 2 ||
      maxCount > static_cast<long>(expectedTicks) + 2) {
    failures.push_back("ticks skipped or doubled");
  }
  if (drops != 0) failures.push_back("input datagrams dropped (or no input socket)");
  if (finalMissing != 0) failures.push_back("a universe's last frame was not forwarded");
  if (torn != 0 || older != 0) failures.push_back("torn or stale frames");
  if (nodeDrops != 0) failures.push_back("the node dropped frames: counts are not valid");
  if (reconnects < Options.Seconds * 1000 / std::max(1, Options.ReconnectMs) - 2)
    failures.push_back("too few reconnects");
  // Flat: no more than 10% (at least 4 MiB) above the settled size.
  if (rssWarm < 0 || rssEnd > rssWarm + std::max(4096L, rssWarm / 10)) {
    failures.push_back("memory grew");
  }
  for (const std::string& f : failures) std::printf("FAILED: %s\n", f.c_str());
  if (!failures.empty()) std::fprintf(stderr, "harness stderr:\n%s\n", errors.c_str());
  return failures.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char* argv[]) {
  TOptions options;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    const char* value = argv[i + 1];
    if (name == "--harness") {
      options.Harness = value;
    } else if (name == "--seconds") {
      options.Seconds = std::atoi(value);
    } else if (name == "--flood") {
      options.Flood = std::atoi(value);
    } else if (name == "--reconnect-ms") {
      options.ReconnectMs = std::atoi(value);
    } else {
      std::fprintf(stderr, "unknown option %s\n", name.c_str());
      return 2;
    }
  }
  if (options.Harness.empty() || options.Seconds <= 0) {
    std::fputs(
        "usage: soak_driver --harness <path> --seconds <n> [--flood <n/s>] [--reconnect-ms <ms>]\n",
        stderr);
    return 2;
  }
  try {
    return Run(options);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "soak: %s\n", error.what());
    return 1;
  }
}
