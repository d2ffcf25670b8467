#include "test_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <stdexcept>

#include "support/dovecot_server.h"

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

TlsServerContext::TlsServerContext(const std::string& names, bool onlyTls11) {
    // Its TLS writes go through write(), which would raise SIGPIPE on a
    // connection the client has already closed.
    std::signal(SIGPIPE, SIG_IGN);
    const std::string command = "bash '" + mgtest::DovecotServer::scriptDir() + "/make-certs.sh' '" + dir_.path() +
                                "' --names '" + names + "'";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("make-certs.sh failed");
    ctx_ = SSL_CTX_new(TLS_server_method());
    if (!ctx_ || SSL_CTX_use_certificate_chain_file(ctx_, dir_.file("server.pem").c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx_, dir_.file("server.key").c_str(), SSL_FILETYPE_PEM) != 1)
        throw std::runtime_error("test TLS context cannot be set up");
    if (onlyTls11) {
        SSL_CTX_set_security_level(ctx_, 0);
        SSL_CTX_set_min_proto_version(ctx_, TLS1_VERSION);
        SSL_CTX_set_max_proto_version(ctx_, TLS1_1_VERSION);
    }
}

TlsServerContext::~TlsServerContext() { SSL_CTX_free(ctx_); }

Peer::~Peer() { Close(); }

bool Peer::StartTls(const TlsServerContext& context) {
    ssl_ = SSL_new(context.get());
    SSL_set_fd(ssl_, fd_);
    if (SSL_accept(ssl_) == 1) return true;
    ERR_clear_error();
    return false;
}

std::string Peer::ServerName() const {
    const char* name = ssl_ ? SSL_get_servername(ssl_, TLSEXT_NAMETYPE_host_name) : nullptr;
    return name ? name : "";
}

void Peer::Send(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ssl_ ? SSL_write(ssl_, bytes.data() + done, static_cast<int>(bytes.size() - done))
                               : ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

int Peer::Receive(char* buffer, int length) {
    if (!ssl_) return static_cast<int>(::recv(fd_, buffer, static_cast<size_t>(length), 0));
    const int n = SSL_read(ssl_, buffer, length);
    if (n <= 0 && SSL_get_error(ssl_, n) == SSL_ERROR_ZERO_RETURN) closeNotify_ = true;
    return n;
}

std::string Peer::ReadLine() {
    std::string line;
    char c;
    while (Receive(&c, 1) == 1) {
        line += c;
        if (c == '\n') break;
    }
    return line;
}

std::string Peer::ReadToEnd() {
    std::string all;
    char chunk[4096];
    int n;
    while ((n = Receive(chunk, sizeof chunk)) > 0) all.append(chunk, static_cast<size_t>(n));
    return all;
}

void Peer::Close() {
    if (ssl_) {
        if (SSL_is_init_finished(ssl_)) SSL_shutdown(ssl_);
        SSL_free(ssl_);
        ssl_ = nullptr;
    }
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
