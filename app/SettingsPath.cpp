#include "app/SettingsPath.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <utility>
#include <vector>

#include "app/AppPath.h"

namespace pallador {
namespace {

constexpr const char* kProgramFolder = "pallador";

std::string& SettingsPathValue() {
  static std::string value;
  return value;
}

std::string WithSeparator(std::string Folder) {
  if (Folder.empty() || Folder.back() != '/') Folder += '/';
  return Folder;
}

bool IsAbsolute(const std::string& Path) {
  return !Path.empty() && Path.front() == '/';
}

std::string HomeFromUserDatabase() {
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found ||
      !found->pw_dir) {
    return {};
  }
  return found->pw_dir;
}

}  // namespace

std::string ChooseSettingsPath(const std::string& AppPath, const TSettingsPlaceFacts& Facts) {
  if (Facts.FileBesideExecutable ||
      (Facts.ExecutableFolderWritable && !Facts.ExecutableFolderIsInstallFolder)) {
    return AppPath;
  }
  std::string configHome;
  if (Facts.XdgConfigHome && IsAbsolute(*Facts.XdgConfigHome)) {
    configHome = WithSeparator(*Facts.XdgConfigHome);
  } else if (IsAbsolute(Facts.Home)) {
    configHome = WithSeparator(Facts.Home) + ".config/";
  } else {
    return AppPath;
  }
  return configHome + kProgramFolder + "/";
}

TSettingsPlaceFacts SettingsPlaceFacts(const std::string& AppPath, const char* FileBaseName) {
  TSettingsPlaceFacts facts;
  std::error_code error;
  facts.FileBesideExecutable = std::filesystem::exists(AppPath + FileBaseName, error);
  // The effective user's right to make files there (a save renames a new file in).
  facts.ExecutableFolderWritable =
      ::faccessat(AT_FDCWD, AppPath.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME")) facts.XdgConfigHome = xdg;
#ifdef PALLADOR_INSTALL_BINDIR
  const std::filesystem::path installed =
      std::filesystem::weakly_canonical(PALLADOR_INSTALL_BINDIR, error);
  facts.ExecutableFolderIsInstallFolder =
      !installed.empty() && std::filesystem::equivalent(AppPath, installed, error);
#endif
  const char* home = std::getenv("HOME");
  facts.Home = home && *home ? std::string(home) : HomeFromUserDatabase();
  return facts;
}

std::string SettingsPath() {
  const std::string& chosen = SettingsPathValue();
  return chosen.empty() ? AppPath() : chosen;
}

void SetSettingsPath(std::string Path) {
  SettingsPathValue() = std::move(Path);
}

bool MakeSettingsFolder(const std::string& FileName) {
  const std::filesystem::path folder = std::filesystem::path(FileName).parent_path();
  if (folder.empty() || WithSeparator(folder.string()) == AppPath()) return true;
  std::filesystem::path partial;
  for (const std::filesystem::path& part : folder) {
    partial /= part;
    if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  std::error_code error;
  return std::filesystem::is_directory(folder, error);
}

}  // namespace pallador
