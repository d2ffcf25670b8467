// The list editing commands, the details dialog, the tray icon and the
// outside links of the main window.
#include <QCoreApplication>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTimer>
#include <gtest/gtest.h>

#include "app/SummaryForm.h"
#include "app_support.h"
#include "lists/SpamTree.h"
#include "lists/WhiteList.h"
#include "platform/shell.h"
#include "pop3/VantelPop3.h"

using mg::A;
using mg::Answer;
using mg::Buttons;
using mg::Icon;
using namespace mgtest;

namespace {

std::string Tree(const mg::SpamTree& t) {
    std::string out;
    for (int n = 1; n <= t.Count(); ++n) out += std::string(static_cast<size_t>(t.Depth(n) - 1), '\t') + t.Text(n) + "|";
    return out;
}

std::vector<std::string> Rows(QListWidget* list) {
    std::vector<std::string> out;
    for (int i = 0; i < list->count(); ++i) {
        std::string text = list->item(i)->text().toStdString();
        if (list->item(i)->data(Qt::CheckStateRole).isValid())
            text = (list->item(i)->checkState() == Qt::Checked ? "[x] " : "[ ] ") + text;
        out.push_back(text);
    }
    return out;
}

// Scans `box` and leaves the connection open; the script continues with `then`.
struct Scanned : ScanWindow {
    Scanned(const std::string& spam, const std::string& white, const std::vector<pop3::Message>& box,
            const Script& then)
        : ScanWindow(spam, white), server(pop3::Scan("joe", "secret", box) + then), messages(box) {
        pointAt(server);
        click(form.btnConnect);
    }
    Script summary(int n) const { return pop3::Summary(n, messages[static_cast<size_t>(n - 1)]); }
    ScriptedServer server;
    std::vector<pop3::Message> messages;
};

std::vector<pop3::Message> FromAll(const std::vector<std::string>& senders) {
    std::vector<pop3::Message> box;
    for (const auto& s : senders) box.push_back(Msg({"From: " + s, "Subject: s"}, 100));
    return box;
}

Script Summaries(const std::vector<pop3::Message>& box, std::vector<int> numbers) {
    Script s;
    for (int n : numbers) s = s + pop3::Summary(n, box[static_cast<size_t>(n - 1)]);
    return s;
}

}  // namespace

TEST(SpamAdd, TwoLinesFromOneNewServerMakeOneEntryWithTwoUsers) {
    const auto box = FromAll({"A <a@New.example>", "b@new.example"});
    Scanned w("", "x@y.example\r\n", box, Summaries(box, {1, 2}) + pop3::Quit());
    w.form.SetLineChecked(0, true);
    w.form.SetLineChecked(1, true);
    w.dialogs.ExpectMessage("Занести в СПАМ адрес a@new.example", Icon::Confirmation, Buttons::YesNoCancelYesToAll,
                            Answer::Yes)
        .ExpectMessage("Применить ко всем адресам с этого сервера?", Icon::Confirmation,
                       Buttons::YesNoCancelNoToAllYesToAll, Answer::Yes)
        .ExpectMessage("Занести в СПАМ адрес b@new.example", Answer::Yes);
    w.click(w.form.btnSpamAdd);
    EXPECT_EQ(Tree(w.form.Spam), "1@new.example|\ta|\tb|");
    EXPECT_EQ(Rows(w.form.lbSpamServers), (std::vector<std::string>{"[x] @new.example"}));
    EXPECT_EQ(w.form.labSpamAllCount->text().toStdString(), "1");
    EXPECT_EQ(w.line(0), Marked(" <SPAM>  ", "a@new.example", "s"));
    EXPECT_EQ(w.line(1), Marked(" <SPAM>  ", "b@new.example", "s"));

    // A second run skips spam lines without fetching anything.
    w.click(w.form.btnSpamAdd);

    // The lists written at close load back to the same lists.
    w.form.show();
    EXPECT_TRUE(w.close());
    mg::SpamTree back;
    back.LoadFromBytes(w.dir.read("spam.dat"));
    EXPECT_EQ(Tree(back), Tree(w.form.Spam));
    w.server.finish();
}

TEST(SpamAdd, CancelOnTheThirdOfFiveKeepsTheRestAndRefreshesTheCount) {
    const auto box = FromAll({"a@one.example", "b@two.example", "c@three.example", "d@four.example", "e@five.example"});
    Scanned w("", "x@y.example\r\n", box, Summaries(box, {1, 2, 3}) + pop3::Quit());
    for (int i = 0; i < 5; ++i) w.form.SetLineChecked(i, true);
    w.dialogs.ExpectMessage("Занести в СПАМ адрес a@one.example", Answer::Yes)
        .ExpectMessage("Применить ко всем адресам с этого сервера?", Answer::No)
        .ExpectMessage("Занести в СПАМ адрес b@two.example", Answer::Yes)
        .ExpectMessage("Применить ко всем адресам с этого сервера?", Answer::Yes)
        .ExpectMessage("Занести в СПАМ адрес c@three.example", Answer::Cancel);
    w.click(w.form.btnSpamAdd);
    EXPECT_EQ(Tree(w.form.Spam), "0@one.example|\ta|1@two.example|\tb|");
    EXPECT_EQ(w.form.labSpamAllCount->text().toStdString(), "2");
    for (int i = 2; i < 5; ++i) EXPECT_EQ(w.line(i).substr(0, 9), mg::Format("%6d ", 1) + A("Кб")) << i;
    w.click(w.form.btnDisconnect);
    w.server.finish();
}

TEST(SpamAdd, AnswersForAllAreRememberedForTheRun) {
    // Line 2 is spam already and is skipped unfetched; line 4 repeats line 1's sender.
    const auto box = FromAll({"a@one.example", "b@two.example", "c@three.example", "a@one.example", "undisclosed"});
    Scanned w("0@two.example\r\n\tb\r\n", "x@y.example\r\n", box, Summaries(box, {1, 3, 4, 5}) + pop3::Quit());
    for (int i = 0; i < 5; ++i) w.form.SetLineChecked(i, true);
    w.dialogs.ExpectMessage("Занести в СПАМ адрес a@one.example", Answer::YesToAll)
        .ExpectMessage("Применить ко всем адресам с этого сервера?", Answer::NoToAll)
        .ExpectMessage("Адрес уже занесен в СПАМ!", Icon::Information, Buttons::Ok, Answer::Ok);
    w.click(w.form.btnSpamAdd);
    // A sender without "@": its whole address is the server key, its user part empty.
    EXPECT_EQ(Tree(w.form.Spam), "0@two.example|\tb|0@one.example|\ta|0@three.example|\tc|0undisclosed|\t|");
    EXPECT_EQ(Rows(w.form.lbSpamServers), (std::vector<std::string>{"[ ] @one.example", "[ ] @three.example",
                                                                     "[ ] @two.example", "[ ] undisclosed"}));
    EXPECT_EQ(w.form.labSpamAllCount->text().toStdString(), "4");
    EXPECT_EQ(w.line(3).substr(0, 9), mg::Format("%6d ", 1) + A("Кб")) << "an address already listed is not marked again";
    w.click(w.form.btnDisconnect);
    w.server.finish();
}

TEST(SpamDelete, ServerGoesWithItsLastUser) {
    ScanWindow w("1@a.example\r\n\tu1\r\n\tu2\r\n0@b.example\r\n\tv\r\n", "x@y.example\r\n");
    w.form.lbSpamServers->setCurrentRow(0);
    w.form.lbSpamUsers->setCurrentRow(0);
    w.dialogs.ExpectMessage("Удалить адрес из списка?", Icon::Confirmation, Buttons::OkCancel, Answer::Cancel);
    w.click(w.form.btnSpamDelete);
    EXPECT_EQ(w.form.Spam.Count(), 5);
    for (const char* user : {"u1", "u2"}) {
        (void)user;
        w.form.lbSpamUsers->setCurrentRow(0);
        w.dialogs.ExpectMessage("Удалить адрес из списка?", Answer::Ok);
        w.click(w.form.btnSpamDelete);
    }
    EXPECT_EQ(Tree(w.form.Spam), "0@b.example|\tv|");
    EXPECT_EQ(Rows(w.form.lbSpamServers), (std::vector<std::string>{"[ ] @b.example"}));
    EXPECT_EQ(w.form.labSpamAllCount->text().toStdString(), "1");
}

TEST(WhiteCommands, AddFromALineAndByHand) {
    const auto box = FromAll({"Mary <mary@host.example>", "bob@free.example", "ann@free.example"});
    Scanned w("0@host.example\r\n\tjohn\r\n", "Friend@Known.example\r\n", box,
              Summaries(box, {1, 2, 3}) + pop3::Quit());
    // A black-listed server: the full address, no question.
    w.form.lbList->setCurrentRow(0);
    w.click(w.form.btnWhite);
    // Otherwise the server question.
    w.form.lbList->setCurrentRow(1);
    w.dialogs.ExpectMessage("Применить ко всем адресам с этого сервера?", Icon::Confirmation, Buttons::YesNoCancel,
                            Answer::Yes);
    w.click(w.form.btnWhite);
    EXPECT_EQ(Rows(w.form.White),
              (std::vector<std::string>{"@free.example", "Friend@Known.example", "mary@host.example"}));
    EXPECT_EQ(w.line(0), Marked(" <WHITE> ", "mary@host.example", "s"));
    EXPECT_FALSE(w.form.LineEnabled(0));
    EXPECT_FALSE(w.form.LineEnabled(1));
    // Already trusted through its server.
    w.form.lbList->setCurrentRow(2);
    w.dialogs.ExpectMessage("Адрес уже занесен в список!", Icon::Information, Buttons::Yes, Answer::Yes);
    w.click(w.form.btnWhite);
    // Disabled lines do nothing.
    w.form.lbList->setCurrentRow(0);
    w.click(w.form.btnWhite);

    // By hand: exactly as typed; letter case does not make a new entry.
    w.dialogs.ExpectInput("Добавить в <белый список>", std::string("FRIEND@known.EXAMPLE"))
        .ExpectMessage("Адрес уже занесен в список!", Answer::Yes)
        .ExpectInput("Добавить в <белый список>", std::string(" New@Host.example"))
        .ExpectInput("Добавить в <белый список>", std::string("no-at-sign"))
        .ExpectInput("Добавить в <белый список>", std::nullopt);
    for (int i = 0; i < 4; ++i) w.click(w.form.btnWhiteAdd);
    EXPECT_EQ(Rows(w.form.White), (std::vector<std::string>{" New@Host.example", "@free.example",
                                                             "Friend@Known.example", "mary@host.example"}));
    // Removing the selected entry.
    w.form.White->setCurrentRow(0);
    w.dialogs.ExpectMessage("Удалить адрес из списка?", Answer::Ok);
    w.click(w.form.btnWhiteDelete);
    EXPECT_EQ(w.form.White->count(), 3);
    w.click(w.form.btnDisconnect);
    w.server.finish();
}

TEST(CheckAll, LeavesTrustedAndDeletedLinesAlone) {
    const auto box = FromAll({"a@ok.example", "b@trusted.example", "c@ok.example"});
    Scanned w("", "@trusted.example\r\n", box, pop3::Dele(3) + pop3::Quit());
    w.form.SetLineChecked(2, true);
    w.dialogs.ExpectMessage("Удалить выделенные сообщения?", Answer::Ok);
    w.click(w.form.btnDelete);
    w.click(w.form.btnCheckAll);
    EXPECT_TRUE(w.form.LineChecked(0));
    EXPECT_FALSE(w.form.LineChecked(1));
    EXPECT_FALSE(w.form.LineEnabled(1));
    EXPECT_EQ(w.line(2), A("<УДАЛЕНО>"));
    w.click(w.form.btnDisconnect);
    w.server.finish();
}

TEST(Details, ShowsTheHeaderAsReceivedForEnabledLinesOnly) {
    const std::vector<pop3::Message> box = {
        Msg({"From: a@spam.example", "Subject: =?koi8-r?B?8NLJ18XU?=", " folded"}, 100),
        Msg({"From: b@trusted.example"}, 100)};
    Scanned w("1@spam.example\r\n\tx\r\n", "@trusted.example\r\n", box, Summaries(box, {1, 1}) + pop3::Quit());
    ClosingDetails details(w.form);
    for (int round = 0; round < 2; ++round) {
        w.form.lbList->setCurrentRow(0);
        w.click(w.form.btnSummary);
        EXPECT_FALSE(details.dialog.isVisible());
        EXPECT_EQ(details.shown, (std::vector<std::string>{"From: a@spam.example", "Subject: =?koi8-r?B?8NLJ18XU?=",
                                                           " folded", "", "."}));
    }
    EXPECT_EQ(details.count, 2) << "fetched and shown twice";
    // A trusted line: nothing is fetched, nothing shown.
    w.form.lbList->setCurrentRow(1);
    w.click(w.form.btnSummary);
    EXPECT_EQ(details.count, 2);
    w.click(w.form.btnDisconnect);
    // Not connected: nothing.
    w.click(w.form.btnSummary);
    w.server.finish();
}

// Commands clicked while a scan waits for the server run after it, one
// after the other and each on its own message: the details of line 1, then
// the deletion. The scripted server sees no command inside another's wait.
TEST(Busy, CommandsClickedDuringAScanRunAfterIt) {
    const auto box = FromAll({"a@spam.example", "b@other.example"});
    ScanWindow w("", "x@y.example\r\n");
    ScriptedServer server(Slow(pop3::Scan("joe", "secret", box), 30) + pop3::Summary(1, box[0]) + pop3::Dele(1) +
                          pop3::Quit());
    w.pointAt(server);
    ClosingDetails details(w.form);
    QTimer timer;
    bool clicked = false;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        if (clicked || w.form.LineCount() < 2) return;
        clicked = true;  // the listing is in, the summaries are on their way
        w.form.lbList->setCurrentRow(0);
        w.form.SetLineChecked(0, true);
        w.form.btnSummary->click();
        w.form.btnDelete->click();
        EXPECT_TRUE(w.dialogs.shown().empty()) << "nothing runs inside the scan";
    });
    timer.start(5);
    w.dialogs.ExpectMessage("Удалить выделенные сообщения?", Answer::Ok);
    w.click(w.form.btnConnect);
    EXPECT_TRUE(clicked);
    EXPECT_EQ(details.shown, (std::vector<std::string>{"From: a@spam.example", "Subject: s", "", "."}));
    EXPECT_EQ(w.line(0), A("<УДАЛЕНО>"));
    EXPECT_EQ(w.line(1), Line(1, "b@other.example", "s"));
    w.click(w.form.btnDisconnect);
    EXPECT_TRUE(server.finish());
}

TEST(Tray, MinimizesNormallyWithoutANotificationAreaAndRestoresByDoubleClick) {
    ScanWindow w("", "x@y.example\r\n");
    w.form.show();
    w.form.showMinimized();
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        EXPECT_TRUE(w.form.isVisible()) << "no icon to click: the window stays a normal minimized window";
        EXPECT_FALSE(w.form.TrayIconShown());
        w.form.showNormal();
        EXPECT_FALSE(w.form.windowState() & Qt::WindowMinimized);
    }
    // With an icon: single clicks are ignored, the double click restores and removes it.
    for (int round = 0; round < 2; ++round) {
        w.form.hide();
        w.form.TrayIcon(1);
        EXPECT_TRUE(w.form.TrayIconShown());
        w.form.WMTrayNotify(513);
        w.form.WMTrayNotify(516);
        EXPECT_FALSE(w.form.isVisible());
        w.form.WMTrayNotify(515);
        EXPECT_TRUE(w.form.isVisible());
        EXPECT_FALSE(w.form.TrayIconShown());
    }
    w.close();
}

TEST(Links, OpenTheProjectPageAndTheMailProgram) {
    ScanWindow w("", "x@y.example\r\n");
    std::vector<std::string> requests;
    mg::SetShellForTest([&](const std::string& r) {
        requests.push_back(r);
        return false;  // nothing there: nothing visible happens
    });
    w.form.InternetClick();
    w.click(w.form.btnOutlook);
    mg::SetShellForTest(nullptr);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0], "open " + w.form.Internet->text().toStdString());
    EXPECT_NE(requests[0].find("README.md"), std::string::npos);
    EXPECT_EQ(requests[1], "mail");
}
