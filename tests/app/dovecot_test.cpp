// The whole round against a real POP3 server: scan, check, delete, and a
// new scan that no longer finds the deleted messages.
#include <QDate>
#include <QLocale>
#include <QPushButton>
#include <gtest/gtest.h>

#include "pop3/VantelPop3.h"

#include "app_support.h"
#include "support/dovecot_server.h"

using mg::A;
using mg::Answer;
using namespace mgtest;

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
    w.form.editHost->setText(QString::fromStdString(dovecot.host()));
    w.form.editPort->setText(QString::number(dovecot.port()));
    w.form.editUser->setText(QString::fromStdString(dovecot.user()));
    w.form.editPassword->setText(QString::fromStdString(dovecot.password()));
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
