#include "decode/Ucoder.h"

#include <array>
#include <string_view>

#include "platform/codepage.h"
#include "platform/strutil.h"

namespace {

constexpr std::array<std::string_view, 5> kBase64Openings = {
    "=?unknown?b?", "=?windows-1251?b?", "=?iso-8859-1?b?", "=?iso-8859-2?b?", "=?koi8-r?b?"};
constexpr std::array<std::string_view, 5> kQuotedOpenings = {
    "=?unknown?q?", "=?windows-1251?q?", "=?iso-8859-1?q?", "=?iso-8859-2?q?", "=?koi8-r?q?"};

bool ContainsAny(std::string_view text, const std::array<std::string_view, 5>& needles) {
    for (std::string_view needle : needles)
        if (text.find(needle) != std::string_view::npos) return true;
    return false;
}

// The payload of the first encoded word: drop everything up to and including
// the third "?", keep what stands before the fourth. Without a fourth "?" the
// payload is empty. A "?" before the encoded word moves the cut with it.
std::string_view CutPayload(std::string_view text) {
    for (int i = 0; i < 3; ++i) {
        const size_t mark = text.find('?');
        if (mark == std::string_view::npos) return {};
        text.remove_prefix(mark + 1);
    }
    const size_t end = text.find('?');
    if (end == std::string_view::npos) return {};
    return text.substr(0, end);
}

// Value of one escape character after ASCII lowercasing. Hexadecimal digits
// give their value; anything else gives a fixed, meaningless number.
int EscapeDigit(char ch) {
    int code = static_cast<unsigned char>(ch);
    if (code >= 'A' && code <= 'Z') code += 'a' - 'A';
    return code < 58 ? code - 48 : code - 87;
}

// "=" and the two characters after it become one byte; the byte is never
// scanned again. An "=" with fewer than two characters left is kept as it is,
// together with what follows it. An underscore stays an underscore.
std::string QuotedDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] == '=' && text.size() - i >= 3) {
            const int value = 16 * EscapeDigit(text[i + 1]) + EscapeDigit(text[i + 2]);
            out.push_back(static_cast<char>(static_cast<unsigned char>(value & 0xFF)));
            i += 3;
        } else {
            out.push_back(text[i]);
            ++i;
        }
    }
    return out;
}

int Base64Value(char ch) {
    if (ch >= 'A' && ch <= 'Z') return ch - 'A';
    if (ch >= 'a' && ch <= 'z') return ch - 'a' + 26;
    if (ch >= '0' && ch <= '9') return ch - '0' + 52;
    if (ch == '+') return 62;
    if (ch == '/') return 63;
    return 0;
}

}  // namespace

std::string Base64Decode(const std::string& Text) {
    const std::string_view text(Text);
    std::string out;
    out.reserve(text.size() / 4 * 3);
    for (size_t i = 0; text.size() - i >= 4; i += 4) {
        const int a = Base64Value(text[i]);
        const int b = Base64Value(text[i + 1]);
        const int c = Base64Value(text[i + 2]);
        const int d = Base64Value(text[i + 3]);
        out.push_back(static_cast<char>(((a << 2) | (b >> 4)) & 0xFF));
        if (text[i + 2] == '=' && text[i + 3] == '=') continue;
        out.push_back(static_cast<char>(((b << 4) | (c >> 2)) & 0xFF));
        if (text[i + 3] == '=') continue;
        out.push_back(static_cast<char>(((c << 6) | d) & 0xFF));
    }
    return out;
}

std::u16string KoiToWide(const std::string& Text) {
    std::u16string out;
    out.reserve(Text.size());
    for (unsigned char byte : Text) out.push_back(mg::Koi8rToUnicode(byte));
    return out;
}

std::string WideToAnsi(const std::u16string& Text) {
    std::string out;
    out.reserve(Text.size());
    for (char16_t ch : Text) {
        const int byte = mg::UnicodeToCp1251(ch);
        out.push_back(byte < 0 ? '?' : static_cast<char>(byte));
    }
    return out;
}

std::string KoiToAnsi(const std::string& Text) { return WideToAnsi(KoiToWide(Text)); }

std::string DecodeHeaderText(const std::string& Text) {
    const std::string lower = mg::LowerAscii(Text);
    const bool base64 = ContainsAny(lower, kBase64Openings);
    const bool quoted = ContainsAny(lower, kQuotedOpenings);
    const bool koi = lower.find("koi8-r") != std::string::npos;
    if (!base64 && !quoted) return Text;

    std::string text(CutPayload(Text));
    if (quoted) {
        text = QuotedDecode(text);
        if (koi) text = KoiToAnsi(text);
    }
    if (base64) {
        text = Base64Decode(text);
        if (koi) text = KoiToAnsi(text);
    }
    return text;
}
