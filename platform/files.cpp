#include "platform/files.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mg {
namespace {
std::function<bool(const std::string&)> g_writeFault;
int g_writeFaultError = ENOSPC;
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
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode)) {
            errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
            return false;
        }
        if (!forceMode) mode = st.st_mode & 07777;
    }
    std::string tmp = path + ".XXXXXX";
    const int fd = ::mkstemp(tmp.data());
    if (fd < 0) return false;
    bool ok = ::fchmod(fd, mode) == 0;
    size_t done = 0;
    while (ok && done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) ok = false;
        else done += static_cast<size_t>(n);
    }
    if (ok && ::fsync(fd) != 0) ok = false;
    if (::close(fd) != 0) ok = false;
    if (ok && ::rename(tmp.c_str(), path.c_str()) != 0) ok = false;
    if (!ok) {
        const int saved = errno;
        ::unlink(tmp.c_str());
        errno = saved;
    }
    return ok;
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
