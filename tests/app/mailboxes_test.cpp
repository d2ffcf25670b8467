// Several mailboxes on the first page: a file of an earlier version reads as
// one, a preset fills server and port and gives its advice, switching ends
// the connected session first, the sections are written and removed at
// close, and each mailbox is checked in the background on its own interval.
#include <QAction>
#include <QComboBox>
#include <QMenu>
#include <QSpinBox>

#include <chrono>

#include "app_support.h"
#include "platform/profile.h"

using namespace mgtest;

namespace {

constexpr const char* kOld = "[CONNECT]\r\nHOST=mail.example\r\nPORT=110\r\nUSER=joe\r\nPASSWORD=pw\r\n";

std::string Field(QLineEdit* e) { return e->text().toStdString(); }

}  // namespace

TEST(Mailboxes, AddSwitchKeepAndRemove) {
    auto now = std::chrono::system_clock::now();
    std::vector<std::string> announced;
    TPop3Form::SetCheckClockForTest([&] { return now; });
    TPop3Form::SetAnnounceForTest([&](const std::string& mailbox, const TPop3Form::Announcement&) {
        announced.push_back(mailbox);
    });
    {
        TempDir dir;
        dir.write("spam.dat", "1@spam.example\r\n\tx\r\n");
        dir.write("white.dat", "x@y.example\r\n");
        dir.write("MAILGROVE.INI", kOld);
        FakeDialogs dialogs;
        {
            TPop3Form form(dir.path(), dir.file("MAILGROVE.INI"));
            ASSERT_TRUE(form.FormCreate());
            EXPECT_EQ(form.MailboxCount(), 1);
            EXPECT_FALSE(form.btnMailboxDelete->isEnabled());
            EXPECT_EQ(form.editCheck->value(), 0);

            // Gmail from the menu: its server, port and advice.
            form.btnMailboxAdd->menu()->actions()[0]->trigger();
            EXPECT_EQ(form.MailboxCount(), 2);
            EXPECT_EQ(form.CurrentMailbox(), 1);
            EXPECT_EQ(Field(form.editHost), "pop.gmail.com");
            EXPECT_EQ(Field(form.editPort), "995");
            EXPECT_NE(Utf8(mg::ToAnsi(form.StatusBar->currentMessage())).find("пароль приложения"), std::string::npos);

            // The second mailbox, on a scripted server, checked every 5 minutes.
            ScriptedServer server(pop3::Scan("ann", "pw2", {Msg({"From: a@ok.example"}, 10)}, pop3::Capa::Unknown, {"u1"}) +
                                  pop3::Quit() + Script{Accept()} +
                                  pop3::Logon("joe", "pw", 0, 0) + pop3::Listing({}) + pop3::Quit());
            form.editHost->setText(QString::fromStdString(server.host()));
            form.editPort->setText(QString::number(server.port()));
            form.editUser->setText(QStringLiteral("ann"));
            form.editPassword->setText(QStringLiteral("pw2"));
            form.editCheck->setValue(5);
            now += std::chrono::minutes(5);
            form.Scheduler().Tick();
            EXPECT_TRUE(PumpUntil([&] { return form.Scheduler().Running() < 0 && form.Watch()->Settled(); }));
            EXPECT_EQ(form.Scheduler().LastError(1), "");

            // Back to the first: its fields; a connected session of the first is
            // ended (QUIT) before the second is selected.
            form.cbMailbox->setCurrentIndex(0);
            EXPECT_EQ(Field(form.editHost), "mail.example");
            EXPECT_EQ(Field(form.editUser), "joe");
            form.editHost->setText(QString::fromStdString(server.host()));
            form.editPort->setText(QString::number(server.port()));
            form.btnConnect->click();
            Settle(form);
            EXPECT_TRUE(form.Session().Connected());
            form.cbMailbox->setCurrentIndex(1);
            Settle(form);
            EXPECT_FALSE(form.Session().Connected());
            EXPECT_EQ(Field(form.editUser), "ann");
            EXPECT_TRUE(server.finish());
            form.FormClose();
        }
        const std::string port = mg::GetPrivateProfileString("CONNECT", "PORT", "", dir.file("MAILGROVE.INI"));
        EXPECT_EQ(dir.read("MAILGROVE.INI"),
                  "[CONNECT]\r\nHOST=127.0.0.1\r\nPORT=" + port + "\r\nUSER=joe\r\nPASSWORD=pw\r\n\r\n[CONNECT2]\r\n"
                  "HOST=127.0.0.1\r\nPORT=" + port + "\r\nUSER=ann\r\nPASSWORD=pw2\r\nCHECK=5\r\n");

        // Read again; the second removed after a confirmation, its section gone.
        TPop3Form form(dir.path(), dir.file("MAILGROVE.INI"));
        ASSERT_TRUE(form.FormCreate());
        ASSERT_EQ(form.MailboxCount(), 2);
        form.cbMailbox->setCurrentIndex(1);
        EXPECT_EQ(form.editCheck->value(), 5);
        dialogs.ExpectMessage("Удалить ящик ann@127.0.0.1?", mg::Answer::No);
        form.btnMailboxDelete->click();
        EXPECT_EQ(form.MailboxCount(), 2);
        dialogs.ExpectMessage("Удалить ящик ann@127.0.0.1?", mg::Answer::Yes);
        form.btnMailboxDelete->click();
        EXPECT_EQ(form.MailboxCount(), 1);
        EXPECT_EQ(Field(form.editUser), "joe");
        form.FormClose();
        EXPECT_EQ(dir.read("MAILGROVE.INI"),
                  "[CONNECT]\r\nHOST=127.0.0.1\r\nPORT=" + port + "\r\nUSER=joe\r\nPASSWORD=pw\r\n");
        EXPECT_TRUE(dialogs.done());
    }
    EXPECT_TRUE(announced.empty()) << "a first check announces nothing";
    TPop3Form::SetCheckClockForTest(nullptr);
    TPop3Form::SetAnnounceForTest(nullptr);
}
