// Deletions the server accepted take effect only at a positive reply to QUIT:
// the window keeps an idle session holding them alive with NOOP, and when a
// session ends any other way it takes them back (lines, log.dat, one box).
#include <QDate>
#include <QListWidget>
#include <QLocale>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>
#include <algorithm>
#include <functional>
#include <gtest/gtest.h>

#include "app_support.h"
#include "platform/shell.h"
#include "pop3/VantelPop3.h"
#include "support/dovecot_server.h"

using mg::A;
using mg::Answer;
using namespace mgtest;

namespace {

const char* kSpam = "1@spam.example\r\n\tx\r\n";
const char* kWhite = "friend@ok.example\r\n";
const std::string kLost =
    "Сервер не выполнил удаление сообщений: 2. Сеанс закончился без подтверждения удалений, эти сообщения "
    "остались на сервере (в списке: <НЕ УДАЛЕНО>).";

const std::vector<pop3::Message>& Box() {
    static const std::vector<pop3::Message> box = {Msg({"From: a@spam.example", "Subject: one"}, 10),
                                                   Msg({"From: b@ok.example", "Subject: two"}, 10),
                                                   Msg({"From: c@spam.example", "Subject: three"}, 10)};
    return box;
}

std::string Today() { return mg::ToAnsi(QLocale::system().toString(QDate::currentDate(), QLocale::ShortFormat)); }
// A deletion's log line, and the line that takes it back: `part` is the
// message line from its tenth character.
std::string Deleted(const std::string& part) { return Today() + " |" + part + "\r\n"; }
std::string NotDeleted(const std::string& part) { return Today() + " | " + A("<НЕ УДАЛЕНО>") + part + "\r\n"; }

// Scans Box() and deletes its two black-listed messages (1 and 3); returns
// what their log lines hold after the date. `later`: boxes expected after the
// deletion's (which may come while the deletion settles).
std::vector<std::string> ScanAndDelete(ScanWindow& w, const std::function<void()>& later = nullptr) {
    w.click(w.form.btnConnect);
    EXPECT_EQ(w.form.LineCount(), 3);
    const std::vector<std::string> parts = {w.line(0).substr(9), w.line(2).substr(9)};
    w.dialogs.ExpectMessage("Удалить выделенные сообщения?", Answer::Ok);
    if (later) later();
    w.click(w.form.btnDelete);
    if (!later) {
        EXPECT_EQ(w.dir.read("log.dat"), Deleted(parts[0]) + Deleted(parts[1]));
    }
    return parts;
}

// A window's options: a keep-alive after `keepAliveMs` of idleness, and a
// time-out of `timeOutMs` for every wait.
TPop3Form::Options KeepAlive(int keepAliveMs, int timeOutMs) {
    TPop3Form::Options options = TimeOut(timeOutMs);
    options.Session.KeepAliveMs = keepAliveMs;
    return options;
}

enum class Then { Wait, Disconnect, Connect, Close };

struct LossCase {
    const char* name;
    Script tail;         // the server's part after the two deletions
    Then then;           // what the user does next
    int keepAliveMs;     // the keep-alive's interval
    const char* reason;  // the second line of the box, when there is one
};

}  // namespace

// Every way a session holding accepted deletions can end without +OK to QUIT.
TEST(PendingDeletions, SessionEndingWithoutQuitTakesThemBack) {
    const LossCase cases[] = {
        {"autologout before a keep-alive", {Autologout(300)}, Then::Wait, 20000, nullptr},
        {"server closes after DELE", {Close()}, Then::Wait, 20000, nullptr},
        {"keep-alive NOOP meets a closed connection", {CWithin(5000, "NOOP"), Close()}, Then::Wait, 200,
         "Connection closed by server"},
        // Unread, the farewell holds the close back until the NOOP reads it.
        {"farewell line, then close", {Pause(100), S("-ERR Disconnected for inactivity."), Close()}, Then::Wait, 300,
         "Connection closed by server"},
        {"-ERR to QUIT on Разрыв соединения", {C("QUIT"), S("-ERR cannot commit"), AwaitClose()}, Then::Disconnect,
         20000, "-ERR cannot commit"},
        {"-ERR to QUIT on a new scan", {C("QUIT"), S("-ERR cannot commit"), AwaitClose()}, Then::Connect, 20000,
         "-ERR cannot commit"},
        {"-ERR to QUIT at close", {C("QUIT"), S("-ERR cannot commit"), AwaitClose()}, Then::Close, 20000,
         "-ERR cannot commit"},
        {"no reply to QUIT", {C("QUIT"), Silent()}, Then::Disconnect, 20000, "Socket readln aborted"},
    };
    for (const LossCase& c : cases) {
        SCOPED_TRACE(c.name);
        ScanWindow w(kSpam, kWhite, KeepAlive(c.keepAliveMs, 1500));
        ScriptedServer server(pop3::Scan("joe", "secret", Box()) + pop3::Dele(1) + pop3::Dele(3) + c.tail);
        w.pointAt(server);
        const std::vector<std::string> parts = ScanAndDelete(w, [&] {
            w.dialogs.ExpectMessage(kLost + (c.reason ? std::string("\nПричина: ") + c.reason : std::string()),
                                    mg::Icon::Warning, mg::Buttons::Ok, Answer::Ok);
        });
        switch (c.then) {
            case Then::Wait: ASSERT_TRUE(PumpUntil([&] { return w.dialogs.done(); })); break;
            case Then::Disconnect: w.click(w.form.btnDisconnect); break;
            case Then::Connect: w.click(w.form.btnConnect); break;  // no new scan: the lines stay
            case Then::Close:
                w.form.show();
                EXPECT_FALSE(w.close());
                EXPECT_FALSE(w.dir.exists("MAILGROVE.INI")) << "the close stops at the report";
                break;
        }
        EXPECT_TRUE(w.dialogs.done());
        EXPECT_FALSE(w.form.VantelPOP3->Connected());
        ASSERT_EQ(w.form.LineCount(), 3);
        for (int i : {0, 2}) {
            EXPECT_EQ(w.line(i), A("<НЕ УДАЛЕНО>")) << i;
            EXPECT_FALSE(w.form.LineEnabled(i)) << i;
        }
        EXPECT_EQ(w.dir.read("log.dat"),
                  Deleted(parts[0]) + Deleted(parts[1]) + NotDeleted(parts[0]) + NotDeleted(parts[1]));
        // Nothing more is reported, and the next close goes through.
        QCoreApplication::processEvents();
        if (c.then == Then::Close) {
            EXPECT_TRUE(w.close());
        }
        server.finish();
    }
}

// Idle with deletions waiting: a NOOP every interval keeps the session; the
// status bar says when they take effect; the log-off then carries them out.
// Without deletions nothing is sent (the session locks the mailbox).
TEST(PendingDeletions, KeepAliveHoldsTheSessionOnlyWhileDeletionsWait) {
    {
        ScanWindow w(kSpam, kWhite, KeepAlive(150, 20000));
        ScriptedServer server(pop3::Scan("joe", "secret", Box()) + pop3::Quit());
        w.pointAt(server);
        w.click(w.form.btnConnect);
        PumpUntil([] { return false; }, 600);
        w.click(w.form.btnDisconnect);  // QUIT is the next line: no NOOP came before it
        server.finish();
    }
    ScanWindow w(kSpam, kWhite, KeepAlive(150, 20000));
    Script noops;
    for (int i = 0; i < 3; ++i) noops = noops + Script{CWithin(2000, "NOOP"), S("+OK")};
    ScriptedServer server(pop3::Scan("joe", "secret", Box()) + pop3::Dele(1) + pop3::Dele(3) + noops + pop3::Quit());
    w.pointAt(server);
    const std::vector<std::string> parts = ScanAndDelete(w);
    ASSERT_TRUE(PumpUntil([&] {
        const auto lines = server.received();
        return std::count(lines.begin(), lines.end(), "NOOP\r\n") == 3 &&
               w.status() == "Удаления будут выполнены при разрыве соединения";
    }));
    w.click(w.form.btnDisconnect);
    EXPECT_EQ(w.form.LineCount(), 0);
    EXPECT_EQ(w.dir.read("log.dat"), Deleted(parts[0]) + Deleted(parts[1]));
    EXPECT_TRUE(server.finish());
}

// A command clicked while a keep-alive NOOP waits for its reply runs after
// the reply, not inside the wait: a new scan started there would leave the
// NOOP's read waiting on the new session until its time-out closed it.
TEST(PendingDeletions, CommandDuringAKeepAliveRunsAfterIt) {
    ScanWindow w(kSpam, kWhite, KeepAlive(100, 1000));
    ScriptedServer server(pop3::Scan("joe", "secret", Box()) + pop3::Dele(1) + pop3::Dele(3) +
                          Script{CWithin(5000, "NOOP"), Pause(400), S("+OK")} + pop3::Quit() + Script{Accept()} +
                          pop3::Scan("joe", "secret", Box()) + pop3::Quit());
    w.pointAt(server);
    const std::vector<std::string> parts = ScanAndDelete(w);
    QTimer::singleShot(250, &w.form, [&] { w.click(w.form.btnConnect); });  // inside the NOOP's wait
    ASSERT_TRUE(PumpUntil([&] { return server.connections() == 2 && w.status() == "Прием закончен"; }));
    PumpUntil([] { return false; }, 1500);  // past the time-out a stray read would meet
    EXPECT_TRUE(w.form.VantelPOP3->Connected());
    EXPECT_EQ(w.form.LineCount(), 3);
    EXPECT_EQ(w.line(0).substr(0, 9), " <SPAM>  ");
    EXPECT_EQ(w.dir.read("log.dat"), Deleted(parts[0]) + Deleted(parts[1]));
    w.click(w.form.btnDisconnect);
    EXPECT_TRUE(server.finish());
}

// Closing the window right after a deletion run (as a termination signal
// does) logs off first and the server's +OK settles the deletions.
TEST(PendingDeletions, ClosingTheWindowCommitsWithQuit) {
    ScanWindow w(kSpam, kWhite);
    ScriptedServer server(pop3::Scan("joe", "secret", Box()) + pop3::Dele(1) + pop3::Dele(3) + pop3::Quit());
    w.pointAt(server);
    const std::vector<std::string> parts = ScanAndDelete(w);
    w.form.show();
    EXPECT_TRUE(w.close());
    EXPECT_EQ(server.received().back(), "QUIT\r\n");
    EXPECT_TRUE(w.form.VantelPOP3->QuitAccepted());
    EXPECT_TRUE(server.finish());
    EXPECT_EQ(w.dir.read("log.dat"), Deleted(parts[0]) + Deleted(parts[1]));
    EXPECT_EQ(w.dir.read("white.dat"), kWhite);
}

// Against a real server: deletions survive several keep-alive rounds and are
// carried out at the log-off.
TEST(PendingDeletions, DovecotAppliesThemAfterKeepAlives) {
    DovecotServer dovecot;
    for (const char* from : {"a@spam.example", "b@ok.example", "c@spam.example"})
        dovecot.addMessage(std::string("From: ") + from + "\nSubject: s\n\nbody\n");
    if (!dovecot.start()) {
        if (dovecot.unavailable()) GTEST_SKIP() << "Dovecot is not available: " << dovecot.error();
        FAIL() << dovecot.error();
    }
    ScanWindow w(kSpam, kWhite, KeepAlive(100, 20000));
    w.form.editHost->setText(QString::fromStdString(dovecot.host()));
    w.form.editPort->setText(QString::number(dovecot.port()));
    w.form.editUser->setText(QString::fromStdString(dovecot.user()));
    w.form.editPassword->setText(QString::fromStdString(dovecot.password()));
    ScanAndDelete(w);
    int replies = 0;  // the server's replies to NOOP, as the status bar shows them
    QObject::connect(w.form.StatusBar, &QStatusBar::messageChanged, [&](const QString& text) {
        replies += text.startsWith(QStringLiteral("+OK"));
    });
    PumpUntil([&] { return replies >= 3; });
    EXPECT_EQ(w.status(), "Удаления будут выполнены при разрыве соединения");
    EXPECT_TRUE(w.form.VantelPOP3->Connected());
    EXPECT_EQ(dovecot.storedMessages().size(), 3u);
    w.click(w.form.btnDisconnect);
    EXPECT_EQ(dovecot.storedMessages().size(), 1u);
    EXPECT_TRUE(w.dialogs.done());
}

// The mail-program button with deletions waiting: QUIT first (the server
// applies them), then the program; the mail program never meets the
// deleted messages or a mailbox locked by this session.
TEST(PendingDeletions, TheMailProgramStartsOnlyAfterTheDeletionsAreCommitted) {
    ScanWindow w(kSpam, kWhite);
    ScriptedServer server(pop3::Scan("joe", "secret", Box()) + pop3::Dele(1) + pop3::Dele(3) + pop3::Quit());
    w.pointAt(server);
    const std::vector<std::string> parts = ScanAndDelete(w);
    std::vector<std::string> seenAtStart;
    mg::SetShellForTest([&](const std::string& request) {
        if (request == "mail") seenAtStart = server.received();
        return true;
    });
    w.click(w.form.btnOutlook);
    ASSERT_TRUE(PumpUntil([&] { return !seenAtStart.empty(); }));
    mg::SetShellForTest(nullptr);
    EXPECT_EQ(seenAtStart.back(), "QUIT\r\n");
    EXPECT_FALSE(w.form.VantelPOP3->Connected());
    EXPECT_EQ(w.form.btnOutlook->text().toStdString(), "Почтовая программа");
    EXPECT_TRUE(server.finish());
}
