#include "lists/LineMark.h"

#include "lists/Sender.h"
#include "lists/SpamTree.h"
#include "lists/WhiteList.h"

namespace mg {

Listed ClassifySender(const SpamTree& spam, const WhiteList& white, const SenderKeys& keys) {
    if (white.Contains(keys.Server) || white.Contains(keys.Address)) return Listed::White;
    if (spam.WholeServerListed(keys.Server) || spam.UserListed(keys.User, keys.Server)) return Listed::Black;
    return Listed::None;
}

LineMark MarkLine(Listed listed, DmarcVerdict::Result verdict) {
    if (listed == Listed::Black) return {" <SPAM>  ", true, true};
    if (verdict == DmarcVerdict::Fail) return {" <FAKE>  ", false, true};
    if (listed == Listed::White) return {" <WHITE> ", false, false};
    return {};
}

}  // namespace mg
