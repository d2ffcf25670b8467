// Scan benchmark: a private Dovecot POP3 mailbox on 127.0.0.1 scanned by the
// POP3 component the way the main window scans it (log on, STAT, list, one
// summary per message, pipelined as the server offers it, decoding of the
// subject and derivation of the sender), and by a minimal blocking client that sends the same commands over a plain
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

#include "bench/bench_common.h"
#include "platform/errors.h"
#include "platform/strutil.h"
#include "pop3/VantelPop3.h"
#include "support/dovecot_server.h"

namespace {

using namespace mgbench;

// ---------------------------------------------------------------- the scans

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
    mg::Await(pop3.Connect());
    const int count = pop3.MailCount();
    mg::Await(pop3.List());
    pop3.PlanSummaries(1, count);  // pipelined where the server offers it, as the window scans
    for (int i = 1; i <= count; ++i) {
        mg::Await(pop3.GetSummary(i));
        lines.at(i - 1) = SummaryLine(lines.at(i - 1), pop3.Summary().From, pop3.Summary().Header,
                                    pop3.Summary().Subject);
    }
    mg::Await(pop3.Disconnect());

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
    std::vector<std::string> args = {"bench_scan",  "--child",     mode, account.host, std::to_string(account.port),
                                     account.user, account.password};
    if (!account.caFile.empty()) args.push_back(account.caFile);
    const std::string output = RunSelf(args);
    Figures f;
    unsigned long long checksum = 0;
    if (std::sscanf(output.c_str(), "%lf %lf %ld %ld %ld %d %llu", &f.wallMs, &f.cpuMs, &f.rssBeforeKb,
                    &f.scanPeakKb, &f.peakKb, &f.count, &checksum) != 7)
        throw std::runtime_error(mode + " scan printed no figures: " + output);
    f.checksum = checksum;
    return f;
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
