#include "platform/strutil.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <vector>

#include "platform/errors.h"

namespace mg {

bool TryStrToInt(const std::string& text, int32_t& value) {
    size_t i = 0;
    while (i < text.size() && text[i] == ' ') ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
        negative = text[i] == '-';
        ++i;
    }
    int base = 10;
    if (i < text.size() && text[i] == '$') {
        base = 16;
        ++i;
    } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i >= text.size()) return false;
    int64_t acc = 0;
    for (; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        int digit;
        if (c >= '0' && c <= '9') digit = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        else return false;
        acc = acc * base + digit;
        if (acc > 0x100000000LL) return false;
    }
    if (negative) acc = -acc;
    if (base == 10) {
        if (acc < INT32_MIN || acc > INT32_MAX) return false;
    } else {
        if (acc > 0xFFFFFFFFLL || acc < -0xFFFFFFFFLL) return false;
        acc = static_cast<int32_t>(static_cast<uint32_t>(acc));
    }
    value = static_cast<int32_t>(acc);
    return true;
}

int32_t StrToInt(const std::string& text) {
    int32_t value = 0;
    if (!TryStrToInt(text, value)) throw EConvertError("'" + text + "' is not a valid integer value");
    return value;
}

std::string IntToStr(long long value) { return std::to_string(value); }

std::string LowerAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::string UpperAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return out;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && LowerAscii(a) == LowerAscii(b);
}

std::string Trim(std::string_view text) {
    size_t b = 0, e = text.size();
    while (b < e && static_cast<unsigned char>(text[b]) <= 32) ++b;
    while (e > b && static_cast<unsigned char>(text[e - 1]) <= 32) --e;
    return std::string(text.substr(b, e - b));
}

std::string Format(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    std::string out;
    if (n > 0) {
        std::vector<char> buf(static_cast<size_t>(n) + 1);
        std::vsnprintf(buf.data(), buf.size(), fmt, args);
        out.assign(buf.data(), static_cast<size_t>(n));
    }
    va_end(args);
    return out;
}

}  // namespace mg

std::string ListIndexError(long index) { return "List index out of bounds (" + std::to_string(index) + ")"; }
std::string InOutErrorText(int code) {
    switch (code) {
        case ENOENT: return "File not found";
        case ENOTDIR: return "Path not found";
        case EACCES:
        case EPERM:
        case EROFS: return "File access denied";
        case EISDIR: return "Is a directory";
        case ENOSPC: return "Disk full";
        default: return "I/O error " + std::to_string(code);
    }
}
