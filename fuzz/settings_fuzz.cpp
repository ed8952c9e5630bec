// The settings file: arbitrary bytes as config_unibridge.xml, loaded, saved
// and loaded again as the main window does at start and at close. Never a
// crash, always seventeen slots, the save succeeds, the second load reads the
// same slots as the first, and from the second save on the file stays the same.

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "fuzz/FuzzCheck.h"
#include "interfaces/ConfigDocument.h"
#include "interfaces/classInterfaceInfo.h"

namespace pallador {
namespace {

// A scratch folder, on tmpfs where there is one: every run saves (with
// fsync). Named after the process: a run that stops on a crash leaves its
// folder behind, and the next start removes those of processes gone.
class TScratch {
 public:
  TScratch() {
    const std::filesystem::path base = std::filesystem::is_directory("/dev/shm")
                                           ? "/dev/shm"
                                           : std::filesystem::temp_directory_path();
    const std::string prefix = "pallador-fuzz-";
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(base, ignored)) {
      const std::string name = entry.path().filename().string();
      if (name.rfind(prefix, 0) != 0) continue;
      const long pid = std::strtol(name.c_str() + prefix.size(), nullptr, 10);
      if (pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
        std::filesystem::remove_all(entry.path(), ignored);
      }
    }
    Dir = base / (prefix + std::to_string(::getpid()));
    std::filesystem::create_directories(Dir, ignored);
    FUZZ_CHECK(std::filesystem::is_directory(Dir), "scratch folder");
  }
  ~TScratch() {
    std::error_code ignored;
    std::filesystem::remove_all(Dir, ignored);
  }
  std::filesystem::path Dir;
};

std::string ReadFile(const std::filesystem::path& Path) {
  std::ifstream file(Path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

// The main window's start: document, seventeen defaults, then the saved slots.
struct TLoaded {
  explicit TLoaded(const std::string& FileName) : Slots(nullptr, nullptr) {
    Document.LoadFromFile(FileName);
    FUZZ_CHECK(Document.ConfigRoot(), "a config element after every load");
    if (pugi::xml_node interfaces = Document.FindInterfacesNode()) Slots.LoadFromNode(interfaces);
    FUZZ_CHECK(Slots.Count() == 17, "seventeen slots");
  }

  // The main window's close.
  void Save(const std::string& FileName) {
    pugi::xml_node interfaces = Document.InterfacesNode();
    interfaces.remove_children();
    Slots.SaveToNode(interfaces);
    FUZZ_CHECK(Document.SaveToFile(FileName), "save");
  }

  TConfigDocument Document;
  TInterfacesInfo Slots;
};

bool SameSlot(const TInterfaceInfo& A, const TInterfaceInfo& B) {
  return A.Port == B.Port && A.Destination == B.Destination && A.InterfaceType == B.InterfaceType &&
         A.IsInput == B.IsInput && A.Universe == B.Universe &&
         A.UniverseArtNet == B.UniverseArtNet && A.ChannelCount == B.ChannelCount &&
         A.Active == B.Active;
}

}  // namespace
}  // namespace pallador

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  using namespace pallador;
  static TScratch scratch;
  const std::string file = (scratch.Dir / ConfigFileBaseName).string();
  {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(Data), static_cast<std::streamsize>(Size));
    FUZZ_CHECK(out.good(), "write the input");
  }

  TLoaded first(file);
  first.Save(file);
  TLoaded second(file);
  for (int i = 0; i < 17; ++i) {
    FUZZ_CHECK(SameSlot(first.Slots.Slot(i), second.Slots.Slot(i)), "second load equals the first");
  }
  // The first save may still drop what its load could not keep (a text that a
  // "&#0;" cut down to white space); from then on the file is stable.
  second.Save(file);
  const std::string saved = ReadFile(file);
  TLoaded third(file);
  third.Save(file);
  FUZZ_CHECK(ReadFile(file) == saved, "a saved file saves to the same bytes");
  return 0;
}
