#pragma once

#include <optional>
#include <string>

namespace pallador {

// Where the settings file lives. Beside the executable when a settings file is
// already there or when its folder is writable and is not the install folder
// (a portable copy, the build tree); otherwise (an installed program) in the user's configuration folder,
// $XDG_CONFIG_HOME (default ~/.config), in a folder named "pallador".

// What the choice depends on, gathered from the system by SettingsPlaceFacts.
struct TSettingsPlaceFacts {
  bool FileBesideExecutable = false;
  bool ExecutableFolderWritable = false;
  std::optional<std::string> XdgConfigHome;  // absent when the variable is unset
  std::string Home;                          // empty when unknown
  // The folder is the one the program was installed to (bin/ under the
  // install prefix). Root can write there, but settings do not belong in it.
  bool ExecutableFolderIsInstallFolder = false;
};

// The settings folder, ending with '/'. A config home that is empty or
// relative is ignored, as the XDG rules ask; with no usable home at all the
// executable's folder stays (a save there then fails, as for any unwritable folder).
std::string ChooseSettingsPath(const std::string& AppPath, const TSettingsPlaceFacts& Facts);

// The facts for a program in AppPath (ending with '/'), its settings file
// named FileBaseName: the file system for the folder and the file, the
// environment for XDG_CONFIG_HOME and HOME, the user database when HOME is unset.
TSettingsPlaceFacts SettingsPlaceFacts(const std::string& AppPath, const char* FileBaseName);

// The folder of the settings file, ending with '/'. Set once at program start,
// after AppPath; until then (and in tests that only set AppPath) it is AppPath().
std::string SettingsPath();
void SetSettingsPath(std::string Path);

// Makes the folder of the settings file FileName (mode 0700, its missing
// parents too), unless it is the executable's folder, which is never made.
// Called before each save, so that the user's folder appears with the first
// save. False when the folder can't be made.
bool MakeSettingsFolder(const std::string& FileName);

}  // namespace pallador
