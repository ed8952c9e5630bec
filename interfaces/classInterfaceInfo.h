#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <pugixml.hpp>
#include <string>
#include <vector>

#include "interfaces/classInterfaceBase.h"
#include "net/classUDPFactory.h"
#include "platform/Component.h"

namespace pallador {

inline constexpr const char* TypeArtNetNodeInput = "Art-Net Node (INPUT)";
inline constexpr const char* TypeArtNetServerOutput = "Art-Net Server (OUTPUT)";
inline constexpr const char* TypeArtNet1024ServerOutput = "Art-Net 1024 Server (OUTPUT)";
inline constexpr const char* TypeUsbInterface = "USB interface";
inline constexpr const char* TypeUsbInterfaceInput = "USB interface INPUT";

// One interface slot: the settings of one interface and, while connected, its port.
// Thread: main thread; the port object is also updated by the transmit thread
// under the application's lock, so Status and Error are read under that lock.
class TInterfaceInfo : public TComponent {
 public:
  TInterfaceInfo(TComponent* Owner, TUDPFactory* UDPFactory);
  ~TInterfaceInfo() override;

  void CreateInterfaceObject();
  void ConnectSlot();
  void LoadFromNode(const pugi::xml_node& Node);
  void SaveToNode(pugi::xml_node& Interfaces) const;

  bool CanChangeUniverse() const;
  bool CanChangeUniverseArtNet() const;
  bool CanBeInput() const;
  bool CanPing() const;
  bool Error() const;
  std::string Status() const;

  TUDPFactory* UDPFactory;
  bool IsInput = false;
  std::int32_t Universe = 0;
  std::int32_t UniverseArtNet = 0;
  std::int32_t ChannelCount = 512;
  std::string Port;
  std::string InterfaceType;
  std::string Destination;
  bool Active = false;
  std::unique_ptr<TInterfaceBase> InterfaceObject;
};

// The seventeen slots: slot 0 the input, slots 1 to 16 the outputs.
class TInterfacesInfo : public TComponent {
 public:
  TInterfacesInfo(TComponent* Owner, TUDPFactory* UDPFactory);  // the seventeen defaults
  ~TInterfacesInfo() override;

  void ResetToDefaults();
  void AddInputSlot(const std::string& BindIP);
  void AddOutputSlot(const std::string& BindIP, const std::string& DestinationIP,
                     std::int32_t Universe, bool Active);
  void SetInputSlot(int Index);
  void ClearSlots();
  void ConnectAll();
  void DisconnectAll();
  void UpdateAll();
  // Connects again, each at most once a second, the ports that failed to open
  // for want of their network (its link down, their address not yet there),
  // so that a bridge started before its network comes up needs no click.
  // Working ports are not touched. Main thread, under the lock a reconnect holds.
  void RetryPortsWaitingForNetwork(std::chrono::steady_clock::time_point Now);
  void LoadFromNode(const pugi::xml_node& Interfaces);
  void SaveToNode(pugi::xml_node& Interfaces) const;

  int Count() const { return static_cast<int>(SlotList.size()); }
  TInterfaceInfo& Slot(int Index) { return *SlotList.at(static_cast<std::size_t>(Index)); }
  const TInterfaceInfo& Slot(int Index) const {
    return *SlotList.at(static_cast<std::size_t>(Index));
  }

  TUDPFactory* UDPFactory;
  std::vector<std::unique_ptr<TInterfaceInfo>> SlotList;
};

}  // namespace pallador
