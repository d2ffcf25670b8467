// The mailboxes of the settings file: sections read and written back as they
// were, presets, removal; passwords in the keyring when it answers, else in
// the settings file; texts outside the file's code page read back exactly.
#include <gtest/gtest.h>

#include "lists/SpamTree.h"
#include "lists/WhiteList.h"
#include "mailbox/Mailboxes.h"
#include "platform/codepage.h"
#include "platform/profile.h"
#include "support/fake_keyring.h"
#include "support/temp_dir.h"

using mg::A;
using mgtest::FakeKeyring;
using mgtest::TempDir;

namespace {

struct Boxes {
    TempDir dir;
    mg::SpamTree spam;
    mg::WhiteList white;
    std::string ini() const { return dir.file("MAILGROVE.INI"); }
    mg::Mailboxes make() const { return mg::Mailboxes({dir.path(), ini(), &spam, &white, {}, false}); }
};

std::string Ini(const std::string& user, const std::string& password) {
    return "[CONNECT]\r\nHOST=pop.example\r\nPORT=110\r\nUSER=" + user + "\r\nPASSWORD=" + password + "\r\n";
}

}  // namespace

TEST(Mailboxes, SectionsReadAndWrittenBackAddedAndRemoved) {
    Boxes t;
    const std::string old = "[CONNECT]\r\nHOST=mail.example\r\nPORT=110\r\nUSER=joe\r\nPASSWORD=pw\r\n";
    t.dir.write("MAILGROVE.INI", old);
    mg::Mailboxes boxes = t.make();
    boxes.Load();
    ASSERT_EQ(boxes.Count(), 1);
    EXPECT_EQ(boxes.Save(), A("Связка ключей недоступна: пароль сохранен в файле MAILGROVE.INI"));
    EXPECT_EQ(t.dir.read("MAILGROVE.INI"), old) << "a file of an earlier version is written back as it was";

    // A preset fills server, port and the TLS requirement; an interval is
    // written once it is set.
    mg::Mailbox& gmail = boxes.Add(mg::Mailboxes::Presets()[0]);
    gmail.Config().User = "ann";
    gmail.Config().Password = "pw2";
    gmail.Config().Check = 5;
    mg::Mailbox& other = boxes.Add(mg::Mailboxes::Presets().back());
    EXPECT_EQ(other.Name(), A("Новый ящик"));
    boxes.Save();
    EXPECT_EQ(t.dir.read("MAILGROVE.INI"),
              old + "\r\n[CONNECT2]\r\nHOST=pop.gmail.com\r\nPORT=995\r\nUSER=ann\r\nPASSWORD=pw2\r\nCHECK=5\r\nTLS=REQUIRE\r\nAUTHSERV=mx.google.com\r\n"
                    "\r\n[CONNECT3]\r\nHOST=\r\nPORT=110\r\nUSER=\r\nPASSWORD=\r\n");

    mg::Mailboxes again = t.make();
    again.Load();
    ASSERT_EQ(again.Count(), 3);
    EXPECT_EQ(again.At(1).Name(), "ann@pop.gmail.com");
    EXPECT_EQ(again.At(1).Config().Check, 5);
    EXPECT_TRUE(again.At(1).Config().TlsRequired);
    EXPECT_FALSE(again.At(0).Config().TlsRequired);
    // Removing the second renumbers the third; the last section goes.
    again.Remove(1);
    again.Save();
    EXPECT_EQ(t.dir.read("MAILGROVE.INI"), old + "\r\n[CONNECT2]\r\nHOST=\r\nPORT=110\r\nUSER=\r\nPASSWORD=\r\n");
    again.Remove(0);
    again.Remove(0);
    EXPECT_EQ(again.Count(), 1) << "the last mailbox stays";
}

TEST(Mailboxes, PasswordsKeptInTheKeyringWhenItAnswersElseInTheSettingsFile) {
    struct Case {
        const char* name;
        bool reachable;               // at start; at save as well unless `reachableAtSave`
        const char* iniPassword;      // UTF-8; written to the file as Windows-1251
        const char* keyringPassword;  // nullptr: no item
        const char* atStart;
        const char* typed;  // nullptr: left as it is
        const char* iniAfter;
        const char* keyringAfter;  // nullptr: no item
        int keyringCalls;          // stores and clears at save
        bool noted;
        bool reachableAtSave = false;
    } cases[] = {
        {"from the keyring, not sent again", true, "", "ключ", "ключ", nullptr, "", "ключ", 0, false},
        {"changed: stored", true, "", "ключ", "ключ", "новый", "", "новый", 1, false},
        {"moved from the settings file", true, "секрет", nullptr, "секрет", nullptr, "", "секрет", 1, false},
        {"the settings file wins over an older item", true, "новый", "старый", "новый", nullptr, "", "новый", 1, false},
        {"an emptied field forgets it", true, "", "ключ", "ключ", "", "", nullptr, 1, false},
        {"no keyring: settings file", false, "секрет", nullptr, "секрет", "другой", "другой", nullptr, 1, true},
        {"no keyring, empty field: nothing said", false, "", nullptr, "", nullptr, "", nullptr, 0, false},
        {"keyring back at save: an item not read at start is kept", false, "", "ключ", "", nullptr, "", "ключ", 0,
         false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Boxes t;
        t.dir.write("MAILGROVE.INI", Ini("me", A(c.iniPassword)));
        FakeKeyring keyring(c.reachable);
        if (c.keyringPassword) keyring.items[{"pop.example", "me"}] = c.keyringPassword;
        mg::Mailboxes boxes = t.make();
        boxes.Load();
        EXPECT_EQ(boxes.At(0).Config().Password, c.atStart);
        if (c.typed) boxes.At(0).Config().Password = c.typed;
        if (c.reachableAtSave) keyring.reachable = true;
        EXPECT_EQ(!boxes.Save().empty(), c.noted);
        EXPECT_EQ(keyring.calls, c.keyringCalls);
        EXPECT_EQ(t.dir.read("MAILGROVE.INI"), Ini("me", A(c.iniAfter)));
        const auto item = keyring.items.find({"pop.example", "me"});
        const std::string after = item == keyring.items.end() ? "(none)" : item->second;
        EXPECT_EQ(after, c.keyringAfter ? c.keyringAfter : "(none)");
    }
}

// A login or password the file's code page cannot carry, or that its
// reading would change (blanks at the ends, enclosing quotes), reads back
// exactly; everything else is written as before. The keyring item is named
// by the exact login.
TEST(Mailboxes, TextsOutsideTheCodePageReadBackExactly) {
    const struct {
        const char* user;
        const char* password;
        const char* userInFile;  // Windows-1251, or the encoded word
    } rows[] = {
        {"иван", "пароль", "\xE8\xE2\xE0\xED"},
        {"joe", "p\xC3\xA4ss\xE2\x82\xAC", "joe"},  // "päss€": € is in the code page, ä is not
        {"\xE5\xBC\xA0\xE4\xBC\x9F", "\xF0\x9F\x94\x91 key", "=?UTF-8?B?5byg5Lyf?="},
        {"joe", " blank at both ends ", "joe"},
        {"joe", "\"quoted\"", "joe"},
        {"=?UTF-8?B?am9l?=", "=?UTF-8?B?eA==?=", "=?UTF-8?B?PT9VVEYtOD9CP2FtOWw/PQ==?="},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.user);
        for (bool keyringAnswers : {false, true}) {
            Boxes t;
            FakeKeyring keyring(keyringAnswers);
            {
                mg::Mailboxes boxes = t.make();
                boxes.Load();
                boxes.At(0).Config().Host = "pop.example";
                boxes.At(0).Config().User = row.user;
                boxes.At(0).Config().Password = row.password;
                boxes.Save();
            }
            EXPECT_EQ(mg::GetPrivateProfileString("CONNECT", "USER", "", t.ini()), row.userInFile);
            if (keyringAnswers) {
                EXPECT_EQ(keyring.items[std::make_pair(std::string("pop.example"), std::string(row.user))], row.password);
            }
            mg::Mailboxes boxes = t.make();
            boxes.Load();
            EXPECT_EQ(boxes.At(0).Config().User, row.user);
            EXPECT_EQ(boxes.At(0).Config().Password, row.password);
        }
    }
}
