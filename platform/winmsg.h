// Hidden windows, posted messages and window timers over Qt's event loop.
//
// A window is a handle in a registry of the GUI thread: it belongs to a
// registered class (name, window procedure, extra slots) and receives
// messages by number with two parameters through its window procedure.
// Posted messages travel through one queue, so they arrive in the order they
// were posted; a message whose window is gone by then is dropped. Window
// timers deliver WM_TIMER (275) with the timer number as first parameter.
//
// Everything here is for the GUI thread, except PostMessageA and
// PostToGuiThread, which any thread may call.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace mg {

using HWND = uintptr_t;  // 0: no window
using WNDPROC = intptr_t (*)(HWND window, uint32_t msg, uintptr_t wParam, intptr_t lParam);

inline constexpr uint32_t WM_ACTIVATEAPP = 0x001C;  // 28
inline constexpr uint32_t WM_TIMER = 0x0113;        // 275
inline constexpr uint32_t WM_USER = 0x0400;         // 1024
inline constexpr uint32_t WS_POPUP = 0x80000000u;
inline constexpr uint32_t WS_EX_TOOLWINDOW = 0x00000080u;

struct WNDCLASSA {
    uint32_t style = 0;
    WNDPROC lpfnWndProc = nullptr;
    int cbClsExtra = 0;
    int cbWndExtra = 0;  // bytes of per-window slots, read by Get/SetWindowLongA
    const char* lpszClassName = nullptr;
};

// True when the class is registered; fills `info` (its name pointer is the
// registry's own copy).
bool GetClassInfoA(const char* className, WNDCLASSA* info);
// Registers a class once; 0 when the name is taken or the record is invalid.
uint16_t RegisterClassA(const WNDCLASSA* windowClass);

// Creates a window of a registered class; 0 when the class is unknown. The
// window is never shown: style, position and size are kept for form only.
HWND CreateWindowExA(uint32_t exStyle, const char* className, const char* windowName, uint32_t style,
                     int x, int y, int width, int height, HWND parent);
// Destroys the window and its timers; messages still queued for it are dropped.
bool DestroyWindow(HWND window);
bool IsWindow(HWND window);

// Per-window slots: `index` is a byte offset, a multiple of the slot size.
// Set returns the previous value; both return 0 for a bad window or index.
intptr_t SetWindowLongA(HWND window, int index, intptr_t value);
intptr_t GetWindowLongA(HWND window, int index);

// Default processing: a hidden window does nothing with any message.
intptr_t DefWindowProcA(HWND window, uint32_t msg, uintptr_t wParam, intptr_t lParam);

// Queues a message for the window; any thread. False when there is no event
// loop to queue it in.
bool PostMessageA(HWND window, uint32_t msg, uintptr_t wParam, intptr_t lParam);
// GUI thread: queues the message once the timers that are due have run, so
// that an operation yielding the thread over and over never starves them.
bool PostMessageAfterTimers(HWND window, uint32_t msg, uintptr_t wParam, intptr_t lParam);
// Same as PostMessageA, but the message is dropped at delivery when `guard` has expired (a
// socket's notifications die with the socket).
bool PostGuardedMessage(HWND window, uint32_t msg, uintptr_t wParam, intptr_t lParam,
                        std::weak_ptr<const void> guard);
// Calls the window procedure at once (GUI thread); 0 for a bad window.
intptr_t SendMessageA(HWND window, uint32_t msg, uintptr_t wParam, intptr_t lParam);
// Runs `task` on the GUI thread, in turn with the posted messages; any thread.
bool PostToGuiThread(std::function<void()> task);

// Starts (or restarts, with a full new period) timer `id` of the window.
// Periods below 10 ms become 10 ms. Returns `id`, or 0 when refused.
uintptr_t SetTimer(HWND window, uintptr_t id, uint32_t elapse);
bool KillTimer(HWND window, uintptr_t id);

// Dispatches every event waiting for the GUI thread, then returns.
void ProcessMessages();
// Blocks until at least one event arrives (a message, a timer, socket
// readiness, user input), dispatches what is waiting, then returns.
void WaitMessages();
// Makes a WaitMessages in progress (or the next one) return without waiting
// for another event: for state changes made by handlers of posted events.
void WakeWaits();

// Diagnostics and test hooks.
uint64_t TimersStarted();            // system timers started so far
void SetTimersRefused(bool refused);  // SetTimer refuses while set

}  // namespace mg
