#include "app/AppPath.h"

#include <filesystem>
#include <system_error>
#include <utility>

namespace pallador {
namespace {

std::string& AppPathValue() {
  static std::string value;
  return value;
}

}  // namespace

const std::string& AppPath() {
  return AppPathValue();
}

void SetAppPath(std::string Path) {
  AppPathValue() = std::move(Path);
}

std::string AppPathFromExecutable(const std::string& ExecutableFileName) {
  const std::size_t slash = ExecutableFileName.rfind('/');
  // A bare file name lies in the current directory.
  std::string directory = slash == std::string::npos ? "." : ExecutableFileName.substr(0, slash);
  if (directory.empty() || directory.back() != '/') directory += '/';
  return directory;
}

std::string ExecutableFileName() {
  std::error_code error;
  const std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string() : path.string();
}

}  // namespace pallador
