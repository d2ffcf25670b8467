// bench_hostile: what a hostile POP3 server costs a mailbox session.
//
// A server thread on 127.0.0.1 answers a scan (or a delete run with the bin)
// normally up to one command, whose reply it then sends without end: as fast
// as the client reads, or a line every 100 ms. For each reply the program
// prints how many bytes the server got out before the client closed, the
// growth of the process's peak resident memory, that growth as a share of
// the bytes streamed and against an honest scan of the same mailbox in the
// same run, how long the reply lasted and how it ended. A reply the client
// does not end is given up on after 30 s or 1 GB ("guard"). The last row is
// an end asked for (as "Разрыв соединения" does) 0.5 s into a reply that
// keeps its pace: the time from the request to the end of the session.
//
//   bench_hostile
#include <QCoreApplication>
#include <QElapsedTimer>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "bench_common.h"
#include "lists/SpamTree.h"
#include "lists/WhiteList.h"
#include "mailbox/MailboxSession.h"
#include "platform/codepage.h"
#include "support/temp_dir.h"

namespace {

constexpr long kGuardKb = 1024 * 1024;
constexpr int kGuardMs = 30000;

struct Row {
    const char* name;
    int count;            // STAT's
    std::string command;  // answered without end (its start), empty: none
    std::string line;     // sent again and again after "+OK"
    int intervalMs = 0;   // 0: as fast as the client reads
    bool bin = false;     // a delete run with the bin meets it
    bool end = false;     // an end is asked for 0.5 s into it
};

// Plays the server for one connection; `streamed` counts the octets of the endless reply.
class Server {
public:
    explicit Server(const Row& row) : row_(row) {
        listen_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(listen_, 1);
        ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
        thread_ = std::thread([this] { Run(); });
    }
    ~Server() {
        stop = true;
        ::shutdown(listen_, SHUT_RDWR);
        thread_.join();
        ::close(listen_);
    }
    uint16_t port = 0;
    std::atomic<long long> streamed{0};
    std::atomic<bool> stop{false};

private:
    bool Send(int fd, const std::string& s) { return ::send(fd, s.data(), s.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(s.size()); }
    void Stream(int fd) {
        std::string chunk = row_.line + "\r\n";
        while (row_.intervalMs == 0 && chunk.size() < 65536) chunk += chunk;
        while (!stop) {
            pollfd p{fd, POLLOUT, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            const ssize_t n = ::send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && errno != EAGAIN) return;  // the client has closed
            if (n > 0) streamed += n;
            if (row_.intervalMs) std::this_thread::sleep_for(std::chrono::milliseconds(row_.intervalMs));
        }
    }
    void Run() {
        const int fd = ::accept(listen_, nullptr, nullptr);
        if (fd < 0) return;
        Send(fd, "+OK ready\r\n");
        std::string pending;
        char buf[4096];
        while (!stop) {
            const size_t lf = pending.find('\n');
            if (lf == std::string::npos) {
                const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
                if (n <= 0) break;
                pending.append(buf, static_cast<size_t>(n));
                continue;
            }
            const std::string line = pending.substr(0, lf > 0 && pending[lf - 1] == '\r' ? lf - 1 : lf);
            pending.erase(0, lf + 1);
            if (!row_.command.empty() && line.rfind(row_.command, 0) == 0) {
                Send(fd, "+OK\r\n");
                Stream(fd);
                break;
            }
            std::string reply = "+OK\r\n";
            if (line == "CAPA" || line == "UIDL") reply = "-ERR\r\n";
            if (line == "STAT") reply = "+OK " + std::to_string(row_.count) + " 0\r\n";
            if (line.rfind("LIST", 0) == 0 && line.size() <= 5) {
                reply = "+OK\r\n";
                for (int i = 1; i <= row_.count && i <= 100000; ++i) reply += std::to_string(i) + " 100\r\n";
                reply += ".\r\n";
            }
            if (line.rfind("TOP", 0) == 0) reply = "+OK\r\nFrom: a@spam.example\r\nSubject: s\r\n\r\n.\r\n";
            if (line.rfind("RETR", 0) == 0) reply = "+OK\r\nFrom: a@spam.example\r\n\r\nbody\r\n.\r\n";
            if (!Send(fd, reply) || line == "QUIT") break;
        }
        ::close(fd);
    }
    Row row_;
    int listen_ = -1;
    std::thread thread_;
};

struct Outcome {
    long long streamed = 0;
    long growthKb = 0;
    double ms = 0;
    double endMs = -1;  // from the end asked for to the end of the session
    std::string how;
};

Outcome Run(const Row& row) {
    mgtest::TempDir dir;
    mg::SpamTree spam;
    spam.LoadFromBytes("1@spam.example\r\n\tx\r\n");
    mg::WhiteList white;
    mg::MailboxSession session(dir.path(), spam, white);
    Server server(row);
    Outcome out;
    const auto settings = [&server] {
        mg::MailboxSettings s;
        s.Host = "127.0.0.1";
        s.Port = server.port;
        s.User = "joe";
        s.Password = "secret";
        return s;
    };
    const auto pump = [&](auto done) {
        QElapsedTimer guard;
        guard.start();
        while (!done()) {
            if (guard.elapsed() > kGuardMs) return false;
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
        }
        return true;
    };
    std::string error;
    const auto submit = [&](mg::MailboxSession::Job job) {
        session.Submit(std::move(job), [&error](std::exception_ptr e) {
            try {
                if (e) std::rethrow_exception(e);
            } catch (const std::exception& x) {
                error = mg::FromAnsi(x.what()).toStdString();
            }
        });
    };
    long before = mgbench::StatusKb("VmRSS");
    if (row.bin) {
        submit([&] { return session.Scan(settings); });
        pump([&] { return session.Settled(); });
        mg::BinSettings bin;
        session.SetBin(bin);
        before = mgbench::StatusKb("VmRSS");
    }
    mgbench::ResetPeakResident();
    const auto t0 = std::chrono::steady_clock::now();
    if (row.bin)
        submit([&] { return session.Delete(); });
    else
        submit([&] { return session.Scan(settings); });
    const auto grown = [&] { return mgbench::StatusKb("VmHWM") - before > kGuardKb; };
    bool ended = false;
    std::chrono::steady_clock::time_point asked;
    if (row.end) {
        QElapsedTimer t;
        t.start();
        pump([&] { return t.elapsed() >= 500; });
        asked = std::chrono::steady_clock::now();
        session.End([&ended](const mg::MailboxSession::EndResult&) { ended = true; });
    }
    const bool done = pump([&] { return grown() || (row.end ? ended && !session.Connected() : session.Settled()); });
    const auto t1 = std::chrono::steady_clock::now();
    out.growthKb = mgbench::StatusKb("VmHWM") - before;
    out.ms = std::chrono::duration<double, std::milli>(t1 - t0).count();
    if (row.end && ended) out.endMs = std::chrono::duration<double, std::milli>(t1 - asked).count();
    out.how = !done || grown() ? "guard" : row.end ? "ended" : error;
    server.stop = true;
    session.End(nullptr);
    pump([&] { return session.Settled(); });
    out.streamed = server.streamed;
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const std::string filler(200, 'x');
    const Row honest{"honest scan of 3 messages (baseline)", 3, "", ""};
    const Row rows[] = {
        {"STAT 2147483647", 2147483647, "", ""},
        {"STAT 1000000000", 1000000000, "", ""},
        {"LIST without end after STAT 2", 2, "LIST", "1 100"},
        {"header block without end", 1, "TOP", "X-Filler: " + filler},
        {"header block, a short line every 100 ms", 1, "TOP", "X: y", 100},
        {"RETR without end, bin (10 MB)", 3, "RETR", filler, 0, true},
        {"header block at 2 KB/s, end asked after 0.5 s", 1, "TOP", filler, 100, false, true},
    };
    // The program's own peak first, so that no row pays for what every one needs.
    Run(honest);
    const Outcome base = Run(honest);
    std::printf("%-48s %12s %10s %10s %10s %10s  %s\n", "reply", "streamed KB", "peak +KB", "per MB", "x honest",
                "ms", "how it ended");
    const auto print = [&base](const char* name, const Outcome& o) {
        const double perMb = o.streamed > 0 ? static_cast<double>(o.growthKb) / (static_cast<double>(o.streamed) / 1048576.0) : 0;
        const double ratio = base.growthKb > 0 ? static_cast<double>(o.growthKb) / static_cast<double>(base.growthKb) : 0;
        std::printf("%-48s %12.1f %10ld %10.1f %10.1f %10.0f  %s\n", name, static_cast<double>(o.streamed) / 1024.0, o.growthKb, perMb, ratio,
                    o.ms, o.how.c_str());
        if (o.endMs >= 0) std::printf("%-48s %.0f ms from the end asked for to the session's end\n", "", o.endMs);
    };
    print(honest.name, base);
    for (const Row& row : rows) print(row.name, Run(row));
    return 0;
}
