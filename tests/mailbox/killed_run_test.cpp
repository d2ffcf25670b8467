// A delete run killed at each of its steps, then the mailbox scanned by a new
// session: log.dat and the bin claim no deletion the server did not carry
// out, and nothing stays noted in the header cache.
#include <QProcess>
#include <filesystem>

#include "mailbox/HeaderCache.h"
#include "platform/codepage.h"
#include "session_support.h"

using namespace mgtest;

TEST(KilledDeleteRun, TheNextScanTakesBackWhatTheServerStillHolds) {
    const Script first = pop3::Retr(1, {"From: a@spam.example", "", "1"});
    const Script kept = first + pop3::Retr(3, {"From: c@spam.example"});
    const Script accepted = kept + pop3::Dele(1) + pop3::Dele(3);
    const struct {
        const char* name;
        Script run;          // the killed process's dialogue after its scan
        std::string killAt;  // a line the server receives, or one the process prints
        bool serverDeleted;  // QUIT reached the server
        int logged, takenBack, kept;  // log.dat's deletion and "<НЕ УДАЛЕНО>" lines; files in the bin
    } cases[] = {
        {"fetching for the bin", first + Script{C("RETR 3"), Silent()}, "RETR 3", false, 0, 0, 0},
        {"kept in the bin, the first DELE sent", kept + Script{C("DELE 1"), Silent()}, "DELE 1", false, 0, 0, 0},
        {"the first DELE accepted", kept + pop3::Dele(1) + Script{C("DELE 3"), Silent()}, "DELE 3", false, 1, 1, 0},
        {"both accepted, held", accepted + Script{Silent()}, "deleted", false, 2, 2, 0},
        {"QUIT sent, its reply not read", accepted + Script{C("QUIT"), Silent()}, "QUIT", true, 2, 0, 2},
        {"QUIT answered", accepted + pop3::Quit(), "logged off", true, 2, 0, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Session t;
        {
            ScriptedServer server(pop3::Scan("joe", "secret", Box(), pop3::Capa::Plain, {"u1", "u2", "u3"}) + c.run);
            QProcess run;
            run.start(MG_KILLED_RUN, {QString::fromStdString(t.dir.path()), QString::number(server.port()),
                                      c.killAt == "deleted" ? "hold" : ""});
            std::string printed;
            EXPECT_TRUE(PumpUntil([&] {
                printed += run.readAllStandardOutput().toStdString();
                const auto received = server.received();
                return printed.find(c.killAt + "\n") != std::string::npos ||
                       (!received.empty() && received.back() == c.killAt + "\r\n");
            }));
            run.kill();
            run.waitForFinished();
            EXPECT_TRUE(server.finish());
        }
        int undone = 0;
        t.session.OnUndoneFound = [&](int count, bool) { undone += count; };
        // Every header block is cached: the scan fetches none.
        const std::vector<int> sizes = c.serverDeleted ? std::vector<int>{200} : std::vector<int>{100, 200, 300};
        ScriptedServer restart(pop3::Logon("joe", "secret", static_cast<int>(sizes.size()), 600, pop3::Capa::Plain) +
                               pop3::Listing(sizes) +
                               pop3::Uidl(c.serverDeleted ? std::vector<std::string>{"u2"}
                                                          : std::vector<std::string>{"u1", "u2", "u3"}) +
                               pop3::Quit());
        t.scan(restart);
        t.settle();
        t.submit(LogOff);
        t.settle();
        EXPECT_TRUE(restart.finish());

        const std::string log = t.dir.read("log.dat"), notDeleted = mg::A("<НЕ УДАЛЕНО>");
        int takenBack = 0;
        for (size_t at = 0; (at = log.find(notDeleted, at)) != std::string::npos; ++at) ++takenBack;
        EXPECT_EQ(std::count(log.begin(), log.end(), '\n') - takenBack, c.logged) << log;
        EXPECT_EQ(takenBack, c.takenBack) << log;
        // A line taken back repeats its deletion line's text after the mark.
        EXPECT_EQ(log.find(notDeleted + " | a@spam.example") != std::string::npos, c.takenBack > 0) << log;
        EXPECT_EQ(undone, c.takenBack);
        const std::filesystem::directory_iterator bin(t.dir.file("deleted/cur/"));
        EXPECT_EQ(std::distance(bin, {}), c.kept);
        mg::HeaderCache cache(t.dir.file("cache.sqlite"));
        std::vector<mg::HeaderCache::Deletion> noted;
        EXPECT_TRUE(cache.Open() && cache.NotedDeletions(ScriptedServer::host(), "joe", noted) && noted.empty());
    }
}
