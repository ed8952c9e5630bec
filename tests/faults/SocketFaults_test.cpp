// Sockets that fail under the running application: a listener whose handler
// throws, a destination that refuses, datagrams larger than the input takes,
// and addresses that disappear and return. Each shows its status (or none
// where nothing failed) and the application keeps running and forwarding.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <new>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "e2e/LoopbackUdp.h"
#include "faults/FaultSupport.h"
#include "faults/Process.h"
#include "net/IdException.h"
#include "net/classUDPFactory.h"
#include "support/MainThreadPump.h"
#include "support/NetLab.h"

namespace pallador {
namespace {

using namespace std::chrono_literals;
using testsupport::TProcess;
using testsupport::TSlotSettings;

// The harness's latest status line: the input's text, then rows 0 to 15.
std::vector<std::string> LatestStatus(const TProcess& Harness) {
  const std::string out = Harness.Stdout();
  const std::size_t at = out.rfind("status\t");
  if (at == std::string::npos) return {};
  const std::size_t end = out.find('\n', at);
  if (end == std::string::npos) return {};  // still being written
  std::vector<std::string> fields;
  std::string line = out.substr(at + 7, end - at - 7) + "\t";
  for (std::size_t from = 0, tab; (tab = line.find('\t', from)) != std::string::npos;
       from = tab + 1) {
    fields.push_back(line.substr(from, tab - from));
  }
  return fields;
}

std::string StatusOf(const TProcess& Harness, int Field) {
  const std::vector<std::string> status = LatestStatus(Harness);
  return Field < static_cast<int>(status.size()) ? status[static_cast<std::size_t>(Field)]
                                                 : "<none>";
}
constexpr int kInputStatus = 0;
int RowStatus(int Row) {
  return Row + 1;
}

std::vector<std::uint8_t> Levels(std::uint8_t Seed) {
  std::vector<std::uint8_t> levels(512);
  for (std::size_t i = 0; i < levels.size(); ++i) levels[i] = static_cast<std::uint8_t>(Seed + i);
  return levels;
}

// Waits for an ArtDmx of Universe carrying Levels at Node.
bool ReceivesLevels(testsupport::TLoopbackUdp& Node, std::uint16_t Universe,
                    const std::vector<std::uint8_t>& Levels,
                    std::chrono::milliseconds Timeout = 5s) {
  const std::vector<std::uint8_t> expected = testsupport::ArtDmx(Universe, Levels);
  const auto deadline = std::chrono::steady_clock::now() + Timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    const std::vector<std::uint8_t> got = Node.Receive(50ms);
    // The sent header carries Sequence 0 and the universe's low byte in Physical.
    if (got.size() == expected.size() &&
        std::equal(got.begin() + 14, got.end(), expected.begin() + 14)) {
      return true;
    }
  }
  return false;
}

// -- a listener whose handler throws ------------------------------------------

TEST(ThrowingHandler, LosesOnlyItsOwnDatagramWhateverItThrows) {
  constexpr const char* kServerIP = "127.0.9.40";
  TUDPFactory pool(nullptr);
  std::vector<std::string> handled;
  pool.AttachReceiver(kServerIP,
                      [&](TIdUDPServer&, std::span<const std::uint8_t> AData, TIdSocketHandle&) {
                        handled.emplace_back(AData.begin(), AData.end());
                        switch (handled.size() % 5) {
                          case 1:
                            throw std::runtime_error("handler failed");
                          case 2:
                            throw EIdSocketError(10054);
                          case 3:
                            throw 42;  // not even an exception class
                          case 4:
                            throw std::bad_alloc();
                          default:
                            break;
                        }
                      });
  ASSERT_TRUE(pool.OpenPort(kServerIP, 6454)) << pool.LastError;

  testsupport::TLoopbackUdp sender("127.0.9.41", 0);
  std::vector<std::string> sent;
  for (int i = 0; i < 20; ++i) {
    sent.push_back("datagram " + std::to_string(i));
    sender.SendTo(
        kServerIP, 6454,
        std::span(reinterpret_cast<const std::uint8_t*>(sent.back().data()), sent.back().size()));
  }
  EXPECT_TRUE(testsupport::PumpUntil([&] { return handled.size() == sent.size(); }));
  EXPECT_EQ(handled, sent);
  EXPECT_TRUE(pool.IsServerActive(kServerIP));
  EXPECT_EQ(pool.LastError, "");
}

// -- the application under socket faults (harness, loopback) --------------------

constexpr const char* kInputIP = "127.0.9.21";
constexpr const char* kRefusingIP = "127.0.9.22";
constexpr const char* kNodeIP = "127.0.9.23";
constexpr const char* kConsoleIP = "127.0.9.24";

class RunningApplication : public ::testing::Test {
 protected:
  // Row 0 sends to a destination where nothing listens, row 1 to the node;
  // both send from the input's own address, so they share its socket.
  void Start() {
    std::vector<TSlotSettings> settings = testsupport::SlotsOn(kInputIP, kInputIP, kNodeIP);
    settings[1].Destination = kRefusingIP;
    settings[1].Active = true;
    settings[2].Active = true;
    testsupport::WriteTextFile(Dir.Path() / ConfigFileBaseName, testsupport::SettingsXml(settings));
    Harness.Start({"--status"});
    ASSERT_TRUE(testsupport::WaitFor([] { return testsupport::IsUdpBound(kInputIP, 6454); }, 20s))
        << Harness.Stderr();
  }

  void TearDown() override {
    if (Harness.Pid() <= 0) return;
    Harness.Signal(SIGTERM);
    const std::optional<int> status = Harness.WaitForExit(20s);
    EXPECT_TRUE(testsupport::ExitedCleanly(status)) << testsupport::DescribeStatus(status) << "\n"
                                                    << Harness.Stderr();
  }

  testsupport::TTempDir Dir;
  TProcess Harness{PALLADOR_HARNESS, Dir.Path()};
  testsupport::TLoopbackUdp Console{kConsoleIP, 0};
};

TEST_F(RunningApplication, DestinationThatRefusesKeepsSendingAndTheSharedInputListens) {
  testsupport::TLoopbackUdp node(kNodeIP, 6454);
  ASSERT_NO_FATAL_FAILURE(Start());
  // Every tick's datagram to the refusing destination comes back as an ICMP
  // port unreachable on the socket the input listens on.
  for (const std::uint8_t seed : std::vector<std::uint8_t>{10, 20, 30}) {
    Console.SendTo(kInputIP, 6454, testsupport::ArtDmx(1, Levels(seed)));
    EXPECT_TRUE(ReceivesLevels(node, 1, Levels(seed))) << "seed " << int{seed};
  }
  EXPECT_TRUE(Harness.Running());
  // On Linux an unconnected socket is told nothing of the refusal: no status.
  EXPECT_EQ(StatusOf(Harness, RowStatus(0)), "");
  EXPECT_EQ(StatusOf(Harness, RowStatus(1)), "");
  EXPECT_EQ(StatusOf(Harness, kInputStatus), "");

  // Once something listens there, the output's frames arrive.
  testsupport::TLoopbackUdp late(kRefusingIP, 6454);
  Console.SendTo(kInputIP, 6454, testsupport::ArtDmx(0, Levels(40)));
  EXPECT_TRUE(ReceivesLevels(late, 0, Levels(40)));
}

TEST_F(RunningApplication, DatagramsLargerThanTheInputTakesAreDroppedAlone) {
  testsupport::TLoopbackUdp node(kNodeIP, 6454);
  ASSERT_NO_FATAL_FAILURE(Start());
  Console.SendTo(kInputIP, 6454, testsupport::ArtDmx(1, Levels(1)));
  ASSERT_TRUE(ReceivesLevels(node, 1, Levels(1)));

  // An ArtDmx for universe 1 padded past the 8480 bytes the input takes: it
  // must be dropped whole, not stored cut.
  for (std::size_t size : {8481U, 9000U, 65507U}) {
    std::vector<std::uint8_t> oversized = testsupport::ArtDmx(1, Levels(99));
    oversized.resize(size, 0xEE);
    Console.SendTo(kInputIP, 6454, oversized);
  }
  EXPECT_FALSE(ReceivesLevels(node, 1, Levels(99), 500ms));
  Console.SendTo(kInputIP, 6454, testsupport::ArtDmx(1, Levels(2)));
  EXPECT_TRUE(ReceivesLevels(node, 1, Levels(2)));
  EXPECT_EQ(StatusOf(Harness, kInputStatus), "");
  EXPECT_EQ(StatusOf(Harness, RowStatus(1)), "");
}

// -- addresses that disappear and return (network namespaces) ----------------

TEST(VanishingAddress, PortsShowTheFailureAndResumeWhenTheAddressReturns) {
  if (const std::string why = testsupport::NetLabUnavailable(); !why.empty()) GTEST_SKIP() << why;
  testsupport::TNetLab lab;
  const std::string bridge = lab.AddNamespace("b");
  const std::string peer = lab.AddNamespace("p");
  lab.AddVeth(bridge, "vb0", peer, "vp0");
  // Input and output on separate subnets: removing one address leaves the other.
  const std::string inputCidr = "10.9.1.1/24 dev vb0";
  const std::string outputCidr = "10.9.2.1/24 dev vb0";
  lab.Ip(bridge, "addr add " + inputCidr);
  lab.Ip(bridge, "addr add " + outputCidr);
  lab.Ip(peer, "addr add 10.9.1.9/24 dev vp0");
  lab.Ip(peer, "addr add 10.9.2.9/24 dev vp0");

  std::unique_ptr<testsupport::TUdpPeer> node;
  std::unique_ptr<testsupport::TUdpPeer> console;
  lab.RunIn(peer, [&] {
    node = std::make_unique<testsupport::TUdpPeer>("10.9.2.9", 6454);
    console = std::make_unique<testsupport::TUdpPeer>("10.9.1.9", 0);
  });

  testsupport::TTempDir dir;
  std::vector<TSlotSettings> settings = testsupport::SlotsOn("10.9.1.1", "10.9.2.1", "10.9.2.9");
  settings[1].Active = true;
  testsupport::WriteTextFile(dir.Path() / ConfigFileBaseName, testsupport::SettingsXml(settings));
  TProcess harness(PALLADOR_HARNESS, dir.Path());
  harness.Start({"--status"}, testsupport::EStopSignals::Default, bridge);

  auto levels = [](std::uint8_t Seed) {
    const std::vector<std::uint8_t> l = Levels(Seed);
    return std::string(l.begin(), l.end());
  };
  auto send = [&](std::uint8_t Seed) {
    const std::vector<std::uint8_t> p = testsupport::ArtDmx(0, Levels(Seed));
    console->Send("10.9.1.1", 6454, std::string(p.begin(), p.end()));
  };
  // The node's frames carry the latest levels; the console repeats its frame
  // as consoles do, so a frame lost while an address is away is sent again.
  auto forwards = [&](std::uint8_t Seed) {
    const std::string wanted = levels(Seed);
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    std::string got;
    while (std::chrono::steady_clock::now() < deadline) {
      send(Seed);
      if (node->Receive(got, nullptr, 50ms) && got.size() == 530 && got.substr(18) == wanted)
        return true;
    }
    return false;
  };

  ASSERT_TRUE(forwards(1)) << harness.Stderr();
  EXPECT_TRUE(testsupport::WaitFor([&] { return StatusOf(harness, RowStatus(0)) == ""; }, 5s));

  // The output's address goes: every tick's send fails and the row says why.
  lab.Ip(bridge, "addr del " + outputCidr);
  EXPECT_TRUE(testsupport::WaitFor([&] { return !StatusOf(harness, RowStatus(0)).empty(); }, 5s));
  const std::string whileGone = StatusOf(harness, RowStatus(0));
  EXPECT_EQ(whileGone.rfind("Socket Error # ", 0), 0U) << whileGone;
  EXPECT_EQ(StatusOf(harness, kInputStatus), "");
  EXPECT_TRUE(harness.Running());
  // It returns: the sends succeed again and the status clears by itself.
  lab.Ip(bridge, "addr add " + outputCidr);
  EXPECT_TRUE(forwards(2)) << "the output did not resume";
  EXPECT_TRUE(testsupport::WaitFor([&] { return StatusOf(harness, RowStatus(0)) == ""; }, 5s))
      << StatusOf(harness, RowStatus(0));

  // The input's address goes: nothing arrives, nothing fails on the bridge.
  lab.Ip(bridge, "addr del " + inputCidr);
  send(3);
  std::this_thread::sleep_for(300ms);
  EXPECT_TRUE(harness.Running());
  EXPECT_EQ(StatusOf(harness, kInputStatus), "");
  // It returns: the input hears the console again without a reconnect.
  lab.Ip(bridge, "addr add " + inputCidr);
  EXPECT_TRUE(forwards(4)) << "the input did not resume";
  RecordProperty("output_status_while_its_address_is_gone", whileGone);

  harness.Signal(SIGTERM);
  const std::optional<int> status = harness.WaitForExit(20s);
  EXPECT_TRUE(testsupport::ExitedCleanly(status)) << testsupport::DescribeStatus(status) << "\n"
                                                  << harness.Stderr();
  lab.RunIn(peer, [&] {
    node.reset();
    console.reset();
  });
}

// -- ports that start before their network (network namespaces) -------------

// The inode of the socket bound to IP:6454 in Pid's namespace: the same
// number later means the same socket, never closed and opened again.
std::string SocketInode(pid_t Pid, const std::string& IP) {
  std::istringstream fields(
      testsupport::UdpSocketLine(IP, 6454, "/proc/" + std::to_string(Pid) + "/net/udp"));
  std::string field;
  for (int i = 0; i < 10 && fields >> field; ++i) {
  }
  return field;
}

struct TLateNetworkCase {
  const char* Name;
  const char* InputIP;
  const char* ConsoleIP;
  std::vector<std::string> AtStart;  // `ip` arguments in the bridge's namespace before the start
  const char* Later;                 // ... and once the input shows its status
  const char* Status;
};

void PrintTo(const TLateNetworkCase& Case, std::ostream* Out) {
  *Out << Case.Name;
}

class LateNetwork : public ::testing::TestWithParam<TLateNetworkCase> {};

// An input that starts before its network shows why, and opens by itself once
// the network is there, without a click on Connect; the working output beside
// it keeps its socket and its stream the whole time.
TEST_P(LateNetwork, InputOpensByItselfAndTheWorkingOutputIsNotTouched) {
  if (const std::string why = testsupport::NetLabUnavailable(); !why.empty()) GTEST_SKIP() << why;
  const TLateNetworkCase& c = GetParam();
  testsupport::TNetLab lab;
  const std::string bridge = lab.AddNamespace("b");
  const std::string peer = lab.AddNamespace("p");
  lab.AddVeth(bridge, "vb0", peer, "vp0");  // the output's network
  lab.AddVeth(bridge, "vb1", peer, "vp1");  // the input's
  lab.Ip(bridge, "addr add 10.9.2.1/24 dev vb0");
  lab.Ip(peer, "addr add 10.9.2.9/24 dev vp0");
  lab.Ip(peer, std::string("addr add ") + c.ConsoleIP + "/24 dev vp1");
  for (const std::string& step : c.AtStart) lab.Ip(bridge, step);

  std::unique_ptr<testsupport::TUdpPeer> node;
  std::unique_ptr<testsupport::TUdpPeer> console;
  lab.RunIn(peer, [&] {
    node = std::make_unique<testsupport::TUdpPeer>("10.9.2.9", 6454);
    console = std::make_unique<testsupport::TUdpPeer>(c.ConsoleIP, 0);
  });

  testsupport::TTempDir dir;
  std::vector<TSlotSettings> settings = testsupport::SlotsOn(c.InputIP, "10.9.2.1", "10.9.2.9");
  settings[1].Active = true;
  testsupport::WriteTextFile(dir.Path() / ConfigFileBaseName, testsupport::SettingsXml(settings));
  TProcess harness(PALLADOR_HARNESS, dir.Path());
  harness.Start({"--status"}, testsupport::EStopSignals::Default, bridge);

  std::string frame;
  ASSERT_TRUE(node->Receive(frame)) << harness.Stderr();
  ASSERT_TRUE(
      testsupport::WaitFor([&] { return StatusOf(harness, kInputStatus) == c.Status; }, 10s))
      << StatusOf(harness, kInputStatus);
  const std::string outputSocket = SocketInode(harness.Pid(), "10.9.2.1");
  ASSERT_FALSE(outputSocket.empty());

  lab.Ip(bridge, c.Later);
  EXPECT_TRUE(testsupport::WaitFor([&] { return StatusOf(harness, kInputStatus).empty(); }, 10s))
      << StatusOf(harness, kInputStatus);
  // The input really listens: the console's levels reach the node.
  const std::vector<std::uint8_t> p = testsupport::ArtDmx(0, Levels(7));
  const std::vector<std::uint8_t> l = Levels(7);
  const std::string wanted(l.begin(), l.end());
  bool forwarded = false;
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (!forwarded && std::chrono::steady_clock::now() < deadline) {
    console->Send(c.InputIP, 6454, std::string(p.begin(), p.end()));
    forwarded =
        node->Receive(frame, nullptr, 50ms) && frame.size() == 530 && frame.substr(18) == wanted;
  }
  EXPECT_TRUE(forwarded);
  EXPECT_EQ(SocketInode(harness.Pid(), "10.9.2.1"), outputSocket)
      << "the working output was closed and opened again";
  EXPECT_EQ(StatusOf(harness, RowStatus(0)), "");

  harness.Signal(SIGTERM);
  const std::optional<int> status = harness.WaitForExit(20s);
  EXPECT_TRUE(testsupport::ExitedCleanly(status)) << testsupport::DescribeStatus(status) << "\n"
                                                  << harness.Stderr();
  EXPECT_NE(harness.Stdout().find("reconnects 0"), std::string::npos);
  lab.RunIn(peer, [&] {
    node.reset();
    console.reset();
  });
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LateNetwork,
    ::testing::Values(TLateNetworkCase{"LinkDownAtStart",
                                       "10.9.1.1",
                                       "10.9.1.9",
                                       {"addr add 10.9.1.1/24 dev vb1", "link set vb1 down"},
                                       "link set vb1 up",
                                       "Error, network down"},
                      TLateNetworkCase{"AddressAddedLater",
                                       "10.9.3.1",
                                       "10.9.3.9",
                                       {},
                                       "addr add 10.9.3.1/24 dev vb1",
                                       "Error, socket not available"}),
    [](const ::testing::TestParamInfo<TLateNetworkCase>& param) { return param.param.Name; });

}  // namespace
}  // namespace pallador
