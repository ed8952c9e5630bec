#pragma once

// Settings files and scratch folders for the tests that run the application.

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace pallador::testsupport {

struct TSlotSettings {
  std::string Port;
  std::string Destination;
  std::string InterfaceType;
  int Universe = 0;
  int UniverseArtNet = 0;
  bool Active = false;
  bool IsInput = false;
};

// Seventeen slots: the input on InputIP, the sixteen outputs from BindIP to
// DestinationIP with universes 0 to 15, all inactive.
inline std::vector<TSlotSettings> SlotsOn(const std::string& InputIP, const std::string& BindIP,
                                          const std::string& DestinationIP) {
  std::vector<TSlotSettings> list{{InputIP, "", "Art-Net Node (INPUT)", 0, 0, false, true}};
  for (int u = 0; u < 16; ++u) {
    list.push_back({BindIP, DestinationIP, "Art-Net Server (OUTPUT)", u, u, false, false});
  }
  return list;
}

inline std::string SettingsXml(const std::vector<TSlotSettings>& Slots) {
  std::ostringstream xml;
  xml << "<config><interfaces>";
  for (const TSlotSettings& s : Slots) {
    xml << "<interface port=\"" << s.Port << "\" destination=\"" << s.Destination
        << "\" interfacetype=\"" << s.InterfaceType << "\" isinput=\""
        << (s.IsInput ? "True" : "False") << "\" universe=\"" << s.Universe
        << "\" universeartnet=\"" << s.UniverseArtNet << "\" channelcount=\"512\" active=\""
        << (s.Active ? "True" : "False") << "\"/>";
  }
  xml << "</interfaces></config>";
  return xml.str();
}

inline void WriteTextFile(const std::filesystem::path& Path, const std::string& Text) {
  std::ofstream file(Path, std::ios::binary | std::ios::trunc);
  file << Text;
  if (!file) throw std::runtime_error("cannot write " + Path.string());
}

inline std::string ReadTextFile(const std::filesystem::path& Path) {
  std::ifstream file(Path, std::ios::binary);
  std::ostringstream text;
  if (file) text << file.rdbuf();
  return text.str();
}

// A fresh folder under the system's temporary folder, removed with its content.
class TTempDir {
 public:
  TTempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "pallador-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    Path_ = pattern;
  }
  ~TTempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(Path_, ignored);
  }
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;

  const std::filesystem::path& Path() const { return Path_; }

 private:
  std::filesystem::path Path_;
};

}  // namespace pallador::testsupport
