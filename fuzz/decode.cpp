// Header decoding and the code pages: DecodeHeaderText, Base64Decode and the
// KOI8-R, Windows-1251 and Unicode conversions never fail, never read past
// their input, and keep their length rules.
#include <QString>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "decode/Ucoder.h"
#include "platform/codepage.h"
#include "platform/strutil.h"

namespace {

void Check(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "decode: %s\n", what);
    std::abort();
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

    // Any UTF-16 text, surrogates included, becomes one byte per unit.
    std::u16string units(size / 2, u'\0');
    for (size_t i = 0; i < units.size(); ++i) units[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
    Check(WideToAnsi(units).size() == units.size(), "WideToAnsi of any text changed the length");

    // Widgets see the bytes through a bijection.
    const QString shown = mg::FromAnsi(text);
    Check(static_cast<size_t>(shown.size()) == text.size(), "FromAnsi changed the length");
    Check(mg::ToAnsi(shown) == text, "ToAnsi(FromAnsi(x)) is not x");
    return 0;
}
