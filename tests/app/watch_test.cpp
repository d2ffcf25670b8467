// Background checks through the window: a scan that logs off at once, new
// mail that is not black-listed announced once (across restarts too), a
// failure shown in the status bar only, and no check while the user's own
// session is connected; the lines a check showed deleted in a session of
// their own, each only once "UIDL n" confirms it.
#include <QAction>
#include <QComboBox>
#include <QMenu>
#include <QSpinBox>

#include <algorithm>
#include <chrono>

#include "app_support.h"

using namespace mgtest;
using Clock = std::chrono::system_clock;

namespace {

const std::vector<pop3::Message> kFour = {Msg({"From: a@ok.example", "Subject: one"}, 10),
                                          Msg({"From: b@ok.example", "Subject: two"}, 10),
                                          Msg({"From: c@spam.example", "Subject: three"}, 10),
                                          Msg({"From: Dee <d@ok.example>", "Subject: four"}, 10)};

// A scan of a mailbox holding the first `count` messages, of which the
// first `known` are in the header cache already.
Script Scanned(int count, int known, const std::string& user = "joe") {
    const std::vector<std::string> ids = {"u1", "u2", "u3", "u4"};
    std::vector<int> sizes(static_cast<size_t>(count), 10);
    Script s = pop3::Logon(user, "secret", count, 10 * count) + pop3::Listing(sizes) +
               pop3::Uidl(std::vector<std::string>(ids.begin(), ids.begin() + count));
    for (int n = known + 1; n <= count; ++n) s = s + pop3::Top(n, kFour[static_cast<size_t>(n - 1)].header);
    return s;
}

// A background check: the scan, and QUIT at once.
Script Check(int count, int known, const std::string& user = "joe") { return Scanned(count, known, user) + pop3::Quit(); }

struct Watched {
    Clock::time_point now = Clock::now();
    std::vector<std::string> announced;  // "mailbox: sender - subject; ..."
    // A window's options: the clock above, the announcements collected.
    TPop3Form::Options options() {
        TPop3Form::Options o;
        o.Clock = [this] { return now; };
        o.Announce = [this](const std::string& mailbox, const TPop3Form::Announcement& a) {
            std::string text = mailbox + ":";
            for (const auto& m : a) text += " " + m.Sender + " - " + m.Subject + ";";
            announced.push_back(text);
        };
        return o;
    }
    // Five minutes on, and whatever check falls due run to its end.
    void later(TPop3Form& form) {
        now += std::chrono::minutes(5);
        form.Scheduler().Tick();
        EXPECT_TRUE(PumpUntil([&] { return form.Watching().Idle(); }));
    }
};

void Aim(TPop3Form& form, const ScriptedServer& server, const char* user = "joe") {
    form.editHost->setText(QString::fromStdString(server.host()));
    form.editPort->setText(QString::number(server.port()));
    form.editUser->setText(QString::fromLatin1(user));
    form.editPassword->setText(QStringLiteral("secret"));
    form.editCheck->setValue(5);
}

}  // namespace

TEST(Watch, NewMailIsAnnouncedOnceAndNeverBlackListedMail) {
    Watched t;
    ScanWindow w("1@spam.example\r\n\tx\r\n", "x@y.example\r\n", t.options());
    const std::string mailbox = "joe@" + ScriptedServer::host() + ":";
    {
        // The first check learns the mailbox; the second finds two new
        // messages, one black-listed; the third nothing new.
        ScriptedServer server(Check(2, 0) + Script{Accept()} + Check(4, 2) + Script{Accept()} + Check(4, 4) +
                              Script{Accept(), S("+OK ready"), C("CAPA"), S("-ERR"), C("USER joe"), S("-ERR [AUTH] no"),
                                     C("QUIT"), S("+OK"), AwaitClose()});
        Aim(w.form, server);
        for (int i = 0; i < 3; ++i) t.later(w.form);
        EXPECT_EQ(t.announced, std::vector<std::string>{mailbox + " d@ok.example - four;"});
        EXPECT_EQ(w.form.Unseen(), 1);
        // The list shows what the last check saw, black-listed mail checked.
        ASSERT_EQ(w.form.LineCount(), 4);
        EXPECT_TRUE(w.form.LineChecked(2));
        EXPECT_FALSE(w.form.LineChecked(3));
        // A failure: no box, the status bar says it.
        t.later(w.form);
        EXPECT_NE(w.status().find("Ошибка проверки"), std::string::npos) << w.status();
        EXPECT_NE(w.status().find("[AUTH] no"), std::string::npos) << w.status();
        EXPECT_TRUE(server.finish());
    }
    {
        // Nothing while the user's own session is connected; the check that
        // fell due meanwhile runs once it has ended.
        ScriptedServer server(Check(4, 4) + Script{Accept()} + Check(4, 4));
        Aim(w.form, server);
        w.click(w.form.btnConnect);
        t.later(w.form);
        t.later(w.form);
        w.click(w.form.btnDisconnect);
        EXPECT_TRUE(PumpUntil([&] { return server.connections() == 2 && w.form.Watching().Idle(); }));
        EXPECT_TRUE(server.finish());
    }
    // After a restart, what was announced is not announced again.
    ASSERT_TRUE(w.close());
    TPop3Form again(w.dir.path(), w.dir.file("MAILGROVE.INI"), ScanWindow::WithoutBin(t.options()));
    ASSERT_TRUE(again.FormCreate());
    EXPECT_EQ(again.editCheck->value(), 5);
    EXPECT_EQ(again.LineCount(), 4) << "a checked mailbox opens on its last scan";
    ScriptedServer server(Check(4, 4));
    Aim(again, server);
    t.later(again);
    EXPECT_TRUE(server.finish());
    EXPECT_EQ(t.announced.size(), 1u);
}

TEST(Watch, LinesOfACheckAreDeletedOnlyWhereUidlConfirmsThem) {
    // Between the check and the deletion, message 3 went, or another
    // message took its number; a server that pipelines gets both UIDLs at once.
    const struct {
        pop3::Capa capa;
        const char* reply;
    } rows[] = {{pop3::Capa::Unknown, "-ERR no such message"}, {pop3::Capa::Pipelining, "+OK 3 u9"}};
    for (const auto& row : rows) {
        const std::string reply = row.reply;
        SCOPED_TRACE(reply);
        Watched t;
        ScanWindow w("1@spam.example\r\n\tx\r\n", "x@y.example\r\n", t.options());
        const Script confirm = row.capa == pop3::Capa::Pipelining
                                   ? Script{C("UIDL 2"), C("UIDL 3"), S("+OK 2 u2"), S(reply)}
                                   : Script{C("UIDL 2"), S("+OK 2 u2"), C("UIDL 3"), S(reply)};
        ScriptedServer server(Check(4, 0) + Script{Accept()} + pop3::Logon("joe", "secret", 4, 40, row.capa) + confirm +
                              pop3::Dele(2) + pop3::Quit());
        Aim(w.form, server);
        t.later(w.form);
        ASSERT_EQ(w.form.LineCount(), 4);
        EXPECT_NE(w.status().find("Проверено в"), std::string::npos) << w.status();
        ASSERT_TRUE(w.form.LineChecked(2));  // black-listed
        w.form.SetLineChecked(1, true);
        const std::string changed = Utf8(w.line(2).substr(9));
        w.dialogs.ExpectMessage("Удалить выделенные сообщения?", mg::Answer::Ok)
            .ExpectMessage("Не удалены: на сервере этих сообщений уже нет или под их номерами теперь другие "
                           "сообщения. Нажмите \"Соединение\", чтобы увидеть ящик как он есть: 1\n" + changed);
        w.click(w.form.btnDelete);
        EXPECT_EQ(Utf8(w.line(1)), "<УДАЛЕНО>");
        EXPECT_FALSE(w.form.LineChecked(2));
        w.click(w.form.btnDisconnect);
        EXPECT_TRUE(server.finish());
        const std::string log = w.dir.read("log.dat");
        EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
        EXPECT_NE(log.find("b@ok.example"), std::string::npos) << log;
    }
}

TEST(Watch, AMailboxEmptyAtItsFirstCheckAnnouncesItsFirstMessage) {
    Watched t;
    ScanWindow w("", "x@y.example\r\n", t.options());
    ScriptedServer server(pop3::Logon("joe", "secret", 0, 0) + pop3::Listing({}) + pop3::Quit() + Script{Accept()} +
                          Check(1, 0));
    Aim(w.form, server);
    t.later(w.form);
    EXPECT_EQ(w.form.LineCount(), 0);
    EXPECT_NE(w.status().find("Проверено в"), std::string::npos) << w.status();
    t.later(w.form);
    EXPECT_TRUE(server.finish());
    EXPECT_EQ(t.announced, std::vector<std::string>{"joe@" + ScriptedServer::host() + ": a@ok.example - one;"});
}

// Working in one mailbox keeps the others watched: with A connected and
// holding a deletion, B is checked every time it falls due and its new mail
// announced, while A gets no second session; A's deletion is carried out at
// "Разрыв соединения", and A's overdue check follows.
TEST(Watch, OtherMailboxesAreWatchedWhileTheUserWorksInOne) {
    Watched t;
    ScanWindow w("1@spam.example\r\n\tx\r\n", "x@y.example\r\n", t.options());
    ScriptedServer a(pop3::Scan("joe", "secret", {kFour[0], kFour[2]}, pop3::Capa::Unknown, {"u1", "u3"}) + pop3::Dele(2) +
                     pop3::Quit() + Script{Accept()} + pop3::Logon("joe", "secret", 1, 10) + pop3::Listing({10}) +
                     pop3::Uidl({"u1"}) + pop3::Quit());
    ScriptedServer b(Check(1, 0, "bob") + Script{Accept()} + Check(2, 1, "bob"));
    Aim(w.form, a);
    w.form.btnMailboxAdd->menu()->actions().back()->trigger();
    Aim(w.form, b, "bob");
    w.form.cbMailbox->setCurrentIndex(0);
    w.dialogs.ExpectMessage("Удалить выделенные сообщения?", mg::Answer::Ok);
    w.click(w.form.btnConnect);
    w.click(w.form.btnDelete);
    ASSERT_TRUE(w.form.Session().HoldsDeletions());
    t.later(w.form);
    t.later(w.form);
    EXPECT_EQ(a.connections(), 1) << "no second session with A";
    EXPECT_EQ(t.announced, std::vector<std::string>{"bob@" + ScriptedServer::host() + ": b@ok.example - two;"});
    w.click(w.form.btnDisconnect);
    EXPECT_TRUE(PumpUntil([&] { return a.connections() == 2 && w.form.Watching().Idle(); }));
    EXPECT_TRUE(a.finish());
    EXPECT_TRUE(b.finish());
    EXPECT_NE(w.dir.read("log.dat").find("c@spam.example"), std::string::npos);
}
