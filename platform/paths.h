// Where the program's files live on Linux.
#pragma once

#include <string>

namespace mg {

// Directory of the running executable (/proc/self/exe), with a trailing "/".
std::string ExecutableDirectory();

// The settings file: $XDG_CONFIG_HOME/MAILGROVE.INI, else ~/.config/MAILGROVE.INI.
std::string DefaultSettingsPath();

// The program directory, where the lists, their backups, the log and the
// ".new" copies live, with a trailing "/": the executable's own directory
// when it already holds spam.dat or white.dat (a portable install), else the
// user's data directory $XDG_DATA_HOME/mailgrove/ (~/.local/share/mailgrove/
// when XDG_DATA_HOME is unset or not absolute), created mode 0700 when
// missing. Empty when that directory cannot be made.
std::string ProgramDirectory();

// The user's data directory for the lists, without a trailing "/" (made
// by neither).
std::string DataDirectory();
std::string DataDirectoryFor(const char* xdgDataHome, const char* home);

// The same rule with its inputs given. `xdgDataHome` and `home` are the
// environment's values (nullptr when unset).
std::string ProgramDirectoryFor(const std::string& exeDir, const char* xdgDataHome, const char* home);

// Makes `dir` the current directory; false on failure.
bool SetCurrentDir(const std::string& dir);

}  // namespace mg
