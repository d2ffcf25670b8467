// Mailbox: one mailbox of the settings file while the program runs. It holds
// the mailbox's settings, its password as the keyring keeps it, the state of
// its background checks, and its sessions; it is the only way to its server,
// so that the user's requests and the background checks never hold two POP3
// sessions with one mailbox at once:
//
// - the user's session (Session()) holds the lines the message list shows
//   and runs the user's requests one at a time, as jobs;
// - a background check (Check) scans in a session of its own that logs off
//   at once, and only while the user's session is not in use; a scan or a
//   deletion the user asks for ends a check under way first.
//
// No widgets: the window binds its controls to a mailbox and shows what it
// reports.
#pragma once

#include <QObject>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "mailbox/MailboxSession.h"
#include "mailbox/OAuthCredential.h"
#include "platform/task.h"

namespace mg {

class SpamTree;
class WhiteList;

// What one mailbox section of the settings file holds.
struct MailboxConfig {
    std::string Host;           // Windows-1251, as the file holds it
    std::string Port = "110";   // text; a number only when a connection is made
    std::string User;           // UTF-8
    std::string Password;       // UTF-8
    int Check = 0;              // minutes between background checks; 0: never
    bool CheckWritten = false;  // the file has CHECK for it
    bool TlsRequired = false;   // TLS=REQUIRE: no log-on without TLS
    // AUTH=OAUTH2: the log-on sends an OAuth2 access token (SASL XOAUTH2)
    // instead of USER and PASS; the endpoints and the application's ID.
    bool OAuth2 = false;
    std::string AuthorizeUrl{}, TokenUrl{}, ClientId{}, ClientSecret{}, Scope{};  // OAUTH_AUTHORIZE, ... (UTF-8)
    // AUTHSERV: the authserv-id of the provider's own Authentication-Results
    // field ("*.host" for any host name ending in "host"); empty: no verdict.
    std::string Authserv{};
};

class Mailbox : public QObject {
    Q_OBJECT
public:
    // What every mailbox shares.
    struct Environment {
        std::string DataDir;       // the log, the cache and the bin (with a trailing "/")
        std::string SettingsPath;  // the bin's limits ([BIN])
        const SpamTree* Spam = nullptr;
        const WhiteList* White = nullptr;
        SessionOptions Options;
        bool BinByDefault = true;  // the bin's state when the settings file does not say
    };

    Mailbox(const Environment& env, MailboxConfig config, QObject* parent = nullptr);
    ~Mailbox() override;

    MailboxConfig& Config() { return config_; }
    const MailboxConfig& Config() const { return config_; }
    // "login@server" (Windows-1251); "Новый ящик" while both are empty.
    std::string Name() const;
    // Mailboxes with the same server and login are one mailbox to a server.
    bool SameAccount(const Mailbox& other) const;
    // Where and as whom to log on; raises when the port is no number
    // (nothing has been sent then).
    MailboxSettings LogOnSettings();
    MailboxSettings SettingsWithPort(int32_t port);

    // ---- the user's session

    MailboxSession& Session() { return *session_; }
    const MailboxSession& Session() const { return *session_; }
    // The user's session is connected, holds deletions, or runs or waits
    // for a job.
    bool InUse() const;
    // The user's session has the server: an operation runs, or it is
    // connected or holds deletions. No check runs then.
    bool Active() const;
    // Ends the user's session (see MailboxSession::End).
    void End(std::function<void(const MailboxSession::EndResult&)> then);
    // The user's requests that talk to the server: a check under way is
    // ended first. Awaited by the user's jobs.
    Task<> Scan();
    Task<> Delete();
    // Without a connection: the lines of the last complete scan, from the
    // header cache, keyed as a scan keys them (the port field is not read);
    // with `keepMarks`, the check marks of the lines shown before stay.
    // False (no lines) when there is none, or the user's session is open.
    bool ShowLastScan(bool keepMarks);
    // Trusts another authserv-id (AUTHSERV) and marks the lines shown again.
    void SetAuthserv(const std::string& pattern);
    // When the last scan shown was made (seconds since the epoch), and the
    // status bar's text for it: "Проверено [дата ]в HH:MM", with why the
    // last check failed, when it did.
    int64_t LastScanTime() const { return lastScan_; }
    std::string LastScanStatus() const;

    // ---- background checks

    // A new message a check found that is not black-listed.
    struct Announced {
        std::string Sender;   // Windows-1251, as the line shows it
        std::string Subject;  // decoded, Windows-1251
        bool Forged = false;  // the provider's verdict: dmarc=fail
    };
    struct CheckReport {
        std::string Error;  // empty: the check succeeded
        std::vector<Announced> Fresh;
        bool Skipped = false;  // not made: the user's session had the mailbox
    };
    // Scans in a session of its own and logs off at once; never asks the
    // user anything. `done` gets the outcome, also when the check could not
    // start. The state below is updated before `done` is called.
    void Check(std::function<void(const CheckReport&)> done);
    bool Checking() const { return checking_; }
    // No check runs, nor is its session still on its way out.
    bool CheckIdle() const { return !checking_ && (!check_ || check_->Settled()); }
    // Ends a check under way (its `done` is called when it has ended).
    void EndCheck();
    // "Проверено в HH:MM" (with why the password went out unencrypted, when
    // it did), or "Ошибка проверки в HH:MM: ..."; empty before any check.
    const std::string& LastCheck() const { return lastCheck_; }
    bool CheckFailed() const { return checkFailed_; }
    // New messages announced and not yet looked at.
    int Unseen() const { return unseen_; }
    void Looked() { unseen_ = 0; }
    // The last check and the new messages, as the status bar says them
    // (with the mailbox's name when `named`).
    std::string CheckStatus(bool named) const;

    // ---- OAuth2 sign-in (AUTH=OAUTH2)

    // The mailbox's credential, made from its settings at first use and made
    // anew when they change (another server, login or endpoint).
    OAuthCredential& Credential();
    // An OAuth2 mailbox without a usable token: only the browser sign-in helps.
    bool NeedsSignIn();
    // The browser sign-in (see OAuthCredential::SignIn); its authorization
    // URL goes to OnAuthorizationUrl.
    Task<> SignIn();
    std::function<void(const std::string& url)> OnAuthorizationUrl;
    // The sign-in state changed.
    std::function<void()> OnSignInChanged;

    // ---- the keyring

    // What the keyring holds for this mailbox, as read at start or stored
    // since (UTF-8).
    struct Kept {
        std::string Server, User, Password;
    };
    std::optional<Kept> KeptPassword;
    // The settings file's section it was read from or last written to
    // (-1: none yet), by number.
    int Section = -1;

    // What a scan of either session found of an earlier run's deletions
    // that the server never carried out (a process killed before QUIT), as
    // a box tells it (Windows-1251); empty when nothing. Taken once.
    std::string TakeUndoneReport() { return std::exchange(undone_, std::string()); }

    // The user's session became active or ceased to be.
    std::function<void()> OnActiveChanged;

private:
    // Waits until a check under way has ended.
    Task<> CheckEnded();
    Task<> CheckJob(MailboxSettings settings);
    Task<> ScanSignedIn();
    OAuthSettings CredentialSettings() const;
    void CheckDone(std::exception_ptr error);
    void NoteUndone(int count, bool logFailed);

    Environment env_;
    MailboxConfig config_;
    std::unique_ptr<MailboxSession> session_;
    std::unique_ptr<MailboxSession> check_;  // made for the first check
    std::unique_ptr<OAuthCredential> credential_;
    bool active_ = false;
    int64_t lastScan_ = 0;

    bool checking_ = false;
    std::function<void(const CheckReport&)> checkDone_;
    std::vector<Announced> fresh_;
    std::string checkNotice_;
    std::string lastCheck_;
    bool checkFailed_ = false;
    int unseen_ = 0;
    std::string undone_;
};

}  // namespace mg
