#include "lists/TextOrder.h"

#include <array>

#include "platform/codepage.h"

namespace mg {
namespace {

struct Tables {
    std::array<unsigned char, 256> fold{};
    std::array<char16_t, 256> key{};  // Unicode of the folded byte, for ordering
};

const Tables& GetTables() {
    static const Tables tables = [] {
        Tables t;
        for (int b = 0; b < 256; ++b) {
            const QChar lower = QChar(Cp1251ToUnicode(static_cast<unsigned char>(b))).toLower();
            const int back = UnicodeToCp1251(lower.unicode());
            t.fold[static_cast<size_t>(b)] = static_cast<unsigned char>(back < 0 ? b : back);
            t.key[static_cast<size_t>(b)] = Cp1251ToUnicode(t.fold[static_cast<size_t>(b)]);
        }
        return t;
    }();
    return tables;
}

}  // namespace

unsigned char FoldCase(unsigned char byte) { return GetTables().fold[byte]; }

std::string FoldCase(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(FoldCase(static_cast<unsigned char>(c)));
    return out;
}

int CompareNoCase(std::string_view a, std::string_view b) {
    const Tables& t = GetTables();
    const size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        const char16_t x = t.key[static_cast<unsigned char>(a[i])];
        const char16_t y = t.key[static_cast<unsigned char>(b[i])];
        if (x != y) return x < y ? -1 : 1;
    }
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

bool SameNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    const Tables& t = GetTables();
    for (size_t i = 0; i < a.size(); ++i)
        if (t.fold[static_cast<unsigned char>(a[i])] != t.fold[static_cast<unsigned char>(b[i])]) return false;
    return true;
}

}  // namespace mg
