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

// A text value (UTF-8) the way the settings file keeps it so that it reads
// back exactly: in Windows-1251, as every other value, where that loses
// nothing; otherwise (a character the code page lacks, a blank at either
// end, a quote at both ends, a line break, or a text that itself looks like
// the encoding) as an encoded word of its UTF-8, "=?UTF-8?B?...?=" (RFC 2047).
std::string ProfileText(const std::string& utf8);
// The UTF-8 text of a value read from the settings file.
std::string TextOfProfile(const std::string& value);

}  // namespace mg
