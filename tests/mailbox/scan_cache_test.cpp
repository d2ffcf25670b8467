// Scans that remember: each row is a few scans of one mailbox as wire
// conversations (log-on, listing, UIDL, and a TOP only for what the header
// cache does not hold), with the lines each builds, the ones it marks new,
// and what it says when the cache cannot be used.
#include <sqlite3.h>
#include <sys/stat.h>

#include <memory>

#include "platform/codepage.h"
#include "session_support.h"
#include "support/fake_dialogs.h"
#include "support/file_override.h"

using namespace mgtest;
using mg::MailboxSession;

namespace {

// Messages the mailboxes of the rows are made of.
const std::vector<pop3::Message>& Pool() {
    static const std::vector<pop3::Message> pool = {
        {{"From: a@spam.example", "Subject: one"}, 100},
        {{"From: Bea <b@ok.example>", "Subject: =?koi8-r?B?8NLJ18XU?="}, 2000},
        {{"FROM: c@ok.example", "Subject: three"}, 300},
        {{"From: =?UTF-8?B?0JTQuNC8?=", " <d@spam.example>", "Subject: four"}, 4000},
        {{"From: e@ok.example", "X-Long: " + std::string(20000, 'x'), "Subject: five"}, 30000},
    };
    return pool;
}

struct Round {
    std::vector<int> box;          // the mailbox: indexes into Pool()
    std::vector<std::string> ids;  // the UIDL reply; none: refused
    bool uidl;                     // UIDL is asked
    std::vector<int> fetched;      // message numbers fetched with TOP
    std::vector<int> fresh;        // message numbers marked new
};

struct Case {
    const char* name;
    pop3::Capa capa;
    std::vector<Round> rounds;
    const char* notice = "";  // in the first round's status (UTF-8)
    std::function<void(Session&)> before = nullptr;
    const char* later = "";  // in the later rounds
    int cachePages = 0;      // above 0: the cache is limited to so many pages, as a full disk would
};

std::vector<pop3::Message> Messages(const std::vector<int>& box) {
    std::vector<pop3::Message> out;
    for (int k : box) out.push_back(Pool()[static_cast<size_t>(k)]);
    return out;
}

Script RoundScript(const Round& r, pop3::Capa capa) {
    const auto box = Messages(r.box);
    std::vector<int> sizes;
    int total = 0;
    for (const auto& m : box) total += m.size, sizes.push_back(m.size);
    Script script = pop3::Logon("joe", "secret", static_cast<int>(box.size()), total, capa) + pop3::Listing(sizes);
    if (r.uidl) script = script + pop3::Uidl(r.ids);
    if (capa == pop3::Capa::Pipelining)
        script = script + pop3::PipelinedTops(box, r.fetched);
    else
        for (int n : r.fetched) script = script + pop3::Top(n, box[static_cast<size_t>(n - 1)].header);
    return script + pop3::Quit();
}

}  // namespace

TEST(ScanCache, OnlyWhatTheCacheLacksGoesOnTheWire) {
    const std::vector<Case> cases = {
        {"UIDL in CAPA: the second scan fetches nothing", pop3::Capa::Plain,
         {{{0, 1, 2}, {"a", "b", "c"}, true, {1, 2, 3}, {}}, {{0, 1, 2}, {"a", "b", "c"}, true, {}, {}}}},
        {"CAPA without UIDL: never asked, everything fetched", pop3::Capa::NoUidl,
         {{{0, 1}, {}, false, {1, 2}, {}}, {{0, 1}, {}, false, {1, 2}, {}}}},
        {"no CAPA: UIDL tried, and answered", pop3::Capa::Unknown,
         {{{0, 1}, {"a", "b"}, true, {1, 2}, {}}, {{0, 1}, {"a", "b"}, true, {}, {}}}},
        {"UIDL refused: nothing remembered", pop3::Capa::Unknown,
         {{{0, 1}, {}, true, {1, 2}, {}}, {{0, 1}, {}, true, {1, 2}, {}}}},
        {"a UIDL shared by two messages: both fetched every time", pop3::Capa::Plain,
         {{{0, 1, 2}, {"a", "a", "c"}, true, {1, 2, 3}, {}}, {{0, 1, 2}, {"a", "a", "c"}, true, {1, 2}, {}}}},
        {"one removed and one added by another client, then the removed one back", pop3::Capa::Plain,
         {{{0, 1, 2}, {"a", "b", "c"}, true, {1, 2, 3}, {}},
          {{0, 2, 3}, {"a", "c", "d"}, true, {3}, {3}},
          {{1, 0}, {"b", "a"}, true, {1}, {1}}}},
        {"pipelined: only the new one's TOP goes out", pop3::Capa::Pipelining,
         {{{0, 1, 2}, {"a", "b", "c"}, true, {1, 2, 3}, {}},
          {{0, 1, 2, 3}, {"a", "b", "c", "d"}, true, {4}, {4}}}},
        {"the cache damaged: moved aside and made anew", pop3::Capa::Plain,
         {{{0, 1}, {"a", "b"}, true, {1, 2}, {}}, {{0, 1}, {"a", "b"}, true, {}, {}}},
         "Прием закончен. Кэш заголовков был поврежден: он сохранен как cache.sqlite.bad и начат заново",
         [](Session& t) { t.dir.write("cache.sqlite", std::string(4096, 'x')); }},
        {"the cache on a full disk: the scan goes on, nothing is kept", pop3::Capa::Plain,
         {{{0, 4}, {"a", "e"}, true, {1, 2}, {}}, {{0, 4}, {"a", "e"}, true, {1, 2}, {}}},
         "Прием закончен. Кэш заголовков недоступен: сообщения приняты без него",
         nullptr, "Прием закончен. Кэш заголовков недоступен: сообщения приняты без него", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        mg::SessionOptions options;
        options.CachePageLimit = c.cachePages;
        Session t(options);
        if (c.before) c.before(t);
        for (size_t r = 0; r < c.rounds.size(); ++r) {
            SCOPED_TRACE("scan " + std::to_string(r + 1));
            const Round& round = c.rounds[r];
            ScriptedServer server(RoundScript(round, c.capa));
            t.scan(server);
            t.settle();
            EXPECT_TRUE(t.errors.empty());
            EXPECT_EQ(t.lines(), [&] {
                Session reference;
                std::vector<int> all;
                for (size_t i = 1; i <= round.box.size(); ++i) all.push_back(static_cast<int>(i));
                ScriptedServer plain(RoundScript({round.box, {}, false, all, {}}, pop3::Capa::NoUidl));
                reference.scan(plain);
                reference.settle();
                std::vector<std::string> lines = reference.lines();
                reference.submit(LogOff);
                reference.settle();
                return lines;
            }()) << "the lines a scan without the cache builds";
            std::vector<int> fresh;
            for (int i = 0; i < t.session.Lines().Count(); ++i)
                if (t.session.Lines().Fresh(i)) fresh.push_back(i + 1);
            EXPECT_EQ(fresh, round.fresh);
            EXPECT_EQ(t.fresh, static_cast<int>(round.fresh.size()));
            EXPECT_EQ(Utf8(t.cacheNotice).empty() ? "" : "Прием закончен. " + Utf8(t.cacheNotice),
                      r == 0 ? c.notice : c.later);
            t.submit(LogOff);
            t.settle();
            EXPECT_TRUE(server.finish());
        }
    }
}

// Another running copy holds the cache locked, or it cannot be written: the
// scans run as if there were none (no UIDL asked), and say so each time.
TEST(ScanCache, ACacheThatCannotBeUsedNeverStopsAScan) {
    for (const char* why : {"locked", "read-only"}) {
        SCOPED_TRACE(why);
        Session t;
        sqlite3* other = nullptr;
        std::unique_ptr<WithoutFileOverride> unprivileged;
        if (std::string(why) == "locked") {
            ASSERT_EQ(sqlite3_open(t.dir.file("cache.sqlite").c_str(), &other), SQLITE_OK);
            ASSERT_EQ(sqlite3_exec(other, "PRAGMA locking_mode=EXCLUSIVE; CREATE TABLE x(y); INSERT INTO x VALUES(1);",
                                   nullptr, nullptr, nullptr),
                      SQLITE_OK);
        } else {
            t.dir.write("cache.sqlite", "");
            ::chmod(t.dir.file("cache.sqlite").c_str(), 0400);
            unprivileged = std::make_unique<WithoutFileOverride>();
        }
        for (int round = 0; round < 2; ++round) {
            ScriptedServer server(RoundScript({{0, 1}, {}, false, {1, 2}, {}}, pop3::Capa::Plain));
            t.cacheNotice.clear();
            t.scan(server);
            t.settle();
            ASSERT_EQ(t.session.Lines().Count(), 2);
            EXPECT_EQ(Utf8(t.cacheNotice), "Кэш заголовков недоступен: сообщения приняты без него");
            t.submit(LogOff);
            t.settle();
            EXPECT_TRUE(server.finish());
        }
        if (other) sqlite3_close(other);
    }
}
