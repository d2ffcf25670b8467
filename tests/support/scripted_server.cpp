#include "support/scripted_server.h"

#include <algorithm>
#include <chrono>

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace mgtest {

namespace {

// How long a finishing dialogue still waits for bytes that the client has sent
// but that have not yet reached the socket. Only detection depends on it.
constexpr int kLateBytesMs = 200;

std::string describe(const Step& step) {
    switch (step.kind) {
    case Step::Kind::Accept: return "Accept()";
    case Step::Kind::Expect: return "C(\"" + Visible(step.text) + "\")";
    case Step::Kind::Send: return "S(\"" + Visible(step.text) + "\")";
    case Step::Kind::Close: return "Close()";
    case Step::Kind::Silent: return "Silent()";
    case Step::Kind::AwaitClose: return "AwaitClose()";
    case Step::Kind::Pause: return "Pause(" + step.text + ")";
    case Step::Kind::Hold: return "Hold()";
    case Step::Kind::Endless: return "Endless(\"" + Visible(step.text) + "\", " + std::to_string(step.ms) + ")";
    case Step::Kind::Within:
        return step.text.empty() ? "Autologout(" + std::to_string(step.ms) + ")"
                                 : "CWithin(" + std::to_string(step.ms) + ", \"" + Visible(step.text) + "\")";
    }
    return "?";
}

}  // namespace

Step C(std::string line) { return {Step::Kind::Expect, std::move(line)}; }
Step S(std::string line) { return {Step::Kind::Send, std::move(line) + "\r\n"}; }
Step S(std::initializer_list<std::string> lines) {
    std::string text;
    for (const auto& line : lines) text += line + "\r\n";
    return {Step::Kind::Send, text};
}
Step Raw(std::string bytes) { return {Step::Kind::Send, std::move(bytes)}; }
Step Close() { return {Step::Kind::Close, {}}; }
Step Silent() { return {Step::Kind::Silent, {}}; }
Step Pause(int milliseconds) { return {Step::Kind::Pause, std::to_string(milliseconds)}; }
Step CWithin(int milliseconds, std::string line) { return {Step::Kind::Within, std::move(line), milliseconds}; }
Step Autologout(int milliseconds) { return {Step::Kind::Within, {}, milliseconds}; }

Script Slow(const Script& script, int milliseconds) {
    Script out;
    for (const Step& step : script) {
        if (step.kind == Step::Kind::Send) out.push_back(Pause(milliseconds));
        out.push_back(step);
    }
    return out;
}
Step AwaitClose() { return {Step::Kind::AwaitClose, {}}; }
Step Hold() { return {Step::Kind::Hold, {}}; }
Step Accept() { return {Step::Kind::Accept, {}}; }
Step Endless(std::string line, int intervalMs) { return {Step::Kind::Endless, std::move(line) + "\r\n", intervalMs}; }

Script operator+(Script a, const Script& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::string Visible(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        if (c == '\r') out += "\\r";
        else if (c == '\n') out += "\\n";
        else if (c == '\\') out += "\\\\";
        else if (c < 32 || c == 127) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else out += static_cast<char>(c);
    }
    return out;
}

ScriptedServer::ScriptedServer(Script script, bool clientMaySendAhead)
    : script_(std::move(script)), clientMaySendAhead_(clientMaySendAhead) {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) throw std::runtime_error("scripted server: socket failed");
    int one = 1;
    ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listenFd_, 8) != 0 ||
        ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        ::close(listenFd_);
        throw std::runtime_error("scripted server: cannot listen on 127.0.0.1");
    }
    port_ = ntohs(addr.sin_port);
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        ::close(listenFd_);
        throw std::runtime_error("scripted server: pipe failed");
    }
    wakeRead_ = pipeFds[0];
    wakeWrite_ = pipeFds[1];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        ::close(listenFd_);
        throw std::runtime_error("scripted server: pipe failed");
    }
    releaseRead_ = pipeFds[0];
    releaseWrite_ = pipeFds[1];
    thread_ = std::thread([this] { run(); });
}

ScriptedServer::~ScriptedServer() {
    finish();
    ::close(listenFd_);
    ::close(wakeRead_);
    ::close(wakeWrite_);
    ::close(releaseRead_);
    ::close(releaseWrite_);
}

bool ScriptedServer::finish() {
    if (!finished_) {
        finished_ = true;
        stopping_ = true;
        char byte = 1;
        [[maybe_unused]] ssize_t n = ::write(wakeWrite_, &byte, 1);
        thread_.join();
        pollfd listener{listenFd_, POLLIN, 0};
        if (!listenerShut_ && ::poll(&listener, 1, 0) > 0)
            fail("a connection arrived that the script does not expect");
        for (const auto& failure : failures()) ADD_FAILURE() << "scripted server: " << failure;
    }
    return failures().empty();
}

std::vector<std::string> ScriptedServer::received() const {
    std::lock_guard lock(mutex_);
    return received_;
}

std::vector<std::string> ScriptedServer::failures() const {
    std::lock_guard lock(mutex_);
    return failures_;
}

int ScriptedServer::connections() const {
    std::lock_guard lock(mutex_);
    return connections_;
}

bool ScriptedServer::holding() const { return holding_; }

void ScriptedServer::release() {
    // Not holding from now on, before the server's thread wakes: a test that
    // waits for the next Hold() must not see this one.
    holding_ = false;
    char byte = 1;
    [[maybe_unused]] ssize_t n = ::write(releaseWrite_, &byte, 1);
}

bool ScriptedServer::hold(size_t step) {
    holding_ = true;
    for (;;) {
        pollfd fds[3] = {{releaseRead_, POLLIN, 0}, {wakeRead_, POLLIN, 0}, {connFd_, POLLIN, 0}};
        if (::poll(fds, 3, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[0].revents) {
            char byte;
            [[maybe_unused]] ssize_t n = ::read(releaseRead_, &byte, 1);
            break;
        }
        if (fds[1].revents) break;  // the test is finishing
        std::string line;
        bool closed = false;
        if (readLine(line, closed)) {
            fail("step " + std::to_string(step) + " Hold(): the client sent \"" + Visible(line) +
                 "\" while it waited for a reply");
            continue;
        }
        if (closed) {
            holding_ = false;
            return false;
        }
    }
    holding_ = false;
    return true;
}

bool ScriptedServer::stream(size_t step, const Step& endless) {
    std::string chunk = endless.text;  // whole lines: some 64 KiB of them when fast
    while (endless.ms == 0 && chunk.size() < 65536) chunk += chunk;
    size_t offset = 0;  // into the chunk, across partial sends
    int wait = 0;
    for (;;) {
        // What the client does meanwhile comes first: a line is a deviation, a close the end.
        std::string line;
        bool closed = false, timedOut = false;
        if (readLineWithin(line, closed, wait, timedOut)) {
            fail("step " + std::to_string(step) + " " + describe(endless) + ": the client sent \"" + Visible(line) + "\"");
            continue;
        }
        if (closed) break;
        if (!timedOut) return false;  // the test is finishing
        const ssize_t n = ::send(connFd_, chunk.data() + offset, chunk.size() - offset, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno != EAGAIN && errno != EINTR) break;  // gone
        if (n > 0) offset = (offset + static_cast<size_t>(n)) % chunk.size();
        wait = n < 0 ? 5 : offset == 0 ? endless.ms : 0;
    }
    closeConnection();
    return true;
}

void ScriptedServer::fail(const std::string& what) {
    std::lock_guard lock(mutex_);
    failures_.push_back(what);
}

void ScriptedServer::record(const std::string& line) {
    std::lock_guard lock(mutex_);
    received_.push_back(line);
}

bool ScriptedServer::waitReadable(int fd, int timeoutMs) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int wait = -1;
        if (timeoutMs >= 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            wait = static_cast<int>(std::max<long long>(0, left.count()));
        }
        int n = ::poll(fds, 2, wait);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return false;  // time is up
        if (fds[0].revents) return true;
        if (fds[1].revents) {
            // Stop requested: give bytes already on their way a last chance.
            pollfd last{fd, POLLIN, 0};
            return ::poll(&last, 1, kLateBytesMs) > 0;
        }
    }
}

bool ScriptedServer::acceptNext() {
    if (!waitReadable(listenFd_)) return false;
    connFd_ = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (connFd_ < 0) return false;
    pending_.clear();
    std::lock_guard lock(mutex_);
    ++connections_;
    return true;
}

void ScriptedServer::closeConnection() {
    if (connFd_ >= 0) ::close(connFd_);
    connFd_ = -1;
    pending_.clear();
}

bool ScriptedServer::readLine(std::string& line, bool& closed) {
    bool timedOut = false;
    return readLineWithin(line, closed, -1, timedOut);
}

bool ScriptedServer::readLineWithin(std::string& line, bool& closed, int ms, bool& timedOut) {
    closed = false;
    timedOut = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        auto lf = pending_.find('\n');
        if (lf != std::string::npos) {
            line = pending_.substr(0, lf + 1);
            pending_.erase(0, lf + 1);
            record(line);
            return true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (!waitReadable(connFd_, ms < 0 ? -1 : static_cast<int>(std::max<long long>(0, left.count())))) {
            timedOut = ms >= 0 && !stopping_;
            return false;
        }
        char buf[4096];
        ssize_t n = ::recv(connFd_, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            closed = true;
            if (!pending_.empty()) record(pending_);
            return false;
        }
        pending_.append(buf, static_cast<size_t>(n));
    }
}

void ScriptedServer::closeGracefully() {
    // Half-close first so that the client reads an orderly end of data
    // (closing with unread input would reset the connection instead), then
    // wait for the client to close its side. What it sends meanwhile is kept
    // in received() but is no deviation.
    ::shutdown(connFd_, SHUT_WR);
    std::string line;
    bool closed = false;
    while (readLine(line, closed)) {
    }
    closeConnection();
}

bool ScriptedServer::waitForClose(const char* during) {
    for (;;) {
        std::string line;
        bool closed = false;
        if (readLine(line, closed)) {
            fail("unexpected client line \"" + Visible(line) + "\" " + during);
            continue;
        }
        if (closed && !pending_.empty())
            fail("unexpected partial client line \"" + Visible(pending_) + "\" " + during);
        return closed;
    }
}

void ScriptedServer::run() {
    size_t i = 0;
    bool ok = true;
    if (!script_.empty() && script_.front().kind != Step::Kind::Accept) {
        if (!acceptNext()) {
            fail("no connection arrived for " + describe(script_.front()));
            ok = false;
        }
    }
    for (; ok && i < script_.size(); ++i) {
        const Step& step = script_[i];
        if (step.kind != Step::Kind::Accept && connFd_ < 0) {
            fail("no open connection for step " + std::to_string(i) + " " + describe(step));
            ok = false;
            break;
        }
        switch (step.kind) {
        case Step::Kind::Accept:
            if (connFd_ >= 0) {
                waitForClose("before the next connection");
                closeConnection();
            }
            if (!acceptNext()) {
                fail("no connection arrived for step " + std::to_string(i) + " Accept()");
                ok = false;
            }
            break;
        case Step::Kind::Expect: {
            std::string line;
            bool closed = false;
            if (!readLine(line, closed)) {
                fail(std::string(closed ? "the client closed the connection" : "the client sent nothing") +
                     " where step " + std::to_string(i) + " expects " + describe(step));
                ok = false;
            } else if (line != step.text + "\r\n") {
                fail("step " + std::to_string(i) + " expects " + describe(step) + ", the client sent \"" +
                     Visible(line) + "\"");
                ok = false;
            }
            break;
        }
        case Step::Kind::Send: {
            // A reply answers the commands the script expected before it:
            // a client line already waiting here was sent ahead of its turn
            // (a client that pipelines where the script does not).
            char ahead = 0;
            if (!clientMaySendAhead_ &&
                (!pending_.empty() || ::recv(connFd_, &ahead, 1, MSG_PEEK | MSG_DONTWAIT) == 1)) {
                fail("step " + std::to_string(i) + " " + describe(step) +
                     ": the client sent more before this reply: \"" + Visible(pending_) + (pending_.empty() ? "..." : "") +
                     "\"");
                ok = false;
                break;
            }
            size_t sent = 0;
            while (sent < step.text.size()) {
                ssize_t n = ::send(connFd_, step.text.data() + sent, step.text.size() - sent, MSG_NOSIGNAL);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) break;
                sent += static_cast<size_t>(n);
            }
            if (sent < step.text.size()) {
                fail("could not send step " + std::to_string(i) + " " + describe(step) + ": the client is gone");
                ok = false;
            }
            break;
        }
        case Step::Kind::Close:
            closeGracefully();
            break;
        case Step::Kind::Within: {
            std::string line;
            bool closed = false, timedOut = false;
            if (readLineWithin(line, closed, step.ms, timedOut)) {
                if (line != step.text + "\r\n") {
                    fail("step " + std::to_string(i) + " expects " + describe(step) + ", the client sent \"" +
                         Visible(line) + "\"");
                    ok = false;
                }
            } else if (timedOut && step.text.empty()) {
                closeGracefully();  // the idle client is logged off, as expected
            } else {
                fail(std::string(closed ? "the client closed the connection" : "the client sent nothing in time") +
                     " where step " + std::to_string(i) + " expects " + describe(step));
                if (timedOut) closeGracefully();
                ok = false;
            }
            break;
        }
        case Step::Kind::Hold:
            if (!hold(i)) {
                closeConnection();
                fail("the client closed the connection while step " + std::to_string(i) + " Hold() waited");
                ok = false;
            }
            break;
        case Step::Kind::Endless:
            if (!stream(i, step)) {
                fail("the client never closed the connection during step " + std::to_string(i) + " " + describe(step));
                ok = false;
            }
            break;
        case Step::Kind::Pause:
            std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(step.text)));
            break;
        case Step::Kind::Silent:
            if (waitForClose("while the server was silent")) closeConnection();
            break;
        case Step::Kind::AwaitClose:
            if (waitForClose("while waiting for the client to close"))
                closeConnection();
            else {
                fail("the client did not close the connection (step " + std::to_string(i) + ")");
                ok = false;
            }
            break;
        }
    }
    if (ok && connFd_ >= 0) waitForClose("after the end of the script");
    closeConnection();
    if (!ok) {
        // The dialogue is lost: refuse further connections, so that a client
        // trying again fails at once instead of waiting for a greeting.
        ::shutdown(listenFd_, SHUT_RDWR);
        listenerShut_ = true;
    }
}

}  // namespace mgtest
