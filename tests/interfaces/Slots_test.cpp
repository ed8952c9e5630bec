// Interface slots without the network: defaults, type names, status words.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "interfaces/classInterfaceArtNetNode.h"
#include "interfaces/classInterfaceArtNetServer.h"
#include "interfaces/classInterfaceInfo.h"

namespace pallador {
namespace {

TEST(TInterfacesInfo, StartsWithTheSeventeenDefaultSlots) {
  TInterfacesInfo slots(nullptr, nullptr);
  ASSERT_EQ(slots.Count(), 17);
  const TInterfaceInfo& input = slots.Slot(0);
  EXPECT_EQ(input.InterfaceType, "Art-Net Node (INPUT)");
  EXPECT_EQ(input.Port, "2.0.0.10");
  EXPECT_EQ(input.Destination, "");
  EXPECT_TRUE(input.IsInput);
  EXPECT_FALSE(input.Active);
  EXPECT_EQ(input.Universe, 0);
  EXPECT_EQ(input.UniverseArtNet, 0);
  for (int k = 1; k <= 16; ++k) {
    SCOPED_TRACE(k);
    const TInterfaceInfo& output = slots.Slot(k);
    EXPECT_EQ(output.InterfaceType, "Art-Net Server (OUTPUT)");
    EXPECT_EQ(output.Port, "192.168.0.10");
    EXPECT_EQ(output.Destination, "192.168.0.30");
    EXPECT_EQ(output.Universe, k - 1);
    EXPECT_EQ(output.UniverseArtNet, k - 1);
    EXPECT_FALSE(output.Active);
    EXPECT_FALSE(output.IsInput);
    EXPECT_EQ(output.ChannelCount, 512);
    EXPECT_EQ(output.InterfaceObject, nullptr);
  }
}

TEST(TInterfacesInfo, ResetToDefaultsReplacesChangedSlots) {
  TInterfacesInfo slots(nullptr, nullptr);
  slots.Slot(2).Port = "10.0.0.1";
  slots.AddOutputSlot("1.1.1.1", "2.2.2.2", 7, true);
  slots.ResetToDefaults();
  ASSERT_EQ(slots.Count(), 17);
  EXPECT_EQ(slots.Slot(2).Port, "192.168.0.10");
}

TEST(TInterfacesInfo, OnlyOneSlotIsTheInput) {
  TInterfacesInfo slots(nullptr, nullptr);
  slots.SetInputSlot(5);
  for (int k = 0; k < 17; ++k) EXPECT_EQ(slots.Slot(k).IsInput, k == 5) << k;
  EXPECT_EQ(slots.Slot(5).InterfaceType, "Art-Net Server (OUTPUT)");

  slots.AddInputSlot("127.0.4.99");
  ASSERT_EQ(slots.Count(), 18);
  for (int k = 0; k < 17; ++k) EXPECT_FALSE(slots.Slot(k).IsInput) << k;
  EXPECT_TRUE(slots.Slot(17).IsInput);
  EXPECT_EQ(slots.Slot(17).InterfaceType, "Art-Net Node (INPUT)");

  slots.SetInputSlot(99);  // no such slot: none is the input
  for (int k = 0; k < 18; ++k) EXPECT_FALSE(slots.Slot(k).IsInput) << k;
}

struct TTypeCase {
  const char* Type;
  bool MakesNode, MakesServer, CanBeInput, CanChangeUniverse, CanChangeUniverseArtNet, CanPing;
};

class InterfaceType : public ::testing::TestWithParam<TTypeCase> {};

TEST_P(InterfaceType, DecidesPortObjectAndAbilities) {
  const TTypeCase& c = GetParam();
  TInterfaceInfo slot(nullptr, nullptr);
  slot.InterfaceType = c.Type;
  slot.Port = "127.0.4.200";
  EXPECT_EQ(slot.CanBeInput(), c.CanBeInput);
  EXPECT_EQ(slot.CanChangeUniverse(), c.CanChangeUniverse);
  EXPECT_EQ(slot.CanChangeUniverseArtNet(), c.CanChangeUniverseArtNet);
  EXPECT_EQ(slot.CanPing(), c.CanPing);

  // Making the port object binds nothing; only Connect does.
  slot.CreateInterfaceObject();
  EXPECT_EQ(dynamic_cast<TInterfaceArtNetNode*>(slot.InterfaceObject.get()) != nullptr,
            c.MakesNode);
  EXPECT_EQ(dynamic_cast<TInterfaceArtNetServer*>(slot.InterfaceObject.get()) != nullptr,
            c.MakesServer);
  if (!c.MakesNode && !c.MakesServer) {
    EXPECT_EQ(slot.Status(), "Not connected, port closed.");
    EXPECT_TRUE(slot.Error());
    slot.Active = true;
    slot.ConnectSlot();
    EXPECT_EQ(slot.InterfaceObject, nullptr);
  } else {
    EXPECT_EQ(slot.InterfaceObject->PortState, 0);
    EXPECT_EQ(slot.InterfaceObject->BindIP, "127.0.4.200");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Names, InterfaceType,
    ::testing::Values(
        TTypeCase{"Art-Net Node (INPUT)", true, false, true, false, true, false},
        TTypeCase{"Art-Net Server (OUTPUT)", false, true, false, true, true, false},
        TTypeCase{"Art-Net 1024 Server (OUTPUT)", false, false, false, true, true, false},
        TTypeCase{"USB interface", false, false, false, true, false, true},
        TTypeCase{"USB interface INPUT", false, false, true, false, false, false},
        TTypeCase{"art-net node (input)", false, false, false, true, false, false},
        TTypeCase{"Art-Net Server (OUTPUT) ", false, false, false, true, false, false},
        TTypeCase{"", false, false, false, true, false, false}));

TEST(TInterfaceInfo, CreateInterfaceObjectTakesTheSlotsAddresses) {
  TInterfaceInfo slot(nullptr, nullptr);
  slot.InterfaceType = "Art-Net Server (OUTPUT)";
  slot.Port = "127.0.4.201";
  slot.Destination = "127.0.4.202";
  slot.CreateInterfaceObject();
  auto* server = dynamic_cast<TInterfaceArtNetServer*>(slot.InterfaceObject.get());
  ASSERT_NE(server, nullptr);
  EXPECT_EQ(server->Endpoint->BindIP, "127.0.4.201");
  EXPECT_EQ(server->Endpoint->DestinationIP, "127.0.4.202");
  EXPECT_FALSE(server->Endpoint->OnArtDMX);
  EXPECT_EQ(server->GetLogName(), "LOG_127.0.4.201");

  slot.InterfaceType = "Art-Net Node (INPUT)";
  slot.CreateInterfaceObject();
  auto* node = dynamic_cast<TInterfaceArtNetNode*>(slot.InterfaceObject.get());
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(node->Endpoint->DestinationIP, "");
}

struct TStatusCase {
  const char* StatusText;
  const char* Status;
};

class SlotStatus : public ::testing::TestWithParam<TStatusCase> {};

TEST_P(SlotStatus, MapsTheShortErrorText) {
  TInterfaceInfo slot(nullptr, nullptr);
  slot.InterfaceObject = std::make_unique<TInterfaceBase>(&slot, "127.0.4.1");
  slot.InterfaceObject->StatusText = GetParam().StatusText;
  EXPECT_EQ(slot.Status(), GetParam().Status);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, SlotStatus,
    ::testing::Values(TStatusCase{"", ""},
                      TStatusCase{"Socket Error # 10049 Cann", "Error, socket not available"},
                      TStatusCase{"Socket Error # 10048 Addr", "Error, socket in use"},
                      TStatusCase{"Socket Error # 10050 Netw", "Error, network down"},
                      TStatusCase{"Could not bind socket. Ad", "Could not bind socket. Ad"},
                      TStatusCase{"Socket Error # 10051 Netw", "Socket Error # 10051 Netw"},
                      // A number at position 1 is not an error code.
                      TStatusCase{"10049", "10049"}, TStatusCase{"10050 x", "10050 x"},
                      TStatusCase{"x10050", "Error, network down"},
                      // Only the first occurrence of a number counts.
                      TStatusCase{"10049 then 10049", "10049 then 10049"},
                      // The tests run in order on what the previous one left.
                      TStatusCase{"10049 10048", "Error, socket in use"},
                      TStatusCase{" 10050 10049", "Error, socket not available"}));

TEST(TInterfaceInfo, ErrorFollowsThePortObject) {
  TInterfaceInfo slot(nullptr, nullptr);
  EXPECT_TRUE(slot.Error());
  slot.InterfaceObject = std::make_unique<TInterfaceBase>(&slot, "127.0.4.1");
  EXPECT_FALSE(slot.Error());
  slot.InterfaceObject->HasError = true;
  EXPECT_TRUE(slot.Error());
}

}  // namespace
}  // namespace pallador
