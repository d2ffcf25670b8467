// The whole round against Cyrus, a server that refuses "LIST ", "UIDL " and
// "STAT " with their trailing blank: a scan marks the lines by the lists, the
// deletions are carried out at log-off, and the server and log.dat agree.
#include <QDate>
#include <QLocale>
#include <gtest/gtest.h>

#include "app_support.h"
#include "support/cyrus_server.h"

using mg::A;
using mg::Answer;
using namespace mgtest;

TEST(EndToEnd, ScanAndDeleteAgainstCyrus) {
    CyrusServer cyrus;
    cyrus.addMessage("From: Spam Sender <offers@spam.example>\nSubject: Buy\n\nbody\n");
    cyrus.addMessage("From: friend@ok.example\nSubject: =?koi8-r?B?8NLJ18XU?=\n\nhello\n");
    cyrus.addMessage("From: other@spam.example\nSubject: More\n\nbody\n");
    if (!cyrus.start()) {
        if (cyrus.unavailable()) GTEST_SKIP() << "Cyrus is not available: " << cyrus.error();
        FAIL() << cyrus.error();
    }
    const std::vector<std::string> held = cyrus.storedMessages();
    ASSERT_EQ(held.size(), 3u);
    ScanWindow w("1@spam.example\r\n\tx\r\n", "friend@ok.example\r\n");
    w.form.editHost->setText(QString::fromStdString(cyrus.host()));
    w.form.editPort->setText(QString::number(cyrus.port()));
    w.form.editUser->setText(QString::fromStdString(cyrus.user()));
    w.form.editPassword->setText(QString::fromStdString(cyrus.password()));
    w.click(w.form.btnConnect);
    ASSERT_EQ(w.form.LineCount(), 3) << w.status();
    EXPECT_EQ(w.line(1), Marked(" <WHITE> ", "friend@ok.example", A("Привет")));
    const std::string date = mg::ToAnsi(QLocale::system().toString(QDate::currentDate(), QLocale::ShortFormat));
    std::string log;
    for (int i : {0, 2}) {
        EXPECT_TRUE(w.form.LineChecked(i)) << i;
        log += date + " |" + w.line(i).substr(9) + "\r\n";
    }

    w.dialogs.ExpectMessage("Удалить выделенные сообщения?", Answer::Ok);
    w.click(w.form.btnDelete);
    for (int i : {0, 2}) EXPECT_EQ(w.line(i), A("<УДАЛЕНО>")) << i;
    EXPECT_EQ(cyrus.storedMessages(), held) << "the server removes them at log-off";
    w.click(w.form.btnDisconnect);
    EXPECT_EQ(cyrus.storedMessages(), std::vector<std::string>{held[1]});
    EXPECT_EQ(w.dir.read("log.dat"), log);
}
