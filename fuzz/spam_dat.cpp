// spam.dat loader: any bytes either load or stop with the loader's own error,
// and whatever loads saves to bytes that load back to the same tree.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <string>

#include "lists/SpamTree.h"
#include "platform/errors.h"

namespace {

void Check(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "spam.dat round trip: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    mg::SpamTree tree;
    try {
        tree.LoadFromBytes(bytes);
    } catch (const Exception& e) {
        Check(e.Message == "File load error" || e.Message == "Line too long", "unexpected load error");
        return 0;
    }
    for (int n = 1; n <= tree.Count(); ++n) {
        Check(tree.Depth(n) >= 1, "depth below 1");
        Check(n == 1 || tree.Depth(n) <= tree.Depth(n - 1) + 1, "a node deeper than its predecessor's child");
    }
    const std::string saved = tree.SaveToBytes();
    mg::SpamTree again;
    try {
        again.LoadFromBytes(saved);
    } catch (const Exception&) {
        Check(false, "saved bytes do not load");
    }
    Check(again.Count() == tree.Count(), "node count changed");
    for (int n = 1; n <= tree.Count(); ++n) {
        Check(again.Text(n) == tree.Text(n), "node text changed");
        Check(again.Depth(n) == tree.Depth(n), "node depth changed");
    }
    Check(again.SaveToBytes() == saved, "second save differs");
    // The views and look-ups over whatever was loaded.
    (void)mg::BuildServerList(tree);
    if (tree.Count() > 0) {
        const std::string& text = tree.Text(1);
        (void)tree.FindServerNode(text.size() > 1 ? text.substr(1) : text);
        (void)tree.UserListed(text, text);
    }
    return 0;
}
