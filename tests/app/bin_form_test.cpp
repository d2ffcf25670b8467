// The bin dialog over three messages written by hand as the bin keeps them:
// the listing and the limits, removing and clearing with their
// confirmations, saving and opening a file, the main window's button.
#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QSpinBox>
#include <QTreeWidget>
#include <gtest/gtest.h>
#include <utime.h>

#include "app/BinForm.h"
#include "app_support.h"
#include "platform/files.h"
#include "platform/shell.h"

using mg::Answer;
using namespace mgtest;

namespace {

// Name, deletion date (also the file's time), the rest of the added field, the message.
const char* const kFiles[][4] = {
    {"1001.M1P1Q1.host:2,S", "Mon, 07 Dec 2026 09:00:00 +0300", "",
     "From: Ann <ann@a.example>\nSubject: Old news\n\nbody\n"},
    {"1002.M1P1Q2.host:2,S", "Wed, 09 Dec 2026 10:15:00 +0300", "",
     "From: bob@b.example\nSubject: =?utf-8?B?0J/RgNC40LLQtdGCINC40Lcg0LrQvtGA0LfQuNC90Ys=?=\n\nbody\n"},
    {"1003.M1P1Q3.host:2,S", "Tue, 08 Dec 2026 12:30:00 +0300", "; header-only=20480",
     "From: carol@c.example\nSubject: Big\n\n"},
};

QDateTime When(int i) { return QDateTime::fromString(QString::fromLatin1(kFiles[i][1]), Qt::RFC2822Date); }
std::string Kept(const TempDir& dir, int i) { return dir.file("deleted/cur/") + kFiles[i][0]; }

void WriteBin(const TempDir& dir) {
    for (const char* sub : {"tmp", "new", "cur"}) QDir().mkpath(QString::fromStdString(dir.file("deleted/") + sub));
    for (int i = 0; i < 3; ++i) {
        dir.write(std::string("deleted/cur/") + kFiles[i][0], std::string("X-Mailgrove-Deleted: ") + kFiles[i][1] +
                      "; mailbox=joe@pop.example; uidl=u" + std::to_string(i + 1) + kFiles[i][2] + "\n" + kFiles[i][3]);
        const utimbuf times{When(i).toSecsSinceEpoch(), When(i).toSecsSinceEpoch()};
        ::utime(Kept(dir, i).c_str(), &times);
    }
}

struct Bin {
    Bin()
        : form((WriteBin(dir), dir.write("MAILGROVE.INI", "[BIN]\nDAYS=12\n"), dir.file("deleted")),
               dir.file("MAILGROVE.INI")) {}
    void select(std::initializer_list<int> rows) {
        for (int r : rows) form.lvBin->topLevelItem(r)->setSelected(true);
    }
    TempDir dir;
    FakeDialogs dialogs;
    TBinForm form;
};

// Open, save, remove, clear.
std::vector<bool> Enabled(const TBinForm& f) {
    return {f.btnOpen->isEnabled(), f.btnSaveAs->isEnabled(), f.btnRemove->isEnabled(), f.btnClear->isEnabled()};
}

TEST(Bin, ListsNewestFirstAndKeepsItsLimits) {
    Bin bin;
    const std::pair<int, const char*> expected[] = {{1, "bob@b.example | Привет из корзины | 1 Кб"},
                                                    {2, "carol@c.example | Big | 20 Кб (только заголовок)"},
                                                    {0, "ann@a.example | Old news | 1 Кб"}};
    ASSERT_EQ(bin.form.lvBin->topLevelItemCount(), 3);
    for (int r = 0; r < 3; ++r) {
        QStringList cells;
        for (int c = 0; c < 5; ++c) cells << bin.form.lvBin->topLevelItem(r)->text(c);
        EXPECT_EQ(cells.join(QStringLiteral(" | ")).toStdString(),
                  When(expected[r].first).toLocalTime().toString(QStringLiteral("dd.MM.yyyy HH:mm")).toStdString() +
                      " | joe@pop.example | " + expected[r].second);
    }
    EXPECT_EQ(Enabled(bin.form), (std::vector<bool>{false, false, false, true})) << "nothing selected";
    bin.select({0, 1});
    EXPECT_EQ(Enabled(bin.form), (std::vector<bool>{true, false, true, true})) << "saving takes one message";

    EXPECT_EQ(bin.form.spinDays->value(), 12);
    EXPECT_EQ(bin.form.spinMaxSize->value(), 10);
    bin.form.spinDays->setValue(7);
    bin.form.spinMaxSize->setValue(3);
    const mg::BinSettings written = mg::BinSettings::Read(bin.dir.file("MAILGROVE.INI"));
    EXPECT_EQ(written.RetentionDays, 7);
    EXPECT_EQ(written.MaxBytes, 3 * 1024 * 1024);

    TempDir none;
    EXPECT_EQ(Enabled(TBinForm(none.file("deleted"), none.file("MAILGROVE.INI"))), std::vector<bool>(4, false));
}

TEST(Bin, RemovesForGoodOnlyWhenConfirmed) {
    const char* const selected = "Удалить навсегда выбранные сообщения (%zu)?";
    const char* const all = "Очистить корзину: удалить навсегда все сообщения (3)?";
    const struct {
        std::initializer_list<int> rows;
        QPushButton* TBinForm::*button;
        Answer answer;
        std::vector<bool> kept;  // by file of kFiles
    } cases[] = {
        {{0}, &TBinForm::btnRemove, Answer::No, {true, true, true}},
        {{0, 2}, &TBinForm::btnRemove, Answer::Yes, {false, false, true}},
        {{}, &TBinForm::btnClear, Answer::No, {true, true, true}},
        {{}, &TBinForm::btnClear, Answer::Yes, {false, false, false}},
    };
    for (const auto& c : cases) {
        const std::string question = c.rows.size() ? mg::Format(selected, c.rows.size()) : all;
        SCOPED_TRACE(question + (c.answer == Answer::Yes ? " Yes" : " No"));
        Bin bin;
        bin.dialogs.ExpectMessage(question, mg::Icon::Confirmation, mg::Buttons::YesNo, c.answer);
        bin.select(c.rows);
        (bin.form.*c.button)->click();
        std::vector<bool> kept;
        for (int i = 0; i < 3; ++i) kept.push_back(mg::FileExists(Kept(bin.dir, i)));
        EXPECT_EQ(kept, c.kept);
        EXPECT_EQ(bin.form.lvBin->topLevelItemCount(), std::count(c.kept.begin(), c.kept.end(), true));
    }
}

TEST(Bin, SavesAndOpensTheFileAsKept) {
    Bin bin;
    bin.select({0});
    bin.dialogs.ExpectSaveFile(bin.dir.file("copy.eml"));
    bin.form.btnSaveAs->click();
    EXPECT_EQ(bin.dir.read("copy.eml"), bin.dir.read(std::string("deleted/cur/") + kFiles[1][0]));
    EXPECT_EQ(bin.dialogs.shown().back().caption, QDir::homePath().toStdString() + "/Привет из корзины.eml");

    std::vector<std::string> requests;
    mg::SetShellForTest([&](const std::string& r) { return requests.push_back(r), true; });
    bin.form.btnOpen->click();
    mg::SetShellForTest(nullptr);
    EXPECT_EQ(requests, std::vector<std::string>{"message " + Kept(bin.dir, 1)});
}

TEST(Bin, TheMainWindowOpensTheBinOfItsDataDirectory) {
    ScanWindow w("", "x@y.example\r\n");
    WriteBin(w.dir);
    int rows = -1;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        if (auto* bin = qobject_cast<TBinForm*>(QApplication::activeModalWidget())) {
            rows = bin->lvBin->topLevelItemCount();
            bin->btnClose->click();
        }
    });
    closer.start(5);
    w.form.btnBin->click();
    EXPECT_EQ(rows, 3);
}

}  // namespace
