#pragma once

#include <string>

namespace pallador {

// The directory of the executable, always ending with '/'. Set once at program
// start, before the main window exists; the settings file is looked for there.
const std::string& AppPath();
void SetAppPath(std::string Path);

// The directory part of an executable's full file name with one trailing '/'
// ("/opt/x/pallador" -> "/opt/x/", "/pallador" -> "/").
std::string AppPathFromExecutable(const std::string& ExecutableFileName);

// The running executable's full file name (symbolic links resolved); empty
// when the system does not tell.
std::string ExecutableFileName();

}  // namespace pallador
