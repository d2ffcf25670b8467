#include "test_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace nettest {
namespace {

sockaddr_in Loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

uint16_t BoundPort(int fd) {
    sockaddr_in a{};
    socklen_t length = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
    return ntohs(a.sin_port);
}

}  // namespace

void Gate::Open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    cv_.notify_all();
}

void Gate::Wait() {
    std::unique_lock lock(mutex_);
    cv_.wait_for(lock, std::chrono::seconds(10), [this] { return open_; });
}

void Peer::Send(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

std::string Peer::ReadLine() {
    std::string line;
    char c;
    while (::recv(fd_, &c, 1, 0) == 1) {
        line += c;
        if (c == '\n') break;
    }
    return line;
}

std::string Peer::ReadToEnd() {
    std::string all;
    char chunk[4096];
    ssize_t n;
    while ((n = ::recv(fd_, chunk, sizeof chunk, 0)) > 0) all.append(chunk, static_cast<size_t>(n));
    return all;
}

void Peer::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

TestServer::TestServer(int backlog, bool acceptConnections) : accepting_(acceptConnections) {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = Loopback(0);
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listenFd_, backlog) != 0)
        throw std::runtime_error("test server cannot listen");
    port_ = BoundPort(listenFd_);
    if (accepting_) acceptor_ = std::thread([this] { AcceptLoop(); });
}

TestServer::~TestServer() {
    gate.Open();
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    if (acceptor_.joinable()) acceptor_.join();
    Join();
    ::close(listenFd_);
}

void TestServer::Serve(std::function<void(Peer&)> script) {
    std::lock_guard lock(mutex_);
    script_ = std::move(script);
}

void TestServer::Join() {
    std::vector<std::thread> running;
    {
        std::lock_guard lock(mutex_);
        running.swap(scripts_);
    }
    for (auto& t : running) t.join();
}

void TestServer::AcceptLoop() {
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (stop_) return;
        }
        pollfd p{listenFd_, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0) continue;
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        timeval limit{10, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        std::lock_guard lock(mutex_);
        auto script = script_;
        scripts_.emplace_back([fd, script] {
            Peer peer(fd);
            if (script) script(peer);
            peer.Close();
        });
    }
}

uint16_t ClosedPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = Loopback(0);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    const uint16_t port = BoundPort(fd);
    ::close(fd);
    return port;
}

}  // namespace nettest
