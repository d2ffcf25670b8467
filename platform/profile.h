// INI files with the Windows profile semantics: section and key names are
// compared without regard to letter case; a value is read as stored after the
// "=", surrounding blanks removed and one pair of enclosing quotes dropped;
// writing keeps every other line and section and creates the file on first
// write. Writes go to a temporary file that replaces the old one, so a failed
// write never leaves a truncated file. New and rewritten files get mode 0600.
#pragma once

#include <string>

namespace mg {

std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& defaultValue, const std::string& path);

// False when the file could not be written; the old file is then unchanged.
bool WritePrivateProfileString(const std::string& section, const std::string& key, const std::string& value,
                               const std::string& path);

// Removes the section and its keys, keeping every other line; true when
// there was none. False when the file could not be written.
bool DeletePrivateProfileSection(const std::string& section, const std::string& path);

}  // namespace mg
