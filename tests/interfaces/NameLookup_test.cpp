// Destinations that are names, not addresses: the lookup never runs on the
// transmit tick, happens at most once per Connect, and a resolver that does
// not answer holds up neither the tick nor the other outputs.
// Loopback addresses 127.0.4.1xx only; the resolver is a fake, so no query
// leaves the machine.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "interfaces/LoopbackPeer.h"
#include "interfaces/classInterfaceArtNetServer.h"
#include "interfaces/classInterfaceInfo.h"
#include "net/IdException.h"
#include "net/IdHostLookup.h"
#include "platform/WaitUntil.h"

namespace pallador {
namespace {

using namespace std::chrono_literals;
using test::TLoopbackPeer;

constexpr int kHostNotFound = 11001;

// Stands in for the platform's resolver: counts the queries; answers the names
// it knows at once and leaves every other query unanswered until it is
// released (or a fallback deadline passes, so that a tick that does wait for
// it is seen to wait instead of hanging the suite).
class TFakeResolver {
 public:
  TFakeResolver() {
    SetHostResolver([this](const std::string& Host) { return Answer(Host); });
  }
  ~TFakeResolver() {
    SetHostResolver({});
    Release();
    test::WaitUntil([this] { return InFlight_.load() == 0; }, 10s);
  }
  TFakeResolver(const TFakeResolver&) = delete;
  TFakeResolver& operator=(const TFakeResolver&) = delete;

  void Knows(std::string Host, std::string Address) {
    const std::scoped_lock lock(Lock_);
    KnownHost_ = std::move(Host);
    KnownAddress_ = std::move(Address);
  }
  void Release() {
    const std::scoped_lock lock(Lock_);
    Released_ = true;
    Wake_.notify_all();
  }
  int Queries() const { return Queries_.load(); }

 private:
  std::string Answer(const std::string& Host) {
    ++InFlight_;
    ++Queries_;
    std::unique_lock lock(Lock_);
    if (Host != KnownHost_) Wake_.wait_for(lock, 3s, [this] { return Released_; });
    const std::string address = Host == KnownHost_ ? KnownAddress_ : std::string();
    lock.unlock();
    --InFlight_;
    if (address.empty()) throw EIdSocketError(kHostNotFound);
    return address;
  }

  std::mutex Lock_;
  std::condition_variable Wake_;
  bool Released_ = false;
  std::string KnownHost_;
  std::string KnownAddress_;
  std::atomic<int> Queries_{0};
  std::atomic<int> InFlight_{0};
};

// The input and outputs 1 to 3 on 127.0.4.110; output 1 sends to a name, 2
// and 3 to nodes on 127.0.4.120 and 127.0.4.121.
class NameLookup : public ::testing::Test {
 protected:
  void SetUp() override {
    Slots.Slot(0).Port = "127.0.4.109";
    for (int k = 1; k <= 3; ++k) {
      Slots.Slot(k).Port = "127.0.4.110";
      Slots.Slot(k).Active = true;
    }
    Slots.Slot(2).Destination = "127.0.4.120";
    Slots.Slot(3).Destination = "127.0.4.121";
  }

  // Ticks on a thread of its own, as the transmit clock does; true when all
  // of them returned before the deadline.
  bool TickOnAnotherThread(int Ticks) {
    std::atomic<int> done{0};
    std::thread clock([&] {
      for (int i = 0; i < Ticks; ++i) {
        Slots.UpdateAll();
        ++done;
      }
    });
    const bool returned = test::WaitUntil([&] { return done.load() == Ticks; }, 2s);
    Resolver.Release();  // lets a tick that waits for the resolver finish
    clock.join();
    return returned;
  }

  static int Received(TLoopbackPeer& Node, int Expected) {
    int count = 0;
    while (count < Expected && Node.Receive(1s)) ++count;
    return count;
  }

  TFakeResolver Resolver;  // first made, last gone: outlives every lookup's port
  TUDPFactory Pool{nullptr};
  TInterfacesInfo Slots{nullptr, &Pool};
};

TEST_F(NameLookup, UnansweredNameHoldsUpNeitherTheTickNorTheOtherOutputs) {
  Slots.Slot(1).Destination = "console.invalid";
  TLoopbackPeer node2("127.0.4.120", ArtNetPort);
  TLoopbackPeer node3("127.0.4.121", ArtNetPort);
  Slots.ConnectAll();
  EXPECT_EQ(Slots.Slot(1).InterfaceObject->PortState, 1) << "its address binds: it is open";

  constexpr int kTicks = 20;
  EXPECT_TRUE(TickOnAnotherThread(kTicks)) << "a tick waited for the resolver";
  EXPECT_EQ(Received(node2, kTicks), kTicks);
  EXPECT_EQ(Received(node3, kTicks), kTicks);
  EXPECT_EQ(Resolver.Queries(), 1) << "one lookup for the Connect, none on the ticks";

  auto& waiting = dynamic_cast<TInterfaceArtNetServer&>(*Slots.Slot(1).InterfaceObject);
  EXPECT_TRUE(waiting.IsWaitingForName());
  EXPECT_EQ(Slots.Slot(1).Status(), "") << "not an error while the answer may still come";
  EXPECT_TRUE(Slots.Slot(1).Error()) << "it sends nothing";
}

// The destinations a hand-edited settings file may hold that are not addresses.
class UnansweredDestination : public NameLookup,
                              public ::testing::WithParamInterface<const char*> {};

TEST_P(UnansweredDestination, FailsInItsOwnStatusOnceTheTimeoutHasPassed) {
  TInterfaceInfo& output = Slots.Slot(1);
  output.Destination = GetParam();
  output.CreateInterfaceObject();
  dynamic_cast<TInterfaceArtNetServer&>(*output.InterfaceObject).Endpoint->NameLookupTimeout = 50ms;
  Slots.ConnectAll();
  EXPECT_TRUE(test::WaitUntil([&] {
    Slots.UpdateAll();
    return output.Status() == "Socket Error # 11001 Host";
  }));
  EXPECT_LE(Resolver.Queries(), 1);
  EXPECT_EQ(Slots.Slot(2).Status(), "");
}

INSTANTIATE_TEST_SUITE_P(Texts, UnansweredDestination,
                         ::testing::Values("console.invalid", "192.168.0.", "", "1.2.3.4 ",
                                           "\xc3\xa9.invalid"));

TEST_F(NameLookup, AnsweredNameIsLookedUpOncePerConnect) {
  Resolver.Knows("node.invalid", "127.0.4.122");
  Slots.Slot(1).Destination = "node.invalid";
  TLoopbackPeer node("127.0.4.122", ArtNetPort);
  Slots.ConnectAll();
  EXPECT_TRUE(test::WaitUntil([&] {
    Slots.UpdateAll();
    return Slots.Slot(1).Status().empty() && !Slots.Slot(1).Error();
  }));
  for (int i = 0; i < 10; ++i) Slots.UpdateAll();
  EXPECT_TRUE(node.Receive().has_value());
  EXPECT_EQ(Resolver.Queries(), 1);

  Slots.DisconnectAll();
  Slots.ConnectAll();
  EXPECT_TRUE(test::WaitUntil([&] {
    Slots.UpdateAll();
    return !Slots.Slot(1).Error();
  }));
  EXPECT_EQ(Resolver.Queries(), 2);
}

// Whatever notation the port dialog let through reaches the node as the
// address it denotes, and asks the resolver nothing.
class AddressNotation : public NameLookup, public ::testing::WithParamInterface<const char*> {};

TEST_P(AddressNotation, ReachesTheNodeWithoutAQuery) {
  TLoopbackPeer node("127.0.4.123", ArtNetPort);
  Slots.Slot(1).Destination = GetParam();
  Slots.ConnectAll();
  Slots.UpdateAll();
  EXPECT_TRUE(node.Receive().has_value());
  EXPECT_EQ(Slots.Slot(1).Status(), "");
  EXPECT_EQ(Resolver.Queries(), 0);
}

INSTANTIATE_TEST_SUITE_P(Texts, AddressNotation,
                         ::testing::Values(" 127.0.4.123", "+127.0.4.123", "+0x7F.0.4.123",
                                           "x7F.0.4.123", "X7f.0.4.123", "$7F.0.4.123",
                                           "0X7F.0.4.123", "127.000.004.123", "127.0.1147",
                                           "2130707579"));

}  // namespace
}  // namespace pallador
