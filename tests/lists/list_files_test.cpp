// The list files on disk: each list loads or fails on its own, a list that
// was not read whole is never written over, links are written through, new
// files are the owner's only, and what a crashed save left behind goes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

#include "lists/DeletionLog.h"
#include "lists/ListFiles.h"
#include "support/temp_dir.h"

using mg::ListState;
using mgtest::TempDir;

namespace {

const std::string kSpam = "1@a.example\r\n\tx\r\n";
const std::string kWhite = "a@x.example\r\n";
const char* kDirectory = "<directory>";

unsigned Mode(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

}  // namespace

TEST(ListFiles, EachListLoadsOrFailsOnItsOwn) {
    const struct {
        const char* name;
        std::string spam, white;
        ListState spamState, whiteState;
        const char* error;
    } rows[] = {
        {"black list: a line too long", kSpam + std::string(5000, 'x') + "\r\n", kWhite, ListState::Damaged,
         ListState::Loaded, "Line too long"},
        {"black list: more after a byte 26", kSpam + "\x1a" "more", kWhite, ListState::Damaged, ListState::Loaded, ""},
        {"black list: a directory", kDirectory, kWhite, ListState::Unreadable, ListState::Loaded, ""},
        {"white list: more after a byte 26", kSpam, kWhite + "\x1a" "more", ListState::Loaded, ListState::Damaged, ""},
        {"white list: a directory", kSpam, kDirectory, ListState::Loaded, ListState::Unreadable, ""},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        TempDir dir;
        for (const auto& [name, content] : {std::pair{"spam.dat", r.spam}, std::pair{"white.dat", r.white}}) {
            if (content == kDirectory) ::mkdir(dir.file(name).c_str(), 0700);
            else dir.write(name, content);
        }
        dir.write("spam.bak", "good");
        dir.write("white.bak", "good");
        mg::ListFiles files(dir.path());
        mg::SpamTree spam;
        mg::WhiteList white;
        const mg::ListsLoaded loaded = files.Load(spam, white);
        EXPECT_EQ(loaded.spam.state, r.spamState);
        EXPECT_EQ(loaded.white.state, r.whiteState);
        EXPECT_EQ(loaded.spam.error, r.error);
        EXPECT_EQ(spam.Count(), r.spam == kDirectory ? 0 : 2);
        EXPECT_EQ(white.Count(), r.white == kDirectory ? 0 : 1);
        // Only a list read whole refreshes its backup.
        EXPECT_EQ(dir.read("spam.bak"), r.spamState == ListState::Loaded ? r.spam : "good");
        EXPECT_EQ(dir.read("white.bak"), r.whiteState == ListState::Loaded ? r.white : "good");

        spam.AddServer("0@b.example");
        white.Insert("b@x.example");
        const mg::ListsSaved saved = files.Save(spam, white);
        for (const auto& [name, state, save, before, list] :
             {std::tuple{"spam", r.spamState, saved.spam, r.spam, spam.SaveToBytes()},
              std::tuple{"white", r.whiteState, saved.white, r.white, white.SaveToBytes()}}) {
            const bool keep = state == ListState::Damaged || state == ListState::Unreadable;
            EXPECT_EQ(save.error, 0);
            EXPECT_EQ(save.aside, keep) << name;
            EXPECT_EQ(save.file, std::string(name) + (keep ? ".new" : ".dat"));
            EXPECT_EQ(dir.read(save.file), list) << name;
            if (keep && before != kDirectory) {
                EXPECT_EQ(dir.read(std::string(name) + ".dat"), before) << name;
                EXPECT_EQ(Mode(dir.file(save.file)), 0600u);
            }
        }
    }
}

// Through a link to its target, which a new file is created as (mode 0600,
// like every file the lists and the log create); a file keeps its mode.
TEST(ListFiles, LinksAreWrittenThroughToTheirTargets) {
    for (const bool exists : {true, false}) {
        SCOPED_TRACE(exists ? "relative, through another link" : "absolute, to a missing file");
        TempDir root;
        for (const char* dir : {"data", "shared"}) ::mkdir(root.file(dir).c_str(), 0700);
        if (exists) root.write("shared/white.txt", kWhite);
        ::chmod(root.file("shared/white.txt").c_str(), 0640);
        ::symlink("../shared/white.txt", root.file("data/chain").c_str());
        ::symlink(exists ? "chain" : root.file("shared/white.txt").c_str(), root.file("data/white.dat").c_str());
        root.write("shared/white.txt.tmp-Ab3xY9", "a crashed save");
        mg::ListFiles files(root.file("data"));
        mg::SpamTree spam;
        mg::WhiteList white;
        EXPECT_EQ(files.Load(spam, white).white.state, exists ? ListState::Loaded : ListState::Missing);
        EXPECT_FALSE(root.exists("shared/white.txt.tmp-Ab3xY9"));
        white.Insert("b@x.example");
        EXPECT_EQ(files.Save(spam, white).white.error, 0);
        struct stat st {};
        EXPECT_TRUE(::lstat(root.file("data/white.dat").c_str(), &st) == 0 && S_ISLNK(st.st_mode));
        EXPECT_EQ(root.read("shared/white.txt"), white.SaveToBytes());
        EXPECT_EQ(Mode(root.file("shared/white.txt")), exists ? 0640u : 0600u);
        EXPECT_EQ(Mode(root.file("data/spam.dat")), 0600u);
        EXPECT_EQ(Mode(root.file("data/white.bak")), exists ? 0600u : 0u);
        mg::DeletionLog log;
        ASSERT_TRUE(log.Open(root.file("data/log.dat")));
        EXPECT_EQ(Mode(root.file("data/log.dat")), 0600u);
    }
}

// What a crashed save left goes at the next start, but only a temporary of
// one of our files that no save is writing. A read-only copy leaves them to
// the copy that writes, and writes no backup.
TEST(ListFiles, TemporariesLeftByACrashGoAtStart) {
    const struct {
        const char* name;
        bool removed;
    } rows[] = {
        {"white.dat.tmp-Ab3xY9", true}, {"spam.bak.tmp-000000", true}, {"spam.new.2.tmp-zzzzzz", true},
        {"white.dat.tmp-heldby", false},  // a save is writing it
        {"white.dat.backup", false},      {"white.dat.tmp-abc", false}, {"notes.txt.tmp-abcdef", false},
        {"spam.dat.tmp-subdir", false},  // a directory
    };
    TempDir dir;
    for (const auto& r : rows) dir.write(r.name, "x");
    ::unlink(dir.file("spam.dat.tmp-subdir").c_str());
    ::mkdir(dir.file("spam.dat.tmp-subdir").c_str(), 0700);
    const int held = ::open(dir.file("white.dat.tmp-heldby").c_str(), O_RDONLY);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    dir.write("spam.dat", kSpam);
    dir.write("white.dat", kWhite);
    mg::SpamTree spam;
    mg::WhiteList white;

    mg::ListFiles(dir.path(), true).Load(spam, white);
    EXPECT_FALSE(dir.exists("spam.bak") || dir.exists("white.bak"));
    EXPECT_TRUE(dir.exists("white.dat.tmp-Ab3xY9"));

    mg::ListFiles(dir.path()).Load(spam, white);
    for (const auto& r : rows) EXPECT_EQ(dir.exists(r.name), !r.removed) << r.name;
    ::close(held);
}
