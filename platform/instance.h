// One running copy per data directory. The copy that starts first holds a
// lock on "mailgrove.lock" in the directory (the kernel releases it whenever
// the process ends, however it ends) and listens on a local socket named
// after the directory, in the user's runtime directory. A later start finds
// the lock held, asks that copy over the socket to bring up its window, and
// ends. When the lock cannot be had and no copy answers (a copy that hangs,
// a file system without locks), the later start runs read-only.
//
// The exchange: the asking start sends "show\n" (or "hidden\n" when it was
// itself to start hidden: nothing to bring up) and the running copy answers
// "ok\n". A request is at most one short line, sent within a few seconds;
// anything else ends the connection.
#pragma once

#include <functional>
#include <memory>
#include <string>

class QLocalServer;

namespace mg {

// An exclusive lock on the file "mailgrove.lock" in a directory (created
// mode 0600 when missing), held for the life of the object.
class DirectoryLock {
public:
    enum class State {
        Held,
        Busy,         // another process holds it
        Unavailable,  // the file cannot be opened, or the file system has no locks (error())
    };
    explicit DirectoryLock(const std::string& dir);
    ~DirectoryLock();
    DirectoryLock(const DirectoryLock&) = delete;
    DirectoryLock& operator=(const DirectoryLock&) = delete;

    State state() const { return state_; }
    int error() const { return error_; }

private:
    int fd_ = -1;
    State state_ = State::Unavailable;
    int error_ = 0;
};

class SingleInstance {
public:
    enum class Start {
        First,     // this copy holds the directory: it runs as usual
        Answered,  // a running copy took the request: this start ends
        ReadOnly,  // no lock, and no copy answered: run without writing the lists
    };

    // `dataDir`: the directory the lists live in; `runtimeDir`: where the
    // socket goes (the user's runtime directory; empty: the data directory).
    SingleInstance(std::string dataDir, std::string runtimeDir);
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // Takes the lock, or asks the copy that holds it, waiting for its answer
    // up to `answerMs` (a copy that has only just started may not listen yet).
    // `show`: whether this start would have shown its window.
    Start Begin(bool show, int answerMs = 5000);

    // Called on the event loop when a later start asks for the window; a
    // request that came before the handler is delivered at once.
    void OnShow(std::function<void()> show);

    // The socket's path: a name derived from the data directory's real path.
    const std::string& SocketPath() const { return socketPath_; }

private:
    enum class Asked { Answered, Silent, Nobody };
    Asked Ask(bool show, int answerMs) const;
    void Listen();
    void Requested();

    std::string dataDir_;
    std::string socketPath_;
    std::unique_ptr<DirectoryLock> lock_;
    std::unique_ptr<QLocalServer> server_;
    std::function<void()> show_;
    bool pending_ = false;
};

}  // namespace mg
