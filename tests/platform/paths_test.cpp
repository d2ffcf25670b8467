// Where the lists live: beside the executable when it already keeps them
// there, else in the user's data directory.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <vector>

#include "platform/paths.h"
#include "support/temp_dir.h"

using mgtest::TempDir;

TEST(ProgramDirectory, PortableWhenTheExecutableKeepsAListElseTheDataDirectory) {
    struct Case {
        const char* name;
        std::vector<const char*> besideExe;
        bool xdgSet;
        bool portable;
    } cases[] = {
        {"fresh, XDG_DATA_HOME set", {}, true, false},
        {"fresh, XDG_DATA_HOME unset", {}, false, false},
        {"spam.dat beside the executable", {"spam.dat"}, true, true},
        {"white.dat beside the executable", {"white.dat"}, false, true},
        {"both beside the executable", {"spam.dat", "white.dat"}, true, true},
        {"only other files beside it", {"spam.bak", "log.dat"}, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        ::mkdir(dir.file("bin").c_str(), 0755);
        for (const char* name : c.besideExe) dir.write(std::string("bin/") + name, "x\r\n");
        const std::string xdg = dir.file("xdg-data");
        const std::string home = dir.file("home");
        const std::string got = mg::ProgramDirectoryFor(dir.file("bin"), c.xdgSet ? xdg.c_str() : nullptr, home.c_str());
        const std::string data = c.xdgSet ? xdg + "/mailgrove/" : home + "/.local/share/mailgrove/";
        EXPECT_EQ(got, c.portable ? dir.file("bin/") : data);
        struct stat st {};
        if (c.portable) {
            EXPECT_NE(::stat(data.c_str(), &st), 0) << "no data directory is made for a portable install";
        } else {
            ASSERT_EQ(::stat(got.c_str(), &st), 0);
            EXPECT_TRUE(S_ISDIR(st.st_mode));
            EXPECT_EQ(st.st_mode & 0777, 0700u);
        }
    }
}

TEST(ProgramDirectory, ExistingRelativeAndImpossibleDataDirectories) {
    TempDir dir;
    ::mkdir(dir.file("home").c_str(), 0755);
    ::mkdir(dir.file("home/.local").c_str(), 0755);
    ::mkdir(dir.file("home/.local/share").c_str(), 0755);
    ::mkdir(dir.file("home/.local/share/mailgrove").c_str(), 0750);
    const std::string home = dir.file("home");
    EXPECT_EQ(mg::ProgramDirectoryFor(dir.path(), "relative/data", home.c_str()), home + "/.local/share/mailgrove/");
    struct stat st {};
    ASSERT_EQ(::stat((home + "/.local/share/mailgrove").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0750u) << "an existing directory keeps its mode";

    // A data directory that cannot be made gives no directory at all, never
    // a fallback to wherever the program was started.
    dir.write("not-a-dir", "x");
    EXPECT_EQ(mg::ProgramDirectoryFor(dir.path(), dir.file("not-a-dir").c_str(), home.c_str()), "");
}
