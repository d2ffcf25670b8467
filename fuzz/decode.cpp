// Header decoding and the code pages: DecodeHeaderText, DecodeEncodedWords,
// DecodeSubject, Base64Decode and the KOI8-R, Windows-1251 and Unicode
// conversions never fail, never read past their input, and keep their
// length rules; any Windows-1251 text written as UTF-8 words decodes back
// (control characters as blanks).
#include <QByteArray>
#include <QString>
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "decode/Ucoder.h"
#include "platform/codepage.h"
#include "platform/strutil.h"

namespace {

void Check(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "decode: %s\n", what);
    std::abort();
}

// The header lines of the input: split at LF, CR LF ends removed.
std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

// The first byte says how long the text is; the text follows, taken as
// Windows-1251; the bytes after it choose where the UTF-8 form is cut into
// words, each word's encoding and label, and where the header is folded.
void RoundTrip(const uint8_t* data, size_t size) {
    if (size == 0) return;
    const size_t length = std::min<size_t>(data[0], size - 1);
    const std::string text(reinterpret_cast<const char*>(data + 1), length);
    const uint8_t* choice = data + 1 + length;
    size_t choices = size - 1 - length;

    const QByteArray utf8 = mg::FromAnsi(text).toUtf8();
    std::vector<std::string> header = {"Subject:"};
    for (qsizetype at = 0; at < utf8.size();) {
        const unsigned c = choices > 0 ? (--choices, *choice++) : 0x07;
        const qsizetype piece = std::min<qsizetype>(utf8.size() - at, 1 + (c & 0x0F));
        const QByteArray bytes = utf8.mid(at, piece);
        const std::string label = c & 0x40 ? "UTF-8" : (c & 0x80 ? "utf-8*ru" : "utf-8");
        std::string word = "=?" + label;
        if (c & 0x10) {
            word += "?B?" + bytes.toBase64().toStdString();
        } else {
            word += "?q?";
            for (char ch : bytes) word += mg::Format("=%02X", static_cast<unsigned char>(ch));
        }
        word += "?=";
        if (c & 0x20) header.push_back("\t" + word);
        else header.back() += " " + word;
        at += piece;
    }
    header.push_back("");
    header.push_back(".");
    const std::string subject = header[0].size() > 9 ? header[0].substr(9) : "";
    std::string shown = text;  // control characters show as blanks
    for (char& c : shown)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
    Check(DecodeSubject(header, subject) == shown, "UTF-8 words did not decode to their text");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    const std::string decoded = DecodeHeaderText(text);
    const std::string lower = mg::LowerAscii(text);
    if (lower.find("=?") == std::string::npos) Check(decoded == text, "text without an opening changed");
    Check(decoded.size() <= text.size(), "decoded text longer than its input");

    const std::string bytes = Base64Decode(text);
    Check(bytes.size() <= text.size() / 4 * 3, "base64 output too long");
    Check(bytes.size() >= text.size() / 4, "base64 output too short");

    const std::u16string wide = KoiToWide(text);
    Check(wide.size() == text.size(), "KoiToWide changed the length");
    const std::string ansi = WideToAnsi(wide);
    Check(ansi.size() == text.size(), "WideToAnsi changed the length");
    Check(KoiToAnsi(text) == ansi, "KoiToAnsi differs from its two steps");
    for (size_t i = 0; i < text.size(); ++i)
        if (static_cast<unsigned char>(text[i]) < 128) Check(ansi[i] == text[i], "an ASCII byte changed");

    // Every encoded word, any charset.
    bool anyWord = false;
    const std::string words = DecodeEncodedWords(text, &anyWord);
    if (text.find("=?") == std::string::npos) Check(!anyWord && words == text, "text without a word changed");
    if (!anyWord) Check(words == text, "nothing decoded, yet the text changed");

    // The input as a header block: the subject is its last "Subject:" line.
    const std::vector<std::string> header = Lines(text);
    std::string subject;
    for (const std::string& line : header)
        if (line.compare(0, 8, "Subject:") == 0) subject = line.substr(line.size() > 8 && line[8] == ' ' ? 9 : 8);
    const std::string shown = DecodeSubject(header, subject);
    if (text.find("=?") == std::string::npos)
        Check(shown == ShownHeaderValue(subject), "a subject without a word is not its shown value");
    const std::string old = DecodeHeaderText(subject);
    if (old != subject) Check(shown == old, "the old decoder's result was not kept");

    RoundTrip(data, size);

    // Any UTF-16 text, surrogates included, becomes one byte per unit.
    std::u16string units(size / 2, u'\0');
    for (size_t i = 0; i < units.size(); ++i) units[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
    Check(WideToAnsi(units).size() == units.size(), "WideToAnsi of any text changed the length");

    // Widgets see the bytes through a bijection.
    const QString wide16 = mg::FromAnsi(text);
    Check(static_cast<size_t>(wide16.size()) == text.size(), "FromAnsi changed the length");
    Check(mg::ToAnsi(wide16) == text, "ToAnsi(FromAnsi(x)) is not x");
    return 0;
}
