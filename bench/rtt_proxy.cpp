#include "bench/rtt_proxy.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <stdexcept>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace mgbench {

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kPipelining[] = "PIPELINING\r\n";
constexpr int kPipeliningLength = sizeof kPipelining - 1;
constexpr size_t kReadSize = 65536;
// Bytes held in one direction before the proxy stops reading from the sender,
// so that a sender faster than its receiver meets back-pressure.
constexpr size_t kMaxQueued = size_t{8} << 20;

struct Chunk {
    Clock::time_point due;
    std::string bytes;
    size_t sent = 0;
};

// One direction of a connection: bytes read from `from`, held, written to `to`.
struct Direction {
    int from = -1;
    int to = -1;  // -1 while the connection to the server is not open yet
    std::deque<Chunk> queue;
    size_t queued = 0;
    bool eof = false;      // the sender closed its side
    bool shut = false;     // ... and that was passed on to the receiver
    bool blocked = false;  // the receiver's buffer is full: wait until writable
    bool strip = false;
    PipeliningFilter filter;
};

struct Connection {
    int client = -1;
    int server = -1;
    Clock::time_point openAt;  // when to connect to the server
    Direction up;    // client to server
    Direction down;  // server to client
    bool failed = false;
    bool done() const { return failed || (up.shut && down.shut); }
};

void SetNoDelay(int fd) {
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

void SetNonBlocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

int ConnectLoopback(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // Blocking: on loopback the handshake is done at once.
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    SetNoDelay(fd);
    SetNonBlocking(fd);
    return fd;
}

// Writes what is due; passes the sender's end on once everything is written.
void Flush(Direction& d, Clock::time_point now, bool& failed) {
    if (d.to < 0) return;
    while (!d.queue.empty() && d.queue.front().due <= now) {
        Chunk& c = d.queue.front();
        const ssize_t n = ::send(d.to, c.bytes.data() + c.sent, c.bytes.size() - c.sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) d.blocked = true;
            else if (errno != EINTR) failed = true;
            return;
        }
        c.sent += static_cast<size_t>(n);
        if (c.sent == c.bytes.size()) {
            d.queued -= c.bytes.size();
            d.queue.pop_front();
        }
    }
    if (d.queue.empty() && d.eof && !d.shut) {
        ::shutdown(d.to, SHUT_WR);
        d.shut = true;
    }
}

// Reads one chunk and queues it, due half a round trip after its arrival.
void Receive(Direction& d, Clock::time_point now, Clock::duration half, bool& failed) {
    static char buffer[kReadSize];
    const ssize_t n = ::recv(d.from, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) failed = true;
        return;
    }
    std::string bytes;
    if (n == 0) {
        d.eof = true;
        if (d.strip) d.filter.finish(bytes);
    } else if (d.strip) {
        d.filter.feed(buffer, static_cast<size_t>(n), bytes);
    } else {
        bytes.assign(buffer, static_cast<size_t>(n));
    }
    if (!bytes.empty()) {
        d.queued += bytes.size();
        d.queue.push_back(Chunk{now + half, std::move(bytes)});
    }
}

// The events to wait for on one socket: readable when its sender side may
// still send and there is room, writable when a write was refused.
short Wanted(const Direction& sending, const Direction& receiving) {
    short events = 0;
    if (!sending.eof && sending.queued < kMaxQueued) events |= POLLIN;
    if (receiving.blocked) events |= POLLOUT;
    return events;
}

void Handle(short revents, Direction& sending, Direction& receiving, Clock::time_point now, Clock::duration half,
            bool& failed) {
    if (revents & (POLLOUT | POLLERR | POLLHUP)) receiving.blocked = false;  // the next write tells
    if ((revents & (POLLIN | POLLERR | POLLHUP)) && !sending.eof) Receive(sending, now, half, failed);
}

}  // namespace

void PipeliningFilter::feed(const char* in, size_t size, std::string& out) {
    for (size_t i = 0; i < size; ++i) {
        const char c = in[i];
        if (matched_ >= 0) {
            if (c == kPipelining[matched_]) {
                if (++matched_ == kPipeliningLength) matched_ = 0;  // the whole line: dropped
                continue;
            }
            out.append(kPipelining, static_cast<size_t>(matched_));  // not that line after all
        }
        out += c;
        matched_ = c == '\n' ? 0 : -1;
    }
}

void PipeliningFilter::finish(std::string& out) {
    if (matched_ > 0) out.append(kPipelining, static_cast<size_t>(matched_));
    matched_ = -1;
}

void RunRttProxy(int listenFd, const RttProxyOptions& options) {
    const auto half = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::milli>(options.rttMs / 2));
    SetNonBlocking(listenFd);
    std::vector<std::unique_ptr<Connection>> connections;
    std::vector<pollfd> fds;
    for (;;) {
        Clock::time_point now = Clock::now();
        for (auto& c : connections) {
            if (c->server < 0 && now >= c->openAt) {
                c->server = ConnectLoopback(options.upstreamPort);
                if (c->server < 0) {
                    c->failed = true;
                    continue;
                }
                c->up.to = c->server;
                c->down.from = c->server;
            }
            Flush(c->up, now, c->failed);
            Flush(c->down, now, c->failed);
        }
        std::erase_if(connections, [](const std::unique_ptr<Connection>& c) {
            if (!c->done()) return false;
            ::close(c->client);
            if (c->server >= 0) ::close(c->server);
            return true;
        });

        // What to wait for, and until when.
        fds.assign(1, pollfd{listenFd, POLLIN, 0});
        Clock::time_point deadline = Clock::time_point::max();
        const auto due = [&](const Direction& d) {
            if (d.to >= 0 && !d.blocked && !d.queue.empty()) deadline = std::min(deadline, d.queue.front().due);
        };
        for (auto& c : connections) {
            const short clientEvents = Wanted(c->up, c->down);
            fds.push_back(pollfd{clientEvents ? c->client : -1, clientEvents, 0});
            const short serverEvents = c->server >= 0 ? Wanted(c->down, c->up) : 0;
            fds.push_back(pollfd{serverEvents ? c->server : -1, serverEvents, 0});
            if (c->server < 0) deadline = std::min(deadline, c->openAt);
            due(c->up);
            due(c->down);
        }
        timespec timeout{};
        timespec* wait = nullptr;
        if (deadline != Clock::time_point::max()) {
            const auto ns = std::max<int64_t>(0, std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - now).count());
            timeout.tv_sec = static_cast<time_t>(ns / 1000000000);
            timeout.tv_nsec = static_cast<long>(ns % 1000000000);
            wait = &timeout;
        }
        if (::ppoll(fds.data(), fds.size(), wait, nullptr) < 0) {
            if (errno == EINTR) continue;
            std::perror("rtt proxy: ppoll");
            _exit(1);
        }
        now = Clock::now();  // the arrival time of whatever is read now

        // Connections accepted now are not in `fds` yet: handle the others first.
        for (size_t i = 0; i < connections.size(); ++i) {
            Connection& c = *connections[i];
            Handle(fds[1 + 2 * i].revents, c.up, c.down, now, half, c.failed);
            Handle(fds[2 + 2 * i].revents, c.down, c.up, now, half, c.failed);
        }
        if (fds[0].revents & POLLIN) {
            for (;;) {
                const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                if (fd < 0) break;
                SetNoDelay(fd);
                auto c = std::make_unique<Connection>();
                c->client = fd;
                c->openAt = now + half;  // the handshake's way back and the server's accept
                c->up.from = fd;
                c->down.to = fd;
                c->down.strip = options.stripPipelining;
                connections.push_back(std::move(c));
            }
        }
    }
}

RttProxyProcess::RttProxyProcess(const RttProxyOptions& options) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("proxy: socket failed");
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 64) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
        ::close(fd);
        throw std::runtime_error(std::string("proxy: cannot listen: ") + std::strerror(errno));
    }
    port_ = ntohs(addr.sin_port);
    std::fflush(nullptr);
    pid_ = ::fork();
    if (pid_ < 0) {
        ::close(fd);
        throw std::runtime_error("proxy: fork failed");
    }
    if (pid_ == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::prctl(PR_SET_TIMERSLACK, 1UL);  // release chunks on time, not up to 50 us late
        std::signal(SIGPIPE, SIG_IGN);
        std::signal(SIGINT, SIG_IGN);  // the benchmark stops it
        std::signal(SIGTERM, SIG_DFL);
        RunRttProxy(fd, options);
    }
    ::close(fd);
}

RttProxyProcess::~RttProxyProcess() {
    if (pid_ > 0) stop();
}

double RttProxyProcess::stop() {
    if (pid_ <= 0) return 0;
    ::kill(pid_, SIGKILL);
    int status = 0;
    rusage ru{};
    while (::wait4(pid_, &status, 0, &ru) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e3 + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e3;
}

}  // namespace mgbench
