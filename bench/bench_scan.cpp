// Scan benchmark: a private Dovecot POP3 mailbox on 127.0.0.1 scanned by the
// POP3 component the way the main window scans it (log on, STAT, list, one
// summary per message, decoding of the subject and derivation of the sender),
// and by a minimal blocking client that sends the same commands over a plain
// socket: the floor for this protocol on this machine.
//
//     bench_scan [--messages N] [--repetitions R] [--tls] [--serve]
//
// --tls runs the server with POP3 over TLS only (as on port 995, with a
// certificate of a test CA made for the run); both clients then use TLS 1.2
// or later through OpenSSL and check the certificate against the system's
// trust store plus that CA, and the host.
// --serve only starts the server and prints how to run one scan by hand
// (for a profiler): bench_scan --child component|floor HOST PORT USER PASSWORD [CAFILE];
// a CA file means TLS.
//
// Each scan runs in a child process of its own (this program started again
// with --child), so its processor time and peak memory are its alone. The
// scans alternate, one warm-up scan of each first; the medians are reported.
// Both clients build the same message lines; their checksums must agree.
// Exit status: 0 when the component meets both targets (wall time at most
// 1.25 times the floor's, processor time below 1.5 times the floor's), 3 when
// it misses one, 2 when Dovecot is not available, 1 on any other failure.
#include <QByteArray>
#include <QCoreApplication>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "decode/Ucoder.h"
#include "lists/Sender.h"
#include "platform/codepage.h"
#include "platform/errors.h"
#include "platform/strutil.h"
#include "pop3/VantelPop3.h"
#include "support/dovecot_server.h"

namespace {

// ---------------------------------------------------------------- the mailbox

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

std::string Base64(const std::string& bytes) {
    std::string out;
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const uint32_t v = (uint8_t(bytes[i]) << 16) | (uint8_t(bytes[i + 1]) << 8) | uint8_t(bytes[i + 2]);
        for (int s = 18; s >= 0; s -= 6) out += kAlphabet[(v >> s) & 63];
    }
    if (i + 1 == bytes.size()) {
        const uint32_t v = uint8_t(bytes[i]) << 16;
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += "==";
    } else if (i + 2 == bytes.size()) {
        const uint32_t v = (uint8_t(bytes[i]) << 16) | (uint8_t(bytes[i + 1]) << 8);
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += '=';
    }
    return out;
}

std::string Quoted(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) out += char(c);
        else out += mg::Format("=%02X", c);
    }
    return out;
}

// Windows-1251 text to KOI8-R, through the code page tables.
std::string AnsiToKoi(const std::string& ansi) {
    std::string out;
    for (unsigned char c : ansi) {
        const char16_t wide = mg::Cp1251ToUnicode(c);
        int koi = '?';
        for (int b = 0; b < 256; ++b)
            if (mg::Koi8rToUnicode(static_cast<unsigned char>(b)) == wide) {
                koi = b;
                break;
            }
        out += static_cast<char>(koi);
    }
    return out;
}

// One message with a header block of ordinary size (trace lines, a folded
// signature, the usual fields; about 1.5 KB) and a body of 0.5 to 20 KB.
std::string MakeMessage(int n, Random& rnd) {
    static const std::vector<std::string> subjects = {
        mg::A("Отчёт за ноябрь"), mg::A("Скидки только сегодня"), mg::A("Договор и счёт на оплату"),
        mg::A("Встреча в пятницу"), mg::A("Расписание семинаров на декабрь"), mg::A("Выписка по счёту")};
    static const std::vector<std::string> servers = {"@mail.example", "@spam-relay.example", "@partner.example",
                                                     "@bulk-mailer.example", "@lists.university.example"};
    const std::string user = mg::Format("user%04d", static_cast<int>(rnd.below(5000)));
    const std::string address = user + servers[rnd.below(servers.size())];
    const std::string text = subjects[rnd.below(subjects.size())] + mg::Format(" #%d", n);
    std::string subject;
    switch (n % 6) {
        case 0: subject = "=?koi8-r?b?" + Base64(AnsiToKoi(text)) + "?="; break;
        case 1: subject = "=?koi8-r?q?" + Quoted(AnsiToKoi(text)) + "?="; break;
        case 2: subject = "=?windows-1251?b?" + Base64(text) + "?="; break;
        case 3: subject = "=?windows-1251?q?" + Quoted(text) + "?="; break;
        case 4: {
            // UTF-8 in two base64 words on two lines, split at a byte
            // boundary that may fall inside a character.
            const QByteArray utf8 = mg::FromAnsi(text).toUtf8();
            const qsizetype half = utf8.size() / 2;
            subject = "=?UTF-8?B?" + utf8.left(half).toBase64().toStdString() + "?=\n =?UTF-8?B?" +
                      utf8.mid(half).toBase64().toStdString() + "?=";
            break;
        }        default: subject = mg::Format("Weekly digest #%d: what changed this week", n); break;
    }
    std::string from;
    switch (n % 3) {
        case 0: from = address; break;
        case 1: from = mg::Format("User Number %d <%s>", n, address.c_str()); break;
        default: from = "=?koi8-r?b?" + Base64(AnsiToKoi(mg::A("Иван Петров"))) + "?= <" + address + ">"; break;
    }
    std::string m;
    m += mg::Format("Return-Path: <%s>\n", address.c_str());
    for (int hop = 0; hop < 3; ++hop)
        m += mg::Format("Received: from relay%d.example (relay%d.example [192.0.2.%d])\n"
                        "\tby mx%d.mailgrove.example (Postfix) with ESMTPS id 4Xq%05dZ%d\n"
                        "\tfor <demo@mailgrove.example>; Mon, 4 Nov 2024 10:%02d:%02d +0000 (UTC)\n",
                        hop, hop, (n + hop) % 250 + 1, hop, n, hop, n % 60, hop * 7);
    m += "DKIM-Signature: v=1; a=rsa-sha256; c=relaxed/relaxed; d=mail.example; s=sel2024;\n"
         "\th=from:to:subject:date:message-id:mime-version:content-type;\n"
         "\tbh=47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU=;\n";
    m += "\tb=" + Base64(std::string(96, static_cast<char>('a' + n % 26))) + "\n";
    m += "\t " + Base64(std::string(60, static_cast<char>('k' + n % 10))) + "\n";
    m += mg::Format("Date: Mon, 4 Nov 2024 10:%02d:%02d +0000\n", n % 60, (n * 7) % 60);
    m += "From: " + from + "\n";
    m += "To: demo@mailgrove.example\n";
    m += "Subject: " + subject + "\n";
    m += mg::Format("Message-ID: <bench.%d.%08x@mail.example>\n", n, rnd.next());
    m += "MIME-Version: 1.0\n";
    m += "Content-Type: text/plain; charset=koi8-r\n";
    m += "Content-Transfer-Encoding: 8bit\n";
    m += "X-Mailer: Bench Mailer 2.1\n";
    m += mg::Format("List-Unsubscribe: <mailto:unsubscribe-%d@lists.university.example>\n", n);
    m += "X-Spam-Status: No, score=-0.1 required=5.0 tests=DKIM_SIGNED,DKIM_VALID\n";
    m += "\n";
    const int bodyLines = 8 + static_cast<int>(rnd.below(320));
    for (int i = 0; i < bodyLines; ++i) m += std::string(60, static_cast<char>('a' + (i + n) % 26)) + "\n";
    return m;
}

// ---------------------------------------------------------------- the scans

// What a scan leaves: the message lines, as the window builds them.
struct ScanResult {
    int count = 0;
    uint64_t checksum = 1469598103934665603ULL;
    void add(const std::string& line) {
        for (unsigned char c : line) checksum = (checksum ^ c) * 1099511628211ULL;
        checksum = (checksum ^ 0xFF) * 1099511628211ULL;
    }
};

std::string ListingLine(int32_t size) {
    const int kb = static_cast<int>((static_cast<int64_t>(size) + 1023) / 1024);
    return mg::Format("%6d", kb) + mg::A(" Кб | ");
}

std::string SummaryLine(const std::string& listing, const std::string& from, const std::vector<std::string>& header,
                        const std::string& subject) {
    const mg::SenderKeys keys = mg::DeriveSender(from);
    return listing + mg::Format("%-30s | ", keys.Address.c_str()) + DecodeSubject(header, subject);
}

struct Account {
    std::string host;
    int port = 0;
    std::string user;
    std::string password;
    std::string caFile;  // not empty: POP3 over TLS, with this CA trusted
};

// The component, set up and driven as btnConnectClick drives it, with
// handlers standing in for the window's (status text kept, lines built).
ScanResult ScanWithComponent(const Account& account) {
    TVantelPOP3 pop3;
    std::string statusText;
    int retrieving = 0;
    std::vector<std::string> lines;
    pop3.OnStatus = [&](TComponent*, const std::string& status) { statusText = status; };
    pop3.OnRetrieveStart = [&](TObject*) { ++retrieving; };
    pop3.OnRetrieveEnd = [&](TObject*) { --retrieving; };
    pop3.OnList = [&](int32_t, int32_t size) { lines.push_back(ListingLine(size)); };

    pop3.SetAttachFilePath(".");
    pop3.DeleteOnRead = false;
    pop3.ReportLevel = 2;
    pop3.TimeOut = 20000;
    pop3.Host = account.host;
    pop3.Port = account.port;
    pop3.UserID = account.user;
    pop3.Password = account.password;
    if (!account.caFile.empty()) {
        pop3.SetTlsPortForTesting(account.port);
        pop3.SetTrustedCaFileForTesting(account.caFile);
    }
    pop3.Connect();
    const int count = pop3.MailCount();
    pop3.List();
    for (int i = 1; i <= count; ++i) {
        pop3.GetSummary(i);
        lines.at(i - 1) = SummaryLine(lines.at(i - 1), pop3.Summary().From, pop3.Summary().Header,
                                    pop3.Summary().Subject);
    }
    pop3.Disconnect();

    ScanResult result;
    result.count = count;
    for (const auto& line : lines) result.add(line);
    return result;
}

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

bool IsDot(const std::string& line) { return line == ".\r\n" || line == ".\n"; }

std::string ValueOf(const std::string& line, size_t nameLength) {
    std::string value = line.substr(nameLength);
    if (!value.empty() && value.front() == ' ') value.erase(0, 1);
    while (!value.empty() && (value.back() == '\n' || value.back() == '\r')) value.pop_back();
    return value;
}

ScanResult ScanWithBlockingClient(const Account& account) {
    BlockingClient client(account);
    if (client.line().compare(0, 3, "+OK") != 0) throw std::runtime_error("bad greeting");
    client.command("USER " + account.user);
    client.command("PASS " + account.password);
    const std::string stat = client.command("STAT");
    const int count = std::atoi(stat.c_str() + 4);
    std::vector<std::string> lines;
    client.command("LIST ");
    for (std::string line = client.line(); !IsDot(line); line = client.line())
        lines.push_back(ListingLine(static_cast<int32_t>(std::atol(line.c_str() + line.find(' ') + 1))));
    for (int i = 1; i <= count; ++i) {
        const std::string number = std::to_string(i);
        client.command("TOP " + number + " 0");
        std::string from, subject;
        std::vector<std::string> header;
        for (std::string line = client.line(); !IsDot(line); line = client.line()) {
            if (line.rfind("Subject:", 0) == 0) subject = ValueOf(line, 8);
            if (line.rfind("From:", 0) == 0) from = ValueOf(line, 5);
            header.push_back(line.substr(0, line.size() - (line.size() >= 2 && line[line.size() - 2] == '\r' ? 2 : 1)));
        }
        client.command("LIST " + number);
        lines.at(i - 1) = SummaryLine(lines.at(i - 1), from, header, subject);
    }
    client.command("QUIT");

    ScanResult result;
    result.count = count;
    for (const auto& line : lines) result.add(line);
    return result;
}

// ---------------------------------------------------------------- measuring

struct Figures {
    double wallMs = 0;
    double cpuMs = 0;      // user + system, of the scan alone
    long rssBeforeKb = 0;  // resident set just before the scan
    long peakKb = 0;       // peak resident set of the child (setup and scan)
    int count = 0;
    uint64_t checksum = 0;
    long scanPeakKb = 0;   // peak resident set during the scan
    long growthKb() const { return std::max(0L, scanPeakKb - rssBeforeKb); }
};

double CpuMs() {
    rusage ru{};
    ::getrusage(RUSAGE_SELF, &ru);
    return (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e3 + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e3;
}

// A field of /proc/self/status in KB (VmRSS, VmHWM), 0 when absent.
long StatusKb(const char* field) {
    long kb = 0;
    if (FILE* f = std::fopen("/proc/self/status", "r")) {
        char line[256];
        const size_t length = std::strlen(field);
        while (std::fgets(line, sizeof line, f))
            if (std::strncmp(line, field, length) == 0 && line[length] == ':') {
                kb = std::atol(line + length + 1);
                break;
            }
        std::fclose(f);
    }
    return kb;
}

// Sets the peak resident set (VmHWM) back to the present one, so that the
// next reading is the peak of what runs in between.
void ResetPeakResident() {
    if (FILE* f = std::fopen("/proc/self/clear_refs", "w")) {
        std::fputs("5", f);
        std::fclose(f);
    }
}

// The child: one scan, its figures on standard output as one line.
int RunChild(int argc, char** argv) {
    if (argc < 7) return 2;
    const std::string mode = argv[2];
    Account account{argv[3], std::atoi(argv[4]), argv[5], argv[6], argc > 7 ? argv[7] : ""};
    // The component needs the event loop; the floor does not get one.
    std::unique_ptr<QCoreApplication> app;
    if (mode == "component") app = std::make_unique<QCoreApplication>(argc, argv);
    try {
        Figures f;
        // The peak of this process's own memory: getrusage's ru_maxrss would
        // include the parent's image from before the exec.
        const long setupPeakKb = StatusKb("VmHWM");
        f.rssBeforeKb = StatusKb("VmRSS");
        ResetPeakResident();
        const double cpu0 = CpuMs();
        const auto t0 = std::chrono::steady_clock::now();
        const ScanResult r = mode == "component" ? ScanWithComponent(account) : ScanWithBlockingClient(account);
        const auto t1 = std::chrono::steady_clock::now();
        f.cpuMs = CpuMs() - cpu0;
        f.wallMs = std::chrono::duration<double, std::milli>(t1 - t0).count();
        f.scanPeakKb = StatusKb("VmHWM");
        f.peakKb = std::max(setupPeakKb, f.scanPeakKb);
        std::printf("%.3f %.3f %ld %ld %ld %d %llu\n", f.wallMs, f.cpuMs, f.rssBeforeKb, f.scanPeakKb, f.peakKb, r.count,
                    static_cast<unsigned long long>(r.checksum));
        return 0;
    } catch (const Exception& e) {
        std::fprintf(stderr, "bench_scan: %s scan failed: %s\n", mode.c_str(), e.Message.c_str());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_scan: %s scan failed: %s\n", mode.c_str(), e.what());
    }
    return 1;
}

volatile std::sig_atomic_t g_stop = 0;

// Runs one scan in a child process and collects its figures.
Figures RunScan(const std::string& mode, const Account& account) {
    int pipefd[2];
    if (::pipe(pipefd) != 0) throw std::runtime_error("pipe failed");
    const std::string port = std::to_string(account.port);
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        ::dup2(pipefd[1], STDOUT_FILENO);
        ::close(pipefd[0]);
        ::close(pipefd[1]);
        const char* args[] = {"bench_scan",          "--child", mode.c_str(), account.host.c_str(), port.c_str(),
                              account.user.c_str(),  account.password.c_str(),
                              account.caFile.empty() ? nullptr : account.caFile.c_str(), nullptr};
        ::execv("/proc/self/exe", const_cast<char* const*>(args));
        _exit(127);
    }
    ::close(pipefd[1]);
    std::string output;
    char buf[256];
    for (;;) {
        const ssize_t n = ::read(pipefd[0], buf, sizeof buf);
        if (n > 0) output.append(buf, static_cast<size_t>(n));
        else if (n == 0 || errno != EINTR) break;
    }
    ::close(pipefd[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error(mode + " scan failed");
    Figures f;
    unsigned long long checksum = 0;
    if (std::sscanf(output.c_str(), "%lf %lf %ld %ld %ld %d %llu", &f.wallMs, &f.cpuMs, &f.rssBeforeKb,
                    &f.scanPeakKb, &f.peakKb, &f.count, &checksum) != 7)
        throw std::runtime_error(mode + " scan printed no figures: " + output);
    f.checksum = checksum;
    return f;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

struct Series {
    std::vector<double> wall, cpu, peak, growth;
    void add(const Figures& f) {
        wall.push_back(f.wallMs);
        cpu.push_back(f.cpuMs);
        peak.push_back(static_cast<double>(f.peakKb));
        growth.push_back(static_cast<double>(f.growthKb()));
    }
};

void PrintRow(const char* name, const Figures& f) {
    std::printf("  %-10s %9.1f ms wall %9.1f ms cpu %8ld KB peak %8ld KB growth\n", name, f.wallMs, f.cpuMs, f.peakKb,
                f.growthKb());
}

int RunBenchmark(int messages, int repetitions, bool tls, bool serveOnly) {
    std::signal(SIGINT, [](int) { g_stop = 1; });
    std::signal(SIGTERM, [](int) { g_stop = 1; });

    mgtest::DovecotServer dovecot;
    Random rnd{20241104};
    for (int n = 1; n <= messages; ++n) dovecot.addMessage(MakeMessage(n, rnd));
    if (tls) dovecot.useTls();
    std::printf("Starting Dovecot with %d messages%s...\n", messages, tls ? ", POP3 over TLS only" : "");
    std::fflush(stdout);
    if (!dovecot.start()) {
        std::fprintf(stderr, "bench_scan: Dovecot did not start: %s\n", dovecot.error().c_str());
        return dovecot.unavailable() ? 2 : 1;
    }
    const Account account{mgtest::DovecotServer::host(), dovecot.port(), dovecot.user(), dovecot.password(),
                          dovecot.caFile()};
    std::printf("Dovecot POP3%s on %s:%d\n", tls ? " over TLS" : "", account.host.c_str(), account.port);
    if (serveOnly) {
        // For profiling one client by hand:
        //   bench_scan --child component|floor HOST PORT USER PASSWORD [CAFILE]
        std::printf("Serving until interrupted; scan with:\n  %s --child component %s %d %s %s %s\n",
                    "bench_scan", account.host.c_str(), account.port, account.user.c_str(),
                    account.password.c_str(), account.caFile.c_str());
        std::fflush(stdout);
        while (!g_stop) ::pause();
        return 0;
    }

    try {
        // Warm-up: the server builds its index and caches on the first scan.
        const Figures warmFloor = RunScan("floor", account);
        const Figures warmComponent = RunScan("component", account);
        std::printf("warm-up:\n");
        PrintRow("floor", warmFloor);
        PrintRow("component", warmComponent);
        if (warmFloor.count != messages || warmComponent.count != messages ||
            warmFloor.checksum != warmComponent.checksum) {
            std::fprintf(stderr, "bench_scan: the scans disagree: %d/%d messages, lines %016llx/%016llx\n",
                         warmFloor.count, warmComponent.count, static_cast<unsigned long long>(warmFloor.checksum),
                         static_cast<unsigned long long>(warmComponent.checksum));
            return 1;
        }

        Series floor, component;
        for (int r = 0; r < repetitions && !g_stop; ++r) {
            // Alternate which goes first, so drift in the machine's load
            // falls on both alike.
            Figures a, b;
            if (r % 2 == 0) {
                a = RunScan("floor", account);
                b = RunScan("component", account);
            } else {
                b = RunScan("component", account);
                a = RunScan("floor", account);
            }
            if (a.checksum != warmFloor.checksum || b.checksum != warmFloor.checksum)
                throw std::runtime_error("a scan built different lines");
            std::printf("repetition %d:\n", r + 1);
            PrintRow("floor", a);
            PrintRow("component", b);
            std::fflush(stdout);
            floor.add(a);
            component.add(b);
        }
        if (g_stop) return 130;

        const double fw = Median(floor.wall), cw = Median(component.wall);
        const double fc = Median(floor.cpu), cc = Median(component.cpu);
        const double fp = Median(floor.peak), cp = Median(component.peak);
        const double fg = Median(floor.growth), cg = Median(component.growth);
        std::printf("\nScan of %d messages%s (log on, LIST, TOP n 0 + LIST n each, QUIT), median of %d:\n", messages,
                    tls ? " over TLS" : "",
                    repetitions);
        std::printf("  %-10s %12s %12s %14s %14s\n", "", "wall ms", "cpu ms", "peak RSS KB", "RSS growth KB");
        std::printf("  %-10s %12.1f %12.1f %14.0f %14.0f\n", "floor", fw, fc, fp, fg);
        std::printf("  %-10s %12.1f %12.1f %14.0f %14.0f\n", "component", cw, cc, cp, cg);
        std::printf("  %-10s %12.2f %12.2f %14.2f %14s\n", "ratio", cw / fw, cc / fc, cp / fp,
                    fg > 0 ? mg::Format("%.2f", cg / fg).c_str() : "-");
        std::printf("  per message: floor %.1f us wall, %.1f us cpu; component %.1f us wall, %.1f us cpu\n",
                    fw * 1e3 / messages, fc * 1e3 / messages, cw * 1e3 / messages, cc * 1e3 / messages);
        // On a shared machine the least disturbed scan of each says most
        // about the code; the targets are judged on the medians.
        const auto least = [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); };
        std::printf("  best of %d: floor %.1f ms wall, %.1f ms cpu; component %.1f ms wall, %.1f ms cpu; "
                    "ratio %.2f wall, %.2f cpu\n",
                    repetitions, least(floor.wall), least(floor.cpu), least(component.wall), least(component.cpu),
                    least(component.wall) / least(floor.wall), least(component.cpu) / least(floor.cpu));
        const bool wallOk = cw <= 1.25 * fw;
        const bool cpuOk = cc < 1.5 * fc;
        std::printf("Targets: wall <= 1.25 x floor: %s; cpu < floor + 50%%: %s\n", wallOk ? "met" : "MISSED",
                    cpuOk ? "met" : "MISSED");
        return wallOk && cpuOk ? 0 : 3;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_scan: %s\n", e.what());
        return 1;
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "--child") == 0) return RunChild(argc, argv);
    int messages = 2000, repetitions = 7;
    bool serveOnly = false, tls = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--messages" && i + 1 < argc) messages = std::atoi(argv[++i]);
        else if (arg == "--repetitions" && i + 1 < argc) repetitions = std::atoi(argv[++i]);
        else if (arg == "--tls") tls = true;
        else if (arg == "--serve") serveOnly = true;
        else {
            std::fprintf(stderr, "usage: bench_scan [--messages N] [--repetitions R] [--tls] [--serve]\n");
            return 2;
        }
    }
    if (messages < 1 || repetitions < 1) return 2;
    return RunBenchmark(messages, repetitions, tls, serveOnly);
}
