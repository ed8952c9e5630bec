// Saves the settings file in a loop, as the main window saves it at close,
// until it is killed: loads <file> once (it must hold one whole generation of
// slots, see SlotGenerations.h, or be absent), then for each next generation
// prints "saving <g>" and saves. Exit 3: the file it found was not whole.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "faults/SlotGenerations.h"
#include "interfaces/ConfigDocument.h"
#include "interfaces/classInterfaceInfo.h"

int main(int argc, char* argv[]) {
  using namespace pallador;
  if (argc != 2) {
    std::fputs("usage: settings_saver <settings file>\n", stderr);
    return 2;
  }
  const std::string file = argv[1];
  TConfigDocument document;
  document.LoadFromFile(file);
  TInterfacesInfo slots(nullptr, nullptr);
  std::int32_t generation = 0;
  if (pugi::xml_node interfaces = document.FindInterfacesNode()) {
    slots.LoadFromNode(interfaces);
    const std::optional<std::int32_t> found = testsupport::GenerationOf(slots);
    if (!found) {
      std::fputs("the settings file does not hold one whole generation\n", stderr);
      return 3;
    }
    generation = *found;
  }
  for (;;) {
    ++generation;
    testsupport::SetGeneration(slots, generation);
    pugi::xml_node interfaces = document.InterfacesNode();
    interfaces.remove_children();
    slots.SaveToNode(interfaces);
    // Announced before the save starts: a kill from here on may leave this
    // generation or the one before.
    const std::string line = "saving " + std::to_string(generation) + "\n";
    if (::write(STDOUT_FILENO, line.data(), line.size()) < 0) return 4;
    if (!document.SaveToFile(file)) return 5;
  }
}
