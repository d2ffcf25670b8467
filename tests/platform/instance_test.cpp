// One copy per data directory: the lock, and what a later start asks of the
// copy that holds it.
#include <QLocalSocket>
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "platform/instance.h"
#include "support/pump.h"
#include "support/temp_dir.h"

using Lock = mg::DirectoryLock;
using Start = mg::SingleInstance::Start;
using mgtest::TempDir;

namespace {

// A later start's Begin, on a thread of its own, while this thread's event
// loop lets the first copy answer.
Start BeginElsewhere(mg::SingleInstance& later, bool show) {
    Start start{};
    std::atomic<bool> done = false;
    std::thread thread([&] {
        start = later.Begin(show);
        done = true;
    });
    mgtest::PumpUntil([&] { return done.load(); });
    thread.join();
    return start;
}

}  // namespace

TEST(Instance, TheLockIsHeldOnceAndDiesWithItsHolder) {
    TempDir dir;
    {
        Lock first(dir.path()), second(dir.path());
        EXPECT_EQ(first.state(), Lock::State::Held);
        EXPECT_EQ(second.state(), Lock::State::Busy);
    }
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        Lock held(dir.path());
        [[maybe_unused]] const ssize_t n = ::write(ready[1], held.state() == Lock::State::Held ? "1" : "0", 1);
        ::pause();
        ::_exit(0);
    }
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    EXPECT_EQ(byte, '1');
    EXPECT_EQ(Lock(dir.path()).state(), Lock::State::Busy);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_EQ(Lock(dir.path()).state(), Lock::State::Held) << "a killed holder leaves no lock";
    EXPECT_EQ(Lock(dir.file("missing")).state(), Lock::State::Unavailable);
    ::close(ready[0]);
    ::close(ready[1]);
}

TEST(Instance, ALaterStartBringsUpTheFirstOrRunsReadOnly) {
    TempDir data, run, other;
    mg::SingleInstance first(data.path(), run.path()), later(data.path(), run.path());
    ASSERT_EQ(first.Begin(true), Start::First);
    int shown = 0;
    // Asked before its window exists, the first copy shows it once it does;
    // a hidden start has nothing to bring up.
    EXPECT_EQ(BeginElsewhere(later, true), Start::Answered);
    first.OnShow([&shown] { ++shown; });
    EXPECT_EQ(shown, 1);
    EXPECT_EQ(BeginElsewhere(later, false), Start::Answered);
    EXPECT_EQ(BeginElsewhere(later, true), Start::Answered);
    EXPECT_EQ(shown, 2);

    // Anything but a request is cut off, and brings nothing up.
    QLocalSocket stranger;
    stranger.connectToServer(QString::fromStdString(first.SocketPath()));
    ASSERT_TRUE(stranger.waitForConnected(5000));
    stranger.write(QByteArray(100, 'x'));
    EXPECT_TRUE(mgtest::PumpUntil([&] { return stranger.state() == QLocalSocket::UnconnectedState; }));
    EXPECT_EQ(shown, 2);

    // A holder that never answers: the later start runs read-only.
    Lock foreign(other.path());
    EXPECT_EQ(mg::SingleInstance(other.path(), run.path()).Begin(true, 300), Start::ReadOnly);
}
