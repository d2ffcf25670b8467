// A TCP server on 127.0.0.1 for the socket tests: every accepted connection
// runs the script on a thread of its own. Reads on the server side give up
// after 10 seconds, so a broken test fails instead of hanging.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_dir.h"

using SSL = struct ssl_st;
using SSL_CTX = struct ssl_ctx_st;

namespace nettest {

// The server side of TLS for the test server's peers: a test CA and a server
// certificate made by tests/support/dovecot/make-certs.sh in a directory of
// its own. `names` is the certificate's subjectAltName; `onlyTls11` offers
// nothing newer than TLS 1.1.
class TlsServerContext {
public:
    explicit TlsServerContext(const std::string& names = "DNS:localhost,IP:127.0.0.1", bool onlyTls11 = false);
    ~TlsServerContext();
    TlsServerContext(const TlsServerContext&) = delete;
    TlsServerContext& operator=(const TlsServerContext&) = delete;
    std::string caFile() const { return dir_.file("ca.pem"); }
    SSL_CTX* get() const { return ctx_; }

private:
    mgtest::TempDir dir_;
    SSL_CTX* ctx_ = nullptr;
};

// Opens once and stays open: scripts wait on it until the test lets them go on.
class Gate {
public:
    void Open();
    void Wait();  // returns when opened (or after 10 s)

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool open_ = false;
};

class Peer {
public:
    explicit Peer(int fd) : fd_(fd) {}
    ~Peer();
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;
    // Makes the server side of a TLS handshake; from then on every call
    // below goes through TLS. False when the handshake failed.
    bool StartTls(const TlsServerContext& context);
    void Send(const std::string& bytes);
    std::string ReadLine();  // up to and including LF; empty on close or time-out
    void Close();            // orderly close (with TLS: the close notification first)
    // Everything received until the client closes (or 10 s pass).
    std::string ReadToEnd();
    // With TLS: the name the client sent for SNI, and whether ReadToEnd
    // ended on the client's close notification.
    std::string ServerName() const;
    bool CloseNotifyReceived() const { return closeNotify_; }

private:
    int Receive(char* buffer, int length);
    int fd_;
    SSL* ssl_ = nullptr;
    bool closeNotify_ = false;
};

class TestServer {
public:
    // `backlog`: the listen queue; with 0, one connection fills it.
    explicit TestServer(int backlog = 8, bool acceptConnections = true);
    ~TestServer();
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    uint16_t port() const { return port_; }
    // The script each accepted connection runs; set it before connecting.
    void Serve(std::function<void(Peer&)> script);
    // Waits until every script started so far has ended.
    void Join();
    Gate gate;

private:
    void AcceptLoop();
    int listenFd_ = -1;
    uint16_t port_ = 0;
    bool accepting_;
    std::mutex mutex_;
    std::function<void(Peer&)> script_;
    std::vector<std::thread> scripts_;
    std::thread acceptor_;
    bool stop_ = false;
};

// A port on 127.0.0.1 where nothing listens.
uint16_t ClosedPort();

}  // namespace nettest
