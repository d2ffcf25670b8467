// The user acts while the client waits for the server: at every wait of a
// scan and of a delete run (one command at a time, and pipelined), the server
// holds its reply while the user presses "Разрыв соединения" or "Соединение",
// closes the window, or the process gets SIGTERM. The server then answers.
//
// For every row: the client sends nothing into the wait (the scripted server
// fails a line that arrives while it holds); what runs ends after the reply it
// waited for; the messages the server deleted (accepted before a QUIT it
// answered +OK) equal log.dat's lines and the list's "<УДАЛЕНО>" lines when
// QUIT goes out; nothing waits for ever; and the window answers the next
// command (a fresh scan), or, closed, has written its settings and lists.
#include <QCoreApplication>
#include <QLabel>
#include <QPushButton>
#include <gtest/gtest.h>

#include <csignal>
#include <ostream>
#include <string>
#include <vector>

#include "app/Termination.h"
#include "mailbox/DeletionBin.h"
#include "scan_dialogue.h"

using namespace mgtest;
using mg::A;

namespace {

enum class Action { Disconnect, Connect, Close, Terminate, ConnectThenSilence };
const char* const kActionNames[] = {"Disconnect", "Connect", "Close", "Sigterm", "ConnectThenSilence"};

constexpr int kShortTimeOut = 1500;

// The client lines after which the client waits for the server, in the scan
// and the delete run; -1 is the wait for the greeting.
std::vector<int> WaitPoints(const std::vector<DialogueLine>& d) {
    std::vector<int> points = {-1};
    for (int i = 0; i + 1 < static_cast<int>(d.size()); ++i)
        if (!d[static_cast<size_t>(i)].server && d[static_cast<size_t>(i + 1)].server &&
            d[static_cast<size_t>(i)].phase != Phase::Quit)
            points.push_back(i);
    return points;
}

struct Row {
    int cut;  // the client line the client waits after; -1: the greeting
    Action action;
    bool pipelined;
    bool bin = false;  // the delete run keeps the messages in the bin first
};

// What the server says and expects after the held wait.
struct Plan {
    Script script;               // the whole script
    std::vector<int> accepted;   // deletions answered +OK before QUIT
    Phase phase;                 // where the wait is
};

Plan MakePlan(const Row& row) {
    const std::vector<DialogueLine> d = MakeDialogue(row.pipelined, row.bin);
    Plan plan;
    plan.phase = row.cut < 0 ? Phase::Scan : d[static_cast<size_t>(row.cut)].phase;
    std::vector<DialogueLine> played(d.begin(), d.begin() + (row.cut + 1));
    for (const DialogueLine& l : played) plan.script.push_back(AsStep(l));
    plan.script.push_back(Hold());
    size_t next = static_cast<size_t>(row.cut + 1);
    const Script quit = {C("QUIT"), Hold(), S("+OK Logging out."), AwaitClose()};
    switch (row.action) {
        case Action::Disconnect:
        case Action::Close:
        case Action::Terminate:
            // The replies to the commands in flight, then the log-off.
            for (; next < d.size() && d[next].server; ++next) played.push_back(d[next]);
            break;
        case Action::Connect:
            // What runs goes on to its end; the new scan follows it.
            for (; next < d.size() && d[next].phase == plan.phase; ++next) played.push_back(d[next]);
            break;
        case Action::ConnectThenSilence:
            // The server says nothing more: the wait ends at its time-out.
            plan.script = plan.script + Script{mgtest::Silent(), Accept()} +
                          pop3::Scan("joe", "secret", Mailbox(), row.pipelined ? pop3::Capa::Pipelining : pop3::Capa::Unknown) +
                          Script{C("QUIT"), S("+OK"), AwaitClose()};
            return plan;
    }
    for (size_t i = static_cast<size_t>(row.cut + 1); i < played.size(); ++i) plan.script.push_back(AsStep(played[i]));
    plan.script = plan.script + quit;
    if (row.action == Action::Connect)
        plan.script = plan.script + Script{Accept()} +
                      pop3::Scan("joe", "secret", Mailbox(), row.pipelined ? pop3::Capa::Pipelining : pop3::Capa::Unknown) +
                      Script{C("QUIT"), S("+OK"), AwaitClose()};
    plan.accepted = AcceptedIn(played);
    return plan;
}

std::vector<Row> Rows() {
    std::vector<Row> rows;
    for (bool bin : {false, true})
        for (bool pipelined : {false, true}) {
            const auto d = MakeDialogue(pipelined, bin);
            for (int cut : WaitPoints(d))
                for (Action a : {Action::Disconnect, Action::Connect, Action::Close, Action::Terminate,
                                 Action::ConnectThenSilence}) {
                    const Phase phase = cut < 0 ? Phase::Scan : d[static_cast<size_t>(cut)].phase;
                    // With the bin only the delete run differs. A silent server
                    // in the delete run loses what it accepted: the fault table
                    // has those rows.
                    if (bin && phase != Phase::Delete) continue;
                    if (a == Action::ConnectThenSilence && phase != Phase::Scan) continue;
                    rows.push_back({cut, a, pipelined, bin});
                }
        }
    return rows;
}

void PrintTo(const Row& r, std::ostream* os) {
    *os << (r.pipelined ? "pipelined, " : "lock-step, ") << (r.bin ? "bin, " : "") << "after line " << r.cut << ", "
        << kActionNames[static_cast<int>(r.action)];
}

class ActionRun : public ::testing::TestWithParam<Row> {};

std::string RowName(const ::testing::TestParamInfo<Row>& info) {
    const Row& r = info.param;
    return std::string(r.pipelined ? "Pipelined_" : "LockStep_") + (r.bin ? "Bin_" : "") +
           (r.cut < 0 ? std::string("Greeting") : "Line" + std::to_string(r.cut)) + "_" +
           kActionNames[static_cast<int>(r.action)];
}

}  // namespace

TEST_P(ActionRun, DeletesExactlyWhatItReportsAndAnswersAfterwards) {
    const Row row = GetParam();
    const Plan plan = MakePlan(row);
    const bool closes = row.action == Action::Close || row.action == Action::Terminate;
    ScanWindow w(kSpamDat, kWhiteDat, TimeOut(kShortTimeOut));
    if (row.bin) w.dir.write("MAILGROVE.INI", "[BIN]\r\nENABLED=1\r\n");
    if (row.action == Action::Terminate) mg::CloseOnTermination(w.form);
    w.form.show();
    std::vector<int> marked;  // the "<УДАЛЕНО>" lines when QUIT went out
    {
        ScriptedServer server(plan.script);
        w.pointAt(server);
        if (plan.phase == Phase::Delete) {
            w.click(w.form.btnConnect);
            ASSERT_EQ(w.form.LineCount(), 3);
            w.dialogs.ExpectMessage("Удалить выделенные сообщения?", mg::Answer::Ok);
            w.form.btnDelete->click();
        } else {
            w.form.btnConnect->click();
        }
        // (At the greeting, once the client has seen its connection open: a
        // connection still being made is given up at once.)
        ASSERT_TRUE(PumpUntil([&] { return server.holding() && w.form.Session().Connected(); }))
            << "the client never waited there";

        switch (row.action) {
            case Action::Disconnect: w.form.btnDisconnect->click(); break;
            case Action::Connect:
            case Action::ConnectThenSilence: w.form.btnConnect->click(); break;
            case Action::Close: w.form.close(); break;
            case Action::Terminate: std::raise(SIGTERM); break;
        }
        // Whatever the client would send into the wait reaches the server now.
        PumpUntil([] { return false; }, 100);
        EXPECT_TRUE(w.form.isVisible()) << "nothing closes while a reply is awaited";
        server.release();

        if (row.action == Action::ConnectThenSilence) {
            w.dialogs.ExpectMessage("Socket readln aborted.", mg::Icon::Error, mg::Buttons::Ok, mg::Answer::Ok);
            Settle(w.form);
            EXPECT_EQ(w.form.LineCount(), 3) << "the scan asked for after the silent one";
            w.click(w.form.btnDisconnect);
        } else {
            ASSERT_TRUE(PumpUntil([&] { return server.holding(); })) << "no QUIT";
            for (int i = 0; i < w.form.LineCount(); ++i)
                if (w.line(i) == A("<УДАЛЕНО>")) marked.push_back(i + 1);
            server.release();
            if (closes) {
                ASSERT_TRUE(PumpUntil([&] { return !w.form.isVisible(); })) << "the window did not close";
            } else {
                Settle(w.form);
            }
            if (row.action == Action::Connect) {
                ASSERT_EQ(w.form.LineCount(), 3) << "the scan asked for during the wait";
                for (int i = 0; i < 3; ++i) EXPECT_EQ(w.line(i), ScannedLines()[static_cast<size_t>(i)]) << i;
                w.click(w.form.btnDisconnect);
            }
        }
        EXPECT_TRUE(server.finish());
    }
    EXPECT_EQ(marked, plan.accepted) << "the list's deleted lines";
    EXPECT_EQ(w.dir.read("log.dat"), LogOf(plan.accepted, false));
    EXPECT_TRUE(w.dialogs.done());
    EXPECT_FALSE(w.form.Session().Connected());
    // The bin holds exactly the messages the server deleted.
    EXPECT_EQ(mg::DeletionBin(w.dir.file("deleted")).List().size(), row.bin ? plan.accepted.size() : 0u);

    if (closes) {
        EXPECT_TRUE(w.dir.exists("MAILGROVE.INI"));
        EXPECT_EQ(w.dir.read("spam.dat"), kSpamDat);
        EXPECT_EQ(w.dir.read("white.dat"), kWhiteDat);
        return;
    }
    // The window answers the next command.
    EXPECT_EQ(w.form.cursor().shape(), Qt::ArrowCursor);
    EXPECT_EQ(w.form.LineCount(), 0);
    EXPECT_EQ(w.form.editCount->text().toStdString(), "0");
    ScriptedServer fresh(pop3::Scan("joe", "secret", Mailbox()) + pop3::Quit());
    w.pointAt(fresh);
    w.click(w.form.btnConnect);
    ASSERT_EQ(w.form.LineCount(), 3);
    w.click(w.form.btnDisconnect);
    EXPECT_TRUE(fresh.finish());
}

INSTANTIATE_TEST_SUITE_P(EveryWait, ActionRun, ::testing::ValuesIn(Rows()), RowName);
