#include "mailbox/DeletionBin.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "decode/Ucoder.h"
#include "lists/Sender.h"
#include "platform/errors.h"
#include "platform/profile.h"
#include "platform/strutil.h"
#include "pop3/VantelPop3.h"

namespace mg {
namespace {

constexpr const char* kField = "X-Mailgrove-Deleted: ";
constexpr int64_t kMegabyte = 1024 * 1024;
constexpr std::time_t kDay = 24 * 60 * 60;
// The most of a file read to list it: its header block is all that is shown.
constexpr size_t kListedBytes = 64 * 1024;

const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

std::string Errno(int error) { return std::strerror(error); }

// Closes a descriptor on every way out.
struct Fd {
    int fd = -1;
    explicit Fd(int f) : fd(f) {}
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
};

bool WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool SyncDirectory(const std::string& dir) {
    Fd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return fd.fd >= 0 && ::fsync(fd.fd) == 0;
}

// A name no other file of the bin has: time, microseconds, process and a
// counter, and the host (Maildir's convention).
std::string UniqueName() {
    static std::atomic<unsigned> counter{0};
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    char host[256] = "localhost";
    ::gethostname(host, sizeof host - 1);
    std::string h;
    for (const char* p = host; *p; ++p) h += *p == '/' ? std::string("\\057") : *p == ':' ? std::string("\\072") : std::string(1, *p);
    return Format("%lld.M%ldP%dQ%u.", static_cast<long long>(now.tv_sec), now.tv_nsec / 1000, static_cast<int>(::getpid()),
                  counter.fetch_add(1)) +
           h;
}

template <typename F>
void EachFile(const std::string& dir, F&& each) {
    DIR* d = ::opendir(dir.c_str());
    if (!d) return;
    while (const dirent* e = ::readdir(d))
        if (e->d_name[0] != '.') each(dir + e->d_name);
    ::closedir(d);
}

// The value of `key=` among the field's "; "-separated parts.
std::string Part(const std::string& field, const std::string& key) {
    const std::string needle = "; " + key + "=";
    const size_t at = field.find(needle);
    if (at == std::string::npos) return {};
    const size_t from = at + needle.size();
    const size_t end = field.find(';', from);
    return Trim(field.substr(from, end == std::string::npos ? std::string::npos : end - from));
}

// A UIDL is printable ASCII (0x21 to 0x7E); any other byte a server puts in
// one is written "%XX" here, so that the field stays one line of the file.
std::string FieldUidl(const std::string& uidl) {
    std::string out;
    for (const char c : uidl) {
        const auto byte = static_cast<unsigned char>(c);
        out += byte > 0x20 && byte < 0x7F ? std::string(1, c) : Format("%%%02X", byte);
    }
    return out;
}

}  // namespace

BinSettings BinSettings::Read(const std::string& settingsPath, bool enabled) {
    BinSettings s;
    const auto number = [&](const char* key, int64_t fallback, int64_t low, int64_t high) {
        int32_t v = 0;
        if (!TryStrToInt(GetPrivateProfileString("BIN", key, "", settingsPath), v) || v < low || v > high) return fallback;
        return static_cast<int64_t>(v);
    };
    s.Enabled = number("ENABLED", enabled ? 1 : 0, 0, 1) != 0;
    s.MaxBytes = number("MAXSIZE", s.MaxBytes / kMegabyte, 1, 1000) * kMegabyte;
    s.RetentionDays = static_cast<int>(number("DAYS", s.RetentionDays, 1, 3650));
    return s;
}

bool BinSettings::Write(const std::string& settingsPath) const {
    return WritePrivateProfileString("BIN", "ENABLED", Enabled ? "1" : "0", settingsPath) &&
           WritePrivateProfileString("BIN", "MAXSIZE", IntToStr(static_cast<int32_t>(MaxBytes / kMegabyte)), settingsPath) &&
           WritePrivateProfileString("BIN", "DAYS", IntToStr(RetentionDays), settingsPath);
}

std::string DeletedFieldValue(std::time_t when, const std::string& mailbox, const std::string& uidl, int64_t headerOnlySize) {
    struct tm t {};
    ::localtime_r(&when, &t);
    const long offset = t.tm_gmtoff / 60;
    std::string value = Format("%s, %02d %s %04d %02d:%02d:%02d %c%02ld%02ld", kDays[t.tm_wday], t.tm_mday, kMonths[t.tm_mon],
                               t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec, offset < 0 ? '-' : '+',
                               std::labs(offset) / 60, std::labs(offset) % 60);
    value += "; mailbox=" + mailbox;
    if (!uidl.empty()) value += "; uidl=" + FieldUidl(uidl);
    if (headerOnlySize >= 0) value += "; header-only=" + std::to_string(headerOnlySize);
    return value;
}

std::string DeletionBin::SettledPath(const std::string& stagedName) const {
    return dir_ + "cur/" + stagedName + ":2,S";
}

DeletionBin::DeletionBin(std::string dir) : dir_(std::move(dir)) {
    if (!dir_.empty() && dir_.back() != '/') dir_ += '/';
}

bool DeletionBin::Prepare(std::string& error) {
    for (const std::string& d : {dir_, dir_ + "tmp/", dir_ + "new/", dir_ + "cur/"}) {
        if (::mkdir(d.c_str(), 0700) == 0 || errno == EEXIST) {
            struct stat st {};
            if (::stat(d.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
            error = d + ": " + Errno(ENOTDIR);
            return false;
        }
        error = d + ": " + Errno(errno);
        return false;
    }
    return true;
}

std::string DeletionBin::Stage(const std::string& fieldValue, const std::string& message) {
    const std::string name = UniqueName();
    const std::string path = dir_ + "tmp/" + name;
    const std::string head = kField + fieldValue + "\n";
    bool written = false;
    int error = 0;
    {
        Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        // The reason names the folder, not the file: it is the same for every message.
        if (fd.fd < 0) throw Exception(dir_ + "tmp/: " + Errno(errno));
        written = WriteAll(fd.fd, head.data(), head.size()) && WriteAll(fd.fd, message.data(), message.size());
        if (!written) error = errno;
        if (::close(std::exchange(fd.fd, -1)) != 0 && written) {
            written = false;
            error = errno;
        }
    }
    if (!written) {
        ::unlink(path.c_str());
        throw Exception(dir_ + "tmp/: " + Errno(error));
    }
    staged_.push_back(name);
    return name;
}

std::vector<std::string> DeletionBin::Settle(std::string& error) {
    std::vector<std::string> names;
    names.swap(staged_);
    std::vector<std::string> settled(names.size());
    if (names.empty()) return settled;
    // One flush of the file system for every file staged, rather than one
    // per file.
    {
        Fd dir(::open((dir_ + "tmp/").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (dir.fd < 0 || ::syncfs(dir.fd) != 0) {
            error = dir_ + "tmp/: " + Errno(errno);
            for (const std::string& n : names) ::unlink((dir_ + "tmp/" + n).c_str());
            return settled;
        }
    }
    for (size_t i = 0; i < names.size(); ++i) {
        const std::string from = dir_ + "tmp/" + names[i];
        const std::string to = SettledPath(names[i]);
        if (::rename(from.c_str(), to.c_str()) == 0) {
            settled[i] = to;
        } else {
            error = to + ": " + Errno(errno);
            ::unlink(from.c_str());
        }
    }
    if (!SyncDirectory(dir_ + "cur/")) {
        error = dir_ + "cur/: " + Errno(errno);
        for (std::string& s : settled)
            if (!s.empty()) ::unlink(std::exchange(s, std::string()).c_str());
    }
    return settled;
}

void DeletionBin::DropStaged() {
    for (const std::string& n : staged_) ::unlink((dir_ + "tmp/" + n).c_str());
    staged_.clear();
}

bool DeletionBin::Remove(const std::string& path) { return ::unlink(path.c_str()) == 0 || errno == ENOENT; }

int DeletionBin::Expire(int days, std::time_t now) {
    int removed = 0;
    const auto older = [&](const std::string& dir, std::time_t age) {
        EachFile(dir, [&](const std::string& path) {
            struct stat st {};
            if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_mtime < now - age &&
                ::unlink(path.c_str()) == 0)
                ++removed;
        });
    };
    older(dir_ + "cur/", days * kDay);
    older(dir_ + "new/", days * kDay);
    older(dir_ + "tmp/", kDay);
    return removed;
}

bool DeletionBin::ReadEntry(const std::string& path, BinEntry& entry) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (fd.fd < 0 || ::fstat(fd.fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    std::string head(std::min<size_t>(kListedBytes, static_cast<size_t>(st.st_size)), '\0');
    size_t got = 0;
    while (got < head.size()) {
        const ssize_t n = ::read(fd.fd, head.data() + got, head.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    head.resize(got);
    entry = BinEntry{};
    entry.Path = path;
    entry.Deleted = st.st_mtime;
    entry.Size = st.st_size;
    // The added field, then the message's header block up to its blank line.
    size_t at = 0;
    if (head.compare(0, std::strlen(kField), kField) == 0) {
        const size_t lf = head.find('\n');
        const std::string field = head.substr(0, lf);
        entry.Mailbox = Part(field, "mailbox");
        const std::string original = Part(field, "header-only");
        int32_t size = 0;
        entry.HeaderOnly = !original.empty();
        if (entry.HeaderOnly && TryStrToInt(original, size)) entry.Size = size;
        at = lf == std::string::npos ? head.size() : lf + 1;
        if (!entry.HeaderOnly) entry.Size -= static_cast<int64_t>(at);
    }
    size_t end = head.find("\n\n", at);
    end = end == std::string::npos ? head.size() : end + 1;
    const TSummary summary = SummaryOfBlock(head.substr(at, end - at), 0);
    entry.Sender = DeriveSender(summary.From).Address;
    entry.Subject = DecodeSubject(summary.Header, summary.Subject);
    return true;
}

std::vector<BinEntry> DeletionBin::List() const {
    std::vector<BinEntry> entries;
    for (const std::string& dir : {dir_ + "cur/", dir_ + "new/"})
        EachFile(dir, [&](const std::string& path) {
            BinEntry e;
            if (ReadEntry(path, e)) entries.push_back(std::move(e));
        });
    std::stable_sort(entries.begin(), entries.end(), [](const BinEntry& a, const BinEntry& b) {
        return a.Deleted != b.Deleted ? a.Deleted > b.Deleted : a.Path > b.Path;
    });
    return entries;
}

int DeletionBin::Clear() {
    int failed = 0;
    for (const std::string& dir : {dir_ + "cur/", dir_ + "new/"})
        EachFile(dir, [&](const std::string& path) { failed += Remove(path) ? 0 : 1; });
    return failed;
}

}  // namespace mg
