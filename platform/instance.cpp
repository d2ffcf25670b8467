#include "platform/instance.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace mg {
namespace {

const QByteArray kShow = "show\n";
const QByteArray kHidden = "hidden\n";
const QByteArray kOk = "ok\n";
constexpr qint64 kRequestBytes = 16;  // the longest request and then some
constexpr int kRequestMs = 3000;      // for the asking start to send its line

}  // namespace

DirectoryLock::DirectoryLock(const std::string& dir) {
    const std::string path = dir + (dir.empty() || dir.back() == '/' ? "" : "/") + "mailgrove.lock";
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0) {
        error_ = errno;
        return;
    }
    if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) {
        state_ = State::Held;
        return;
    }
    error_ = errno;
    state_ = error_ == EWOULDBLOCK ? State::Busy : State::Unavailable;
    ::close(fd_);
    fd_ = -1;
}

DirectoryLock::~DirectoryLock() {
    if (fd_ >= 0) ::close(fd_);
}

SingleInstance::SingleInstance(std::string dataDir, std::string runtimeDir) : dataDir_(std::move(dataDir)) {
    char real[PATH_MAX];
    const std::string canonical = ::realpath(dataDir_.c_str(), real) ? std::string(real) : dataDir_;
    const QByteArray hash =
        QCryptographicHash::hash(QByteArray::fromStdString(canonical), QCryptographicHash::Sha256).toHex().left(16);
    if (runtimeDir.empty()) runtimeDir = dataDir_;  // no runtime directory: the data directory is private too
    while (runtimeDir.size() > 1 && runtimeDir.back() == '/') runtimeDir.pop_back();
    socketPath_ = runtimeDir + "/mailgrove-" + hash.toStdString();
}

SingleInstance::~SingleInstance() = default;

SingleInstance::Start SingleInstance::Begin(bool show, int answerMs) {
    lock_ = std::make_unique<DirectoryLock>(dataDir_);
    const QString name = QFile::decodeName(socketPath_.c_str());
    if (lock_->state() == DirectoryLock::State::Held) {
        // A socket found there was left by a copy that has ended: the one
        // that runs holds the lock.
        QLocalServer::removeServer(name);
        Listen();
        return Start::First;
    }
    const Asked asked = Ask(show, answerMs);
    if (asked == Asked::Answered) return Start::Answered;
    // With nobody listening, this copy takes the name, so that later starts
    // find it; a copy that took the connection and said nothing keeps it.
    if (asked == Asked::Nobody) {
        QLocalServer::removeServer(name);
        Listen();
    }
    return Start::ReadOnly;
}

SingleInstance::Asked SingleInstance::Ask(bool show, int answerMs) const {
    const QString name = QFile::decodeName(socketPath_.c_str());
    QElapsedTimer clock;
    clock.start();
    const auto left = [&] { return static_cast<int>(std::max<qint64>(0, answerMs - clock.elapsed())); };
    for (;;) {
        QLocalSocket socket;
        socket.connectToServer(name);
        if (socket.waitForConnected(left())) {
            socket.write(show ? kShow : kHidden);
            socket.flush();
            QByteArray reply;
            while (reply.size() < kOk.size() && (socket.bytesAvailable() > 0 || socket.waitForReadyRead(left())))
                reply += socket.read(kOk.size() - reply.size());
            return reply == kOk ? Asked::Answered : Asked::Silent;
        }
        // Not listening yet, or not at all.
        if (left() == 0) return Asked::Nobody;
        QThread::msleep(static_cast<unsigned long>(std::min(100, left())));
    }
}

void SingleInstance::Listen() {
    server_ = std::make_unique<QLocalServer>();
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    server_->setMaxPendingConnections(4);
    if (!server_->listen(QFile::decodeName(socketPath_.c_str()))) {
        server_.reset();
        return;
    }
    QObject::connect(server_.get(), &QLocalServer::newConnection, server_.get(), [this] {
        while (QLocalSocket* socket = server_->nextPendingConnection()) {
            // A request is one short line, sent at once; the buffer never
            // holds more than that.
            socket->setReadBufferSize(kRequestBytes);
            const auto drop = [socket] {
                socket->abort();
                socket->deleteLater();
            };
            QTimer::singleShot(kRequestMs, socket, drop);
            QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            QObject::connect(socket, &QLocalSocket::readyRead, socket, [this, socket, drop] {
                if (!socket->canReadLine()) {
                    if (socket->bytesAvailable() >= kRequestBytes) drop();
                    return;
                }
                const QByteArray line = socket->readLine();
                if (line != kShow && line != kHidden) return drop();
                if (line == kShow) Requested();
                socket->write(kOk);
                socket->disconnectFromServer();
            });
        }
    });
}

void SingleInstance::Requested() {
    if (show_)
        show_();
    else
        pending_ = true;
}

void SingleInstance::OnShow(std::function<void()> show) {
    show_ = std::move(show);
    if (pending_ && show_) {
        pending_ = false;
        show_();
    }
}

}  // namespace mg
