#include "net/ThreadTimer.h"

#include "net/Tidewire.h"
#include "platform/errors.h"
#include "platform/report.h"

namespace {

intptr_t SocketWindowProc(mg::HWND window, uint32_t msg, uintptr_t wParam, intptr_t lParam) {
    auto* owner = reinterpret_cast<TTidewire*>(mg::GetWindowLongA(window, 0));
    if (!owner || msg < SocketEventMessage) return mg::DefWindowProcA(window, msg, wParam, lParam);
    TMessage message;
    message.Msg = msg;
    message.WParam = wParam;
    message.LParam = lParam;
    message.Result = 0;
    owner->HandleSocketMessage(message);
    return 0;
}

intptr_t TimerWindowProc(mg::HWND window, uint32_t msg, uintptr_t wParam, intptr_t lParam) {
    auto* owner = reinterpret_cast<TThreadTimer*>(mg::GetWindowLongA(window, 0));
    if (!owner) return mg::DefWindowProcA(window, msg, wParam, lParam);
    switch (msg) {
        case mg::WM_ACTIVATEAPP:
            return 0;
        case mg::WM_TIMER:
            mg::Guarded([owner] { owner->Timer(); });
            return 0;
        default:
            return mg::DefWindowProcA(window, msg, wParam, lParam);
    }
}

mg::HWND CreateOwnedWindow(const char* className, mg::WNDPROC proc, void* owner) {
    mg::WNDCLASSA info;
    if (!mg::GetClassInfoA(className, &info)) {
        mg::WNDCLASSA windowClass;
        windowClass.style = 0;
        windowClass.lpfnWndProc = proc;
        windowClass.cbClsExtra = 0;
        windowClass.cbWndExtra = sizeof(intptr_t);  // the owner
        windowClass.lpszClassName = className;
        if (mg::RegisterClassA(&windowClass) == 0) return 0;
    }
    const mg::HWND window =
        mg::CreateWindowExA(mg::WS_EX_TOOLWINDOW, className, "", mg::WS_POPUP, 0, 0, 0, 0, 0);
    if (window) mg::SetWindowLongA(window, 0, reinterpret_cast<intptr_t>(owner));
    return window;
}

}  // namespace

mg::HWND CreateSocketWindow(TTidewire* owner) { return CreateOwnedWindow(kSocketWindowClass, SocketWindowProc, owner); }

mg::HWND CreateTimerWindow(TThreadTimer* owner) { return CreateOwnedWindow(kTimerWindowClass, TimerWindowProc, owner); }

TThreadTimer::TThreadTimer(TComponent* owner) : TComponent(owner) {
    enabled_ = true;
    interval_ = 1000;
    windowHandle_ = CreateTimerWindow(this);
}

TThreadTimer::~TThreadTimer() {
    enabled_ = false;
    try {
        UpdateTimer();
    } catch (...) {
    }
    if (windowHandle_) mg::DestroyWindow(windowHandle_);
}

void TThreadTimer::SetEnabled(bool value) {
    if (value == enabled_) return;
    enabled_ = value;
    UpdateTimer();
}

void TThreadTimer::SetInterval(uint32_t value) {
    if (value == interval_) return;
    interval_ = value;
    UpdateTimer();
}

void TThreadTimer::SetOnTimer(TNotifyEvent value) {
    onTimer_ = std::move(value);
    UpdateTimer();
}

void TThreadTimer::Timer() {
    if (!onTimer_) return;
    const TNotifyEvent handler = onTimer_;  // the handler may replace itself
    handler(this);
}

void TThreadTimer::UpdateTimer() {
    mg::KillTimer(windowHandle_, 1);
    if (interval_ != 0 && enabled_ && onTimer_) {
        if (mg::SetTimer(windowHandle_, 1, interval_) == 0) throw Exception("No Timer");
    }
}
