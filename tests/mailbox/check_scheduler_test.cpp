// Background checks: which mailbox is checked when, on a fake clock, with an
// owner that reports each check back after a set time.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "mailbox/CheckScheduler.h"

using namespace std::chrono_literals;
using mg::CheckScheduler;
using TimePoint = CheckScheduler::TimePoint;

namespace {

// Something the user, the network or the clock does at a given minute.
struct Event {
    int Minute;
    std::function<void(CheckScheduler&, TimePoint& now)> Act;
};

struct Case {
    const char* Name;
    std::vector<int> Intervals;
    int CheckMinutes;  // how long each check takes; 0: reported from inside OnCheckDue
    std::set<int> Failing;
    std::vector<Event> Events;
    int EndMinute;
    // Each check as it starts: "minute:mailbox", "!" when it fails.
    std::string Checks;
};

const Case kCases[] = {
    {"each mailbox at its interval", {5, 15}, 0, {}, {}, 60,
     "5:0 10:0 15:0 15:1 20:0 25:0 30:0 30:1 35:0 40:0 45:0 45:1 50:0 55:0 60:0 60:1"},
    {"one check at a time, the next from the end of the last", {5, 6}, 2, {}, {}, 20,
     "5:0 7:1 12:0 15:1 19:0"},
    {"a busy mailbox waits, the other does not", {5, 5}, 0, {},
     {{3, [](CheckScheduler& s, TimePoint&) { s.SetBusy(0, true); }},
      {8, [](CheckScheduler& s, TimePoint&) { s.SetBusy(0, false); }}},
     14, "5:1 8:0 10:1 13:0"},
    {"nothing during a user's session, and no timer", {5}, 0, {},
     {{4, [](CheckScheduler& s, TimePoint&) { s.SetUserSessionActive(true); }},
      {6, [](CheckScheduler& s, TimePoint&) { EXPECT_FALSE(s.NextWakeForTest()); }},
      {9, [](CheckScheduler& s, TimePoint&) { s.SetUserSessionActive(false); }}},
     15, "9:0 14:0"},
    {"offline: what fell due runs when online, in due order", {7, 5}, 0, {},
     {{4, [](CheckScheduler& s, TimePoint&) { s.SetOnline(false); }},
      {20, [](CheckScheduler& s, TimePoint&) { s.SetOnline(true); }}},
     27, "20:1 20:0 25:1 27:0"},
    {"after three hours asleep each mailbox once, at the first firing", {5, 15}, 0, {},
     {{2, [](CheckScheduler&, TimePoint& now) { now += 3h; }}}, 190, "182:0 182:1 187:0"},
    {"a failing mailbox is tried again at its next time", {5, 5}, 0, {0}, {}, 10,
     "5:0! 5:1 10:0! 10:1"},
    {"a kept interval keeps its time, a new one counts from now", {5, 0}, 0, {},
     {{12, [](CheckScheduler& s, TimePoint&) { s.SetMailboxes({5, 10}); }}}, 25,
     "5:0 10:0 15:0 20:0 22:1 25:0"},
    {"a changed interval counts from now", {5}, 0, {},
     {{7, [](CheckScheduler& s, TimePoint&) { s.SetMailboxes({3}); }}}, 13, "5:0 10:0 13:0"},
};

TEST(CheckScheduler, Timeline) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.Name);
        const TimePoint start{std::chrono::hours(24 * 20000)};
        TimePoint now = start;
        CheckScheduler scheduler([&now] { return now; });
        std::string checks;
        std::optional<TimePoint> finishAt;
        auto report = [&](int mailbox) {
            const bool ok = !c.Failing.count(mailbox);
            scheduler.Finished(mailbox, ok, ok ? "" : "-ERR refused");
            EXPECT_EQ(scheduler.LastError(mailbox), ok ? "" : "-ERR refused");
        };
        scheduler.OnCheckDue = [&](int mailbox) {
            EXPECT_EQ(scheduler.Running(), mailbox);
            EXPECT_FALSE(finishAt) << "a check started while another ran";
            checks += (checks.empty() ? "" : " ") +
                      std::to_string(std::chrono::duration_cast<std::chrono::minutes>(now - start).count()) +
                      ":" + std::to_string(mailbox) + (c.Failing.count(mailbox) ? "!" : "");
            if (c.CheckMinutes == 0)
                report(mailbox);
            else
                finishAt = now + std::chrono::minutes(c.CheckMinutes);
        };
        scheduler.SetMailboxes(c.Intervals);

        // Moves the clock to whatever comes first: a check's end, an event,
        // the timer (at once when the clock has already passed it).
        const TimePoint end = start + std::chrono::minutes(c.EndMinute);
        size_t next = 0;
        for (int steps = 0;; ++steps) {
            ASSERT_LT(steps, 1000);
            TimePoint at = TimePoint::max();
            if (finishAt) at = *finishAt;
            if (next < c.Events.size()) at = std::min(at, start + std::chrono::minutes(c.Events[next].Minute));
            if (auto wake = scheduler.NextWakeForTest()) at = std::min(at, *wake);
            if (at > end) break;
            now = std::max(now, at);
            if (finishAt && *finishAt <= now) {
                finishAt.reset();
                report(scheduler.Running());
            } else if (next < c.Events.size() && start + std::chrono::minutes(c.Events[next].Minute) <= now) {
                c.Events[next++].Act(scheduler, now);
            } else {
                scheduler.Tick();
                // Armed for what is due next, never more than a minute ahead.
                if (auto wake = scheduler.NextWakeForTest()) {
                    EXPECT_GT(*wake, now);
                    EXPECT_LE(*wake - now, CheckScheduler::kMaxWait);
                }
            }
        }
        EXPECT_EQ(checks, c.Checks);
    }
}

}  // namespace
