#include "mailbox/CheckScheduler.h"

#include <algorithm>

namespace mg {

namespace {

CheckScheduler::TimePoint Due(CheckScheduler::TimePoint last, int intervalMinutes) {
    return last + std::chrono::minutes(intervalMinutes);
}

}  // namespace

CheckScheduler::CheckScheduler(Clock clock) : clock_(std::move(clock)) {
    if (!clock_) clock_ = [] { return std::chrono::system_clock::now(); };
    timer_.setSingleShot(true);
    QObject::connect(&timer_, &QTimer::timeout, &timer_, [this] { Tick(); });
}

void CheckScheduler::SetMailboxes(const std::vector<int>& intervalsMinutes) {
    const TimePoint now = clock_();
    std::vector<Box> boxes(intervalsMinutes.size());
    for (size_t i = 0; i < boxes.size(); ++i) {
        boxes[i].Interval = std::max(intervalsMinutes[i], 0);
        boxes[i].Last = now;
        if (i < boxes_.size()) {
            boxes[i].Error = std::move(boxes_[i].Error);
            if (boxes_[i].Interval == boxes[i].Interval) boxes[i].Last = boxes_[i].Last;
        }
    }
    boxes_ = std::move(boxes);
    StartDue();
}

void CheckScheduler::SetBusy(int mailbox, bool busy) {
    if (busy)
        busy_.insert(mailbox);
    else
        busy_.erase(mailbox);
    StartDue();
}

void CheckScheduler::SetUserSessionActive(bool active) {
    userSession_ = active;
    StartDue();
}

void CheckScheduler::SetOnline(bool online) {
    online_ = online;
    StartDue();
}

void CheckScheduler::Finished(int mailbox, bool ok, const std::string& error) {
    if (mailbox != running_) return;
    running_ = -1;
    if (mailbox >= 0 && static_cast<size_t>(mailbox) < boxes_.size()) {
        boxes_[mailbox].Last = clock_();
        boxes_[mailbox].Error = ok ? std::string() : error;
    }
    StartDue();
}

void CheckScheduler::Tick() { StartDue(); }

std::string CheckScheduler::LastError(int mailbox) const {
    if (mailbox < 0 || static_cast<size_t>(mailbox) >= boxes_.size()) return {};
    return boxes_[mailbox].Error;
}

bool CheckScheduler::CanStart() const { return online_ && !userSession_ && running_ < 0; }

int CheckScheduler::NextDue(TimePoint now) const {
    int best = -1;
    for (size_t i = 0; i < boxes_.size(); ++i) {
        const Box& box = boxes_[i];
        if (box.Interval <= 0 || busy_.count(static_cast<int>(i))) continue;
        const TimePoint due = Due(box.Last, box.Interval);
        if (due <= now && (best < 0 || due < Due(boxes_[best].Last, boxes_[best].Interval)))
            best = static_cast<int>(i);
    }
    return best;
}

void CheckScheduler::StartDue() {
    // A Finished from inside OnCheckDue lands here; the loop below goes on.
    if (starting_) return;
    starting_ = true;
    TimePoint now = clock_();
    // The wall clock set back: count from now rather than wait for the
    // old times to come round again.
    for (Box& box : boxes_) box.Last = std::min(box.Last, now);
    while (OnCheckDue && CanStart()) {
        const int next = NextDue(now);
        if (next < 0) break;
        running_ = next;
        if (OnCheckDue) OnCheckDue(next);
        now = clock_();
    }
    starting_ = false;
    Arm(now);
}

void CheckScheduler::Arm(TimePoint now) {
    wake_.reset();
    timer_.stop();
    if (!CanStart()) return;
    std::optional<TimePoint> first;
    for (size_t i = 0; i < boxes_.size(); ++i) {
        const Box& box = boxes_[i];
        if (box.Interval <= 0 || busy_.count(static_cast<int>(i))) continue;
        const TimePoint due = Due(box.Last, box.Interval);
        if (!first || due < *first) first = due;
    }
    if (!first) return;
    // Everything due has started, so `*first` lies ahead.
    const auto wait = std::clamp(std::chrono::ceil<std::chrono::milliseconds>(*first - now),
                                 std::chrono::milliseconds(1), std::chrono::milliseconds(kMaxWait));
    wake_ = now + wait;
    timer_.start(wait);
}

}  // namespace mg
