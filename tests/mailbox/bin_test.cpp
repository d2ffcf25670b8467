// The bin of deleted messages: what a delete run keeps, what it deletes when
// keeping fails, and what it takes back when the server does not carry the
// deletions out; and the bin's own files (expiry, listing).
#include <dirent.h>
#include <sys/stat.h>
#include <utime.h>

#include <algorithm>
#include <ctime>

#include "mailbox/DeletionBin.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "session_support.h"

using namespace mgtest;

namespace {

// The files of a Maildir subfolder, sorted.
std::vector<std::string> Files(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (const dirent* e = ::readdir(d))
            if (e->d_name[0] != '.') names.push_back(dir + e->d_name);
        ::closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string Read(const std::string& path) {
    std::string data;
    mg::ReadWholeFile(path, data);
    return data;
}

// The messages of Box() as RETR gives them; message 1 has body lines that
// start with ".".
const std::vector<std::string> kOne = {"From: a@spam.example", "Subject: one", "", ".hidden", "..", "end"};
const std::vector<std::string> kThree = {"From: c@spam.example", "Subject: three", "", "body"};
const std::string kOneKept = "From: a@spam.example\nSubject: one\n\n.hidden\n..\nend\n";

struct BinCase {
    const char* name;
    Script afterScan;  // the delete run and what ends the session
    int64_t maxBytes;
    bool binIsAFile;   // the bin cannot be made
    std::vector<std::string> kept;  // the bin's files after the session has ended, without their first line
    int logLines;                   // deletions in log.dat (lost ones add a line each)
    std::vector<int> keptOnServer;  // lines told of
    int lost;
};

}  // namespace

TEST(DeletionBin, ADeleteRunKeepsEachMessageBeforeItsDeleAndTakesBackWhatTheServerDidNotApply) {
    const int64_t big = 10 * 1024 * 1024;
    const std::vector<BinCase> cases = {
        {"kept whole, dot-unstuffed, then deleted",
         pop3::Retr(1, kOne) + pop3::Retr(3, kThree) + pop3::Dele(1) + pop3::Dele(3) + pop3::Quit(), big, false,
         {kOneKept, "From: c@spam.example\nSubject: three\n\nbody\n"}, 2, {}, 0},
        {"a refused RETR keeps that message on the server",
         Script{C("RETR 1"), S("-ERR [IN-USE] busy")} + pop3::Retr(3, kThree) + pop3::Dele(3) + pop3::Quit(), big,
         false, {"From: c@spam.example\nSubject: three\n\nbody\n"}, 1, {0}, 0},
        {"over the size limit: its header block alone",
         pop3::Retr(1, kOne) + Script{C("TOP 3 0"), S({"+OK", "From: c@spam.example", "Subject: three", "", "."})} +
             pop3::Dele(1) + pop3::Dele(3) + pop3::Quit(),
         200, false, {kOneKept, "From: c@spam.example\nSubject: three\n\n"}, 2, {}, 0},
        {"the server closes before QUIT: the files go again",
         pop3::Retr(1, kOne) + pop3::Retr(3, kThree) + pop3::Dele(1) + pop3::Dele(3) + Script{Close()}, big, false, {},
         4, {}, 2},
        {"a refused DELE: its file goes, the next is not deleted",
         pop3::Retr(1, kOne) + pop3::Retr(3, kThree) + Script{C("DELE 1"), S("-ERR locked")} + pop3::Quit(), big, false,
         {}, 0, {}, 0},
        {"no bin: nothing fetched, nothing deleted", pop3::Quit(), big, true, {}, 0, {0, 2}, 0},
    };
    for (const BinCase& c : cases) {
        SCOPED_TRACE(c.name);
        Session t;
        ScriptedServer server(pop3::Scan("joe", "secret", Box()) + c.afterScan);
        mg::BinSettings bin;
        bin.MaxBytes = c.maxBytes;
        t.session.SetBin(bin);
        if (c.binIsAFile) t.dir.write("deleted", "");
        std::vector<int> told;
        t.session.OnKeptOnServer = [&](const std::vector<int>& lines, const std::string&) {
            EXPECT_TRUE(told.empty()) << "told twice";
            told = lines;
        };
        t.scan(server);
        t.settle();
        t.submit(Delete);
        t.settle();
        t.submit(LogOff);
        t.settle();
        EXPECT_TRUE(server.finish());
        EXPECT_EQ(told, c.keptOnServer);
        EXPECT_EQ(t.lost, c.lost);
        const std::string log = t.dir.read("log.dat");
        EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), c.logLines) << log;
        if (c.binIsAFile) continue;
        std::vector<std::string> kept;
        for (const std::string& f : Files(t.dir.file("deleted/cur/"))) {
            const std::string data = Read(f);
            const size_t lf = data.find('\n');
            EXPECT_EQ(data.compare(0, 21, "X-Mailgrove-Deleted: "), 0) << data;
            EXPECT_NE(data.substr(0, lf).find("; mailbox=joe@" + ScriptedServer::host()), std::string::npos);
            EXPECT_EQ(data.substr(0, lf).find("; header-only=300") != std::string::npos,
                      c.maxBytes < 300 && data.find("three") != std::string::npos);
            kept.push_back(data.substr(lf + 1));
        }
        std::sort(kept.begin(), kept.end());
        EXPECT_EQ(kept, c.kept);
        EXPECT_TRUE(Files(t.dir.file("deleted/tmp/")).empty());
    }
}

TEST(DeletionBin, PipelinedRetrievalsAndDeletionsEachGoOutAtOnce) {
    Session t;
    Script retrievals = {C("RETR 1"), C("RETR 3")};
    retrievals = retrievals + Script{pop3::Retr(1, kOne).back(), pop3::Retr(3, kThree).back()};
    ScriptedServer server(pop3::Scan("joe", "secret", Box(), pop3::Capa::Pipelining) + retrievals +
                          Script{C("DELE 1"), C("DELE 3"), S("+OK"), S("+OK")} + pop3::Quit());
    t.session.SetBin(mg::BinSettings{});
    t.scan(server);
    t.settle();
    t.submit(Delete);
    t.settle();
    t.submit(LogOff);
    t.settle();
    EXPECT_TRUE(server.finish());
    EXPECT_EQ(Files(t.dir.file("deleted/cur/")).size(), 2u);
}

TEST(DeletionBin, ExpiryListingAndSettings) {
    TempDir dir;
    mg::DeletionBin bin(dir.file("deleted"));
    std::string error;
    ASSERT_TRUE(bin.Prepare(error)) << error;
    const std::time_t now = std::time(nullptr);
    bin.Stage(mg::DeletedFieldValue(now, "joe@pop.example", "u1"),
              "From: Ann <ann@a.example>\nSubject: =?utf-8?B?0J/RgNC40LLQtdGC?=\n\nhi\n");
    bin.Stage(mg::DeletedFieldValue(now, "joe@pop.example", "", 123456), "From: bob@b.example\nSubject: big\n\n");
    const std::vector<std::string> settled = bin.Settle(error);
    ASSERT_EQ(settled.size(), 2u);
    // The second is older than the retention time, a cut-short write in tmp/ older than a day.
    const auto age = [](const std::string& path, std::time_t when) {
        const struct utimbuf t{when, when};
        ::utime(path.c_str(), &t);
    };
    age(settled[1], now - 31 * 24 * 3600);
    dir.write("deleted/tmp/cut", "From: x");
    age(dir.file("deleted/tmp/cut"), now - 25 * 3600);

    std::vector<mg::BinEntry> entries = bin.List();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].Sender, "ann@a.example");
    EXPECT_EQ(entries[0].Subject, mg::A("Привет"));
    EXPECT_EQ(entries[0].Mailbox, "joe@pop.example");
    EXPECT_TRUE(entries[1].HeaderOnly);
    EXPECT_EQ(entries[1].Size, 123456);

    EXPECT_EQ(bin.Expire(30, now), 2);
    entries = bin.List();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].Path, settled[0]);
    EXPECT_EQ(bin.Clear(), 0);
    EXPECT_TRUE(bin.List().empty());

    // Settings: defaults, then what was written, and nonsense read as the default.
    const std::string ini = dir.file("MAILGROVE.INI");
    EXPECT_EQ(mg::BinSettings::Read(ini).MaxBytes, 10 * 1024 * 1024);
    mg::BinSettings s;
    s.RetentionDays = 7;
    s.MaxBytes = 2 * 1024 * 1024;
    ASSERT_TRUE(s.Write(ini));
    EXPECT_EQ(mg::BinSettings::Read(ini).RetentionDays, 7);
    EXPECT_EQ(mg::BinSettings::Read(ini).MaxBytes, 2 * 1024 * 1024);
    dir.write("MAILGROVE.INI", "[BIN]\r\nDAYS=-4\r\nENABLED=0\r\n");
    EXPECT_EQ(mg::BinSettings::Read(ini).RetentionDays, 30);
    EXPECT_FALSE(mg::BinSettings::Read(ini).Enabled);
}

TEST(DeletionBin, TheAddedFieldStaysOneLineWhateverTheUidl) {
    const std::pair<std::string, std::string> cases[] = {
        {"AZaz09!~;%", "AZaz09!~;%"},
        {std::string("a\rb\nc\0d e\x7F\xFF", 11), "a%0Db%0Ac%00d%20e%7F%FF"},
    };
    for (const auto& [uidl, written] : cases) {
        const std::string value = mg::DeletedFieldValue(0, "joe@pop.example", uidl);
        EXPECT_EQ(value.substr(value.find("; uidl=") + 7), written);
    }
}
