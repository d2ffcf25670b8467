// The mailbox scan, the deletion with its log and the status reporting of
// the main window, against a scripted POP3 server on 127.0.0.1.
#include <QDate>
#include <QElapsedTimer>
#include <QTimer>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QLocale>
#include <QPushButton>
#include <QStatusBar>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "app/Pop3Form.h"
#include "platform/codepage.h"
#include "platform/strutil.h"
#include "platform/winsock.h"
#include "pop3/VantelPop3.h"
#include "support/fake_dialogs.h"
#include "support/pop3_dialogue.h"
#include "support/scripted_server.h"
#include "support/temp_dir.h"
#include "app_support.h"

using mg::A;
using mg::Answer;
using mg::Buttons;
using mg::Icon;
using namespace mgtest;
using pop3::Message;

namespace {

uint16_t ClosedPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

const char* kSpam = "1@spam.example\r\n\tx\r\n0@host.example\r\n\tjohn\r\n";
const char* kWhite = "@trusted.example\r\nfriend@host.example\r\nboth@spam.example\r\n";

}  // namespace

TEST(Scan, MarksEveryLineByBothListsAndTheSizeRule) {
    const std::vector<Message> box = {
        Msg({"From: Spammer <Any@Spam.Example>", "Subject: Buy now"}, 0),
        Msg({"Subject: Hi", "From: john@host.example"}, 1024),
        Msg({"From: Mary <mary@host.example>", "Subject: =?koi8-r?B?8NLJ18XU?="}, 1025),
        Msg({"From: Friend <friend@host.example>", "Subject: =?windows-1251?Q?=CF=F0=E8=E2=E5=F2?="}, 3000),
        Msg({"From: a@Trusted.example", "Subject: trusted server"}, 10),
        Msg({"From: both@spam.example", "Subject: white wins"}, 2048),
        Msg({"From: JOHN@host.example"}, 5000000),
    };
    ScanWindow w(kSpam, kWhite);
    ScriptedServer server(pop3::Scan("joe", "secret", box) + pop3::Quit());
    w.pointAt(server);
    w.click(w.form.btnConnect);

    ASSERT_EQ(w.form.LineCount(), 7);
    EXPECT_EQ(w.form.editCount->text().toStdString(), "7");
    const std::string spam = " <SPAM>  ", white = " <WHITE> ";
    EXPECT_EQ(w.line(0), Marked(spam, "any@spam.example", "Buy now"));
    EXPECT_EQ(w.line(1), Marked(spam, "john@host.example", "Hi"));
    EXPECT_EQ(w.line(2), Line(2, "mary@host.example", A("Привет")));
    EXPECT_EQ(w.line(3), Marked(white, "friend@host.example", A("Привет")));
    EXPECT_EQ(w.line(4), Marked(white, "a@trusted.example", "trusted server"));
    EXPECT_EQ(w.line(5), Marked(white, "both@spam.example", "white wins"));
    EXPECT_EQ(w.line(6), Marked(spam, "john@host.example", ""));
    const bool checked[] = {true, true, false, false, false, false, true};
    const bool enabled[] = {true, true, true, false, false, false, true};
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(w.form.LineChecked(i), checked[i]) << i;
        EXPECT_EQ(w.form.LineEnabled(i), enabled[i]) << i;
    }
    EXPECT_EQ(w.status(), "Прием закончен");
    EXPECT_EQ(w.form.cursor().shape(), Qt::ArrowCursor);

    // The tooltip shows the whole line.
    w.form.lbList->setCurrentRow(2);
    std::string hint;
    for (char c : Line(2, "mary@host.example", A("Привет"))) hint += c == '|' ? std::string(" : ") : std::string(1, c);
    EXPECT_EQ(mg::ToAnsi(w.form.lbList->toolTip()), hint);

    w.click(w.form.btnDisconnect);
    EXPECT_EQ(w.form.LineCount(), 0);
    EXPECT_EQ(w.form.editCount->text().toStdString(), "0");
    EXPECT_EQ(w.status(), "Соединение разорвано");
    server.finish();
}

TEST(Scan, SizesOfUnmarkedLines) {
    ScanWindow w("", "x@y.example\r\n");
    ScriptedServer server(pop3::Scan("joe", "secret",
                                     {Msg({"From: a@b.example"}, 0), Msg({"From: a@b.example"}, 1),
                                      Msg({"From: a@b.example"}, 1024), Msg({"From: a@b.example"}, 1025),
                                      Msg({"From: a@b.example"}, 123456789)}) +
                          pop3::Quit());
    w.pointAt(server);
    w.click(w.form.btnConnect);
    ASSERT_EQ(w.form.LineCount(), 5);
    const int kb[] = {0, 1, 1, 2, 120564};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(w.line(i), Line(kb[i], "a@b.example", "")) << i;
    w.click(w.form.btnDisconnect);
    server.finish();
}

// A UTF-8 subject folded over two lines, a character split between its
// words, shows whole.
TEST(Scan, FoldedUtf8SubjectShowsDecoded) {
    const std::vector<std::string> header = {"From: a@b.example", "Subject: Re: =?UTF-8?B?0J/RgNC40LLQtdGCLCDQ?=",
                                             "\t=?UTF-8?B?vNC40YAg8J+Riw==?=", "To: me@b.example"};
    ScanWindow w("", "x@y.example\r\n");
    ScriptedServer server(pop3::Scan("joe", "secret", {Msg(header, 100)}) + pop3::Quit());
    w.pointAt(server);
    w.click(w.form.btnConnect);
    ASSERT_EQ(w.form.LineCount(), 1);
    EXPECT_EQ(w.line(0), Line(1, "a@b.example", A("Re: Привет, мир ?")));
    w.click(w.form.btnDisconnect);
    server.finish();
}

TEST(Scan, EmptyMailbox) {
    ScanWindow w("", "x@y.example\r\n");
    ScriptedServer server(pop3::Logon("joe", "secret", 0, 0) + pop3::Listing({}) + pop3::Quit());
    w.pointAt(server);
    w.click(w.form.btnConnect);
    EXPECT_EQ(w.form.LineCount(), 0);
    EXPECT_EQ(w.form.editCount->text().toStdString(), "0");
    EXPECT_EQ(w.status(), "+OK 0 messages (0 octets)") << "the last reply reported";
    w.click(w.form.btnDisconnect);
    server.finish();
}

TEST(Scan, FailuresLeaveTheListAsTheyFoundIt) {
    ScanWindow w("", "x@y.example\r\n");
    // The port is converted before anything is sent.
    w.form.editPort->setText(QStringLiteral("abc"));
    w.dialogs.ExpectMessage("'abc' is not a valid integer value.", Icon::Error, Buttons::Ok, Answer::Ok);
    w.click(w.form.btnConnect);

    // Refused connection: its box, then the error.
    w.form.editHost->setText(QStringLiteral("127.0.0.1"));
    w.form.editPort->setText(QString::number(ClosedPort()));
    w.form.editUser->setText(QStringLiteral("joe"));
    w.form.editPassword->setText(QStringLiteral("secret"));
    w.dialogs.ExpectMessage("Невозможно установить соединение").ExpectMessage("Connection Failed.");
    w.click(w.form.btnConnect);
    EXPECT_EQ(w.form.LineCount(), 0);

    {   // Rejected password: QUIT, closed, "Authentication failed" with the
        // server's text and the advice of its code, in the box and the status bar.
        ScriptedServer server({S("+OK hi"), C("CAPA"), S("-ERR"), C("USER joe"), S("+OK"), C("PASS secret"),
                               S("-ERR [IN-USE] Mailbox open elsewhere"), C("QUIT"), S("+OK"), AwaitClose()});
        w.pointAt(server);
        const std::string advice = "Ящик открыт другой программой (возможно, почтовой). Повторите, когда она закончит работу.";
        w.dialogs.ExpectMessage("Authentication failed: [IN-USE] Mailbox open elsewhere\n" + advice);
        w.click(w.form.btnConnect);
        EXPECT_EQ(w.status(), "Authentication failed: [IN-USE] Mailbox open elsewhere - " + advice);
        EXPECT_EQ(w.form.LineCount(), 0);
        EXPECT_EQ(w.form.editCount->text().toStdString(), "0");
        server.finish();
    }
    {   // A bad listing line: the lines appended so far stay, the count shows,
        // and the rest of the listing would be read as replies to what comes
        // next: the connection closes, without QUIT.
        ScriptedServer server(pop3::Logon("joe", "secret", 3, 300) +
                              Script{C("LIST"), Raw("+OK\r\n1 100\r\n2 abc\r\n3 100\r\n.\r\n"), AwaitClose()});
        w.pointAt(server);
        w.dialogs.ExpectMessage("'abc' is not a valid integer value.");
        w.click(w.form.btnConnect);
        EXPECT_EQ(w.form.LineCount(), 1);
        EXPECT_EQ(w.form.editCount->text().toStdString(), "3");
        EXPECT_FALSE(w.form.Session().Connected());
        server.finish();
    }
    {   // A refused summary: earlier lines complete, later ones size only; the hourglass goes.
        ScriptedServer server(pop3::Logon("joe", "secret", 3, 300) + pop3::Listing({100, 2000, 100}) + pop3::Uidl({}) +
                              pop3::Top(1, {"From: a@b.example"}) + Script{C("TOP 2 0"), S("-ERR no such message")} +
                              pop3::Quit());
        w.pointAt(server);
        w.dialogs.ExpectMessage("-ERR no such message.");
        w.click(w.form.btnConnect);
        ASSERT_EQ(w.form.LineCount(), 3);
        EXPECT_EQ(w.line(0), Line(1, "a@b.example", ""));
        EXPECT_EQ(w.line(1), mg::Format("%6d ", 2) + A("Кб | "));
        EXPECT_EQ(w.form.cursor().shape(), Qt::ArrowCursor) << "hourglass cleared when the command ended";
        w.click(w.form.btnDisconnect);
        server.finish();
    }
    {   // The listing names fewer messages than STAT counted: the scan ends
        // there and says so; the session is still in step and logs off.
        ScriptedServer server(pop3::Logon("joe", "secret", 2, 200) + pop3::Listing({100}) + pop3::Quit());
        w.pointAt(server);
        w.dialogs.ExpectMessage("Ответ сервера на LIST перечисляет меньше сообщений, чем сообщил STAT (1 из 2)");
        w.click(w.form.btnConnect);
        ASSERT_EQ(w.form.LineCount(), 1);
        w.click(w.form.btnDisconnect);
        server.finish();
    }
}

TEST(Scan, SecondConnectLogsOffFirst) {
    ScanWindow w("", "x@y.example\r\n");
    ScriptedServer server(pop3::Scan("joe", "secret", {Msg({"From: a@b.example"}, 10)}) + pop3::Quit() +
                          Script{Accept()} +
                          pop3::Scan("joe", "secret", {Msg({"From: c@d.example"}, 10), Msg({"From: e@f.example"}, 10)}) +
                          pop3::Quit());
    w.pointAt(server);
    w.click(w.form.btnConnect);
    ASSERT_EQ(w.form.LineCount(), 1);
    w.click(w.form.btnConnect);
    ASSERT_EQ(w.form.LineCount(), 2);
    EXPECT_EQ(w.line(0), Line(1, "c@d.example", ""));
    w.click(w.form.btnDisconnect);
    server.finish();
}

TEST(Delete, DeletesCheckedLinesAndLogsEach) {
    ScanWindow w("1@spam.example\r\n\tx\r\n", "x@y.example\r\n");
    const std::vector<Message> box = {Msg({"From: a@spam.example", "Subject: one"}, 10),
                                      Msg({"From: b@ok.example", "Subject: two"}, 10),
                                      Msg({"From: c@ok.example", "Subject: three"}, 10)};
    ScriptedServer server(pop3::Scan("joe", "secret", box) + pop3::Dele(1) + pop3::Dele(3) + pop3::Quit());
    w.pointAt(server);
    w.click(w.form.btnConnect);
    ASSERT_EQ(w.form.LineCount(), 3);
    w.form.SetLineChecked(2, true);
    const std::string line1 = w.line(0), line3 = w.line(2);
    w.dialogs.ExpectMessage("Удалить выделенные сообщения?", Icon::Confirmation, Buttons::OkCancel, Answer::Ok);
    w.click(w.form.btnDelete);
    const std::string date = mg::ToAnsi(QLocale::system().toString(QDate::currentDate(), QLocale::ShortFormat));
    EXPECT_EQ(w.dir.read("log.dat"), date + " |" + line1.substr(9) + "\r\n" + date + " |" + line3.substr(9) + "\r\n");
    EXPECT_EQ(w.line(0), A("<УДАЛЕНО>"));
    EXPECT_FALSE(w.form.LineEnabled(0));
    EXPECT_TRUE(w.form.LineChecked(0));
    EXPECT_EQ(w.line(1), Line(1, "b@ok.example", "two"));
    EXPECT_EQ(w.status(), "Удаления будут выполнены при разрыве соединения");

    // A second press sends nothing and logs nothing.
    const std::string logged = w.dir.read("log.dat");
    w.dialogs.ExpectMessage("Удалить выделенные сообщения?", Answer::Ok);
    w.click(w.form.btnDelete);
    EXPECT_EQ(w.dir.read("log.dat"), logged);
    w.click(w.form.btnDisconnect);
    EXPECT_EQ(server.received().back(), "QUIT\r\n");
    server.finish();
}

TEST(Delete, RefusalStopsAtThatMessageKeepingEarlierLogLines) {
    ScanWindow w("", "x@y.example\r\n");
    const std::vector<Message> box = {Msg({"From: a@a.example"}, 10), Msg({"From: b@b.example"}, 10),
                                      Msg({"From: c@c.example"}, 10)};
    ScriptedServer server(pop3::Scan("joe", "secret", box) + pop3::Dele(1) +
                          Script{C("DELE 2"), S("-ERR message locked")} + pop3::Quit());
    w.pointAt(server);
    w.click(w.form.btnConnect);
    for (int i = 0; i < 3; ++i) w.form.SetLineChecked(i, true);
    const std::string line1 = w.line(0), line2 = w.line(1);
    w.dialogs.ExpectMessage("Удалить выделенные сообщения?", Answer::Ok)
        .ExpectMessage("Операция завершилась ошибкой")
        .ExpectMessage("-ERR message locked.");
    w.click(w.form.btnDelete);
    EXPECT_EQ(w.line(0), A("<УДАЛЕНО>"));
    EXPECT_EQ(w.line(1), line2);
    EXPECT_TRUE(w.form.LineChecked(1));
    EXPECT_TRUE(w.form.LineEnabled(2));
    const std::string date = mg::ToAnsi(QLocale::system().toString(QDate::currentDate(), QLocale::ShortFormat));
    EXPECT_EQ(w.dir.read("log.dat"), date + " |" + line1.substr(9) + "\r\n");
    w.click(w.form.btnDisconnect);
    server.finish();
}

TEST(Delete, CancelAndNoConnectionDoNothing) {
    ScanWindow w("", "x@y.example\r\n");
    w.click(w.form.btnDelete);  // not connected: no question
    ScriptedServer server(pop3::Scan("joe", "secret", {Msg({"From: a@a.example"}, 10)}) + pop3::Quit());
    w.pointAt(server);
    w.click(w.form.btnConnect);
    w.form.SetLineChecked(0, true);
    w.dialogs.ExpectMessage("Удалить выделенные сообщения?", Answer::Cancel);
    w.click(w.form.btnDelete);
    EXPECT_FALSE(w.dir.exists("log.dat"));
    EXPECT_TRUE(w.form.LineEnabled(0));
    w.click(w.form.btnDisconnect);
    server.finish();
}

TEST(Status, ServerNameRepairAsksOnce) {
    // Names come from an injected resolver: "good.test" is 127.0.0.1, nothing else exists.
    mg::SetHostResolver([](const std::string& name, std::vector<uint32_t>& out) {
        if (name != "good.test") return 11001;
        out.push_back(htonl(INADDR_LOOPBACK));
        return 0;
    });
    ScanWindow w("", "x@y.example\r\n");
    {
        ScriptedServer server(pop3::Scan("joe", "secret", {Msg({"From: a@b.example"}, 10)}) + pop3::Quit());
        w.pointAt(server);
        w.form.editHost->setText(QStringLiteral("bad.test"));
        w.dialogs.ExpectInput("Сервер не найден!", std::string("good.test"));
        w.click(w.form.btnConnect);
        EXPECT_EQ(w.form.editHost->text().toStdString(), "good.test");
        EXPECT_EQ(w.form.LineCount(), 1);
        w.click(w.form.btnDisconnect);
        server.finish();
    }
    // Cancel, or another name that is not found either: no second question.
    w.form.editHost->setText(QStringLiteral("bad.test"));
    w.dialogs.ExpectInput("Сервер не найден!", std::nullopt).ExpectMessage("Null Remote Address.");
    w.click(w.form.btnConnect);
    EXPECT_EQ(w.form.editHost->text().toStdString(), "bad.test");
    w.dialogs.ExpectInput("Сервер не найден!", std::string("worse.test")).ExpectMessage("Null Remote Address.");
    w.click(w.form.btnConnect);
    EXPECT_EQ(w.form.editHost->text().toStdString(), "worse.test");
    mg::SetHostResolver(nullptr);
}

// The connection drops while the delete question is open: the command finds
// no connection, asks, and the scan the user agrees to runs after it, never
// inside it; nothing is deleted on the new session. Cancel: "Not Connected".
TEST(Status, ConnectionQuestionScansAfterTheCommandThatAsked) {
    ScanWindow w("1@spam.example\r\n\tx\r\n", "x@y.example\r\n");
    const std::vector<Message> box = {Msg({"From: a@spam.example"}, 100), Msg({"From: b@ok.example"}, 2000)};
    ScriptedServer server(pop3::Scan("joe", "secret", box) + Script{Hold(), Close(), Accept()} +
                          pop3::Scan("joe", "secret", {box[1], box[0]}) + Script{Hold(), Close()});
    w.pointAt(server);
    w.click(w.form.btnConnect);
    const auto dropped = [&] {
        server.release();
        EXPECT_TRUE(PumpUntil([&] { return !w.form.Session().Connected(); }));
    };
    w.dialogs.ExpectMessage("Удалить выделенные сообщения?", Answer::Ok)
        .WhileShown(dropped)
        .ExpectMessage("Соединение не установлено. Соединить?", Icon::Confirmation, Buttons::OkCancel, Answer::Ok);
    w.click(w.form.btnDelete);
    EXPECT_EQ(w.form.editCount->text().toStdString(), "2");
    ASSERT_EQ(w.form.LineCount(), 2);
    EXPECT_EQ(w.line(0), Line(2, "b@ok.example", "")) << "the new session's message 1";
    EXPECT_EQ(w.line(1).substr(0, 9), " <SPAM>  ");
    EXPECT_FALSE(w.dir.exists("log.dat"));
    w.dialogs.ExpectMessage("Удалить выделенные сообщения?", Answer::Ok)
        .WhileShown(dropped)
        .ExpectMessage("Соединение не установлено. Соединить?", Answer::Cancel)
        .ExpectMessage("Not Connected.", Icon::Error, Buttons::Ok, Answer::Ok);
    w.click(w.form.btnDelete);
    EXPECT_TRUE(w.dialogs.done());
    EXPECT_TRUE(server.finish());
}

TEST(Status, WindowStaysResponsiveDuringAScan) {
    // A slow server: every reply comes 40 ms late. A 10 ms timer keeps
    // firing while the scan waits; the longest gap between ticks is the
    // event delay a user would feel.
    std::vector<pop3::Message> box;
    for (int i = 0; i < 10; ++i) box.push_back(Msg({"From: a@b.example", "Subject: s"}, 100));
    ScanWindow w("", "x@y.example\r\n");
    ScriptedServer server(Slow(pop3::Scan("joe", "secret", box), 40) + pop3::Quit());
    w.pointAt(server);
    QElapsedTimer clock;
    qint64 last = -1, worst = 0;
    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        const qint64 now = clock.elapsed();
        if (last >= 0) worst = std::max(worst, now - last);
        last = now;
        ++ticks;
    });
    clock.start();
    timer.start(10);
    w.click(w.form.btnConnect);
    const qint64 total = clock.elapsed();
    timer.stop();
    EXPECT_EQ(w.form.LineCount(), 10);
    std::printf("scan of %lld ms: %d ticks of a 10 ms timer, longest gap %lld ms\n", static_cast<long long>(total),
                ticks, static_cast<long long>(worst));
    RecordProperty("longest_gap_ms", static_cast<int>(worst));
    EXPECT_GT(ticks, 10);
    EXPECT_LT(worst, 500) << "the event loop was blocked";
    w.click(w.form.btnDisconnect);
    server.finish();
}
