#include "support/dovecot_server.h"

#include "support/shell.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace mgtest {

namespace {

std::atomic<int> g_sequence{0};

}  // namespace

int Pop3Size(const std::string& rfc822) {
    int size = 0;
    size_t start = 0;
    while (start < rfc822.size()) {
        size_t lf = rfc822.find('\n', start);
        if (lf == std::string::npos) {
            size += static_cast<int>(rfc822.size() - start);
            break;
        }
        size_t end = lf;
        if (end > start && rfc822[end - 1] == '\r') --end;
        size += static_cast<int>(end - start) + 2;
        start = lf + 1;
    }
    return size;
}

std::vector<std::string> HeaderLines(const std::string& rfc822) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < rfc822.size()) {
        size_t lf = rfc822.find('\n', start);
        std::string line = rfc822.substr(start, lf == std::string::npos ? std::string::npos : lf - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) break;
        lines.push_back(line);
        if (lf == std::string::npos) break;
        start = lf + 1;
    }
    return lines;
}

Maildir::Maildir(std::string path) : path_(std::move(path)) {
    for (const char* sub : {"cur", "new", "tmp"}) fs::create_directories(path_ + "/" + sub);
}

std::string Maildir::add(const std::string& rfc822) {
    std::string text;
    text.reserve(rfc822.size());
    for (size_t i = 0; i < rfc822.size(); ++i)
        if (!(rfc822[i] == '\r' && i + 1 < rfc822.size() && rfc822[i + 1] == '\n')) text += rfc822[i];
    // Seconds, then a sequence in the microseconds field: the server sorts
    // new mail by these, so messages keep the order in which they were added.
    char name[128];
    std::snprintf(name, sizeof name, "%lld.M%06dP%d.mailgrove", static_cast<long long>(std::time(nullptr)),
                  g_sequence.fetch_add(1) % 1000000, static_cast<int>(::getpid()));
    const std::string tmp = path_ + "/tmp/" + name;
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out) throw std::runtime_error("cannot write " + tmp);
    }
    struct stat st {};
    if (::stat(path_.c_str(), &st) == 0 && (st.st_uid != ::geteuid() || st.st_gid != ::getegid()))
        if (::chown(tmp.c_str(), st.st_uid, st.st_gid) != 0) throw std::runtime_error("cannot chown " + tmp);
    ::chmod(tmp.c_str(), 0600);
    fs::rename(tmp, path_ + "/new/" + name);
    ++sequence_;
    return name;
}

std::vector<std::string> Maildir::messages() const {
    std::vector<std::string> names;
    for (const char* sub : {"new", "cur"}) {
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(path_ + "/" + sub, ec)) {
            std::string name = entry.path().filename().string();
            names.push_back(name.substr(0, name.find(':')));
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

DovecotServer::DovecotServer(std::string user, std::string password)
    : user_(std::move(user)), password_(std::move(password)) {
    // Short and under /tmp: Dovecot's sockets live below it, and the mail user
    // (nobody, when run as root) must be able to reach it.
    std::string tmpl = "/tmp/mgdc-XXXXXX";
    if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    dir_ = tmpl;
}

DovecotServer::~DovecotServer() {
    stop();
    std::error_code ec;
    fs::remove_all(dir_, ec);
}

std::string DovecotServer::scriptDir() { return std::string(MG_SOURCE_DIR) + "/tests/support/dovecot"; }

std::string DovecotServer::maildirPath() const { return dir_ + "/home/" + user_ + "/Maildir"; }

std::vector<std::string> DovecotServer::storedMessages() const { return Maildir(maildirPath()).messages(); }

std::string DovecotServer::log() const { return readFile(dir_ + "/dovecot.log"); }

void DovecotServer::useTls(std::string names) {
    tls_ = true;
    tlsNames_ = std::move(names);
}

void DovecotServer::useStartTls() { starttls_ = true; }

std::string DovecotServer::caFile() const { return tls_ || starttls_ ? dir_ + "/tls/ca.pem" : std::string(); }

void DovecotServer::addMessage(const std::string& rfc822) {
    if (running_) Maildir(maildirPath()).add(rfc822);
    else queued_.push_back(rfc822);
}

bool DovecotServer::start() {
    if (running_) return true;
    port_ = runStartScript("bash " + shellQuote(scriptDir() + "/start-dovecot.sh") + " " + shellQuote(dir_) +
                               " --user " + shellQuote(user_) + " --password " + shellQuote(password_) +
                               " --owner-pid " + std::to_string(::getpid()) +
                               (tls_ ? " --tls-names " + shellQuote(tlsNames_) : std::string()) +
                               (starttls_ ? " --starttls" : "") +
                               (oauth2Url_.empty() ? std::string() : " --oauth2 " + shellQuote(oauth2Url_)),
                           dir_ + "/start.err", error_, unavailable_);
    if (port_ == 0) {
        stop();
        return false;
    }
    running_ = true;
    Maildir maildir(maildirPath());
    for (const auto& text : queued_) maildir.add(text);
    queued_.clear();
    return true;
}

void DovecotServer::stop() {
    std::string output;
    if (fs::exists(dir_ + "/run/master.pid"))
        run("bash " + shellQuote(scriptDir() + "/stop-dovecot.sh") + " " + shellQuote(dir_), output);
    running_ = false;
}

}  // namespace mgtest
