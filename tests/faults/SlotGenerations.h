#pragma once

// Slot settings that carry a generation number, so that a settings file shows
// which save wrote it: every slot of generation g differs from the defaults
// and from every other generation, and the file's size varies with g.

#include <cstdint>
#include <optional>
#include <string>

#include "interfaces/classInterfaceInfo.h"

namespace pallador::testsupport {

inline void SetGeneration(TInterfacesInfo& Slots, std::int32_t Generation) {
  for (int k = 0; k < Slots.Count(); ++k) {
    TInterfaceInfo& slot = Slots.Slot(k);
    slot.Port = "10." + std::to_string(Generation % 250) + ".0." + std::to_string(k + 1);
    slot.Destination = std::string(static_cast<std::size_t>(Generation % 53), 'd') + "-" +
                       std::to_string(Generation);
    slot.Universe = Generation;
    slot.UniverseArtNet = k;
    slot.Active = (Generation + k) % 2 == 1;
  }
}

// The generation every slot of Slots was written with, or nothing when the
// slots are not one whole generation (defaults, a mixture, anything else).
inline std::optional<std::int32_t> GenerationOf(TInterfacesInfo& Slots) {
  if (Slots.Count() != 17) return std::nullopt;
  const std::int32_t generation = Slots.Slot(0).Universe;
  TInterfacesInfo expected(nullptr, nullptr);
  SetGeneration(expected, generation);
  for (int k = 0; k < 17; ++k) {
    const TInterfaceInfo& a = Slots.Slot(k);
    const TInterfaceInfo& b = expected.Slot(k);
    if (a.Port != b.Port || a.Destination != b.Destination || a.Universe != b.Universe ||
        a.UniverseArtNet != b.UniverseArtNet || a.Active != b.Active ||
        a.InterfaceType != b.InterfaceType || a.IsInput != b.IsInput) {
      return std::nullopt;
    }
  }
  return generation;
}

}  // namespace pallador::testsupport
