// A private Cyrus POP3 server (Cyrus IMAP 3.6 from Debian 12) on 127.0.0.1 for
// integration tests, run by tests/support/cyrus/start-cyrus.sh in a temporary
// directory of its own and stopped (the directory removed) on destruction.
// Its programs are Debian's packages, downloaded and unpacked once into the
// build directory (cyrus-packages), never installed.
//
//     CyrusServer cyrus;
//     cyrus.addMessage("From: a@b.c\nSubject: Hi\n\nbody\n");   // before or after start
//     if (!cyrus.start()) {
//         if (cyrus.unavailable()) GTEST_SKIP() << cyrus.error();
//         FAIL() << cyrus.error();
//     }
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace mgtest {

class CyrusServer {
public:
    explicit CyrusServer(std::string user = "mailgrove", std::string password = "grove-secret");
    ~CyrusServer();
    CyrusServer(const CyrusServer&) = delete;
    CyrusServer& operator=(const CyrusServer&) = delete;

    // Queues a message for the mailbox; after start() it is delivered at once.
    void addMessage(const std::string& rfc822);

    // Starts the server and delivers the messages added so far. False on
    // failure: error() says why, and unavailable() is true when Cyrus cannot
    // be had on this machine (skip, don't fail).
    bool start();
    void stop();

    bool unavailable() const { return unavailable_; }
    const std::string& error() const { return error_; }

    static std::string host() { return "127.0.0.1"; }
    uint16_t port() const { return port_; }
    const std::string& user() const { return user_; }
    const std::string& password() const { return password_; }
    // The UIDs of the messages the server holds now: a POP3 session's
    // deletions count once its QUIT has been answered.
    std::vector<std::string> storedMessages() const;

private:
    std::string script(const char* name) const;

    std::string user_;
    std::string password_;
    std::string dir_;
    std::vector<std::string> queued_;
    uint16_t port_ = 0;
    bool unavailable_ = false;
    std::string error_;
};

}  // namespace mgtest
