#include "platform/profile.h"

#include <QByteArray>
#include <QString>
#include <vector>

#include "platform/codepage.h"

#include "platform/files.h"
#include "platform/strutil.h"

namespace mg {
namespace {

std::vector<std::string> SplitLines(const std::string& data) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < data.size()) {
        size_t end = data.find('\n', start);
        if (end == std::string::npos) end = data.size();
        std::string line = data.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(std::move(line));
        start = end + 1;
    }
    return lines;
}

std::string TrimBlanks(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
    return s.substr(b, e - b);
}

// The section name of a "[name]" line, or false.
bool SectionName(const std::string& line, std::string& name) {
    const std::string t = TrimBlanks(line);
    if (t.size() < 2 || t.front() != '[') return false;
    const size_t close = t.find(']');
    if (close == std::string::npos) return false;
    name = TrimBlanks(t.substr(1, close - 1));
    return true;
}

// Key and value of a "key=value" line, or false.
bool KeyValue(const std::string& line, std::string& key, std::string& value) {
    const size_t eq = line.find('=');
    if (eq == std::string::npos) return false;
    key = TrimBlanks(line.substr(0, eq));
    value = TrimBlanks(line.substr(eq + 1));
    return true;
}

}  // namespace

std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& defaultValue, const std::string& path) {
    std::string data;
    if (!ReadWholeFile(path, data)) return defaultValue;
    bool inSection = false;
    for (const std::string& line : SplitLines(data)) {
        std::string name;
        if (SectionName(line, name)) {
            inSection = EqualsNoCase(name, section);
            continue;
        }
        std::string k, v;
        if (inSection && KeyValue(line, k, v) && EqualsNoCase(k, key)) {
            if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
                v = v.substr(1, v.size() - 2);
            return v;
        }
    }
    return defaultValue;
}

bool WritePrivateProfileString(const std::string& section, const std::string& key, const std::string& value,
                               const std::string& path) {
    std::string data;
    ReadWholeFile(path, data);
    std::vector<std::string> lines = SplitLines(data);
    const std::string entry = key + "=" + value;
    long sectionLine = -1, lastInSection = -1;
    bool done = false;
    for (size_t i = 0; i < lines.size() && !done; ++i) {
        std::string name;
        if (SectionName(lines[i], name)) {
            if (sectionLine >= 0) break;  // past the end of our section
            if (EqualsNoCase(name, section)) sectionLine = lastInSection = static_cast<long>(i);
            continue;
        }
        if (sectionLine < 0) continue;
        std::string k, v;
        if (KeyValue(lines[i], k, v) && EqualsNoCase(k, key)) {
            lines[i] = entry;
            done = true;
        } else if (!TrimBlanks(lines[i]).empty()) {
            lastInSection = static_cast<long>(i);
        }
    }
    if (!done) {
        if (sectionLine < 0) {
            if (!lines.empty() && !TrimBlanks(lines.back()).empty()) lines.emplace_back();
            lines.push_back("[" + section + "]");
            lines.push_back(entry);
        } else {
            lines.insert(lines.begin() + lastInSection + 1, entry);
        }
    }
    std::string out;
    for (const std::string& line : lines) out += line + "\r\n";
    return WriteFileAtomic(path, out, 0600, true);
}

bool DeletePrivateProfileSection(const std::string& section, const std::string& path) {
    std::string data;
    if (!ReadWholeFile(path, data)) return true;  // nothing to remove
    std::vector<std::string> kept;
    bool inSection = false, found = false;
    for (const std::string& line : SplitLines(data)) {
        std::string name;
        if (SectionName(line, name)) inSection = EqualsNoCase(name, section);
        found = found || inSection;
        if (!inSection) kept.push_back(line);
    }
    if (!found) return true;
    while (!kept.empty() && TrimBlanks(kept.back()).empty()) kept.pop_back();
    std::string out;
    for (const std::string& line : kept) out += line + "\r\n";
    return WriteFileAtomic(path, out, 0600, true);
}

namespace {
const std::string kWordStart = "=?UTF-8?B?";
const std::string kWordEnd = "?=";

bool EncodedWord(const std::string& value) {
    return value.size() >= kWordStart.size() + kWordEnd.size() && value.compare(0, kWordStart.size(), kWordStart) == 0 &&
           value.compare(value.size() - kWordEnd.size(), kWordEnd.size(), kWordEnd) == 0;
}
}  // namespace

std::string ProfileText(const std::string& utf8) {
    const QString text = QString::fromStdString(utf8);
    const std::string ansi = ToAnsi(text);
    const bool exact = FromAnsi(ansi) == text && ansi.find_first_of("\r\n") == std::string::npos &&
                       TrimBlanks(ansi) == ansi && !(ansi.size() >= 2 && ansi.front() == '"' && ansi.back() == '"') &&
                       !EncodedWord(ansi);
    if (exact) return ansi;
    return kWordStart + QByteArray::fromStdString(utf8).toBase64().toStdString() + kWordEnd;
}

std::string TextOfProfile(const std::string& value) {
    if (!EncodedWord(value)) return FromAnsi(value).toStdString();
    const std::string data = value.substr(kWordStart.size(), value.size() - kWordStart.size() - kWordEnd.size());
    return QByteArray::fromBase64(QByteArray::fromStdString(data)).toStdString();
}

}  // namespace mg
