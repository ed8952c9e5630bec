#pragma once

#include <pugixml.hpp>
#include <string>

namespace pallador {

inline constexpr const char* ConfigFileBaseName = "config_unibridge.xml";

// The settings document, open for the whole run: loaded at start (an unusable
// file gives an empty document holding "config"), saved at close atomically
// (temporary file in the same folder, flushed, renamed over the old one), or
// in place when the folder takes no temporary file. A settings file that is a
// symbolic link stays one: the file it points to is replaced.
// Comments, processing instructions, text and a declaration of the loaded file
// are kept; white-space-only text is not. Saved without indentation, as UTF-8.
// Thread: main thread.
class TConfigDocument {
 public:
  // Never fails: whatever the file, ConfigRoot() is a "config" element afterwards.
  void LoadFromFile(const std::string& FileName);
  // The top-level element "config" (null before the first load).
  pugi::xml_node ConfigRoot();
  // The first "interfaces" element of ConfigRoot, or null when there is none.
  pugi::xml_node FindInterfacesNode();
  // The "interfaces" child of ConfigRoot, appended when there is none.
  pugi::xml_node InterfacesNode();
  // False on any failure. A failed atomic save leaves the old file as it was.
  bool SaveToFile(const std::string& FileName) const;

  pugi::xml_document Document;
};

}  // namespace pallador
