// The mailbox session without a window: each row is a wire conversation with
// the scripted server, the requests made during it, and the states the
// session goes through, from each state and by each way out of it.
#include <arpa/inet.h>
#include <chrono>
#include <thread>

#include "lists/DeletionLog.h"
#include "platform/codepage.h"
#include "platform/winsock.h"
#include "session_support.h"

using namespace mgtest;
using mg::MailboxSession;
using State = MailboxSession::State;

namespace {

mg::Task<> FetchTwo(MailboxSession& s) {
    const TSummary summary = co_await s.Fetch(2);
    if (summary.From != "b@ok.example") throw Exception("fetched " + summary.From);
}

struct Case {
    const char* name;
    Script script;
    std::function<void(Session&, ScriptedServer&)> act;  // after a complete scan, unless `scanFirst` is false
    const char* states;                                 // every state after the scan's, in order
    std::vector<std::string> errors;
    int lost = 0;
    bool scanFirst = true;
};

}  // namespace

TEST(MailboxSession, EachStateAndEachWayOutOfIt) {
    const Script logon = pop3::Scan("joe", "secret", Box());
    // The scan up to message 2's TOP, which the server holds.
    Script toTop2 = pop3::Logon("joe", "secret", 3, 600) + pop3::Listing({100, 200, 300}) + pop3::Uidl({}) +
                    pop3::Top(1, Box()[0].header) + pop3::Top(2, Box()[1].header);
    toTop2.insert(toTop2.end() - 1, Hold());
    const std::vector<Case> cases = {
        {"scan: connecting, scanning, open", logon + pop3::Quit(),
         [](Session& t, ScriptedServer&) {
             ASSERT_EQ(t.session.Lines().Count(), 3);
             EXPECT_TRUE(t.session.Lines().Checked(0));
             EXPECT_FALSE(t.session.Lines().Checked(1));
             t.submit(LogOff);
         },
         "LoggingOff Idle", {}},
        {"connecting fails: idle again, the error reported",
         {S("+OK ready"), C("CAPA"), S("-ERR"), C("USER joe"), S("-ERR no"), C("QUIT"), S("+OK"), AwaitClose()},
         [](Session& t, ScriptedServer& server) {
             t.scan(server);
             t.settle();
             EXPECT_EQ(t.session.Lines().Count(), 0);
         },
         "Connecting Idle", {"Authentication failed: no"}, 0, false},
        {"scanning: the server closes instead of a reply",
         pop3::Logon("joe", "secret", 3, 600) + pop3::Listing({100, 200, 300}) + pop3::Uidl({}) +
             Script{C("TOP 1 0"), Close()},
         [](Session& t, ScriptedServer& server) {
             t.scan(server);
             t.settle();
         },
         "Connecting Scanning Idle", {"Connection closed by server"}, 0, false},
        {"deleting, holding, logged off: the server carries them out",
         logon + pop3::Dele(1) + pop3::Dele(3) + pop3::Quit(),
         [](Session& t, ScriptedServer&) {
             t.submit(Delete);
             t.settle();
             EXPECT_EQ(t.session.GetState(), State::Holding);
             EXPECT_TRUE(t.session.HoldsDeletions());
             t.submit(LogOff);
         },
         "Deleting Holding LoggingOff Idle", {}},
        {"holding: a keep-alive, then the server closes: taken back",
         logon + pop3::Dele(1) + pop3::Dele(3) + Script{CWithin(5000, "NOOP"), S("+OK"), Close()},
         [](Session& t, ScriptedServer&) {
             t.submit(Delete);
             t.settle();
             EXPECT_TRUE(PumpUntil([&] { return t.lost > 0; }));
         },
         "Deleting Holding KeepingAlive Holding Idle", {}, 2},
        {"holding: -ERR to QUIT takes them back", logon + pop3::Dele(1) + pop3::Dele(3) +
                                                    Script{C("QUIT"), S("-ERR not now"), AwaitClose()},
         [](Session& t, ScriptedServer&) {
             t.submit(Delete);
             t.settle();
             t.submit(LogOff);
         },
         "Deleting Holding LoggingOff Idle", {"-ERR not now"}, 2},
        {"a refused deletion: open, the refusal reported once", logon + Script{C("DELE 1"), S("-ERR")} + pop3::Quit(),
         [](Session& t, ScriptedServer&) {
             t.submit(Delete);
             t.settle();
             EXPECT_EQ(t.events, (std::vector<std::string>{"failure"}));
             EXPECT_FALSE(t.session.HoldsDeletions());
             t.submit(LogOff);
         },
         "Deleting Open LoggingOff Idle", {"-ERR"}},
        {"fetching, open again", logon + pop3::Summary(2, Box()[1]) + pop3::Quit(),
         [](Session& t, ScriptedServer&) {
             t.submit(FetchTwo);
             t.settle();
             t.submit(LogOff);
         },
         "Fetching Open LoggingOff Idle", {}},
        // Replies that decide what the server carries out keep their time-out
        // past the end's grace.
        {"end while deleting: the reply in flight, then QUIT, both slow",
         logon + Script{C("DELE 1"), Hold(), S("+OK"), C("QUIT"), Pause(2500), S("+OK"), AwaitClose()},
         [](Session& t, ScriptedServer& server) {
             t.submit(Delete);
             ASSERT_TRUE(PumpUntil([&] { return server.holding(); }));
             bool ended = false;
             t.session.End([&](const MailboxSession::EndResult& r) {
                 ended = true;
                 EXPECT_FALSE(r.lost);
             });
             PumpUntil([] { return false; }, 2500);
             server.release();
             t.settle();
             EXPECT_TRUE(ended);
             EXPECT_NE(t.dir.read("log.dat").find("a@spam.example"), std::string::npos);
         },
         "Deleting Holding LoggingOff Idle", {}},
        {"end while scanning: the reply in flight (no TOP 3 after it), then QUIT", toTop2 + pop3::Quit(),
         [](Session& t, ScriptedServer& server) {
             t.scan(server);
             ASSERT_TRUE(PumpUntil([&] { return server.holding(); }));
             t.session.End(nullptr);
             server.release();
             t.settle();
         },
         "Connecting Scanning Open LoggingOff Idle", {}, 0, false},
        {"end while the name is looked up: given up at once, without a word", Script{},
         [](Session& t, ScriptedServer& server) {
             // Found only after a while; the scripted server expects no connection.
             mg::SetHostResolver([](const std::string&, std::vector<uint32_t>& out) {
                 std::this_thread::sleep_for(std::chrono::milliseconds(500));
                 out.push_back(htonl(INADDR_LOOPBACK));
                 return 0;
             });
             t.scan(server, "slow.test");
             t.session.End(nullptr);
             t.settle();
             EXPECT_TRUE(PumpUntil([] { return mg::PendingHostLookups() == 0; }));
             PumpUntil([] { return false; }, 100);
             mg::SetHostResolver(nullptr);
             EXPECT_TRUE(t.events.empty());
         },
         "Connecting Idle LoggingOff Idle", {}, 0, false},
        {"no connection: the owner is asked; a scan it submits comes next", Script{},
         [](Session& t, ScriptedServer&) {
             t.answerConnect = true;
             t.submit(Delete);
             t.settle();
             t.answerConnect = false;
             t.submit(FetchTwo);
             t.settle();
             EXPECT_EQ(t.events, (std::vector<std::string>{"connection required", "connection required"}));
         },
         "Deleting Idle Fetching Idle", {"Not Connected"}, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        mg::SessionOptions options;
        options.KeepAliveMs = 150;
        Session t(options);
        ScriptedServer server(c.script);
        if (c.scanFirst) {
            t.scan(server);
            t.settle();
            ASSERT_EQ(t.states, "Connecting Scanning Open");
            t.states.clear();
        }
        c.act(t, server);
        t.settle();
        EXPECT_EQ(t.states, c.states);
        EXPECT_EQ(t.errors, c.errors);
        EXPECT_EQ(t.lost, c.lost);
        EXPECT_FALSE(t.session.Connected());
        EXPECT_TRUE(server.finish());
    }
}

// Jobs run one at a time in the order submitted: a scan submitted while a
// deletion waits for its reply goes on the wire after the deletion's reply
// and the log-off, never inside them.
TEST(MailboxSession, JobsWaitTheirTurn) {
    Session t;
    ScriptedServer server(pop3::Scan("joe", "secret", Box()) + Script{C("DELE 1"), Hold(), S("+OK")} + pop3::Quit() +
                          Script{Accept()} + pop3::Scan("joe", "secret", Box()) + pop3::Quit());
    t.scan(server);
    t.settle();
    t.session.Lines().SetChecked(2, false);
    t.submit(Delete);
    ASSERT_TRUE(PumpUntil([&] { return server.holding(); }));
    t.scan(server);
    t.submit(LogOff);
    PumpUntil([] { return false; }, 50);
    EXPECT_FALSE(t.session.Settled());
    server.release();
    t.settle();
    EXPECT_TRUE(t.errors.empty());
    EXPECT_TRUE(server.finish());
}

// What a line shows of a header is what the lists match: raw UTF-8 in
// Windows-1251, control bytes out of the sender.
TEST(MailboxSession, ALineShowsWhatTheListsMatch) {
    Session t;
    t.white.Insert(mg::A("@пример.рф"));
    const std::vector<pop3::Message> box = {{{"From: Иван <иван@пример.рф>", "Subject: Привет"}, 100},
                                            {{std::string("From: <bob\0@spam.example>", 25), "Subject: hi"}, 200}};
    ScriptedServer server(pop3::Scan("joe", "secret", box) + pop3::Quit());
    t.scan(server);
    t.settle();
    EXPECT_EQ(t.lines(), (std::vector<std::string>{mg::A(" <WHITE>  | иван@пример.рф                 | Привет"),
                                                   " <SPAM>   | bob@spam.example               | hi"}));
    t.submit(LogOff);
    t.settle();
    EXPECT_TRUE(server.finish());
}
