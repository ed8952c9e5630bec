// The Art-Net endpoint: datagrams fed straight into HandleDatagram, then the
// real thing over loopback sockets on 127.0.3.x.

#include "artnet/classArtNet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <numeric>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "interfaces/LoopbackPeer.h"
#include "net/IdUDPServer.h"
#include "support/NetLab.h"

namespace pallador {
namespace {

using test::ArtDmxDatagram;
using test::ArtNetOpDatagram;
using test::PumpUntil;
using test::TLoopbackPeer;

using Clock = std::chrono::system_clock;

// Bytes [0, Count) of Row hold Level and the rest zero.
bool RowHolds(const std::array<std::uint8_t, ArtDmxMaxLength>& Row, std::size_t Count,
              std::uint8_t Level) {
  return std::all_of(Row.begin(), Row.begin() + static_cast<std::ptrdiff_t>(Count),
                     [&](std::uint8_t b) { return b == Level; }) &&
         std::all_of(Row.begin() + static_cast<std::ptrdiff_t>(Count), Row.end(),
                     [](std::uint8_t b) { return b == 0; });
}

std::size_t NonZeroBytes(const TArtNet& Endpoint) {
  std::size_t count = 0;
  for (const auto& row : Endpoint.ReceiveTable) {
    count += static_cast<std::size_t>(
        std::count_if(row.begin(), row.end(), [](std::uint8_t b) { return b != 0; }));
  }
  return count;
}

class ArtNetReceive : public ::testing::Test {
 protected:
  void SetUp() override {
    Endpoint.Active = true;
    Endpoint.LastPackReceived = Clock::time_point{};
    Endpoint.OnArtDMX = [this](TArtNet& Sender, std::uint16_t& Universe) {
      EXPECT_EQ(&Sender, &Endpoint);
      Events.push_back(Universe);
    };
  }

  void Feed(const std::vector<std::uint8_t>& Datagram) {
    Endpoint.HandleDatagram(Server, Datagram, Binding);
  }

  TArtNet Endpoint{nullptr, nullptr, "127.0.3.1", ""};
  TIdUDPServer Server;
  TIdSocketHandle& Binding = Server.Bindings.AddBinding();
  std::vector<std::uint16_t> Events;
};

TEST(TArtNet, StartsClosedWithAnEmptyTable) {
  const auto before = Clock::now();
  TArtNet endpoint(nullptr, nullptr, "127.0.3.1", "127.0.3.2");
  EXPECT_FALSE(endpoint.Active);
  EXPECT_FALSE(endpoint.OnArtDMX);
  EXPECT_EQ(NonZeroBytes(endpoint), 0u);
  EXPECT_LE(endpoint.LastPackReceived, before - std::chrono::hours(24) + std::chrono::minutes(1));
  EXPECT_GE(endpoint.LastPackReceived, before - std::chrono::hours(24) - std::chrono::minutes(1));
}

TEST_F(ArtNetReceive, InactiveEndpointIgnoresEverything) {
  Endpoint.Active = false;
  Feed(ArtDmxDatagram(1, 512, 512, 0x40));
  EXPECT_TRUE(Events.empty());
  EXPECT_EQ(Endpoint.LastPackReceived, Clock::time_point{});
  EXPECT_EQ(NonZeroBytes(Endpoint), 0u);
}

struct TOtherPacketCase {
  const char* Name;
  std::vector<std::uint8_t> Datagram;
  bool IsArtNet;
};

class OtherPacket : public ArtNetReceive, public ::testing::WithParamInterface<TOtherPacketCase> {};

TEST_P(OtherPacket, RaisesNoEventAndStoresNothing) {
  Feed(GetParam().Datagram);
  EXPECT_TRUE(Events.empty());
  EXPECT_EQ(NonZeroBytes(Endpoint), 0u);
  EXPECT_EQ(Endpoint.LastPackReceived != Clock::time_point{}, GetParam().IsArtNet);
}

std::vector<std::uint8_t> WithByte(std::vector<std::uint8_t> Datagram, std::size_t At,
                                   std::uint8_t Value) {
  Datagram[At] = Value;
  return Datagram;
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, OtherPacket,
    ::testing::Values(
        TOtherPacketCase{"ArtPoll", ArtNetOpDatagram(0x2000), true},
        TOtherPacketCase{"ArtPollReply", ArtNetOpDatagram(0x2100), true},
        TOtherPacketCase{"OpCodeHighByteFirst", ArtNetOpDatagram(0x0050), true},
        TOtherPacketCase{"LowercaseId", WithByte(ArtDmxDatagram(1, 512, 512, 9), 0, 'a'), false},
        TOtherPacketCase{"NineBytes", {'A', 'r', 't', '-', 'N', 'e', 't', 0, 0}, false},
        TOtherPacketCase{"Empty", {}, false}),
    [](const ::testing::TestParamInfo<TOtherPacketCase>& param) { return param.param.Name; });

struct TDmxCase {
  const char* Name;
  std::uint16_t Universe;
  std::uint16_t Length;
  std::size_t Carried;
  std::size_t Stored;  // bytes expected in row Universe
};

class ArtDmxPacket : public ArtNetReceive, public ::testing::WithParamInterface<TDmxCase> {};

TEST_P(ArtDmxPacket, StoresWhatFitsAndAlwaysRaisesTheEvent) {
  const TDmxCase& c = GetParam();
  Feed(ArtDmxDatagram(c.Universe, c.Length, c.Carried, 0x7F));
  EXPECT_EQ(Events, std::vector<std::uint16_t>{c.Universe});
  EXPECT_EQ(Endpoint.LastUniverse, c.Universe);
  EXPECT_NE(Endpoint.LastPackReceived, Clock::time_point{});
  EXPECT_EQ(NonZeroBytes(Endpoint), c.Stored);
  if (c.Stored > 0) {
    EXPECT_TRUE(RowHolds(Endpoint.ReceiveTable[c.Universe], c.Stored, 0x7F));
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, ArtDmxPacket,
                         ::testing::Values(TDmxCase{"Universe0", 0, 512, 512, 512},
                                           TDmxCase{"Universe16IsStored", 16, 512, 512, 512},
                                           TDmxCase{"Universe17IsNot", 17, 512, 512, 0},
                                           TDmxCase{"Net1IsNot", 256, 512, 512, 0},
                                           TDmxCase{"Length2048", 2, 2048, 2048, 2048},
                                           TDmxCase{"Length2049", 2, 2049, 2049, 0},
                                           TDmxCase{"Length0", 2, 0, 0, 0},
                                           TDmxCase{"OddLength", 2, 3, 3, 3},
                                           TDmxCase{"CarriesLessThanLength", 2, 512, 10, 10},
                                           TDmxCase{"EndsInsideTheHeader", 2, 512, 0, 0}),
                         [](const ::testing::TestParamInfo<TDmxCase>& param) {
                           return param.param.Name;
                         });

TEST_F(ArtNetReceive, ShorterPacketLeavesTheRestOfTheRow) {
  Feed(ArtDmxDatagram(5, 512, 512, 0x11));
  Feed(ArtDmxDatagram(5, 100, 100, 0x22));
  const auto& row = Endpoint.ReceiveTable[5];
  EXPECT_TRUE(std::all_of(row.begin(), row.begin() + 100, [](auto b) { return b == 0x22; }));
  EXPECT_TRUE(std::all_of(row.begin() + 100, row.begin() + 512, [](auto b) { return b == 0x11; }));
}

TEST_F(ArtNetReceive, LengthClaimingMoreNeverStoresAnEarlierDatagramsBytes) {
  Feed(ArtDmxDatagram(1, 2048, 2048, 0xAA));  // fills the datagram buffer
  Feed(ArtDmxDatagram(2, 2048, 10, 0x55));    // claims 2048, carries 10
  EXPECT_TRUE(RowHolds(Endpoint.ReceiveTable[2], 10, 0x55));
}

TEST_F(ArtNetReceive, FailingHandlerDropsOnlyItsOwnDatagram) {
  int calls = 0;
  Endpoint.OnArtDMX = [&](TArtNet&, std::uint16_t& Universe) {
    ++calls;
    Universe = 999;  // changes nothing the endpoint reads back
    if (calls == 1) throw std::runtime_error("handler failed");
  };
  Feed(ArtDmxDatagram(3, 4, 4, 0x01));
  Feed(ArtDmxDatagram(4, 4, 4, 0x02));
  EXPECT_EQ(calls, 2);
  EXPECT_TRUE(RowHolds(Endpoint.ReceiveTable[3], 4, 0x01));
  EXPECT_TRUE(RowHolds(Endpoint.ReceiveTable[4], 4, 0x02));
}

struct TShortCase {
  const char* Text;
  const char* Short;
};

void PrintTo(const TShortCase& Case, std::ostream* Out) {
  *Out << '"' << Case.Text << '"';
}

class ShortError : public ::testing::TestWithParam<TShortCase> {};

TEST_P(ShortError, IsOneLineOfAtMost25Characters) {
  TArtNet endpoint(nullptr, nullptr, "", "");
  endpoint.ErrorText = GetParam().Text;
  endpoint.SendErrorText = GetParam().Text;
  EXPECT_EQ(endpoint.GetShortError(), GetParam().Short);
  EXPECT_EQ(endpoint.GetShortSendError(), GetParam().Short);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ShortError,
    ::testing::Values(TShortCase{"", ""},
                      TShortCase{"Socket Error # 10049\r\nCannot assign requested address.",
                                 "Socket Error # 10049 Cann"},
                      TShortCase{"Could not bind socket. Address and port are already in use.",
                                 "Could not bind socket. Ad"},
                      TShortCase{"Socket Error # 10093\r\n", "Socket Error # 10093 "},
                      TShortCase{"a\r\n\r\nb", "a  b"}, TShortCase{"a\r\r\nb", "a\r b"},
                      TShortCase{"lone\rCR and lone\nLF stay", "lone\rCR and lone\nLF stay"},
                      TShortCase{"LF CR\n\rnot a pair", "LF CR\n\rnot a pair"},
                      TShortCase{"exactly twenty-five chars", "exactly twenty-five chars"},
                      // Joined first, then cut: the pair at 24-25 becomes the 25th character.
                      TShortCase{"twenty-four characters..\r\nX", "twenty-four characters.. "},
                      // Characters, not bytes: a name from the settings file is
                      // never cut inside a UTF-8 sequence.
                      TShortCase{"H\xc3\xb6st \xc2\xabn\xc3\xb6t\xc2\xbb f\xc3\xb6\xc3\xbcnd: "
                                 "\xc3\xbcn\xc3\xaf"
                                 "c\xc3\xb6"
                                 "d\xc3\xa9 text",
                                 "H\xc3\xb6st \xc2\xabn\xc3\xb6t\xc2\xbb f\xc3\xb6\xc3\xbcnd: "
                                 "\xc3\xbcn\xc3\xaf"
                                 "c\xc3\xb6"
                                 "d\xc3\xa9"},
                      TShortCase{"\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac"
                                 "\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac"
                                 "12345678901234567",
                                 "\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac"
                                 "\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac"
                                 "123456789012345"}));

// Over loopback sockets on 127.0.3.x through a real pool.
class ArtNetLoopback : public ::testing::Test {
 protected:
  TUDPFactory Pool{nullptr};
};

TEST_F(ArtNetLoopback, ReceivesArtDmxFromTheNetwork) {
  TArtNet endpoint(nullptr, &Pool, "127.0.3.1", "");
  std::vector<std::uint16_t> events;
  endpoint.OnArtDMX = [&](TArtNet&, std::uint16_t& Universe) { events.push_back(Universe); };
  ASSERT_TRUE(endpoint.Open()) << endpoint.ErrorText;
  EXPECT_TRUE(endpoint.Active);
  EXPECT_TRUE(endpoint.ErrorText.empty());

  TLoopbackPeer console("127.0.3.2");
  ASSERT_TRUE(console.SendTo("127.0.3.1", ArtNetOpDatagram(0x2000)));
  ASSERT_TRUE(console.SendTo("127.0.3.1", ArtDmxDatagram(5, 512, 512, 0x33)));
  ASSERT_TRUE(PumpUntil([&] { return !events.empty(); }));
  EXPECT_EQ(events, std::vector<std::uint16_t>{5});
  EXPECT_TRUE(RowHolds(endpoint.ReceiveTable[5], 512, 0x33));

  endpoint.Close();
  EXPECT_FALSE(endpoint.Active);
  EXPECT_FALSE(endpoint.OnArtDMX);
  TIdUDPServer* server = Pool.GetServer("127.0.3.1");
  ASSERT_NE(server, nullptr);
  EXPECT_FALSE(server->OnUDPRead) << "a closed endpoint must not stay attached";
  EXPECT_TRUE(server->Active()) << "the server stays bound";
}

TEST_F(ArtNetLoopback, SendsOne530ByteArtDmx) {
  TLoopbackPeer node("127.0.3.3", ArtNetPort);
  TArtNet endpoint(nullptr, &Pool, "127.0.3.4", "127.0.3.3");
  std::array<std::uint8_t, 512> levels{};
  std::iota(levels.begin(), levels.end(), std::uint8_t{1});

  ASSERT_TRUE(endpoint.SendDmx(3, levels, 512)) << endpoint.SendErrorText;
  const auto datagram = node.Receive();
  ASSERT_TRUE(datagram.has_value());
  const std::vector<std::uint8_t> header = {0x41, 0x72, 0x74, 0x2D, 0x4E, 0x65, 0x74, 0x00, 0x00,
                                            0x50, 0x00, 0x0E, 0x00, 0x03, 0x03, 0x00, 0x02, 0x00};
  ASSERT_EQ(datagram->Bytes.size(), 530u);
  EXPECT_TRUE(std::equal(header.begin(), header.end(), datagram->Bytes.begin()));
  EXPECT_TRUE(std::equal(levels.begin(), levels.end(), datagram->Bytes.begin() + 18));
  EXPECT_EQ(datagram->FromIP, "127.0.3.4");
  EXPECT_EQ(datagram->FromPort, ArtNetPort);
  EXPECT_TRUE(endpoint.SendErrorText.empty());
}

TEST_F(ArtNetLoopback, OpenOnAForeignAddressKeepsTheError) {
  // Not an address of this machine: the bind fails and nothing is sent.
  TArtNet endpoint(nullptr, &Pool, "198.51.100.1", "");
  endpoint.OnArtDMX = [](TArtNet&, std::uint16_t&) {};
  EXPECT_FALSE(endpoint.Open());
  EXPECT_FALSE(endpoint.Active);
  EXPECT_FALSE(endpoint.IsOpen());
  EXPECT_EQ(endpoint.ErrorText, "Socket Error # 10049\r\nCannot assign requested address.");
  EXPECT_EQ(endpoint.GetShortError(), "Socket Error # 10049 Cann");
}

TEST_F(ArtNetLoopback, FailedSendIsReportedAndForgottenAfterASuccess) {
  TLoopbackPeer node("127.0.3.5", ArtNetPort);
  TArtNet endpoint(nullptr, &Pool, "198.51.100.1", "127.0.3.5");
  std::array<std::uint8_t, 512> levels{};

  EXPECT_FALSE(endpoint.SendDmx(1, levels, 512));
  EXPECT_EQ(endpoint.GetShortSendError(), "Socket Error # 10049 Cann");
  EXPECT_TRUE(endpoint.ErrorText.empty()) << "a send failure is not an Open failure";

  EXPECT_FALSE(endpoint.SendDmx(1, levels, 2049)) << "more than an ArtDmx can carry";
  EXPECT_FALSE(endpoint.SendErrorText.empty());

  endpoint.BindIP = "127.0.3.6";
  EXPECT_TRUE(endpoint.SendDmx(1, levels, 512));
  EXPECT_TRUE(endpoint.SendErrorText.empty());
  EXPECT_TRUE(node.Receive().has_value());
}

TEST_F(ArtNetLoopback, CloseWithoutHandlerOnlyClearsActive) {
  TArtNet endpoint(nullptr, &Pool, "127.0.3.7", "");
  ASSERT_TRUE(endpoint.Open());
  const int servers = Pool.Count();
  endpoint.Close();
  EXPECT_FALSE(endpoint.Active);
  EXPECT_EQ(Pool.Count(), servers);
}

// Whether any server of the pool still holds a read handler.
bool AnyHandlerAttached(const TUDPFactory& Pool) {
  for (int i = 0; i < Pool.Count(); ++i) {
    if (Pool.Items(i)->OnUDPRead) return true;
  }
  return false;
}

// Runs the main-thread queue until at least one delivery has run there.
bool PumpOneDelivery() {
  std::size_t ran = 0;
  return PumpUntil([&] {
    ran += MainThread().ProcessQueue();
    return ran > 0;
  });
}

struct TBindTextCase {
  const char* Name;
  const char* BindText;  // how the settings hold it
  const char* SendTo;    // where a console reaches the server it makes
  bool OwnNetwork;       // binds every address: only inside a namespace of its own
};

void PrintTo(const TBindTextCase& Case, std::ostream* Out) {
  *Out << '"' << Case.BindText << '"';
}

// The pool keys a server by its address as it reads after binding, so a bind
// text in any other notation makes its server on the first lookup and misses
// it on every later one. The endpoint must still detach the server it attached
// to, or the next datagram runs a freed endpoint.
class BindTextOfOtherNotation : public ArtNetLoopback,
                                public ::testing::WithParamInterface<TBindTextCase> {};

TEST_P(BindTextOfOtherNotation, LeavesNoHandlerBehindTheEndpoint) {
  const TBindTextCase& c = GetParam();
  std::optional<testsupport::TNetLab> lab;
  std::string ns;
  if (c.OwnNetwork) {
    const std::string why = testsupport::NetLabUnavailable();
    if (!why.empty()) GTEST_SKIP() << why;
    lab.emplace();
    ns = lab->AddNamespace("anyaddr");
  }
  const auto inside = [&](const std::function<void()>& Fn) { lab ? lab->RunIn(ns, Fn) : Fn(); };

  auto endpoint = std::make_unique<TArtNet>(nullptr, &Pool, c.BindText, "");
  int events = 0;
  endpoint->OnArtDMX = [&](TArtNet&, std::uint16_t&) { ++events; };
  std::unique_ptr<TLoopbackPeer> console;
  inside([&] {
    EXPECT_FALSE(endpoint->Open());
    console = std::make_unique<TLoopbackPeer>("127.0.3.12");
  });
  EXPECT_EQ(endpoint->GetShortError(), "Could not bind socket. Ad");
  ASSERT_EQ(Pool.Count(), 1) << "the first lookup made and bound the server";

  endpoint->Close();
  EXPECT_FALSE(AnyHandlerAttached(Pool)) << "Close detaches the server it attached to";
  endpoint.reset();

  ASSERT_TRUE(console->SendTo(c.SendTo, ArtDmxDatagram(1, 512, 512, 0x44)));
  ASSERT_TRUE(PumpOneDelivery());
  EXPECT_EQ(events, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, BindTextOfOtherNotation,
    ::testing::Values(TBindTextCase{"LeadingZeros", "127.000.003.010", "127.0.3.10", false},
                      TBindTextCase{"Empty", "", "127.0.0.1", true}),
    [](const ::testing::TestParamInfo<TBindTextCase>& param) { return param.param.Name; });

TEST_F(ArtNetLoopback, DestroyedEndpointDetachesItsServer) {
  auto endpoint = std::make_unique<TArtNet>(nullptr, &Pool, "127.0.3.13", "");
  endpoint->OnArtDMX = [](TArtNet&, std::uint16_t&) {};
  ASSERT_TRUE(endpoint->Open()) << endpoint->ErrorText;
  ASSERT_TRUE(AnyHandlerAttached(Pool));
  endpoint.reset();
  EXPECT_FALSE(AnyHandlerAttached(Pool));
}

TEST(TArtNet, OutlivesThePoolItWasOpenedOn) {
  // The window frees the pool before the ports and their endpoints.
  auto pool = std::make_unique<TUDPFactory>(nullptr);
  TArtNet endpoint(nullptr, pool.get(), "127.0.3.14", "");
  endpoint.OnArtDMX = [](TArtNet&, std::uint16_t&) {};
  ASSERT_TRUE(endpoint.Open()) << endpoint.ErrorText;
  pool.reset();
  endpoint.Close();
}

TEST_F(ArtNetLoopback, EarlierEndpointLeavesTheLaterHandlerAttached) {
  TArtNet first(nullptr, &Pool, "127.0.3.15", "");
  TArtNet second(nullptr, &Pool, "127.0.3.15", "");
  int secondEvents = 0;
  first.OnArtDMX = [](TArtNet&, std::uint16_t&) {};
  second.OnArtDMX = [&](TArtNet&, std::uint16_t&) { ++secondEvents; };
  ASSERT_TRUE(first.Open());
  ASSERT_TRUE(second.Open());
  first.Close();
  TLoopbackPeer console("127.0.3.16");
  ASSERT_TRUE(console.SendTo("127.0.3.15", ArtDmxDatagram(2, 512, 512, 0x01)));
  EXPECT_TRUE(PumpUntil([&] { return secondEvents == 1; }));
}

}  // namespace
}  // namespace pallador
