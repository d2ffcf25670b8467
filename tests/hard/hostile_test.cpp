// A hostile server turns one reply of a scan, a delete run with the bin, or a
// message's details while deletions wait, into one without end, trickling,
// far too long, or a count no mailbox has. The session ends by itself with
// the reason shown, or by "Разрыв соединения", closing or SIGTERM; log.dat
// and the bin tell what the server carried out; peak memory stays bounded.
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>

#include "app/Termination.h"
#include "scan_dialogue.h"

using namespace mgtest;

namespace {

enum class Job { Scan, Bin, Details };
enum class Stop { Itself, Disconnect, Close, Terminate };

struct Row {
    std::string name;
    Job job;
    Script script;
    std::string box;  // the error shown (UTF-8), if any
    Stop stop = Stop::Itself;
    std::vector<int> lost = {};  // deletions accepted before, taken back
};

void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }

long StatusKb(const char* field) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(field, 0) == 0) return std::stol(line.substr(line.find(':') + 1));
    return -1;
}

std::vector<Row> Rows() {
    const std::string x(200, 'x');
    const Script toTop = pop3::Logon("joe", "secret", 1, 100) + pop3::Listing({100}) + pop3::Uidl({}) +
                         Script{pop3::Top(1, {}).front(), S("+OK")};
    // Message 2 is on neither list: its details can be asked for.
    std::vector<pop3::Message> box = Mailbox();
    box[1].header = {"From: b@other.example"};
    const Script scanned = pop3::Scan("joe", "secret", box);
    const auto cut = [](const std::string& on, const std::string& why) {
        return "Ответ сервера на " + on + why + ": соединение разорвано.";
    };
    const auto stat = [](const std::string& n) {
        return "Сервер сообщил, что в ящике " + n + " сообщений: столько не бывает, проверка прервана.";
    };
    std::vector<Row> rows = {
        {"Stat2pow31", Job::Scan, pop3::Logon("joe", "secret", 2147483647, 0) + pop3::Quit(), stat("2147483647")},
        {"Stat10pow9", Job::Scan, pop3::Logon("joe", "secret", 1000000000, 0) + pop3::Quit(), stat("1000000000")},
        {"EndlessList", Job::Scan,
         pop3::Logon("joe", "secret", 2, 200) + Script{pop3::Listing({}).front(), S("+OK"), Endless("1 100")},
         cut("LIST", " перечисляет больше сообщений, чем сообщил STAT (2)")},
        {"EndlessUidl", Job::Scan,
         pop3::Logon("joe", "secret", 1, 100) + pop3::Listing({100}) +
             Script{pop3::Uidl({"a"}).front(), S("+OK"), Endless("1 a")},
         cut("UIDL", " перечисляет больше сообщений, чем сообщил STAT (1)")},
        {"EndlessHeader", Job::Scan, toTop + Script{Endless(x)}, cut("TOP 1 0", " длиннее предела (524288 байт)")},
        {"TricklingHeader", Job::Scan, toTop + Script{Endless("X: y", 100)}, cut("TOP 1 0", " идет слишком медленно")},
        {"EndlessRetrOfAMessageListedAt100", Job::Bin, scanned + Script{C("RETR 1"), S("+OK"), Endless(x)},
         cut("RETR 1", " длиннее предела (1048576 байт)")},
    };
    // At 2 KB/s, far from their limits: only the user ends these.
    const std::string lost = "Сервер не выполнил удаление сообщений: 2. Сеанс закончился без подтверждения удалений, "
                             "эти сообщения остались на сервере (в списке: <НЕ УДАЛЕНО>).\nПричина: ответ сервера не "
                             "пришел вовремя, соединение разорвано без QUIT";
    const char* const stops[] = {"Disconnect", "Close", "Sigterm"};
    for (Stop stop : {Stop::Disconnect, Stop::Close, Stop::Terminate}) {
        const std::string by = stops[static_cast<int>(stop) - 1];
        rows.push_back({"PacedHeader" + by, Job::Scan, toTop + Script{Endless(x, 100)}, "", stop});
        rows.push_back({"PacedDetailsWhileDeletionsWait" + by, Job::Details,
                        scanned + pop3::Dele(1) + pop3::Dele(3) +
                            Script{pop3::Top(2, {}).front(), S("+OK"), Endless(x, 100)},
                        lost, stop, {1, 3}});
    }
    return rows;
}

class HostileServer : public ::testing::TestWithParam<Row> {};

}  // namespace

TEST_P(HostileServer, EndsWithinItsBoundsAndSaysWhatWasNotCarriedOut) {
    const Row& row = GetParam();
    ScanWindow w(kSpamDat, kWhiteDat, TimeOut(1000));  // the pace's allowance: a trickle falls behind soon
    if (row.job == Job::Bin) w.dir.write("MAILGROVE.INI", "[BIN]\r\nENABLED=1\r\nMAXSIZE=1\r\n");
    if (row.stop == Stop::Terminate) mg::CloseOnTermination(w.form);
    w.form.show();
    ScriptedServer server(row.script);
    w.pointAt(server);
    if (row.job != Job::Scan) {
        w.click(w.form.btnConnect);
        w.dialogs.ExpectMessage("Удалить выделенные сообщения?", mg::Answer::Ok);
    }
    if (row.job == Job::Details) {
        w.click(w.form.btnDelete);
        w.form.lbList->setCurrentRow(1);
    }
    if (!row.box.empty()) w.dialogs.ExpectMessage(row.box);

    const long before = StatusKb("VmRSS:");
    std::ofstream("/proc/self/clear_refs") << "5";  // the peak starts from now
    (row.job == Job::Scan ? w.form.btnConnect : row.job == Job::Bin ? w.form.btnDelete : w.form.btnSummary)->click();
#if defined(__SANITIZE_ADDRESS__)
    const auto over = [] { return false; };  // shadow memory and quarantine swamp the figure
#else
    // A header block or a bin message of 1 MB with its copies, far below what the server streams.
    const auto over = [&] { return StatusKb("VmHWM:") - before > 48 * 1024; };
#endif
    if (row.stop != Stop::Itself) {
        ASSERT_TRUE(PumpUntil([&] { return !server.received().empty() && server.received().back()[0] == 'T'; }));
        PumpUntil([] { return false; }, 300);  // the reply under way, coming in
        if (row.stop == Stop::Disconnect) w.form.btnDisconnect->click();
        if (row.stop == Stop::Close) w.form.close();
        if (row.stop == Stop::Terminate) std::raise(SIGTERM);
    }
    // Well before the user's rows would fall behind their pace: only the end can stop them.
    EXPECT_TRUE(PumpUntil(
        [&] { return over() || (w.form.Session().Settled() && !w.form.Session().Connected() && w.dialogs.done()); },
        10000));
    EXPECT_FALSE(over()) << "peak memory grew by " << (StatusKb("VmHWM:") - before) / 1024 << " MB";
    Settle(w.form);
    EXPECT_TRUE(server.finish());
    EXPECT_EQ(w.dir.read("log.dat"), LogOf(row.lost, true));
    EXPECT_TRUE(mg::DeletionBin(w.dir.file("deleted")).List().empty());
    if (row.stop == Stop::Close || row.stop == Stop::Terminate) {
        EXPECT_TRUE(PumpUntil([&] { return !w.form.isVisible(); }));
    }
}

INSTANTIATE_TEST_SUITE_P(Replies, HostileServer, ::testing::ValuesIn(Rows()),
                         [](const ::testing::TestParamInfo<Row>& info) { return info.param.name; });
