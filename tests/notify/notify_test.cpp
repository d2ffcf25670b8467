// New-mail notifications against a fake notification service on the private
// session bus the test runs in (dbus-run-session), and with no service at all.
#include <QDBusConnection>
#include <QDBusMessage>
#include <QVariantMap>
#include <gtest/gtest.h>
#include <map>

#include "platform/codepage.h"
#include "platform/notifier.h"
#include "support/pump.h"

using mgtest::PumpUntil;
using Mail = std::vector<std::pair<std::string, std::string>>;
using Strings = std::vector<std::string>;

namespace {

const QString kName = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");

// A Notify call, texts in UTF-8.
struct Call {
    std::string app, summary, body;
    uint replaces;
    Strings actions;
    std::map<std::string, std::string> hints;
};

// The notification service, on a connection of its own so that every call
// really crosses the bus. Each Notify gets a fresh id.
class FakeNotifications : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    explicit FakeNotifications(QStringList caps) : caps_(std::move(caps)) {
        registered = bus_.registerService(kName) && bus_.registerObject(kPath, this, QDBusConnection::ExportAllSlots);
    }
    ~FakeNotifications() override {
        bus_.unregisterObject(kPath);
        bus_.unregisterService(kName);
        QDBusConnection::disconnectFromBus(bus_.name());
    }
    void Invoke(uint id, const QString& key) {
        bus_.send(QDBusMessage::createSignal(kPath, kName, QStringLiteral("ActionInvoked")) << id << key);
    }
    bool registered = false;
    std::vector<Call> calls;

public Q_SLOTS:
    QStringList GetCapabilities() { return caps_; }
    uint Notify(const QString& app, uint replaces, const QString&, const QString& summary, const QString& body,
                const QStringList& actions, const QVariantMap& hints, int) {
        Call call{app.toStdString(), summary.toStdString(), body.toStdString(), replaces, {}, {}};
        for (const QString& action : actions) call.actions.push_back(action.toStdString());
        for (auto it = hints.begin(); it != hints.end(); ++it)
            call.hints[it.key().toStdString()] = it.value().toString().toStdString();
        calls.push_back(call);
        return static_cast<uint>(calls.size()) * 10;
    }

private:
    QStringList caps_;
    QDBusConnection bus_ = QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("fake"));
};

Mail Messages(int n) {
    Mail mail;
    for (int i = 1; i <= n; ++i)
        mail.emplace_back(mg::A("Иван"), mg::A("Письмо ") + std::to_string(i));
    return mail;
}

}  // namespace

struct ShowCase {
    QStringList caps;
    Mail mail;
    const char* body;
    bool actions;
};

TEST(Notify, ShowsMailboxAndMessagesAsTheServiceAllows) {
    const ShowCase cases[] = {
        {{"body", "actions"}, Messages(2), "Иван — Письмо 1\nИван — Письмо 2", true},
        {{"body"}, Messages(7), "Иван — Письмо 1\nИван — Письмо 2\nИван — Письмо 3\nИван — Письмо 4\n… и еще 3", false},
        {{"body", "body-markup"}, {{"Joe <joe@x>", "a & b"}}, "Joe &lt;joe@x&gt; — a &amp; b", false},
        {{}, Messages(1), "", false},
    };
    for (const ShowCase& c : cases) {
        SCOPED_TRACE(c.caps.join(',').toStdString());
        FakeNotifications fake(c.caps);
        ASSERT_TRUE(fake.registered) << "runs in a private session bus: dbus-run-session -- test_notify";
        mg::Notifier notifier;
        notifier.Announce(4, mg::A("Работа"), c.mail);
        ASSERT_TRUE(PumpUntil([&] { return !fake.calls.empty(); }));
        const Call& call = fake.calls[0];
        EXPECT_EQ(call.app, "Mailgrove");
        EXPECT_EQ(call.summary, "Новая почта: " + std::to_string(c.mail.size()) + " — Работа");
        EXPECT_EQ(call.body, c.body);
        EXPECT_EQ(call.actions, (c.actions ? Strings{"default", "Открыть"} : Strings{}));
        EXPECT_EQ(call.hints, (std::map<std::string, std::string>{{"category", "email.arrived"},
                                                                  {"desktop-entry", "org.mailgrove.Mailgrove"}}));
    }
}

TEST(Notify, EachMailboxReplacesItsOwnAndIsActivated) {
    FakeNotifications fake({"actions", "body"});
    ASSERT_TRUE(fake.registered);
    mg::Notifier notifier;
    std::vector<int> activated;
    QObject::connect(&notifier, &mg::Notifier::Activated, [&](int mailbox) { activated.push_back(mailbox); });

    notifier.Announce(1, "a", Messages(1));  // id 10
    notifier.Announce(3, "c", {});           // nothing
    ASSERT_TRUE(PumpUntil([&] { return fake.calls.size() == 1; }));
    fake.Invoke(10, "default");  // arrives after the id
    ASSERT_TRUE(PumpUntil([&] { return activated.size() == 1; }));
    notifier.Announce(2, "b", Messages(1));  // id 20
    notifier.Announce(1, "a", Messages(2));  // replaces 10, id 30
    notifier.Announce(1, "a", Messages(3));  // waits for 30, replaces it
    ASSERT_TRUE(PumpUntil([&] { return fake.calls.size() == 4; }));
    std::vector<uint> replaces;
    for (const Call& call : fake.calls) replaces.push_back(call.replaces);
    EXPECT_EQ(replaces, (std::vector<uint>{0, 0, 10, 30}));

    fake.Invoke(20, "other");
    fake.Invoke(99, "default");
    fake.Invoke(10, "default");  // replaced
    fake.Invoke(20, "default");
    fake.Invoke(40, "default");
    ASSERT_TRUE(PumpUntil([&] { return activated.size() == 3; }));
    EXPECT_EQ(activated, (std::vector<int>{1, 2, 1}));
}

// Also run with no session bus at all (notify_nobus).
TEST(NoService, AnnouncingIsHarmlessAndAServiceStartedLaterIsUsed) {
    mg::Notifier notifier;
    notifier.Announce(1, "a", Messages(1));
    ASSERT_TRUE(PumpUntil([&] { return !notifier.Available(); }));
    if (!QDBusConnection::sessionBus().isConnected()) return;

    FakeNotifications fake({"body"});
    ASSERT_TRUE(fake.registered);
    notifier.Announce(1, "a", Messages(2));
    ASSERT_TRUE(PumpUntil([&] { return fake.calls.size() == 1; }));
    EXPECT_TRUE(notifier.Available());
    EXPECT_EQ(fake.calls[0].summary, "Новая почта: 2 — a");
}

#include "notify_test.moc"
