#include "decode/Ucoder.h"

#include <iconv.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

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

// A character's value in the base64 alphabet; -1 outside it.
int Base64Value(char ch) {
    if (ch >= 'A' && ch <= 'Z') return ch - 'A';
    if (ch >= 'a' && ch <= 'z') return ch - 'a' + 26;
    if (ch >= '0' && ch <= '9') return ch - '0' + 52;
    if (ch == '+') return 62;
    if (ch == '/') return 63;
    return -1;
}

// The same, with a character outside the alphabet (such as "=") counting as 0.
int Base64ValueOrZero(char ch) { return std::max(0, Base64Value(ch)); }

}  // namespace

std::string Base64Decode(const std::string& Text) {
    const std::string_view text(Text);
    std::string out;
    out.reserve(text.size() / 4 * 3);
    for (size_t i = 0; text.size() - i >= 4; i += 4) {
        const int a = Base64ValueOrZero(text[i]);
        const int b = Base64ValueOrZero(text[i + 1]);
        const int c = Base64ValueOrZero(text[i + 2]);
        const int d = Base64ValueOrZero(text[i + 3]);
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

// ------------------------------------------------ RFC 2047, any charset

namespace {

// One open conversion from a charset to UTF-32LE per charset name, for the
// length of one decoding; a name iconv does not know is remembered as such.
class Converters {
public:
    Converters() = default;
    Converters(const Converters&) = delete;
    Converters& operator=(const Converters&) = delete;
    ~Converters() {
        for (auto& [name, cd] : open_)
            if (cd != kNone) iconv_close(cd);
    }
    // The conversion for a charset name (lower case, without a language), or
    // nullopt when iconv knows no such charset.
    std::optional<iconv_t> Get(const std::string& charset) {
        for (auto& [name, cd] : open_)
            if (name == charset) return cd == kNone ? std::nullopt : std::optional<iconv_t>(cd);
        iconv_t cd = iconv_open("UTF-32LE", charset.c_str());
        open_.emplace_back(charset, cd);
        return cd == kNone ? std::nullopt : std::optional<iconv_t>(cd);
    }

private:
    static inline const iconv_t kNone = reinterpret_cast<iconv_t>(static_cast<intptr_t>(-1));
    std::vector<std::pair<std::string, iconv_t>> open_;
};

// Characters allowed in a charset name. Narrower than RFC 2047's token: no
// "/", so that nothing after the name can reach iconv as a conversion flag.
bool CharsetChar(char ch) {
    return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') ||
           ch == '-' || ch == '_' || ch == '.' || ch == ':' || ch == '+' || ch == '*';
}

int HexValue(char ch) {
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
    return -1;
}

// "q" payload: "_" is a blank, "=" with two hexadecimal digits one byte. An
// "=" without them makes the word malformed.
bool DecodeQ(std::string_view text, std::string& out) {
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '_') {
            out.push_back(' ');
        } else if (text[i] == '=') {
            if (text.size() - i < 3) return false;
            const int hi = HexValue(text[i + 1]), lo = HexValue(text[i + 2]);
            if (hi < 0 || lo < 0) return false;
            out.push_back(static_cast<char>(hi * 16 + lo));
            i += 2;
        } else {
            out.push_back(text[i]);
        }
    }
    return true;
}

// "b" payload: the base64 alphabet with up to two "=" at the end; missing
// padding is tolerated, a character outside the alphabet or a lone sixth
// bit group is not.
bool DecodeB(std::string_view text, std::string& out) {
    size_t end = text.size();
    for (int pad = 0; pad < 2 && end > 0 && text[end - 1] == '='; ++pad) --end;
    if (end % 4 == 1) return false;
    unsigned acc = 0;
    int bits = 0;
    for (size_t i = 0; i < end; ++i) {
        const int value = Base64Value(text[i]);
        if (value < 0) return false;
        acc = ((acc << 6) | static_cast<unsigned>(value)) & 0xFFFF;
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<char>((acc >> bits) & 0xFF));
        }
    }
    return true;
}

// An encoded word "=?charset?b|q?payload?=" starting at text[at], with the
// charset name lowered and its RFC 2231 language cut off.
struct EncodedWord {
    size_t end = 0;  // one past the closing "?="
    std::string charset;
    std::string bytes;
};

bool ParseWord(std::string_view text, size_t at, EncodedWord& word) {
    const size_t nameStart = at + 2;
    const size_t nameEnd = text.find('?', nameStart);
    if (nameEnd == std::string_view::npos || nameEnd == nameStart || nameEnd - nameStart > 64) return false;
    const std::string_view label = text.substr(nameStart, nameEnd - nameStart);
    for (char ch : label)
        if (!CharsetChar(ch)) return false;
    const std::string_view name = label.substr(0, label.find('*'));
    if (name.empty()) return false;

    if (text.size() - nameEnd < 3 || text[nameEnd + 2] != '?') return false;
    const char encoding = text[nameEnd + 1];
    const size_t payloadStart = nameEnd + 3;
    const size_t payloadEnd = text.find('?', payloadStart);
    if (payloadEnd == std::string_view::npos || payloadEnd + 1 >= text.size() || text[payloadEnd + 1] != '=')
        return false;
    const std::string_view payload = text.substr(payloadStart, payloadEnd - payloadStart);
    if (payload.find_first_of(" \t\r\n") != std::string_view::npos) return false;

    word.bytes.clear();
    const bool ok = (encoding == 'b' || encoding == 'B') ? DecodeB(payload, word.bytes)
                    : (encoding == 'q' || encoding == 'Q') ? DecodeQ(payload, word.bytes)
                                                           : false;
    if (!ok) return false;
    word.charset = mg::LowerAscii(name);
    word.end = payloadEnd + 2;
    return true;
}

// Length of the UTF-8 sequence at the start of bytes as far as it is valid:
// its lead byte and the continuation bytes that still fitted it (of a bad
// sequence the maximal subpart, so that each becomes one "?"). `whole` tells
// whether that is a complete sequence beyond ASCII.
size_t Utf8Length(const unsigned char* bytes, size_t size, bool& whole) {
    const unsigned lead = bytes[0];
    size_t need = 0;
    unsigned low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        need = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        need = 2;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        need = 3;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    }
    size_t length = 1;
    while (length <= need && length < size && bytes[length] >= low && bytes[length] <= high) {
        low = 0x80;
        high = 0xBF;
        ++length;
    }
    whole = need > 0 && length == need + 1;
    return length;
}

// Whether the text is UTF-8 throughout: no overlong form, no surrogate,
// nothing past U+10FFFF, no sequence cut short.
bool ValidUtf8(std::string_view text) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    for (size_t at = 0; at < text.size();) {
        bool whole = false;
        if (bytes[at] < 0x80) {
            ++at;
        } else {
            at += Utf8Length(bytes + at, text.size() - at, whole);
            if (!whole) return false;
        }
    }
    return true;
}

// UTF-32LE characters to Windows-1251, "?" for each the code page lacks. A
// control character (a line end above all) becomes a blank: the subject is
// one line of the list and of the deletion log.
void AppendAnsi(const char* utf32, size_t size, std::string& out) {
    for (size_t i = 0; i + 4 <= size; i += 4) {
        const auto* u = reinterpret_cast<const unsigned char*>(utf32 + i);
        const uint32_t ch = u[0] | (u[1] << 8) | (u[2] << 16) | (static_cast<uint32_t>(u[3]) << 24);
        if (ch < 0x20 || ch == 0x7F) {
            out.push_back(' ');
            continue;
        }
        const int byte = ch <= 0xFFFF ? mg::UnicodeToCp1251(static_cast<char16_t>(ch)) : -1;
        out.push_back(byte < 0 ? '?' : static_cast<char>(byte));
    }
}

// The bytes of a charset through Unicode to Windows-1251. An invalid or
// incomplete sequence becomes one "?" and the conversion goes on after it.
void ConvertToAnsi(iconv_t cd, const std::string& charset, const std::string& bytes, std::string& out) {
    const bool utf8 = charset == "utf-8" || charset == "utf8";
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char* in = const_cast<char*>(bytes.data());
    size_t inLeft = bytes.size();
    char buffer[1024];
    while (inLeft > 0) {
        char* to = buffer;
        size_t toLeft = sizeof buffer;
        const size_t result = iconv(cd, &in, &inLeft, &to, &toLeft);
        const int error = errno;
        AppendAnsi(buffer, static_cast<size_t>(to - buffer), out);
        if (result != static_cast<size_t>(-1) || error == E2BIG) continue;
        out.push_back('?');
        if (error != EILSEQ) break;  // an incomplete sequence at the end
        bool whole = false;
        const size_t skip = utf8 ? Utf8Length(reinterpret_cast<unsigned char*>(in), inLeft, whole) : 1;
        in += skip;
        inLeft -= skip;
    }
    // What a stateful charset still holds.
    char* to = buffer;
    size_t toLeft = sizeof buffer;
    iconv(cd, nullptr, nullptr, &to, &toLeft);
    AppendAnsi(buffer, static_cast<size_t>(to - buffer), out);
}

bool Blank(char ch) { return ch == ' ' || ch == '\t' || ch == '\r' || ch == '\n'; }

}  // namespace

std::string DecodeEncodedWords(const std::string& Text, bool* Decoded) {
    const std::string_view text(Text);
    Converters converters;
    std::string out;
    out.reserve(text.size());
    bool decoded = false;

    // The run of adjacent words of one charset not yet converted.
    std::string runCharset, runBytes;
    iconv_t runCd = nullptr;
    auto flush = [&] {
        if (!runCharset.empty()) ConvertToAnsi(runCd, runCharset, runBytes, out);
        runCharset.clear();
        runBytes.clear();
    };

    size_t plainStart = 0;  // text since the last word, not yet written
    size_t at = 0;
    EncodedWord word;
    while ((at = text.find("=?", at)) != std::string_view::npos) {
        std::optional<iconv_t> cd;
        if (!ParseWord(text, at, word) || !(cd = converters.Get(word.charset))) {
            ++at;
            continue;
        }
        const std::string_view between = text.substr(plainStart, at - plainStart);
        const bool onlyBlanks = std::all_of(between.begin(), between.end(), Blank);
        if (!(decoded && onlyBlanks)) {
            flush();
            out.append(between);
        } else if (word.charset != runCharset) {
            flush();
        }
        runCharset = word.charset;
        runCd = *cd;
        runBytes += word.bytes;
        decoded = true;
        at = plainStart = word.end;
    }
    flush();
    out.append(text.substr(plainStart));
    if (Decoded) *Decoded = decoded;
    return out;
}

std::string ShownHeaderValue(const std::string& Text) {
    std::string text;
    text.reserve(Text.size());
    bool beyondAscii = false;
    for (const char c : Text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '\t')
            text.push_back(' ');
        else if (byte >= 0x20 && byte != 0x7F)
            text.push_back(c);
        beyondAscii = beyondAscii || byte >= 0x80;
    }
    if (!beyondAscii || !ValidUtf8(text)) return text;
    Converters converters;
    const std::optional<iconv_t> cd = converters.Get("utf-8");
    if (!cd) return text;
    std::string out;
    ConvertToAnsi(*cd, "utf-8", text, out);
    return out;
}

std::string DecodeSubject(const std::vector<std::string>& Header, const std::string& Subject) {
    const std::string lower = mg::LowerAscii(Subject);
    if (ContainsAny(lower, kBase64Openings) || ContainsAny(lower, kQuotedOpenings)) return DecodeHeaderText(Subject);

    // The last "Subject:" line, as the summary matched it, and the lines
    // that continue it; unfolding keeps the blank that starts each of them.
    size_t found = Header.size();
    for (size_t i = 0; i < Header.size(); ++i)
        if (Header[i].compare(0, 8, "Subject:") == 0) found = i;
    std::string value = Subject;
    if (found < Header.size()) {
        value = Header[found].substr(8);
        for (size_t i = found + 1; i < Header.size(); ++i) {
            if (Header[i].empty() || (Header[i][0] != ' ' && Header[i][0] != '\t')) break;
            value += Header[i];
        }
        // The blanks around the field's body, a fold right after the colon
        // included, are not part of the subject.
        const size_t first = value.find_first_not_of(" \t");
        value = first == std::string::npos ? std::string() : value.substr(first, value.find_last_not_of(" \t") + 1 - first);
    }
    bool decoded = false;
    const std::string text = DecodeEncodedWords(ShownHeaderValue(value), &decoded);
    return decoded ? text : ShownHeaderValue(Subject);
}
