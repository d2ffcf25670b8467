// What the benchmarks share: the generated mailbox, the message lines as the
// window builds them, a minimal blocking POP3 client (the floor), and the
// figures of a process (processor time, resident memory).
#pragma once

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace mgbench {

// A small deterministic generator, so every run scans the same mailbox.
struct Random {
    uint64_t state;
    uint32_t next() {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<uint32_t>(state >> 33);
    }
    uint32_t below(uint32_t n) { return next() % n; }
};

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// One message with a header block of ordinary size (trace lines, a folded
// signature, the usual fields; about 1.5 KB) and a body of 0.5 to 20 KB, or
// of 8 lines when `shortBody` (the same headers either way).
std::string MakeMessage(int n, Random& rnd, bool shortBody = false);

// What a scan leaves: the message lines, as the window builds them.
struct ScanResult {
    int count = 0;
    uint64_t checksum = 1469598103934665603ULL;
    void add(const std::string& line) {
        for (unsigned char c : line) checksum = (checksum ^ c) * 1099511628211ULL;
        checksum = (checksum ^ 0xFF) * 1099511628211ULL;
    }
};

// The size column of a line, "%6d Кб | " with the size in KB rounded up.
std::string ListingLine(int32_t size);
// The line completed with the sender address and the decoded subject.
std::string SummaryLine(const std::string& listing, const std::string& from, const std::vector<std::string>& header,
                        const std::string& subject);
// A reply line without its line end (LF or CR LF).
inline std::string WithoutLineEnd(const std::string& line) {
    return line.substr(0, line.size() - (line.size() >= 2 && line[line.size() - 2] == '\r' ? 2 : !line.empty() ? 1 : 0));
}

struct Account {
    std::string host;
    int port = 0;
    std::string user;
    std::string password;
    std::string caFile;  // not empty: POP3 over TLS, with this CA trusted
};

// The floor: one blocking socket, one send per command, replies read through
// a buffer and split into lines. Only what is needed, nothing for robustness
// beyond failing loudly.
class BlockingClient {
public:
    explicit BlockingClient(const Account& account) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        if (fd_ < 0) throw std::runtime_error("socket failed");
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(account.port));
        ::inet_pton(AF_INET, account.host.c_str(), &addr.sin_addr);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
            throw std::runtime_error(std::string("connect failed: ") + std::strerror(errno));
        if (!account.caFile.empty()) StartTls(account);
    }
    ~BlockingClient() {
        if (ssl_) {
            SSL_shutdown(ssl_);
            SSL_free(ssl_);
        }
        if (ctx_) SSL_CTX_free(ctx_);
        ::close(fd_);
    }
    BlockingClient(const BlockingClient&) = delete;
    BlockingClient& operator=(const BlockingClient&) = delete;

    void send(const std::string& command) {
        const std::string line = command + "\r\n";
        size_t sent = 0;
        while (sent < line.size()) {
            const ssize_t n = ssl_ ? SSL_write(ssl_, line.data() + sent, static_cast<int>(line.size() - sent))
                                   : ::send(fd_, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) throw std::runtime_error("send failed");
            sent += static_cast<size_t>(n);
        }
    }

    // One line with its line end.
    std::string line() {
        for (;;) {
            const void* lf = std::memchr(buffer_.data() + start_, '\n', end_ - start_);
            if (lf) {
                const size_t stop = static_cast<size_t>(static_cast<const char*>(lf) - buffer_.data()) + 1;
                std::string out(buffer_.data() + start_, stop - start_);
                start_ = stop;
                return out;
            }
            if (start_ > 0) {
                std::memmove(buffer_.data(), buffer_.data() + start_, end_ - start_);
                end_ -= start_;
                start_ = 0;
            }
            if (end_ == buffer_.size()) throw std::runtime_error("line too long");
            const ssize_t n = ssl_ ? SSL_read(ssl_, buffer_.data() + end_, static_cast<int>(buffer_.size() - end_))
                                   : ::recv(fd_, buffer_.data() + end_, buffer_.size() - end_, 0);
            if (n <= 0) throw std::runtime_error("connection closed");
            end_ += static_cast<size_t>(n);
        }
    }

    // Sends `out` while reading: every line read is handed to `onLine` until
    // it returns false. Writes and reads share one poll loop, so that neither
    // side's buffers fill up and stall the other. Plain sockets only.
    void exchange(const std::string& out, const std::function<bool(const std::string&)>& onLine) {
        if (ssl_) throw std::runtime_error("exchange: plain sockets only");
        size_t sent = 0;
        for (;;) {
            while (const void* lf = std::memchr(buffer_.data() + start_, '\n', end_ - start_)) {
                const size_t stop = static_cast<size_t>(static_cast<const char*>(lf) - buffer_.data()) + 1;
                const std::string line(buffer_.data() + start_, stop - start_);
                start_ = stop;
                if (!onLine(line)) {
                    if (sent < out.size()) throw std::runtime_error("replies ended before the commands were sent");
                    return;
                }
            }
            if (start_ > 0) {
                std::memmove(buffer_.data(), buffer_.data() + start_, end_ - start_);
                end_ -= start_;
                start_ = 0;
            }
            if (end_ == buffer_.size()) throw std::runtime_error("line too long");
            pollfd p{fd_, static_cast<short>(POLLIN | (sent < out.size() ? POLLOUT : 0)), 0};
            if (::poll(&p, 1, -1) < 0) {
                if (errno == EINTR) continue;
                throw std::runtime_error("poll failed");
            }
            if (p.revents & POLLOUT) {
                const ssize_t n = ::send(fd_, out.data() + sent, out.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
                if (n > 0) sent += static_cast<size_t>(n);
                else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) throw std::runtime_error("send failed");
            }
            if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
                const ssize_t n = ::recv(fd_, buffer_.data() + end_, buffer_.size() - end_, MSG_DONTWAIT);
                if (n == 0) throw std::runtime_error("connection closed");
                if (n > 0) end_ += static_cast<size_t>(n);
                else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) throw std::runtime_error("receive failed");
            }
        }
    }

    std::string command(const std::string& text) {
        send(text);
        std::string reply = line();
        if (reply.compare(0, 3, "+OK") != 0) throw std::runtime_error(text + ": " + reply);
        return reply;
    }

private:
    // The same TLS as the component's: TLS 1.2 or later, whole records per
    // read, the certificate checked against the system's store, the CA and
    // the address.
    void StartTls(const Account& account) {
        ctx_ = SSL_CTX_new(TLS_client_method());
        if (!ctx_) throw std::runtime_error("no TLS context");
        SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
        SSL_CTX_set_read_ahead(ctx_, 1);
        SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER, nullptr);
        SSL_CTX_set_default_verify_paths(ctx_);
        if (SSL_CTX_load_verify_locations(ctx_, account.caFile.c_str(), nullptr) != 1)
            throw std::runtime_error("cannot load " + account.caFile);
        ssl_ = SSL_new(ctx_);
        SSL_set_fd(ssl_, fd_);
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_), account.host.c_str());
        if (SSL_connect(ssl_) != 1) {
            char reason[256];
            ERR_error_string_n(ERR_peek_last_error(), reason, sizeof reason);
            throw std::runtime_error(std::string("TLS handshake failed: ") + reason);
        }
    }

    int fd_ = -1;
    SSL_CTX* ctx_ = nullptr;
    SSL* ssl_ = nullptr;
    std::vector<char> buffer_ = std::vector<char>(65536);
    size_t start_ = 0;
    size_t end_ = 0;
};

// The line that ends a multi-line reply.
inline bool IsDot(const std::string& line) { return line == ".\r\n" || line == ".\n"; }
// A header field's value: after the name and one blank, without line end.
std::string ValueOf(const std::string& line, size_t nameLength);

// The lock-step floor: every command sent when the reply to the one before
// has arrived. `repliesDone`, when given, is set when the last reply before
// QUIT has arrived.
ScanResult ScanWithBlockingClient(const Account& account,
                                  std::chrono::steady_clock::time_point* repliesDone = nullptr);

// Processor time (user + system) of this process so far, in ms.
double CpuMs();
// A field of /proc/self/status in KB (VmRSS, VmHWM), 0 when absent.
long StatusKb(const char* field);
// Sets the peak resident set (VmHWM) back to the present one, so that the
// next reading is the peak of what runs in between.
void ResetPeakResident();

double Median(std::vector<double> v);

// Runs this program again (/proc/self/exe) with these arguments, the first
// being the program's name, and returns what it printed on its standard
// output; raises unless it exited with status 0.
std::string RunSelf(const std::vector<std::string>& args);

}  // namespace mgbench
