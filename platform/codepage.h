// Windows-1251 and KOI8-R code pages. Every string of the logic, the files and
// the wire is Windows-1251 bytes; Qt's Unicode strings appear only at widgets,
// converted by FromAnsi/ToAnsi, a bijection over all 256 byte values.
#pragma once

#include <QString>
#include <string>
#include <string_view>

namespace mg {

char16_t Cp1251ToUnicode(unsigned char byte);
// The Windows-1251 byte of a character, or -1 when the code page lacks it.
int UnicodeToCp1251(char16_t ch);
char16_t Koi8rToUnicode(unsigned char byte);

QString FromAnsi(std::string_view bytes);
// Characters Windows-1251 lacks become "?".
std::string ToAnsi(const QString& text);

// Source text of this project is UTF-8; Russian literals pass through here.
inline std::string A(const char* utf8) { return ToAnsi(QString::fromUtf8(utf8)); }

}  // namespace mg
