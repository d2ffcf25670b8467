// An OAuth2 mailbox through the window, against Dovecot whose oauth2 passdb
// asks the test's authorization server about each token: "Войти…" in the
// stand-in browser, scans over SASL XOAUTH2, a new window that goes on by the
// refresh token in the keyring, a refused token refreshed once, and a refresh
// token the provider no longer honours.
#include <QDialog>
#include <QLabel>
#include <cstdlib>

#include "app_support.h"
#include "support/dovecot_server.h"
#include "support/fake_keyring.h"
#include "support/oauth_server.h"

using namespace mgtest;

namespace {

// How many times `part` occurs in `text`.
size_t Count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

std::string SignInState(TPop3Form& form) {
    return form.findChild<QLabel*>(QStringLiteral("labSignIn"))->text().toStdString();
}

std::vector<std::string> Grants(const OAuthServer& auth) {
    std::vector<std::string> grants;
    for (const auto& form : auth.forms) grants.push_back(form.at("grant_type"));
    return grants;
}

// $BROWSER, and where the stand-in browser logs what it was answered, for
// as long as it lives.
struct Browser {
    explicit Browser(const std::string& log) {
        use(MG_SOURCE_DIR "/tests/support/stand-in-browser.sh");
        ::setenv("MG_BROWSER_LOG", log.c_str(), 1);
        ::unsetenv("MG_BROWSER_FORGE");
    }
    ~Browser() {
        ::unsetenv("BROWSER");
        ::unsetenv("MG_BROWSER_LOG");
    }
    void use(const char* command) { ::setenv("BROWSER", command, 1); }
};

}  // namespace

TEST(OAuthWindow, SignInScanRestartRefreshAndANewSignInAfterInvalidGrant) {
    FakeKeyring keyring;
    OAuthServer auth;
    DovecotServer dovecot;
    auth.user = dovecot.user();
    dovecot.addMessage("From: friend@ok.example\nSubject: Hello\n\nbody\n");
    dovecot.useOAuth2(auth.url("/introspect"));
    if (!dovecot.start()) {
        if (dovecot.unavailable()) GTEST_SKIP() << "Dovecot is not available: " << dovecot.error();
        FAIL() << dovecot.error();
    }
    const std::string settings = "[CONNECT]\r\nHOST=127.0.0.1\r\nPORT=" + std::to_string(dovecot.port()) +
                                 "\r\nUSER=" + dovecot.user() + "\r\nAUTH=OAUTH2\r\nOAUTH_AUTHORIZE=" +
                                 auth.url("/authorize") + "\r\nOAUTH_TOKEN=" + auth.url("/token") +
                                 "\r\nOAUTH_CLIENT_ID=client-1\r\nOAUTH_SCOPE=mail\r\n";
    ScanWindow w("", "x@y.example\r\n", {}, settings);
    const std::pair<std::string, std::string> item{"127.0.0.1", dovecot.user()};  // the keyring's
    Browser browser(w.dir.file("browser.log"));
    const std::string line = Line(1, "friend@ok.example", "Hello");

    // "Войти…": the browser comes back with a code, the refresh token goes
    // to the keyring; the scan sends the access token in hand.
    EXPECT_EQ(SignInState(w.form), "нужен вход");
    EXPECT_FALSE(w.form.btnSignIn->isHidden());
    EXPECT_TRUE(w.form.editPassword->isHidden());
    w.click(w.form.btnSignIn);
    EXPECT_EQ(SignInState(w.form), "вход выполнен");
    EXPECT_EQ(keyring.tokens[item], "refresh-1");
    w.click(w.form.btnConnect);
    ASSERT_EQ(w.form.LineCount(), 1);
    EXPECT_EQ(w.line(0), line);
    EXPECT_EQ(w.status(), "Прием закончен");
    EXPECT_EQ(Grants(auth), std::vector<std::string>{"authorization_code"});
    w.click(w.form.btnDisconnect);
    ASSERT_TRUE(w.close());
    EXPECT_EQ(w.dir.read("MAILGROVE.INI").find("refresh-1"), std::string::npos) << "the keyring holds it";

    // A new window on the same directory and keyring: signed in, and its
    // scan goes by the refresh token alone, the browser left closed.
    const std::string opened = w.dir.read("browser.log");
    TPop3Form again(w.dir.path(), w.dir.file("MAILGROVE.INI"), ScanWindow::WithoutBin({}));
    ASSERT_TRUE(again.FormCreate());
    EXPECT_EQ(SignInState(again), "вход выполнен");
    const auto scan = [&again, &line] {
        again.btnConnect->click();
        Settle(again);
        EXPECT_EQ(again.LineCount() == 1 ? again.LineText(0) : "", line);
        again.btnDisconnect->click();
        Settle(again);
    };
    scan();
    EXPECT_EQ(Grants(auth), (std::vector<std::string>{"authorization_code", "refresh_token"}));
    EXPECT_EQ(w.dir.read("browser.log"), opened);

    // The server refuses the token in hand: one refresh, one new attempt.
    auth.revoked.push_back(auth.issued.back());
    scan();
    EXPECT_EQ(Grants(auth), (std::vector<std::string>{"authorization_code", "refresh_token", "refresh_token"}));

    // invalid_grant: the refresh token is forgotten, the keyring's too, and
    // the scan asks for the browser sign-in; the user cancels it.
    auth.revoked.push_back(auth.issued.back());
    auth.refreshes = 0;
    browser.use("true");  // a browser that never comes back
    again.btnConnect->click();
    QDialog* box = nullptr;
    EXPECT_TRUE(PumpUntil([&] {
        box = again.findChild<QDialog*>(QStringLiteral("SignInBox"));
        return box && box->isVisible();
    }));
    EXPECT_EQ(keyring.tokens.count(item), 0u);
    EXPECT_EQ(SignInState(again), "нужен вход");
    if (box) {
        const QString url = box->findChild<QLineEdit*>(QStringLiteral("editSignInUrl"))->text();
        EXPECT_TRUE(url.startsWith(QString::fromStdString(auth.url("/authorize?")))) << url.toStdString();
        box->findChild<QPushButton*>(QStringLiteral("btnSignInCancel"))->click();
    }
    Settle(again);
    EXPECT_EQ(SignInState(again), "нужен вход");
    EXPECT_EQ(again.LineCount(), 0);
    EXPECT_EQ(Grants(auth).size(), 4u);

    // What Dovecot saw: three log-ons, every one by XOAUTH2, and two refused
    // tokens; never a password.
    const std::string log = dovecot.log();
    EXPECT_EQ(Count(log, "Login: user=<" + dovecot.user() + ">, method=XOAUTH2"), 3u) << log;
    EXPECT_EQ(Count(log, "method="), Count(log, "method=XOAUTH2")) << log;
    EXPECT_EQ(Count(log, "auth failed"), 2u) << log;
}
