// Watcher: the background checks of every mailbox. It keeps the scheduler
// told which mailboxes are to be checked how often, which are busy (the
// user's session has that mailbox, or another of the same server and login)
// and whether the network is up; it has each due mailbox check itself, and
// reports what a check found new and not black-listed as data. It shows
// nothing: the window and the notifier do.
#pragma once

#include <QObject>
#include <functional>
#include <vector>

#include "mailbox/CheckScheduler.h"
#include "mailbox/Mailbox.h"

namespace mg {

class Mailboxes;

class Watcher : public QObject {
    Q_OBJECT
public:
    // `clock`: the wall clock the checks are timed by (the system's when empty).
    explicit Watcher(Mailboxes& boxes, CheckScheduler::Clock clock = {}, QObject* parent = nullptr);
    ~Watcher() override;

    // Follows the network's reachability where the platform tells it, and
    // schedules the mailboxes.
    void Start();
    // The mailboxes, their intervals or their servers and logins changed.
    void Reschedule();
    // Gives up the check under way (the mailboxes are about to be renumbered).
    void GiveUp();

    CheckScheduler& Scheduler() { return scheduler_; }
    // The mailbox being checked, or -1.
    int Running() const { return scheduler_.Running(); }
    // No check runs, and every check's session has settled.
    bool Idle() const;

    // New mail of a mailbox: its senders and subjects, in order.
    std::function<void(int mailbox, const std::vector<Mailbox::Announced>& fresh)> OnAnnounce;
    // A mailbox's check has ended and its state (last check, unseen count)
    // has changed; called after OnAnnounce.
    std::function<void(int mailbox)> OnChecked;

private:
    void CheckDue(int mailbox);
    void UpdateBusy();

    Mailboxes& boxes_;
    CheckScheduler scheduler_;
};

}  // namespace mg
