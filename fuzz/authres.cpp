// The Authentication-Results reader and the authserv-id match: any header
// block and any pattern (the input's first line; the rest is the block)
// give a verdict that is consistent with itself, trusted only where the
// pattern names the topmost field's id, with nothing longer than the input.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "lists/AuthResults.h"
#include "platform/strutil.h"

namespace {

void Check(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "authres: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t eol = input.find('\n');
    const std::string pattern = eol == std::string::npos ? "" : input.substr(0, eol);
    const std::string block = eol == std::string::npos ? input : input.substr(eol + 1);

    const mg::DmarcVerdict v = mg::ReadDmarcVerdict(block, pattern);
    Check(v.trusted == mg::AuthservMatches(pattern, v.authservId), "trusted is not the pattern's match");
    Check(v.trusted || (v.result == mg::DmarcVerdict::None && v.domain.empty() && v.text.empty()),
          "an untrusted field gave a verdict");
    Check(v.result != mg::DmarcVerdict::Pass || v.text == "pass", "a pass that says otherwise");
    Check(v.result != mg::DmarcVerdict::Fail || v.text == "fail", "a fail that says otherwise");
    Check(v.authservId.size() + v.domain.size() <= block.size() && v.text.size() <= block.size(),
          "a part longer than the block");
    for (const std::string* part : {&v.authservId, &v.domain, &v.text})
        Check(part->find('\n') == std::string::npos, "a line end in a part");

    // The id trusts itself, in any letter case, and the verdict is read the same.
    if (!v.authservId.empty() && mg::Trim(v.authservId) == v.authservId && v.authservId.compare(0, 2, "*.") != 0) {
        const mg::DmarcVerdict again = mg::ReadDmarcVerdict(block, mg::UpperAscii(v.authservId));
        Check(again.trusted && again.authservId == v.authservId, "the id does not trust itself");
        if (v.trusted) Check(again.result == v.result && again.domain == v.domain, "the verdict changed");
    }
    // A wildcard names a host below the rest, never the rest itself.
    if (pattern.size() > 2 && pattern.compare(0, 2, "*.") == 0)
        Check(!mg::AuthservMatches(pattern, pattern.substr(2)), "a wildcard named its bare domain");
    return 0;
}
