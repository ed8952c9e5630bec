// Ports and slots on the network: loopback addresses 127.0.4.x only.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "interfaces/LoopbackPeer.h"
#include "interfaces/UniverseTable.h"
#include "interfaces/classInterfaceArtNetNode.h"
#include "interfaces/classInterfaceArtNetServer.h"
#include "interfaces/classInterfaceInfo.h"

namespace pallador {
namespace {

using test::ArtDmxDatagram;
using test::PumpUntil;
using test::TLoopbackPeer;

// Not an address of this machine: binding fails with 10049 and nothing is sent.
constexpr const char* ForeignAddress = "198.51.100.1";

using TRow = std::array<std::uint8_t, UniverseChannels>;

TRow ReadRow(int Row) {
  TRow row{};
  UniverseTable().ReadRow(Row, row);
  return row;
}

TRow Levels(std::uint8_t First) {
  TRow row{};
  for (std::size_t i = 0; i < row.size(); ++i) row[i] = static_cast<std::uint8_t>(First + i);
  return row;
}

std::uint16_t WireUniverse(const std::vector<std::uint8_t>& Datagram) {
  return static_cast<std::uint16_t>(Datagram.at(14) | (Datagram.at(15) << 8));
}

bool CarriesLevels(const std::vector<std::uint8_t>& Datagram, const TRow& Row) {
  return Datagram.size() == 530 && std::equal(Row.begin(), Row.end(), Datagram.begin() + 18);
}

TInterfaceArtNetNode& InputPort(TInterfacesInfo& Slots) {
  return dynamic_cast<TInterfaceArtNetNode&>(*Slots.Slot(0).InterfaceObject);
}

class Ports : public ::testing::Test {
 protected:
  void SetUp() override { UniverseTable().Clear(); }
  void TearDown() override { UniverseTable().Clear(); }

  // Every slot on its own address 127.0.4.(Base + index), all outputs inactive.
  void Address(int Base) {
    for (int k = 0; k < Slots.Count(); ++k) {
      Slots.Slot(k).Port = "127.0.4." + std::to_string(Base + k);
    }
  }

  TUDPFactory Pool{nullptr};
  TInterfacesInfo Slots{nullptr, &Pool};
};

TEST_F(Ports, ForwardUniverse3FromInputToOutput) {
  Address(1);
  TInterfaceInfo& output = Slots.Slot(4);  // universe 3
  output.Destination = "127.0.4.100";
  output.Active = true;
  TLoopbackPeer node("127.0.4.100", ArtNetPort);
  TLoopbackPeer console("127.0.4.101");

  Slots.ConnectAll();
  EXPECT_EQ(Slots.Slot(0).Status(), "");
  EXPECT_FALSE(Slots.Slot(0).Error());
  EXPECT_EQ(output.Status(), "");
  EXPECT_EQ(output.InterfaceObject->PortState, 1);
  EXPECT_EQ(Slots.Slot(0).InterfaceObject->PortState, 2);

  const TRow levels = Levels(7);
  auto datagram = ArtDmxDatagram(3, 512, 0, 0);
  datagram.insert(datagram.end(), levels.begin(), levels.end());
  ASSERT_TRUE(console.SendTo("127.0.4.1", datagram));
  ASSERT_TRUE(PumpUntil([&] { return ReadRow(3) == levels; }));

  Slots.UpdateAll();
  const auto sent = node.Receive();
  ASSERT_TRUE(sent.has_value());
  const std::vector<std::uint8_t> header = {0x41, 0x72, 0x74, 0x2D, 0x4E, 0x65, 0x74, 0x00, 0x00,
                                            0x50, 0x00, 0x0E, 0x00, 0x03, 0x03, 0x00, 0x02, 0x00};
  EXPECT_TRUE(std::equal(header.begin(), header.end(), sent->Bytes.begin()));
  EXPECT_TRUE(CarriesLevels(sent->Bytes, levels));
  EXPECT_EQ(sent->FromIP, "127.0.4.5");
  EXPECT_FALSE(output.Error());
}

TEST_F(Ports, InputIgnoresUniverse16AndAbove) {
  Address(1);
  TLoopbackPeer console("127.0.4.101");
  Slots.ConnectAll();
  TInterfaceArtNetNode& input = InputPort(Slots);
  ASSERT_TRUE(console.SendTo("127.0.4.1", ArtDmxDatagram(16, 512, 512, 0x40)));
  ASSERT_TRUE(console.SendTo("127.0.4.1", ArtDmxDatagram(15, 100, 100, 0x41)));
  ASSERT_TRUE(PumpUntil([&] { return input.Endpoint->ReceiveTable[15][0] == 0x41; }));
  EXPECT_EQ(input.Endpoint->ReceiveTable[16][0], 0x40);  // the endpoint stored it...
  EXPECT_EQ(ReadRow(16), TRow{});                        // ...the port passed it on to no one
  EXPECT_EQ(ReadRow(15)[99], 0x41);
  EXPECT_EQ(ReadRow(15)[100], 0);
}

TEST_F(Ports, DisconnectedInputNoLongerListens) {
  Address(1);
  Slots.ConnectAll();
  TIdUDPServer* server = Pool.GetServer("127.0.4.1");
  ASSERT_NE(server, nullptr);
  EXPECT_TRUE(server->OnUDPRead);
  Slots.DisconnectAll();
  EXPECT_FALSE(server->OnUDPRead);
  EXPECT_EQ(Slots.Slot(0).InterfaceObject, nullptr);
  Slots.DisconnectAll();  // again: nothing left to do
  EXPECT_EQ(Slots.Slot(0).Status(), "Not connected, port closed.");
}

TEST_F(Ports, ConnectAllTakesSlot0AndActiveSlotsInOrder) {
  Address(30);
  Slots.Slot(0).InterfaceType = TypeArtNetServerOutput;  // slot 0 whatever its type
  Slots.Slot(0).Destination = "127.0.4.29";
  Slots.Slot(7).Active = true;
  Slots.Slot(3).Active = true;
  Slots.Slot(5).Active = true;
  Slots.Slot(5).InterfaceType = TypeArtNet1024ServerOutput;  // makes no port

  Slots.ConnectAll();
  std::vector<std::string> opened;
  for (int i = 0; i < Pool.Count(); ++i) opened.push_back(Pool.Items(i)->Bindings.Items(0).IP);
  EXPECT_EQ(opened, (std::vector<std::string>{"127.0.4.30", "127.0.4.33", "127.0.4.37"}));
  EXPECT_EQ(Slots.Slot(0).InterfaceObject->PortState, 1);
  EXPECT_EQ(Slots.Slot(5).Status(), "Not connected, port closed.");
  EXPECT_TRUE(Slots.Slot(5).Error());
  EXPECT_EQ(Slots.Slot(1).InterfaceObject, nullptr);

  Slots.ClearSlots();
  EXPECT_EQ(Slots.Count(), 0);
}

TEST_F(Ports, ClosedPortsSendNothing) {
  TInterfaceArtNetServer output(nullptr, &Pool, "127.0.4.40", "127.0.4.41");
  output.Update();
  TInterfaceArtNetNode input(nullptr, &Pool, "127.0.4.42");
  input.Update();
  EXPECT_EQ(Pool.Count(), 0) << "a send would have made a server";
}

struct TOutputCase {
  const char* Name;
  std::int32_t Universe;
  std::int32_t UniverseArtNet;
  std::uint16_t OnTheWire;
  bool Zeros;  // sends zeros instead of row Universe
};

class OutputPort : public Ports, public ::testing::WithParamInterface<TOutputCase> {};

TEST_P(OutputPort, SendsItsRowUnderItsArtNetUniverse) {
  const TOutputCase& c = GetParam();
  for (int r = 0; r < 16; ++r) UniverseTable().WriteRow(r, Levels(static_cast<std::uint8_t>(r)));
  TLoopbackPeer node("127.0.4.51", ArtNetPort);
  TInterfaceInfo slot(nullptr, &Pool);
  slot.InterfaceType = TypeArtNetServerOutput;
  slot.Port = "127.0.4.50";
  slot.Destination = "127.0.4.51";
  slot.Universe = c.Universe;
  slot.UniverseArtNet = c.UniverseArtNet;
  slot.ConnectSlot();
  ASSERT_EQ(slot.Status(), "");

  slot.InterfaceObject->Update();
  const auto sent = node.Receive();
  ASSERT_TRUE(sent.has_value());
  EXPECT_EQ(WireUniverse(sent->Bytes), c.OnTheWire);
  EXPECT_EQ(sent->Bytes.at(13), c.OnTheWire & 0xFF) << "Physical";
  EXPECT_TRUE(
      CarriesLevels(sent->Bytes, c.Zeros ? TRow{} : Levels(static_cast<std::uint8_t>(c.Universe))));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OutputPort,
    ::testing::Values(TOutputCase{"Universe2AsArtNet9", 2, 9, 9, false},
                      TOutputCase{"Universe20SendsZeros", 20, 20, 20, true},
                      TOutputCase{"LastRowSendsZeros", 63, 63, 63, true},
                      TOutputCase{"BeyondTheTableSendsZeros", 64, 5, 5, true},
                      TOutputCase{"NegativeRowSendsZeros", -1, 5, 5, true},
                      TOutputCase{"ArtNet65537IsUniverse1", 3, 65537, 1, false},
                      TOutputCase{"ArtNetMinus1IsUniverse65535", 3, -1, 65535, false}),
    [](const ::testing::TestParamInfo<TOutputCase>& param) { return param.param.Name; });

TEST_F(Ports, InputThatCannotBindShowsSocketNotAvailable) {
  Slots.Slot(0).Port = ForeignAddress;
  Slots.ConnectAll();
  TInterfaceBase& port = *Slots.Slot(0).InterfaceObject;
  EXPECT_EQ(port.PortState, 0);
  EXPECT_TRUE(port.HasError);
  EXPECT_EQ(port.StatusText, "Socket Error # 10049 Cann");
  EXPECT_EQ(Slots.Slot(0).Status(), "Error, socket not available");
  EXPECT_TRUE(Slots.Slot(0).Error());

  port.Disconnect();  // a closed port keeps its error
  EXPECT_TRUE(port.HasError);
  EXPECT_EQ(port.StatusText, "Socket Error # 10049 Cann");
}

TEST_F(Ports, OutputThatCannotBindShowsSocketNotAvailable) {
  TInterfaceInfo& output = Slots.Slot(1);
  output.Port = ForeignAddress;
  output.Destination = "127.0.4.61";
  output.Active = true;
  Slots.Slot(0).Port = "127.0.4.60";
  Slots.ConnectAll();
  EXPECT_EQ(output.InterfaceObject->PortState, 0);
  EXPECT_EQ(output.Status(), "Error, socket not available");
  EXPECT_EQ(Slots.Slot(0).Status(), "") << "one slot's failure does not stop the others";
}

TEST_F(Ports, AddressHeldByAnotherSocketShowsTheBindText) {
  TLoopbackPeer squatter("127.0.4.70", ArtNetPort);
  Slots.Slot(0).Port = "127.0.4.70";
  Slots.ConnectAll();
  EXPECT_EQ(Slots.Slot(0).Status(), "Could not bind socket. Ad");
  EXPECT_TRUE(Slots.Slot(0).Error());
}

TEST_F(Ports, FailingSendShowsItsErrorUntilASendSucceeds) {
  Address(80);
  TInterfaceInfo& output = Slots.Slot(1);
  output.Destination = "127.0.4.99";
  output.Active = true;
  TLoopbackPeer node("127.0.4.99", ArtNetPort);
  Slots.ConnectAll();
  auto& port = dynamic_cast<TInterfaceArtNetServer&>(*output.InterfaceObject);
  ASSERT_EQ(port.PortState, 1);

  // The output's address stops working: its server can no longer be made.
  port.Endpoint->BindIP = ForeignAddress;
  Slots.UpdateAll();
  EXPECT_EQ(port.PortState, 1) << "a failed send does not close the port";
  EXPECT_TRUE(output.Error());
  EXPECT_EQ(port.StatusText, "Socket Error # 10049 Cann");
  EXPECT_EQ(output.Status(), "Error, socket not available");

  port.Endpoint->BindIP = "127.0.4.81";
  Slots.UpdateAll();
  EXPECT_TRUE(node.Receive().has_value());
  EXPECT_FALSE(output.Error());
  EXPECT_EQ(output.Status(), "");
}

}  // namespace
}  // namespace pallador
