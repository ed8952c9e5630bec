// A process killed while it saves the settings file always leaves a file that
// loads with the slots it was saving or with those saved before, never a
// truncated file that would start the next run from the defaults.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#include "faults/FaultSupport.h"
#include "faults/Process.h"
#include "faults/SlotGenerations.h"

namespace pallador {
namespace {

using namespace std::chrono_literals;
using testsupport::TProcess;

constexpr const char* kInputIP = "127.0.9.1";
constexpr const char* kOutputIP = "127.0.9.2";
constexpr const char* kNodeIP = "127.0.9.3";

// The generation the saver last announced ("saving <g>"), 0 when none.
int LastAnnounced(const std::string& Output) {
  const std::size_t at = Output.rfind("saving ");
  return at == std::string::npos ? 0 : std::atoi(Output.c_str() + at + 7);
}

int LeftoverTemporaries(const std::filesystem::path& Dir) {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator(Dir)) {
    if (entry.path().filename().string().find(".tmp-") != std::string::npos) ++count;
  }
  return count;
}

TEST(SettingsDurability, SaveLoopKilledAtRandomMomentsLeavesTheSavedOrThePreviousSlots) {
  testsupport::TTempDir dir;
  const std::string file = (dir.Path() / ConfigFileBaseName).string();
  {
    TConfigDocument document;
    document.LoadFromFile(file);
    TInterfacesInfo slots(nullptr, nullptr);
    testsupport::SetGeneration(slots, 0);
    pugi::xml_node interfaces = document.InterfacesNode();
    slots.SaveToNode(interfaces);
    ASSERT_TRUE(document.SaveToFile(file));
  }

  TProcess saver(SETTINGS_SAVER, dir.Path());
  std::mt19937 random(std::random_device{}());
  int kept = 0;
  int previous = 0;
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  for (int round = 0; round < 60 && std::chrono::steady_clock::now() < deadline; ++round) {
    saver.Start({file});
    const int saves = std::uniform_int_distribution<int>(1, 20)(random);
    ASSERT_TRUE(testsupport::WaitFor(
        [&] { return LastAnnounced(saver.Stdout()) >= saves || saver.WaitForExit(0ms); }, 10s));
    std::this_thread::sleep_for(
        std::chrono::microseconds(std::uniform_int_distribution<int>(0, 2000)(random)));
    saver.Signal(SIGKILL);
    const std::optional<int> status = saver.WaitForExit(5s);
    ASSERT_TRUE(status && WIFSIGNALED(*status))
        << "round " << round << ": " << testsupport::DescribeStatus(status) << "\n"
        << saver.Stderr();

    const int announced = LastAnnounced(saver.Stdout());
    std::unique_ptr<TInterfacesInfo> slots = testsupport::LoadSlots(file);
    const std::optional<std::int32_t> found = testsupport::GenerationOf(*slots);
    ASSERT_TRUE(found) << "round " << round << ": killed while saving generation " << announced
                       << ", the file does not load as one whole generation:\n"
                       << testsupport::ReadTextFile(file);
    ASSERT_TRUE(*found == announced || *found == announced - 1)
        << "round " << round << ": saving " << announced << ", file holds " << *found;
    (*found == announced ? kept : previous) += 1;
  }
  RecordProperty("killed_after_the_save", kept);
  RecordProperty("killed_during_the_save", previous);
  RecordProperty("leftover_temporary_files", LeftoverTemporaries(dir.Path()));
  std::printf("kills: %d after a save, %d during one; %d temporary files left\n", kept, previous,
              LeftoverTemporaries(dir.Path()));
}

TEST(SettingsDurability, ProgramKilledWhileClosingKeepsItsSettings) {
  std::vector<testsupport::TSlotSettings> settings =
      testsupport::SlotsOn(kInputIP, kOutputIP, kNodeIP);
  for (int u : {1, 4, 9, 16}) settings[static_cast<std::size_t>(u)].Active = true;
  settings[5].UniverseArtNet = 300;
  const std::string original = testsupport::HandWrittenSettingsXml(settings);

  testsupport::TTempDir dir;
  const std::filesystem::path file = dir.Path() / ConfigFileBaseName;
  TProcess program(PALLADOR_EXECUTABLE, dir.Path());
  std::mt19937 random(std::random_device{}());
  int rewritten = 0;
  int untouched = 0;
  for (int round = 0; round < 8; ++round) {
    testsupport::WriteTextFile(file, original);
    program.Start();
    ASSERT_TRUE(testsupport::WaitFor([] { return testsupport::IsUdpBound(kInputIP, 6454); }, 20s))
        << program.Stderr();
    program.Signal(SIGTERM);
    // The close waits 300 ms for the clock, then saves: kill around that.
    std::this_thread::sleep_for(
        std::chrono::milliseconds(std::uniform_int_distribution<int>(0, 700)(random)));
    program.Kill();

    const std::string text = testsupport::ReadTextFile(file);
    EXPECT_EQ(testsupport::SlotSettingsOf(*testsupport::LoadSlots(file.string())), settings)
        << "round " << round << ", file:\n"
        << text;
    (text == original ? untouched : rewritten) += 1;
  }
  RecordProperty("killed_before_the_save", untouched);
  RecordProperty("killed_after_the_save", rewritten);
  std::printf("kills: %d before the save, %d after it\n", untouched, rewritten);
}

}  // namespace
}  // namespace pallador
