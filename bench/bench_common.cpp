#include "bench/bench_common.h"

#include <QByteArray>
#include <cstdio>
#include <stdexcept>
#include <unistd.h>
#include <sys/wait.h>
#include <cerrno>
#include <cstdlib>

#include <sys/resource.h>

#include "decode/Ucoder.h"
#include "lists/Sender.h"
#include "platform/codepage.h"
#include "platform/strutil.h"

namespace mgbench {

namespace {

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

}  // namespace

std::string MakeMessage(int n, Random& rnd, bool shortBody) {
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
        }
        default: subject = mg::Format("Weekly digest #%d: what changed this week", n); break;
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
    const uint32_t drawn = rnd.below(320);  // drawn either way: later messages stay the same
    const int bodyLines = 8 + (shortBody ? 0 : static_cast<int>(drawn));
    for (int i = 0; i < bodyLines; ++i) m += std::string(60, static_cast<char>('a' + (i + n) % 26)) + "\n";
    return m;
}

std::string ListingLine(int32_t size) {
    const int kb = static_cast<int>((static_cast<int64_t>(size) + 1023) / 1024);
    return mg::Format("%6d", kb) + mg::A(" Кб | ");
}

std::string SummaryLine(const std::string& listing, const std::string& from, const std::vector<std::string>& header,
                        const std::string& subject) {
    const mg::SenderKeys keys = mg::DeriveSender(from);
    return listing + mg::Format("%-30s | ", keys.Address.c_str()) + DecodeSubject(header, subject);
}

std::string ValueOf(const std::string& line, size_t nameLength) {
    std::string value = line.substr(nameLength);
    if (!value.empty() && value.front() == ' ') value.erase(0, 1);
    while (!value.empty() && (value.back() == '\n' || value.back() == '\r')) value.pop_back();
    return value;
}

ScanResult ScanWithBlockingClient(const Account& account, std::chrono::steady_clock::time_point* repliesDone) {
    BlockingClient client(account);
    if (client.line().compare(0, 3, "+OK") != 0) throw std::runtime_error("bad greeting");
    client.command("USER " + account.user);
    client.command("PASS " + account.password);
    const std::string stat = client.command("STAT");
    const int count = std::atoi(stat.c_str() + 4);
    std::vector<std::string> lines;
    client.command("LIST");
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
            header.push_back(WithoutLineEnd(line));
        }
        client.command("LIST " + number);
        lines.at(i - 1) = SummaryLine(lines.at(i - 1), from, header, subject);
    }
    if (repliesDone) *repliesDone = std::chrono::steady_clock::now();
    client.command("QUIT");

    ScanResult result;
    result.count = count;
    for (const auto& line : lines) result.add(line);
    return result;
}

double CpuMs() {
    rusage ru{};
    ::getrusage(RUSAGE_SELF, &ru);
    return (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e3 + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e3;
}

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

void ResetPeakResident() {
    if (FILE* f = std::fopen("/proc/self/clear_refs", "w")) {
        std::fputs("5", f);
        std::fclose(f);
    }
}


double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

std::string RunSelf(const std::vector<std::string>& args) {
    int pipefd[2];
    if (::pipe(pipefd) != 0) throw std::runtime_error("pipe failed");
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        ::dup2(pipefd[1], STDOUT_FILENO);
        ::close(pipefd[0]);
        ::close(pipefd[1]);
        ::execv("/proc/self/exe", argv.data());
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
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error(args.at(2) + " scan failed");
    return output;
}

}  // namespace mgbench
