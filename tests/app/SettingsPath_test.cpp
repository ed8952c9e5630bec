#include "app/SettingsPath.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "app/AppPath.h"

namespace pallador {
namespace {

struct TPlaceCase {
  const char* Name;
  TSettingsPlaceFacts Facts;
  const char* Expected;
};

// The executable lives in /opt/p/ (or /usr/bin/); the user's home is /home/u.
TEST(ChooseSettingsPath, FollowsTheExecutableFolderThenTheUsersConfigFolder) {
  const std::vector<TPlaceCase> cases = {
      {"writable folder", {false, true, std::nullopt, "/home/u"}, "/opt/p/"},
      {"writable folder, XDG set", {false, true, "/cfg", "/home/u"}, "/opt/p/"},
      {"file beside wins", {true, false, "/cfg", "/home/u"}, "/opt/p/"},
      {"file beside, writable", {true, true, std::nullopt, "/home/u"}, "/opt/p/"},
      {"XDG unset", {false, false, std::nullopt, "/home/u"}, "/home/u/.config/pallador/"},
      {"XDG empty", {false, false, "", "/home/u"}, "/home/u/.config/pallador/"},
      {"XDG relative", {false, false, "cfg", "/home/u"}, "/home/u/.config/pallador/"},
      {"XDG set", {false, false, "/cfg", "/home/u"}, "/cfg/pallador/"},
      {"XDG with trailing /", {false, false, "/var/lib/", ""}, "/var/lib/pallador/"},
      {"home with trailing /",
       {false, false, std::nullopt, "/home/u/"},
       "/home/u/.config/pallador/"},
      {"home is the root", {false, false, std::nullopt, "/"}, "/.config/pallador/"},
      {"no home, no XDG", {false, false, std::nullopt, ""}, "/opt/p/"},
      {"relative home", {false, false, std::nullopt, "u"}, "/opt/p/"},
      {"install folder writable (root)",
       {false, true, std::nullopt, "/root", true},
       "/root/.config/pallador/"},
      {"install folder, file beside", {true, true, std::nullopt, "/root", true}, "/opt/p/"},
  };
  for (const TPlaceCase& c : cases) {
    EXPECT_EQ(ChooseSettingsPath("/opt/p/", c.Facts), c.Expected) << c.Name;
  }
}

TEST(ChooseSettingsPath, TheRootFolderKeepsItsSingleSeparator) {
  EXPECT_EQ(ChooseSettingsPath("/", {false, true, std::nullopt, "/home/u"}), "/");
}

class SettingsPathOnDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    Dir = std::filesystem::temp_directory_path() /
          ("settings_path_test_" + std::to_string(::getpid()));
    std::filesystem::remove_all(Dir);
    std::filesystem::create_directories(Dir / "exe");
  }
  void TearDown() override { std::filesystem::remove_all(Dir); }
  std::string ExeDir() const { return (Dir / "exe").string() + "/"; }
  std::filesystem::path Dir;
};

TEST_F(SettingsPathOnDisk, ReadsTheFactsFromTheSystem) {
  TSettingsPlaceFacts facts = SettingsPlaceFacts(ExeDir(), "config_unibridge.xml");
  EXPECT_FALSE(facts.FileBesideExecutable);
  EXPECT_TRUE(facts.ExecutableFolderWritable);
  EXPECT_FALSE(facts.ExecutableFolderIsInstallFolder);

  std::ofstream(Dir / "exe" / "config_unibridge.xml") << "<config/>";
  facts = SettingsPlaceFacts(ExeDir(), "config_unibridge.xml");
  EXPECT_TRUE(facts.FileBesideExecutable);

  // A folder that does not exist can't be written, even by root.
  facts = SettingsPlaceFacts((Dir / "gone").string() + "/", "config_unibridge.xml");
  EXPECT_FALSE(facts.FileBesideExecutable);
  EXPECT_FALSE(facts.ExecutableFolderWritable);
}

TEST_F(SettingsPathOnDisk, ReadsTheConfigHomeAndTheHomeFromTheEnvironment) {
  const char* oldXdg = std::getenv("XDG_CONFIG_HOME");
  const std::optional<std::string> savedXdg =
      oldXdg ? std::optional<std::string>(oldXdg) : std::nullopt;
  const std::string savedHome = std::getenv("HOME") ? std::getenv("HOME") : "";

  ::setenv("XDG_CONFIG_HOME", "/cfg", 1);
  ::setenv("HOME", "/home/u", 1);
  TSettingsPlaceFacts facts = SettingsPlaceFacts(ExeDir(), "config_unibridge.xml");
  EXPECT_EQ(facts.XdgConfigHome, std::optional<std::string>("/cfg"));
  EXPECT_EQ(facts.Home, "/home/u");

  // Without HOME the user's home comes from the user database.
  ::unsetenv("XDG_CONFIG_HOME");
  ::unsetenv("HOME");
  facts = SettingsPlaceFacts(ExeDir(), "config_unibridge.xml");
  EXPECT_EQ(facts.XdgConfigHome, std::nullopt);
  EXPECT_FALSE(facts.Home.empty());

  if (savedXdg) ::setenv("XDG_CONFIG_HOME", savedXdg->c_str(), 1);
  ::setenv("HOME", savedHome.c_str(), 1);
}

TEST_F(SettingsPathOnDisk, MakesTheConfigFolderOnlyOutsideTheExecutableFolder) {
  SetAppPath(ExeDir());
  const std::filesystem::path config = Dir / "home" / ".config" / "pallador";
  EXPECT_TRUE(MakeSettingsFolder((config / "config_unibridge.xml").string()));
  ASSERT_TRUE(std::filesystem::is_directory(config));
  // Private to the user, as the user's configuration folders are.
  struct stat info {};
  ASSERT_EQ(::stat(config.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  EXPECT_TRUE(MakeSettingsFolder((config / "config_unibridge.xml").string()));  // already there

  // The executable's folder is never made: a missing one means the save fails.
  const std::filesystem::path gone = Dir / "gone";
  SetAppPath(gone.string() + "/");
  MakeSettingsFolder((gone / "config_unibridge.xml").string());
  EXPECT_FALSE(std::filesystem::exists(gone));
  SetAppPath("");
}

TEST(SettingsPath, IsTheExecutableFolderUntilChosen) {
  SetAppPath("/opt/p/");
  EXPECT_EQ(SettingsPath(), "/opt/p/");
  SetSettingsPath("/home/u/.config/pallador/");
  EXPECT_EQ(SettingsPath(), "/home/u/.config/pallador/");
  SetSettingsPath("");
  SetAppPath("");
}

}  // namespace
}  // namespace pallador
