// The whole round against a real POP3 server: scan, check, delete, and a
// new scan that no longer finds the deleted messages.
#include <QDate>
#include <QLocale>
#include <QPushButton>
#include <QComboBox>
#include <QSpinBox>
#include <QStatusBar>
#include <chrono>
#include <filesystem>
#include <gtest/gtest.h>

#include "platform/files.h"
#include "pop3/VantelPop3.h"

#include "app_support.h"
#include "support/dovecot_server.h"

using mg::A;
using mg::Answer;
using namespace mgtest;

// The window's four connection fields, filled for the test server.
static void AimAt(ScanWindow& w, DovecotServer& dovecot) {
    w.form.editHost->setText(QString::fromStdString(dovecot.host()));
    w.form.editPort->setText(QString::number(dovecot.port()));
    w.form.editUser->setText(QString::fromStdString(dovecot.user()));
    w.form.editPassword->setText(QString::fromStdString(dovecot.password()));
}

TEST(EndToEnd, ScanDeleteAndRescanAgainstDovecot) {
    DovecotServer dovecot;
    dovecot.addMessage("From: Spam Sender <offers@spam.example>\nSubject: Buy\n\nbody\n");
    dovecot.addMessage("From: friend@ok.example\nSubject: =?koi8-r?B?8NLJ18XU?=\n\nhello\n");
    dovecot.addMessage("From: other@spam.example\nSubject: More\n\nbody\n");
    dovecot.addMessage("From: third@spam.example\nSubject: Last\n\nbody\n");
    if (!dovecot.start()) {
        if (dovecot.unavailable()) GTEST_SKIP() << "Dovecot is not available: " << dovecot.error();
        FAIL() << dovecot.error();
    }
    ScanWindow w("1@spam.example\r\n\tx\r\n", "friend@ok.example\r\n");
    AimAt(w, dovecot);
    w.click(w.form.btnConnect);
    EXPECT_TRUE(w.form.VantelPOP3->Pipelining()) << "Dovecot offers PIPELINING";
    ASSERT_EQ(w.form.LineCount(), 4);
    EXPECT_EQ(w.line(1), Marked(" <WHITE> ", "friend@ok.example", A("Привет")));
    const std::string date = mg::ToAnsi(QLocale::system().toString(QDate::currentDate(), QLocale::ShortFormat));
    std::string log;
    for (int i : {0, 2, 3}) {
        EXPECT_TRUE(w.form.LineChecked(i)) << i;
        log += date + " |" + w.line(i).substr(9) + "\r\n";
    }

    // Three deletions, pipelined.
    w.dialogs.ExpectMessage("Удалить выделенные сообщения?", Answer::Ok);
    w.click(w.form.btnDelete);
    for (int i : {0, 2, 3}) EXPECT_EQ(w.line(i), A("<УДАЛЕНО>")) << i;
    EXPECT_EQ(dovecot.storedMessages().size(), 4u) << "the server removes them at log-off";
    EXPECT_EQ(w.dir.read("log.dat"), log);

    // QUIT applies them; a new scan no longer finds them.
    w.click(w.form.btnDisconnect);
    EXPECT_EQ(dovecot.storedMessages().size(), 1u);
    w.click(w.form.btnConnect);
    ASSERT_EQ(w.form.LineCount(), 1);
    EXPECT_EQ(w.line(0), Marked(" <WHITE> ", "friend@ok.example", A("Привет")));
    w.click(w.form.btnDisconnect);
}

// A rescan against a real server after another client changed the mailbox:
// exactly the new messages are fetched (one TOP each), every line is the one
// a scan without the cache builds, and the new ones are drawn bold.
TEST(EndToEnd, RescanFetchesOnlyTheNewMailAgainstDovecot) {
    DovecotServer dovecot;
    for (const char* from : {"a@spam.example", "b@ok.example", "c@spam.example", "d@ok.example"})
        dovecot.addMessage(std::string("From: ") + from + "\nSubject: old\n\nbody\n");
    if (!dovecot.start()) {
        if (dovecot.unavailable()) GTEST_SKIP() << "Dovecot is not available: " << dovecot.error();
        FAIL() << dovecot.error();
    }
    ScanWindow w("1@spam.example\r\n\tx\r\n", "friend@ok.example\r\n");
    AimAt(w, dovecot);
    int fetched = 0;  // TOPs, as the status bar shows them
    QObject::connect(w.form.StatusBar, &QStatusBar::messageChanged,
                     [&](const QString& text) { fetched += text == QString::fromUtf8("Начало приема"); });
    const auto scan = [&] {
        fetched = 0;
        w.click(w.form.btnConnect);
        std::vector<std::string> lines;
        for (int i = 0; i < w.form.LineCount(); ++i) lines.push_back(w.line(i));
        w.click(w.form.btnDisconnect);
        return lines;
    };
    EXPECT_EQ(scan().size(), 4u);
    EXPECT_EQ(fetched, 4);

    for (const char* from : {"e@spam.example", "Friend <friend@ok.example>", "g@ok.example"})
        dovecot.addMessage(std::string("From: ") + from + "\nSubject: =?koi8-r?B?8NLJ18XU?=\n\nnew\n");
    const std::string gone = dovecot.storedMessages()[1];
    for (const char* folder : {"/new/", "/cur/"})
        for (const auto& entry : std::filesystem::directory_iterator(dovecot.maildirPath() + folder))
            if (entry.path().filename().string().rfind(gone, 0) == 0) std::filesystem::remove(entry.path());
    fetched = 0;
    w.click(w.form.btnConnect);
    EXPECT_EQ(fetched, 3) << "one TOP for each new message, none for the others";
    ASSERT_EQ(w.form.LineCount(), 6);
    EXPECT_EQ(w.status(), "Прием закончен. Новых сообщений: 3");
    std::vector<std::string> rescanned;
    for (int i = 0; i < 6; ++i) {
        rescanned.push_back(w.line(i));
        EXPECT_EQ(w.form.lbList->LineFont(i).bold(), i >= 3) << i;
    }
    w.click(w.form.btnDisconnect);

    // Without the cache the same lines, none of them new.
    ASSERT_TRUE(std::filesystem::remove(w.dir.file("cache.sqlite")));
    EXPECT_EQ(scan(), rescanned);
    EXPECT_EQ(fetched, 6);
}

// Background checks of two mailboxes (two servers) through the window: the
// first check of each learns it, the next announces the new mail that is not
// black-listed under its own mailbox's name, once; each mailbox shows its
// last check, and its lines are deleted only where "UIDL n" confirms them;
// every check leaves the mailbox free for a scan by hand right after.
TEST(EndToEnd, BackgroundChecksOfTwoMailboxesAgainstDovecot) {
    DovecotServer first, second("news", "news-secret");
    first.addMessage("From: a@ok.example\nSubject: old\n\nbody\n");
    second.addMessage("From: b@ok.example\nSubject: old\n\nbody\n");
    for (DovecotServer* d : {&first, &second})
        if (!d->start()) {
            if (d->unavailable()) GTEST_SKIP() << "Dovecot is not available: " << d->error();
            FAIL() << d->error();
        }
    auto now = std::chrono::system_clock::now();
    std::vector<std::string> announced;
    TPop3Form::Options options;
    options.Clock = [&] { return now; };
    options.Announce = [&](const std::string& mailbox, const TPop3Form::Announcement& a) {
        for (const auto& m : a) announced.push_back(mailbox + ": " + m.Sender + " - " + m.Subject);
    };
    {
        ScanWindow w("1@spam.example\r\n\tx\r\n", "friend@ok.example\r\n", options);
        AimAt(w, first);
        w.form.editCheck->setValue(1);
        w.form.AddMailbox(mg::Mailboxes::Presets().size() - 1);  // another server
        AimAt(w, second);
        w.form.editCheck->setValue(1);
        const auto check = [&] {
            now += std::chrono::minutes(1);
            w.form.Scheduler().Tick();
            EXPECT_TRUE(PumpUntil([&] { return w.form.Watching().Idle(); }));
            for (int i : {0, 1}) EXPECT_EQ(w.form.Scheduler().LastError(i), "") << i;
        };
        check();
        first.addMessage("From: x@spam.example\nSubject: junk\n\nbody\n");
        first.addMessage("From: Friend <friend@ok.example>\nSubject: =?koi8-r?B?8NLJ18XU?=\n\nhi\n");
        second.addMessage("From: Paper <news@paper.example>\nSubject: Today\n\nnews\n");
        check();
        const std::string one = first.user() + "@" + first.host() + ": ", two = second.user() + "@" + second.host() + ": ";
        EXPECT_EQ(announced, (std::vector<std::string>{one + "friend@ok.example - " + A("Привет"),
                                                        two + "news@paper.example - Today"}));
        check();
        EXPECT_EQ(announced.size(), 2u);
        EXPECT_EQ(w.form.Unseen(), 2);
        // The second mailbox shows its last check; another client takes
        // its first message meanwhile: "UIDL 1" names the second one now,
        // "UIDL 2" none. Neither is deleted.
        ASSERT_EQ(w.form.LineCount(), 2);
        std::vector<std::filesystem::path> taken;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(second.maildirPath())) {
            std::string text;
            if (entry.is_regular_file() && mg::ReadWholeFile(entry.path().string(), text) &&
                text.find("Subject: old") != std::string::npos)
                taken.push_back(entry.path());
        }
        for (const auto& path : taken) std::filesystem::remove(path);
        for (int i : {0, 1}) w.form.SetLineChecked(i, true);
        w.dialogs.ExpectMessage("Удалить выделенные сообщения?", Answer::Ok);
        w.dialogs.ExpectMessage("Не удалены: на сервере этих сообщений уже нет или под их номерами теперь другие "
                                "сообщения. Нажмите \"Соединение\", чтобы увидеть ящик как он есть: 2\n" +
                                Utf8(w.line(0).substr(9)) + "\n" + Utf8(w.line(1).substr(9)));
        w.click(w.form.btnDelete);
        w.click(w.form.btnDisconnect);
        EXPECT_EQ(second.storedMessages().size(), 1u);

        // The first shows its last check at once, the junk checked; it is
        // deleted after "UIDL 2" confirms it, and the mailbox is free after.
        w.form.cbMailbox->setCurrentIndex(0);
        EXPECT_EQ(w.form.Unseen(), 1) << "the first mailbox has been looked at";
        ASSERT_EQ(w.form.LineCount(), 3);
        EXPECT_NE(w.status().find("Проверено в"), std::string::npos) << w.status();
        EXPECT_TRUE(w.form.LineChecked(1));
        w.dialogs.ExpectMessage("Удалить выделенные сообщения?", Answer::Ok);
        w.click(w.form.btnDelete);
        EXPECT_EQ(w.line(1), A("<УДАЛЕНО>"));
        w.click(w.form.btnDisconnect);
        EXPECT_EQ(first.storedMessages().size(), 2u);
        EXPECT_NE(w.dir.read("log.dat").find("x@spam.example"), std::string::npos);
        w.click(w.form.btnConnect);
        EXPECT_EQ(w.form.LineCount(), 2);
        w.click(w.form.btnDisconnect);
    }
}
