#include "net/classUDPFactory.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net/IdException.h"
#include "platform/Component.h"
#include "platform/MainThreadQueue.h"
#include "support/MainThreadPump.h"

namespace pallador {
namespace {

using testsupport::PumpUntil;

// net_test owns 127.0.2.0/24; the pool's tests use 127.0.2.10 and up.
constexpr int kArtNetPort = 6454;
constexpr const char* kInUse = "Could not bind socket. Address and port are already in use.";
constexpr const char* kNotOurs = "Socket Error # 10049\r\nCannot assign requested address.";

std::span<const std::uint8_t> Bytes(const std::string& Text) {
  return {reinterpret_cast<const std::uint8_t*>(Text.data()), Text.size()};
}

// A peer on its own port that records what reaches it and from where.
class TPeer {
 public:
  explicit TPeer(const std::string& IP) {
    Server.Bindings.AddBinding().IP = IP;
    Server.OnUDPRead = [this](TIdUDPServer&, std::span<const std::uint8_t> AData,
                              TIdSocketHandle& ABinding) {
      Payloads.emplace_back(AData.begin(), AData.end());
      From = ABinding.RemoteIP + ":" + std::to_string(ABinding.RemotePort);
    };
    Server.SetActive(true);
  }
  int Port() { return Server.Bindings.Items(0).Port; }
  void Send(const std::string& To, const std::string& Payload) {
    Server.SendDatagram(To, kArtNetPort, Bytes(Payload));
  }

  TIdUDPServer Server;
  std::vector<std::string> Payloads;
  std::string From;
};

class UDPFactoryTest : public ::testing::Test {
 protected:
  TComponent Owner;
  TUDPFactory Pool{&Owner};
};

TEST_F(UDPFactoryTest, MakesOneActiveServerPerAddress) {
  TIdUDPServer* server = Pool.GetServer("127.0.2.10");
  ASSERT_NE(server, nullptr);
  EXPECT_EQ(Pool.LastError, "");
  EXPECT_EQ(Pool.GetServer("127.0.2.10"), server);
  EXPECT_EQ(Pool.Count(), 1);

  EXPECT_TRUE(server->Active());
  EXPECT_EQ(server->Owner(), &Owner);
  EXPECT_FALSE(server->ThreadedEvent);
  EXPECT_EQ(server->BufferSize, 8480);
  EXPECT_EQ(server->DefaultPort(), kArtNetPort);
  ASSERT_EQ(server->Bindings.Count(), 1);
  EXPECT_EQ(server->Bindings.Items(0).IP, "127.0.2.10");
  EXPECT_EQ(server->Bindings.Items(0).Port, kArtNetPort);

  // Any operation naming a new address makes its server.
  EXPECT_TRUE(Pool.IsServerActive("127.0.2.11"));
  EXPECT_EQ(Pool.Count(), 2);
}

// The key is the address as the binding reads after binding, compared as text:
// another spelling binds once and then collides with its own server.
TEST_F(UDPFactoryTest, KeyIsTheBoundAddressText) {
  TIdUDPServer* server = Pool.GetServer("127.000.002.012");
  ASSERT_NE(server, nullptr);
  EXPECT_EQ(server->Bindings.Items(0).IP, "127.0.2.12");
  const int components = Owner.ComponentCount();

  EXPECT_EQ(Pool.GetServer("127.000.002.012"), nullptr);
  EXPECT_EQ(Pool.LastError, kInUse);
  EXPECT_FALSE(Pool.OpenPort("127.000.002.012", kArtNetPort));
  EXPECT_EQ(Pool.LastError, kInUse);
  EXPECT_EQ(Pool.Count(), 1);
  EXPECT_EQ(Owner.ComponentCount(), components);  // the failed server is gone at once

  EXPECT_EQ(Pool.GetServer("127.0.2.12"), server);
  EXPECT_EQ(Pool.LastError, "");
}

TEST_F(UDPFactoryTest, FailureKeepsTheMessageAndChangesNothing) {
  ASSERT_NE(Pool.GetServer("127.0.2.13"), nullptr);
  const int components = Owner.ComponentCount();
  bool called = false;

  EXPECT_EQ(Pool.GetServer("198.51.100.1"), nullptr);
  EXPECT_EQ(Pool.LastError, kNotOurs);
  EXPECT_FALSE(Pool.OpenPort("198.51.100.1", kArtNetPort));
  EXPECT_EQ(Pool.LastError, kNotOurs);
  EXPECT_FALSE(Pool.IsServerActive("198.51.100.1"));
  Pool.AttachReceiver("198.51.100.1", [&](TIdUDPServer&, std::span<const std::uint8_t>,
                                       TIdSocketHandle&) { called = true; });
  Pool.DetachReceiver("198.51.100.1");
  try {
    Pool.SendTo("198.51.100.1", "127.0.2.13", kArtNetPort, Bytes("x"));
    ADD_FAILURE() << "sent";
  } catch (const EIdException& error) {
    EXPECT_EQ(error.what(), std::string(kNotOurs));
  }
  EXPECT_EQ(Pool.Count(), 1);
  EXPECT_EQ(Owner.ComponentCount(), components);

  // Every lookup starts with an empty message.
  EXPECT_TRUE(Pool.IsServerActive("127.0.2.13"));
  EXPECT_EQ(Pool.LastError, "");
}

TEST_F(UDPFactoryTest, OpenPortKeepsTheServerOnPort6454) {
  EXPECT_TRUE(Pool.OpenPort("127.0.2.14", 7000));
  EXPECT_TRUE(Pool.OpenPort("127.0.2.14", kArtNetPort));
  EXPECT_EQ(Pool.Count(), 1);
  EXPECT_EQ(Pool.GetServer("127.0.2.14")->Bindings.Items(0).Port, kArtNetPort);
}

// The input and the outputs on one address share one socket: the input's
// handler gets what arrives there, and the outputs' datagrams leave from it.
TEST_F(UDPFactoryTest, InputAndOutputShareOneServer) {
  constexpr const char* kShared = "127.0.2.15";
  std::vector<std::string> input;
  ASSERT_TRUE(Pool.OpenPort(kShared, kArtNetPort));
  Pool.AttachReceiver(kShared,
                      [&](TIdUDPServer&, std::span<const std::uint8_t> AData, TIdSocketHandle&) {
                        input.emplace_back(AData.begin(), AData.end());
                      });
  ASSERT_TRUE(Pool.OpenPort(kShared, kArtNetPort));  // the output's endpoint
  TPeer peer("127.0.2.16");

  Pool.SendTo(kShared, "127.0.2.16", peer.Port(), Bytes("from output"));
  peer.Send(kShared, "to input");

  ASSERT_TRUE(PumpUntil([&] { return !input.empty() && !peer.Payloads.empty(); }));
  EXPECT_EQ(input, std::vector<std::string>{"to input"});
  EXPECT_EQ(peer.Payloads, std::vector<std::string>{"from output"});
  EXPECT_EQ(peer.From, std::string(kShared) + ":6454");
  EXPECT_EQ(Pool.Count(), 1);
}

TEST_F(UDPFactoryTest, DetachStopsDeliveryButKeepsTheServerBound) {
  constexpr const char* kIP = "127.0.2.17";
  std::vector<std::string> first;
  std::vector<std::string> second;
  const auto recordInto = [](std::vector<std::string>& Into) {
    return [&Into](TIdUDPServer&, std::span<const std::uint8_t> AData, TIdSocketHandle&) {
      Into.emplace_back(AData.begin(), AData.end());
    };
  };
  Pool.AttachReceiver(kIP, recordInto(first));
  TIdUDPServer* server = Pool.GetServer(kIP);
  TPeer peer("127.0.2.18");

  Pool.DetachReceiver(kIP);
  EXPECT_TRUE(server->Active());
  peer.Send(kIP, "while detached");
  // The delivery still hops to the main thread; it just has no handler.
  std::size_t ran = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (ran == 0 && std::chrono::steady_clock::now() < deadline) {
    ran = MainThread().ProcessQueue();
    if (ran == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_EQ(ran, 1U);

  Pool.AttachReceiver(kIP, recordInto(second));
  EXPECT_EQ(Pool.GetServer(kIP), server);
  peer.Send(kIP, "attached again");
  ASSERT_TRUE(PumpUntil([&] { return !second.empty(); }));
  EXPECT_TRUE(first.empty());
  EXPECT_EQ(second, std::vector<std::string>{"attached again"});
}

// The directed broadcast address of the server's own interface goes out with
// broadcast permission (on loopback: 127.255.255.255); the permission is taken
// back afterwards.
TEST_F(UDPFactoryTest, SendToOwnDirectedBroadcastIsSentAsBroadcast) {
  constexpr const char* kIP = "127.0.2.19";
  TPeer portHolder("127.0.2.20");  // nothing else listens on its port
  ASSERT_NE(Pool.GetServer(kIP), nullptr);
  EXPECT_NO_THROW(Pool.SendTo(kIP, "127.255.255.255", portHolder.Port(), Bytes("b")));
  EXPECT_NO_THROW(Pool.SendTo(kIP, "127.255.255.255", portHolder.Port(), Bytes("b")));
  try {
    Pool.GetServer(kIP)->SendDatagram("127.255.255.255", portHolder.Port(), Bytes("b"));
    ADD_FAILURE() << "sent without permission";
  } catch (const EIdSocketError& error) {
    EXPECT_EQ(error.SocketErrorCode, 10013);
  }
}

TEST_F(UDPFactoryTest, DeactivateAllAndClearReleaseEveryServer) {
  std::vector<std::string> got;
  Pool.AttachReceiver("127.0.2.21", [&](TIdUDPServer&, std::span<const std::uint8_t>,
                                        TIdSocketHandle&) { got.emplace_back(); });
  ASSERT_NE(Pool.GetServer("127.0.2.22"), nullptr);
  const std::vector<TIdUDPServer*> servers{Pool.Items(0), Pool.Items(1)};

  Pool.DeactivateAll();
  for (TIdUDPServer* server : servers) {
    EXPECT_FALSE(server->Active());
    EXPECT_FALSE(server->OnUDPRead);
  }
  EXPECT_EQ(Pool.Count(), 2);

  Pool.Clear();
  EXPECT_EQ(Pool.Count(), 0);
  EXPECT_EQ(Owner.ComponentCount(), 0);
  // Their addresses are free again.
  EXPECT_NE(Pool.GetServer("127.0.2.21"), nullptr);
  EXPECT_NE(Pool.GetServer("127.0.2.22"), nullptr);
}

TEST(UDPFactory, DestroyingThePoolFreesItsServersAndAddresses) {
  for (int round = 0; round < 2; ++round) {
    TUDPFactory pool(nullptr);
    ASSERT_NE(pool.GetServer("127.0.2.23"), nullptr) << pool.LastError;
  }
}

}  // namespace
}  // namespace pallador
