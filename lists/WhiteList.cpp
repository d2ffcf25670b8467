#include "lists/WhiteList.h"

#include <algorithm>
#include <iterator>
#include <unordered_set>

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

bool DataAfterEndMark(const std::string& bytes) {
    const size_t mark = bytes.find('\x1a');
    return mark != std::string::npos && bytes.find_first_not_of('\x1a', mark) != std::string::npos;
}

void WhiteList::LoadFromBytes(const std::string& bytes) {
    // One sort rather than an insertion per line, which would take time in
    // the square of the file's size. Stable, so equal lines keep their order
    // as the insertions after equal entries would.
    entries_ = TextLines(bytes);
    std::stable_sort(entries_.begin(), entries_.end(),
                     [](const std::string& a, const std::string& b) { return CompareNoCase(a, b) < 0; });
}

int WhiteList::AddUnique(const std::vector<std::string>& texts) {
    std::vector<std::string> added;
    std::unordered_set<std::string> seen;  // case-folded
    for (const std::string& text : texts)
        if (!Contains(text) && seen.insert(FoldCase(text)).second) added.push_back(text);
    const auto less = [](const std::string& a, const std::string& b) { return CompareNoCase(a, b) < 0; };
    std::stable_sort(added.begin(), added.end(), less);
    std::vector<std::string> merged;
    merged.reserve(entries_.size() + added.size());
    std::merge(std::make_move_iterator(entries_.begin()), std::make_move_iterator(entries_.end()),
               std::make_move_iterator(added.begin()), std::make_move_iterator(added.end()),
               std::back_inserter(merged), less);
    entries_ = std::move(merged);
    return static_cast<int>(added.size());
}

std::string WhiteList::SaveToBytes() const {
    std::string out;
    for (const std::string& e : entries_) {
        out += e;
        out += "\r\n";
    }
    return out;
}

std::vector<std::string> ScanAddresses(const std::string& line) {
    auto startDelimiter = [](char c) { return c == '\t' || c == ' ' || c == ',' || c == ';' || c == '<'; };
    auto endDelimiter = [](char c) { return c == '\t' || c == ' ' || c == ',' || c == ';' || c == '>'; };
    std::vector<std::string> found;
    // The rest of the line starts at `rest`: what comes before it, up to the
    // character after the last token, is used up.
    size_t rest = 0;
    for (size_t at = line.find('@'); at != std::string::npos; at = line.find('@', rest)) {
        size_t start = at;
        while (start > rest && !startDelimiter(line[start - 1])) --start;
        size_t end = at + 1;  // one past the token
        while (end < line.size() && !endDelimiter(line[end])) ++end;
        rest = std::min(line.size(), end + 1);
        if (start == at || end == at + 1) continue;  // nothing before or after the "@"
        if (line.find('.', at) >= end) continue;     // no "." after the "@"
        found.push_back(line.substr(start, end - start));
    }
    return found;
}

}  // namespace mg
