#pragma once

#include <string>

#include <pugixml.hpp>

namespace pallador {

inline constexpr const char* ConfigFileBaseName = "config_unibridge.xml";

// The settings document, open for the whole run: loaded at start (an unusable
// file gives an empty document holding "config"), saved at close atomically
// (temporary file in the same folder, flushed, renamed over the old one).
// Thread: main thread.
class TConfigDocument {
 public:
  // Never fails: whatever the file, ConfigRoot() is a "config" element afterwards.
  void LoadFromFile(const std::string& FileName);
  pugi::xml_node ConfigRoot() { return Document.child("config"); }
  // The "interfaces" child of ConfigRoot, appended when there is none.
  pugi::xml_node InterfacesNode();
  // False on any failure; the old file is then left as it was.
  bool SaveToFile(const std::string& FileName) const;

  pugi::xml_document Document;
};

}  // namespace pallador
