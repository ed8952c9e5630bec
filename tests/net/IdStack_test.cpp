#include "net/IdStack.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "net/IdException.h"
#include "support/NetLab.h"

namespace pallador {
namespace {

// net_test's own loopback addresses.
const std::string kAddrA = "127.0.2.1";
const std::string kAddrB = "127.0.2.2";

// ---- error texts -----------------------------------------------------------

TEST(SocketErrorText, IsNumberThenReason) {
  const std::pair<int, std::string> cases[] = {
      {10048, "Socket Error # 10048\r\nAddress already in use."},
      {10049, "Socket Error # 10049\r\nCannot assign requested address."},
      {10050, "Socket Error # 10050\r\nNetwork is down."},
      {10040, "Socket Error # 10040\r\nMessage too long."},
      {10013, "Socket Error # 10013\r\nAccess denied."},
      {10035, "Socket Error # 10035\r\nOperation would block. "},  // trailing blank kept
      {10066, "Socket Error # 10066\r\nDirectory not empty"},      // no full stop
      {11001, "Socket Error # 11001\r\nHost not found."},
      {10093, "Socket Error # 10093\r\n"},  // no row: empty reason
      {20019, "Socket Error # 20019\r\n"},  // unmapped errno
  };
  for (const auto& [code, text] : cases) EXPECT_EQ(TIdStack::SocketErrorText(code), text);
}

TEST(ToWsaError, MapsErrnoByMeaning) {
  const std::pair<int, int> table[] = {
      {EINTR, 10004},
      {EBADF, 10009},
      {EACCES, 10013},
      {EPERM, 10013},
      {EFAULT, 10014},
      {EINVAL, 10022},
      {EMFILE, 10024},
      {ENFILE, 10024},
      {EAGAIN, 10035},
      {EWOULDBLOCK, 10035},
      {EINPROGRESS, 10036},
      {EALREADY, 10037},
      {ENOTSOCK, 10038},
      {EDESTADDRREQ, 10039},
      {EMSGSIZE, 10040},
      {EPROTOTYPE, 10041},
      {ENOPROTOOPT, 10042},
      {EPROTONOSUPPORT, 10043},
      {ESOCKTNOSUPPORT, 10044},
      {EOPNOTSUPP, 10045},
      {ENOTSUP, 10045},
      {EPFNOSUPPORT, 10046},
      {EAFNOSUPPORT, 10047},
      {EADDRINUSE, 10048},
      {EADDRNOTAVAIL, 10049},
      {ENETDOWN, 10050},
      {ENETUNREACH, 10051},
      {ENETRESET, 10052},
      {ECONNABORTED, 10053},
      {ECONNRESET, 10054},
      {ENOBUFS, 10055},
      {ENOMEM, 10055},
      {EISCONN, 10056},
      {ENOTCONN, 10057},
      {ESHUTDOWN, 10058},
      {EPIPE, 10058},
      {ETOOMANYREFS, 10059},
      {ETIMEDOUT, 10060},
      {ECONNREFUSED, 10061},
      {ELOOP, 10062},
      {ENAMETOOLONG, 10063},
      {EHOSTDOWN, 10064},
      {EHOSTUNREACH, 10065},
      {ENOTEMPTY, 10066},
      // No row: 20000 + errno, never a row of another meaning (10035, 10037, 10038).
      {EDEADLK, 20000 + EDEADLK},
      {ENOLCK, 20000 + ENOLCK},
      {ENOSYS, 20000 + ENOSYS},
      {ENODEV, 20000 + ENODEV},
  };
  for (const auto& [errnoValue, wsa] : table) EXPECT_EQ(ToWsaError(errnoValue), wsa) << errnoValue;
}

// ---- address text ----------------------------------------------------------

struct AddressCase {
  std::string Text;
  std::optional<TIdIPv4Address> Bytes;  // none: invalid
};

TEST(ParseIPv4, ReadsTheFourForms) {
  using A = TIdIPv4Address;
  const AddressCase cases[] = {
      {"192.168.0.10", A{192, 168, 0, 10}},
      {"10.1", A{10, 0, 0, 1}},
      {"10.1.2", A{10, 1, 0, 2}},
      {"167772161", A{10, 0, 0, 1}},
      {"002.000.000.010", A{2, 0, 0, 10}},  // leading zeros are decimal
      {"0.0.0.0", A{0, 0, 0, 0}},
      {"255.255.255.255", A{255, 255, 255, 255}},
      {"4294967295", A{255, 255, 255, 255}},
      {"0", A{0, 0, 0, 0}},
      {"1.16777215", A{1, 255, 255, 255}},
      {"1.2.65535", A{1, 2, 255, 255}},
      {"1.2.3.4.5", std::nullopt},  // the last part keeps its dots
      {"256.1.1.1", std::nullopt},
      {"1.2.3.256", std::nullopt},
      {"1.2.3.x", std::nullopt},
      {"abc", std::nullopt},
      {"", std::nullopt},
      {"4294967296", std::nullopt},
      {"99999999999999999999999", std::nullopt},
      {"256.1", std::nullopt},
      {"1.16777216", std::nullopt},
      {"1.2.65536", std::nullopt},
      {"1.256.3", std::nullopt},
      // Each part as the port dialog's check reads a number: leading blanks,
      // one sign, decimal digits or a "$", "x", "X", "0x", "0X" hexadecimal prefix.
      {" 1.2.3.4", A{1, 2, 3, 4}},
      {"   10.1", A{10, 0, 0, 1}},
      {"+192.168.0.30", A{192, 168, 0, 30}},
      {"-0.1.2.3", A{0, 1, 2, 3}},
      {"$C0.168.0.30", A{192, 168, 0, 30}},
      {"$10.1.2.3", A{16, 1, 2, 3}},
      {"x7F.0.0.1", A{127, 0, 0, 1}},
      {"X7f.0.0.1", A{127, 0, 0, 1}},
      {"0x0A.0.0.1", A{10, 0, 0, 1}},
      {"0X0a.+0.$0.x1", A{10, 0, 0, 1}},
      {"0xFFFFFFFF", A{255, 255, 255, 255}},
      {"-1.2.3.4", std::nullopt},
      {"1.2.3.4 ", std::nullopt},  // nothing may follow the digits
      {"1 .2.3.4", std::nullopt},
      {"+-1.2.3.4", std::nullopt},
      {" +", std::nullopt},
      {"0x.2.3.4", std::nullopt},  // a prefix needs hexadecimal digits
      {"$.2.3.4", std::nullopt},
      {"$1G.2.3.4", std::nullopt},
      {"0x100000000", std::nullopt},
      {"1.2.3.0x100", std::nullopt},
      // A part after a dot must be there: nothing is silently dropped.
      {"10.", std::nullopt},
      {"1..2", std::nullopt},
      {"1.2..4", std::nullopt},
      {"1.2.3.", std::nullopt},
      {".1.2.3", std::nullopt},
  };
  for (const AddressCase& c : cases) {
    EXPECT_EQ(TIdStack::IsIPv4Text(c.Text), c.Bytes.has_value()) << "'" << c.Text << "'";
    if (c.Bytes) {
      EXPECT_EQ(TIdStack::ParseIPv4(c.Text), *c.Bytes) << c.Text;
    } else {
      EXPECT_THROW(TIdStack::ParseIPv4(c.Text), EIdInvalidIPAddress) << "'" << c.Text << "'";
    }
  }
}

TEST(ParseIPv4, InvalidTextNamesItselfInTheMessage) {
  try {
    TIdStack::ParseIPv4("abc");
    FAIL() << "no exception";
  } catch (const EIdInvalidIPAddress& e) {
    EXPECT_STREQ(e.what(), "abc is not a valid IP address.");
  }
}

TEST(FormatIPv4, DottedDecimalWithoutLeadingZeros) {
  EXPECT_EQ(TIdStack::FormatIPv4({10, 0, 0, 1}), "10.0.0.1");
  EXPECT_EQ(TIdStack::FormatIPv4({0, 0, 0, 0}), "0.0.0.0");
  EXPECT_EQ(TIdStack::FormatIPv4({255, 255, 255, 255}), "255.255.255.255");
  EXPECT_EQ(TIdStack::FormatIPv4(TIdStack::ParseIPv4("002.000.000.010")), "2.0.0.10");
}

// ---- result checks and name resolution, over a stack with a set last error ----

class TFakeStack : public TIdStack {
 public:
  TIdStackSocketHandle NewSocket(int, int) override { return IdInvalidSocket; }
  int bind(TIdStackSocketHandle, int, const std::string&) override { return -1; }
  int closesocket(TIdStackSocketHandle) override { return -1; }
  int shutdown(TIdStackSocketHandle, int) override { return -1; }
  void getsockname(TIdStackSocketHandle, std::string&, int&) override {}
  int setsockopt(TIdStackSocketHandle, int, int, const void*, int) override { return -1; }
  int select(std::vector<TIdStackSocketHandle>&, int, int) override { return -1; }
  int recvfrom(TIdStackSocketHandle, void*, int, int, std::string&, int&) override { return -1; }
  int sendto(TIdStackSocketHandle, const void*, int, int, const std::string&, int) override {
    return -1;
  }
  int WSGetLastError() override { return LastError; }
  std::string gethostbyname(const std::string& Host) override {
    Lookups.push_back(Host);
    return "192.0.2.7";
  }
  std::optional<TIdInterfaceAddress> InterfaceOfAddress(const std::string&) override {
    return std::nullopt;
  }

  int LastError = 0;
  std::vector<std::string> Lookups;
};

TEST(CheckSocketResult, IgnoresListedCodesAndRaisesOthers) {
  TFakeStack stack;
  stack.LastError = 10048;
  EXPECT_FALSE(stack.CheckSocketResult(0, {10048}));
  EXPECT_FALSE(stack.CheckSocketResult(5));
  EXPECT_TRUE(stack.CheckSocketResult(-1, {10035, 10048}));
  try {
    stack.CheckSocketResult(-1, {10049});
    FAIL() << "no exception";
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.SocketErrorCode, 10048);
    EXPECT_STREQ(e.what(), "Socket Error # 10048\r\nAddress already in use.");
  }
}

TEST(ResolveToIPv4, LooksUpOnlyWhatIsNeitherLocalhostNorAnAddress) {
  const std::pair<std::string, std::string> cases[] = {
      {"localhost", "127.0.0.1"},       {"LocalHost", "127.0.0.1"}, {"LOCALHOST", "127.0.0.1"},
      {"192.168.0.30", "192.168.0.30"}, {"10.1", "10.1"},  // IPv4 text is returned as written
  };
  TFakeStack stack;
  for (const auto& [host, expected] : cases) EXPECT_EQ(stack.ResolveToIPv4(host), expected);
  EXPECT_TRUE(stack.Lookups.empty());
  EXPECT_EQ(stack.ResolveToIPv4("console"), "192.0.2.7");
  EXPECT_EQ(stack.Lookups, std::vector<std::string>{"console"});
}

// ---- the real stack --------------------------------------------------------

// Holds the stack alive as a socket component does.
struct TComponentScope {
  TComponentScope() { SocketComponentCreated(); }
  ~TComponentScope() { SocketComponentDestroyed(); }
  TComponentScope(const TComponentScope&) = delete;
  TComponentScope& operator=(const TComponentScope&) = delete;
};

class StackTest : public testing::Test {
 protected:
  ~StackTest() override {
    for (const TIdStackSocketHandle s : Open) Stack.closesocket(s);
  }

  TIdStackSocketHandle Bound(const std::string& IP, int Port = 0) {
    const TIdStackSocketHandle s = Socket();
    EXPECT_EQ(Stack.bind(s, Port, IP), 0) << IP << ":" << Port << " " << Stack.WSGetLastError();
    return s;
  }
  TIdStackSocketHandle Socket() {
    Open.push_back(Stack.NewSocket(Id_SOCK_DGRAM, 0));
    return Open.back();
  }
  int PortOf(TIdStackSocketHandle Socket) {
    std::string ip;
    int port = 0;
    Stack.getsockname(Socket, ip, port);
    return port;
  }
  // Waits (with a deadline) until Socket has a datagram queued.
  bool Readable(TIdStackSocketHandle Socket) {
    std::vector<TIdStackSocketHandle> list{Socket};
    return Stack.select(list, 5000) == 1 && list == std::vector<TIdStackSocketHandle>{Socket};
  }

  TComponentScope Component;  // first: the stack exists before Stack is bound
  TIdStack& Stack = *GStack();
  std::vector<TIdStackSocketHandle> Open;
};

TEST_F(StackTest, SendsAndReceivesADatagramOnLoopback) {
  const TIdStackSocketHandle receiver = Bound(kAddrA);
  const TIdStackSocketHandle sender = Bound(kAddrB);
  std::string ip;
  int port = 0;
  Stack.getsockname(receiver, ip, port);
  EXPECT_EQ(ip, kAddrA);
  ASSERT_GT(port, 0);

  const std::string payload = "Art-Net";
  ASSERT_EQ(Stack.sendto(sender, payload.data(), 7, 0, kAddrA, port), 7);
  ASSERT_TRUE(Readable(receiver));
  char buffer[64] = {};
  std::string fromIP;
  int fromPort = 0;
  ASSERT_EQ(Stack.recvfrom(receiver, buffer, sizeof buffer, 0, fromIP, fromPort), 7);
  EXPECT_EQ(std::string(buffer, 7), payload);
  EXPECT_EQ(fromIP, kAddrB);
  EXPECT_EQ(fromPort, PortOf(sender));
}

TEST_F(StackTest, SocketsAreCloseOnExec) {
  const int flags = ::fcntl(Socket(), F_GETFD);
  ASSERT_NE(flags, -1);
  EXPECT_NE(flags & FD_CLOEXEC, 0);
}

TEST_F(StackTest, BindFailuresCarryTheMappedNumbers) {
  const TIdStackSocketHandle held = Bound("127.0.2.3");
  const int heldPort = PortOf(held);
  struct Case {
    const char* Name;
    std::string IP;
    int Port;
    int Code;
  };
  const Case cases[] = {
      // Binding is local only: nothing is sent to this documentation address.
      {"not this machine's address", "198.51.100.1", 0, 10049},
      {"address and port held", "127.0.2.3", heldPort, 10048},
      {"any address on a held port", "", heldPort, 10048},
  };
  for (const Case& c : cases) {
    const TIdStackSocketHandle s = Socket();
    EXPECT_EQ(Stack.bind(s, c.Port, c.IP), -1) << c.Name;
    EXPECT_EQ(Stack.WSGetLastError(), c.Code) << c.Name;
    EXPECT_TRUE(Stack.CheckSocketResult(-1, {c.Code})) << c.Name;
  }
  const TIdStackSocketHandle s = Socket();
  ASSERT_EQ(Stack.bind(s, heldPort, "127.0.2.3"), -1);
  try {
    Stack.CheckSocketResult(-1);
    FAIL() << "no exception";
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.SocketErrorCode, 10048);
    EXPECT_STREQ(e.what(), "Socket Error # 10048\r\nAddress already in use.");
  }
  EXPECT_THROW(Stack.bind(s, 0, "127.0.2.x"), EIdInvalidIPAddress);
}

TEST_F(StackTest, BroadcastSendNeedsPermission) {
  // 127.255.255.255 is loopback's broadcast address: the datagram stays local.
  const TIdStackSocketHandle receiver = Bound("");
  const int port = PortOf(receiver);
  const TIdStackSocketHandle sender = Bound(kAddrA);
  const char byte = 1;
  const int on = -1;  // any non-zero value switches it on
  const int off = 0;
  struct Step {
    const int* Permission;
    int Result, Code;
  };
  const Step steps[] = {{nullptr, -1, 10013}, {&on, 1, 0}, {&off, -1, 10013}};
  for (const Step& step : steps) {
    if (step.Permission != nullptr) {
      ASSERT_EQ(Stack.setsockopt(sender, Id_SOL_SOCKET, Id_SO_BROADCAST, step.Permission, 4), 0);
    }
    EXPECT_EQ(Stack.sendto(sender, &byte, 1, 0, "127.255.255.255", port), step.Result);
    if (step.Result == -1) {
      EXPECT_EQ(Stack.WSGetLastError(), step.Code);
    }
  }
}

TEST_F(StackTest, DatagramLongerThanTheBufferIsDroppedAs10040) {
  const TIdStackSocketHandle receiver = Bound(kAddrA);
  const int port = PortOf(receiver);
  const TIdStackSocketHandle sender = Bound(kAddrB);
  constexpr int kBuffer = 50;
  struct Case {
    int Size, Result, Code;
  };
  const Case cases[] = {
      {kBuffer + 1, -1, 10040}, {kBuffer, kBuffer, 0}, {3000, -1, 10040}, {0, 0, 0}, {10, 10, 0}};
  for (const Case& c : cases) {
    const std::vector<char> out(static_cast<std::size_t>(c.Size), 'x');
    ASSERT_EQ(Stack.sendto(sender, out.data(), c.Size, 0, kAddrA, port), c.Size);
  }
  for (const Case& c : cases) {
    ASSERT_TRUE(Readable(receiver)) << c.Size;
    std::vector<char> in(kBuffer, '\0');
    std::string ip;
    int fromPort = 0;
    EXPECT_EQ(Stack.recvfrom(receiver, in.data(), kBuffer, 0, ip, fromPort), c.Result) << c.Size;
    if (c.Result == -1) {
      EXPECT_EQ(Stack.WSGetLastError(), c.Code);
    } else {
      EXPECT_EQ(std::count(in.begin(), in.end(), 'x'), c.Result) << "read whole";
    }
  }
}

TEST_F(StackTest, SelectOverMoreThan64SocketsRaisesBeforeAnyCall) {
  // Handles that are not open: a platform call would fail, not raise.
  std::vector<TIdStackSocketHandle> list;
  for (int i = 0; i < 65; ++i) list.push_back(1'000'000 + i);
  try {
    Stack.select(list, 0);
    FAIL() << "no exception";
  } catch (const EIdStackSetSizeExceeded& e) {
    EXPECT_STREQ(e.what(), "Set Size Exceeded.");
  }
  list.pop_back();
  EXPECT_EQ(Stack.select(list, 0), -1);
  EXPECT_EQ(Stack.WSGetLastError(), 10009);
}

TEST_F(StackTest, SelectListsTheReadableSocketsInOrder) {
  const TIdStackSocketHandle s1 = Bound(kAddrA);
  const TIdStackSocketHandle s2 = Bound(kAddrA);
  const TIdStackSocketHandle s3 = Bound(kAddrA);
  const TIdStackSocketHandle sender = Bound(kAddrB);

  std::vector<TIdStackSocketHandle> list{s1, s2, s3};
  EXPECT_EQ(Stack.select(list, 1), 0);
  EXPECT_TRUE(list.empty());

  const char byte = 0;
  ASSERT_EQ(Stack.sendto(sender, &byte, 1, 0, kAddrA, PortOf(s3)), 1);
  ASSERT_EQ(Stack.sendto(sender, &byte, 1, 0, kAddrA, PortOf(s1)), 1);
  ASSERT_TRUE(Readable(s1));
  ASSERT_TRUE(Readable(s3));
  list = {s1, s2, s3};
  EXPECT_EQ(Stack.select(list, 0), 2);
  EXPECT_EQ(list, (std::vector<TIdStackSocketHandle>{s1, s3}));
}

TEST_F(StackTest, WakeDescriptorEndsAnEndlessWait) {
  const TIdStackSocketHandle receiver = Bound(kAddrA);
  const TIdStackSocketHandle sender = Bound(kAddrB);
  int pipeFds[2] = {-1, -1};
  ASSERT_EQ(::pipe(pipeFds), 0);
  ASSERT_EQ(::write(pipeFds[1], "w", 1), 1);

  // Should the wake descriptor be ignored, a datagram ends the wait after a
  // while so the test fails instead of hanging.
  std::mutex m;
  std::condition_variable cv;
  bool returned = false;
  std::thread guard([&] {
    std::unique_lock lock(m);
    if (!cv.wait_for(lock, std::chrono::seconds(10), [&] { return returned; })) {
      const char byte = 0;
      Stack.sendto(sender, &byte, 1, 0, kAddrA, PortOf(receiver));
    }
  });
  std::vector<TIdStackSocketHandle> list{receiver};
  const int result = Stack.select(list, Id_WaitForever, pipeFds[0]);
  {
    const std::scoped_lock lock(m);
    returned = true;
  }
  cv.notify_one();
  guard.join();
  ::close(pipeFds[0]);
  ::close(pipeFds[1]);
  EXPECT_EQ(result, 0);
  EXPECT_TRUE(list.empty()) << "the wake descriptor is never listed";
}

TEST_F(StackTest, LastErrorBelongsToTheFailingThread) {
  ASSERT_EQ(Stack.bind(Socket(), 0, "198.51.100.1"), -1);
  ASSERT_EQ(Stack.WSGetLastError(), 10049);
  int otherThreadError = 0;
  std::thread other([&] {
    char byte = 0;
    std::string ip;
    int port = 0;
    Stack.recvfrom(1'000'000, &byte, 1, 0, ip, port);
    otherThreadError = Stack.WSGetLastError();
  });
  other.join();
  EXPECT_EQ(otherThreadError, 10009);
  EXPECT_EQ(Stack.WSGetLastError(), 10049);
}

TEST_F(StackTest, TranslatesSocketOptions) {
  const int on = 1;
  const std::string device = "lo";
  const std::uint32_t lo = ::if_nametoindex("lo");
  const std::uint32_t noSuchIndex = 999'999;
  ASSERT_NE(lo, 0u);
  struct Case {
    const char* Name;
    int Level, Option;
    const void* Value;
    int Length, Result, Code;
  };
  const Case cases[] = {
      {"reuse address", Id_SOL_SOCKET, Id_SO_REUSEADDR, &on, 4, 0, 0},
      {"receive buffer", Id_SOL_SOCKET, Id_SO_RCVBUF, &on, 4, 0, 0},
      {"device by name", Id_SOL_SOCKET, Id_SO_BINDTODEVICE, device.data(),
       static_cast<int>(device.size()), 0, 0},
      // Passed in network order: read in host order it would name no interface.
      {"unicast interface", Id_IPPROTO_IP, Id_IP_UNICAST_IF, &lo, 4, 0, 0},
      {"unknown interface index", Id_IPPROTO_IP, Id_IP_UNICAST_IF, &noSuchIndex, 4, -1, 10049},
      {"unknown option", Id_SOL_SOCKET, 0x1234, &on, 4, -1, 10042},
      {"unknown level", 77, Id_SO_BROADCAST, &on, 4, -1, 10042},
  };
  for (const Case& c : cases) {
    const TIdStackSocketHandle s = Bound(kAddrA);  // options must not meet each other
    EXPECT_EQ(Stack.setsockopt(s, c.Level, c.Option, c.Value, c.Length), c.Result) << c.Name;
    if (c.Result == -1) {
      EXPECT_EQ(Stack.WSGetLastError(), c.Code) << c.Name;
    }
  }
}

TEST_F(StackTest, UnsupportedSocketTypeCannotBeAllocated) {
  try {
    Stack.NewSocket(1, 0);  // stream sockets are not offered
    FAIL() << "no exception";
  } catch (const EIdInvalidSocket& e) {
    EXPECT_STREQ(e.what(), "Cannot allocate socket.");
  }
}

TEST_F(StackTest, FindsTheInterfaceOfALoopbackAddress) {
  const std::optional<TIdInterfaceAddress> found = Stack.InterfaceOfAddress(kAddrA);
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(found->Address, kAddrA);
  EXPECT_EQ(found->Index, ::if_nametoindex(found->Name.c_str()));
  EXPECT_TRUE(found->Loopback);
  EXPECT_TRUE(found->Up);
  EXPECT_EQ(found->DirectedBroadcast, "127.255.255.255");
  EXPECT_FALSE(Stack.InterfaceOfAddress("198.51.100.1").has_value());
  EXPECT_FALSE(Stack.InterfaceOfAddress("not an address").has_value());
}

// A real interface in a namespace of its own: exact addresses only, its
// directed broadcast, and the flags that tell a down or unplugged network.
TEST_F(StackTest, ReportsTheStateOfARealInterface) {
  if (const std::string why = testsupport::NetLabUnavailable(); !why.empty()) GTEST_SKIP() << why;
  testsupport::TNetLab lab;
  const std::string bridge = lab.AddNamespace("bridge");
  const std::string peer = lab.AddNamespace("peer");
  lab.AddVeth(bridge, "vb0", peer, "vp0");
  lab.Ip(bridge, "addr add 10.9.8.7/24 dev vb0");
  ASSERT_TRUE(lab.WaitLink(bridge, "vb0", "state UP"));

  std::optional<TIdInterfaceAddress> found;
  const auto lookUp = [&](const std::string& IP) {
    lab.RunIn(bridge, [&] { found = Stack.InterfaceOfAddress(IP); });
  };
  lookUp("10.9.8.7");
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(found->Name, "vb0");
  EXPECT_NE(found->Index, 0u);
  EXPECT_EQ(found->DirectedBroadcast, "10.9.8.255");
  EXPECT_TRUE(found->Up);
  EXPECT_TRUE(found->Running);
  EXPECT_FALSE(found->Loopback);

  lookUp("10.9.8.20");  // in the subnet, but another host's
  EXPECT_FALSE(found.has_value());

  lab.Ip(peer, "link set vp0 down");  // carrier lost
  ASSERT_TRUE(lab.WaitLink(bridge, "vb0", "NO-CARRIER"));
  lookUp("10.9.8.7");
  ASSERT_TRUE(found.has_value());
  EXPECT_TRUE(found->Up);
  EXPECT_FALSE(found->Running);

  lab.Ip(bridge, "link set vb0 down");
  lookUp("10.9.8.7");
  ASSERT_TRUE(found.has_value());
  EXPECT_FALSE(found->Up);
}

TEST_F(StackTest, ResolvesThroughTheSystemResolver) {
  // The hosts file names localhost; the lookup itself is asked directly.
  EXPECT_EQ(Stack.gethostbyname("localhost"), "127.0.0.1");
  // A name with blanks is refused by the resolver without any query.
  try {
    Stack.ResolveToIPv4("no such host");
    FAIL() << "no exception";
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.SocketErrorCode, 11001);
    EXPECT_STREQ(e.what(), "Socket Error # 11001\r\nHost not found.");
  }
}

// ---- lifetime --------------------------------------------------------------

TEST(SocketStackLifetime, FirstComponentCreatesTheStackAndLastDestroysIt) {
  ASSERT_EQ(SocketComponentCount(), 0) << "another component is still alive";
  EXPECT_EQ(GStack(), nullptr);
  SocketComponentCreated();
  TIdStack* const first = GStack();
  ASSERT_NE(first, nullptr);
  SocketComponentCreated();
  EXPECT_EQ(SocketComponentCount(), 2);
  EXPECT_EQ(GStack(), first);
  SocketComponentDestroyed();
  EXPECT_EQ(GStack(), first);
  SocketComponentDestroyed();
  EXPECT_EQ(SocketComponentCount(), 0);
  EXPECT_EQ(GStack(), nullptr);

  SocketComponentCreated();
  ASSERT_NE(GStack(), nullptr) << "a new stack for the next component";
  EXPECT_EQ(GStack()->ResolveToIPv4("LOCALHOST"), "127.0.0.1");
  SocketComponentDestroyed();

  SocketComponentDestroyed();  // unbalanced: the count stays at zero
  EXPECT_EQ(SocketComponentCount(), 0);
}

TEST(SocketStackLifetime, ConcurrentComponentsShareOneStack) {
  ASSERT_EQ(SocketComponentCount(), 0);
  constexpr std::size_t kThreads = 8;
  std::atomic<int> missing{0};
  std::vector<TIdStack*> held(kThreads, nullptr);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < kThreads; ++t) {
    threads.emplace_back([&missing, &held, t] {
      for (int i = 0; i < 200; ++i) {
        SocketComponentCreated();
        if (GStack() == nullptr) ++missing;
        SocketComponentDestroyed();
      }
      SocketComponentCreated();
      held[t] = GStack();
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(missing, 0) << "a live component always sees a stack";
  EXPECT_EQ(SocketComponentCount(), static_cast<int>(kThreads));
  ASSERT_NE(held[0], nullptr);
  for (TIdStack* s : held) EXPECT_EQ(s, held[0]);
  for (std::size_t t = 0; t < kThreads; ++t) SocketComponentDestroyed();
  EXPECT_EQ(GStack(), nullptr);
}

}  // namespace
}  // namespace pallador
