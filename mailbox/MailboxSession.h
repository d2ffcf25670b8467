// MailboxSession: everything the program knows of one mailbox while it runs.
// It owns the POP3 component, the message lines of the last scan (the model
// the message list shows), the deletions the server has accepted and carries
// out only at a positive reply to QUIT, and the keep-alive that holds such a
// session open. It opens no window and asks the user nothing itself: it
// tells its owner through the events below.
//
// What the user (or anything else) asks of a mailbox is a job: a task that
// may ask questions and awaits the session's operations. Jobs run one at a
// time, in the order they were submitted; one submitted while another runs
// waits for it. Nothing ever runs inside another job's wait.
//
// Ending (End) is what "Разрыв соединения", closing the window and a
// termination signal ask for: the job under way stops at its next step, after
// the command in flight has had its reply, queued jobs are dropped, and the
// session logs off. A connection still being made is given up at once; a
// reply that has not come in 2 seconds after the end was asked for is cut
// (the connection closed without QUIT, as when a reply cannot be followed),
// unless it is the reply to DELE, QUIT or NOOP, which keeps its time-out.
//
// The state machine, one operation at a time:
//
//   Idle --Scan--> Connecting --logged on--> Scanning --> Open
//   Open --Delete--> Deleting --> Holding (accepted deletions wait for QUIT)
//   Open/Holding --Fetch--> Fetching --> Open/Holding
//   Holding --keep-alive timer--> KeepingAlive --> Holding
//   Open/Holding --LogOff, End, Scan--> LoggingOff --> Idle
//
// and any state goes to Idle when the connection is lost; deletions then
// still waiting for QUIT are taken back (their lines read "<НЕ УДАЛЕНО>",
// log.dat gets a line for each) and the owner is told. So that a process
// killed before QUIT's reply leaves no record of a deletion that never
// happened, the header cache keeps each deletion from before its DELE until
// QUIT confirms it; the next scan of the mailbox takes back those whose
// messages are still on the server.
#pragma once

#include <QObject>
#include <QTimer>
#include <coroutine>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "lists/LineMark.h"
#include "mailbox/DeletionBin.h"
#include "mailbox/HeaderCache.h"
#include "mailbox/MessageLines.h"
#include "platform/errors.h"
#include "platform/task.h"
#include "pop3/VantelPop3.h"

namespace mg {

class SpamTree;
class WhiteList;

// Where and as whom a scan logs on.
struct MailboxSettings {
    std::string Host;
    int32_t Port = 110;
    std::string User;      // UTF-8, as it goes on the wire
    std::string Password;  // UTF-8, as it goes on the wire
    bool TlsRequired = false;
    enum class SignIn { Password, OAuth2 };
    SignIn Auth = SignIn::Password;
    // OAuth2: the access token to send; refresh=true after the server refused the last one.
    std::function<Task<std::string>(bool refresh)> Token;
    // The authserv-id whose Authentication-Results verdict marks the lines.
    std::string Authserv;
};

// What a session is given at construction: its time-outs, and limits that
// tests set lower.
struct SessionOptions {
    // The component's time-out for a scan's every wait.
    int TimeOutMs = 20000;
    // Idleness after which a NOOP keeps a session holding deletions open:
    // well inside the 10 minutes after which a server may log off an idle
    // client.
    int KeepAliveMs = 2 * 60 * 1000;
    // Above 0: the header cache is limited to that many pages once opened,
    // as a full disk would limit it.
    int CachePageLimit = 0;
    // Tests: a server on 127.0.0.0/8 counts as another machine, so that a
    // password sent in clear is told (and a token needs TLS) on loopback too.
    bool LoopbackIsRemote = false;
};

// A job stopped because the session is ending: nothing to report.
class ESessionEnded : public Exception {
public:
    ESessionEnded() : Exception("") {}
};

// A log-off that ended without the server carrying out the deletions it had
// accepted; the message is why (the reply to QUIT, or the error on the way).
class ELostAtLogOff : public Exception {
public:
    using Exception::Exception;
};

class MailboxSession : public QObject {
    Q_OBJECT
public:
    enum class State { Idle, Connecting, Scanning, Open, Deleting, Holding, Fetching, KeepingAlive, LoggingOff };

    // `dataDir`: where log.dat lives (with a trailing "/"). The lists are the
    // owner's and are read at each scan.
    MailboxSession(std::string dataDir, const SpamTree& spam, const WhiteList& white, SessionOptions options = {},
                   QObject* parent = nullptr);
    ~MailboxSession() override;

    State GetState() const { return state_; }
    bool Connected() const { return pop3_.Connected(); }
    // No job runs or waits, no operation is on the wire.
    bool Settled() const;
    bool Ending() const { return ending_; }
    // Accepted deletions wait for QUIT (or for being taken back).
    bool HoldsDeletions() const { return !pending_.empty(); }
    // The lines of the last scan: the model the message list shows.
    TMessageLines& Lines() { return lines_; }
    const TMessageLines& Lines() const { return lines_; }
    // The component, to look at (its flags, its pipelining).
    const TVantelPOP3& Component() const { return pop3_; }
    // The host of the attempt under way, as the server-name question repairs it.
    void SetHost(const std::string& host) { pop3_.Host = host; }

    // ---- jobs

    using Job = std::function<Task<>()>;
    // Runs `job` when the jobs before it have ended; `done` gets its error,
    // if any, before the next job starts.
    void Submit(Job job, std::function<void(std::exception_ptr)> done = nullptr);

    // ---- operations: awaited by jobs, one at a time

    // A whole scan: logs off first when connected (when that loses accepted
    // deletions, raises ELostAtLogOff and goes no further), empties the
    // lines, reads `settings` (which may raise: nothing has been sent then),
    // logs on, lists the mailbox and builds and marks one line per message.
    // The sizes come from the listing. A message whose UIDL the header cache
    // (cache.sqlite) knows for this server and login gets its line from
    // there; the others' header blocks are fetched (TOP alone) and cached.
    // Lines of messages first seen now are marked fresh, unless the mailbox
    // was never scanned before. A cache that cannot be used never stops a
    // scan: it runs without, and OnScanned says so. Once the UIDLs are in,
    // deletions an earlier process left unconfirmed are settled
    // (OnUndoneFound). A STAT count no mailbox has (above a million) logs
    // off and raises; nothing is set aside from the server's numbers before
    // the lines they stand for have arrived.
    Task<> Scan(std::function<MailboxSettings()> settings);
    // Deletes the messages of the checked lines not yet deleted: logs each
    // deletion the server accepts in log.dat and marks its line; they take
    // effect at the next positive reply to QUIT. With the bin on, each
    // message is first fetched whole (its header block alone over the size
    // limit) and kept in the bin ("deleted/" beside log.dat); only a message
    // whose file is safely on disk is deleted, and the bin's file of a
    // deletion the server does not carry out is removed again. A RETR that
    // brings more than the size limit, whatever the listing said, is cut: the
    // session ends there, as when a reply cannot be followed.
    // Lines shown from the last scan (ShowLastScan) are deleted in a session
    // made for it with `settings`: each message only once "UIDL n" confirms
    // it is still the message of its line; the others are unchecked, left
    // on the server and told to OnNotConfirmed.
    Task<> Delete(std::function<MailboxSettings()> settings = nullptr);
    // What the status bar says after a log-on of this session that sent the
    // password unencrypted to another machine; empty when it did not.
    std::string ClearTextNotice() const;
    // Without a connection: shows the lines of the mailbox's last complete
    // scan from the header cache, marked by today's lists; `scanned` gets
    // when it was made. False (and no lines) when the cache has none.
    bool ShowLastScan(const std::string& server, const std::string& login, const std::string& authserv,
                      int64_t& scanned);
    // Marks the lines again under another authserv-id pattern. A line whose
    // mark changes gets that mark's check and enabled state; the others keep
    // the user's, as when a scan marks a line.
    void Rejudge(const std::string& authserv);
    bool ShowsLastScan() const { return fromListing_; }
    // The UIDL of a line's message when it is its alone, else empty.
    const std::string& LineId(int index) const { return Id(index + 1); }
    // The bin's settings for the next delete runs; it is off until set.
    void SetBin(const BinSettings& bin) { bin_ = bin; }
    const BinSettings& Bin() const { return bin_; }
    // The header block of message `number`, fetched afresh; with
    // `cachedIsEnough`, the cached one when the header cache has it (no
    // connection is needed then). Lines shown from the last scan always
    // take the cached one.
    Task<TSummary> Fetch(int number, bool cachedIsEnough = false);
    // QUIT and close; the lines are emptied unless accepted deletions were
    // lost on the way (ELostAtLogOff). Does nothing but empty them when not
    // connected.
    Task<> LogOff();

    // ---- ending

    struct EndResult {
        bool lost = false;   // accepted deletions were not carried out
        std::string error;   // what went wrong on the way, if anything
    };
    // Stops what runs, drops what waits, logs off; then calls `then`.
    void End(std::function<void(const EndResult&)> then);

    // Deletions lost since the last call, and whether log.dat took their lines.
    struct Loss {
        int count = 0;
        bool logFailed = false;
    };
    Loss TakeLoss();

    // ---- events: what the owner shows. Each may be left empty.

    std::function<void(const std::string& status)> OnStatus;
    std::function<void()> OnHostResolved;
    // The name was not found: the owner may SetHost and set Handled.
    THandlerEvent OnInvalidHost;
    std::function<void()> OnConnectionFailed;
    std::function<void()> OnConnect;
    std::function<void()> OnDisconnect;
    // An operation found no connection. Setting Handled means the owner has
    // submitted a scan: the job then ends quietly and the scan follows it.
    THandlerEvent OnConnectionRequired;
    std::function<void()> OnRetrieveStart;
    std::function<void()> OnRetrieveEnd;
    std::function<void()> OnSuccess;
    // A deletion was refused; once per delete run.
    std::function<void()> OnFailure;
    std::function<void()> OnPacketRecvd;
    std::function<void()> OnReset;
    // The message count after logging on; 0 when a log-off emptied the lines.
    std::function<void(int count)> OnCount;
    // A scan has built every line: `fresh` of them are new; `notice`
    // (Windows-1251), when not empty, says that the password went out
    // unencrypted to another machine, or that the header cache was not used
    // as it should have been.
    std::function<void(int count, int fresh, const std::string& notice)> OnScanned;
    // Messages of these lines could not be kept in the bin and stay on the
    // server, undeleted; `reason` (Windows-1251) says why. Once per delete run.
    std::function<void(const std::vector<int>& lines, const std::string& reason)> OnKeptOnServer;
    // Lines shown from the last scan whose messages "UIDL n" did not
    // confirm (gone, or another message now): not deleted. Once per run.
    std::function<void(const std::vector<int>& lines)> OnNotConfirmed;
    // log.dat could not be opened: the deletions go on, unlogged.
    std::function<void()> OnLogUnavailable;
    // Accepted deletions wait for QUIT (after a delete run, after a keep-alive).
    std::function<void()> OnDeletionsPending;
    // Deletions were lost and their lines marked; TakeLoss tells how many.
    std::function<void()> OnDeletionsLost;
    // A scan found `count` deletions logged by an earlier process that ended
    // before QUIT's reply, with their messages still on the server: log.dat
    // has taken each back with a "<НЕ УДАЛЕНО>" line (unless `logFailed`)
    // and their files have left the bin.
    std::function<void(int count, bool logFailed)> OnUndoneFound;
    // A keep-alive NOOP failed: the session is over, for this reason.
    std::function<void(const std::string& error)> OnKeepAliveFailed;
    std::function<void(State state)> OnState;

private:
    // One operation on the wire at a time: a job's operation waits while a
    // keep-alive NOOP is under way.
    class Turn;
    Turn TakeTurn(State state);
    void EndTurn();
    struct TurnScope;

    void StartNext();
    Task<> RunJob(Job job);
    void JobFinished();
    Task<> EndingLogOff();
    // Why deletions were lost when an end closed the connection itself.
    static std::string ReplyCutReason();
    // Raises ESessionEnded once an end has been asked for.
    void CheckEnding() const;
    // The component's events, bound once.
    void Bind();
    void SetState(State state);
    // The state between operations.
    State RestingState() const;
    // Before an operation that needs the connection: asks the owner when
    // there is none.
    void RequireConnection();
    // Reads `settings` and logs on. With OAuth2, a token the server refuses
    // is refreshed once and tried again on a new connection.
    Task<> LogOn(const MailboxSettings& s);
    // Keeps in `targets` the lines whose message "UIDL n" confirms.
    Task<> ConfirmListed(std::vector<int>& targets);
    // QUIT; false (lines kept, loss noted) when accepted deletions were lost.
    Task<> LogOffAndClear();
    void BuildLine(int index, const TSummary& summary);
    void MarkLine(int index, Listed listed);
    bool OpenCache();
    bool BeginCache();
    // Builds the lines of the listed messages the cache holds (built[n] set
    // for each, their UIDLs in `seen`); `gone`: cached UIDLs not listed;
    // `firstScan`: the mailbox had nothing cached. False when the cache
    // failed (the lines built stay).
    bool BuildCachedLines(int count, std::vector<bool>& built, std::vector<std::string>& seen,
                          std::vector<std::string>& gone, bool& firstScan);
    std::string CacheProblem() const;
    void KeepUniqueIds(int count);
    // Message `number`'s UIDL when it is its alone, else empty.
    const std::string& Id(int number) const;
    // Keeps the messages of `targets` in the bin; `targets` is left with
    // those safely on disk, `files` with their files.
    Task<> KeepInBin(std::vector<int>& targets, std::vector<std::string>& files);
    // What line `index` puts in log.dat after the date and " |".
    std::string LoggedText(int index) const;
    // Notes in the header cache the deletions of `lines` (their files in the
    // bin in `files`, where kept) that are not noted yet: noted_ gets their ids.
    void NoteDeletions(const std::vector<int>& lines, const std::vector<std::string>& files);
    // The session has ended: with QUIT's +OK the pending deletions stand,
    // else their lines read "<НЕ УДАЛЕНО>" and log.dat gets a line for each.
    void DeletionsLost();
    struct PendingDeletion;
    // Writes a "<НЕ УДАЛЕНО>" line for each to log.dat and removes their
    // files from the bin; false when log.dat could not take the lines.
    bool TakeBack(const std::vector<PendingDeletion>& deletions);
    void ForgetNoted(const std::vector<int64_t>& ids);
    void ForgetNoted(const std::vector<PendingDeletion>& deletions);
    // After the UIDLs of a scan of `count` messages: settles what an earlier
    // process noted and did not see confirmed.
    void SettleNotedDeletions(int count);
    // A connection that went without its close notification still has its
    // deletions settled.
    void SettleClosedSession();
    void RestartKeepAlive();
    void KeepAliveTick();
    Task<> KeepAlive();

    std::string dataDir_;
    SessionOptions options_;
    const SpamTree& spam_;
    const WhiteList& white_;
    std::string authserv_;  // of the last scan, or of the lines shown
    TVantelPOP3 pop3_;
    TMessageLines lines_;
    State state_ = State::Idle;
    // The last scan: the sizes its listing gave (-1: not listed), the UIDLs
    // (one message's alone), and the mailbox's key in the header cache.
    std::vector<int32_t> listed_;
    std::vector<std::string> ids_;
    std::pair<std::string, std::string> cacheKey_;
    std::unique_ptr<HeaderCache> cache_;
    std::pair<uint64_t, uint64_t> cacheFile_;  // device and inode of the file opened
    std::string cacheNotice_;
    bool fromListing_ = false;  // the lines are the last scan's, shown from the cache

    struct Queued {
        Job job;
        std::function<void(std::exception_ptr)> done;
    };
    std::deque<Queued> queue_;
    Task<> job_;  // the job under way
    std::function<void(std::exception_ptr)> jobDone_;
    bool jobRunning_ = false;
    bool ending_ = false;      // the job under way is to stop
    bool endPending_ = false;  // an end's log-off is queued or under way
    std::vector<std::function<void(const EndResult&)>> endThen_;
    EndResult endResult_;

    bool turnTaken_ = false;
    std::deque<std::coroutine_handle<>> turnWaiting_;

    struct PendingDeletion {
        int index;           // line
        std::string logged;  // what its log line holds after the date and " |"
        std::string binFile; // its message in the bin, if kept there
        int64_t noted = 0;   // its note in the header cache, if any
    };
    std::vector<PendingDeletion> pending_;
    // The delete run's notes not yet accepted by the server, by line (0: none).
    std::vector<int64_t> noted_;
    Loss loss_;
    BinSettings bin_;
    bool deleting_ = false;      // a delete run is under way
    bool failureShown_ = false;  // its refusal has been told
    QTimer keepAlive_;
    QTimer endGrace_;        // runs while an end waits for the reply under way
    bool replyCut_ = false;  // the end has closed the connection itself
    Task<> keepAliveTask_;
    bool keepAliveRunning_ = false;
};

}  // namespace mg
