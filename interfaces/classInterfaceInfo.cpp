#include "interfaces/classInterfaceInfo.h"

#include <charconv>
#include <cstring>
#include <limits>
#include <optional>
#include <string_view>

#include "interfaces/classInterfaceArtNetNode.h"
#include "interfaces/classInterfaceArtNetServer.h"

namespace pallador {

namespace {

constexpr std::int32_t DefaultChannelCount = 512;
constexpr int SlotCount = 17;

bool EqualsNoCase(std::string_view Text, std::string_view Word) {
  if (Text.size() != Word.size()) return false;
  for (std::size_t i = 0; i < Text.size(); ++i) {
    char c = Text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != Word[i]) return false;
  }
  return true;
}

// Decimal with an optional sign, within 32 bits; "true"/"false" in any case read as 1/0.
std::optional<std::int32_t> ParseInteger(std::string_view Text) {
  if (EqualsNoCase(Text, "true")) return 1;
  if (EqualsNoCase(Text, "false")) return 0;
  // from_chars takes a '-' but no '+'.
  const bool plus = !Text.empty() && Text.front() == '+';
  if (plus) Text.remove_prefix(1);
  if (Text.empty() || (plus && Text.front() == '-')) return std::nullopt;
  std::int32_t value = 0;
  const char* end = Text.data() + Text.size();
  const auto [ptr, ec] = std::from_chars(Text.data(), end, value, 10);
  if (ec != std::errc{} || ptr != end) return std::nullopt;
  return value;
}

// "true"/"false" in any case, or a decimal number of any size: non-zero is true.
std::optional<bool> ParseBoolean(std::string_view Text) {
  if (EqualsNoCase(Text, "true")) return true;
  if (EqualsNoCase(Text, "false")) return false;
  if (!Text.empty() && (Text.front() == '+' || Text.front() == '-')) Text.remove_prefix(1);
  if (Text.empty()) return std::nullopt;
  bool nonZero = false;
  for (const char c : Text) {
    if (c < '0' || c > '9') return std::nullopt;
    nonZero = nonZero || c != '0';
  }
  return nonZero;
}

const char* BooleanText(bool Value) {
  return Value ? "True" : "False";
}

bool ReadBoolean(const pugi::xml_node& Node, const char* Name) {
  const pugi::xml_attribute attribute = Node.attribute(Name);
  if (!attribute) return false;
  return ParseBoolean(attribute.value()).value_or(false);
}

std::int32_t ReadInteger(const pugi::xml_node& Node, const char* Name) {
  const pugi::xml_attribute attribute = Node.attribute(Name);
  if (!attribute) return 0;
  return ParseInteger(attribute.value()).value_or(0);
}

std::string ReadText(const pugi::xml_node& Node, const char* Name, const char* Default) {
  const pugi::xml_attribute attribute = Node.attribute(Name);
  return attribute ? attribute.value() : Default;
}

// The three socket errors a user can act on, tested in this order.
struct TStatusWord {
  const char* Number;
  const char* Text;
};
constexpr TStatusWord StatusWords[] = {
    {"10049", "Error, socket not available"},
    {"10048", "Error, socket in use"},
    {"10050", "Error, network down"},
};

constexpr int SocketNotAvailable = 10049;
constexpr int NetworkDown = 10050;
constexpr std::chrono::seconds RetryInterval{1};

// A closed port whose open failed for want of its network: it may open by
// itself later. Any other failure (the address in use, say) waits for the user.
bool WaitsForNetwork(const TInterfaceBase& Port) {
  return Port.PortState == 0 && Port.HasError &&
         (Port.ErrorCode == SocketNotAvailable || Port.ErrorCode == NetworkDown);
}

}  // namespace

TInterfaceInfo::TInterfaceInfo(TComponent* Owner, TUDPFactory* UDPFactory_)
    : TComponent(Owner), UDPFactory(UDPFactory_) {}

TInterfaceInfo::~TInterfaceInfo() = default;

void TInterfaceInfo::CreateInterfaceObject() {
  if (InterfaceObject) {
    InterfaceObject->Disconnect();
    InterfaceObject.reset();
  }
  if (InterfaceType == TypeArtNetNodeInput) {
    InterfaceObject = std::make_unique<TInterfaceArtNetNode>(this, UDPFactory, Port);
  } else if (InterfaceType == TypeArtNetServerOutput) {
    InterfaceObject = std::make_unique<TInterfaceArtNetServer>(this, UDPFactory, Port, Destination);
  }
}

void TInterfaceInfo::ConnectSlot() {
  if (!InterfaceObject) CreateInterfaceObject();
  if (!InterfaceObject) return;
  TInterfaceBase& port = *InterfaceObject;
  port.Disconnect();
  port.Universe = Universe;
  port.ChannelCount = ChannelCount;
  port.UniverseArtNet = static_cast<std::uint16_t>(static_cast<std::uint32_t>(UniverseArtNet));
  port.BindIP = Port;
  port.DestinationIP = Destination;
  port.Connect();
}

bool TInterfaceInfo::CanChangeUniverse() const {
  return InterfaceType != TypeUsbInterfaceInput && InterfaceType != TypeArtNetNodeInput;
}

bool TInterfaceInfo::CanChangeUniverseArtNet() const {
  return InterfaceType == TypeArtNetNodeInput || InterfaceType == TypeArtNetServerOutput ||
         InterfaceType == TypeArtNet1024ServerOutput;
}

bool TInterfaceInfo::CanBeInput() const {
  return InterfaceType == TypeUsbInterfaceInput || InterfaceType == TypeArtNetNodeInput;
}

bool TInterfaceInfo::CanPing() const {
  return InterfaceType == TypeUsbInterface;
}

bool TInterfaceInfo::Error() const {
  return InterfaceObject ? InterfaceObject->HasError : true;
}

std::string TInterfaceInfo::Status() const {
  if (!InterfaceObject) return "Not connected, port closed.";
  std::string text = InterfaceObject->StatusText;
  for (const TStatusWord& word : StatusWords) {
    // A number at the very start is not an error code after "Socket Error # ".
    const std::size_t at = text.find(word.Number);
    if (at != std::string::npos && at >= 1) text = word.Text;
  }
  return text;
}

void TInterfaceInfo::LoadFromNode(const pugi::xml_node& Node) {
  if (Node.type() != pugi::node_element || std::strcmp(Node.name(), "interface") != 0) return;
  Port = ReadText(Node, "port", "");
  Destination = ReadText(Node, "destination", "");
  InterfaceType = ReadText(Node, "interfacetype", TypeUsbInterface);
  IsInput = ReadBoolean(Node, "isinput");
  Universe = ReadInteger(Node, "universe");
  UniverseArtNet = ReadInteger(Node, "universeartnet");
  Active = ReadBoolean(Node, "active");
  ChannelCount = DefaultChannelCount;
}

void TInterfaceInfo::SaveToNode(pugi::xml_node& Interfaces) const {
  pugi::xml_node node = Interfaces.append_child("interface");
  node.append_attribute("port").set_value(Port.c_str());
  node.append_attribute("destination").set_value(Destination.c_str());
  node.append_attribute("interfacetype").set_value(InterfaceType.c_str());
  node.append_attribute("isinput").set_value(BooleanText(IsInput));
  node.append_attribute("universe").set_value(std::to_string(Universe).c_str());
  node.append_attribute("universeartnet").set_value(std::to_string(UniverseArtNet).c_str());
  node.append_attribute("channelcount").set_value(std::to_string(ChannelCount).c_str());
  node.append_attribute("active").set_value(BooleanText(Active));
}

TInterfacesInfo::TInterfacesInfo(TComponent* Owner, TUDPFactory* UDPFactory_)
    : TComponent(Owner), UDPFactory(UDPFactory_) {
  ResetToDefaults();
}

TInterfacesInfo::~TInterfacesInfo() = default;

void TInterfacesInfo::ResetToDefaults() {
  ClearSlots();
  AddInputSlot("2.0.0.10");
  for (std::int32_t universe = 0; universe < 16; ++universe) {
    AddOutputSlot("192.168.0.10", "192.168.0.30", universe, false);
  }
}

void TInterfacesInfo::AddInputSlot(const std::string& BindIP) {
  auto slot = std::make_unique<TInterfaceInfo>(this, UDPFactory);
  slot->Universe = 0;
  slot->Port = BindIP;
  slot->Destination.clear();
  slot->UniverseArtNet = 0;
  slot->InterfaceType = TypeArtNetNodeInput;
  SlotList.push_back(std::move(slot));
  SetInputSlot(Count() - 1);
}

void TInterfacesInfo::AddOutputSlot(const std::string& BindIP, const std::string& DestinationIP,
                                    std::int32_t Universe, bool Active) {
  auto slot = std::make_unique<TInterfaceInfo>(this, UDPFactory);
  slot->Universe = Universe;
  slot->Port = BindIP;
  slot->Destination = DestinationIP;
  slot->UniverseArtNet = Universe;
  slot->InterfaceType = TypeArtNetServerOutput;
  slot->Active = Active;
  SlotList.push_back(std::move(slot));
}

void TInterfacesInfo::SetInputSlot(int Index) {
  for (auto& slot : SlotList) slot->IsInput = false;
  if (Index >= 0 && Index < Count()) Slot(Index).IsInput = true;
}

void TInterfacesInfo::ClearSlots() {
  while (!SlotList.empty()) {
    TInterfaceInfo& slot = *SlotList.back();
    if (slot.InterfaceObject) {
      slot.InterfaceObject->Disconnect();
      slot.InterfaceObject.reset();
    }
    SlotList.pop_back();
  }
}

void TInterfacesInfo::ConnectAll() {
  for (int index = 0; index < Count(); ++index) {
    if (index == 0 || Slot(index).Active) Slot(index).ConnectSlot();
  }
}

void TInterfacesInfo::DisconnectAll() {
  for (int index = Count() - 1; index >= 0; --index) {
    TInterfaceInfo& slot = Slot(index);
    if (!slot.InterfaceObject) continue;
    slot.InterfaceObject->Disconnect();
    slot.InterfaceObject.reset();
  }
}

void TInterfacesInfo::UpdateAll() {
  for (auto& slot : SlotList) {
    if (slot->InterfaceObject) slot->InterfaceObject->Update();
  }
}

void TInterfacesInfo::RetryPortsWaitingForNetwork(std::chrono::steady_clock::time_point Now) {
  for (const std::unique_ptr<TInterfaceInfo>& slot : SlotList) {
    TInterfaceBase* port = slot->InterfaceObject.get();
    if (port == nullptr || !WaitsForNetwork(*port)) continue;
    if (Now - port->LastConnect < RetryInterval) continue;
    // The port's own settings: changes made in the window since the last
    // reconnect wait for the next one, as always.
    port->Connect();
  }
}

void TInterfacesInfo::LoadFromNode(const pugi::xml_node& Interfaces) {
  ClearSlots();
  for (const pugi::xml_node& child : Interfaces.children()) {
    auto slot = std::make_unique<TInterfaceInfo>(this, UDPFactory);
    slot->LoadFromNode(child);
    SlotList.push_back(std::move(slot));
  }
  if (Count() != SlotCount) ResetToDefaults();
}

void TInterfacesInfo::SaveToNode(pugi::xml_node& Interfaces) const {
  for (const auto& slot : SlotList) slot->SaveToNode(Interfaces);
}

}  // namespace pallador
