// TVantelPOP3: the POP3 client component. Logs on and off, lists the mailbox,
// fetches the header block of a message into its TSummary and deletes
// messages, over the line transport of TTidewire. Every operation blocks on
// the GUI thread while the transport pumps events; a busy flag keeps nested
// List, GetSummary and DeleteMessage calls from interleaving on the wire.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "net/Tidewire.h"

// An ordered list of strings.
using TExStringList = std::vector<std::string>;

// One line of the mailbox listing: message number and size in octets.
using TListEvent = std::function<void(int32_t Msg, int32_t Size)>;
using TVarFileNameEvent = std::function<void(std::string& FileName)>;

// What GetSummary takes from a message's header block.
class TSummary : public TObject {
public:
    std::string Subject;
    std::string From;
    std::string MessageId;  // with the line end as received
    int32_t Bytes = 0;
    TExStringList Header;   // the block's lines without line ends, then "."
};

class TVantelPOP3 : public TTidewire {
public:
    explicit TVantelPOP3(TComponent* owner = nullptr);
    ~TVantelPOP3() override;

    void Connect() override;
    void Disconnect() override;
    void Abort() override;

    void List();
    void GetSummary(int32_t MailNumber);
    void DeleteMessage(int32_t MailNumber);
    // Sends "NOOP" to keep an idle session open. Obeys the busy flag like
    // DeleteMessage: returns false without sending anything while another
    // operation (or the log-off) holds the component, or when not connected.
    // A refused NOOP logs off (QUIT) and raises the reply; a connection that
    // is gone raises as any other operation does.
    bool Noop();
    // Whether the last session ended with a positive reply to QUIT, the only
    // end at which the server carries out the deletions it accepted. Cleared
    // when a connection is opened; set before the close that follows the
    // reply, so an OnDisconnect handler can read it.
    bool QuitAccepted() const { return quitAccepted_; }

    int32_t MailCount() const { return mailCount_; }
    const TSummary& Summary() const { return summary_; }

    // Published properties.
    std::string UserID;
    bool Parse = false;
    std::string Password;
    bool DeleteOnRead = false;
    const std::string& AttachFilePath() const { return attachFilePath_; }
    // Appends "\" unless the value already ends in one; an empty value stays
    // empty (no path rather than the root).
    void SetAttachFilePath(const std::string& value);

    // Hides the transport's OnConnect: fires when the log-on has succeeded.
    TNotifyEvent OnConnect;
    THandlerEvent OnAuthenticationNeeded;
    THandlerEvent OnAuthenticationFailed;
    TNotifyEvent OnReset;
    TListEvent OnList;
    TNotifyEvent OnRetrieveStart;
    TNotifyEvent OnRetrieveEnd;
    TNotifyEvent OnSuccess;
    TNotifyEvent OnFailure;
    TVarFileNameEvent OnDecodeStart;
    TNotifyEvent OnDecodeEnd;

private:
    // Sends a command and returns its reply; a connection the server closed
    // instead of answering ends the operation with its own error.
    std::string Command(const std::string& line);
    // The next line of a multi-line reply, with the same rule.
    std::string NextLine();
    [[noreturn]] void ClosedByServer();
    bool LogonCheck(const std::string& reply, int& attempts);

    int32_t mailCount_ = 0;
    bool busy_ = false;
    bool quitAccepted_ = false;
    bool noopWaiting_ = false;  // a NOOP awaits its reply; cleared when a log-off reads it
    std::string attachFilePath_;
    TSummary summary_;
};

namespace mg {

// Field n (from 1) of a POP3 reply line: the text between the (n-1)-th and
// the n-th space; the last field keeps the line end. Empty when the line has
// fewer fields.
std::string Pop3Field(const std::string& line, int n);

// A reply is positive when its first field contains "+OK".
bool Pop3Positive(const std::string& reply);

}  // namespace mg
