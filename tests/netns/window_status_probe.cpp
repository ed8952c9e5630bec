// The main window's status texts under network faults, read from the window
// itself. Runs inside the bridge namespace of the test bed that
// netns_bridge_test.py builds (it starts one test at a time with
// `ip netns exec`); anywhere else every test skips.
//
// Environment set by the driver:
//   PALLADOR_NETNS_OUTPUT_DEV   the bridge's node-side link (e.g. vb1)
//   PALLADOR_NETNS_OUTPUT_CIDR  its address (192.168.0.10/24)

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/if_ether.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netpacket/packet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <pugixml.hpp>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "app/AppPath.h"
#include "app/frMain.h"

namespace pallador {
namespace {

constexpr int StatusColumn = 5;
constexpr int WaitMs = 5000;
constexpr const char* BridgeIn = "2.0.0.10";
constexpr const char* BridgeOut = "192.168.0.10";
constexpr const char* Node = "192.168.0.30";

std::string Env(const char* Name) {
  const char* value = std::getenv(Name);
  return value == nullptr ? std::string() : std::string(value);
}

double EpochSeconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// Changes the bridge namespace's own network; the log line carries the wall
// clock time, to be set beside the captures' timestamps.
void Ip(const std::string& Arguments) {
  const std::string command = "ip " + Arguments;
  std::printf("[probe] %.6f %s\n", EpochSeconds(), command.c_str());
  std::fflush(stdout);
  if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
}

// Counts the UDP datagrams from Source:6454 that leave an interface, as seen
// by a packet socket on it (read without blocking, from a wait loop). Only
// sockets for every protocol see outgoing frames.
class TOutgoingFrames {
 public:
  TOutgoingFrames(const std::string& Interface, const std::string& Source)
      : Fd_(::socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, htons(ETH_P_ALL))) {
    if (Fd_ < 0) throw std::runtime_error("packet socket");
    sockaddr_ll link{};
    link.sll_family = AF_PACKET;
    link.sll_protocol = htons(ETH_P_ALL);
    link.sll_ifindex = static_cast<int>(::if_nametoindex(Interface.c_str()));
    if (link.sll_ifindex == 0 || ::inet_pton(AF_INET, Source.c_str(), &Source_) != 1 ||
        ::bind(Fd_, reinterpret_cast<const sockaddr*>(&link), sizeof link) != 0) {
      ::close(Fd_);
      throw std::runtime_error("cannot watch " + Interface);
    }
  }
  ~TOutgoingFrames() { ::close(Fd_); }
  TOutgoingFrames(const TOutgoingFrames&) = delete;
  TOutgoingFrames& operator=(const TOutgoingFrames&) = delete;

  int Count() {
    std::uint8_t packet[1600];
    sockaddr_ll from{};
    socklen_t length = sizeof from;
    for (;;) {
      const ssize_t n =
          ::recvfrom(Fd_, packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&from), &length);
      if (n < 0) return Count_;
      // IPv4 header (length in its low nibble), then UDP with the source port first.
      const std::size_t size = static_cast<std::size_t>(n);
      if (from.sll_pkttype != PACKET_OUTGOING || from.sll_protocol != htons(ETH_P_IP) ||
          size < 20 || packet[9] != IPPROTO_UDP) {
        continue;
      }
      const std::size_t udp = static_cast<std::size_t>(packet[0] & 0x0F) * 4;
      if (size < udp + 8 || std::memcmp(packet + 12, &Source_, 4) != 0) continue;
      if (((packet[udp] << 8) | packet[udp + 1]) == 6454) ++Count_;
    }
  }

 private:
  int Fd_;
  in_addr Source_{};
  int Count_ = 0;
};

struct TOutput {
  int Universe;
  std::string Destination;
};

// Seventeen slots: the input on InputIP, rows 0..15 from BridgeOut; the listed
// universes active towards their destinations.
void WriteSettings(const std::filesystem::path& File, const std::string& InputIP,
                   const std::vector<TOutput>& Active) {
  pugi::xml_document doc;
  pugi::xml_node interfaces = doc.append_child("config").append_child("interfaces");
  auto add = [&](const std::string& Port, const std::string& Destination, const char* Type,
                 bool IsInput, int Universe, bool IsActive) {
    pugi::xml_node slot = interfaces.append_child("interface");
    slot.append_attribute("port") = Port.c_str();
    slot.append_attribute("destination") = Destination.c_str();
    slot.append_attribute("interfacetype") = Type;
    slot.append_attribute("isinput") = IsInput ? "True" : "False";
    slot.append_attribute("universe") = Universe;
    slot.append_attribute("universeartnet") = Universe;
    slot.append_attribute("channelcount") = 512;
    slot.append_attribute("active") = IsActive ? "True" : "False";
  };
  add(InputIP, "", "Art-Net Node (INPUT)", true, 0, false);
  for (int u = 0; u < 16; ++u) {
    std::string destination = Node;
    bool active = false;
    for (const TOutput& output : Active) {
      if (output.Universe == u) {
        destination = output.Destination;
        active = true;
      }
    }
    add(BridgeOut, destination, "Art-Net Server (OUTPUT)", false, u, active);
  }
  if (!doc.save_file(File.c_str())) throw std::runtime_error("cannot write " + File.string());
}

class BridgeFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    OutputDev_ = Env("PALLADOR_NETNS_OUTPUT_DEV");
    OutputCidr_ = Env("PALLADOR_NETNS_OUTPUT_CIDR");
    if (OutputDev_.empty() || OutputCidr_.empty()) {
      GTEST_SKIP() << "runs only inside the namespace test bed of netns_bridge_test.py";
    }
    char pattern[] = "/tmp/pallador-probe-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    Dir_ = pattern;
  }

  void TearDown() override {
    Window_.reset();
    DisconnectMainThreadQueue();
    // Whatever a test changed, the namespace leaves it as the driver made it.
    for (const std::string& restore : Restore_) {
      try {
        Ip(restore);
      } catch (...) {
      }
    }
    std::error_code ignored;
    if (!Dir_.empty()) std::filesystem::remove_all(Dir_, ignored);
  }

  TfrmMain& Open(const std::string& InputIP, const std::vector<TOutput>& Active) {
    WriteSettings(Dir_ / "config_unibridge.xml", InputIP, Active);
    SetAppPath(Dir_.string() + "/");
    ConnectMainThreadQueue();
    Window_ = CreateMainWindow();
    return *Window_;
  }

  std::string RowStatus(int Row) const {
    return Window_->ckUniverses->topLevelItem(Row)->text(StatusColumn).toStdString();
  }

  std::string InputStatus() const { return Window_->lbInputStatus->text().toStdString(); }

  static void Show(const char* What, const std::string& Text) {
    std::printf("[probe] %s: \"%s\"\n", What, Text.c_str());
    std::fflush(stdout);
  }

  std::string OutputDev_;
  std::string OutputCidr_;
  std::filesystem::path Dir_;
  std::vector<std::string> Restore_;
  std::unique_ptr<TfrmMain> Window_;
};

TEST_F(BridgeFaults, InputAddressAbsentShowsSocketNotAvailable) {
  Open("2.0.0.99", {{1, Node}});
  Show("input status", InputStatus());
  Show("row 1 status", RowStatus(1));
  EXPECT_EQ(InputStatus(), "Error, socket not available");
  EXPECT_EQ(RowStatus(1), "") << "the output opens although the input failed";
}

TEST_F(BridgeFaults, NodeLinkDownAtStartShowsNetworkDown) {
  Restore_.push_back("link set " + OutputDev_ + " up");
  Ip("link set " + OutputDev_ + " down");
  Open(BridgeIn, {{1, Node}, {3, "255.255.255.255"}});
  Show("input status", InputStatus());
  Show("row 1 status", RowStatus(1));
  Show("row 3 status", RowStatus(3));
  EXPECT_EQ(InputStatus(), "") << "the input's link is up";
  EXPECT_EQ(RowStatus(1), "Error, network down");
  EXPECT_EQ(RowStatus(3), "Error, network down");
}

TEST_F(BridgeFaults, OutputAddressRemovedShowsSendFailureUntilReconnect) {
  TfrmMain& window = Open(BridgeIn, {{1, Node}});
  ASSERT_EQ(RowStatus(1), "");

  Restore_.push_back("addr add " + OutputCidr_ + " broadcast + dev " + OutputDev_);
  Ip("addr del " + OutputCidr_ + " dev " + OutputDev_);
  // The status timer shows the failure of the next tick within a second: the
  // send from the vanished address is refused as unreachable.
  EXPECT_TRUE(QTest::qWaitFor([&] { return !RowStatus(1).empty(); }, WaitMs));
  Show("row 1 status while the address is gone", RowStatus(1));
  EXPECT_EQ(RowStatus(1), "Socket Error # 10051 Netw");
  EXPECT_EQ(InputStatus(), "") << "the input's network is untouched";

  Restore_.pop_back();
  Ip("addr add " + OutputCidr_ + " broadcast + dev " + OutputDev_);
  TOutgoingFrames frames(OutputDev_, BridgeOut);
  window.btReconnectOutputs->click();
  Show("row 1 status after Connect", RowStatus(1));
  EXPECT_EQ(RowStatus(1), "");
  EXPECT_TRUE(QTest::qWaitFor([&] { return frames.Count() >= 5; }, WaitMs))
      << "frames from " << BridgeOut << " seen leaving: " << frames.Count();
  window.tmrStatusTimer();  // what the next status refresh shows
  Show("row 1 status after five frames left", RowStatus(1));
  EXPECT_EQ(RowStatus(1), "");
}

TEST_F(BridgeFaults, SecondInstanceShowsCouldNotBind) {
  // The bind failure is reported without a number; a status shows its first 25 characters.
  const std::string shortText =
      std::string("Could not bind socket. Address and port are already in use.").substr(0, 25);
  Open(BridgeIn, {{1, Node}});
  Show("input status", InputStatus());
  Show("row 1 status", RowStatus(1));
  EXPECT_EQ(InputStatus(), shortText);
  EXPECT_EQ(RowStatus(1), shortText);
}

}  // namespace
}  // namespace pallador

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
