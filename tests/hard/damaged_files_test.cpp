// Start-up and close with damaged list files: truncated, binary, a 10 MB
// line, unreadable, a directory in their place, a full disk or a read-only
// program directory at close. Whatever happens, no run loses what a list
// file held before it.
#include <QCoreApplication>
#include <QListWidget>
#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <random>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/Pop3Form.h"
#include "app/app_support.h"
#include "lists/SpamTree.h"
#include "lists/WhiteList.h"
#include "platform/codepage.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "support/fake_dialogs.h"
#include "support/file_override.h"
#include "support/temp_dir.h"

using mg::Answer;
using mgtest::FakeDialogs;
using mgtest::TempDir;
using mgtest::WithoutFileOverride;
using mgtest::Msg;

namespace {

const char* kLoadError = "Ошибка загрузки файла white.dat";
const char* kEmptyQuestion = "Файл white.dat пуст! Выйти из программы?";
std::string KeptAside(const std::string& name) {
    return "Файл " + name + ".dat не был загружен при запуске и оставлен без изменений. Список сохранен в файл " +
           name + ".new";
}

const std::string kSpam = "1@spam.example\r\n\tx\r\n0@host.example\r\n\tjohn\r\n";
const std::string kWhite = "a@x.example\r\nfriend@host.example\r\n";

struct Window {
    explicit Window(const TempDir& dir) : form(dir.path(), dir.file("MAILGROVE.INI")) {}
    bool close() {
        form.show();
        return form.close();
    }
    TPop3Form form;
};


bool Readable(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd >= 0) ::close(fd);
    return fd >= 0;
}

double CpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Random bytes that hold every troublesome one: NUL, TAB, LF, CR, 255, and
// the byte 26 unless `withEndMark` is false.
std::string Binary(size_t size, unsigned seed, bool withEndMark) {
    std::mt19937 random(seed);
    std::string out;
    while (out.size() < size) {
        const char c = static_cast<char>(random() & 0xFF);
        if (c != '\x1a' || withEndMark) out += c;
    }
    return out;
}

// Whether reading stops at a byte 26 before the data ends.
bool DataAfterEndMark(const std::string& bytes) {
    const size_t mark = bytes.find('\x1a');
    return mark != std::string::npos && bytes.find_first_not_of('\x1a', mark) != std::string::npos;
}

}  // namespace

// Truncated files load what is there; closing writes it all back.
TEST(DamagedFiles, TruncatedListsLoadWhatIsThereAndLoseNothing) {
    TempDir dir;
    dir.write("spam.dat", "1@spam.example\r\n\tx\r\n0@host.exa");
    dir.write("white.dat", "a@x.example\r\nfriend@ho");
    FakeDialogs dialogs;
    Window w(dir);
    ASSERT_TRUE(w.form.FormCreate());
    EXPECT_EQ(w.form.Spam.Count(), 3);
    EXPECT_EQ(w.form.WhiteEntries.Count(), 2);
    EXPECT_TRUE(w.close());
    EXPECT_EQ(dir.read("spam.dat"), "1@spam.example\r\n\tx\r\n0@host.exa\r\n");
    EXPECT_EQ(dir.read("white.dat"), "a@x.example\r\nfriend@ho\r\n");
}

// Random bytes either load completely (and are written back so that they
// load to the same lists) or are not loaded and then kept as they are.
TEST(DamagedFiles, BinaryListsAreKeptOrWrittenBackWhole) {
    for (unsigned seed = 1; seed <= 20; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        TempDir dir;
        const bool mark = seed % 2 == 0;
        const std::string spam = Binary(3000, seed, mark), white = Binary(3000, seed + 1000, mark);
        dir.write("spam.dat", spam);
        dir.write("white.dat", white);
        FakeDialogs dialogs;
        Window w(dir);
        // Start-up reports a black list it cannot load, and loads the white list all the same.
        mg::SpamTree probe;
        bool spamLoads = true;
        try {
            probe.LoadFromBytes(spam);
        } catch (const Exception& e) {
            spamLoads = false;
            dialogs.ExpectMessage(e.Message + ".", Answer::Ok);
        }
        if (mg::TextLines(white).empty()) dialogs.ExpectMessage(kEmptyQuestion, Answer::No);
        ASSERT_TRUE(w.form.FormCreate());
        const bool spamKept = !spamLoads || DataAfterEndMark(spam);
        const bool whiteKept = DataAfterEndMark(white);
        if (spamKept) dialogs.ExpectMessage(KeptAside("spam"));
        if (whiteKept) dialogs.ExpectMessage(KeptAside("white"));
        EXPECT_TRUE(w.close());
        if (spamKept) {
            EXPECT_TRUE(dir.read("spam.dat") == spam);
        } else {
            mg::SpamTree again;
            again.LoadFromBytes(dir.read("spam.dat"));
            EXPECT_TRUE(again.SaveToBytes() == probe.SaveToBytes());
        }
        if (whiteKept) {
            EXPECT_TRUE(dir.read("white.dat") == white);
        } else {
            mg::WhiteList before, after;
            before.LoadFromBytes(white);
            after.LoadFromBytes(dir.read("white.dat"));
            EXPECT_TRUE(after.Entries() == before.Entries());
        }
    }
}

// Reading stops at the byte 26, the old end-of-file mark. What stands after
// it is not part of the list, but it is part of the file.
TEST(DamagedFiles, DataAfterTheEndOfFileMarkIsNotOverwritten) {
    TempDir dir;
    const std::string spam = "1@spam.example\r\n\tx\r\n\x1a" "0@host.example\r\n\tjohn\r\n";
    const std::string white = "a@x.example\r\n\x1a" "b@y.example\r\n";
    dir.write("spam.dat", spam);
    dir.write("white.dat", white);
    {
        FakeDialogs dialogs;
        Window w(dir);
        ASSERT_TRUE(w.form.FormCreate());
        EXPECT_EQ(w.form.Spam.Count(), 2);
        EXPECT_EQ(w.form.WhiteEntries.Count(), 1);
        dialogs.ExpectMessage(KeptAside("spam")).ExpectMessage(KeptAside("white"));
        EXPECT_TRUE(w.close());
    }
    EXPECT_EQ(dir.read("spam.dat"), spam);
    EXPECT_EQ(dir.read("white.dat"), white);
    EXPECT_EQ(dir.read("spam.new"), "1@spam.example\r\n\tx\r\n");
    EXPECT_EQ(dir.read("white.new"), "a@x.example\r\n");

    // A mark that only ends the file, as old editors leave it, is no damage.
    dir.write("spam.dat", kSpam + "\x1a");
    dir.write("white.dat", kWhite + "\x1a\x1a");
    {
        FakeDialogs dialogs;
        Window w(dir);
        ASSERT_TRUE(w.form.FormCreate());
        EXPECT_TRUE(w.close());
    }
    EXPECT_EQ(dir.read("spam.dat"), kSpam);
    EXPECT_EQ(dir.read("white.dat"), kWhite);
}

// A 10 MB line: too long for the black list's line buffer; a single (odd)
// entry of the white list, which is loaded and written back whole.
TEST(DamagedFiles, TenMegabyteLine) {
    TempDir dir;
    const std::string line(10 * 1024 * 1024, 'a');
    dir.write("spam.dat", kSpam + line + "\r\n");
    dir.write("white.dat", kWhite + line + "\r\n");
    FakeDialogs dialogs;
    dialogs.ExpectMessage("Line too long.", Answer::Ok);
    Window w(dir);
    ASSERT_TRUE(w.form.FormCreate());
    EXPECT_EQ(w.form.Spam.Count(), 4);
    EXPECT_EQ(w.form.White->count(), 3);
    dialogs.ExpectMessage(KeptAside("spam"));
    EXPECT_TRUE(w.close());
    EXPECT_TRUE(dir.read("spam.dat") == kSpam + line + "\r\n");
    EXPECT_TRUE(dir.read("white.dat") == "a@x.example\r\n" + line + "\r\nfriend@host.example\r\n");
}

// A black list that stops at a bad line leaves the white list in force: a
// white-listed sender on a black-listed server is neither marked as spam
// nor deleted by "Пометить все" and "Удалить".
TEST(DamagedFiles, ADamagedBlackListLeavesTheWhiteListInForce) {
    TempDir dir;
    dir.write("spam.dat", "1@ok.example\r\n" + std::string(5000, 'x') + "\r\n");
    dir.write("white.dat", "friend@ok.example\r\n");
    dir.write("MAILGROVE.INI", "[BIN]\r\nENABLED=0\r\n");
    FakeDialogs dialogs;
    dialogs.ExpectMessage("Line too long.", Answer::Ok);
    Window w(dir);
    ASSERT_TRUE(w.form.FormCreate());
    mgtest::ScriptedServer server(mgtest::pop3::Scan("joe", "secret", {Msg({"From: friend@ok.example"}, 10),
                                                              Msg({"From: other@ok.example"}, 10)}) +
                                  mgtest::pop3::Dele(2) + mgtest::pop3::Quit());
    w.form.editHost->setText(QString::fromStdString(server.host()));
    w.form.editPort->setText(QString::number(server.port()));
    w.form.editUser->setText(QStringLiteral("joe"));
    w.form.editPassword->setText(QStringLiteral("secret"));
    const auto click = [&w](QPushButton* button) {
        button->click();
        mgtest::Settle(w.form);
    };
    click(w.form.btnConnect);
    EXPECT_EQ(w.form.LineText(0).substr(0, 9), " <WHITE> ");
    click(w.form.btnCheckAll);
    dialogs.ExpectMessage("Удалить выделенные сообщения?", Answer::Ok);
    click(w.form.btnDelete);
    click(w.form.btnDisconnect);
    EXPECT_TRUE(server.finish()) << "only the second message is deleted";
}

// Mode 000: the files cannot be read. Root can read them all the same, so
// the test gives up root's file override for its own thread.
TEST(DamagedFiles, UnreadableListsAreKept) {
    TempDir dir;
    dir.write("spam.dat", kSpam);
    dir.write("white.dat", kWhite);
    ::chmod(dir.file("spam.dat").c_str(), 0);
    ::chmod(dir.file("white.dat").c_str(), 0);
    {
        WithoutFileOverride unprivileged;
        ASSERT_FALSE(Readable(dir.file("spam.dat"))) << "mode 000 cannot be simulated here";
        FakeDialogs dialogs;
        dialogs.ExpectMessage(kLoadError).ExpectMessage(kEmptyQuestion, Answer::No);
        Window w(dir);
        ASSERT_TRUE(w.form.FormCreate());
        EXPECT_EQ(w.form.Spam.Count(), 0);
        EXPECT_EQ(w.form.WhiteEntries.Count(), 0);
        dialogs.ExpectMessage(KeptAside("spam")).ExpectMessage(KeptAside("white"));
        EXPECT_TRUE(w.close());
    }
    ::chmod(dir.file("spam.dat").c_str(), 0644);
    ::chmod(dir.file("white.dat").c_str(), 0644);
    EXPECT_EQ(dir.read("spam.dat"), kSpam);
    EXPECT_EQ(dir.read("white.dat"), kWhite);
    EXPECT_FALSE(dir.exists("spam.bak"));
    EXPECT_FALSE(dir.exists("white.bak"));
}

TEST(DamagedFiles, DirectoryInPlaceOfTheBlackList) {
    TempDir dir;
    ::mkdir(dir.file("spam.dat").c_str(), 0755);
    dir.write("white.dat", kWhite);
    FakeDialogs dialogs;
    Window w(dir);
    ASSERT_TRUE(w.form.FormCreate());
    EXPECT_EQ(w.form.Spam.Count(), 0);
    dialogs.ExpectMessage(KeptAside("spam"));
    EXPECT_TRUE(w.close());
    struct stat st {};
    ASSERT_EQ(::stat(dir.file("spam.dat").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(dir.read("spam.new"), "");
    EXPECT_EQ(dir.read("white.dat"), kWhite);
}

// A file kept aside at one close is not overwritten at the next one, while
// the list file is still damaged.
TEST(DamagedFiles, ListKeptAsideSurvivesTheNextRun) {
    TempDir dir;
    const std::string damaged = "1@a.example\r\n\tone\r\n\t\t\ttoo deep\r\n";
    dir.write("spam.dat", damaged);
    dir.write("white.dat", kWhite);
    {
        FakeDialogs dialogs;
        dialogs.ExpectMessage("File load error.", Answer::Ok);
        Window w(dir);
        ASSERT_TRUE(w.form.FormCreate());
        // The user black-lists one more server in this run.
        w.form.Spam.AddUser(w.form.Spam.AddServer("1@new.example"), "u");
        dialogs.ExpectMessage(KeptAside("spam"));
        EXPECT_TRUE(w.close());
    }
    const std::string kept = "1@a.example\r\n\tone\r\n1@new.example\r\n\tu\r\n";
    ASSERT_EQ(dir.read("spam.new"), kept);
    {
        FakeDialogs dialogs;
        dialogs.ExpectMessage("File load error.", Answer::Ok);
        Window w(dir);
        ASSERT_TRUE(w.form.FormCreate());
        dialogs.ExpectMessage("Файл spam.dat не был загружен при запуске и оставлен без изменений. Список сохранен в файл spam.new.2");
        EXPECT_TRUE(w.close());
    }
    EXPECT_EQ(dir.read("spam.dat"), damaged);
    EXPECT_EQ(dir.read("spam.new"), kept);
    EXPECT_EQ(dir.read("spam.new.2"), "1@a.example\r\n\tone\r\n");
}

// A full disk, then a read-only program directory, at close: every write
// fails; the window stays open with the failure shown, and the files keep
// their content. Once writing works again, closing succeeds.
TEST(DamagedFiles, FullDiskOrReadOnlyDirectoryAtClose) {
    TempDir dir;
    dir.write("spam.dat", kSpam);
    dir.write("white.dat", kWhite);
    FakeDialogs dialogs;
    Window w(dir);
    ASSERT_TRUE(w.form.FormCreate());
    w.form.Spam.AddUser(w.form.Spam.AddServer("1@new.example"), "u");
    w.form.WhiteEntries.AddUnique("b@y.example");
    const std::string ini = dir.file("MAILGROVE.INI");
    for (int error : {ENOSPC, EROFS}) {
        SCOPED_TRACE(error);
        // Every file, the settings too.
        mg::SetWriteFaultForTest([](const std::string&) { return true; }, error);
        dialogs.ExpectMessage("Unable to write to " + ini + ".", Answer::Ok);
        EXPECT_FALSE(w.close());
        // The lists only.
        mg::SetWriteFaultForTest([&ini](const std::string& path) { return path != ini; }, error);
        dialogs.ExpectMessage("Ошибка сохранения файла white.dat", Answer::Ok)
            .ExpectMessage(error == ENOSPC ? "Disk full." : "File access denied.", Answer::Ok);
        EXPECT_FALSE(w.close());
        EXPECT_TRUE(w.form.isVisible());
        EXPECT_EQ(dir.read("spam.dat"), kSpam);
        EXPECT_EQ(dir.read("white.dat"), kWhite);
    }
    mg::SetWriteFaultForTest(nullptr);
    EXPECT_TRUE(w.close());
    EXPECT_EQ(dir.read("spam.dat"), kSpam + "1@new.example\r\n\tu\r\n");
    EXPECT_EQ(dir.read("white.dat"), "a@x.example\r\nb@y.example\r\nfriend@host.example\r\n");
}

// A white list of 10 MB in short lines in no particular order loads in a
// time that grows with its size, not with its square.
TEST(DamagedFiles, LargeUnsortedWhiteListLoadsInLinearTime) {
    TempDir dir;
    std::mt19937 random(7);
    std::string white;
    while (white.size() < 10 * 1024 * 1024) white += std::to_string(random()) + "@x.example\r\n";
    dir.write("spam.dat", kSpam);
    dir.write("white.dat", white);
    FakeDialogs dialogs;
    Window w(dir);
    const double before = CpuSeconds();
    ASSERT_TRUE(w.form.FormCreate());
    EXPECT_LT(CpuSeconds() - before, 20.0) << "CPU seconds to load a 10 MB white list";
    EXPECT_GT(w.form.WhiteEntries.Count(), 400000);
}
