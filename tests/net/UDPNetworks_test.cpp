// Two networks built in namespaces, as a bridge machine sees them:
//
//  console                 bridge                                   node
//  vc0 2.0.0.1/8 <=veth=> vb0 2.0.0.10/8, 2.0.0.11/8 (default route)
//                         vb1 192.168.0.10/24          <=veth=>   vn1 192.168.0.30/24

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "net/IdException.h"
#include "net/classUDPFactory.h"
#include "support/MainThreadPump.h"
#include "support/NetLab.h"

namespace pallador {
namespace {

using testsupport::PumpUntil;
using testsupport::TFrameTap;
using testsupport::TNetLab;
using testsupport::TUdpPeer;

constexpr int kArtNetPort = 6454;

std::span<const std::uint8_t> Bytes(const std::string& Text) {
  return {reinterpret_cast<const std::uint8_t*>(Text.data()), Text.size()};
}

class TwoNetworksTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string unavailable = testsupport::NetLabUnavailable();
    if (!unavailable.empty()) GTEST_SKIP() << unavailable;
    Lab = std::make_unique<TNetLab>();
    Bridge = Lab->AddNamespace("br");
    Console = Lab->AddNamespace("con");
    Node = Lab->AddNamespace("nod");
    Lab->AddVeth(Bridge, "vb0", Console, "vc0");
    Lab->AddVeth(Bridge, "vb1", Node, "vn1");
    Lab->Ip(Bridge, "addr add 2.0.0.10/8 brd + dev vb0");
    Lab->Ip(Bridge, "addr add 2.0.0.11/8 brd + dev vb0");
    Lab->Ip(Bridge, "addr add 192.168.0.10/24 brd + dev vb1");
    Lab->Ip(Console, "addr add 2.0.0.1/8 brd + dev vc0");
    Lab->Ip(Node, "addr add 192.168.0.30/24 brd + dev vn1");
    Lab->Ip(Bridge, "route add default via 2.0.0.1 dev vb0");
    ASSERT_TRUE(Lab->WaitLink(Bridge, "vb0", "state UP"));
    ASSERT_TRUE(Lab->WaitLink(Bridge, "vb1", "state UP"));
    Pool = std::make_unique<TUDPFactory>(nullptr);
  }

  // Opens the pool's server for IP inside the bridge namespace.
  void Open(const std::string& IP) {
    Lab->RunIn(Bridge, [&] { ASSERT_TRUE(Pool->OpenPort(IP, kArtNetPort)) << Pool->LastError; });
  }

  // A wildcard receiver on port 6454 inside Ns: gets unicast and broadcasts.
  std::unique_ptr<TUdpPeer> Listen(const std::string& Ns, const std::string& IP = "0.0.0.0") {
    std::unique_ptr<TUdpPeer> peer;
    Lab->RunIn(Ns, [&] { peer = std::make_unique<TUdpPeer>(IP, kArtNetPort, true); });
    return peer;
  }

  std::unique_ptr<TNetLab> Lab;  // goes last: the pool's sockets close first
  std::string Bridge;
  std::string Console;
  std::string Node;
  std::unique_ptr<TUDPFactory> Pool;
};

// Linux gives a socket bound to a unicast address no broadcasts; the server's
// companions receive its network's directed and limited broadcasts and hand
// them over as received by its one binding. Two servers on one interface both
// get them.
TEST_F(TwoNetworksTest, ServerReceivesTheBroadcastsOfItsOwnNetwork) {
  const std::vector<std::string> addresses{"2.0.0.10", "2.0.0.11", "192.168.0.10"};
  std::map<std::string, std::multiset<std::string>> got;
  for (const std::string& ip : addresses) {
    Open(ip);
    TIdUDPServer* server = Pool->GetServer(ip);
    Pool->AttachReceiver(
        ip, [&got, ip, server](TIdUDPServer& Sender, std::span<const std::uint8_t> AData,
                               TIdSocketHandle& ABinding) {
          EXPECT_EQ(&Sender, server);
          EXPECT_EQ(&ABinding, &server->Bindings.Items(0));
          got[ip].insert(std::string(AData.begin(), AData.end()) + " from " + ABinding.RemoteIP);
        });
  }

  Lab->RunIn(Console, [] {
    TUdpPeer console("2.0.0.1", 0, true);
    console.Send("2.0.0.10", kArtNetPort, "unicast");
    console.Send("2.255.255.255", kArtNetPort, "directed");
    console.Send("255.255.255.255", kArtNetPort, "limited");
  });
  Lab->RunIn(Node, [] {
    TUdpPeer node("192.168.0.30", 0, true);
    node.Send("255.255.255.255", kArtNetPort, "limited");
    node.Send("192.168.0.255", kArtNetPort, "directed");
  });

  const std::map<std::string, std::multiset<std::string>> expected{
      {"2.0.0.10", {"unicast from 2.0.0.1", "directed from 2.0.0.1", "limited from 2.0.0.1"}},
      {"2.0.0.11", {"directed from 2.0.0.1", "limited from 2.0.0.1"}},
      {"192.168.0.10", {"limited from 192.168.0.30", "directed from 192.168.0.30"}},
  };
  EXPECT_TRUE(PumpUntil([&] { return got == expected; }));
  EXPECT_EQ(got, expected);
}

// Every datagram from a server leaves by its address's interface: never by the
// other network's interface (which holds the default route), also when its own
// interface is down. A fence datagram sent afterwards by the other interface
// proves nothing left there before it.
TEST_F(TwoNetworksTest, SendsLeaveOnlyByTheBoundInterface) {
  Open("2.0.0.10");
  Open("192.168.0.10");
  std::unique_ptr<TUdpPeer> console = Listen(Console);
  std::unique_ptr<TUdpPeer> node = Listen(Node);
  std::unique_ptr<TFrameTap> otherInterface;
  Lab->RunIn(Bridge, [&] { otherInterface = std::make_unique<TFrameTap>("vb0"); });
  // Resolves the console's hardware address first, so a leak would leave at once.
  Pool->SendTo("2.0.0.10", "2.0.0.1", kArtNetPort, Bytes("warm-up"));
  ASSERT_TRUE(console->ReceiveUntil("warm-up"));

  struct TCase {
    std::string Name;
    bool OwnInterfaceDown;
    std::string Destination;
    bool ReachesNode;
    int Error;  // 0: the send succeeds
  };
  const TCase cases[] = {
      {"unicast", false, "192.168.0.30", true, 0},
      {"limited broadcast", false, "255.255.255.255", true, 0},
      {"directed broadcast", false, "192.168.0.255", true, 0},
      {"off-subnet unicast", false, "2.0.0.1", false, 0},
      {"unicast, interface down", true, "192.168.0.30", false, 10051},
      {"limited broadcast, interface down", true, "255.255.255.255", false, 10051},
  };
  int round = 0;
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    if (c.OwnInterfaceDown) Lab->Ip(Bridge, "link set vb1 down");
    const std::string marker = "marker-" + std::to_string(++round);
    int error = 0;
    try {
      Pool->SendTo("192.168.0.10", c.Destination, kArtNetPort, Bytes(marker));
    } catch (const EIdSocketError& e) {
      error = e.SocketErrorCode;
    }
    EXPECT_EQ(error, c.Error);
    if (c.ReachesNode) {
      EXPECT_TRUE(node->ReceiveUntil(marker));
    }

    const std::string fence = "fence-" + std::to_string(round);
    Pool->SendTo("2.0.0.10", "2.0.0.1", kArtNetPort, Bytes(fence));
    for (const std::string& frame : otherInterface->FramesBefore(fence)) {
      EXPECT_EQ(frame.find(marker), std::string::npos) << "left by the other interface";
    }
  }
}

TEST_F(TwoNetworksTest, ActivationOnADownInterfaceFailsWithNetworkDown) {
  struct TCase {
    std::string Name;
    std::string Ns;
    std::string Interface;
  };
  const TCase cases[] = {
      {"interface down", Bridge, "vb1"}, {"no carrier", Node, "vn1"},  // vb1 itself stays up
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    Lab->Ip(c.Ns, "link set " + c.Interface + " down");
    ASSERT_TRUE(Lab->WaitLink(Bridge, "vb1", "state DOWN"));
    TUDPFactory pool(nullptr);
    Lab->RunIn(Bridge, [&] {
      EXPECT_EQ(pool.GetServer("192.168.0.10"), nullptr);
      EXPECT_EQ(pool.LastError, "Socket Error # 10050\r\nNetwork is down.");
      EXPECT_EQ(pool.Count(), 0);
    });

    Lab->Ip(c.Ns, "link set " + c.Interface + " up");
    ASSERT_TRUE(Lab->WaitLink(Bridge, "vb1", "state UP"));
    Lab->RunIn(Bridge,
               [&] { EXPECT_NE(pool.GetServer("192.168.0.10"), nullptr) << pool.LastError; });
  }
}

// Art-Net networks often use the directed broadcast address as destination.
TEST_F(TwoNetworksTest, DirectedBroadcastDestinationReachesTheNode) {
  Open("192.168.0.10");
  std::unique_ptr<TUdpPeer> node = Listen(Node);

  Pool->SendTo("192.168.0.10", "192.168.0.255", kArtNetPort, Bytes("to all nodes"));
  std::string payload;
  std::string from;
  ASSERT_TRUE(node->Receive(payload, &from));
  EXPECT_EQ(payload, "to all nodes");
  EXPECT_EQ(from, "192.168.0.10");

  // The permission was given for that send only.
  try {
    Pool->GetServer("192.168.0.10")->SendDatagram("192.168.0.255", kArtNetPort, Bytes("x"));
    ADD_FAILURE() << "sent without permission";
  } catch (const EIdSocketError& error) {
    EXPECT_EQ(error.SocketErrorCode, 10013);
  }
}

}  // namespace
}  // namespace pallador
