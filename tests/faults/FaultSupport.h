#pragma once

// Small helpers shared by the fault tests: waiting with a deadline, the
// kernel's view of bound UDP sockets, ArtDmx as a console sends it, and
// reading a settings file back through the core as the program does.

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e/SettingsFile.h"
#include "interfaces/ConfigDocument.h"
#include "interfaces/classInterfaceInfo.h"
#include "support/ArtDmxFixture.h"

namespace pallador::testsupport {

inline bool WaitFor(const std::function<bool()>& Done, std::chrono::milliseconds Timeout) {
  const auto deadline = std::chrono::steady_clock::now() + Timeout;
  while (!Done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// A UDP socket's line in /proc/net/udp for IP:Port, as the kernel has it (the
// drops column counts datagrams the socket's full queue refused); empty when
// nothing is bound there. Table: another network namespace's, e.g.
// /proc/<pid>/net/udp of a process that runs in it.
inline std::string UdpSocketLine(const std::string& IP, std::uint16_t Port,
                                 const std::string& Table = "/proc/net/udp") {
  in_addr address{};
  if (::inet_pton(AF_INET, IP.c_str(), &address) != 1) return {};
  char wanted[32];
  std::snprintf(wanted, sizeof wanted, " %08X:%04X ", address.s_addr, Port);
  std::istringstream table(ReadTextFile(Table));
  for (std::string line; std::getline(table, line);) {
    if (line.find(wanted) != std::string::npos) return line;
  }
  return {};
}

inline bool IsUdpBound(const std::string& IP, std::uint16_t Port) {
  return !UdpSocketLine(IP, Port).empty();
}

// An ArtDmx as a console sends it, Length 512 unless Levels says otherwise.
inline std::vector<std::uint8_t> ArtDmx(std::uint16_t Universe,
                                        const std::vector<std::uint8_t>& Levels) {
  return test::ArtDmxBytes(Universe, static_cast<std::uint16_t>(Levels.size()), Levels);
}

// The slots a start of the program would read from File.
inline std::unique_ptr<TInterfacesInfo> LoadSlots(const std::string& File) {
  TConfigDocument document;
  document.LoadFromFile(File);
  auto slots = std::make_unique<TInterfacesInfo>(nullptr, nullptr);
  if (pugi::xml_node interfaces = document.FindInterfacesNode()) slots->LoadFromNode(interfaces);
  return slots;
}

inline std::vector<TSlotSettings> SlotSettingsOf(const TInterfacesInfo& Slots) {
  std::vector<TSlotSettings> list;
  for (int i = 0; i < Slots.Count(); ++i) {
    const TInterfaceInfo& s = Slots.Slot(i);
    list.push_back({s.Port, s.Destination, s.InterfaceType, s.Universe, s.UniverseArtNet, s.Active,
                    s.IsInput});
  }
  return list;
}

inline bool operator==(const TSlotSettings& A, const TSlotSettings& B) {
  return A.Port == B.Port && A.Destination == B.Destination && A.InterfaceType == B.InterfaceType &&
         A.Universe == B.Universe && A.UniverseArtNet == B.UniverseArtNet && A.Active == B.Active &&
         A.IsInput == B.IsInput;
}

// The same settings as SettingsXml writes them, in another form that the load
// reads alike: indented, "TRUE"/"0" for booleans, a leading "+" on numbers.
// A save rewrites it in its own form, so the text tells whether a save ran.
inline std::string HandWrittenSettingsXml(const std::vector<TSlotSettings>& Slots) {
  std::ostringstream xml;
  xml << "<config>\n  <interfaces>\n";
  for (const TSlotSettings& s : Slots) {
    xml << "    <interface port=\"" << s.Port << "\" destination=\"" << s.Destination
        << "\" interfacetype=\"" << s.InterfaceType << "\" isinput=\"" << (s.IsInput ? "TRUE" : "0")
        << "\" universe=\"+" << s.Universe << "\" universeartnet=\"+" << s.UniverseArtNet
        << "\" channelcount=\"512\" active=\"" << (s.Active ? "TRUE" : "0") << "\"/>\n";
  }
  xml << "  </interfaces>\n</config>\n";
  return xml.str();
}

}  // namespace pallador::testsupport
