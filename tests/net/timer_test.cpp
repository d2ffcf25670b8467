// The window timer and the hidden windows.
#include <gtest/gtest.h>

#include "net_support.h"
#include "support/fake_dialogs.h"

using namespace nettest;

TEST(ThreadTimer, StartsOnlyWhenAssignedEnabledAndNonZero) {
    TThreadTimer timer;
    EXPECT_TRUE(timer.Enabled());
    EXPECT_EQ(timer.Interval(), 1000u);
    const uint64_t before = mg::TimersStarted();
    timer.SetInterval(500);
    timer.SetEnabled(false);
    timer.SetEnabled(true);
    EXPECT_EQ(mg::TimersStarted(), before) << "no OnTimer: never starts";

    int ticks = 0;
    timer.SetOnTimer([&](TObject* sender) {
        EXPECT_EQ(sender, &timer);
        ++ticks;
    });
    EXPECT_EQ(mg::TimersStarted(), before + 1);
    timer.SetInterval(500);  // unchanged: keeps running, no restart
    timer.SetEnabled(true);
    EXPECT_EQ(mg::TimersStarted(), before + 1);
    timer.SetOnTimer(timer.OnTimer());  // assigning always restarts
    EXPECT_EQ(mg::TimersStarted(), before + 2);
    timer.SetInterval(0);  // stops; enabled with interval 0 runs nothing
    timer.SetEnabled(false);
    timer.SetEnabled(true);
    EXPECT_EQ(mg::TimersStarted(), before + 2);

    timer.SetInterval(15);
    EXPECT_TRUE(PumpUntil([&] { return ticks >= 3; }));
}

TEST(ThreadTimer, RefusedTimerRaisesNoTimer) {
    TThreadTimer timer;
    mg::SetTimersRefused(true);
    EXPECT_EQ(ErrorOf<Exception>([&] { timer.SetOnTimer([](TObject*) {}); }), "No Timer");
    mg::SetTimersRefused(false);
}

TEST(ThreadTimer, WindowProcedureTicksIgnoresActivateAndReportsErrors) {
    TThreadTimer timer;
    int ticks = 0;
    timer.SetEnabled(false);
    timer.SetOnTimer([&](TObject*) {
        if (++ticks == 2) throw Exception("boom");
    });
    EXPECT_EQ(mg::SendMessageA(timer.WindowHandle(), mg::WM_ACTIVATEAPP, 1, 0), 0);
    EXPECT_EQ(ticks, 0);
    mg::SendMessageA(timer.WindowHandle(), mg::WM_TIMER, 1, 0);
    EXPECT_EQ(ticks, 1);
    mgtest::FakeDialogs dialogs;
    dialogs.ExpectMessage("boom.", mg::Icon::Error, mg::Buttons::Ok, mg::Answer::Ok);
    mg::SendMessageA(timer.WindowHandle(), mg::WM_TIMER, 1, 0);
    mg::SendMessageA(timer.WindowHandle(), mg::WM_TIMER, 1, 0);
    EXPECT_EQ(ticks, 3) << "an error in a tick does not stop the timer";
}

TEST(HiddenWindows, SocketWindowPassesMessagesFrom1125UpToItsOwner) {
    TestWire wire;
    const mg::HWND window = wire.WindowHandle();
    ASSERT_TRUE(mg::IsWindow(window));
    mg::WNDCLASSA info;
    ASSERT_TRUE(mg::GetClassInfoA("TidewireWindowClass", &info));
    ASSERT_TRUE(mg::GetClassInfoA("TmrWindowClass", &info));

    mg::SendMessageA(window, 1124, 0, mg::WSAMAKESELECTREPLY(mg::FD_CONNECT, 10061));
    EXPECT_TRUE(wire.Succeeded()) << "below 1125: default processing";
    mg::SendMessageA(window, 1300, 0, mg::WSAMAKESELECTREPLY(0, 5));
    EXPECT_FALSE(wire.Succeeded()) << "every number from 1125 up reaches the component";

    // A window of the class whose owner is not stored yet ignores them.
    const mg::HWND bare = mg::CreateWindowExA(mg::WS_EX_TOOLWINDOW, "TidewireWindowClass", "", mg::WS_POPUP, 0, 0, 0, 0, 0);
    ASSERT_NE(bare, 0u);
    EXPECT_EQ(mg::SendMessageA(bare, SocketEventMessage, 0, mg::FD_CONNECT), 0);
    mg::DestroyWindow(bare);
}

TEST(HiddenWindows, PostedMessagesKeepOrderAndDieWithTheirWindow) {
    std::vector<uint32_t> seen;
    static std::vector<uint32_t>* sink = nullptr;
    sink = &seen;
    mg::WNDCLASSA cls;
    cls.lpfnWndProc = [](mg::HWND, uint32_t msg, uintptr_t, intptr_t) -> intptr_t {
        sink->push_back(msg);
        return 0;
    };
    cls.lpszClassName = "OrderTestClass";
    ASSERT_NE(mg::RegisterClassA(&cls), 0);
    EXPECT_EQ(mg::RegisterClassA(&cls), 0) << "registered once";
    const mg::HWND a = mg::CreateWindowExA(0, "OrderTestClass", "", 0, 0, 0, 0, 0, 0);
    const mg::HWND b = mg::CreateWindowExA(0, "OrderTestClass", "", 0, 0, 0, 0, 0, 0);
    for (uint32_t m = 2000; m < 2006; ++m) mg::PostMessageA(m % 2 ? b : a, m, 0, 0);
    EXPECT_TRUE(PumpUntil([&] { return seen.size() >= 6; }));
    EXPECT_EQ(seen, (std::vector<uint32_t>{2000, 2001, 2002, 2003, 2004, 2005}));
    mg::PostMessageA(b, 3000, 0, 0);
    mg::PostMessageA(a, 3001, 0, 0);
    mg::DestroyWindow(b);
    EXPECT_TRUE(PumpUntil([&] { return seen.size() >= 7; }));
    EXPECT_EQ(seen.back(), 3001u) << "the message for the destroyed window is dropped";
    mg::DestroyWindow(a);
}
