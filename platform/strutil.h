// Small byte-string helpers with the runtime library's semantics.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace mg {

// Decimal (or "$"-prefixed hexadecimal) text to a 32-bit integer. Leading
// blanks are allowed, nothing after the number is. Raises EConvertError
// "'<text>' is not a valid integer value".
int32_t StrToInt(const std::string& text);

// Same rules; returns false instead of raising.
bool TryStrToInt(const std::string& text, int32_t& value);

std::string IntToStr(long long value);

// Only the ASCII letters A to Z are folded.
std::string LowerAscii(std::string_view text);
std::string UpperAscii(std::string_view text);
bool EqualsNoCase(std::string_view a, std::string_view b);

// Removes leading and trailing characters with codes up to 32.
std::string Trim(std::string_view text);

// printf-style formatting into a std::string.
std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace mg
