#include "platform/winmsg.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QTimerEvent>
#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/report.h"

namespace mg {
namespace {

struct WindowClass {
    std::string name;
    WNDPROC proc = nullptr;
    uint32_t style = 0;
    int extraBytes = 0;
};

struct Window {
    const WindowClass* cls = nullptr;
    std::vector<intptr_t> slots;
    std::map<uintptr_t, int> timers;  // window timer number -> Qt timer id
};

// Registry of the GUI thread.
std::map<std::string, WindowClass>& Classes() {
    static std::map<std::string, WindowClass> classes;
    return classes;
}
std::unordered_map<HWND, Window>& Windows() {
    static std::unordered_map<HWND, Window> windows;
    return windows;
}
HWND g_nextWindow = 0x1000;
std::atomic<uint64_t> g_timersStarted{0};
bool g_timersRefused = false;

Window* FindWindow(HWND window) {
    auto it = Windows().find(window);
    return it == Windows().end() ? nullptr : &it->second;
}

intptr_t Deliver(HWND window, uint32_t msg, uintptr_t wParam, intptr_t lParam) {
    Window* w = FindWindow(window);
    if (!w) return 0;
    WNDPROC proc = w->cls->proc;  // the window may be destroyed by its own procedure
    return proc(window, msg, wParam, lParam);
}

const QEvent::Type kMessageEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

struct MessageEvent : QEvent {
    MessageEvent() : QEvent(kMessageEvent) {}
    HWND window = 0;
    uint32_t msg = 0;
    uintptr_t wParam = 0;
    intptr_t lParam = 0;
    bool guarded = false;
    std::weak_ptr<const void> guard;
    std::function<void()> task;
};

// The one object of the GUI thread that receives every posted message and
// every window timer, so that messages keep the order in which they were posted.
class Dispatcher;
std::mutex g_dispatcherMutex;
Dispatcher* g_dispatcher = nullptr;

class Dispatcher : public QObject {
public:
    explicit Dispatcher(QObject* parent) : QObject(parent) {}
    ~Dispatcher() override {
        std::lock_guard lock(g_dispatcherMutex);
        g_dispatcher = nullptr;
    }

    std::map<int, std::pair<HWND, uintptr_t>> timers;  // Qt timer id -> window, number

    // Posts `e` from a zero-interval timer: the timers already due go first.
    void PostAfterTimers(std::unique_ptr<MessageEvent> e) {
        later_.push_back(std::move(e));
        if (!laterTimer_) laterTimer_ = startTimer(0);
    }

protected:
    bool event(QEvent* e) override {
        if (e->type() != kMessageEvent) return QObject::event(e);
        auto* m = static_cast<MessageEvent*>(e);
        Guarded([m] {
            if (m->task) {
                m->task();
            } else if (!m->guarded || !m->guard.expired()) {
                Deliver(m->window, m->msg, m->wParam, m->lParam);
            }
        });
        // Some event dispatchers send posted events and then go on to block
        // in the same turn; a wait that this message ends must not sleep.
        WakeWaits();
        return true;
    }

    void timerEvent(QTimerEvent* e) override {
        if (e->timerId() == laterTimer_) {
            killTimer(std::exchange(laterTimer_, 0));
            for (auto& m : std::exchange(later_, {})) QCoreApplication::postEvent(this, m.release());
            return;
        }
        auto it = timers.find(e->timerId());
        if (it == timers.end()) {
            killTimer(e->timerId());
            return;
        }
        // (Not a structured binding: clang 14 cannot capture one in a lambda.)
        const HWND window = it->second.first;
        const uintptr_t id = it->second.second;
        Guarded([&] { Deliver(window, WM_TIMER, id, 0); });
    }

private:
    std::vector<std::unique_ptr<MessageEvent>> later_;
    int laterTimer_ = 0;
};

// Created on the GUI thread with the first window; lives as long as the
// application object.
Dispatcher* GuiDispatcher() {
    std::lock_guard lock(g_dispatcherMutex);
    if (!g_dispatcher && QCoreApplication::instance())
        g_dispatcher = new Dispatcher(QCoreApplication::instance());
    return g_dispatcher;
}

bool Post(std::unique_ptr<MessageEvent> event) {
    std::lock_guard lock(g_dispatcherMutex);
    if (!g_dispatcher) return false;
    QCoreApplication::postEvent(g_dispatcher, event.release());
    return true;
}

void StopTimer(Window& w, std::map<uintptr_t, int>::iterator it) {
    if (Dispatcher* d = g_dispatcher) {
        d->killTimer(it->second);
        d->timers.erase(it->second);
    }
    w.timers.erase(it);
}

}  // namespace

bool GetClassInfoA(const char* className, WNDCLASSA* info) {
    if (!className) return false;
    auto it = Classes().find(className);
    if (it == Classes().end()) return false;
    if (info) {
        info->style = it->second.style;
        info->lpfnWndProc = it->second.proc;
        info->cbClsExtra = 0;
        info->cbWndExtra = it->second.extraBytes;
        info->lpszClassName = it->second.name.c_str();
    }
    return true;
}

uint16_t RegisterClassA(const WNDCLASSA* windowClass) {
    if (!windowClass || !windowClass->lpszClassName || !windowClass->lpfnWndProc || windowClass->cbWndExtra < 0)
        return 0;
    auto [it, inserted] = Classes().try_emplace(windowClass->lpszClassName);
    if (!inserted) return 0;
    it->second.name = windowClass->lpszClassName;
    it->second.proc = windowClass->lpfnWndProc;
    it->second.style = windowClass->style;
    it->second.extraBytes = windowClass->cbWndExtra;
    return static_cast<uint16_t>(0xC000 + Classes().size());
}

HWND CreateWindowExA(uint32_t, const char* className, const char*, uint32_t, int, int, int, int, HWND) {
    if (!className || !GuiDispatcher()) return 0;
    auto it = Classes().find(className);
    if (it == Classes().end()) return 0;
    const HWND handle = g_nextWindow++;
    Window& w = Windows()[handle];
    w.cls = &it->second;
    const size_t slotBytes = sizeof(intptr_t);
    w.slots.assign((static_cast<size_t>(it->second.extraBytes) + slotBytes - 1) / slotBytes, 0);
    return handle;
}

bool DestroyWindow(HWND window) {
    Window* w = FindWindow(window);
    if (!w) return false;
    while (!w->timers.empty()) StopTimer(*w, w->timers.begin());
    Windows().erase(window);
    return true;
}

bool IsWindow(HWND window) { return FindWindow(window) != nullptr; }

intptr_t SetWindowLongA(HWND window, int index, intptr_t value) {
    Window* w = FindWindow(window);
    const size_t slot = static_cast<size_t>(index) / sizeof(intptr_t);
    if (!w || index < 0 || index % static_cast<int>(sizeof(intptr_t)) != 0 || slot >= w->slots.size()) return 0;
    return std::exchange(w->slots[slot], value);
}

intptr_t GetWindowLongA(HWND window, int index) {
    Window* w = FindWindow(window);
    const size_t slot = static_cast<size_t>(index) / sizeof(intptr_t);
    if (!w || index < 0 || index % static_cast<int>(sizeof(intptr_t)) != 0 || slot >= w->slots.size()) return 0;
    return w->slots[slot];
}

intptr_t DefWindowProcA(HWND, uint32_t, uintptr_t, intptr_t) { return 0; }

bool PostMessageA(HWND window, uint32_t msg, uintptr_t wParam, intptr_t lParam) {
    auto e = std::make_unique<MessageEvent>();
    e->window = window;
    e->msg = msg;
    e->wParam = wParam;
    e->lParam = lParam;
    return Post(std::move(e));
}

bool PostMessageAfterTimers(HWND window, uint32_t msg, uintptr_t wParam, intptr_t lParam) {
    Dispatcher* d = GuiDispatcher();
    if (!d) return false;
    auto e = std::make_unique<MessageEvent>();
    e->window = window;
    e->msg = msg;
    e->wParam = wParam;
    e->lParam = lParam;
    d->PostAfterTimers(std::move(e));
    return true;
}

bool PostGuardedMessage(HWND window, uint32_t msg, uintptr_t wParam, intptr_t lParam,
                        std::weak_ptr<const void> guard) {
    auto e = std::make_unique<MessageEvent>();
    e->window = window;
    e->msg = msg;
    e->wParam = wParam;
    e->lParam = lParam;
    e->guarded = true;
    e->guard = std::move(guard);
    return Post(std::move(e));
}

intptr_t SendMessageA(HWND window, uint32_t msg, uintptr_t wParam, intptr_t lParam) {
    return Deliver(window, msg, wParam, lParam);
}

bool PostToGuiThread(std::function<void()> task) {
    auto e = std::make_unique<MessageEvent>();
    e->task = std::move(task);
    return Post(std::move(e));
}

uintptr_t SetTimer(HWND window, uintptr_t id, uint32_t elapse) {
    Window* w = FindWindow(window);
    Dispatcher* d = GuiDispatcher();
    if (!w || !d || g_timersRefused) return 0;
    if (auto it = w->timers.find(id); it != w->timers.end()) StopTimer(*w, it);
    const int period = static_cast<int>(std::clamp<uint32_t>(elapse, 10, 0x7FFFFFFF));
    const int qtId = d->startTimer(period, Qt::PreciseTimer);
    if (qtId == 0) return 0;
    d->timers[qtId] = {window, id};
    w->timers[id] = qtId;
    ++g_timersStarted;
    return id;
}

bool KillTimer(HWND window, uintptr_t id) {
    Window* w = FindWindow(window);
    if (!w) return false;
    auto it = w->timers.find(id);
    if (it == w->timers.end()) return false;
    StopTimer(*w, it);
    return true;
}

void ProcessMessages() { QCoreApplication::processEvents(QEventLoop::AllEvents); }

void WakeWaits() {
    if (QAbstractEventDispatcher* d = QAbstractEventDispatcher::instance()) d->wakeUp();
}

void WaitMessages() { QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents); }

uint64_t TimersStarted() { return g_timersStarted; }

void SetTimersRefused(bool refused) { g_timersRefused = refused; }

}  // namespace mg
