// What a mailbox session reports, in the words the window shows: the status
// bar's texts for the session's events, and the texts of the boxes that
// follow a deletion run or a lost session. Windows-1251; no widgets.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "lists/AuthResults.h"
#include "mailbox/MailboxSession.h"

namespace mg {

// Binds the session's status events to `show` with their texts ("Сервер
// найден", "Соединение установлено", "Прием закончен. Новых сообщений: N",
// ...); `busy` is told when a retrieval starts (true) and ends.
void ReportStatus(MailboxSession& session, std::function<void(const std::string& text)> show,
                  std::function<void(bool busy)> busy);

// `head`, the count, and the first ten of the lines (without their size
// column), "... и еще N" for the rest.
std::string LinesReport(const TMessageLines& lines, const std::string& head, const std::vector<int>& rows);
// Messages that could not be kept in the bin and stay on the server.
std::string KeptOnServerReport(const TMessageLines& lines, const std::vector<int>& rows, const std::string& reason);
// Lines of a last scan whose messages "UIDL n" no longer confirms.
std::string NotConfirmedReport(const TMessageLines& lines, const std::vector<int>& rows);
// Deletions the server did not carry out; `reason`: the error that ended
// the session, when known.
std::string LossReport(const MailboxSession::Loss& loss, const std::string& reason);

// The provider's verdict on a message in one line, for the details dialog:
// the result, the From: domain and the authserv-id (`judged`: the topmost
// field's verdict under the mailbox's AUTHSERV; `from`: the From: value).
std::string VerdictLine(const DmarcVerdict& judged, const std::string& from);

}  // namespace mg
