// New-mail announcements through the desktop's notification service
// (org.freedesktop.Notifications on the session bus). Every call to the
// service is asynchronous: announcing never waits for it, and without a
// session bus or a service nothing is shown and nothing fails.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class QDBusPendingCallWatcher;

namespace mg {

class Notifier : public QObject {
    Q_OBJECT
public:
    explicit Notifier(QObject* parent = nullptr);

    // Announces the new messages of one mailbox (texts in Windows-1251): one
    // notification per mailbox, each replacing the mailbox's previous one.
    // An empty list announces nothing.
    void Announce(int mailbox, const std::string& mailboxName,
                  const std::vector<std::pair<std::string, std::string>>& senderAndSubject);

    // False without a session bus, and after the service failed to answer
    // (until it answers again); true otherwise.
    bool Available() const { return available_; }

Q_SIGNALS:
    // The user clicked a mailbox's notification.
    void Activated(int mailbox);

private Q_SLOTS:
    void OnActionInvoked(uint id, const QString& actionKey);

private:
    struct Note {
        QString summary;
        QStringList lines;  // plain text, one "sender — subject" each
    };
    struct Slot {
        uint id = 0;             // the service's id of the last notification shown
        bool inFlight = false;   // a Notify not yet answered
        std::optional<Note> next;
    };
    enum class Caps { Unknown, Asking, Known };

    bool Connect();
    void AskCapabilities();
    void Send(int mailbox);
    void Failed();

    bool connected_ = false;
    bool available_ = true;
    Caps caps_ = Caps::Unknown;
    bool actions_ = false;
    bool body_ = false;
    bool markup_ = false;
    std::map<int, Slot> slots_;
};

}  // namespace mg
