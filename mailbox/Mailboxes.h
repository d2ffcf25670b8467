// Mailboxes: the mailboxes of the settings file. The first is section
// [CONNECT], each further one [CONNECT2], [CONNECT3], ... with the keys HOST,
// PORT, USER, PASSWORD, and CHECK (minutes between background checks) and
// TLS ("REQUIRE": no log-on without TLS) once they have been set. A file of
// an earlier version reads and writes back as it was.
//
// Passwords live in the keyring, one item per server and login: PASSWORD
// stays empty there. Where no keyring answers, the password is written to
// PASSWORD as before; one found there moves into the keyring at the first
// save that can store it, and leaves the file only once the keyring has
// confirmed. Texts the file's code page cannot carry (a login or password
// outside Windows-1251) are written so that they read back exactly.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "mailbox/Mailbox.h"

namespace mg {

class Mailboxes {
public:
    explicit Mailboxes(Mailbox::Environment env);
    ~Mailboxes();

    // Every mailbox section of the settings file (at least the first).
    void Load();
    // Writes every mailbox to its section and removes the sections of the
    // mailboxes removed since; raises "Unable to write to <file>" when the
    // file cannot be written. Returns a notice (Windows-1251) when a password
    // had to go to the settings file because no keyring took it.
    std::string Save();

    int Count() const { return static_cast<int>(boxes_.size()); }
    Mailbox& At(int index) { return *boxes_[static_cast<size_t>(index)]; }
    const Mailbox& At(int index) const { return *boxes_[static_cast<size_t>(index)]; }
    int IndexOf(const Mailbox* box) const;

    struct Preset {
        const char* Name;
        const char* Host;
        int Port;
        bool TlsRequired;    // the provider offers TLS: no log-on without it
        const char* Advice;  // UTF-8; empty for none
        bool Warn;           // the advice is said at once, in a box
        const char* Authserv = "";  // the provider's authserv-id, where known
        // OAuth2 sign-in (empty: passwords only): the endpoints, the scope,
        // and the application ID built in for this provider.
        const char* AuthorizeUrl = "";
        const char* TokenUrl = "";
        const char* Scope = "";
        const char* ClientId = "";
    };
    // The well-known providers, and last another server.
    static const std::vector<Preset>& Presets();
    // A new mailbox at the end, from a preset.
    Mailbox& Add(const Preset& preset);
    // Removes a mailbox and its password from the keyring (never the last
    // mailbox). Its session must have ended.
    void Remove(int index);

    // The preset's one line of advice (UTF-8): what the user must do, or
    // what this build lacks to sign in there.
    static std::string AdviceOf(const Preset& preset);
    // The application ID built in for the provider of this token endpoint;
    // empty when none was.
    static std::string DefaultClientId(const std::string& tokenUrl);

    // New messages announced and not yet looked at, of every mailbox.
    int Unseen() const;
    // The tray's tooltip: "Mailgrove", then a line for each mailbox checked
    // or with new mail (Windows-1251).
    std::string Tooltip() const;
    // What scans found of earlier runs' deletions never carried out, of
    // every mailbox, as one box tells it; empty when nothing. Taken once.
    std::string TakeUndoneReport();

    // The section of mailbox `index`: "CONNECT", "CONNECT2", ...
    static std::string SectionOf(int index);

private:
    MailboxConfig Read(const std::string& section, std::optional<Mailbox::Kept>& kept) const;
    // Keeps a mailbox's password: in the keyring when it confirms, else in the
    // settings file. Returns the file's PASSWORD value.
    std::string StorePassword(Mailbox& box, std::string& notice);
    // The same for an OAuth2 mailbox's refresh token (OAUTH_REFRESH).
    std::string StoreRefreshToken(Mailbox& box, std::string& notice);

    Mailbox::Environment env_;
    std::vector<std::unique_ptr<Mailbox>> boxes_;
    int sectionsRead_ = 1;
};

}  // namespace mg
