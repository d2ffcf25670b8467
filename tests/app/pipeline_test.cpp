// The window's scan and deletion against servers with and without
// PIPELINING: the same lines, marks and log either way, and faults with
// commands in flight ending the run where the lock-step dialogue would.
#include <QDate>
#include <QListWidget>
#include <QLocale>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <gtest/gtest.h>

#include "app_support.h"
#include "pop3/VantelPop3.h"

using mg::A;
using mg::Answer;
using namespace mgtest;
using pop3::Capa;
using pop3::Message;

namespace {

const char* kSpam = "1@spam.example\r\n\tx\r\n";
const char* kWhite = "friend@ok.example\r\n";

const std::vector<Message>& Box() {
    static const std::vector<Message> box = {
        Msg({"From: a@spam.example", "Subject: one"}, 100),
        Msg({"From: Friend <friend@ok.example>", "Subject: two"}, 2000),
        Msg({"From: b@spam.example", "Subject: =?koi8-r?B?8NLJ18XU?="}, 900),
        Msg({"From: c@spam.example", "Subject: four"}, 100),
    };
    return box;
}

std::string Date() { return mg::ToAnsi(QLocale::system().toString(QDate::currentDate(), QLocale::ShortFormat)); }

std::string Size(int kb) { return mg::Format("%6d ", kb) + A("Кб | "); }

}  // namespace

// The same scan and deletion run, one command at a time or pipelined: the
// scripted server fails a client that sends ahead where its script does not
// expect it, and one that waits where it does (the dialogue would stall).
TEST(Pipeline, SameLinesAndLogWithAndWithoutPipelining) {
    for (const Capa capa : {Capa::Unknown, Capa::Plain, Capa::Pipelining}) {
        SCOPED_TRACE(static_cast<int>(capa));
        const bool pipelined = capa == Capa::Pipelining;
        ScanWindow w(kSpam, kWhite);
        const Script deletions = pipelined ? Script{C("DELE 1"), C("DELE 3"), C("DELE 4"), S("+OK"), S("+OK"), S("+OK")}
                                           : pop3::Dele(1) + pop3::Dele(3) + pop3::Dele(4);
        ScriptedServer server(pop3::Scan("joe", "secret", Box(), capa) + deletions + pop3::Quit());
        w.pointAt(server);
        w.click(w.form.btnConnect);
        EXPECT_EQ(w.form.VantelPOP3->Pipelining(), pipelined);
        ASSERT_EQ(w.form.LineCount(), 4);
        const std::vector<std::string> lines = {
            Marked(" <SPAM>  ", "a@spam.example", "one"), Marked(" <WHITE> ", "friend@ok.example", "two"),
            Marked(" <SPAM>  ", "b@spam.example", A("Привет")), Marked(" <SPAM>  ", "c@spam.example", "four")};
        for (int i = 0; i < 4; ++i) EXPECT_EQ(w.line(i), lines[static_cast<size_t>(i)]);
        EXPECT_EQ(w.status(), "Прием закончен");

        w.dialogs.ExpectMessage("Удалить выделенные сообщения?", Answer::Ok);
        w.click(w.form.btnDelete);
        std::string log;
        for (int i : {0, 2, 3}) {
            EXPECT_EQ(w.line(i), A("<УДАЛЕНО>"));
            EXPECT_FALSE(w.form.LineEnabled(i));
            log += Date() + " |" + lines[static_cast<size_t>(i)].substr(9) + "\r\n";
        }
        EXPECT_EQ(w.dir.read("log.dat"), log);
        w.click(w.form.btnDisconnect);
        EXPECT_TRUE(server.finish());
    }
}

// A refused TOP, a server that closes, and one that goes silent, each with
// the commands of later messages in flight: the lines before the fault are
// complete, the rest keep their size column, and the error is shown.
TEST(Pipeline, ScanFaultsWithCommandsInFlight) {
    struct Case {
        const char* name;
        Script after;  // the server after the replies of message 1
        const char* shown;
        bool connected;  // after the scan
    };
    const Case cases[] = {
        {"refused TOP 2",
         Script{S("-ERR no such message"), Raw("+OK\r\nFrom: b@spam.example\r\n\r\n.\r\n"),
                Raw("+OK\r\n\r\n.\r\n")} + pop3::Quit(),
         "-ERR no such message.", true},
        {"server closes", Script{Raw("+OK\r\nFrom: x@y"), Close()}, "Connection closed by server.", false},
        {"server silent", Script{Silent()}, "Socket readln aborted.", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScanWindow w(kSpam, kWhite, TimeOut(300));
        Script script = pop3::Logon("joe", "secret", 4, 3100, Capa::Pipelining) + pop3::Listing({100, 2000, 900, 100}) +
                        pop3::Uidl({});
        for (int n = 1; n <= 4; ++n) script.push_back(C("TOP " + std::to_string(n) + " 0"));
        script = script + Script{Raw("+OK\r\nFrom: a@spam.example\r\n\r\n.\r\n")} + c.after;
        ScriptedServer server(script);
        w.pointAt(server);
        w.dialogs.ExpectMessage(c.shown);
        w.click(w.form.btnConnect);
        ASSERT_EQ(w.form.LineCount(), 4);
        EXPECT_EQ(w.line(0), Marked(" <SPAM>  ", "a@spam.example", ""));
        EXPECT_EQ(w.line(1), Size(2));
        EXPECT_EQ(w.line(3), Size(1));
        EXPECT_FALSE(w.form.LineChecked(3));
        EXPECT_EQ(w.form.cursor().shape(), Qt::ArrowCursor);
        EXPECT_EQ(w.form.VantelPOP3->Connected(), c.connected);
        // Logging off reads what is still on its way before QUIT.
        w.click(w.form.btnDisconnect);
        EXPECT_TRUE(w.dialogs.done());
        server.finish();
    }
}

// Deletions in flight when the server refuses one, or closes: every
// deletion it accepted is marked and logged, no refused one is, and the
// failure is reported once. A server that closes applies none of them: the
// accepted ones are taken back.
TEST(Pipeline, DeleteRunStaysTruthful) {
    struct Case {
        const char* name;
        Script replies;  // to DELE 1, 3, 4
        std::vector<int> accepted;
        std::vector<const char*> shown;
    };
    const Case cases[] = {
        {"refusals", {S("+OK"), S("-ERR locked"), S("+OK")}, {1, 4}, {"Операция завершилась ошибкой", "-ERR locked."}},
        {"two refusals", {S("-ERR locked"), S("+OK"), S("-ERR gone")}, {3}, {"Операция завершилась ошибкой", "-ERR locked."}},
        {"close",
         {S("+OK"), Close()},
         {1},
         {"Операция завершилась ошибкой",
          "Сервер не выполнил удаление сообщений: 1. Сеанс закончился без подтверждения удалений, эти сообщения "
          "остались на сервере (в списке: <НЕ УДАЛЕНО>).",
          "Connection closed by server."}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScanWindow w(kSpam, kWhite);
        const bool closes = c.replies.back().kind == Step::Kind::Close;
        ScriptedServer server(pop3::Scan("joe", "secret", Box(), Capa::Pipelining) +
                              Script{C("DELE 1"), C("DELE 3"), C("DELE 4")} + c.replies +
                              (closes ? Script{} : pop3::Quit()));
        w.pointAt(server);
        w.click(w.form.btnConnect);
        ASSERT_EQ(w.form.LineCount(), 4);
        std::vector<std::string> before;
        for (int i = 0; i < 4; ++i) before.push_back(w.line(i));
        w.dialogs.ExpectMessage("Удалить выделенные сообщения?", Answer::Ok);
        for (const char* text : c.shown) w.dialogs.ExpectMessage(text);
        w.click(w.form.btnDelete);
        std::string log, takenBack;
        for (int n : {1, 3, 4}) {
            const bool gone = std::find(c.accepted.begin(), c.accepted.end(), n) != c.accepted.end();
            const std::string text = before[static_cast<size_t>(n - 1)].substr(9);
            EXPECT_EQ(w.line(n - 1), gone ? A(closes ? "<НЕ УДАЛЕНО>" : "<УДАЛЕНО>") : before[static_cast<size_t>(n - 1)])
                << n;
            if (gone) log += Date() + " |" + text + "\r\n";
            if (gone && closes) takenBack += Date() + " | " + A("<НЕ УДАЛЕНО>") + text + "\r\n";
        }
        EXPECT_EQ(w.dir.read("log.dat"), log + takenBack);
        w.click(w.form.btnDisconnect);
        EXPECT_TRUE(w.dialogs.done());
        server.finish();
    }
}

// A details command clicked while a pipelined scan waits runs after it: it
// takes nothing of the scan's replies, and its own TOP follows them.
TEST(Pipeline, CommandDuringAPipelinedScanWaitsItsTurn) {
    ScanWindow w(kSpam, kWhite);
    // The server takes its time before the first reply.
    Script summaries = pop3::PipelinedTops(Box(), {1, 2, 3, 4});
    summaries.insert(std::find_if(summaries.begin(), summaries.end(),
                                  [](const Step& s) { return s.kind != Step::Kind::Expect; }),
                     Pause(300));
    const Script script = pop3::Logon("joe", "secret", 4, 3100, Capa::Pipelining) +
                          pop3::Listing({100, 2000, 900, 100}) + pop3::Uidl({}) + summaries +
                          pop3::Summary(4, Box()[3]);
    ScriptedServer server(script + pop3::Quit());
    w.pointAt(server);
    ClosingDetails details(w.form);
    QTimer::singleShot(100, [&] {
        w.form.lbList->setCurrentRow(3);
        w.form.btnSummary->click();
    });
    w.click(w.form.btnConnect);
    ASSERT_EQ(w.form.LineCount(), 4);
    EXPECT_EQ(w.line(3), Marked(" <SPAM>  ", "c@spam.example", "four"));
    std::vector<std::string> header = Box()[3].header;
    header.insert(header.end(), {"", "."});
    EXPECT_EQ(details.shown, header);
    w.click(w.form.btnDisconnect);
    EXPECT_TRUE(w.dialogs.done());
    EXPECT_TRUE(server.finish());
}
