#include "net/IdUDPServer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "net/IdException.h"
#include "platform/MainThreadQueue.h"
#include "support/MainThreadPump.h"

namespace pallador {
namespace {

using testsupport::PumpUntil;

// net_test owns 127.0.2.0/24.
constexpr const char* kServerIP = "127.0.2.1";
constexpr const char* kSenderIP = "127.0.2.2";
constexpr int kPort = 6454;

std::span<const std::uint8_t> Bytes(const std::string& Text) {
  return {reinterpret_cast<const std::uint8_t*>(Text.data()), Text.size()};
}

struct TReceived {
  std::string Payload;
  std::string RemoteIP;
  int RemotePort = 0;
  TIdSocketHandle* Binding = nullptr;
  TIdUDPServer* Sender = nullptr;
  bool OnMainThread = false;
};

// A server bound to one address whose handler records every datagram.
class TRecordingServer {
 public:
  explicit TRecordingServer(const std::string& IP, int Port = kPort, int BufferSize = 8480) {
    Server.BufferSize = BufferSize;
    TIdSocketHandle& binding = Server.Bindings.AddBinding();
    binding.IP = IP;
    binding.Port = Port;
    Server.OnUDPRead = [this](TIdUDPServer& Sender, std::span<const std::uint8_t> AData,
                              TIdSocketHandle& ABinding) {
      Received.push_back({std::string(AData.begin(), AData.end()), ABinding.RemoteIP,
                          ABinding.RemotePort, &ABinding, &Sender,
                          TMainThreadQueue::IsMainThread()});
    };
  }
  bool WaitForCount(std::size_t Count) {
    return PumpUntil([&] { return Received.size() >= Count; });
  }

  TIdUDPServer Server;
  std::vector<TReceived> Received;
};

// Sends from its own bound socket, on a port the platform chooses.
class TSender {
 public:
  TSender() {
    Server.Bindings.AddBinding().IP = kSenderIP;
    Server.SetActive(true);
  }
  void Send(const std::string& Payload, const std::string& To = kServerIP, int Port = kPort) {
    Server.SendDatagram(To, Port, Bytes(Payload));
  }
  int Port() { return Server.GetActiveBinding().Port; }

  TIdUDPServer Server;
};

class UDPServerTest : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_EQ(MainThread().QueuedCount(), 0U); }
};

TEST_F(UDPServerTest, DeliversOnTheMainThreadWithTheSendersAddress) {
  TRecordingServer receiver(kServerIP);
  receiver.Server.SetActive(true);
  TSender sender;
  sender.Send("hello");

  ASSERT_TRUE(receiver.WaitForCount(1));
  const TReceived& got = receiver.Received[0];
  EXPECT_EQ(got.Payload, "hello");
  EXPECT_TRUE(got.OnMainThread);
  EXPECT_EQ(got.Sender, &receiver.Server);
  EXPECT_EQ(got.Binding, &receiver.Server.Bindings.Items(0));
  EXPECT_EQ(got.RemoteIP, kSenderIP);
  EXPECT_EQ(got.RemotePort, sender.Port());
  EXPECT_EQ(receiver.Server.ActiveBinding, got.Binding);
}

TEST_F(UDPServerTest, ThreadedEventDeliversOnTheListenerThread) {
  TRecordingServer receiver(kServerIP);
  std::atomic<int> count{0};
  std::atomic<bool> onMain{true};
  receiver.Server.ThreadedEvent = true;
  receiver.Server.OnUDPRead = [&](TIdUDPServer&, std::span<const std::uint8_t>, TIdSocketHandle&) {
    onMain = TMainThreadQueue::IsMainThread();
    ++count;
  };
  receiver.Server.SetActive(true);
  TSender sender;
  sender.Send("threaded");

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (count == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_EQ(count, 1);
  EXPECT_FALSE(onMain);
}

// A datagram longer than BufferSize is dropped whole; the marker sent after it
// proves the listener went on without delivering any part of it.
TEST_F(UDPServerTest, DeliversUpToBufferSizeWholeAndDropsLongerDatagrams) {
  constexpr int kBuffer = 64;
  TRecordingServer receiver(kServerIP, kPort, kBuffer);
  receiver.Server.SetActive(true);
  TSender sender;
  const std::string exact(kBuffer, 'e');
  sender.Send(exact);
  sender.Send(std::string(kBuffer + 1, 'o'));
  sender.Send("");
  sender.Send("marker");

  ASSERT_TRUE(receiver.WaitForCount(3));
  ASSERT_EQ(receiver.Received.size(), 3U);
  EXPECT_EQ(receiver.Received[0].Payload, exact);
  EXPECT_EQ(receiver.Received[1].Payload, "");
  EXPECT_EQ(receiver.Received[2].Payload, "marker");
}

TEST_F(UDPServerTest, RaisingHandlerLosesOnlyItsDatagram) {
  TRecordingServer receiver(kServerIP);
  std::vector<std::string> handled;
  receiver.Server.OnUDPRead = [&](TIdUDPServer&, std::span<const std::uint8_t> AData,
                                  TIdSocketHandle&) {
    handled.emplace_back(AData.begin(), AData.end());
    if (handled.size() == 1) throw std::runtime_error("handler failed");
    if (handled.size() == 2) throw EIdSocketError(10054);
  };
  receiver.Server.SetActive(true);
  TSender sender;
  for (const char* payload : {"first", "second", "third"}) sender.Send(payload);

  ASSERT_TRUE(PumpUntil([&] { return handled.size() == 3; }));
  EXPECT_EQ(handled, (std::vector<std::string>{"first", "second", "third"}));
  EXPECT_TRUE(receiver.Server.Active());
}

// The listener is blocked handing a datagram to the main thread when the main
// thread shuts the server down: the delivery runs during the join, and nothing
// is delivered afterwards.
TEST_F(UDPServerTest, ShutDownRunsTheWaitingDeliveryAndNoneAfter) {
  TRecordingServer receiver(kServerIP);
  receiver.Server.SetActive(true);
  TSender sender;
  sender.Send("waiting");

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (MainThread().QueuedCount() == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_EQ(MainThread().QueuedCount(), 1U);
  ASSERT_TRUE(receiver.Received.empty());

  receiver.Server.SetActive(false);
  ASSERT_EQ(receiver.Received.size(), 1U);
  EXPECT_EQ(receiver.Received[0].Payload, "waiting");
  EXPECT_FALSE(receiver.Server.Active());
  EXPECT_EQ(receiver.Server.ReceiverThread, nullptr);
  EXPECT_EQ(receiver.Server.ActiveBinding, nullptr);
  EXPECT_EQ(MainThread().ProcessQueue(), 0U);
  EXPECT_EQ(receiver.Received.size(), 1U);
}

TEST_F(UDPServerTest, ActiveTogglesOnlyOnChange) {
  TRecordingServer receiver(kServerIP);
  receiver.Server.SetActive(false);
  EXPECT_FALSE(receiver.Server.Active());

  receiver.Server.SetActive(true);
  TIdUDPListenerThread* listener = receiver.Server.ReceiverThread.get();
  const TIdStackSocketHandle socket = receiver.Server.Bindings.Items(0).SocketId;
  receiver.Server.SetActive(true);
  EXPECT_EQ(receiver.Server.ReceiverThread.get(), listener);
  EXPECT_EQ(receiver.Server.Bindings.Items(0).SocketId, socket);

  // Deactivated and activated again, it binds the same address anew.
  receiver.Server.SetActive(false);
  EXPECT_FALSE(receiver.Server.Bindings.Items(0).SocketOpen);
  receiver.Server.SetActive(true);
  EXPECT_TRUE(receiver.Server.Active());
  TSender sender;
  sender.Send("again");
  ASSERT_TRUE(receiver.WaitForCount(1));
}

TEST_F(UDPServerTest, BindWritesBackTheAddressAndPortItGot) {
  struct TCase {
    std::string IP;
    int Port;
    std::string ExpectedIP;
  };
  const TCase cases[] = {
      {"127.000.002.003", kPort, "127.0.2.3"},
      {"127.0.2.4", 0, "127.0.2.4"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.IP);
    TIdUDPServer server;
    TIdSocketHandle& binding = server.Bindings.AddBinding();
    binding.IP = c.IP;
    binding.Port = c.Port;
    server.SetActive(true);
    EXPECT_EQ(binding.IP, c.ExpectedIP);
    if (c.Port == 0) {
      EXPECT_GT(binding.Port, 0);
    } else {
      EXPECT_EQ(binding.Port, c.Port);
    }
  }
}

TEST_F(UDPServerTest, ActivationWithoutBindingsBindsTheAnyAddress) {
  TIdUDPServer server;
  server.SetDefaultPort(0);
  server.SetActive(true);
  ASSERT_EQ(server.Bindings.Count(), 1);
  EXPECT_EQ(server.Bindings.Items(0).IP, "0.0.0.0");
  EXPECT_GT(server.Bindings.Items(0).Port, 0);
  EXPECT_EQ(server.ActiveBinding, &server.Bindings.Items(0));
}

TEST_F(UDPServerTest, BindFailuresRaiseTheirMessagesAndLeaveTheServerInactive) {
  TRecordingServer holder(kServerIP);
  holder.Server.SetActive(true);

  struct TCase {
    std::string IP;
    std::string Message;
  };
  const TCase cases[] = {
      {kServerIP, "Could not bind socket. Address and port are already in use."},
      {"198.51.100.1", "Socket Error # 10049\r\nCannot assign requested address."},
      {"abc", "abc is not a valid IP address."},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.IP);
    TIdUDPServer server;
    server.Bindings.AddBinding().IP = c.IP;
    server.SetDefaultPort(kPort);
    server.Bindings.Items(0).Port = kPort;
    try {
      server.SetActive(true);
      ADD_FAILURE() << "activation succeeded";
    } catch (const EIdException& error) {
      EXPECT_EQ(error.what(), c.Message);
    }
    EXPECT_FALSE(server.Active());
    EXPECT_EQ(server.ReceiverThread, nullptr);
  }
}

TEST_F(UDPServerTest, ClientPortRangeRules) {
  // A socket holding one port gives a range whose only port is taken.
  TIdUDPServer holder;
  holder.Bindings.AddBinding().IP = "127.0.2.5";
  holder.SetActive(true);
  const int taken = holder.Bindings.Items(0).Port;

  struct TCase {
    int Min;
    int Max;
    std::string Message;  // empty: binds to Max - 1 (Max is taken)
  };
  const TCase cases[] = {
      {taken + 1, taken,
       "Invalid Port Range (" + std::to_string(taken + 1) + " - " + std::to_string(taken) + ")"},
      {taken, taken,
       "Can not bind in port range (" + std::to_string(taken) + " - " + std::to_string(taken) +
           ")"},
      {taken - 1, taken, ""},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Message);
    TIdUDPServer server;
    TIdSocketHandle& binding = server.Bindings.AddBinding();
    binding.IP = "127.0.2.5";
    binding.ClientPortMin = c.Min;
    binding.ClientPortMax = c.Max;
    if (c.Message.empty()) {
      server.SetActive(true);
      EXPECT_EQ(binding.Port, c.Max - 1);
    } else {
      try {
        server.SetActive(true);
        ADD_FAILURE() << "activation succeeded";
      } catch (const EIdSocketHandleError& error) {
        EXPECT_EQ(error.what(), c.Message);
      }
      EXPECT_EQ(binding.Port, 0);
    }
  }
}

TEST_F(UDPServerTest, DatagramTooLargeToSendRaisesPackageSizeTooBig) {
  TSender sender;
  try {
    sender.Server.SendDatagram(kServerIP, kPort, Bytes(std::string(70000, 'x')));
    ADD_FAILURE() << "sent";
  } catch (const EIdPackageSizeTooBig& error) {
    EXPECT_STREQ(error.what(), "Package Size Too Big.");
  }
}

TEST_F(UDPServerTest, SendDatagramActivatesAnInactiveServerAndResolvesLocalhost) {
  TRecordingServer receiver("127.0.0.1", 0);
  receiver.Server.SetActive(true);
  const int port = receiver.Server.Bindings.Items(0).Port;
  TIdUDPServer sender;
  sender.Bindings.AddBinding().IP = "127.0.0.1";
  ASSERT_FALSE(sender.Active());
  sender.SendDatagram("LocalHost", port, Bytes("resolved"));
  EXPECT_TRUE(sender.Active());
  ASSERT_TRUE(receiver.WaitForCount(1));
  EXPECT_EQ(receiver.Received[0].Payload, "resolved");
}

// Broadcast permission is given only for a broadcast send. The loopback
// broadcast address keeps the traffic on this machine.
TEST_F(UDPServerTest, BroadcastPermissionOnlyForTheBroadcastSend) {
  constexpr const char* kLoopbackBroadcast = "127.255.255.255";
  TIdUDPServer peer;  // holds the destination port, so nothing else listens on it
  peer.Bindings.AddBinding().IP = kSenderIP;
  peer.SetActive(true);
  const int port = peer.Bindings.Items(0).Port;
  TIdUDPServer server;
  server.Bindings.AddBinding().IP = kServerIP;
  server.Bindings.Items(0).Port = 0;

  const auto sendFails = [&](int Code) {
    try {
      server.SendDatagram(kLoopbackBroadcast, port, Bytes("b"));
    } catch (const EIdSocketError& error) {
      return error.SocketErrorCode == Code &&
             std::string(error.what()) == "Socket Error # 10013\r\nAccess denied.";
    }
    return false;
  };

  server.BroadcastDatagram(Bytes("b"), port, kLoopbackBroadcast);
  EXPECT_TRUE(sendFails(10013));

  // A failed broadcast takes the permission back as well.
  EXPECT_THROW(server.BroadcastDatagram(Bytes(std::string(70000, 'x')), port, kLoopbackBroadcast),
               EIdPackageSizeTooBig);
  EXPECT_TRUE(sendFails(10013));

  server.SetBroadcastEnabled(true);
  EXPECT_NO_THROW(server.SendDatagram(kLoopbackBroadcast, port, Bytes("b")));
  server.BroadcastDatagram(Bytes("b"), port, kLoopbackBroadcast);
  EXPECT_NO_THROW(server.SendDatagram(kLoopbackBroadcast, port, Bytes("b")));
  server.SetBroadcastEnabled(false);
  EXPECT_TRUE(sendFails(10013));
}

TEST_F(UDPServerTest, DestroyingAnActiveServerFreesItsAddress) {
  auto first = std::make_unique<TRecordingServer>(kServerIP);
  first->Server.SetActive(true);
  first.reset();
  TRecordingServer second(kServerIP);
  EXPECT_NO_THROW(second.Server.SetActive(true));
}

// The pool frees a server whose activation failed while the window holds its
// lock, and nothing may wait for a thread under that lock: a failure to apply
// the broadcast setting must come before the listener starts.
TEST_F(UDPServerTest, BroadcastSettingFailureLeavesNoListenerToJoin) {
  class TBroadcastRefusingServer : public TIdUDPServer {
   public:
    void ApplyBroadcastSetting() override { throw EIdSocketError(10013); }
  };
  TBroadcastRefusingServer server;
  server.Bindings.AddBinding().IP = "127.0.2.7";
  server.SetDefaultPort(kPort);
  EXPECT_THROW(server.SetActive(true), EIdSocketError);
  EXPECT_EQ(server.ReceiverThread, nullptr);
  EXPECT_FALSE(server.Active());
}

// One wait covers at most 64 sockets: the listener ends, the server still reads
// as active and shuts down normally.
TEST_F(UDPServerTest, ListenerEndsWhenTheWaitSetIsTooLarge) {
  TIdUDPServer server;
  for (int i = 0; i < 65; ++i) server.Bindings.AddBinding().IP = "127.0.2.6";
  server.SetActive(true);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!server.ReceiverThread->Finished() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_TRUE(server.ReceiverThread->Finished());
  EXPECT_TRUE(server.Active());
  server.SetActive(false);
  EXPECT_FALSE(server.Active());
}

// A wait that fails at once every time (here: a binding without a socket)
// must not turn the listener into a busy loop.
TEST(UDPListenerWaits, FailingWaitBacksOffUpToTheWaitInterval) {
  TIdUDPServer server;
  TIdSocketHandle& binding = server.Bindings.AddBinding();
  TIdUDPListenerThread listener(server, 8480);  // never started: the test runs its cycles
  listener.WaitInterval = 50;
  std::vector<long> delays;
  for (int i = 0; i < 4; ++i) {
    listener.RunCycle();
    delays.push_back(static_cast<long>(listener.BackOffDelay().count()));
  }
  EXPECT_EQ(delays, (std::vector<long>{10, 20, 40, 50}));

  binding.OpenSocket();  // the wait works again: it times out
  listener.RunCycle();
  EXPECT_EQ(listener.FailedWaits, 0);
  EXPECT_EQ(listener.BackOffDelay().count(), 0);
}

// The listener relies on it: a read never blocks, so a socket marked readable
// with nothing to give cannot keep the listener from stopping.
TEST(UDPListenerReads, NonBlockingReadOfAnEmptySocketFailsAtOnceWithWouldBlock) {
  TIdUDPServer server;  // keeps the stack alive
  TIdSocketHandle& binding = server.Bindings.AddBinding();
  binding.IP = "127.0.2.7";
  binding.OpenSocket();
  binding.BindToAddress();
  std::uint8_t buffer[16];
  std::string fromIP;
  int fromPort = 0;
  EXPECT_EQ(GStack()->recvfrom(binding.SocketId, buffer, sizeof buffer, Id_MSG_DONTWAIT, fromIP,
                               fromPort),
            -1);
  EXPECT_EQ(GStack()->WSGetLastError(), 10035);
}

TEST(UDPSocketHandles, FindBindingSearchesLastToFirstIncludingCompanions) {
  TIdSocketHandles handles;
  TIdSocketHandle& first = handles.AddBinding();
  TIdSocketHandle& second = handles.AddBinding();
  first.SocketId = 10;
  first.Companions = {11, 12};
  second.SocketId = 20;
  second.Companions = {12};  // shared number: the last binding wins

  struct TCase {
    TIdStackSocketHandle Socket;
    TIdSocketHandle* Expected;
  };
  const TCase cases[] = {
      {10, &first}, {11, &first}, {20, &second}, {12, &second}, {99, nullptr}, {-1, nullptr},
  };
  for (const TCase& c : cases) {
    EXPECT_EQ(handles.FindBinding(c.Socket), c.Expected) << c.Socket;
  }
}

TEST(UDPSocketHandles, NewBindingTakesTheDefaultPort) {
  TIdSocketHandles handles;
  handles.DefaultPort = 6454;
  TIdSocketHandle& binding = handles.AddBinding();
  EXPECT_EQ(binding.Port, 6454);
  EXPECT_EQ(binding.IP, "");
  handles.DefaultPort = 1;
  EXPECT_EQ(binding.Port, 6454);
}

}  // namespace
}  // namespace pallador
