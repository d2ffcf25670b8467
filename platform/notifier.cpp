#include "platform/notifier.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>

#include "platform/codepage.h"

namespace mg {

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
// The desktop file's name without ".desktop" (packaging/), and its icon.
const QString kDesktopEntry = QStringLiteral("org.mailgrove.Mailgrove");
const QString kIcon = QStringLiteral("mailgrove");
constexpr int kMaxLines = 5;
constexpr int kCallTimeoutMs = 10000;

QString Line(const std::pair<std::string, std::string>& mail) {
    const QString sender = FromAnsi(mail.first).simplified();
    const QString subject = FromAnsi(mail.second).simplified();
    if (sender.isEmpty()) return subject;
    if (subject.isEmpty()) return sender;
    return sender + QString::fromUtf8(" — ") + subject;
}

}  // namespace

Notifier::Notifier(QObject* parent) : QObject(parent) {}

void Notifier::Announce(int mailbox, const std::string& mailboxName,
                        const std::vector<std::pair<std::string, std::string>>& senderAndSubject) {
    if (senderAndSubject.empty() || !Connect()) return;
    Note note;
    const int count = static_cast<int>(senderAndSubject.size());
    note.summary = QString::fromUtf8("Новая почта: %1 — %2").arg(count).arg(FromAnsi(mailboxName).simplified());
    const int shown = count > kMaxLines ? kMaxLines - 1 : count;
    for (int i = 0; i < shown; ++i) note.lines << Line(senderAndSubject[static_cast<size_t>(i)]);
    if (shown < count) note.lines << QString::fromUtf8("… и еще %1").arg(count - shown);
    // An announcement not yet sent is outdated by this one.
    slots_[mailbox].next = std::move(note);
    if (caps_ == Caps::Unknown) AskCapabilities();
    Send(mailbox);
}

// Connects to the session bus once; false when there is none.
bool Notifier::Connect() {
    if (connected_) return true;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        available_ = false;
        return false;
    }
    bus.connect(kService, kPath, kInterface, QStringLiteral("ActionInvoked"), this,
                SLOT(OnActionInvoked(uint, QString)));
    connected_ = true;
    return true;
}

void Notifier::AskCapabilities() {
    caps_ = Caps::Asking;
    const QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("GetCapabilities"));
    auto* watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call, kCallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        const QDBusPendingReply<QStringList> reply = *w;
        if (reply.isError()) {
            Failed();
            return;
        }
        const QStringList caps = reply.value();
        actions_ = caps.contains(QStringLiteral("actions"));
        body_ = caps.contains(QStringLiteral("body"));
        markup_ = caps.contains(QStringLiteral("body-markup"));
        caps_ = Caps::Known;
        available_ = true;
        for (auto& [mailbox, slot] : slots_) Send(mailbox);
    });
}

// Sends the mailbox's waiting announcement once the capabilities are known and
// the previous one was answered, so that it carries the id to replace.
void Notifier::Send(int mailbox) {
    Slot& slot = slots_[mailbox];
    if (caps_ != Caps::Known || slot.inFlight || !slot.next) return;
    QStringList lines = slot.next->lines;
    if (markup_)
        for (QString& line : lines) line = line.toHtmlEscaped();
    QStringList actions;
    if (actions_) actions << QStringLiteral("default") << QString::fromUtf8("Открыть");
    const QVariantMap hints{{QStringLiteral("category"), QStringLiteral("email.arrived")},
                            {QStringLiteral("desktop-entry"), kDesktopEntry}};
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
    call << QStringLiteral("Mailgrove") << slot.id << kIcon << slot.next->summary
         << (body_ ? lines.join(QLatin1Char('\n')) : QString()) << actions << hints << -1;
    slot.next.reset();
    slot.inFlight = true;
    auto* watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call, kCallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, mailbox](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        const QDBusPendingReply<uint> reply = *w;
        Slot& answered = slots_[mailbox];
        answered.inFlight = false;
        if (reply.isError()) {
            Failed();
            return;
        }
        answered.id = reply.value();
        available_ = true;
        Send(mailbox);
    });
}

// The service did not answer: what waits is dropped, and the next
// announcement asks for the capabilities again (a service may start later).
void Notifier::Failed() {
    available_ = false;
    caps_ = Caps::Unknown;
    for (auto& [mailbox, slot] : slots_) slot.next.reset();
}

void Notifier::OnActionInvoked(uint id, const QString& actionKey) {
    if (actionKey != QStringLiteral("default") || id == 0) return;
    for (const auto& [mailbox, slot] : slots_)
        if (slot.id == id) {
            Q_EMIT Activated(mailbox);
            return;
        }
}

}  // namespace mg
