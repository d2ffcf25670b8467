// white.dat reader and the import's address scan: the lines of any bytes load
// into a sorted list that saves to bytes loading back to the same entries;
// every address the scan takes has an "@" with text before it and a "." after.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "lists/TextOrder.h"
#include "lists/WhiteList.h"

namespace {

void Check(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "white.dat: %s\n", what);
    std::abort();
}

bool Delimiter(char c) { return c == '\t' || c == ' ' || c == ',' || c == ';'; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);

    const std::vector<std::string> lines = mg::TextLines(bytes);
    for (const std::string& line : lines) {
        Check(line.find('\n') == std::string::npos, "a line holds a line feed");
        Check(line.find('\x1a') == std::string::npos, "a line holds the byte 26");
    }

    mg::WhiteList list;
    list.LoadFromBytes(bytes);
    Check(list.Entries() == [&] {
        std::vector<std::string> sorted = lines;
        std::stable_sort(sorted.begin(), sorted.end(),
                         [](const std::string& a, const std::string& b) { return mg::CompareNoCase(a, b) < 0; });
        return sorted;
    }(), "entries are not the file's lines in stable sorted order");
    for (const std::string& e : list.Entries()) Check(list.Contains(e), "an entry is not found");

    const std::string saved = list.SaveToBytes();
    mg::WhiteList again;
    again.LoadFromBytes(saved);
    Check(again.Entries() == list.Entries(), "entries changed by a save and a load");
    Check(again.SaveToBytes() == saved, "second save differs");

    // The import over the same bytes: address by address, and all at once.
    mg::WhiteList imported = list;
    mg::WhiteList batch = list;
    std::vector<std::string> all;
    for (const std::string& line : lines) {
        for (const std::string& address : mg::ScanAddresses(line)) {
            const size_t at = address.find('@');
            Check(at != std::string::npos && at > 0, "an address without text before its @");
            Check(address.find('.', at) != std::string::npos, "an address without a dot after its @");
            Check(line.find(address) != std::string::npos, "an address that is not in its line");
            for (char c : address) Check(!Delimiter(c), "an address holding a delimiter");
            imported.AddUnique(address);
            all.push_back(address);
            Check(imported.Contains(address), "an imported address is not found");
        }
    }
    batch.AddUnique(all);
    Check(batch.Entries() == imported.Entries(), "a batch import differs from one address after the other");
    for (size_t i = 1; i < imported.Entries().size(); ++i)
        Check(mg::CompareNoCase(imported.Entries()[i - 1], imported.Entries()[i]) <= 0, "entries out of order");
    return 0;
}
