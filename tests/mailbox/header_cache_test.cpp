// The header cache: what a scan stores comes back, per mailbox; and a cache
// that is damaged, locked, read-only or out of room costs nothing but itself,
// without a wait.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <set>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include "mailbox/HeaderCache.h"
#include "pop3/VantelPop3.h"
#include "support/file_override.h"
#include "support/temp_dir.h"

using mg::HeaderCache;
using mgtest::TempDir;
using mgtest::WithoutFileOverride;

namespace {

// "uidl:size:first-last ..." in UIDL order.
std::string Describe(HeaderCache& cache, const std::string& server, const std::string& login) {
    std::map<std::string, HeaderCache::Entry> sorted;
    if (!cache.Load(server, login, [&](const std::string& uidl, const HeaderCache::Entry& e) { sorted[uidl] = e; }))
        return "failed: " + cache.Problem();
    std::string out;
    for (const auto& [uidl, e] : sorted)
        out += (out.empty() ? "" : " ") + uidl + ":" + std::to_string(e.size) + ":" + std::to_string(e.firstSeen) +
               "-" + std::to_string(e.lastSeen);
    return out;
}

// What a scan does with the cache: `added` fetched, `seen` listed again and
// cached; when `complete`, whatever else was cached goes.
bool Scan(HeaderCache& cache, const std::string& login, const std::vector<HeaderCache::Added>& added,
          const std::vector<std::string>& seen, bool complete) {
    std::set<std::string> listed(seen.begin(), seen.end());
    for (const auto& a : added) listed.insert(a.uidl);
    std::vector<std::string> gone;
    if (!cache.Begin() || !cache.Load("pop.example", login, [&](const std::string& uidl, const HeaderCache::Entry&) {
            if (!listed.count(uidl)) gone.push_back(uidl);
        }))
        return false;
    for (const auto& a : added)
        if (!cache.Add("pop.example", login, a)) return false;
    return cache.Commit("pop.example", login, seen, gone, complete);
}

int Mode(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 0777) : -1;
}


TEST(HeaderCache, ScansComeBackPerMailbox) {
    TempDir dir;
    const std::string header("Subject: \xCF\xF0\xE8\xE2\xE5\xF2\r\nX-Odd: \0\xFF\n\r\n", 28);
    const std::string huge(TVantelPOP3::kMaxHeaderBytes + 1, 'x');
    struct Step {
        int64_t time;
        const char* login;
        std::vector<HeaderCache::Added> added;
        std::vector<std::string> seen;
        bool complete;
        const char* expect;  // the mailbox afterwards
    } steps[] = {
        // A block larger than a header block may be is not kept.
        {1000, "ann", {{"u1", {header, 100}}, {"u2", {"", 5}}, {"u3", {"S", 6}}, {"u9", {huge, 9}}}, {}, true,
         "u1:100:1000-1000 u2:5:1000-1000 u3:6:1000-1000"},
        {1000, "bob", {{"u1", {"other", 7}}}, {}, true, "u1:7:1000-1000"},
        // Incomplete: the unlisted stay. An entry added again is replaced.
        {2000, "ann", {{"u4", {"T", 9}}, {"u2", {"N", 8}}}, {"u1"}, false,
         "u1:100:1000-2000 u2:8:1000-2000 u3:6:1000-1000 u4:9:2000-2000"},
        // Complete: the unlisted go; another mailbox is not touched.
        {3000, "ann", {}, {"u1", "u4"}, true, "u1:100:1000-3000 u4:9:2000-3000"},
        {4000, "bob", {}, {}, true, ""},
    };
    HeaderCache cache(dir.file("cache.sqlite"));
    ASSERT_TRUE(cache.Open()) << cache.Problem();
    for (const Step& s : steps) {
        cache.SetTimeForTest(s.time);
        ASSERT_TRUE(Scan(cache, s.login, s.added, s.seen, s.complete)) << cache.Problem();
        EXPECT_EQ(Describe(cache, "pop.example", s.login), s.expect) << s.time << " " << s.login;
    }
    HeaderCache again(dir.file("cache.sqlite"));
    ASSERT_TRUE(again.Open());
    HeaderCache::Entry entry;
    ASSERT_TRUE(again.Get("pop.example", "ann", "u1", entry)) << again.Problem();
    EXPECT_EQ(entry.header, header);
    EXPECT_FALSE(again.Get("pop.example", "ann", "u3", entry));
    EXPECT_EQ(again.Problem(), "");
    EXPECT_EQ(Describe(again, "other.example", "ann"), "");
}

// The last listing of a mailbox: replaced with each scan's, and renumbered
// as the server will once it has deleted messages.
TEST(HeaderCache, TheLastListingIsRenumberedAfterDeletions) {
    TempDir dir;
    HeaderCache cache(dir.file("cache.sqlite"));
    ASSERT_TRUE(cache.Open()) << cache.Problem();
    const auto listing = [&cache](const std::string& login) {
        std::vector<HeaderCache::Listed> out;
        int64_t scanned = 0;
        std::string text = cache.LastListing("pop.example", login, out, scanned) ? std::to_string(scanned) : "none";
        for (const HeaderCache::Listed& m : out)
            text += " " + std::to_string(m.number) + ":" + m.uidl + ":" + std::to_string(m.size);
        return text;
    };
    const auto set = [&cache](const std::string& login, const std::vector<HeaderCache::Listed>& l) {
        return cache.Begin() && cache.SetListing("pop.example", login, l) &&
               cache.Commit("pop.example", login, {}, {}, false);
    };
    EXPECT_EQ(listing("ann"), "none");
    cache.SetTimeForTest(1000);
    ASSERT_TRUE(set("ann", {{1, "u1", 10}, {2, "u2", 20}, {3, "", 30}, {4, "u4", 40}}));
    ASSERT_TRUE(set("bob", {{1, "b1", 5}}));
    ASSERT_TRUE(cache.ForgetNumbers("pop.example", "ann", {3, 1}));
    EXPECT_EQ(listing("ann"), "1000 1:u2:20 2:u4:40");
    EXPECT_EQ(listing("bob"), "1000 1:b1:5");
    // A rolled-back scan keeps the listing before it; a mailbox found empty
    // has a listing without messages.
    ASSERT_TRUE(cache.Begin() && cache.SetListing("pop.example", "ann", {{1, "x", 1}}));
    cache.Rollback();
    EXPECT_EQ(listing("ann"), "1000 1:u2:20 2:u4:40");
    cache.SetTimeForTest(2000);
    ASSERT_TRUE(set("ann", {}));
    EXPECT_EQ(listing("ann"), "2000");
    EXPECT_TRUE(cache.ForgetNumbers("pop.example", "ann", {1}));
    EXPECT_EQ(listing("ann"), "2000");
}

// Another copy of the program holding the file: one that keeps it locked
// after a write (nothing can read it), or one in the middle of a write.
const char kHoldAll[] = "PRAGMA locking_mode = EXCLUSIVE; UPDATE headers SET size = size";
const char kWriting[] = "BEGIN IMMEDIATE; UPDATE headers SET size = size";

TEST(HeaderCache, TroubleCostsOnlyTheCache) {
    auto chmod = [](const char* name, int mode) {
        return [=](TempDir& d) { ::chmod((d.path() + name).c_str(), static_cast<mode_t>(mode)); };
    };
    const char* kKept = "u1:100:1000-1000";
    struct Row {
        const char* name;
        std::function<void(TempDir&)> spoil;
        const char* lockBefore;  // SQL of another connection, before Open
        const char* lockAfter;   // and after it
        int pageLimit;           // 0: none
        const char* results;     // Open, Rebuilt, Load, Scan: 1 true, 0 false
        const char* problem;     // in the first failure's Problem()
        bool movedAside;
        const char* after;  // the mailbox once the trouble is gone
    } rows[] = {
        {"not a database", [](TempDir& d) { d.write("cache.sqlite", std::string(5000, '\xA5')); }, nullptr, nullptr,
         0, "1111", "", true, "u2:20000:2000-2000"},
        {"damaged pages",
         [](TempDir& d) {
             std::string bytes = d.read("cache.sqlite");
             d.write("cache.sqlite", bytes.replace(4096, std::string::npos, bytes.size() - 4096, '\xA5'));
         },
         nullptr, nullptr, 0, "1000", "damaged", true, ""},
        {"held by another", nullptr, kHoldAll, nullptr, 0, "0000", "another running copy", false, kKept},
        {"written by another", nullptr, nullptr, kWriting, 0, "1010", "another running copy", false, kKept},
        {"read-only file", chmod("cache.sqlite", 0400), nullptr, nullptr, 0, "0000", "cannot be written", false, kKept},
        {"read-only directory", chmod("", 0500), nullptr, nullptr, 0, "0000", "directory cannot be written", false,
         kKept},
        // No room to grow (the limit cannot go below the file's size).
        {"disk full", nullptr, nullptr, nullptr, 1, "1010", "disk is full", false, kKept},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TempDir dir;
        const std::string path = dir.file("cache.sqlite");
        {
            HeaderCache seed(path);
            seed.SetTimeForTest(1000);
            ASSERT_TRUE(seed.Open() && Scan(seed, "ann", {{"u1", {"H", 100}}}, {}, true));
        }
        dir.write("cache.sqlite.bad", "older");
        if (row.spoil) row.spoil(dir);
        const std::string before = dir.read("cache.sqlite");
        sqlite3* other = nullptr;
        auto lock = [&](const char* sql) {
            if (sql) {
                sqlite3_open(path.c_str(), &other);
                ASSERT_EQ(sqlite3_exec(other, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(other);
            }
        };
        lock(row.lockBefore);
        std::string results, problem;
        auto note = [&](bool result, const HeaderCache& c) {
            results += result ? '1' : '0';
            if (problem.empty()) problem = c.Problem();
        };
        const auto start = std::chrono::steady_clock::now();
        {
            WithoutFileOverride unprivileged;
            HeaderCache cache(path);
            cache.SetTimeForTest(2000);
            note(cache.Open(), cache);
            note(cache.Rebuilt(), cache);
            lock(row.lockAfter);
            if (row.pageLimit) cache.SetPageLimitForTest(row.pageLimit);
            note(cache.Load("pop.example", "ann", [](const std::string&, const HeaderCache::Entry&) {}), cache);
            note(Scan(cache, "ann", {{"u2", {std::string(20000, 'h'), 20000}}}, {"u1"}, true), cache);
        }
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
        EXPECT_EQ(results, row.results);
        EXPECT_TRUE(*row.problem ? problem.find(row.problem) != std::string::npos : problem.empty()) << problem;
        EXPECT_EQ(dir.read("cache.sqlite.bad"), row.movedAside ? before : "older");

        sqlite3_close(other);
        ::chmod(dir.path().c_str(), 0700);
        ::chmod(path.c_str(), 0600);
        HeaderCache cache(path);
        ASSERT_TRUE(cache.Open()) << cache.Problem();
        EXPECT_EQ(Describe(cache, "pop.example", "ann"), row.after);
        EXPECT_EQ(Mode(path), 0600);
    }
}

}  // namespace
