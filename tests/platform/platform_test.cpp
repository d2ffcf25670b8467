#include <QSet>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform/codepage.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/profile.h"
#include "platform/report.h"
#include "platform/strutil.h"
#include "support/fake_dialogs.h"
#include "support/temp_dir.h"

using mgtest::TempDir;

TEST(CodePage, Cp1251RoundTripsEveryByte) {
    std::string all;
    for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
    const QString wide = mg::FromAnsi(all);
    ASSERT_EQ(wide.size(), 256);
    EXPECT_EQ(mg::ToAnsi(wide), all);
    // Distinct bytes give distinct characters.
    QSet<QChar> seen(wide.begin(), wide.end());
    EXPECT_EQ(seen.size(), 256);
    EXPECT_EQ(mg::A("Ёё"), std::string("\xA8\xB8"));
    EXPECT_EQ(mg::A("АЯая"), std::string("\xC0\xDF\xE0\xFF"));
    EXPECT_EQ(mg::ToAnsi(QString::fromUtf8("€№")), std::string("\x88\xB9"));
    EXPECT_EQ(mg::ToAnsi(QString::fromUtf8("日")), "?");
}

TEST(StrUtil, IntegerConversionFollowsRuntimeRules) {
    EXPECT_EQ(mg::StrToInt("110"), 110);
    EXPECT_EQ(mg::StrToInt("  -7"), -7);
    EXPECT_EQ(mg::StrToInt("$1F"), 31);
    for (const char* bad : {"", "5\r\n", "12a", "2147483648", " ", "-"}) {
        try {
            mg::StrToInt(bad);
            ADD_FAILURE() << "accepted " << bad;
        } catch (const EConvertError& e) {
            EXPECT_EQ(e.Message, std::string("'") + bad + "' is not a valid integer value");
        }
    }
    EXPECT_EQ(mg::Trim("\t ab \r\n"), "ab");
    EXPECT_EQ(mg::LowerAscii("AbC\xC0"), "abc\xC0");
}

TEST(Report, FullStopOnlyAfterCharactersAboveDot) {
    EXPECT_EQ(mg::ErrorReportText("Connection Failed"), "Connection Failed.");
    EXPECT_EQ(mg::ErrorReportText("-ERR no such message\r\n"), "-ERR no such message\r\n");
    EXPECT_EQ(mg::ErrorReportText("done."), "done.");
    EXPECT_EQ(mg::ErrorReportText("done-"), "done-");
    EXPECT_EQ(mg::ErrorReportText(""), "");
    mgtest::FakeDialogs dialogs;
    dialogs.ExpectMessage("boom.", mg::Icon::Error, mg::Buttons::Ok, mg::Answer::Ok);
    mg::Guarded([] { throw Exception("boom"); });
    ASSERT_EQ(dialogs.shown().size(), 1u);
    EXPECT_EQ(dialogs.shown()[0].caption, "Mailgrove");
}

TEST(Profile, WindowsSemantics) {
    TempDir dir;
    const std::string ini = dir.file("MAILGROVE.INI");
    // Missing file: defaults; first write creates it, readable by its owner only.
    EXPECT_EQ(mg::GetPrivateProfileString("CONNECT", "PORT", "110", ini), "110");
    ASSERT_TRUE(mg::WritePrivateProfileString("CONNECT", "HOST", "pop.example", ini));
    struct stat st {};
    ASSERT_EQ(::stat(ini.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(dir.read("MAILGROVE.INI"), "[CONNECT]\r\nHOST=pop.example\r\n");

    dir.write("MAILGROVE.INI",
              "; comment\n[Other]\nhost=elsewhere\n[connect]\n  Host =  \"quoted value\"  \nPort=\nx y\n[Tail]\nk=v\n");
    ::chmod(ini.c_str(), 0644);
    EXPECT_EQ(mg::GetPrivateProfileString("CONNECT", "HOST", "", ini), "quoted value");
    EXPECT_EQ(mg::GetPrivateProfileString("CONNECT", "PORT", "110", ini), "");  // present but empty
    EXPECT_EQ(mg::GetPrivateProfileString("CONNECT", "USER", "dflt", ini), "dflt");
    ASSERT_TRUE(mg::WritePrivateProfileString("CONNECT", "HOST", "new", ini));
    ASSERT_TRUE(mg::WritePrivateProfileString("CONNECT", "USER", "me", ini));
    ASSERT_TRUE(mg::WritePrivateProfileString("NEW", "A", "1", ini));
    EXPECT_EQ(dir.read("MAILGROVE.INI"),
              "; comment\r\n[Other]\r\nhost=elsewhere\r\n[connect]\r\nHOST=new\r\nPort=\r\nx y\r\nUSER=me\r\n"
              "[Tail]\r\nk=v\r\n\r\n[NEW]\r\nA=1\r\n");
    ASSERT_EQ(::stat(ini.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "an existing settings file is tightened";
    EXPECT_EQ(mg::GetPrivateProfileString("other", "HOST", "", ini), "elsewhere");
}

TEST(Files, AtomicWriteLeavesOldFileOnFailure) {
    TempDir dir;
    dir.write("a.dat", "old");
    ASSERT_TRUE(mg::WriteFileAtomic(dir.file("a.dat"), "new"));
    EXPECT_EQ(dir.read("a.dat"), "new");
    ::mkdir(dir.file("ro").c_str(), 0755);
    dir.write("ro/b.dat", "keep");
    ::chmod(dir.file("ro").c_str(), 0555);
    if (::geteuid() != 0) {  // root writes anywhere
        EXPECT_FALSE(mg::WriteFileAtomic(dir.file("ro/b.dat"), "lost"));
        EXPECT_EQ(dir.read("ro/b.dat"), "keep");
    }
    ::mkdir(dir.file("d.dat").c_str(), 0755);
    EXPECT_FALSE(mg::WriteFileAtomic(dir.file("d.dat"), "x")) << "a directory is never replaced";
    EXPECT_TRUE(mg::CopyFileReplacing(dir.file("a.dat"), dir.file("a.bak")));
    EXPECT_EQ(dir.read("a.bak"), "new");
    EXPECT_FALSE(mg::CopyFileReplacing(dir.file("missing"), dir.file("a.bak")));
    EXPECT_EQ(dir.read("a.bak"), "new");
}
