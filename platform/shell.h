// The desktop's "open" operation: a web address or file by its default
// handler, a saved message by the desktop's program for messages, and the
// user's preferred mail program. Failures show nothing.
#pragma once

#include <functional>
#include <string>

namespace mg {

// Opens `target` (a URL, or a file path) with the desktop's default handler;
// an http(s) address with the browser $BROWSER names first, when it does.
bool ShellOpen(const std::string& target);
// Starts the user's preferred mail program: the desktop's handler for
// mailto: links, by itself (no compose window), else the bare link.
bool ShellStartMailReader();
// Opens a message file (RFC 5322) with the desktop's program for
// message/rfc822, else with the file's default handler.
bool ShellOpenMessage(const std::string& path);

// Tests only: while set, receives every request ("open <target>",
// "message <path>" or "mail") instead of the desktop; its result is returned.
void SetShellForTest(std::function<bool(const std::string& request)> fake);

}  // namespace mg
