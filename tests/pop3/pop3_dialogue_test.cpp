// TVantelPOP3 against a scripted server: each test is the dialogue on the
// wire, client line C(...) and server line S(...), in order.
#include <QTimer>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/codepage.h"
#include "pop3/VantelPop3.h"
#include "support/pop3_dialogue.h"
#include "support/scripted_server.h"

using namespace mgtest;

namespace {

class Pop3Dialogue : public ::testing::Test {
protected:
    void SetUp() override {
        pop3.UserID = "joe";
        pop3.Password = "secret";
        // A safety net: a broken client fails instead of hanging.
        pop3.TimeOut = 20000;
        pop3.OnConnect = [this](TObject*) { events.push_back("connect"); };
        pop3.OnDisconnect = [this](TObject*) { events.push_back("disconnect"); };
        pop3.OnSuccess = [this](TObject*) { events.push_back("success"); };
        pop3.OnFailure = [this](TObject*) { events.push_back("failure"); };
        pop3.OnRetrieveStart = [this](TObject*) { events.push_back("retrieve start"); };
        pop3.OnRetrieveEnd = [this](TObject*) { events.push_back("retrieve end"); };
        pop3.OnList = [this](int32_t msg, int32_t size) {
            listed.push_back({msg, size});
            if (onList) onList(msg, size);
        };
    }

    void serve(Script script) {
        server = std::make_unique<ScriptedServer>(std::move(script));
        pop3.Host = ScriptedServer::host();
        pop3.Port = server->port();
    }

    // The message of the error an operation raised, or "no error".
    static std::string errorOf(const std::function<void()>& operation) {
        try {
            operation();
        } catch (const Exception& e) {
            return e.Message;
        }
        return "no error";
    }

    TVantelPOP3 pop3;
    std::unique_ptr<ScriptedServer> server;
    std::vector<std::string> events;
    std::vector<std::pair<int32_t, int32_t>> listed;
    std::function<void(int32_t, int32_t)> onList;
};

using Events = std::vector<std::string>;
using Listing = std::vector<std::pair<int32_t, int32_t>>;

TEST_F(Pop3Dialogue, LogsOnCountsAndLogsOff) {
    serve(pop3::Logon("joe", "secret", 3, 1536) + pop3::Quit());
    mg::Await(pop3.Connect());
    EXPECT_TRUE(pop3.Connected());
    EXPECT_EQ(pop3.MailCount(), 3);
    mg::Await(pop3.Disconnect());
    EXPECT_FALSE(pop3.Connected());
    EXPECT_EQ(pop3.MailCount(), 3);  // kept after logging off
    server->finish();
    EXPECT_EQ(events, (Events{"connect", "disconnect"}));
}

TEST_F(Pop3Dialogue, BareGreetingIsPositiveAndCountWithoutSizeIsZero) {
    serve({
        S("+OK"),
        C("CAPA"), S("-ERR"), C("USER joe"), S("+OK"),
        C("PASS secret"), S("+OK"),
        C("CAPA"), S("-ERR"), C("STAT"), S("+OK 5"),  // field 2 is "5\r\n": not a number
        C("QUIT"), S("+OK"), AwaitClose(),
    });
    mg::Await(pop3.Connect());
    EXPECT_EQ(pop3.MailCount(), 0);
    mg::Await(pop3.Disconnect());
    server->finish();
}

TEST_F(Pop3Dialogue, EmptyMailboxListsNothing) {
    serve(pop3::Logon("joe", "secret", 0, 0) + pop3::Listing({}) + pop3::Quit());
    mg::Await(pop3.Connect());
    EXPECT_EQ(pop3.MailCount(), 0);
    mg::Await(pop3.List());
    EXPECT_TRUE(listed.empty());
    mg::Await(pop3.Disconnect());
    server->finish();
}

TEST_F(Pop3Dialogue, ListReportsEveryMessageInOrder) {
    serve(pop3::Logon("joe", "secret", 3, 3700) + pop3::Listing({120, 3500, 80}) +
          Script{C("LIST"), S({"+OK", "1 120", "2 3500", "3 80", "."})} + pop3::Quit());
    mg::Await(pop3.Connect());
    mg::Await(pop3.List());
    EXPECT_EQ(listed, (Listing{{1, 120}, {2, 3500}, {3, 80}}));
    // Without a handler the listing is still read to its end.
    pop3.OnList = nullptr;
    mg::Await(pop3.List());
    mg::Await(pop3.Disconnect());
    server->finish();
}

TEST_F(Pop3Dialogue, BadListingLineIsAConversionErrorNamingField2First) {
    serve(pop3::Logon("joe", "secret", 2, 200) + Script{C("LIST"), S({"+OK", "1 100", "x y", "3 100", "."})});
    mg::Await(pop3.Connect());
    EXPECT_EQ(errorOf([&] { mg::Await(pop3.List()); }), "'y' is not a valid integer value");
    EXPECT_EQ(listed, (Listing{{1, 100}}));
    server->finish();
}

// An error in the middle of a multi-line reply, or a reply line that cannot
// be read, leaves the rest of the server's answer unread: what it says next
// would be taken for the reply to the next command. The connection closes
// without QUIT.
TEST_F(Pop3Dialogue, AReplyThatCannotBeFollowedClosesWithoutQuit) {
    const struct {
        const char* name;
        Script exchange;
        std::function<void(TVantelPOP3&)> operation;
        const char* error;
    } rows[] = {
        {"a listing line that is no number", {C("LIST"), Raw("+OK\r\n1 100\r\nx y\r\n3 100\r\n.\r\n")},
         [](TVantelPOP3& p) { mg::Await(p.List()); }, "'y' is not a valid integer value"},
        {"a size above 2^31", {C("LIST"), Raw("+OK\r\n1 100\r\n2 3000000000\r\n.\r\n")},
         [](TVantelPOP3& p) { mg::Await(p.List()); }, "'3000000000' is not a valid integer value"},
        {"a reply number out of range before a header block", {C("TOP 1 0"), Raw("40000+OK\r\nFrom: a@b.c\r\n\r\n.\r\n")},
         [](TVantelPOP3& p) { mg::Await(p.GetSummary(1)); }, "Range check error"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        serve(pop3::Logon("joe", "secret", 2, 200) + r.exchange + Script{AwaitClose()});
        mg::Await(pop3.Connect());
        EXPECT_EQ(errorOf([&] { r.operation(pop3); }), r.error);
        EXPECT_FALSE(pop3.Connected());
        EXPECT_FALSE(pop3.QuitAccepted());
        EXPECT_TRUE(server->finish());
    }
}

TEST_F(Pop3Dialogue, RefusedListingFailsWithTheReply) {
    serve(pop3::Logon("joe", "secret", 1, 100) +
          Script{C("LIST"), S("-ERR mailbox busy")} + pop3::Quit());
    mg::Await(pop3.Connect());
    EXPECT_EQ(errorOf([&] { mg::Await(pop3.List()); }), "-ERR mailbox busy");
    mg::Await(pop3.Disconnect());
    server->finish();
}

TEST_F(Pop3Dialogue, RejectedPasswordRetriedOnceThroughHandlerThenFails) {
    int asked = 0;
    pop3.OnAuthenticationFailed = [&](bool& handled) {
        ++asked;
        pop3.UserID = "jo";
        pop3.Password = "better";
        handled = true;
    };
    serve({
        S("+OK ready"),
        C("CAPA"), S("-ERR"), C("USER joe"), S("+OK"),
        C("PASS secret"), S("-ERR [AUTH] Authentication failed."),
        C("USER jo"), S("+OK"),
        C("PASS better"), S("-ERR [AUTH] Authentication failed."),
        C("QUIT"), S("+OK"), AwaitClose(),
    });
    EXPECT_EQ(errorOf([&] { mg::Await(pop3.Connect()); }),
              "Authentication failed: [AUTH] Authentication failed.\n" + mg::RefusalAdvice("-ERR [AUTH]"));
    EXPECT_EQ(asked, 1);
    EXPECT_FALSE(pop3.Connected());
    server->finish();
    EXPECT_EQ(events, (Events{"disconnect"}));  // no OnConnect
}

TEST_F(Pop3Dialogue, RejectedUserRetriedWithNewCredentialsLogsOn) {
    pop3.OnAuthenticationFailed = [&](bool& handled) {
        pop3.UserID = "joseph";
        handled = true;
    };
    serve({
        S("+OK ready"),
        C("CAPA"), S("-ERR"), C("USER joe"), S("-ERR no such user"),
        C("USER joseph"), S("+OK"),
        C("PASS secret"), S("+OK"),
        C("CAPA"), S("-ERR"), C("STAT"), S("+OK 2 300"),
    });
    mg::Await(pop3.Connect());
    EXPECT_EQ(pop3.MailCount(), 2);
    EXPECT_EQ(events, (Events{"connect"}));
    server->finish();
}

TEST_F(Pop3Dialogue, RejectionWithoutHandlerOrUnhandledFails) {
    serve({
        S("+OK ready"),
        C("CAPA"), S("-ERR"), C("USER joe"), S("-ERR no such user"),
        C("QUIT"), S("+OK"), AwaitClose(),
        Accept(), S("+OK ready"),
        C("CAPA"), S("-ERR"), C("USER joe"), S("+OK"),
        C("PASS secret"), S("-ERR wrong"),
        C("QUIT"), S("+OK"), AwaitClose(),
    });
    EXPECT_EQ(errorOf([&] { mg::Await(pop3.Connect()); }), "Authentication failed: no such user");
    int asked = 0;
    pop3.OnAuthenticationFailed = [&](bool&) { ++asked; };  // leaves Handled false
    EXPECT_EQ(errorOf([&] { mg::Await(pop3.Connect()); }), "Authentication failed: wrong");
    EXPECT_EQ(asked, 1);
    server->finish();
}

TEST_F(Pop3Dialogue, AuthenticationNeededAskedOnceAndEmptyPasswordSent) {
    pop3.Password = "";
    int asked = 0;
    pop3.OnAuthenticationNeeded = [&](bool& handled) {
        ++asked;
        handled = true;  // but no password
    };
    serve({
        S("+OK ready"),
        C("CAPA"), S("-ERR"), C("USER joe"), S("+OK"),
        C("PASS "), S("+OK"),
        C("CAPA"), S("-ERR"), C("STAT"), S("+OK 0 0"),
    });
    mg::Await(pop3.Connect());
    EXPECT_EQ(asked, 1);
    server->finish();
}

TEST_F(Pop3Dialogue, MissingCredentialsFailBeforeConnecting) {
    serve({});
    pop3.Password = "";
    EXPECT_EQ(errorOf([&] { mg::Await(pop3.Connect()); }), "Authentication failed");
    pop3.OnAuthenticationNeeded = [](bool&) {};  // leaves Handled false
    EXPECT_EQ(errorOf([&] { mg::Await(pop3.Connect()); }), "Authentication failed");
    EXPECT_EQ(server->connections(), 0);
    server->finish();
}

TEST_F(Pop3Dialogue, NegativeGreetingQuitsAndFailsWithIt) {
    serve({S("-ERR too many connections"), C("QUIT"), S("+OK"), AwaitClose()});
    EXPECT_EQ(errorOf([&] { mg::Await(pop3.Connect()); }), "-ERR too many connections");
    EXPECT_FALSE(pop3.Connected());
    server->finish();
    EXPECT_EQ(events, (Events{"disconnect"}));
}

TEST_F(Pop3Dialogue, RefusedStatQuitsFiresOnConnectAndFailsWithTheReply) {
    serve({
        S("+OK ready"),
        C("CAPA"), S("-ERR"), C("USER joe"), S("+OK"),
        C("PASS secret"), S("+OK"),
        C("CAPA"), S("-ERR"), C("STAT"), S("-ERR mailbox locked"),
        C("QUIT"), S("+OK"), AwaitClose(),
    });
    EXPECT_EQ(errorOf([&] { mg::Await(pop3.Connect()); }), "-ERR mailbox locked");
    EXPECT_FALSE(pop3.Connected());
    server->finish();
    // Closed first, then the log-on is reported.
    EXPECT_EQ(events, (Events{"disconnect", "connect"}));
}

// A refusal says the server's own words, shown in Windows-1251 when they
// come in UTF-8, and the advice its response code carries.
TEST_F(Pop3Dialogue, RefusalsCarryTheServersReasonAndTheAdviceOfItsCode) {
    enum Where { Greeting, User, Pass, Stat, Quit };
    const char* kAuth = "Сервер не принял имя или пароль. Многим почтовым службам нужны пароль приложения и "
                        "доступ по POP3, включенный в настройках ящика.";
    const struct {
        Where where;
        const char* reply;     // UTF-8
        const char* expected;  // UTF-8; its second line the advice
    } rows[] = {
        {Pass, "-ERR [AUTH] Application-specific password required: https://x.example/p",
         "Authentication failed: [AUTH] Application-specific password required: https://x.example/p\n%s"},
        {Pass, "-ERR [SYS/PERM] Your account is not enabled for POP access.",
         "Authentication failed: [SYS/PERM] Your account is not enabled for POP access.\n"
         "Сервер отказывает по постоянной причине: прочтите его сообщение."},
        {User, "-ERR [auth] login failure or POP3 disabled",
         "Authentication failed: [auth] login failure or POP3 disabled\n%s"},
        {Pass, "-ERR [IN-USE] Mailbox locked",
         "Authentication failed: [IN-USE] Mailbox locked\n"
         "Ящик открыт другой программой (возможно, почтовой). Повторите, когда она закончит работу."},
        {Pass, "-ERR [LOGIN-DELAY] wait", "Authentication failed: [LOGIN-DELAY] wait\n"
                                          "Сервер разрешает входить в ящик лишь через определенные промежутки "
                                          "времени. Повторите позже."},
        {Pass, "-ERR [SYS/TEMP] try later",
         "Authentication failed: [SYS/TEMP] try later\nВременный сбой на сервере. Повторите позже."},
        {Pass, "-ERR [AUTH] Пароль неверен ✓", "Authentication failed: [AUTH] Пароль неверен ?\n%s"},
        {Pass, "-ERR [UNKNOWN-CODE] no", "Authentication failed: [UNKNOWN-CODE] no"},
        {Pass, "-ERR", "Authentication failed"},
        {Greeting, "-ERR [SYS/TEMP] overloaded", "-ERR [SYS/TEMP] overloaded\nВременный сбой на сервере. Повторите позже."},
        {Stat, "-ERR [IN-USE] Ящик занят", "-ERR [IN-USE] Ящик занят\nЯщик открыт другой программой (возможно, "
                                            "почтовой). Повторите, когда она закончит работу."},
        {Quit, "-ERR [SYS/PERM] not deleted", "-ERR [SYS/PERM] not deleted\n"
                                              "Сервер отказывает по постоянной причине: прочтите его сообщение."},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.reply);
        const std::string reply = row.reply;  // sent as the UTF-8 bytes it is
        Script script{S(row.where == Greeting ? reply : "+OK ready")};
        if (row.where != Greeting) script = script + Script{C("CAPA"), S("-ERR"), C("USER joe"), S(row.where == User ? reply : "+OK")};
        if (row.where > User) script = script + Script{C("PASS secret"), S(row.where == Pass ? reply : "+OK")};
        if (row.where > Pass) script = script + Script{C("CAPA"), S("-ERR"), C("STAT"), S(row.where == Stat ? reply : "+OK 0 0")};
        script = script + Script{C("QUIT"), S(row.where == Quit ? reply : "+OK"), AwaitClose()};
        serve(script);
        std::string expected = row.expected;
        if (const size_t at = expected.find("%s"); at != std::string::npos) expected.replace(at, 2, kAuth);
        expected = mg::A(expected.c_str());
        if (row.where == Quit) {
            mg::Await(pop3.Connect());
            EXPECT_EQ(errorOf([&] { mg::Await(pop3.Disconnect()); }), expected);
        } else {
            EXPECT_EQ(errorOf([&] { mg::Await(pop3.Connect()); }), expected);
        }
        EXPECT_FALSE(pop3.Connected());
        server->finish();
    }
}

// A server that offers STLS and then refuses it, or answers the handshake
// with plain text, ends the attempt with the reason: the user name never
// goes out in plain text.
TEST_F(Pop3Dialogue, AnOfferedStlsThatFailsEndsTheLogOn) {
    const Script offer{S("+OK ready"), C("CAPA"), S("+OK"), S("TOP"), S("STLS"), S("."), C("STLS")};
    serve(offer + Script{S("-ERR not now"), C("QUIT"), S("+OK"), AwaitClose()});
    EXPECT_EQ(errorOf([&] { mg::Await(pop3.Connect()); }), "TLS upgrade refused: -ERR not now");
    EXPECT_FALSE(pop3.Connected());
    server->finish();

    serve(offer + Script{S("+OK Begin TLS"), S("+OK this is no TLS"), Close()});
    const std::string failed = errorOf([&] { mg::Await(pop3.Connect()); });
    EXPECT_NE(failed.find("TLS handshake with 127.0.0.1 failed"), std::string::npos) << failed;
    EXPECT_FALSE(pop3.Connected());
    server->finish();
}

// A mailbox that requires TLS: on a connection that stays plain (no STLS
// offered, or STLS refused) neither USER nor PASS goes out; the session logs
// off and says why.
TEST_F(Pop3Dialogue, RequiredTlsSendsNoCredentialsOnAPlainConnection) {
    const std::string plain =
        ": соединение не защищено, а для этого ящика вход без TLS запрещен. Логин и пароль не отправлены.";
    const struct {
        const char* name;
        Script offer;
        std::string error;
    } rows[] = {
        {"no CAPA", {C("CAPA"), S("-ERR")}, "Сервер не предлагает STLS" + plain},
        {"no STLS", {C("CAPA"), S({"+OK", "TOP", "USER", "."})}, "Сервер не предлагает STLS" + plain},
        {"STLS refused", {C("CAPA"), S({"+OK", "STLS", "."}), C("STLS"), S("-ERR not now")},
         "Сервер отказал в STLS (-ERR not now)" + plain},
    };
    pop3.TlsRequired = true;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        serve(Script{S("+OK ready")} + row.offer + Script{C("QUIT"), S("+OK"), AwaitClose()});
        EXPECT_EQ(errorOf([&] { mg::Await(pop3.Connect()); }), mg::A(row.error.c_str()));
        EXPECT_FALSE(pop3.Connected());
        server->finish();
    }
}

TEST_F(Pop3Dialogue, RefusedQuitStillCloses) {
    serve(pop3::Logon("joe", "secret", 1, 10) + Script{C("QUIT"), S("-ERR some messages not deleted"), AwaitClose()});
    mg::Await(pop3.Connect());
    EXPECT_EQ(errorOf([&] { mg::Await(pop3.Disconnect()); }), "-ERR some messages not deleted");
    EXPECT_FALSE(pop3.Connected());
    // Not connected: nothing is sent and nothing fires.
    events.clear();
    mg::Await(pop3.Disconnect());
    EXPECT_TRUE(events.empty());
    server->finish();
}

// NOOP keeps a session; it obeys the busy flag; a refused one logs off, and
// only +OK to QUIT counts as the session's commit.
TEST_F(Pop3Dialogue, NoopAndTheReplyToQuit) {
    serve(pop3::Logon("joe", "secret", 1, 10) + Script{C("NOOP"), S("+OK")} + pop3::Listing({10}) +
          Script{C("NOOP"), S("-ERR go away"), C("QUIT"), S("-ERR not now"), AwaitClose()} + Script{Accept()} +
          pop3::Logon("joe", "secret", 1, 10) + Script{C("NOOP"), Close()} + Script{Accept()} +
          pop3::Logon("joe", "secret", 1, 10) + pop3::Quit());
    EXPECT_FALSE(mg::Await(pop3.Noop())) << "not connected: nothing sent";
    mg::Await(pop3.Connect());
    EXPECT_TRUE(mg::Await(pop3.Noop()));
    bool nested = true;
    onList = [&](int32_t, int32_t) { nested = mg::Await(pop3.Noop()); };
    mg::Await(pop3.List());
    EXPECT_FALSE(nested) << "busy: nothing sent";
    EXPECT_EQ(errorOf([&] { mg::Await(pop3.Noop()); }), "-ERR not now");
    EXPECT_FALSE(pop3.QuitAccepted());
    mg::Await(pop3.Connect());
    EXPECT_EQ(errorOf([&] { mg::Await(pop3.Noop()); }), "Connection closed by server");
    EXPECT_FALSE(pop3.Connected());
    EXPECT_FALSE(pop3.QuitAccepted());
    mg::Await(pop3.Connect());
    mg::Await(pop3.Disconnect());
    EXPECT_TRUE(pop3.QuitAccepted());
    server->finish();
}

// A log-off asked for while a NOOP waits for its reply sends no QUIT into
// that wait: QUIT's reply could not be told from the NOOP's. The connection
// closes without it, and the NOOP fails on the closed connection.
TEST_F(Pop3Dialogue, LogOffWhileANoopWaitsClosesWithoutQuit) {
    serve(pop3::Logon("joe", "secret", 1, 10) + Script{C("NOOP"), AwaitClose()});
    mg::Await(pop3.Connect());
    std::string error = "not called";
    QTimer::singleShot(100, [&] { error = errorOf([&] { mg::Await(pop3.Disconnect()); }); });
    EXPECT_EQ(errorOf([&] { mg::Await(pop3.Noop()); }), "Socket readln aborted");
    EXPECT_EQ(error, "no error");
    EXPECT_FALSE(pop3.QuitAccepted());
    EXPECT_FALSE(pop3.Connected());
    server->finish();
}

TEST_F(Pop3Dialogue, DeleteFromListHandlerDoesNothing) {
    onList = [&](int32_t msg, int32_t) { mg::Await(pop3.DeleteMessage(msg)); };
    serve(pop3::Logon("joe", "secret", 2, 300) + pop3::Listing({100, 200}) + pop3::Dele(2) + pop3::Quit());
    mg::Await(pop3.Connect());
    mg::Await(pop3.List());
    EXPECT_EQ(listed.size(), 2u);
    onList = nullptr;
    mg::Await(pop3.DeleteMessage(2));  // the flag is clear again
    mg::Await(pop3.Disconnect());
    server->finish();
    EXPECT_EQ(events, (Events{"connect", "success", "disconnect"}));
}

// Only a positive reply is a deletion: a bare "-ERR", a line that is no
// reply at all and "-ERR" with a text are refusals alike, each raising
// OnFailure and failing with the reply; the connection stays.
TEST_F(Pop3Dialogue, DeleteTakesOnlyAPositiveReplyAsDone) {
    serve(pop3::Logon("joe", "secret", 4, 400) + Script{
        C("DELE 1"), S("-ERR"),
        C("DELE 2"), S("whatever"),
        C("DELE 3"), S("-ERR message 3 already deleted"),
        C("DELE 4"), S("+OK"),
    } + pop3::Quit());
    mg::Await(pop3.Connect());
    events.clear();
    EXPECT_EQ(errorOf([&] { mg::Await(pop3.DeleteMessage(1)); }), "-ERR");
    EXPECT_EQ(errorOf([&] { mg::Await(pop3.DeleteMessage(2)); }), "whatever");
    // OnFailure runs while the operation still holds the busy flag;
    // OnSuccess after it has been cleared.
    pop3.OnFailure = [&](TObject*) {
        events.push_back("failure");
        mg::Await(pop3.DeleteMessage(99));  // ignored
    };
    EXPECT_EQ(errorOf([&] { mg::Await(pop3.DeleteMessage(3)); }), "-ERR message 3 already deleted");
    EXPECT_TRUE(pop3.Connected());
    bool quit = false;
    pop3.OnSuccess = [&](TObject*) {
        events.push_back("success");
        if (quit) mg::Await(pop3.Disconnect());  // runs: the flag is clear
    };
    quit = true;
    mg::Await(pop3.DeleteMessage(4));
    EXPECT_FALSE(pop3.Connected());
    server->finish();
    EXPECT_EQ(events, (Events{"failure", "failure", "failure", "success", "disconnect"}));
}

TEST_F(Pop3Dialogue, SummaryFollowsTheHeaderRules) {
    serve(pop3::Logon("joe", "secret", 7, 9000) + Script{
        C("TOP 7 0"),
        Raw("+OK\r\n"
            "Return-Path: <x@y.org>\r\n"
            "From: First <first@y.org>\r\n"
            "Subject:  two blanks\r\n"
            "\tcontinued subject\r\n"
            "From:Second <second@z.org>\r\n"
            "Message-Id: <small-d@z.org>\r\n"
            "subject: lower case\r\n"
            " From: indented\r\n"
            "\n"
            "..not unstuffed\r\n"
            "\r\n"
            ".\r\n"),
        C("LIST 7"), S("+OK 7 4321"),
    } + pop3::Quit());
    pop3.ReportLevel = 1;
    std::vector<std::string> statuses;
    pop3.OnStatus = [&](TComponent*, const std::string& status) {
        statuses.push_back(status);
        events.push_back("status " + status);
    };
    mg::Await(pop3.Connect());
    events.clear();
    mg::Await(pop3.GetSummary(7));
    const TSummary& s = pop3.Summary();
    EXPECT_EQ(s.Subject, " two blanks");
    EXPECT_EQ(s.From, "Second <second@z.org>");
    EXPECT_EQ(s.MessageId, "");
    EXPECT_EQ(s.Bytes, 4321);
    EXPECT_EQ(s.Header, (TExStringList{"Return-Path: <x@y.org>", "From: First <first@y.org>",
                                       "Subject:  two blanks", "\tcontinued subject",
                                       "From:Second <second@z.org>", "Message-Id: <small-d@z.org>",
                                       "subject: lower case", " From: indented", "", "..not unstuffed", "",
                                       "."}));
    EXPECT_EQ(events, (Events{"retrieve start", "status +OK", "status +OK 7 4321",
                              "status Summary Retrieved", "retrieve end"}));
    mg::Await(pop3.Disconnect());
    server->finish();
}

TEST_F(Pop3Dialogue, SummaryOverwritesAndKeepsTheLineEndOfTheMessageId) {
    serve(pop3::Logon("joe", "secret", 2, 900) +
          pop3::Summary(1, {{"Subject: Hello", "Message-ID: <1@a.b>", "From: a@b.c"}, 500}) +
          Script{C("TOP 2 0"), Raw("+OK\r\nSubject:Hello\n.\r\n"), C("LIST 2"), S("+OK 2 400")} + pop3::Quit());
    mg::Await(pop3.Connect());
    mg::Await(pop3.GetSummary(1));
    EXPECT_EQ(pop3.Summary().Subject, "Hello");
    EXPECT_EQ(pop3.Summary().MessageId, "<1@a.b>\r\n");
    EXPECT_EQ(pop3.Summary().Header.size(), 5u);  // three lines, the separator, "."
    mg::Await(pop3.GetSummary(2));
    EXPECT_EQ(pop3.Summary().Subject, "Hello");  // bare LF ends the value too
    EXPECT_EQ(pop3.Summary().From, "");
    EXPECT_EQ(pop3.Summary().MessageId, "");
    EXPECT_EQ(pop3.Summary().Header, (TExStringList{"Subject:Hello", "."}));
    EXPECT_EQ(pop3.Summary().Bytes, 400);
    mg::Await(pop3.Disconnect());
    server->finish();
}

TEST_F(Pop3Dialogue, RefusedTopKeepsThePreviousSummary) {
    serve(pop3::Logon("joe", "secret", 1, 500) + pop3::Summary(1, {{"Subject: kept"}, 500}) +
          Script{C("TOP 9 0"), S("-ERR no such message"),
                 C("TOP 1 0"), Raw("+OK\r\nSubject: again\r\n\r\n.\r\n"),
                 C("LIST 1"), S("-ERR no such message")} +
          pop3::Quit());
    mg::Await(pop3.Connect());
    mg::Await(pop3.GetSummary(1));
    events.clear();
    EXPECT_EQ(errorOf([&] { mg::Await(pop3.GetSummary(9)); }), "-ERR no such message");
    EXPECT_EQ(pop3.Summary().Subject, "kept");
    EXPECT_EQ(pop3.Summary().Bytes, 500);
    EXPECT_EQ(events, (Events{"retrieve start"}));
    // A size that is not a number: the runtime's conversion error, and the
    // summary keeps its old size.
    EXPECT_EQ(errorOf([&] { mg::Await(pop3.GetSummary(1)); }), "'such' is not a valid integer value");
    EXPECT_EQ(pop3.Summary().Subject, "again");
    EXPECT_EQ(pop3.Summary().Bytes, 500);
    mg::Await(pop3.Disconnect());
    server->finish();
}

TEST_F(Pop3Dialogue, TimeOutInTheHeaderBlockAbortsAndCloses) {
    serve(pop3::Logon("joe", "secret", 1, 500) +
          Script{C("TOP 1 0"), Raw("+OK\r\nFrom: a@b.c\r\nSubject: par"), Silent()});
    mg::Await(pop3.Connect());
    pop3.TimeOut = 300;
    events.clear();
    try {
        mg::Await(pop3.GetSummary(1));
        ADD_FAILURE() << "no error";
    } catch (const EAbortError& e) {
        EXPECT_EQ(e.Message, "Socket readln aborted");
    }
    EXPECT_TRUE(pop3.TimedOut());
    EXPECT_FALSE(pop3.Connected());
    EXPECT_EQ(pop3.Summary().From, "a@b.c");
    EXPECT_EQ(pop3.Summary().Header, (TExStringList{"From: a@b.c"}));
    EXPECT_EQ(events, (Events{"retrieve start", "disconnect"}));
    // The busy flag is clear again: the next operation asks for a connection.
    EXPECT_EQ(errorOf([&] { mg::Await(pop3.List()); }), "Not Connected");
    server->finish();
}

TEST_F(Pop3Dialogue, AbortFromAHandlerClosesWithoutQuit) {
    onList = [&](int32_t, int32_t) { pop3.Abort(); };
    serve(pop3::Logon("joe", "secret", 2, 300) +
          Script{C("LIST"), S({"+OK", "1 100"}), AwaitClose()});
    mg::Await(pop3.Connect());
    try {
        mg::Await(pop3.List());
        ADD_FAILURE() << "no error";
    } catch (const EAbortError& e) {
        EXPECT_EQ(e.Message, "Socket readln aborted");
    }
    EXPECT_FALSE(pop3.Connected());
    server->finish();
}

// The server closing in the middle of a multi-line reply ends the operation
// with an error: with or without a listing handler, inside a header block,
// and with a partial line pending.
TEST_F(Pop3Dialogue, ServerClosingInAMultiLineReplyFails) {
    const Script logon = pop3::Logon("joe", "secret", 3, 300);
    serve(logon + Script{C("LIST"), S({"+OK", "1 100"}), Close(), Accept()} +
          logon + Script{C("LIST"), S({"+OK", "1 100", "2 100"}), Close(), Accept()} +
          logon + Script{C("TOP 2 0"), S({"+OK", "From: a@b.c"}), Close(), Accept()} +
          logon + Script{C("TOP 3 0"), Raw("+OK\r\nSubject: cut in the mid"), Close()});
    mg::Await(pop3.Connect());
    EXPECT_EQ(errorOf([&] { mg::Await(pop3.List()); }), "Connection closed by server");
    EXPECT_EQ(listed, (Listing{{1, 100}}));
    EXPECT_FALSE(pop3.Connected());

    mg::Await(pop3.Connect());
    pop3.OnList = nullptr;
    EXPECT_EQ(errorOf([&] { mg::Await(pop3.List()); }), "Connection closed by server");
    EXPECT_FALSE(pop3.Connected());

    mg::Await(pop3.Connect());
    EXPECT_EQ(errorOf([&] { mg::Await(pop3.GetSummary(2)); }), "Connection closed by server");
    EXPECT_EQ(pop3.Summary().Header, (TExStringList{"From: a@b.c"}));

    mg::Await(pop3.Connect());
    EXPECT_EQ(errorOf([&] { mg::Await(pop3.GetSummary(3)); }), "Connection closed by server");
    EXPECT_TRUE(pop3.Summary().Header.empty());
    EXPECT_FALSE(pop3.Connected());
    server->finish();
}

// A connection closed instead of a reply is not a reply: each command fails
// with its own message, a deletion is not counted, no question is asked.
TEST_F(Pop3Dialogue, ServerClosingInsteadOfAReplyFails) {
    int asked = 0;
    pop3.OnAuthenticationFailed = [&](bool& handled) {
        ++asked;
        handled = true;
    };
    serve(Script{S("+OK ready"), C("CAPA"), S("-ERR"), C("USER joe"), Close(), Accept()} +
          Script{Close(), Accept()} +  // not even a greeting
          Script{S("+OK ready"), C("CAPA"), S("-ERR"), C("USER joe"), S("+OK"), C("PASS secret"), S("+OK"), C("CAPA"), S("-ERR"), C("STAT"), Close(), Accept()} +
          pop3::Logon("joe", "secret", 1, 100) + Script{C("DELE 1"), Close()});
    EXPECT_EQ(errorOf([&] { mg::Await(pop3.Connect()); }), "Connection closed by server");
    EXPECT_EQ(asked, 0);
    EXPECT_EQ(errorOf([&] { mg::Await(pop3.Connect()); }), "Connection closed by server");
    events.clear();
    EXPECT_EQ(errorOf([&] { mg::Await(pop3.Connect()); }), "Connection closed by server");
    EXPECT_EQ(events, (Events{"disconnect", "connect"}));  // logged on before STAT
    mg::Await(pop3.Connect());
    events.clear();
    EXPECT_EQ(errorOf([&] { mg::Await(pop3.DeleteMessage(1)); }), "Connection closed by server");
    EXPECT_EQ(events, (Events{"failure", "disconnect"}));
    EXPECT_FALSE(pop3.Connected());
    server->finish();
    // Nothing was sent into the closed connections.
    for (const auto& line : server->received()) EXPECT_NE(line, "QUIT\r\n");
}

TEST_F(Pop3Dialogue, OperationsWithoutConnectionAskOnce) {
    serve(pop3::Logon("joe", "secret", 2, 300) + pop3::Listing({100, 200}) + pop3::Quit());
    EXPECT_EQ(errorOf([&] { mg::Await(pop3.List()); }), "Not Connected");
    EXPECT_EQ(errorOf([&] { mg::Await(pop3.GetSummary(1)); }), "Not Connected");
    EXPECT_EQ(errorOf([&] { mg::Await(pop3.DeleteMessage(1)); }), "Not Connected");
    EXPECT_TRUE(events.empty());

    // The handler connects; the interrupted List goes on on the new
    // connection, and a List from inside the log-on does nothing.
    int asked = 0;
    pop3.OnConnectionRequired = [&](bool& handled) {
        ++asked;
        mg::Await(pop3.Connect());
        handled = true;
    };
    pop3.OnConnect = [&](TObject*) {
        events.push_back("connect");
        mg::Await(pop3.List());
        mg::Await(pop3.GetSummary(1));
    };
    mg::Await(pop3.List());
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(listed, (Listing{{1, 100}, {2, 200}}));
    mg::Await(pop3.Disconnect());
    server->finish();
}

TEST(Pop3Component, DefaultsAndStoredProperties) {
    TVantelPOP3 pop3;
    EXPECT_EQ(pop3.Port, 110);
    EXPECT_EQ(pop3.MailCount(), 0);
    EXPECT_FALSE(pop3.Connected());
    EXPECT_FALSE(pop3.DeleteOnRead);
    EXPECT_EQ(pop3.AttachFilePath(), "");
    EXPECT_EQ(pop3.BytesRecvd, 0);
    EXPECT_TRUE(pop3.Summary().Header.empty());
    pop3.SetAttachFilePath(".");
    EXPECT_EQ(pop3.AttachFilePath(), ".\\");
    pop3.SetAttachFilePath("C:\\mail\\");
    EXPECT_EQ(pop3.AttachFilePath(), "C:\\mail\\");
    pop3.SetAttachFilePath("");
    EXPECT_EQ(pop3.AttachFilePath(), "");
}

TEST(Pop3Component, FieldAndPositiveReplyRules) {
    EXPECT_EQ(mg::Pop3Field("+OK 7 4321\r\n", 1), "+OK");
    EXPECT_EQ(mg::Pop3Field("+OK 7 4321\r\n", 3), "4321\r\n");
    EXPECT_EQ(mg::Pop3Field("+OK  7", 2), "");
    EXPECT_EQ(mg::Pop3Field("+OK  7", 3), "7");
    EXPECT_EQ(mg::Pop3Field("+OK\r\n", 2), "");
    EXPECT_EQ(mg::Pop3Field("", 1), "");
    // "+OK", then a blank or the line end: nothing else is positive.
    for (const char* reply : {"+OK\r\n", "+OK\n", "+OK", "+OK 2 320\r\n", "+OK  two blanks"})
        EXPECT_TRUE(mg::Pop3Positive(reply)) << reply;
    for (const char* reply : {"+OKAY fine\r\n", "+OK+\r\n", "+OK\t1\r\n", "x+OK\r\n", " +OK\r\n", "+ok\r\n",
                              "-ERR +OK\r\n", "+O", ""})
        EXPECT_FALSE(mg::Pop3Positive(reply)) << reply;
}

}  // namespace

// ----- pipelining

namespace {
const std::vector<pop3::Message> kThree = {
    {{"From: a@one.example", "Subject: one"}, 100},
    {{"From: b@two.example", "Subject: two"}, 200},
    {{"From: c@three.example", "Subject: three"}, 300},
};
}  // namespace

// Without PIPELINING in the CAPA answer a plan changes nothing: every
// command waits for its reply, or the scripted server would stall.
TEST_F(Pop3Dialogue, PlansChangeNothingWithoutPipelining) {
    for (const pop3::Capa capa : {pop3::Capa::Unknown, pop3::Capa::Plain}) {
        serve(pop3::Logon("joe", "secret", 3, 600, capa) + pop3::Summary(1, kThree[0]) + pop3::Summary(2, kThree[1]) +
              pop3::Dele(2) + pop3::Dele(3) + pop3::Quit());
        mg::Await(pop3.Connect());
        EXPECT_FALSE(pop3.Pipelining());
        pop3.PlanSummaries(1, 3);
        mg::Await(pop3.GetSummary(1));
        mg::Await(pop3.GetSummary(2));
        EXPECT_EQ(pop3.Summary().Subject, "two");
        pop3.PlanDeletions({2, 3});
        mg::Await(pop3.DeleteMessage(2));
        EXPECT_FALSE(pop3.DeletionInFlight(3));
        mg::Await(pop3.DeleteMessage(3));
        mg::Await(pop3.Disconnect());
        EXPECT_TRUE(server->finish());
    }
}

// A call off the plan takes the replies already on their way for its
// message, skipping those before it, and sends no copy of its own command.
TEST_F(Pop3Dialogue, PipelinedSummaryUsesRepliesInFlight) {
    serve(pop3::Logon("joe", "secret", 3, 600, pop3::Capa::Pipelining) + pop3::PipelinedSummaries(kThree, 1, 3) +
          pop3::Quit());
    mg::Await(pop3.Connect());
    EXPECT_TRUE(pop3.Pipelining());
    pop3.PlanSummaries(1, 3);
    mg::Await(pop3.GetSummary(1));
    EXPECT_EQ(pop3.Summary().From, "a@one.example");
    mg::Await(pop3.GetSummary(3));
    EXPECT_EQ(pop3.Summary().Subject, "three");
    EXPECT_EQ(pop3.Summary().Bytes, 300);
    EXPECT_EQ(events, (Events{"connect", "retrieve start", "retrieve end", "retrieve start", "retrieve end"}));
    mg::Await(pop3.Disconnect());
    EXPECT_TRUE(server->finish());
}

// A refused DELE ends the plan: deletions already sent keep their replies
// for the calls that take them, none is sent after the refusal.
TEST_F(Pop3Dialogue, RefusedDeletionEndsThePlan) {
    struct Case {
        size_t window;  // bytes of commands in flight; 0: the default
        Script replies;
        bool thirdSent;
    };
    const Case cases[] = {
        {0, {C("DELE 1"), C("DELE 2"), C("DELE 3"), S("+OK"), S("-ERR locked"), S("+OK")}, true},
        {8, {C("DELE 1"), S("+OK"), C("DELE 2"), S("-ERR locked")}, false},  // one DELE at a time
    };
    for (const Case& c : cases) {
        events.clear();
        serve(pop3::Logon("joe", "secret", 3, 600, pop3::Capa::Pipelining) + c.replies + pop3::Quit());
        pop3.SetPipelineWindowForTest(c.window);
        mg::Await(pop3.Connect());
        pop3.PlanDeletions({1, 2, 3});
        mg::Await(pop3.DeleteMessage(1));
        EXPECT_EQ(errorOf([&] { mg::Await(pop3.DeleteMessage(2)); }), "-ERR locked");
        EXPECT_EQ(pop3.DeletionInFlight(3), c.thirdSent);
        if (c.thirdSent) mg::Await(pop3.DeleteMessage(3));
        mg::Await(pop3.Disconnect());
        EXPECT_EQ(events, (c.thirdSent ? Events{"connect", "success", "failure", "success", "disconnect"}
                                       : Events{"connect", "success", "failure", "disconnect"}));
        EXPECT_TRUE(server->finish());
    }
    pop3.SetPipelineWindowForTest(0);
}
