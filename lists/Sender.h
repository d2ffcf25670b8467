// The keys the lists are searched by, derived from a message's "From:" value.
#pragma once

#include <string>

namespace mg {

struct SenderKeys {
    std::string Address;  // lower-cased sender address
    std::string User;     // before the first "@" (empty when there is none)
    std::string Server;   // from the first "@" on (the whole address when there is none)
};

// Takes the value as it is shown (ShownHeaderValue: control characters out,
// raw UTF-8 in Windows-1251), so that what the lists match is what the user
// sees; lower-cases A to Z, takes the text after the first "<" up to but not
// including the last character when there is a "<" (else the whole value),
// and splits it at its first "@". Blanks and TABs at the start of the user
// part are dropped: the list file could not carry them.
SenderKeys DeriveSender(const std::string& fromValue);

}  // namespace mg
