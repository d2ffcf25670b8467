// The program's one promise, through the window: it deletes exactly the mail
// the user chose, never a white-listed message, and says exactly what the
// server deleted; what the user typed reaches the server as typed; and the
// window never freezes on a server that stops reading.
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <gtest/gtest.h>

#include "app_support.h"
#include "lists/DeletionLog.h"
#include "platform/winsock.h"

using mg::A;
using mg::Answer;
using namespace mgtest;

namespace {

const char* kSpam = "1@spam.example\r\n\tx\r\n";
const char* kWhite = "@trusted.example\r\nfriend@ok.example\r\n";

}  // namespace

// Header field names ignore letter case and a field may be folded: a sender
// on the white list is marked, locked and never deleted however its From
// field is written. "Пометить все" and "Удалить" delete only the others.
TEST(Promise, WhiteListedSendersAreNeverDeleted) {
    const struct {
        std::vector<std::string> header;
        bool white;
    } rows[] = {
        // A long encoded display name, folded before the address.
        {{"From: =?UTF-8?B?0JTQu9C40L3QvdC+0LUg0LjQvNGPINC+0YLQv9GA0LDQstC40YLQtdC70Y8=?=",
          " <friend@ok.example>", "Subject: a"}, true},
        {{"from: friend@ok.example", "Subject: b"}, true},
        {{"FROM: Friend <Friend@OK.example>", "Subject: c"}, true},
        {{"From:", "\t<friend@ok.example>", "Subject: d"}, true},
        {{"FrOm : someone@trusted.example", "Subject: e"}, true},
        {{"Subject: f", "From: a@spam.example"}, false},
        {{"From: stranger@elsewhere.example", "Subject: g"}, false},
    };
    std::vector<pop3::Message> box;
    for (const auto& r : rows) box.push_back(Msg(r.header, 100));
    ScanWindow w(kSpam, kWhite);
    ScriptedServer server(pop3::Scan("joe", "secret", box) + pop3::Dele(6) + pop3::Dele(7) + pop3::Quit());
    w.pointAt(server);
    w.click(w.form.btnConnect);
    ASSERT_EQ(w.form.LineCount(), 7);
    for (int i = 0; i < 7; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(w.line(i).substr(0, 9) == " <WHITE> ", rows[i].white);
        EXPECT_EQ(w.form.LineEnabled(i), !rows[i].white);
    }
    EXPECT_EQ(w.line(0), Marked(" <WHITE> ", "friend@ok.example", "a"));
    w.click(w.form.btnCheckAll);
    w.dialogs.ExpectMessage("Удалить выделенные сообщения?", Answer::Ok);
    w.click(w.form.btnDelete);
    for (int i = 0; i < 7; ++i) EXPECT_EQ(w.line(i) == A("<УДАЛЕНО>"), !rows[i].white) << i;
    w.click(w.form.btnDisconnect);
    EXPECT_TRUE(server.finish());
}

// Only a positive reply is a deletion: a bare "-ERR", a line that is no reply
// at all, or none (the server closes) leave the line, log nothing and say so.
TEST(Promise, OnlyAPositiveReplyToDeleIsADeletion) {
    const struct {
        const char* name;
        Script reply;
        const char* error;
    } rows[] = {
        {"bare -ERR", {S("-ERR"), C("QUIT"), S("+OK"), AwaitClose()}, "-ERR."},
        {"no reply at all", {S("whatever"), C("QUIT"), S("+OK"), AwaitClose()}, "whatever."},
        {"the server closes", {Close()}, "Connection closed by server."},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        ScanWindow w(kSpam, kWhite);
        ScriptedServer server(pop3::Scan("joe", "secret", {Msg({"From: a@spam.example"}, 10)}) + Script{C("DELE 1")} +
                              r.reply);
        w.pointAt(server);
        w.click(w.form.btnConnect);
        const std::string line = w.line(0);
        w.dialogs.ExpectMessage("Удалить выделенные сообщения?", Answer::Ok)
            .ExpectMessage("Операция завершилась ошибкой")
            .ExpectMessage(r.error, mg::Icon::Error, mg::Buttons::Ok, Answer::Ok);
        w.click(w.form.btnDelete);
        EXPECT_EQ(w.line(0), line);
        EXPECT_EQ(w.dir.read("log.dat"), "") << "nothing logged";
        w.click(w.form.btnDisconnect);
        EXPECT_TRUE(w.dialogs.done());
        EXPECT_TRUE(server.finish());
    }
}

// Login and password go on the wire in UTF-8, whatever their characters; the
// ASCII ones of every other test go out as before.
TEST(Promise, CredentialsGoOutAsUtf8) {
    ScanWindow w(kSpam, kWhite);
    ScriptedServer server({S("+OK ready"), C("CAPA"), S("-ERR"), C("USER j\xC3\xB6rg@example.org"), S("+OK"),
                           C("PASS p\xC3\xA4ss\xE2\x82\xAC\xC3\xA9"), S("+OK"), C("CAPA"), S("-ERR"), C("STAT"),
                           S("+OK 0 0"), C("LIST"), S({"+OK", "."}), C("QUIT"), S("+OK"), AwaitClose()});
    w.pointAt(server, "j\xC3\xB6rg@example.org", "p\xC3\xA4ss\xE2\x82\xAC\xC3\xA9");
    w.click(w.form.btnConnect);
    EXPECT_EQ(w.form.Session().GetState(), mg::MailboxSession::State::Open);
    w.click(w.form.btnDisconnect);
    EXPECT_TRUE(server.finish());
}

// A server that stops reading: the send waits with the time-out of a read,
// the window answers meanwhile, and the wait ends with the send's error.
TEST(Promise, ASendToAServerThatStopsReadingTimesOut) {
    ScanWindow w(kSpam, kWhite, TimeOut(500));
    ScriptedServer server(pop3::Scan("joe", "secret", {Msg({"From: a@spam.example"}, 10)}) + Script{mgtest::Silent()});
    w.pointAt(server);
    w.click(w.form.btnConnect);
    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
    timer.start(10);
    mg::SetSendsStalled(true);
    w.dialogs.ExpectMessage("Удалить выделенные сообщения?", Answer::Ok)
        .ExpectMessage("Socket send aborted.", mg::Icon::Error, mg::Buttons::Ok, Answer::Ok);
    w.click(w.form.btnDelete);
    mg::SetSendsStalled(false);
    EXPECT_GT(ticks, 10) << "the window froze while the send waited";
    EXPECT_FALSE(w.form.Session().Connected());
    EXPECT_EQ(w.dir.read("log.dat"), "") << "nothing logged";
    EXPECT_TRUE(server.finish());
}
