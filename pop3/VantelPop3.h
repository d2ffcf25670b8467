// TVantelPOP3: the POP3 client component. Logs on and off, lists the mailbox,
// fetches the header block of a message into its TSummary and deletes
// messages, over the line transport of TTidewire. Every operation is a task
// that waits for the server without blocking the thread; one runs at a time:
// while one holds the busy flag, List, GetSummary, DeleteMessage and Noop
// return at once, doing nothing.
//
// Each reply is read whole before it is judged. A refusal raises an error
// with the server's reply line, its line end dropped (as in the status
// texts). An error in the middle of a multi-line reply, or a reply the
// component cannot read, leaves the rest of the server's answer unknown: the
// connection is then closed without QUIT.
//
// Nothing the server says is trusted for memory or time. Besides the
// transport's time-out for each wait and its limit on a line, every
// multi-line reply has a limit of its own on the octets of its lines (a line
// end counted as CR LF, a stuffed "." not at all) and a pace it must keep:
// all of it within the time-out plus a millisecond for each octet received
// (some 1 KB/s once the time-out's allowance is spent). A
// reply over its limit or behind its pace is cut (EReplyCut): the connection
// closes without QUIT, and nothing of it beyond the limit is read.
#pragma once

#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "net/Tidewire.h"

// An operation stopped by Stop() before its next command.
class EStopped : public Exception {
public:
    EStopped() : Exception("Stopped") {}
};

// A multi-line reply was over its limit or too slow: the connection has been
// closed without QUIT. The message (Windows-1251) names the command and why.
class EReplyCut : public Exception {
public:
    using Exception::Exception;
};

// The server refused the log-on (USER or PASS): "Authentication failed",
// the server's text after a colon, and on a line of its own the advice its
// response code carries; StatusText is the same on one line.
class EAuthenticationFailed : public Exception {
public:
    EAuthenticationFailed(std::string message, std::string statusText)
        : Exception(std::move(message)), StatusText(std::move(statusText)) {}
    std::string StatusText;
};

// The server refused the access token of an XOAUTH2 log-on, at once or after
// an error challenge: a fresh token may do. Texts as for a refused password.
class ETokenRefused : public EAuthenticationFailed {
public:
    using EAuthenticationFailed::EAuthenticationFailed;
};

// An ordered list of strings.
using TExStringList = std::vector<std::string>;

// One line of the mailbox listing: message number and size in octets.
using TListEvent = std::function<void(int32_t Msg, int32_t Size)>;
using TVarFileNameEvent = std::function<void(std::string& FileName)>;

// What GetSummary takes from a message's header block.
class TSummary : public TObject {
public:
    std::string Subject;
    // The last "From:" field, its name in any letter case, unfolded: the
    // lines that continue it are joined on, each with the blank or tab it
    // starts with.
    std::string From;
    std::string MessageId;  // with the line end as received
    int32_t Bytes = 0;
    TExStringList Header;   // the block's lines without line ends, then "."
    // The block exactly as the server sent it: its lines with their line
    // ends, without the "." line.
    std::string Raw;
};

namespace mg {
// A server's text made fit to show: valid UTF-8 beyond ASCII becomes
// Windows-1251 ("?" for what it lacks); anything else stays as it is.
std::string ShownReplyText(const std::string& text);
// One line of advice (Windows-1251) for the response code of a negative
// reply ("-ERR [IN-USE] ..."), RFC 2449 and 3206; empty when it has none
// this program knows.
std::string RefusalAdvice(const std::string& reply);
// `shown`, with the reply's advice on a line of its own after it.
std::string RefusalMessage(const std::string& shown, const std::string& reply);
// The summary of a header block as the server sent it (TSummary::Raw): the
// same fields GetSummary fills from the same lines.
TSummary SummaryOfBlock(const std::string& raw, int32_t bytes);
}  // namespace mg

class TVantelPOP3 : public TTidewire {
public:
    explicit TVantelPOP3(TComponent* owner = nullptr);
    ~TVantelPOP3() override;

    // A header block ("TOP n 0") holds at most this many octets: real ones
    // are a few KiB, with long trace and signature fields some tens.
    static constexpr size_t kMaxHeaderBytes = 512 * 1024;
    // CAPA's answer: a few hundred octets in practice.
    static constexpr size_t kMaxCapaBytes = 64 * 1024;
    // A listing (LIST, UIDL) holds one line per message STAT counted, at most
    // this many octets each on average ("n size" or "n id" with an id of at
    // most 70 characters is under 90).
    static constexpr size_t kMaxListingLineBytes = 256;

    mg::Task<> Connect() override;
    // Logs off: QUIT, then closes. While another operation holds the
    // component it closes at once instead, without QUIT: the waiting
    // operation then fails on the closed connection.
    mg::Task<> Disconnect();
    void Abort() override;
    // Ending a session: closes the connection at once, without QUIT, when an
    // operation waits for any reply but one to DELE, QUIT or NOOP (those
    // decide what the server carries out, and keep their time-out); the
    // waiting operation then fails as after Abort. True when it closed.
    bool CutOperation();

    // The listing: one OnList per line. A listing of more lines than
    // MailCount is cut at the first line too many; one of fewer raises once
    // it has been read (the session stays in step).
    mg::Task<> List();
    // TOP n 0, then LIST n for the size; with the size known (from the
    // listing), TOP alone.
    mg::Task<> GetSummary(int32_t MailNumber, std::optional<int32_t> knownSize = std::nullopt);
    // UIDL (RFC 1939, 7): the unique id of each message, by number (index 0
    // unused; an empty id where the server gave none, or one longer than the
    // 70 characters an id may have); empty when the server refuses. Lines it
    // cannot read are passed over; more lines than `count` cut the reply.
    mg::Task<std::vector<std::string>> Uidl(int32_t count);
    // "UIDL n": message n's unique id now; empty when the server refuses
    // (no such message, or no UIDL) or names another message. A server that
    // pipelines gets the planned ones ahead of time (PlanUidls).
    mg::Task<std::string> UidlOf(int32_t number);
    void PlanUidls(const std::vector<int32_t>& numbers);
    // Whether UIDL is worth asking: CAPA listed it, or CAPA gave nothing and
    // it has not been refused in this session.
    bool UidlWorthAsking() const { return !uidlRefused_ && (uidlListed_ || !capaAnswered_); }
    // Only a positive reply is a deletion: any other reply (or none) raises
    // OnFailure and an error.
    mg::Task<> DeleteMessage(int32_t MailNumber);
    // RETR n, or with `headerOnly` TOP n 0: the message (its header block) as
    // the server holds it, dot-unstuffed, each line ended by LF. A refusal
    // raises its reply and leaves the session as it was. A message over
    // RetrieveLimit octets (as they arrive, whatever LIST said) is cut.
    mg::Task<std::string> RetrieveMessage(int32_t MailNumber, bool headerOnly = false);
    // Sends "NOOP" to keep an idle session open. Obeys the busy flag like
    // DeleteMessage: returns false without sending anything while another
    // operation holds the component, or when not connected. A refused NOOP
    // logs off (QUIT) and raises the reply; a connection that is gone raises
    // as any other operation does.
    mg::Task<bool> Noop();
    // Whether an operation holds the component.
    bool Busy() const { return busy_; }
    // While set, an operation sends no further command: it takes the replies
    // of the commands already sent and then ends with EStopped. Connect ends
    // so after the reply it waits for (logging off when it got as far as the
    // greeting). Disconnect and Noop are not stopped.
    void SetStopped(bool stopped) { stopped_ = stopped; }
    bool Stopped() const { return stopped_; }
    // Whether the last session ended with a positive reply to QUIT, the only
    // end at which the server carries out the deletions it accepted. Cleared
    // when a connection is opened; set before the close that follows the
    // reply, so an OnDisconnect handler can read it.
    bool QuitAccepted() const { return quitAccepted_; }

    int32_t MailCount() const { return mailCount_; }
    const TSummary& Summary() const { return summary_; }

    // Pipelining (RFC 2449). After log-on the component asks CAPA once; when
    // the server lists PIPELINING, the owner may announce the GetSummary or
    // DeleteMessage calls it is about to make, in order, and the component
    // keeps a bounded window of their commands in flight. Each call then
    // takes its replies in order, with the same events and results as a call
    // that sent its own command; a call that does not follow the plan ends
    // it. Without PIPELINING the plans are ignored and every command waits
    // for its reply. Both plans are ignored while an operation runs.
    bool Pipelining() const { return pipelining_; }
    // The last log-on sent the password unencrypted to another machine (any
    // address outside 127.0.0.0/8): off port 995, to a server that offers no
    // STLS.
    bool PasswordInClear() const { return passwordInClear_; }
    // GetSummary(first), GetSummary(first + 1), ... GetSummary(last) follow.
    void PlanSummaries(int32_t first, int32_t last);
    // GetSummary for each of these messages follows, in this order: TOP
    // alone where the size is known, TOP and LIST n where it is not.
    struct PlannedHeader {
        int32_t number;
        bool sizeKnown;
    };
    void PlanHeaders(const std::vector<PlannedHeader>& messages);
    // DeleteMessage for each of these numbers follows, in this order. A
    // refused deletion ends the plan: no further DELE is sent, but those
    // already sent keep their replies for the DeleteMessage calls that take them.
    void PlanDeletions(const std::vector<int32_t>& numbers);
    // RetrieveMessage for each of these messages follows, in this order.
    struct PlannedRetrieval {
        int32_t number;
        bool headerOnly;
    };
    void PlanRetrievals(const std::vector<PlannedRetrieval>& messages);
    // Forgets what was announced and not yet sent; replies in flight stay
    // until an operation takes or skips them.
    void EndPlan();
    // Whether a DELE of this message has been sent and its reply not yet taken.
    bool DeletionInFlight(int32_t MailNumber) const;
    // For tests: the most bytes of commands kept in flight.
    void SetPipelineWindowForTest(size_t bytes) { windowBytes_ = bytes; }

    // Published properties.
    std::string UserID;
    bool Parse = false;
    std::string Password;
    bool DeleteOnRead = false;
    // Connect sends the user name and password only over TLS (port 995, or
    // STLS): without it, it logs off and raises why.
    bool TlsRequired = false;
    // The most octets a RETR reply may hold.
    int64_t RetrieveLimit = 10 * 1024 * 1024;
    // Log-on by SASL XOAUTH2 with this bearer token instead of USER and PASS
    // (which then never go out): only over TLS or to this machine, and only
    // to a server whose CAPA lists the mechanism.
    bool XOAuth2 = false;
    std::string AccessToken;
    const std::string& AttachFilePath() const { return attachFilePath_; }
    // Appends "\" unless the value already ends in one; an empty value stays
    // empty (no path rather than the root).
    void SetAttachFilePath(const std::string& value);

    // Hides the transport's OnConnect: fires when the log-on has succeeded.
    TNotifyEvent OnConnect;
    // Hides the transport's OnStatus: the same texts, a server's reply
    // without its line end.
    TOnStatus OnStatus;
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
    // instead of answering ends the operation with its own error, and so
    // does a reply that cannot be read (the connection is closed first).
    mg::Task<std::string> Command(std::string line);
    // The next line of a multi-line reply, with the same rule.
    mg::Task<std::string> NextLine();
    // What a multi-line reply may hold: octets and lines; `command` names it
    // in the error.
    struct Limit {
        size_t bytes;
        size_t lines;
        std::string command;
    };
    Limit HeaderLimit(int32_t number) const;
    Limit RetrieveLimitOf(int32_t number) const;
    // Reads the lines of a multi-line reply up to its "." line and hands
    // each to `take` as received, line end included. An error on the way (from `take`
    // too, or the reply over its limit or pace) closes the connection without
    // QUIT and passes on.
    mg::Task<> ReadBlock(std::function<void(const std::string& line)> take, Limit limit);
    [[noreturn]] void ClosedByServer();
    // Closes without QUIT when the server's replies can no longer be
    // followed, and raises `error`.
    [[noreturn]] void OutOfStep(std::exception_ptr error);
    bool LogonCheck(const std::string& reply, int& attempts);
    // Raises EStopped when the owner has asked the operation to stop.
    void CheckStopped() const;
    // Asks CAPA: each capability's name, in capitals, to `each`; false when
    // the server refused.
    mg::Task<bool> Capabilities(std::function<void(const std::string& name)> each);
    // Asks CAPA and notes whether the server pipelines and lists UIDL.
    mg::Task<> ReadCapabilities();
    // CAPA before the log-on: whether STLS is among the capabilities.
    mg::Task<bool> OffersStls();
    // AUTH XOAUTH2, in two steps: the command alone, then the response to
    // the server's "+". A refused token raises ETokenRefused.
    mg::Task<> LogOnWithToken();

    // A command sent ahead of the operation that takes its reply.
    enum class Kind { Top, ListOne, Dele, Retr, Uidl };
    struct Pending {
        Kind kind;
        int32_t number;
        size_t bytes;  // the command line with its CR LF
    };
    // Sends planned commands while fewer than the window's bytes are in flight.
    mg::Task<> TopUp();
    bool TopUpDue() const;
    // Whether the reply at the front of the pipe is this command's.
    bool NextInFlight(Kind kind, int32_t number) const;
    // True when the next reply in flight is the one for this command; false
    // when the plan does not lead there (the plan ends, and whatever is in
    // flight is read and skipped).
    mg::Task<bool> TakeInFlight(Kind kind, int32_t number);
    // Reads the reply of the command at the front of the pipe (the status
    // report of a transaction included) and removes it from the pipe; empty
    // when the server closed the connection instead.
    mg::Task<std::string> PipelinedReply();
    // The reply at the front of the pipe has been read.
    void TakeFront();
    // Same, with the reply noted as a transaction's; a reply that cannot be
    // followed closes the connection.
    void TakeReply(const std::string& line);
    // Reads and drops the first `count` replies in flight (all by default).
    mg::Task<> SkipInFlight(size_t count = SIZE_MAX);
    // The connection has ended: nothing is in flight, nothing planned.
    void ResetPipeline();
    // Reads one reply of a command that was sent ahead: sent on its own, or
    // the next in flight.
    mg::Task<std::string> Reply(Kind kind, int32_t number, std::string line);

    int32_t mailCount_ = 0;
    bool busy_ = false;
    bool stopped_ = false;
    bool quitAccepted_ = false;
    bool decisive_ = false;  // the reply awaited is DELE's, QUIT's or NOOP's
    std::string attachFilePath_;
    TSummary summary_;

    bool pipelining_ = false;
    bool passwordInClear_ = false;
    bool capaAnswered_ = false;  // CAPA got a positive reply
    bool uidlListed_ = false;    // and listed UIDL
    bool uidlRefused_ = false;
    bool capaAsked_ = false;     // on this connection
    bool saslXOAuth2_ = false;   // the last CAPA listed SASL XOAUTH2
    std::deque<Pending> planned_;   // announced, not yet sent
    std::deque<Pending> inFlight_;  // sent, reply not yet read, in order
    size_t bytesInFlight_ = 0;
    size_t windowBytes_ = 0;        // 0: the default window
};

namespace mg {

// Field n (from 1) of a POP3 reply line: the text between the (n-1)-th and
// the n-th space; the last field keeps the line end. Empty when the line has
// fewer fields.
std::string Pop3Field(const std::string& line, int n);

// A reply is positive when it begins with "+OK" followed by a blank or the
// line end.
bool Pop3Positive(const std::string& reply);

// The value of the last field of this name in a header block (lines without
// line ends): the name matched without regard to letter case, the lines
// that continue the field joined on as they are (each starts with its blank
// or tab), one blank right after the colon dropped. Empty when there is none.
std::string UnfoldedField(const std::vector<std::string>& header, const std::string& name);

}  // namespace mg
