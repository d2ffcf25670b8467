// CheckScheduler: decides when the mailboxes are checked in the background.
// It checks nothing itself: when a mailbox falls due it tells its owner
// (OnCheckDue), who opens a session, scans, logs off at once and reports the
// outcome (Finished) — always, a failure too.
//
// Rules:
// - Mailbox i with an interval of N > 0 minutes is due N minutes after its
//   last check ended, whether that check succeeded or failed (a failure is
//   simply tried again at the next time; showing the error is the owner's
//   business). The first check after start is due N minutes after the
//   mailboxes were set: a user who has just started the program scans by
//   hand. An interval of 0 means never in the background.
// - One check at a time. While one runs nothing else starts; several that
//   are due then start one after another, earliest due first (equal times:
//   lower index first).
// - No check while a user's session is connected (SetUserSessionActive),
//   none of a mailbox the user is working on (SetBusy), none while the
//   network is down (SetOnline). What falls due meanwhile runs as soon as
//   that ends — once, however many intervals were missed. A check already
//   running is not interrupted; the owner may cancel it and report Finished.
//
// Waiting: one single-shot timer, armed for the next due check, or for 60
// seconds when that is further away. QTimer counts time that stops while the
// computer sleeps, the wall clock does not; since every firing compares the
// wall clock with the due times, a check that fell due during a sleep starts
// within a minute of waking. The timer is stopped when nothing can start
// (no mailbox with an interval, offline, a check or user session under way);
// the calls that end such a state re-arm it.
#pragma once

#include <QTimer>
#include <chrono>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace mg {

class CheckScheduler {
public:
    using TimePoint = std::chrono::system_clock::time_point;
    using Clock = std::function<TimePoint()>;

    // The longest the timer waits.
    static constexpr std::chrono::seconds kMaxWait{60};

    // `clock`: the wall clock (system_clock::now when empty). Online, no
    // user session, no mailboxes.
    explicit CheckScheduler(Clock clock = {});
    CheckScheduler(const CheckScheduler&) = delete;
    CheckScheduler& operator=(const CheckScheduler&) = delete;

    // Called when `mailbox` is to be checked; the owner must answer with
    // Finished(mailbox, ...), which it may also do from inside this call.
    std::function<void(int mailbox)> OnCheckDue;

    // The interval in minutes of each mailbox (index = mailbox). A mailbox
    // whose interval stays the same keeps its last check's time; a new one
    // or a changed interval counts from now.
    void SetMailboxes(const std::vector<int>& intervalsMinutes);
    // The user's operation runs on `mailbox` (or has ended).
    void SetBusy(int mailbox, bool busy);
    // A session the user opened is connected (or has ended).
    void SetUserSessionActive(bool active);
    void SetOnline(bool online);

    // The check of `mailbox` has ended; `error` (when !ok) is kept for
    // LastError. A report for a mailbox not being checked is ignored.
    void Finished(int mailbox, bool ok, const std::string& error);

    // What the timer calls: starts what is due, re-arms.
    void Tick();

    // The mailbox being checked, or -1.
    int Running() const { return running_; }
    // The last background check's error; empty after a success or before
    // any check.
    std::string LastError(int mailbox) const;

    // The wall time at which the timer is to fire; none when it is stopped.
    std::optional<TimePoint> NextWakeForTest() const { return wake_; }

private:
    struct Box {
        int Interval = 0;  // minutes
        TimePoint Last;    // when the last check ended (or the interval was set)
        std::string Error;
    };

    bool CanStart() const;
    // The mailbox that may start now, earliest due first; -1 when none.
    int NextDue(TimePoint now) const;
    // Starts what is due, one after another, then re-arms the timer.
    void StartDue();
    void Arm(TimePoint now);

    Clock clock_;
    std::vector<Box> boxes_;
    std::set<int> busy_;
    bool online_ = true;
    bool userSession_ = false;
    int running_ = -1;
    bool starting_ = false;  // inside StartDue (OnCheckDue may call back)
    QTimer timer_;
    std::optional<TimePoint> wake_;
};

}  // namespace mg
