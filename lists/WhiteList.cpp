#include "lists/WhiteList.h"

#include <algorithm>

#include "lists/TextOrder.h"

namespace mg {

int WhiteList::Find(const std::string& text) const {
    // Entries equal without regard to case are neighbours in the order.
    const auto first = std::lower_bound(entries_.begin(), entries_.end(), text,
                                        [](const std::string& a, const std::string& b) {
                                            return CompareNoCase(a, b) < 0;
                                        });
    if (first != entries_.end() && SameNoCase(*first, text)) return static_cast<int>(first - entries_.begin());
    return -1;
}

int WhiteList::Insert(const std::string& text) {
    const auto at = std::upper_bound(entries_.begin(), entries_.end(), text,
                                     [](const std::string& a, const std::string& b) {
                                         return CompareNoCase(a, b) < 0;
                                     });
    const int index = static_cast<int>(at - entries_.begin());
    entries_.insert(at, text);
    return index;
}

bool WhiteList::AddUnique(const std::string& text) {
    if (Contains(text)) return false;
    Insert(text);
    return true;
}

void WhiteList::RemoveAt(int index) {
    if (index >= 0 && index < Count()) entries_.erase(entries_.begin() + index);
}

std::vector<std::string> TextLines(const std::string& bytes) {
    std::vector<std::string> lines;
    size_t end = bytes.find('\x1a');
    if (end == std::string::npos) end = bytes.size();
    size_t start = 0;
    while (start < end) {
        size_t lf = bytes.find('\n', start);
        if (lf == std::string::npos || lf > end) lf = end;
        size_t stop = lf;
        if (lf < end && stop > start && bytes[stop - 1] == '\r') --stop;
        lines.push_back(bytes.substr(start, stop - start));
        start = lf + 1;
    }
    return lines;
}

void WhiteList::LoadFromBytes(const std::string& bytes) {
    entries_.clear();
    for (const std::string& line : TextLines(bytes)) Insert(line);
}

std::string WhiteList::SaveToBytes() const {
    std::string out;
    for (const std::string& e : entries_) {
        out += e;
        out += "\r\n";
    }
    return out;
}

std::vector<std::string> ScanAddresses(std::string line) {
    auto startDelimiter = [](char c) { return c == '\t' || c == ' ' || c == ',' || c == ';' || c == '<'; };
    auto endDelimiter = [](char c) { return c == '\t' || c == ' ' || c == ',' || c == ';' || c == '>'; };
    std::vector<std::string> found;
    for (size_t at = line.find('@'); at != std::string::npos; at = line.find('@')) {
        size_t start = at;
        while (start > 0 && !startDelimiter(line[start - 1])) --start;
        size_t end = at + 1;  // one past the token
        while (end < line.size() && !endDelimiter(line[end])) ++end;
        std::string token = line.substr(start, end - start);
        line.erase(0, std::min(line.size(), end + 1));
        if (start == at || end == at + 1) continue;  // nothing before or after the "@"
        if (token.find('.', at - start) == std::string::npos) continue;
        found.push_back(std::move(token));
    }
    return found;
}

}  // namespace mg
