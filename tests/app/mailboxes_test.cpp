// The mailboxes on the first page: the selector, the presets' menu, the
// fields bound to the selected mailbox, switching (which ends the connected
// session first) and removal after a confirmation.
#include <QAction>
#include <QComboBox>
#include <QMenu>
#include <QSpinBox>

#include "app_support.h"
#include "platform/profile.h"

using namespace mgtest;

namespace {
std::string Field(QLineEdit* e) { return e->text().toStdString(); }
}  // namespace

TEST(MailboxSelector, AddSwitchAndRemove) {
    ScanWindow w("1@spam.example\r\n\tx\r\n", "x@y.example\r\n");
    TPop3Form& form = w.form;
    EXPECT_EQ(form.MailboxCount(), 1);
    EXPECT_FALSE(form.btnMailboxDelete->isEnabled());

    // Gmail from the menu: its server, port and advice; the fields edit it.
    form.btnMailboxAdd->menu()->actions()[0]->trigger();
    ASSERT_EQ(form.MailboxCount(), 2);
    EXPECT_EQ(form.CurrentMailbox(), 1);
    EXPECT_EQ(Field(form.editHost), "pop.gmail.com");
    EXPECT_EQ(Field(form.editPort), "995");
    EXPECT_NE(w.status().find("пароль приложения"), std::string::npos);
    form.editUser->setText(QStringLiteral("ann"));
    form.editCheck->setValue(5);
    EXPECT_EQ(form.Current().Config().User, "ann");
    EXPECT_EQ(form.Current().Config().Check, 5);
    EXPECT_EQ(form.cbMailbox->itemText(1).toStdString(), "ann@pop.gmail.com");

    // The first, connected; choosing the second ends its session (QUIT).
    form.cbMailbox->setCurrentIndex(0);
    ScriptedServer server(pop3::Scan("joe", "secret", {}) + pop3::Quit());
    w.pointAt(server);
    w.click(form.btnConnect);
    EXPECT_TRUE(form.Session().Connected());
    form.cbMailbox->setCurrentIndex(1);
    Settle(form);
    EXPECT_EQ(form.CurrentMailbox(), 1);
    EXPECT_EQ(Field(form.editUser), "ann");
    EXPECT_TRUE(server.finish());

    // Removed only after a confirmation; the first is selected again.
    w.dialogs.ExpectMessage("Удалить ящик ann@pop.gmail.com?", mg::Answer::No);
    form.btnMailboxDelete->click();
    EXPECT_EQ(form.MailboxCount(), 2);
    w.dialogs.ExpectMessage("Удалить ящик ann@pop.gmail.com?", mg::Answer::Yes);
    form.btnMailboxDelete->click();
    EXPECT_EQ(form.MailboxCount(), 1);
    EXPECT_EQ(Field(form.editUser), "joe");
    form.FormClose();
    EXPECT_EQ(mg::GetPrivateProfileString("CONNECT2", "HOST", "none", w.dir.file("MAILGROVE.INI")), "none");
}
