// How a message line is marked: by the black and white lists, and by the
// provider's verdict on the sender.
#pragma once

#include <string>

#include "lists/AuthResults.h"

namespace mg {

class SpamTree;
class WhiteList;
struct SenderKeys;

// What the lists say of a sender. The four tests of a scan are made in turn
// (whole server black-listed, user black-listed, server white-listed,
// address white-listed) and a white test that succeeds wins over a black one.
enum class Listed { None, Black, White };
Listed ClassifySender(const SpamTree& spam, const WhiteList& white, const SenderKeys& keys);

struct LineMark {
    // Nine characters that replace the size column, or empty: the line
    // keeps its size.
    std::string mark;
    bool checked = false;
    bool enabled = true;
    bool operator==(const LineMark&) const = default;
};

// The mark, check and enabled state of a line:
//   not forged: white " <WHITE> " unchecked and disabled; black " <SPAM>  "
//     checked; otherwise no mark, unchecked, enabled;
//   forged (dmarc=fail): black " <SPAM>  " checked; white or not listed
//     " <FAKE>  ", unchecked and enabled, so that the user decides. A forged
//     sender on both lists counts as white, as everywhere else, and reads
//     " <FAKE>  ": the white entry no longer protects the message, but an
//     honest message can fail (a mailing list rewrites it), and the user
//     trusted this sender more than the black list.
LineMark MarkLine(Listed listed, DmarcVerdict::Result verdict);

}  // namespace mg
