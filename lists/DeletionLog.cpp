#include "lists/DeletionLog.h"

#include <QDate>
#include <QLocale>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "platform/codepage.h"
#include "platform/errors.h"

namespace mg {

std::string Today() { return ToAnsi(QLocale::system().toString(QDate::currentDate(), QLocale::ShortFormat)); }

bool DeletionLog::Open(const std::string& path) {
    fd_ = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd_ < 0) fd_ = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    return fd_ >= 0;
}

void DeletionLog::Write(const std::string& line) {
    size_t done = 0;
    while (fd_ >= 0 && error_ == 0 && done < line.size()) {
        const ssize_t n = ::write(fd_, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0)
            error_ = n < 0 ? errno : ENOSPC;
        else
            done += static_cast<size_t>(n);
    }
}

void DeletionLog::Close() {
    if (fd_ < 0) return;
    if (::close(fd_) != 0 && error_ == 0) error_ = errno;
    fd_ = -1;
    if (error_) throw EInOutError(InOutErrorText(error_));
}

DeletionLog::~DeletionLog() {
    if (fd_ >= 0) ::close(fd_);
}

}  // namespace mg
