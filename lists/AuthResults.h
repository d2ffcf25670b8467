// The receiving provider's DMARC verdict on a message, read from the
// Authentication-Results field (RFC 8601) that the provider prepends at
// delivery.
//
// Only the topmost Authentication-Results field of a header block is read,
// and its verdict counts only when its authserv-id is the one the mailbox
// trusts: every field below it was written by someone else on the way, the
// sender included, and is never looked at.
#pragma once

#include <string>
#include <string_view>

namespace mg {

// Whether an authserv-id is the one `pattern` names, without regard to the
// case of A to Z. A pattern "*.rest" names any id that ends in ".rest" with
// at least one character before that dot ("*.mail.example" names
// "mx1.mail.example" but not "mail.example" itself, as a certificate's
// wildcard would not). Blanks around the pattern are ignored; an empty
// pattern or id names nothing.
bool AuthservMatches(std::string_view pattern, std::string_view authservId);

struct DmarcVerdict {
    enum Result { None, Pass, Fail };
    // Fail: the trusted field says dmarc=fail (the sender is forged). Pass:
    // it says dmarc=pass. None: no trusted field, or its dmarc result is
    // missing or anything else (none, temperror, permerror, ...).
    Result result = None;
    // The authserv-id of the topmost field whether trusted or not, so that
    // it can be shown and offered for trust; empty when the block has no
    // such field or the field names none.
    std::string authservId;
    bool trusted = false;  // authservId matches the mailbox's pattern
    // Of the trusted field's dmarc result: the header.from domain (the
    // text after the last "@" when an address is written) and the result
    // word in lower case ("fail", "temperror"); empty when there is none.
    std::string domain;
    std::string text;
};

// Reads the verdict from a header block as the server sent it: bytes, lines
// ending in CR LF or LF; the block ends at its first empty line. `authserv`
// is the mailbox's pattern (AuthservMatches); an empty one trusts no field.
// Where the field's trusted part holds more than one dmarc result, a fail
// wins over a pass, which wins over anything else.
//
// Lenient where the grammar breaks: a result that does not parse is skipped
// up to the next ";" outside comments and quoted strings (the no-result
// "none" gives nothing this way), and a field whose authserv-id is not
// followed by ";" or its end names no id and gives no verdict.
//
// Work is linear in the block's size and nothing grows beyond it: comments
// nest by a counter, not by recursion.
DmarcVerdict ReadDmarcVerdict(const std::string& rawHeaderBlock, const std::string& authserv);

// The topmost field's verdict whatever its authserv-id (trusted is false):
// what a message line keeps, so that a change of the mailbox's pattern
// judges it again without its header block.
DmarcVerdict ReadTopmostVerdict(const std::string& rawHeaderBlock);
// That verdict under a pattern: as ReadDmarcVerdict would have read it.
DmarcVerdict Trust(DmarcVerdict topmost, std::string_view authserv);

}  // namespace mg
