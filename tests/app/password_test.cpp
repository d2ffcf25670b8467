// Where the window keeps the mailbox password: the keyring when it answers,
// the settings file otherwise; a password found in the settings file moves
// to the keyring at the first close that can store it.
#include <QLineEdit>
#include <QStatusBar>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "app/Pop3Form.h"
#include "platform/codepage.h"
#include "support/fake_dialogs.h"
#include "support/fake_keyring.h"
#include "support/temp_dir.h"

using mgtest::FakeDialogs;
using mgtest::FakeKeyring;
using mgtest::TempDir;

namespace {

std::string Ini(const std::string& passwordAnsi) {
    return "[CONNECT]\r\nHOST=pop.example\r\nPORT=110\r\nUSER=me\r\nPASSWORD=" + passwordAnsi + "\r\n";
}

}  // namespace

TEST(Password, KeptInTheKeyringWhenItAnswersElseInTheSettingsFile) {
    const std::string fallbackNote = "Связка ключей недоступна: пароль сохранен в файле MAILGROVE.INI";
    struct Case {
        const char* name;
        bool reachable;           // at start; at close as well unless `reachableAtClose`
        const char* iniPassword;  // UTF-8; written to the file as Windows-1251
        const char* keyringPassword;  // nullptr: no item
        const char* shownAtStart;
        const char* typed;  // nullptr: the field is left as it is
        const char* iniAfter;
        const char* keyringAfter;  // nullptr: no item
        int keyringCalls;          // stores and clears at close
        bool noted;
        bool reachableAtClose = false;
    } cases[] = {
        {"filled from the keyring, not sent again", true, "", "ключ", "ключ", nullptr, "", "ключ", 0, false},
        {"changed: stored", true, "", "ключ", "ключ", "новый", "", "новый", 1, false},
        {"moved from the settings file", true, "секрет", nullptr, "секрет", nullptr, "", "секрет", 1, false},
        {"the settings file wins over an older item", true, "новый", "старый", "новый", nullptr, "", "новый", 1, false},
        {"an emptied field forgets it", true, "", "ключ", "ключ", "", "", nullptr, 1, false},
        {"no keyring: settings file", false, "секрет", nullptr, "секрет", "другой", "другой", nullptr, 1, true},
        {"no keyring, empty field: nothing said", false, "", nullptr, "", nullptr, "", nullptr, 0, false},
        {"keyring back at close: an item not read at start is kept", false, "", "ключ", "", nullptr, "", "ключ", 0,
         false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        ::mkdir(dir.file("config").c_str(), 0700);
        dir.write("config/MAILGROVE.INI", Ini(mg::A(c.iniPassword)));
        dir.write("white.dat", "friend@x.example\r\n");
        FakeKeyring keyring(c.reachable);
        if (c.keyringPassword) keyring.items[{"pop.example", "me"}] = c.keyringPassword;
        FakeDialogs dialogs;
        TPop3Form form(dir.path(), dir.file("config/MAILGROVE.INI"));
        ASSERT_TRUE(form.FormCreate());
        EXPECT_EQ(form.editPassword->text().toStdString(), c.shownAtStart);
        if (c.typed) form.editPassword->setText(QString::fromUtf8(c.typed));
        if (c.reachableAtClose) keyring.reachable = true;
        form.FormClose();
        EXPECT_EQ(keyring.calls, c.keyringCalls);
        EXPECT_EQ(dir.read("config/MAILGROVE.INI"), Ini(mg::A(c.iniAfter)));
        const auto item = keyring.items.find({"pop.example", "me"});
        if (c.keyringAfter) {
            ASSERT_NE(item, keyring.items.end());
            EXPECT_EQ(item->second, c.keyringAfter);
        } else {
            EXPECT_EQ(item, keyring.items.end());
        }
        EXPECT_EQ(form.StatusBar->currentMessage().toStdString() == fallbackNote, c.noted);
    }
}
