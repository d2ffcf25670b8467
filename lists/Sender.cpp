#include "lists/Sender.h"

#include "decode/Ucoder.h"
#include "platform/strutil.h"

namespace mg {

SenderKeys DeriveSender(const std::string& fromValue) {
    const std::string lower = LowerAscii(ShownHeaderValue(fromValue));
    SenderKeys keys;
    const size_t lt = lower.find('<');
    if (lt == std::string::npos) {
        keys.Address = lower;
    } else if (lt + 1 < lower.size()) {
        keys.Address = lower.substr(lt + 1, lower.size() - 1 - (lt + 1));
    }
    const size_t at = keys.Address.find('@');
    if (at == std::string::npos) {
        keys.Server = keys.Address;
    } else {
        keys.User = keys.Address.substr(0, at);
        keys.Server = keys.Address.substr(at);
    }
    const size_t start = keys.User.find_first_not_of(" \t");
    keys.User.erase(0, start == std::string::npos ? keys.User.size() : start);
    return keys;
}

}  // namespace mg
