// The built program over loopback: settings file beside a copy of the binary,
// ArtDmx in at the input, ArtDmx out at the destination, a signal to close.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <optional>
#include <pugixml.hpp>
#include <string>
#include <thread>
#include <vector>

#include "e2e/LoopbackUdp.h"
#include "e2e/SettingsFile.h"
#include "support/ArtDmxFixture.h"

namespace pallador {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testsupport::SlotsOn;
using testsupport::TSlotSettings;

// e2e's own loopback addresses.
constexpr const char* kInputIP = "127.0.7.1";
constexpr const char* kBindIP = "127.0.7.2";
constexpr const char* kDestinationIP = "127.0.7.3";
constexpr const char* kConsoleIP = "127.0.7.4";
constexpr std::uint16_t kArtNetPort = 6454;

// The program, copied into a scratch folder so that its settings file sits beside it.
class TProgram {
 public:
  explicit TProgram(const std::string& Settings) {
    Binary_ = Dir_.Path() / "pallador";
    std::filesystem::copy_file(PALLADOR_EXECUTABLE, Binary_);
    std::filesystem::permissions(Binary_, std::filesystem::perms::owner_all);
    testsupport::WriteTextFile(SettingsPath(), Settings);
  }
  ~TProgram() {
    if (Pid_ > 0 && !Exited_) {
      ::kill(Pid_, SIGKILL);
      ::waitpid(Pid_, nullptr, 0);
    }
  }
  TProgram(const TProgram&) = delete;
  TProgram& operator=(const TProgram&) = delete;

  std::filesystem::path SettingsPath() const { return Dir_.Path() / "config_unibridge.xml"; }
  std::string Stderr() const { return testsupport::ReadTextFile(Dir_.Path() / "stderr.txt"); }

  // Starts it as on a machine without a display, or with DISPLAY set to Display.
  void Start(const std::optional<std::string>& Display = std::nullopt) {
    const std::string errorFile = (Dir_.Path() / "stderr.txt").string();
    Pid_ = ::fork();
    ASSERT_GE(Pid_, 0);
    if (Pid_ == 0) {
      ::unsetenv("DISPLAY");
      if (Display) ::setenv("DISPLAY", Display->c_str(), 1);
      ::unsetenv("WAYLAND_DISPLAY");
      ::unsetenv("QT_QPA_PLATFORM");
      const int fd = ::open(errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (fd >= 0) ::dup2(fd, STDERR_FILENO);
      const std::string binary = Binary_.string();
      ::execl(binary.c_str(), binary.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
  }

  void Signal(int Number) const { ::kill(Pid_, Number); }

  // The exit status, or nothing when the program is still running at the deadline.
  std::optional<int> WaitForExit(std::chrono::milliseconds Timeout) {
    const auto deadline = Clock::now() + Timeout;
    while (Clock::now() < deadline) {
      int status = 0;
      if (::waitpid(Pid_, &status, WNOHANG) == Pid_) {
        Exited_ = true;
        return status;
      }
      std::this_thread::sleep_for(10ms);
    }
    return std::nullopt;
  }

 private:
  testsupport::TTempDir Dir_;
  std::filesystem::path Binary_;
  pid_t Pid_ = -1;
  bool Exited_ = false;
};

// Whether a UDP socket is bound to IP:Port, read from the kernel's table
// (binding a probe ourselves could take the address from the program).
bool IsUdpBound(const std::string& IP, std::uint16_t Port) {
  in_addr address{};
  if (::inet_pton(AF_INET, IP.c_str(), &address) != 1) return false;
  char wanted[32];
  std::snprintf(wanted, sizeof wanted, "%08X:%04X", address.s_addr, Port);
  const std::string table = testsupport::ReadTextFile("/proc/net/udp");
  return table.find(std::string(" ") + wanted + " ") != std::string::npos;
}

// Waits until the program's input is up.
bool WaitUntilBound(const std::string& IP, std::chrono::milliseconds Timeout) {
  for (const auto deadline = Clock::now() + Timeout; Clock::now() < deadline;) {
    if (IsUdpBound(IP, kArtNetPort)) return true;
    std::this_thread::sleep_for(20ms);
  }
  return false;
}

std::array<std::uint8_t, 512> Levels(std::uint8_t Seed) {
  std::array<std::uint8_t, 512> levels{};
  for (std::size_t i = 0; i < levels.size(); ++i) {
    levels[i] = static_cast<std::uint8_t>(Seed + i * 7);
  }
  return levels;
}

// An ArtDmx as a console sends it: full 512 channels.
std::vector<std::uint8_t> ConsoleArtDmx(std::uint16_t Universe,
                                        const std::array<std::uint8_t, 512>& Data) {
  return test::ArtDmxBytes(Universe, 512, Data, /*Sequence=*/1);
}

// The 530 bytes an output must send for Universe with these levels.
std::vector<std::uint8_t> ExpectedArtDmx(std::uint16_t Universe,
                                         const std::array<std::uint8_t, 512>& Data) {
  return test::ArtDmxBytes(Universe, 512, Data, /*Sequence=*/0,
                           /*Physical=*/static_cast<std::uint8_t>(Universe & 0xff));
}

std::uint16_t PortAddressOf(const std::vector<std::uint8_t>& Packet) {
  return Packet.size() < 16 ? 0xffff : static_cast<std::uint16_t>(Packet[14] | Packet[15] << 8);
}

std::vector<pugi::xml_node> InterfaceElements(const pugi::xml_document& Document) {
  const pugi::xml_node interfaces = Document.child("config").child("interfaces");
  return {interfaces.begin(), interfaces.end()};
}

TEST(Program, BridgesArtDmxFromTheInputToEveryActiveOutput) {
  std::vector<TSlotSettings> settings = SlotsOn(kInputIP, kBindIP, kDestinationIP);
  settings[1].Active = true;       // universe 0, sent as 0
  settings[3].Universe = 2;        // universe 2 ...
  settings[3].UniverseArtNet = 9;  // ... sent as 9
  settings[3].Active = true;
  TProgram program(testsupport::SettingsXml(settings));
  testsupport::TLoopbackUdp node(kDestinationIP, kArtNetPort);
  testsupport::TLoopbackUdp console(kConsoleIP, 0);
  program.Start();

  const auto levels0 = Levels(1);
  const auto levels2 = Levels(100);
  const std::map<std::uint16_t, std::vector<std::uint8_t>> expected{
      {0, ExpectedArtDmx(0, levels0)}, {9, ExpectedArtDmx(9, levels2)}};

  // The console repeats its frames until both outputs carry them.
  std::map<std::uint16_t, bool> arrived;
  auto lastSend = Clock::time_point{};
  for (const auto deadline = Clock::now() + 15s; arrived.size() < 2 && Clock::now() < deadline;) {
    if (Clock::now() - lastSend > 100ms) {
      console.SendTo(kInputIP, kArtNetPort, ConsoleArtDmx(0, levels0));
      console.SendTo(kInputIP, kArtNetPort, ConsoleArtDmx(2, levels2));
      lastSend = Clock::now();
    }
    const std::vector<std::uint8_t> packet = node.Receive(50ms);
    const auto it = expected.find(PortAddressOf(packet));
    if (it != expected.end() && packet == it->second) arrived[it->first] = true;
  }
  ASSERT_EQ(arrived.size(), 2u) << program.Stderr();

  // Every packet now is exact; each output sends about 13.3 times a second.
  std::map<std::uint16_t, std::vector<Clock::time_point>> arrivals;
  const auto window = 3s;
  for (const auto end = Clock::now() + window; Clock::now() < end;) {
    const std::vector<std::uint8_t> packet = node.Receive(20ms);
    if (packet.empty()) continue;
    const auto it = expected.find(PortAddressOf(packet));
    ASSERT_NE(it, expected.end()) << "universe " << PortAddressOf(packet);
    ASSERT_EQ(packet.size(), 530u);
    ASSERT_EQ(packet, it->second);
    arrivals[it->first].push_back(Clock::now());
  }
  for (const auto& [universe, times] : arrivals) {
    const double perSecond = static_cast<double>(times.size()) / 3.0;
    EXPECT_GT(perSecond, 9.0) << "universe " << universe;
    EXPECT_LT(perSecond, 18.0) << "universe " << universe;
    std::vector<double> gaps;
    for (std::size_t i = 1; i < times.size(); ++i) {
      gaps.push_back(std::chrono::duration<double, std::milli>(times[i] - times[i - 1]).count());
    }
    std::sort(gaps.begin(), gaps.end());
    if (gaps.empty()) continue;
    double sum = 0;
    for (const double g : gaps) sum += g;
    const std::size_t p99 = std::min(gaps.size() - 1, gaps.size() * 99 / 100);
    std::cout << "universe " << universe << ": " << times.size() << " packets in 3 s, period mean "
              << sum / static_cast<double>(gaps.size()) << " ms, p99 " << gaps[p99] << " ms\n";
  }

  program.Signal(SIGTERM);
  const std::optional<int> status = program.WaitForExit(10s);
  ASSERT_TRUE(status.has_value()) << "still running after SIGTERM";
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "status " << *status;
  EXPECT_NE(program.Stderr().find("offscreen"), std::string::npos) << program.Stderr();

  pugi::xml_document saved;
  ASSERT_TRUE(saved.load_file(program.SettingsPath().c_str()));
  const std::vector<pugi::xml_node> elements = InterfaceElements(saved);
  ASSERT_EQ(elements.size(), 17u);
  for (const pugi::xml_node& element : elements) EXPECT_STREQ(element.name(), "interface");
  EXPECT_STREQ(elements[1].attribute("active").value(), "True");
  EXPECT_STREQ(elements[3].attribute("universeartnet").value(), "9");
  EXPECT_STREQ(elements[3].attribute("active").value(), "True");
  EXPECT_STREQ(elements[2].attribute("active").value(), "False");

  // Every socket closed with the program.
  EXPECT_NO_THROW(testsupport::TLoopbackUdp(kInputIP, kArtNetPort));
  EXPECT_NO_THROW(testsupport::TLoopbackUdp(kBindIP, kArtNetPort));
}

// An X server that accepts connections and never answers: display
// 127.0.7.5:N is TCP port 6000 + N. Nothing is ever read or written.
class TSilentXServer {
 public:
  TSilentXServer() {
    for (int display = 50; display < 100 && Fd_ < 0; ++display) {
      const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (fd < 0) break;
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_port = htons(static_cast<std::uint16_t>(6000 + display));
      ::inet_pton(AF_INET, "127.0.7.5", &address.sin_addr);
      if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
          ::listen(fd, 8) == 0) {
        Fd_ = fd;
        Display_ = "127.0.7.5:" + std::to_string(display);
      } else {
        ::close(fd);
      }
    }
  }
  ~TSilentXServer() {
    if (Fd_ >= 0) ::close(Fd_);
  }
  TSilentXServer(const TSilentXServer&) = delete;
  TSilentXServer& operator=(const TSilentXServer&) = delete;
  const std::string& Display() const { return Display_; }

 private:
  int Fd_ = -1;
  std::string Display_;
};

// A local display number with neither a socket nor a lock file.
std::string UnusedLocalDisplay() {
  int display = 900;
  while (std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(display)) ||
         std::filesystem::exists("/tmp/.X" + std::to_string(display) + "-lock")) {
    ++display;
  }
  return ":" + std::to_string(display);
}

std::string LineWith(const std::string& Text, const std::string& Word) {
  const std::size_t at = Text.find(Word);
  if (at == std::string::npos) return {};
  const std::size_t begin = Text.rfind('\n', at);
  const std::size_t end = Text.find('\n', at);
  return Text.substr(begin == std::string::npos ? 0 : begin + 1,
                     end == std::string::npos ? std::string::npos : end - begin - 1);
}

TEST(Program, ADisplayThatDoesNotAnswerCountsAsNoDisplay) {
  TSilentXServer silent;
  ASSERT_FALSE(silent.Display().empty()) << "no free port for the silent server";
  struct Case {
    const char* Name;
    std::optional<std::string> Display;
  };
  const Case cases[] = {
      {"no display", std::nullopt},
      {"a display number that nobody serves", UnusedLocalDisplay()},
      {"a server that accepts and never answers", silent.Display()},
  };
  std::string notice;
  std::vector<TSlotSettings> settings = SlotsOn(kInputIP, kBindIP, kDestinationIP);
  settings[1].Active = true;
  const auto levels = Levels(7);
  const std::vector<std::uint8_t> expected = ExpectedArtDmx(0, levels);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.Name) + " " + c.Display.value_or(""));
    TProgram program(testsupport::SettingsXml(settings));
    testsupport::TLoopbackUdp node(kDestinationIP, kArtNetPort);
    testsupport::TLoopbackUdp console(kConsoleIP, 0);
    program.Start(c.Display);

    // It bridges with the saved settings.
    bool bridged = false;
    auto lastSend = Clock::time_point{};
    for (const auto deadline = Clock::now() + 20s; !bridged && Clock::now() < deadline;) {
      if (program.WaitForExit(0ms)) break;
      if (Clock::now() - lastSend > 100ms) {
        console.SendTo(kInputIP, kArtNetPort, ConsoleArtDmx(0, levels));
        lastSend = Clock::now();
      }
      bridged = node.Receive(50ms) == expected;
    }
    EXPECT_TRUE(bridged) << program.Stderr();

    program.Signal(SIGTERM);
    const std::optional<int> status = program.WaitForExit(10s);
    ASSERT_TRUE(status.has_value()) << "still running after SIGTERM";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "status " << *status << "\n"
                                                                 << program.Stderr();

    // With the same one-line notice as without a display.
    const std::string line = LineWith(program.Stderr(), "offscreen");
    EXPECT_FALSE(line.empty()) << program.Stderr();
    if (notice.empty()) notice = line;
    EXPECT_EQ(line, notice);
  }
}

TEST(Program, EveryStopSignalClosesTheWindowAndSavesTheSettings) {
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(::strsignal(signal));
    // Indented by hand: written back without the indentation, so the rewrite shows.
    const std::string settings =
        "<config>\n  " + testsupport::SettingsXml(SlotsOn(kInputIP, kBindIP, kDestinationIP))
                             .substr(std::string("<config>").size());
    TProgram program(settings);
    program.Start();
    ASSERT_TRUE(WaitUntilBound(kInputIP, 10s)) << program.Stderr();
    program.Signal(signal);
    const std::optional<int> status = program.WaitForExit(10s);
    ASSERT_TRUE(status.has_value()) << "still running";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "status " << *status;

    const std::string written = testsupport::ReadTextFile(program.SettingsPath());
    EXPECT_EQ(written.find('\n'), std::string::npos) << written;
    pugi::xml_document saved;
    ASSERT_TRUE(saved.load_string(written.c_str()));
    EXPECT_EQ(InterfaceElements(saved).size(), 17u);
  }
}

}  // namespace
}  // namespace pallador
