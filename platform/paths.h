// Where the program's files live on Linux.
#pragma once

#include <string>

namespace mg {

// Directory of the running executable (/proc/self/exe), with a trailing "/".
std::string ExecutableDirectory();

// The settings file: $XDG_CONFIG_HOME/MAILGROVE.INI, else ~/.config/MAILGROVE.INI.
std::string DefaultSettingsPath();

// Makes `dir` the current directory; false on failure.
bool SetCurrentDir(const std::string& dir);

}  // namespace mg
