#include "platform/files.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <string_view>
#include <vector>

namespace mg {
namespace {
std::function<bool(const std::string&)> g_writeFault;
int g_writeFaultError = ENOSPC;

// A temporary is named "<file>.tmp-" and six letters or digits of mkstemp's.
constexpr std::string_view kTemporary = ".tmp-";
constexpr size_t kTemporaryRandom = 6;

// The name of the file whose temporary `name` is; empty when it is none.
std::string TemporaryOf(const std::string& name) {
    if (name.size() <= kTemporary.size() + kTemporaryRandom) return {};
    const size_t mark = name.size() - kTemporary.size() - kTemporaryRandom;
    if (name.compare(mark, kTemporary.size(), kTemporary) != 0) return {};
    for (size_t i = mark + kTemporary.size(); i < name.size(); ++i) {
        const char c = name[i];
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) return {};
    }
    return name.substr(0, mark);
}

}  // namespace

void SetWriteFaultForTest(std::function<bool(const std::string& path)> predicate, int error) {
    g_writeFault = std::move(predicate);
    g_writeFaultError = error;
}

bool ReadWholeFile(const std::string& path, std::string& data) {
    data.clear();
    // Non-blocking open: a FIFO or device in place of a file must not hang us.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return false;
    }
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            ::close(fd);
            return false;
        }
        if (n == 0) break;
        data.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return true;
}

bool WriteFileAtomic(const std::string& path, const std::string& data, mode_t mode, bool forceMode) {
    if (g_writeFault && g_writeFault(path)) {
        errno = g_writeFaultError;
        return false;
    }
    const std::string file = FileBehindLinks(path);
    struct stat st {};
    if (::stat(file.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode)) {
            errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
            return false;
        }
        if (!forceMode) mode = st.st_mode & 07777;
    }
    std::string tmp = file + std::string(kTemporary) + std::string(kTemporaryRandom, 'X');
    const int fd = ::mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0) return false;
    // Locked until it has its name: a start that clears what crashed saves
    // left behind keeps its hands off a temporary that is being written.
    bool ok = ::flock(fd, LOCK_EX) == 0 && ::fchmod(fd, mode) == 0;
    size_t done = 0;
    while (ok && done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) ok = false;
        else done += static_cast<size_t>(n);
    }
    if (ok && ::fsync(fd) != 0) ok = false;
    if (ok && ::rename(tmp.c_str(), file.c_str()) != 0) ok = false;
    const int saved = errno;
    if (!ok) ::unlink(tmp.c_str());
    ::close(fd);  // the data is on disk already
    errno = saved;
    return ok;
}

std::string FileBehindLinks(const std::string& path) {
    std::string file = path;
    for (int hops = 0; hops < 40; ++hops) {  // then stat() reports the loop
        struct stat st {};
        if (::lstat(file.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return file;
        char target[PATH_MAX];
        const ssize_t n = ::readlink(file.c_str(), target, sizeof target);
        if (n <= 0 || static_cast<size_t>(n) >= sizeof target) return file;
        const size_t slash = file.rfind('/');
        if (target[0] == '/' || slash == std::string::npos)
            file.assign(target, static_cast<size_t>(n));
        else
            file = file.substr(0, slash + 1) + std::string(target, static_cast<size_t>(n));
    }
    return file;
}

int RemoveLeftTemporaries(const std::string& dir, const std::function<bool(const std::string& name)>& ours) {
    const std::string prefix = dir.empty() || dir.back() == '/' ? dir : dir + "/";
    std::vector<std::string> found;
    if (DIR* d = ::opendir(dir.empty() ? "." : dir.c_str())) {
        while (const dirent* entry = ::readdir(d)) {
            const std::string name = entry->d_name;
            const std::string of = TemporaryOf(name);
            if (!of.empty() && ours(of)) found.push_back(prefix + name);
        }
        ::closedir(d);
    }
    int removed = 0;
    for (const std::string& path : found) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) continue;
        // A save under way holds its temporary's lock; the name must still
        // be the file that was locked (not renamed away meanwhile).
        struct stat locked {}, named {};
        if (::fstat(fd, &locked) == 0 && S_ISREG(locked.st_mode) && locked.st_uid == ::geteuid() &&
            ::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::lstat(path.c_str(), &named) == 0 &&
            named.st_dev == locked.st_dev && named.st_ino == locked.st_ino && ::unlink(path.c_str()) == 0)
            ++removed;
        ::close(fd);
    }
    return removed;
}

bool CopyFileReplacing(const std::string& src, const std::string& dst) {
    std::string data;
    if (!ReadWholeFile(src, data)) return false;
    return WriteFileAtomic(dst, data);
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

}  // namespace mg
