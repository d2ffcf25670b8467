// The Secret Service store against a real gnome-keyring-daemon in a private
// D-Bus session (in-keyring-session.sh sets MG_TEST_KEYRING once the daemon
// runs), and without any session bus at all.
#include <QLineEdit>
#include <QStatusBar>
#include <QTimer>
#include <cstdlib>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "app/Pop3Form.h"
#include "platform/codepage.h"
#include "platform/keyring.h"
#include "support/fake_dialogs.h"
#include "support/temp_dir.h"

using mgtest::FakeDialogs;
using mgtest::TempDir;

namespace {

bool KeyringRunning() { return std::getenv("MG_TEST_KEYRING") != nullptr; }

// Installs a real Secret Service store for one test.
struct RealKeyring {
    RealKeyring() { mg::SetPasswordStore(store.get()); }
    ~RealKeyring() { mg::SetPasswordStore(previous); }
    mg::PasswordStore* previous = &mg::CurrentPasswordStore();
    std::unique_ptr<mg::PasswordStore> store = mg::MakeSecretServiceStore(10000);
};

std::string Ini(const std::string& passwordAnsi) {
    return "[CONNECT]\r\nHOST=pop.example\r\nPORT=110\r\nUSER=me\r\nPASSWORD=" + passwordAnsi + "\r\n";
}

// A window on `dir` whose settings file holds `iniPassword` (UTF-8); runs
// FormCreate, sets the password field unless `typed` is null, and FormClose.
// Returns what the field showed at start.
std::string StartAndClose(const TempDir& dir, const char* typed = nullptr, std::string* status = nullptr) {
    FakeDialogs dialogs;
    TPop3Form form(dir.path(), dir.file("config/MAILGROVE.INI"));
    EXPECT_TRUE(form.FormCreate());
    const std::string shown = form.editPassword->text().toStdString();
    if (typed) form.editPassword->setText(QString::fromUtf8(typed));
    form.FormClose();
    if (status) *status = form.StatusBar->currentMessage().toStdString();
    return shown;
}

void Prepare(const TempDir& dir, const std::string& iniPasswordUtf8) {
    ::mkdir(dir.file("config").c_str(), 0700);
    dir.write("config/MAILGROVE.INI", Ini(mg::A(iniPasswordUtf8.c_str())));
    dir.write("white.dat", "friend@x.example\r\n");
}

}  // namespace

TEST(SecretService, RoundTripPerServerAndLogin) {
    if (!KeyringRunning()) GTEST_SKIP() << "no gnome-keyring-daemon in a private session";
    RealKeyring keyring;
    mg::PasswordStore& store = *keyring.store;
    EXPECT_FALSE(store.Lookup("pop.one", "anna"));
    ASSERT_TRUE(store.Store("pop.one", "anna", "пароль 1"));
    ASSERT_TRUE(store.Store("pop.one", "boris", "второй"));
    ASSERT_TRUE(store.Store("pop.two", "anna", "third"));
    ASSERT_TRUE(store.Store("pop.one", "anna", "replaced"));
    EXPECT_EQ(store.Lookup("pop.one", "anna").value_or("-"), "replaced");
    EXPECT_EQ(store.Lookup("pop.one", "boris").value_or("-"), "второй");
    EXPECT_EQ(store.Lookup("pop.two", "anna").value_or("-"), "third");
    EXPECT_TRUE(store.Clear("pop.one", "anna"));
    EXPECT_FALSE(store.Lookup("pop.one", "anna"));
    EXPECT_EQ(store.Lookup("pop.one", "boris").value_or("-"), "второй");

    // A run told to keep away from the keyring (the demo) neither reads nor writes it.
    ::setenv("MAILGROVE_NO_KEYRING", "1", 1);
    const auto away = mg::MakeSecretServiceStore(10000);
    EXPECT_FALSE(away->Lookup("pop.one", "boris"));
    EXPECT_FALSE(away->Store("pop.one", "boris", "not kept"));
    ::unsetenv("MAILGROVE_NO_KEYRING");
    EXPECT_EQ(store.Lookup("pop.one", "boris").value_or("-"), "второй");
}

TEST(SecretService, ARefreshTokenIsAnItemBesideThePassword) {
    if (!KeyringRunning()) GTEST_SKIP() << "no gnome-keyring-daemon in a private session";
    RealKeyring keyring;
    mg::PasswordStore& store = *keyring.store;
    const auto token = mg::SecretKind::RefreshToken;
    ASSERT_TRUE(store.Store("pop.three", "anna", "password"));
    EXPECT_FALSE(store.Lookup("pop.three", "anna", token)) << "a password is no refresh token";
    ASSERT_TRUE(store.Store("pop.three", "anna", "1//refresh", token));
    EXPECT_TRUE(store.Clear("pop.three", "anna"));
    EXPECT_EQ(store.Lookup("pop.three", "anna", token).value_or("-"), "1//refresh");
    EXPECT_FALSE(store.Lookup("pop.three", "anna"));
    store.Clear("pop.three", "anna", token);
}

TEST(SecretService, MovesTheSettingsFilePasswordAtCloseAndFillsTheFieldFromIt) {
    if (!KeyringRunning()) GTEST_SKIP() << "no gnome-keyring-daemon in a private session";
    RealKeyring keyring;
    TempDir dir;
    Prepare(dir, "секрет");
    EXPECT_EQ(StartAndClose(dir), "секрет");
    EXPECT_EQ(dir.read("config/MAILGROVE.INI"), Ini(""));
    EXPECT_EQ(keyring.store->Lookup("pop.example", "me").value_or("-"), "секрет");
    // The next start fills the field from the keyring.
    EXPECT_EQ(StartAndClose(dir, "новый"), "секрет");
    EXPECT_EQ(dir.read("config/MAILGROVE.INI"), Ini(""));
    EXPECT_EQ(keyring.store->Lookup("pop.example", "me").value_or("-"), "новый");
    keyring.store->Clear("pop.example", "me");
}

TEST(NoSecretService, ThePasswordStaysInTheSettingsFileAndTheStatusBarSaysSo) {
    if (KeyringRunning()) GTEST_SKIP() << "runs without a session bus";
    // No bus address at all, and one where nothing listens.
    for (const char* address : {"", "unix:path=/nonexistent/mailgrove-test-bus"}) {
        SCOPED_TRACE(address);
        ::setenv("DBUS_SESSION_BUS_ADDRESS", address, 1);
        ::unsetenv("XDG_RUNTIME_DIR");
        RealKeyring keyring;
        TempDir dir;
        Prepare(dir, "секрет");
        std::string status;
        EXPECT_EQ(StartAndClose(dir, nullptr, &status), "секрет");
        EXPECT_EQ(dir.read("config/MAILGROVE.INI"), Ini(mg::A("секрет")));
        EXPECT_EQ(status, "Связка ключей недоступна: пароль сохранен в файле MAILGROVE.INI");
        struct stat st {};
        ASSERT_EQ(::stat(dir.file("config/MAILGROVE.INI").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
    }
}

TEST(NoSecretService, ABusThatNeverAnswersIsGivenUpOnWhileEventsGoOn) {
    if (KeyringRunning()) GTEST_SKIP() << "runs without a session bus";
    // A socket that takes the connection and never says a word, like a
    // session whose keyring waits for a prompt nobody answers.
    TempDir dir;
    const std::string path = dir.file("silent-bus");
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof address.sun_path);
    path.copy(address.sun_path, path.size());
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + path).c_str(), 1);

    const auto store = mg::MakeSecretServiceStore(300);
    bool timerRan = false;
    QTimer::singleShot(0, [&timerRan] { timerRan = true; });
    EXPECT_FALSE(store->Store("pop.example", "me", "secret"));
    EXPECT_TRUE(timerRan) << "the event loop kept running while the keyring was waited for";
    // Given up on for the rest of the run: the next call does not wait again.
    EXPECT_FALSE(store->Lookup("pop.example", "me"));
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    ::close(listener);
}
