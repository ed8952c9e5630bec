// Ports that failed to open for want of their network (the link down, the
// address not yet assigned) open by themselves once it is there, in a network
// namespace of the test's own.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "interfaces/classInterfaceInfo.h"
#include "support/NetLab.h"

namespace pallador {
namespace {

using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

TEST(RetryPortsWaitingForNetwork, OpensThemOnceTheNetworkIsThereAndLeavesTheOthers) {
  if (const std::string why = testsupport::NetLabUnavailable(); !why.empty()) GTEST_SKIP() << why;
  testsupport::TNetLab lab;
  const std::string ns = lab.AddNamespace("retry");
  lab.AddVeth(ns, "up0", ns, "up1");
  lab.Ip(ns, "addr add 10.9.5.1/24 dev up0");
  lab.Ip(ns, "addr add 10.9.5.2/24 dev up0");
  lab.AddVeth(ns, "down0", ns, "down1");
  lab.Ip(ns, "link set down0 down");  // until later
  lab.Ip(ns, "addr add 10.9.6.1/24 dev down0");

  std::unique_ptr<TUDPFactory> pool;
  std::unique_ptr<TInterfacesInfo> slots;
  std::unique_ptr<testsupport::TUdpPeer> holder;  // holds 10.9.5.2:6454
  TInterfaceBase* working = nullptr;
  TIdUDPServer* workingServer = nullptr;
  auto status = [&](int Index) { return slots->Slot(Index).Status(); };

  lab.RunIn(ns, [&] {
    holder = std::make_unique<testsupport::TUdpPeer>("10.9.5.2", 6454);
    pool = std::make_unique<TUDPFactory>(nullptr);
    slots = std::make_unique<TInterfacesInfo>(nullptr, pool.get());
    slots->Slot(0).Port = "10.9.6.1";                              // its link is down
    const char* outputs[] = {"10.9.5.1", "10.9.7.1", "10.9.5.2"};  // works, not yet there, in use
    for (int k = 1; k <= 3; ++k) {
      slots->Slot(k).Port = outputs[k - 1];
      slots->Slot(k).Destination = "10.9.5.9";
      slots->Slot(k).Active = true;
    }
    slots->ConnectAll();
    working = slots->Slot(1).InterfaceObject.get();
    workingServer = pool->GetServer("10.9.5.1");
  });
  ASSERT_EQ(status(0), "Error, network down");
  ASSERT_EQ(status(1), "");
  ASSERT_EQ(status(2), "Error, socket not available");
  ASSERT_EQ(status(3), "Could not bind socket. Ad");

  lab.Ip(ns, "link set down0 up");
  ASSERT_TRUE(lab.WaitLink(ns, "down0", "state UP"));
  lab.Ip(ns, "addr add 10.9.7.1/24 dev up0");
  lab.RunIn(ns, [&] {
    holder.reset();
    // Within a second of the last attempt nothing is tried again.
    slots->RetryPortsWaitingForNetwork(TClock::now());
  });
  EXPECT_EQ(status(0), "Error, network down");
  EXPECT_EQ(status(2), "Error, socket not available");

  lab.RunIn(ns, [&] { slots->RetryPortsWaitingForNetwork(TClock::now() + 1s); });
  EXPECT_EQ(status(0), "");
  EXPECT_EQ(slots->Slot(0).InterfaceObject->PortState, 2);
  EXPECT_EQ(status(2), "");
  EXPECT_EQ(slots->Slot(2).InterfaceObject->PortState, 1);
  // An address in use waits for the user, though it is free by now.
  EXPECT_EQ(status(3), "Could not bind socket. Ad");
  // The working output kept its port object and its socket.
  EXPECT_EQ(slots->Slot(1).InterfaceObject.get(), working);
  EXPECT_EQ(working->PortState, 1);
  lab.RunIn(ns, [&] {
    EXPECT_EQ(pool->GetServer("10.9.5.1"), workingServer);
    EXPECT_TRUE(workingServer->Active());
    slots.reset();
    pool.reset();
  });
}

}  // namespace
}  // namespace pallador
