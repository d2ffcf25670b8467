// A private Dovecot POP3 server on 127.0.0.1 for integration tests and
// benchmarks, run by tests/support/dovecot/start-dovecot.sh in a temporary
// directory of its own and stopped (the directory removed) on destruction.
//
//     DovecotServer dovecot;
//     dovecot.addMessage("From: a@b.c\nSubject: Hi\n\nbody\n");   // before or after start
//     if (!dovecot.start()) {
//         if (dovecot.unavailable()) GTEST_SKIP() << dovecot.error();
//         FAIL() << dovecot.error();
//     }
//     pop3.Host = dovecot.host(); pop3.Port = dovecot.port();
//     pop3.UserID = dovecot.user(); pop3.Password = dovecot.password();
//
// With useTls() before start() the server speaks POP3 over TLS only, as on
// port 995, with a certificate from a test CA (caFile()) made for the run.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace mgtest {

// Number of octets POP3 reports for a message: every line end counted as CR LF.
int Pop3Size(const std::string& rfc822);

// The header block of a message: its lines up to the empty separator, without
// line ends.
std::vector<std::string> HeaderLines(const std::string& rfc822);

// A maildir folder (cur, new, tmp). Messages are stored as newly delivered
// mail with LF line ends, owned like the folder, in the order they are added
// (the server numbers them in that order).
class Maildir {
public:
    explicit Maildir(std::string path);  // creates the folders when missing
    const std::string& path() const { return path_; }
    // Stores one RFC 822 text (LF or CR LF line ends); returns its file name.
    std::string add(const std::string& rfc822);
    // File names of the messages in new/ and cur/ (names without the ":2,..."
    // flags suffix that the server may add), sorted.
    std::vector<std::string> messages() const;

private:
    std::string path_;
    int sequence_ = 0;
};

class DovecotServer {
public:
    explicit DovecotServer(std::string user = "mailgrove", std::string password = "grove-secret");
    ~DovecotServer();
    DovecotServer(const DovecotServer&) = delete;
    DovecotServer& operator=(const DovecotServer&) = delete;

    // Queues a message for the mailbox; after start() it is stored at once.
    void addMessage(const std::string& rfc822);

    // Before start(): POP3 over TLS from the first byte and nothing else;
    // the server certificate is for `names` (openssl's subjectAltName form).
    void useTls(std::string names = "DNS:localhost,IP:127.0.0.1");
    bool tls() const { return tls_; }
    // Before start(): plain POP3 that offers STLS, with the same test CA.
    void useStartTls();
    // Before start(): SASL XOAUTH2 too, tokens checked at this introspection
    // endpoint (support/oauth_server.h).
    void useOAuth2(std::string introspectionUrl) { oauth2Url_ = std::move(introspectionUrl); }
    // The test CA that vouches for the server certificate; empty without TLS
    // or STLS.
    std::string caFile() const;

    // Starts the server with the messages added so far (installs Dovecot when
    // missing). False on failure: error() says why, and unavailable() is true
    // when Dovecot is not installed and cannot be installed (skip, don't fail).
    bool start();
    void stop();

    bool unavailable() const { return unavailable_; }
    const std::string& error() const { return error_; }

    static std::string host() { return "127.0.0.1"; }
    uint16_t port() const { return port_; }
    const std::string& user() const { return user_; }
    const std::string& password() const { return password_; }
    // The work directory (configuration, log, home of the account).
    const std::string& dir() const { return dir_; }
    std::string maildirPath() const;
    // File names of the messages now in the mailbox.
    std::vector<std::string> storedMessages() const;
    std::string log() const;

    // The scripts, for use outside the tests.
    static std::string scriptDir();

private:
    std::string user_;
    std::string password_;
    std::string dir_;
    std::vector<std::string> queued_;
    bool tls_ = false;
    bool starttls_ = false;
    std::string tlsNames_;
    std::string oauth2Url_;
    uint16_t port_ = 0;
    bool running_ = false;
    bool unavailable_ = false;
    std::string error_;
};

}  // namespace mgtest
