// Start-up and close of the main window against temporary program
// directories and settings files.
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QStatusBar>
#include <QTabWidget>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "app/ListPages.h"
#include "app/Pop3Form.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "support/fake_dialogs.h"
#include "support/temp_dir.h"

using mg::Answer;
using mg::Buttons;
using mg::Icon;
using mgtest::FakeDialogs;
using mgtest::TempDir;

namespace {

const char* kLoadError = "Ошибка загрузки файла white.dat";
const char* kEmptyQuestion = "Файл white.dat пуст! Выйти из программы?";

struct Window {
    explicit Window(const TempDir& dir) : form(dir.path(), dir.file("config/MAILGROVE.INI")) {
        ::mkdir(dir.file("config").c_str(), 0700);
    }
    TPop3Form form;
};

std::vector<std::string> Items(QListWidget* list) {
    std::vector<std::string> out;
    for (int i = 0; i < list->count(); ++i) {
        std::string text = list->item(i)->text().toStdString();
        if (list->item(i)->data(Qt::CheckStateRole).isValid())
            text = (list->item(i)->checkState() == Qt::Checked ? "[x] " : "[ ] ") + text;
        out.push_back(text);
    }
    return out;
}

}  // namespace

// A first start (no list file at all) raises no alarm: empty lists, and the
// status bar says where they will be kept.
TEST(Spine, FirstRunCreatesEmptyListsAndPrivateSettings) {
    TempDir dir;
    FakeDialogs dialogs;  // no box expected
    Window w(dir);
    ASSERT_TRUE(w.form.FormCreate());
    EXPECT_EQ(w.form.StatusBar->currentMessage().toStdString(),
              "Первый запуск: черный и белый списки будут храниться в " + dir.path());
    EXPECT_EQ(w.form.White->count(), 0);
    EXPECT_EQ(w.form.lbSpamServers->count(), 0);
    EXPECT_EQ(w.form.windowTitle().toStdString(), "POP3 просмотр");
    EXPECT_EQ(w.form.size(), QSize(762, 546));
    ASSERT_EQ(w.form.pgPop3->count(), 3);
    EXPECT_EQ(w.form.pgPop3->tabText(0).toStdString(), "Соединение");
    EXPECT_EQ(w.form.pgPop3->tabText(1).toStdString(), "\"Черный список\"");
    EXPECT_EQ(w.form.pgPop3->tabText(2).toStdString(), "\"Белый список\"");
    EXPECT_EQ(w.form.editPort->text().toStdString(), "110");
    EXPECT_EQ(w.form.labSpamAllCount->text().toStdString(), "0");
    w.form.editHost->setText(QStringLiteral("pop.example"));
    w.form.editPassword->setText(QString::fromUtf8("секрет"));
    w.form.show();
    EXPECT_TRUE(w.form.close());
    EXPECT_EQ(dir.read("spam.dat"), "");
    EXPECT_TRUE(dir.exists("spam.dat"));
    EXPECT_EQ(dir.read("white.dat"), "");
    EXPECT_TRUE(dir.exists("white.dat"));
    EXPECT_FALSE(dir.exists("spam.bak"));
    EXPECT_EQ(dir.read("config/MAILGROVE.INI"),
              "[CONNECT]\r\nHOST=pop.example\r\nPORT=110\r\nUSER=\r\nPASSWORD=" + mg::A("секрет") + "\r\n");
    struct stat st {};
    ASSERT_EQ(::stat(dir.file("config/MAILGROVE.INI").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// A white list lost since the last run (the black list is still there)
// still gets the warning and the question.
TEST(Spine, AMissingWhiteListBesideABlackListIsStillAnAlarm) {
    TempDir dir;
    dir.write("spam.dat", "1@a.example\r\n\tx\r\n");
    FakeDialogs dialogs;
    dialogs.ExpectMessage(kLoadError, Icon::None, Buttons::Ok, Answer::Ok)
        .ExpectMessage(kEmptyQuestion, Icon::Information, Buttons::YesNo, Answer::No);
    Window w(dir);
    ASSERT_TRUE(w.form.FormCreate());
}

TEST(Spine, YesToTheEmptyListQuestionWritesNothing) {
    TempDir dir;
    dir.write("white.dat", "");
    dir.write("spam.dat", "1@a.example\r\n\tx\r\n");
    FakeDialogs dialogs;
    dialogs.ExpectMessage(kEmptyQuestion, Answer::Yes);
    Window w(dir);
    EXPECT_FALSE(w.form.FormCreate());
    EXPECT_FALSE(dir.exists("config/MAILGROVE.INI"));
    EXPECT_FALSE(dir.exists("white.bak"));
    EXPECT_EQ(dir.read("spam.bak"), "1@a.example\r\n\tx\r\n");
}

TEST(Spine, LoadsBacksUpShowsAndWritesBack) {
    TempDir dir;
    ::mkdir(dir.file("config").c_str(), 0700);
    dir.write("config/MAILGROVE.INI", "[Connect]\r\nhost = mail.example\r\nPORT=\r\nUSER=\"me\"\r\n");
    const std::string spam = "1@spam.example\r\n\tinfo\r\n0@Host.example\r\n\tjohn\r\n\tadam\r\n";
    dir.write("spam.dat", spam);
    dir.write("white.dat", "b@x.example\nA@x.example\r\n");
    FakeDialogs dialogs;
    Window w(dir);
    ASSERT_TRUE(w.form.FormCreate());
    EXPECT_EQ(w.form.editHost->text().toStdString(), "mail.example");
    EXPECT_EQ(w.form.editPort->text().toStdString(), "") << "a key present with an empty value";
    EXPECT_EQ(w.form.editUser->text().toStdString(), "me");
    EXPECT_EQ(dir.read("spam.bak"), spam);
    EXPECT_EQ(dir.read("white.bak"), "b@x.example\nA@x.example\r\n");
    EXPECT_EQ(Items(w.form.lbSpamServers), (std::vector<std::string>{"[ ] @Host.example", "[x] @spam.example"}));
    EXPECT_EQ(w.form.labSpamAllCount->text().toStdString(), "2");
    EXPECT_EQ(Items(w.form.White), (std::vector<std::string>{"A@x.example", "b@x.example"}));

    // Showing the black-list page with a server selected lists its users, sorted.
    w.form.lbSpamServers->setCurrentRow(0);
    w.form.pgPop3->setCurrentWidget(w.form.tsSpam);
    EXPECT_EQ(Items(w.form.lbSpamUsers), (std::vector<std::string>{"adam", "john"}));

    // Flipping the whole-server flag by the check box.
    w.form.lbSpamServers->item(0)->setCheckState(Qt::Checked);
    EXPECT_EQ(w.form.Spam.Text(3), "1@Host.example");
    w.form.lbSpamServers->item(1)->setCheckState(Qt::Unchecked);
    EXPECT_EQ(w.form.Spam.Text(1), "0@spam.example");
    w.form.Pages().lbSpamServersClick();
    EXPECT_EQ(Items(w.form.lbSpamUsers), (std::vector<std::string>{"info"}));

    w.form.show();
    EXPECT_TRUE(w.form.close());
    EXPECT_EQ(dir.read("spam.dat"), "0@spam.example\r\n\tinfo\r\n1@Host.example\r\n\tjohn\r\n\tadam\r\n");
    EXPECT_EQ(dir.read("white.dat"), "A@x.example\r\nb@x.example\r\n");
    EXPECT_EQ(dir.read("config/MAILGROVE.INI"),
              "[Connect]\r\nHOST=mail.example\r\nPORT=\r\nUSER=me\r\nPASSWORD=\r\n");
}

TEST(Spine, AListThatFailedToLoadIsNeverOverwritten) {
    TempDir dir;
    const std::string spam = "1@a.example\r\n\tone\r\n\t\t\ttoo deep\r\n0@b.example\r\n\ttwo\r\n";
    dir.write("spam.dat", spam);
    dir.write("white.dat", "keep@x.example\r\n");
    FakeDialogs dialogs;
    // The error is reported; the white list loads all the same.
    dialogs.ExpectMessage("File load error.", Icon::Error, Buttons::Ok, Answer::Ok);
    Window w(dir);
    ASSERT_TRUE(w.form.FormCreate());
    EXPECT_EQ(w.form.Spam.Count(), 2);
    EXPECT_EQ(Items(w.form.White), (std::vector<std::string>{"keep@x.example"}));
    EXPECT_EQ(Items(w.form.lbSpamServers), (std::vector<std::string>{"[x] @a.example"}));
    dialogs.ExpectMessage("Файл spam.dat не был загружен при запуске и оставлен без изменений. "
                          "Список сохранен в файл spam.new");
    w.form.show();
    EXPECT_TRUE(w.form.close());
    EXPECT_EQ(dir.read("spam.dat"), spam);
    EXPECT_EQ(dir.read("white.dat"), "keep@x.example\r\n");
    EXPECT_EQ(dir.read("spam.new"), "1@a.example\r\n\tone\r\n");
    EXPECT_FALSE(dir.exists("white.new"));
}

TEST(Spine, UnreadableListFilesAreKept) {
    TempDir dir;
    ::mkdir(dir.file("white.dat").c_str(), 0755);  // a directory where the file should be
    dir.write("spam.dat", "1@a.example\r\n\tx\r\n");
    ::chmod(dir.file("spam.dat").c_str(), 0);
    const bool root = ::geteuid() == 0;  // root reads a mode-000 file all the same
    FakeDialogs dialogs;
    dialogs.ExpectMessage(kLoadError).ExpectMessage(kEmptyQuestion, Answer::No);
    Window w(dir);
    ASSERT_TRUE(w.form.FormCreate());
    EXPECT_EQ(w.form.Spam.Count(), root ? 2 : 0);
    if (!root)
        dialogs.ExpectMessage("Файл spam.dat не был загружен при запуске и оставлен без изменений. "
                              "Список сохранен в файл spam.new");
    dialogs.ExpectMessage("Файл white.dat не был загружен при запуске и оставлен без изменений. "
                          "Список сохранен в файл white.new");
    w.form.show();
    EXPECT_TRUE(w.form.close());
    ::chmod(dir.file("spam.dat").c_str(), 0644);
    EXPECT_EQ(dir.read("spam.dat"), "1@a.example\r\n\tx\r\n");
    struct stat st {};
    EXPECT_EQ(::stat(dir.file("white.dat").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
}

TEST(Spine, FailedCloseKeepsTheWindowOpenAndCanBeRetried) {
    TempDir dir;
    dir.write("white.dat", "a@x.example\r\n");
    dir.write("spam.dat", "0@b.example\r\n\tu\r\n");
    FakeDialogs dialogs;
    TPop3Form form(dir.path(), dir.file("no-such-dir/MAILGROVE.INI"));
    ASSERT_TRUE(form.FormCreate());
    form.show();
    dialogs.ExpectMessage("Unable to write to " + dir.file("no-such-dir/MAILGROVE.INI") + ".", Icon::Error,
                          Buttons::Ok, Answer::Ok);
    EXPECT_FALSE(form.close());
    EXPECT_TRUE(form.isVisible());
    ::mkdir(dir.file("no-such-dir").c_str(), 0700);

    // Creating white.dat fails: its box, then the I/O error; nothing lost.
    mg::SetWriteFaultForTest([&dir](const std::string& path) { return path == dir.file("white.dat"); });
    dialogs.ExpectMessage("Ошибка сохранения файла white.dat", Icon::None, Buttons::Ok, Answer::Ok)
        .ExpectMessage("Disk full.", Icon::Error, Buttons::Ok, Answer::Ok);
    EXPECT_FALSE(form.close());
    mg::SetWriteFaultForTest(nullptr);
    EXPECT_EQ(dir.read("white.dat"), "a@x.example\r\n");
    EXPECT_TRUE(form.close());
}

TEST(Spine, ImportAddsNewAddressesOnly) {
    TempDir dir;
    dir.write("white.dat", "x@y.example\r\n");
    dir.write("book.txt", "Ivan <Ivan@Host.Example>, X@Y.example; z\r\n\"Petr\",\"petr@mail.example\"\n@server.example user@localhost\r\n");
    FakeDialogs dialogs;
    Window w(dir);
    ASSERT_TRUE(w.form.FormCreate());
    dialogs.ExpectOpenFile(std::nullopt);
    w.form.btnImport->click();
    EXPECT_EQ(w.form.White->count(), 1);
    dialogs.ExpectOpenFile(dir.file("book.txt"));
    w.form.btnImport->click();
    EXPECT_EQ(Items(w.form.White),
              (std::vector<std::string>{"\"petr@mail.example\"", "Ivan@Host.Example", "x@y.example"}));
    EXPECT_EQ(dialogs.shown().back().text, "Текстовые файлы|*.txt|Comma delimited files|*.csv|Все файлы|*.*");
    dialogs.ExpectOpenFile(dir.file("missing.txt")).ExpectMessage("File not found.", Icon::Error, Buttons::Ok,
                                                                  Answer::Ok);
    w.form.btnImport->click();
    EXPECT_EQ(w.form.White->count(), 3);
}

TEST(Spine, ServerEntryWithoutItsNodeReportsInvalidIndex) {
    TempDir dir;
    dir.write("white.dat", "a@x.example\r\n");
    dir.write("spam.dat", "x@odd.example\r\n\tu\r\n");  // flag neither "1" nor "0"
    FakeDialogs dialogs;
    Window w(dir);
    ASSERT_TRUE(w.form.FormCreate());
    ASSERT_EQ(Items(w.form.lbSpamServers), (std::vector<std::string>{"[ ] @odd.example"}));
    dialogs.ExpectMessage("Invalid outline index.", Icon::Error, Buttons::Ok, Answer::Ok);
    w.form.lbSpamServers->setCurrentRow(0);
    EXPECT_EQ(w.form.lbSpamUsers->count(), 0);
    dialogs.ExpectMessage("Invalid outline index.", Icon::Error, Buttons::Ok, Answer::Ok);
    w.form.lbSpamServers->item(0)->setCheckState(Qt::Checked);
    EXPECT_EQ(w.form.Spam.Text(1), "x@odd.example");
}

// A copy that runs read-only says so once, and writes no list file: what it
// changed goes beside.
TEST(Spine, AReadOnlyCopyKeepsItsChangesAside) {
    TempDir dir;
    dir.write("white.dat", "a@x.example\r\n");
    FakeDialogs dialogs;
    dialogs.ExpectMessage("Каталог списков " + dir.path() +
                              " занят другой копией программы, которая не отвечает, или его нельзя заблокировать. "
                              "Программа работает только для чтения: файлы spam.dat, white.dat и MAILGROVE.INI не "
                              "будут перезаписаны, измененные списки будут сохранены в файлы .new.",
                          Icon::Warning, Buttons::Ok, Answer::Ok);
    Window w(dir);
    w.form.SetReadOnly();
    ASSERT_TRUE(w.form.FormCreate());
    EXPECT_EQ(w.form.StatusBar->currentMessage().toStdString(),
              "Только чтение: файлы списков в " + dir.path() + " не будут перезаписаны");
    w.form.WhiteEntries.Insert("b@x.example");
    dialogs.ExpectMessage("Файл white.dat не перезаписан: программа работает только для чтения. "
                          "Список сохранен в файл white.new");
    w.form.show();
    EXPECT_TRUE(w.form.close());
    EXPECT_EQ(dir.read("white.dat"), "a@x.example\r\n");
    EXPECT_EQ(dir.read("white.new"), "a@x.example\r\nb@x.example\r\n");
    EXPECT_FALSE(dir.exists("spam.dat") || dir.exists("spam.new") || dir.exists("white.bak"));
    EXPECT_FALSE(dir.exists("MAILGROVE.INI")) << "nor the settings file";
}
