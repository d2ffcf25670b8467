// Shared pieces of the socket tests.
#pragma once

#include <QElapsedTimer>
#include <QThread>
#include <QTimer>
#include <functional>
#include <string>
#include <vector>

#include "net/ThreadTimer.h"
#include "net/Tidewire.h"
#include "platform/winmsg.h"
#include "platform/winsock.h"

namespace nettest {

// The component with its protected operations reachable, counting Abort calls.
class TestWire : public TTidewire {
public:
    using TTidewire::CheckSocketError;
    using TTidewire::LookupErrorMessage;
    using TTidewire::TimerOff;
    using TTidewire::TimerOn;
    void Abort() override {
        ++aborts;
        TTidewire::Abort();
    }
    int aborts = 0;

    // Every status text from level 8 down, in order.
    std::vector<std::string> statuses;
    void Trace(int32_t level = 8) {
        ReportLevel = level;
        OnStatus = [this](TComponent*, const std::string& s) { statuses.push_back(s); };
    }
};

// Dispatches events until `done` holds; false after 10 s.
inline bool PumpUntil(const std::function<bool()>& done) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > 10000) return false;
        mg::ProcessMessages();
        QThread::msleep(2);
    }
    return true;
}

// Installs a resolver for the test and restores the system's afterwards,
// once every lookup has been delivered.
class ResolverScope {
public:
    explicit ResolverScope(mg::HostResolver resolver) { mg::SetHostResolver(std::move(resolver)); }
    ~ResolverScope() {
        PumpUntil([] { return mg::PendingHostLookups() == 0; });
        mg::SetHostResolver(nullptr);
    }
};

// Runs `fn` as an event after `ms` milliseconds, from inside whatever wait is running.
inline void Later(int ms, std::function<void()> fn) { QTimer::singleShot(ms, std::move(fn)); }

template <class E, class F>
std::string ErrorOf(F&& f) {
    try {
        f();
    } catch (const E& e) {
        return e.Message;
    }
    return "<no error>";
}

}  // namespace nettest
