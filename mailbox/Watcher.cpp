#include "mailbox/Watcher.h"

#include <QNetworkInformation>

#include "mailbox/Mailboxes.h"

namespace mg {

Watcher::Watcher(Mailboxes& boxes, CheckScheduler::Clock clock, QObject* parent)
    : QObject(parent), boxes_(boxes), scheduler_(std::move(clock)) {
    scheduler_.OnCheckDue = [this](int mailbox) { CheckDue(mailbox); };
}

Watcher::~Watcher() {
    scheduler_.OnCheckDue = nullptr;
    for (int i = 0; i < boxes_.Count(); ++i) boxes_.At(i).OnActiveChanged = nullptr;
}

void Watcher::Start() {
    // Where the platform says whether the network is up, no check runs
    // while it is down.
    if (QNetworkInformation::loadBackendByFeatures(QNetworkInformation::Feature::Reachability)) {
        QNetworkInformation* network = QNetworkInformation::instance();
        const auto follow = [this](QNetworkInformation::Reachability r) {
            scheduler_.SetOnline(r != QNetworkInformation::Reachability::Disconnected);
        };
        follow(network->reachability());
        connect(network, &QNetworkInformation::reachabilityChanged, this, follow);
    }
    Reschedule();
}

void Watcher::Reschedule() {
    std::vector<int> intervals;
    for (int i = 0; i < boxes_.Count(); ++i) {
        intervals.push_back(boxes_.At(i).Config().Check);
        boxes_.At(i).OnActiveChanged = [this] { UpdateBusy(); };
    }
    UpdateBusy();
    scheduler_.SetMailboxes(intervals);
}

void Watcher::UpdateBusy() {
    // A mailbox is not checked while the user's session has it, nor while
    // it has another mailbox of the same server and login.
    for (int i = 0; i < boxes_.Count(); ++i) {
        bool busy = false;
        for (int j = 0; j < boxes_.Count() && !busy; ++j)
            busy = boxes_.At(j).Active() && (i == j || boxes_.At(i).SameAccount(boxes_.At(j)));
        scheduler_.SetBusy(i, busy);
    }
}

bool Watcher::Idle() const {
    for (int i = 0; i < boxes_.Count(); ++i)
        if (!boxes_.At(i).CheckIdle()) return false;
    return scheduler_.Running() < 0;
}

void Watcher::GiveUp() {
    const int running = scheduler_.Running();
    if (running < 0) return;
    scheduler_.OnCheckDue = nullptr;  // nothing starts while the mailboxes change
    scheduler_.Finished(running, false, {});
    if (running < boxes_.Count()) boxes_.At(running).EndCheck();
    scheduler_.OnCheckDue = [this](int mailbox) { CheckDue(mailbox); };
}

void Watcher::CheckDue(int mailbox) {
    Mailbox* box = &boxes_.At(mailbox);
    box->Check([this, box, mailbox](const Mailbox::CheckReport& report) {
        // The mailbox may have been removed meanwhile (the check given up).
        if (boxes_.IndexOf(box) != mailbox || scheduler_.Running() != mailbox) return;
        if (!report.Skipped) {
            if (!report.Fresh.empty() && OnAnnounce) OnAnnounce(mailbox, report.Fresh);
            if (OnChecked) OnChecked(mailbox);
        }
        // Last: the next mailbox's check may start inside this call.
        scheduler_.Finished(mailbox, report.Error.empty(), report.Error);
    });
}

}  // namespace mg
