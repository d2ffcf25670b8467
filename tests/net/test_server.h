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

namespace nettest {

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
    void Send(const std::string& bytes);
    std::string ReadLine();  // up to and including LF; empty on close or time-out
    void Close();            // orderly close
    // Everything received until the client closes (or 10 s pass).
    std::string ReadToEnd();

private:
    int fd_;
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
