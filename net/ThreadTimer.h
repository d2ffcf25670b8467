// TThreadTimer: a window timer owned by a component. It ticks every Interval
// milliseconds while Enabled is true, Interval is not 0 and OnTimer is
// assigned; each tick arrives as WM_TIMER at its hidden window and calls
// Timer. Also the hidden windows of the socket layer.
#pragma once

#include <cstdint>

#include "platform/component.h"
#include "platform/winmsg.h"

class TTidewire;

class TThreadTimer : public TComponent {
public:
    explicit TThreadTimer(TComponent* owner = nullptr);
    ~TThreadTimer() override;
    TThreadTimer(const TThreadTimer&) = delete;
    TThreadTimer& operator=(const TThreadTimer&) = delete;

    bool Enabled() const { return enabled_; }
    uint32_t Interval() const { return interval_; }
    const TNotifyEvent& OnTimer() const { return onTimer_; }
    // Each write that starts the system timer raises Exception "No Timer"
    // when the system refuses it.
    void SetEnabled(bool value);     // no effect when unchanged
    void SetInterval(uint32_t value);  // no effect when unchanged
    void SetOnTimer(TNotifyEvent value);  // always restarts

    // Calls OnTimer(this) when assigned.
    virtual void Timer();

    mg::HWND WindowHandle() const { return windowHandle_; }

protected:
    // Stops system timer 1 of the window, then starts it again with a full
    // period when Interval is not 0, Enabled is true and OnTimer is assigned.
    void UpdateTimer();

private:
    uint32_t interval_ = 1000;
    mg::HWND windowHandle_ = 0;
    TNotifyEvent onTimer_;
    bool enabled_ = true;
};

// Hidden windows. Each registers its class on first use ("TidewireWindowClass",
// "TmrWindowClass"), creates an invisible window and stores the owner in its
// first slot; 0 when the class or the window cannot be made.
//
// The socket window passes every message numbered 1125 or higher to the
// owner's HandleSocketMessage; the timer window calls the owner's Timer on
// WM_TIMER (an error raised there goes to the standard error report) and
// ignores WM_ACTIVATEAPP. Other messages, and every message before the owner
// is stored, get the default processing.
mg::HWND CreateSocketWindow(TTidewire* owner);
mg::HWND CreateTimerWindow(TThreadTimer* owner);

inline constexpr const char* kSocketWindowClass = "TidewireWindowClass";
inline constexpr const char* kTimerWindowClass = "TmrWindowClass";
