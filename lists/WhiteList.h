// The white list: entries (sender addresses or server keys such as
// "@host.example") kept in case-insensitive ascending order.
#pragma once

#include <string>
#include <vector>

namespace mg {

class WhiteList {
public:
    const std::vector<std::string>& Entries() const { return entries_; }
    int Count() const { return static_cast<int>(entries_.size()); }
    void Clear() { entries_.clear(); }

    // Index of an entry equal to `text` without regard to letter case, or -1.
    int Find(const std::string& text) const;
    bool Contains(const std::string& text) const { return Find(text) >= 0; }

    // Inserts at the sorted place (after equal entries), duplicates allowed;
    // returns the index.
    int Insert(const std::string& text);
    // Inserts unless an equal entry exists; false when it was there.
    bool AddUnique(const std::string& text);
    // Adds each text that no entry equals, nor an earlier text of `texts`,
    // without regard to letter case: the list one AddUnique after the other
    // would give, in time that grows with the sizes, not their product.
    // Returns how many were added.
    int AddUnique(const std::vector<std::string>& texts);
    void RemoveAt(int index);

    // Reads one entry per line (LF or CR LF ends a line, byte 26 ends the
    // data, nothing trimmed, blank lines are empty entries).
    void LoadFromBytes(const std::string& bytes);
    // Every entry followed by CR LF, in order.
    std::string SaveToBytes() const;

private:
    std::vector<std::string> entries_;
};

// Splits text into lines the way a text file is read: a line ends at LF or
// CR LF, the byte 26 ends the text, a last line without an end counts.
std::vector<std::string> TextLines(const std::string& bytes);

// Whether reading stops at a byte 26 before the end of the data: something
// other than more bytes 26 stands after the first one. Such a file was not
// read completely, and writing its list back would lose the rest.
bool DataAfterEndMark(const std::string& bytes);

// The e-mail addresses an import takes from one line, left to right.
std::vector<std::string> ScanAddresses(const std::string& line);

}  // namespace mg
