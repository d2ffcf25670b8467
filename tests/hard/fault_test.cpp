// A server that fails at every step of a whole scan-and-delete dialogue.
//
// The dialogue: log-on, listing, three summaries, two deletions, log-off, once
// one command at a time and once pipelined (a server offering PIPELINING). For
// every line of it (and right after the connection is accepted) one run in
// which the server closes the connection right after that line, and one in
// which it goes silent after it (it still takes the lines the client sends
// next, but answers none). The user scans, deletes the checked messages and
// disconnects, as far as the server lets them. Each run must end with the
// failure shown to the user, the lists as they were, log.dat holding exactly
// the deletions the server accepted, each taken back by a "<НЕ УДАЛЕНО>" line
// (and the user told in one box) when the session then ended without +OK to
// QUIT, and a window in which a fresh scan works.
//
// Running test_hard on its own prints the whole table at the end.
#include <QCoreApplication>
#include <QDate>
#include <QElapsedTimer>
#include <QLabel>
#include <QListWidget>
#include <QLocale>
#include <QPushButton>
#include <QStatusBar>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "app/Pop3Form.h"
#include "platform/codepage.h"
#include "pop3/VantelPop3.h"
#include "support/fake_dialogs.h"
#include "support/pop3_dialogue.h"
#include "support/scripted_server.h"
#include "support/temp_dir.h"
#include "app/app_support.h"
#include "scan_dialogue.h"

using mg::A;
using mg::Answer;
using mgtest::C;
using mgtest::S;
using mgtest::Script;
using mgtest::ScriptedServer;
using mgtest::ScanWindow;
using namespace mgtest;

namespace {

// Long enough that a loaded machine never reaches it between a command and
// its answer; a silent server is given up on after it.
constexpr int kShortTimeOut = 1500;

// The dialogue of the run under way.
bool g_pipelined = false;
const std::vector<DialogueLine>& Dialogue() {
    static const std::vector<DialogueLine> lockStep = MakeDialogue(false), pipelined = MakeDialogue(true);
    return g_pipelined ? pipelined : lockStep;
}

const int kLockStepLines = static_cast<int>(MakeDialogue(false).size());
const int kPipelinedLines = static_cast<int>(MakeDialogue(true).size());
int Lines() { return static_cast<int>(Dialogue().size()); }

enum class Fault { Close, Silence };
void PrintTo(Fault fault, std::ostream* os) { *os << (fault == Fault::Close ? "close" : "silence"); }

// The server's script: the dialogue up to and including line `cut` (-1: only
// the accept), then the fault.
Script FaultScript(int cut, Fault fault) {
    const auto& d = Dialogue();
    Script script;
    for (int i = 0; i <= cut; ++i) {
        const DialogueLine& l = d[static_cast<size_t>(i)];
        script.push_back(AsStep(l));
    }
    if (cut == Lines() - 1) {
        script.push_back(mgtest::AwaitClose());
    } else if (fault == Fault::Close) {
        script.push_back(mgtest::Close());
    } else {
        // Silent: the lines the client sends next still arrive; no answer.
        for (int i = cut + 1; i < Lines() && !d[static_cast<size_t>(i)].server; ++i)
            script.push_back(C(d[static_cast<size_t>(i)].text));
        script.push_back(mgtest::Silent());
    }
    return script;
}

// The last line of a phase: after it the client waits for the user.
bool IdleAfter(int cut) {
    const auto& d = Dialogue();
    return cut >= 0 && cut + 1 < Lines() && d[static_cast<size_t>(cut + 1)].phase != d[static_cast<size_t>(cut)].phase;
}

// Deletions the server accepted up to and including line `cut`.
std::vector<int> Accepted(int cut) {
    const auto& d = Dialogue();
    return AcceptedIn({d.begin(), d.begin() + (cut + 1)});
}

// One row of the table, for the printout.
struct Outcome {
    std::string shown;  // boxes shown, in order, or the status when none
    size_t logged = 0;
};
std::map<int, std::map<Fault, Outcome>>& Table() {
    static std::map<int, std::map<Fault, Outcome>> tables[2];
    return tables[g_pipelined ? 1 : 0];
}

class TablePrinter : public ::testing::Environment {
public:
    void TearDown() override {
        for (bool pipelined : {false, true}) {
            g_pipelined = pipelined;
            Print();
        }
    }
    void Print() {
        if (Table().empty()) return;
        std::printf("\nFault table%s: line of the dialogue x (server closes after it | server goes silent after it)\n",
                    g_pipelined ? " (a server with PIPELINING)" : "");
        for (const auto& [cut, row] : Table()) {
            std::string line = cut < 0 ? std::string("   (accept)") : "";
            if (cut >= 0) {
                const DialogueLine& l = Dialogue()[static_cast<size_t>(cut)];
                line = mg::Format("%3d %s %-28s", cut, l.server ? "S:" : "C:",
                                  mgtest::Visible(l.text.empty() ? std::string("(empty line)") : l.text).c_str());
            }
            for (Fault f : {Fault::Close, Fault::Silence}) {
                auto it = row.find(f);
                line += " | " + (it == row.end() ? std::string("-")
                                                 : it->second.shown + " [log " + std::to_string(it->second.logged) + "]");
            }
            std::printf("%s\n", line.c_str());
        }
    }
};
[[maybe_unused]] ::testing::Environment* const g_printer = ::testing::AddGlobalTestEnvironment(new TablePrinter);

enum class Mode { LockStep, Pipelined };
void PrintTo(Mode mode, std::ostream* os) { *os << (mode == Mode::Pipelined ? "pipelined" : "lock-step"); }

class FaultRun : public ::testing::TestWithParam<std::tuple<int, Fault, Mode>> {
protected:
    void SetUp() override { g_pipelined = std::get<2>(GetParam()) == Mode::Pipelined; }
    void TearDown() override { g_pipelined = false; }
};

}  // namespace

TEST_P(FaultRun, EndsWithTheErrorShownAndNothingLost) {
    [[maybe_unused]] const auto [cut, fault, mode] = GetParam();
    const auto& d = Dialogue();
    const bool complete = cut == Lines() - 1;
    // The line after which the client waits for an answer that does not come.
    const Phase failing = complete ? Phase::Quit : d[static_cast<size_t>(cut + 1)].phase;
    const bool idleClose = fault == Fault::Close && IdleAfter(cut);

    ScanWindow w(kSpamDat, kWhiteDat, TimeOut(kShortTimeOut));
    const std::vector<int> accepted = Accepted(cut);
    std::vector<std::string> boxes;  // what the user is expected to see
    const std::string closed = "Connection closed by server.";
    const std::string aborted = "Socket readln aborted.";
    // Accepted deletions are carried out only at +OK to QUIT: every other end
    // of the session takes them back, in one box, naming the error when the
    // log-off itself failed.
    const bool lost = !complete && !accepted.empty();
    auto expectLoss = [&](const std::string& reason) {
        boxes.push_back("Сервер не выполнил удаление сообщений: " + std::to_string(accepted.size()) +
                        ". Сеанс закончился без подтверждения удалений, эти сообщения остались на сервере "
                        "(в списке: <НЕ УДАЛЕНО>)." +
                        (reason.empty() ? std::string() : "\nПричина: " + reason.substr(0, reason.size() - 1)));
        w.dialogs.ExpectMessage(boxes.back(), mg::Icon::Warning, mg::Buttons::Ok, Answer::Ok);
    };
    {
        ScriptedServer server(FaultScript(cut, fault));
        w.pointAt(server);

        // The scan.
        const bool scanFails = !complete && failing == Phase::Scan;
        if (scanFails) {
            boxes.push_back(fault == Fault::Close ? closed : aborted);
            w.dialogs.ExpectMessage(boxes.back(), mg::Icon::Error, mg::Buttons::Ok, Answer::Ok);
        }
        w.click(w.form.btnConnect);
        if (!scanFails) {
            ASSERT_EQ(w.form.LineCount(), 3);
            for (int i = 0; i < 3; ++i) EXPECT_EQ(w.line(i), ScannedLines()[static_cast<size_t>(i)]) << i;
        }
        // A close while the client waits for the user is seen by the event loop.
        if (idleClose && failing == Phase::Delete) {
            ASSERT_TRUE(PumpUntil([&] { return !w.form.VantelPOP3->Connected(); }));
        }

        // The deletion of the checked (black-listed) lines 1 and 3.
        if (!scanFails) {
            const bool deleteFails = !complete && failing == Phase::Delete && !idleClose;
            if (w.form.VantelPOP3->Connected()) {
                boxes.push_back("Удалить выделенные сообщения?");
                w.dialogs.ExpectMessage(boxes.back(), Answer::Ok);
            }
            if (deleteFails) {
                if (fault == Fault::Close) {
                    boxes.push_back("Операция завершилась ошибкой");
                    w.dialogs.ExpectMessage(boxes.back(), Answer::Ok);
                }
                if (lost) expectLoss("");
                boxes.push_back(fault == Fault::Close ? closed : aborted);
                w.dialogs.ExpectMessage(boxes.back(), mg::Icon::Error, mg::Buttons::Ok, Answer::Ok);
            }
            if (idleClose && failing == Phase::Quit && lost) expectLoss("");
            w.click(w.form.btnDelete);
            if (idleClose && failing == Phase::Quit) {
                ASSERT_TRUE(PumpUntil([&] { return !w.form.VantelPOP3->Connected() && w.dialogs.done(); }));
            }

            // The log-off.
            if (!deleteFails) {
                const bool quitFails = !complete && failing == Phase::Quit && !idleClose;
                if (quitFails && lost) {
                    expectLoss(fault == Fault::Close ? closed : aborted);
                } else if (quitFails) {
                    boxes.push_back(fault == Fault::Close ? closed : aborted);
                    w.dialogs.ExpectMessage(boxes.back(), mg::Icon::Error, mg::Buttons::Ok, Answer::Ok);
                }
                w.click(w.form.btnDisconnect);
                if (!quitFails) {
                    EXPECT_EQ(w.form.LineCount(), 0);
                }
            }
        }
        EXPECT_FALSE(w.form.VantelPOP3->Connected());
        // A silent server is given up on by the time-out, a closed one is not.
        EXPECT_EQ(w.form.VantelPOP3->TimedOut(), fault == Fault::Silence && !complete && !idleClose);
        EXPECT_EQ(w.form.cursor().shape(), Qt::ArrowCursor);
        EXPECT_TRUE(w.dialogs.done());
        server.finish();
    }

    // Exactly the accepted deletions are logged, and their lines read so;
    // without +OK to QUIT each is taken back by a line of its own.
    const std::string log = LogOf(accepted, lost);
    EXPECT_EQ(w.dir.read("log.dat"), log);
    if (w.form.LineCount() == 3)
        for (int n : {1, 3}) {
            const bool gone = std::find(accepted.begin(), accepted.end(), n) != accepted.end();
            EXPECT_EQ(w.line(n - 1) == A("<УДАЛЕНО>"), gone && !lost) << n;
            EXPECT_EQ(w.line(n - 1) == A("<НЕ УДАЛЕНО>"), gone && lost) << n;
        }

    // The lists are as they were.
    EXPECT_EQ(w.form.Spam.SaveToBytes(), kSpamDat);
    EXPECT_EQ(w.form.WhiteEntries.SaveToBytes(), kWhiteDat);

    std::string shown;
    for (const std::string& b : boxes)
        if (b != "Удалить выделенные сообщения?")
            shown += (shown.empty() ? "" : " + ") + (b.rfind("Сервер не выполнил", 0) == 0 ? "(box: not deleted)" : b);
    if (shown.empty()) shown = complete ? "complete" : "status \"" + w.status() + "\"";
    Table()[cut][fault] = {shown, accepted.size()};
    if (idleClose) {
        EXPECT_EQ(w.status(), "Соединение разорвано");
    }

    // The window is usable: a fresh scan works, and closing it writes the
    // lists unchanged and logs nothing more.
    {
        ScriptedServer fresh(mgtest::pop3::Scan("joe", "secret", Mailbox()) + mgtest::pop3::Quit());
        w.pointAt(fresh);
        w.click(w.form.btnConnect);
        ASSERT_EQ(w.form.LineCount(), 3);
        for (int i = 0; i < 3; ++i) EXPECT_EQ(w.line(i), ScannedLines()[static_cast<size_t>(i)]) << i;
        w.form.show();
        EXPECT_TRUE(w.close());
        fresh.finish();
    }
    EXPECT_EQ(w.dir.read("spam.dat"), kSpamDat);
    EXPECT_EQ(w.dir.read("white.dat"), kWhiteDat);
    EXPECT_EQ(w.dir.read("log.dat"), log);
}

std::string RunName(const ::testing::TestParamInfo<std::tuple<int, Fault, Mode>>& info) {
    const int cut = std::get<0>(info.param);
    return (cut < 0 ? std::string("Accept") : mg::Format("Line%02d", cut)) +
           (std::get<1>(info.param) == Fault::Close ? "_Close" : "_Silence");
}

INSTANTIATE_TEST_SUITE_P(Dialogue, FaultRun,
                         ::testing::Combine(::testing::Range(-1, kLockStepLines),
                                            ::testing::Values(Fault::Close, Fault::Silence),
                                            ::testing::Values(Mode::LockStep)),
                         RunName);
INSTANTIATE_TEST_SUITE_P(Pipelined, FaultRun,
                         ::testing::Combine(::testing::Range(-1, kPipelinedLines),
                                            ::testing::Values(Fault::Close, Fault::Silence),
                                            ::testing::Values(Mode::Pipelined)),
                         RunName);

// A server that stops in the middle of a line: the bytes of the incomplete
// line never make a reply, whether it then closes or goes silent.
TEST(FaultRunPartialLine, InTheStatReplyAndInTheHeaderBlock) {
    const auto& d = Dialogue();
    for (const int cut : {9, 20}) {  // half of the STAT reply, half of a header line
        for (const Fault fault : {Fault::Close, Fault::Silence}) {
            SCOPED_TRACE(std::to_string(cut) + (fault == Fault::Close ? " close" : " silence"));
            Script script = FaultScript(cut, Fault::Close);
            script.pop_back();  // the dialogue up to the cut, without its fault
            const std::string& next = d[static_cast<size_t>(cut + 1)].text;
            script.push_back(mgtest::Raw(next.substr(0, next.size() / 2)));
            script.push_back(fault == Fault::Close ? mgtest::Close() : mgtest::Silent());
            ScanWindow w(kSpamDat, kWhiteDat, TimeOut(kShortTimeOut));
            {
                ScriptedServer server(script);
                w.pointAt(server);
                w.dialogs.ExpectMessage(fault == Fault::Close ? "Connection closed by server." : "Socket readln aborted.",
                                        mg::Icon::Error, mg::Buttons::Ok, Answer::Ok);
                w.click(w.form.btnConnect);
                EXPECT_FALSE(w.form.VantelPOP3->Connected());
                EXPECT_EQ(w.form.VantelPOP3->TimedOut(), fault == Fault::Silence);
                server.finish();
            }
            EXPECT_TRUE(w.dialogs.done());
            EXPECT_EQ(w.form.Spam.SaveToBytes(), kSpamDat);
            EXPECT_EQ(w.form.WhiteEntries.SaveToBytes(), kWhiteDat);
            EXPECT_FALSE(w.dir.exists("log.dat"));
        }
    }
}
