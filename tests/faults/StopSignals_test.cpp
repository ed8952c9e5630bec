// SIGTERM, SIGINT and SIGHUP during the start, during a reconnect and during
// a flood of datagrams: each ends in the normal close, exit status 0, with the
// settings saved.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <thread>

#include "e2e/LoopbackUdp.h"
#include "faults/FaultSupport.h"
#include "faults/Process.h"

namespace pallador {
namespace {

using namespace std::chrono_literals;
using testsupport::TProcess;
using testsupport::TSlotSettings;

constexpr const char* kInputIP = "127.0.9.11";
constexpr const char* kOutputIP = "127.0.9.12";
constexpr const char* kNodeIP = "127.0.9.13";
constexpr const char* kConsoleIP = "127.0.9.14";

struct TSignalCase {
  int Signal;
  const char* Name;
};
constexpr TSignalCase kStopSignals[] = {
    {SIGTERM, "SIGTERM"}, {SIGINT, "SIGINT"}, {SIGHUP, "SIGHUP"}};

// A scratch folder with the program (or the harness) and settings in a form
// that any save rewrites: the file shows whether the close saved.
class StopSignal : public ::testing::TestWithParam<TSignalCase> {
 protected:
  StopSignal() {
    Settings = testsupport::SlotsOn(kInputIP, kOutputIP, kNodeIP);
    for (std::size_t u = 1; u <= 16; u += 3) Settings[u].Active = true;
  }

  void WriteSettings() {
    testsupport::WriteTextFile(File(), testsupport::HandWrittenSettingsXml(Settings));
  }
  std::filesystem::path File() const { return Dir.Path() / ConfigFileBaseName; }

  // Exit 0 within the deadline, and the file rewritten with the same slots.
  void ExpectNormalClose(TProcess& Program, const std::string& When) {
    const std::optional<int> status = Program.WaitForExit(20s);
    Program.Kill();
    EXPECT_TRUE(testsupport::ExitedCleanly(status))
        << GetParam().Name << " " << When << ": " << testsupport::DescribeStatus(status) << "\n"
        << Program.Stderr();
    const std::string text = testsupport::ReadTextFile(File());
    EXPECT_TRUE(text != testsupport::HandWrittenSettingsXml(Settings))
        << GetParam().Name << " " << When << ": the settings were not saved";
    EXPECT_EQ(testsupport::SlotSettingsOf(*testsupport::LoadSlots(File().string())), Settings)
        << GetParam().Name << " " << When << ", file:\n"
        << text;
  }

  testsupport::TTempDir Dir;
  std::vector<TSlotSettings> Settings;
};

// The program is started with the stop signals blocked, as a supervisor may
// start it, so that a signal sent at any moment of the start (even before its
// main runs) waits for it; once ready, the program must take it and close.
TEST_P(StopSignal, DuringTheStartClosesNormally) {
  TProcess program(PALLADOR_EXECUTABLE, Dir.Path());
  std::mt19937 random(std::random_device{}());
  for (const int delayMs : {0, 1, 30, -1, -1, -1}) {
    WriteSettings();
    program.Start({}, testsupport::EStopSignals::Blocked);
    const int delay = delayMs >= 0 ? delayMs : std::uniform_int_distribution<int>(0, 400)(random);
    std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    program.Signal(GetParam().Signal);
    ExpectNormalClose(program, "after " + std::to_string(delay) + " ms");
  }
}

TEST_P(StopSignal, DuringReconnectsClosesNormally) {
  TProcess harness(PALLADOR_HARNESS, Dir.Path());
  std::mt19937 random(std::random_device{}());
  for (int round = 0; round < 3; ++round) {
    WriteSettings();
    // Connect clicked whenever the event loop is idle: the signal comes in
    // the middle of reconnecting.
    harness.Start({"--reconnect-every", "0"});
    ASSERT_TRUE(testsupport::WaitFor([] { return testsupport::IsUdpBound(kInputIP, 6454); }, 20s))
        << harness.Stderr();
    std::this_thread::sleep_for(
        std::chrono::milliseconds(std::uniform_int_distribution<int>(50, 500)(random)));
    harness.Signal(GetParam().Signal);
    ExpectNormalClose(harness, "during reconnects");
    EXPECT_NE(harness.Stdout().find("reconnects "), std::string::npos);
    EXPECT_EQ(harness.Stdout().find("reconnects 0\n"), std::string::npos) << "no reconnect ran";
  }
}

TEST_P(StopSignal, DuringAFloodClosesNormally) {
  TProcess program(PALLADOR_EXECUTABLE, Dir.Path());
  WriteSettings();
  program.Start();
  ASSERT_TRUE(testsupport::WaitFor([] { return testsupport::IsUdpBound(kInputIP, 6454); }, 20s))
      << program.Stderr();

  // As fast as one thread sends, bounded in count and time; ArtDmx of the
  // forwarded universes and of others.
  std::atomic<bool> stop{false};
  std::atomic<long> sent{0};
  std::thread flood([&] {
    testsupport::TLoopbackUdp console(kConsoleIP, 0);
    std::vector<std::vector<std::uint8_t>> packets;
    for (std::uint16_t u = 0; u < 32; ++u) {
      packets.push_back(
          testsupport::ArtDmx(u, std::vector<std::uint8_t>(512, static_cast<std::uint8_t>(u))));
    }
    const auto deadline = std::chrono::steady_clock::now() + 15s;
    for (long i = 0; i < 2'000'000 && !stop && std::chrono::steady_clock::now() < deadline; ++i) {
      console.SendTo(kInputIP, 6454, packets[static_cast<std::size_t>(i) % packets.size()]);
      sent = i + 1;
    }
  });
  EXPECT_TRUE(testsupport::WaitFor([&] { return sent > 2000; }, 5s));
  std::this_thread::sleep_for(300ms);
  program.Signal(GetParam().Signal);
  ExpectNormalClose(program, "during a flood");
  stop = true;
  flood.join();
  RecordProperty("datagrams_sent", std::to_string(sent.load()));
}

INSTANTIATE_TEST_SUITE_P(Faults, StopSignal, ::testing::ValuesIn(kStopSignals),
                         [](const auto& Info) { return std::string(Info.param.Name); });

// A process stopped for eight periods (SIGSTOP, as a long page fault or a
// laptop's sleep would) and continued sends one late frame per output, not
// the eight it missed back to back.
TEST(StoppedProgram, SendsOneCatchUpFrameAfterContinueNotTheMissedOnes) {
  constexpr auto kPeriod = 75ms;
  testsupport::TTempDir dir;
  std::vector<TSlotSettings> settings = testsupport::SlotsOn(kInputIP, kOutputIP, kNodeIP);
  settings[1].Active = true;
  testsupport::WriteTextFile(dir.Path() / ConfigFileBaseName,
                             testsupport::HandWrittenSettingsXml(settings));
  testsupport::TLoopbackUdp node(kNodeIP, 6454);
  TProcess program(PALLADOR_EXECUTABLE, dir.Path());
  program.Start();
  ASSERT_FALSE(node.Receive(20s).empty()) << program.Stderr();

  program.Signal(SIGSTOP);
  const std::string stat = "/proc/" + std::to_string(program.Pid()) + "/stat";
  ASSERT_TRUE(testsupport::WaitFor(
      [&] {
        const std::string text = testsupport::ReadTextFile(stat);
        const std::size_t end = text.rfind(')');
        return end != std::string::npos && text.compare(end + 1, 3, " T ") == 0;
      },
      5s));
  std::this_thread::sleep_for(8 * kPeriod);  // the stall itself, not a wait for a result
  node.Drain();                              // frames sent before the stop
  program.Signal(SIGCONT);

  ASSERT_FALSE(node.Receive(5s).empty());
  const auto first = std::chrono::steady_clock::now();
  // Frames right behind the first: the grid's next frame is most of a period away.
  int burst = 1;
  while (!node.Receive(kPeriod / 4).empty() &&
         std::chrono::steady_clock::now() - first < kPeriod / 4) {
    ++burst;
  }
  EXPECT_LE(burst, 1) << "frames sent back to back after the stall";
  RecordProperty("frames_back_to_back_after_continue", burst);

  program.Signal(SIGTERM);
  EXPECT_TRUE(testsupport::ExitedCleanly(program.WaitForExit(20s))) << program.Stderr();
}

}  // namespace
}  // namespace pallador
