// The list-editing commands that start from message lines: they take a
// line's header block through the mailbox's session, ask the user through
// mg::Dialogs, edit the lists and mark the lines. Jobs of the session.
#pragma once

#include <functional>

#include "lists/SpamTree.h"
#include "lists/WhiteList.h"
#include "mailbox/MailboxSession.h"
#include "platform/task.h"

namespace mg {

// "Добавить в СПАМ": the sender of every checked, enabled line not marked
// as spam yet, each after a question (or "Да для всех"), a server not yet
// listed after one more (whole server, or the users listed); the lines are
// marked and checked. `serverAdded` gets each server node made.
Task<> AddCheckedToBlackList(MailboxSession& session, SpamTree& spam,
                             std::function<void(const ServerEntry& added)> serverAdded);
// "Добавить в БЕЛЫЙ": the sender of line `index` (its address, or its whole
// server after a question when the server is not black-listed); the line
// is marked, unchecked and disabled. False when nothing was added.
Task<bool> AddToWhiteList(MailboxSession& session, const SpamTree& spam, WhiteList& white, int index);

}  // namespace mg
