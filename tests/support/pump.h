// Letting the event loop run in a test until something holds.
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>

namespace mgtest {

// Lets the event loop run until `done` holds; false after `guardMs` (a guard
// against a hang, not a measure of time).
template <class F>
bool PumpUntil(F done, int guardMs = 30000) {
    QElapsedTimer guard;
    guard.start();
    while (!done()) {
        if (guard.elapsed() > guardMs) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
    }
    return true;
}

}  // namespace mgtest
