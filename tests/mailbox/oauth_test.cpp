// OAuth2 below the window: the session's XOAUTH2 log-on with tokens from the
// test's own authorization server, the browser sign-in through a stand-in
// browser, and what token requests accept.
#include <QTimer>
#include <cstdlib>

#include "mailbox/OAuthCredential.h"
#include "platform/codepage.h"
#include "session_support.h"
#include "support/fake_keyring.h"
#include "support/oauth_server.h"

using namespace mgtest;
using mg::A;

namespace {

// Greeting, CAPA, and AUTH XOAUTH2 up to the line that carries this token.
Script Auth(const std::string& token) {
    const std::string response = "user=joe\001auth=Bearer " + token + "\001\001";
    return {S("+OK ready"),    C("CAPA"), S({"+OK", "SASL PLAIN XOAUTH2", "."}),
            C("AUTH XOAUTH2"), S("+ "),   C(QByteArray::fromStdString(response).toBase64().toStdString())};
}
const Script kLoggedOn =
    Script{S("+OK Logged in."), C("CAPA"), S("-ERR"), C("STAT"), S("+OK 0 0")} + pop3::Listing({}) + pop3::Quit();
const std::pair<std::string, std::string> kItem{"127.0.0.1", "joe"};  // the keyring's
const Script kRefused = {S("-ERR [AUTH] Invalid credentials"), C("QUIT"), S("+OK"), AwaitClose()};

// What a task ends with: its value, or the message of its error.
template <class T>
std::string Outcome(mg::Task<T> task) {
    try {
        if constexpr (std::is_void_v<T>)
            mg::Await(std::move(task));
        else
            return mg::Await(std::move(task));
    } catch (const Exception& e) {
        return e.Message;
    }
    return "";
}

struct OAuthMailbox : Session {
    void scanAndLogOff(int port) {
        submit([this, port](mg::MailboxSession& s) {
            return s.Scan([this, port] {
                mg::MailboxSettings m;
                m.Host = ScriptedServer::host();
                m.Port = port;
                m.User = "joe";
                m.Auth = mg::MailboxSettings::SignIn::OAuth2;
                m.Token = [this](bool refresh) { return credential.Token(refresh); };
                return m;
            });
        });
        submit(LogOff);
        settle();
    }
    // `signInMs`: how long a sign-in waits for the browser.
    explicit OAuthMailbox(int signInMs = 5 * 60 * 1000)
        : credential({auth.url("/authorize"), auth.url("/token"), "client-1", "", "mail", "127.0.0.1", "joe", 20000,
                      signInMs}) {}
    FakeKeyring keyring;
    OAuthServer auth;
    mg::OAuthCredential credential;
};

}  // namespace

TEST(OAuth, XOAuth2LogOnRefreshesARefusedTokenOnce) {
    const std::string refused =
        "Authentication failed: [AUTH] Invalid credentials\n" + mg::RefusalAdvice("-ERR [AUTH]");
    const struct {
        const char* name;
        Script script;
        int refreshes;  // that the authorization server grants
        std::string error;
        size_t tokenRequests;
        bool signedIn;
    } rows[] = {
        {"two steps", Auth("access-1") + kLoggedOn, 9, "", 1, true},
        {"refused: a fresh token on a new connection",
         Auth("access-1") + kRefused + Script{Accept()} + Auth("access-2") + kLoggedOn, 9, "", 2, true},
        {"refused again after an error challenge: the server's reason",
         Auth("access-1") + kRefused + Script{Accept()} + Auth("access-2") +
             Script{S("+ eyJzdGF0dXMiOiI0MDEiLCJzY2hlbWVzIjoiYmVhcmVyIn0="), C("")} + kRefused,
         9, refused, 2, true},
        {"invalid_grant: the refresh token is forgotten", Auth("access-1") + kRefused, 1,
         A("Нужен вход в ящик joe через браузер («Войти…»). Сервер авторизации отказал: invalid_grant "
           "(Token has been expired or revoked.)"),
         2, false},
        {"no SASL XOAUTH2 in CAPA: nothing sent",
         Script{S("+OK ready"), C("CAPA"), S({"+OK", "SASL PLAIN", "USER", "."}), C("QUIT"), S("+OK"), AwaitClose()}, 9,
         "The server does not offer XOAUTH2 sign-in (no \"SASL XOAUTH2\" in its CAPA reply)", 1, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        OAuthMailbox t;
        t.keyring.tokens[kItem] = "refresh-1";
        t.auth.refreshes = row.refreshes;
        ScriptedServer server(row.script);
        t.scanAndLogOff(server.port());
        server.finish();
        EXPECT_EQ(t.errors, row.error.empty() ? std::vector<std::string>{} : std::vector<std::string>{row.error});
        EXPECT_EQ(t.auth.forms.size(), row.tokenRequests);
        for (const auto& form : t.auth.forms)
            EXPECT_EQ(form.at("grant_type") + " " + form.at("client_id"), "refresh_token client-1");
        EXPECT_EQ(t.keyring.tokens.count(kItem), row.signedIn ? 1u : 0u);
        EXPECT_EQ(t.credential.GetState() == mg::OAuthCredential::State::SignedIn, row.signedIn);
    }
}

TEST(OAuth, BrowserSignInWithPkceThroughTheLoopbackRedirect) {
    const std::string browser = MG_SOURCE_DIR "/tests/support/stand-in-browser.sh";
    const std::string done = "<p>Вход выполнен. Эту вкладку можно закрыть.</p>";
    const std::string denied = A("Сервер авторизации отказал: access_denied (Access denied)");
    const struct {
        const char* name;
        std::string browser;
        bool forge, deny, cancel;
        int timeOutMs;
        std::string error;
        std::string page;  // what the browser is shown last, UTF-8
    } rows[] = {
        {"completed", browser, false, false, false, 0, "", done},
        {"a request with another state is refused", browser, true, false, false, 0, "", done},
        {"the provider refuses", browser, false, true, false, 0, denied,
         "<p>Вход не выполнен: " + mg::FromAnsi(denied).toStdString()},
        {"nobody completes it", "true", false, false, false, 300,
         A("Вход не выполнен: браузер не вернулся с ответом за 5 минут"), ""},
        {"cancelled", "true", false, false, true, 0, A("Вход отменен"), ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        OAuthMailbox t(row.timeOutMs > 0 ? row.timeOutMs : 5 * 60 * 1000);
        t.auth.denial = row.deny ? "access_denied" : "";
        ::setenv("BROWSER", row.browser.c_str(), 1);
        ::setenv("MG_BROWSER_LOG", t.dir.file("browser.log").c_str(), 1);
        row.forge ? ::setenv("MG_BROWSER_FORGE", "1", 1) : ::unsetenv("MG_BROWSER_FORGE");
        std::string shown;
        t.credential.OnAuthorizationUrl = [&](const std::string& url) {
            shown = url;
            if (row.cancel) QTimer::singleShot(0, [&t] { t.credential.CancelSignIn(); });
        };
        EXPECT_EQ(Outcome(t.credential.SignIn()), row.error);
        EXPECT_TRUE(PumpUntil([&] { return t.dir.read("browser.log").find(row.page) != std::string::npos; }, 10000));
        EXPECT_EQ(t.dir.read("browser.log").find("HTTP/1.1 400 Bad Request") != std::string::npos, row.forge);
        EXPECT_EQ(t.keyring.tokens.count(kItem), row.error.empty() ? 1u : 0u);
        if (!row.error.empty()) continue;
        // The provider's server grants only the right code, redirect_uri and PKCE verifier.
        auto& query = t.auth.authorization;
        EXPECT_EQ(shown.rfind(t.auth.url("/authorize?response_type=code&client_id=client-1&redirect_uri=http"), 0), 0u);
        EXPECT_EQ(query["scope"] + " " + query["code_challenge_method"] + " " + query["login_hint"], "mail S256 joe");
        EXPECT_EQ(Outcome(t.credential.Token(false)), "access-1") << "the access token in hand";
    }
    ::unsetenv("BROWSER");
}

TEST(OAuth, TokenRequestsVerifyTlsAndAreBounded) {
    TempDir dir;
    ASSERT_EQ(std::system(("'" MG_SOURCE_DIR "/tests/support/dovecot/make-certs.sh' " + dir.file("tls")).c_str()), 0);
    FakeKeyring keyring;
    OAuthServer https(dir.file("tls")), silent;
    silent.silent = true;
    const struct {
        std::string endpoint, caFile;
        std::string result;  // the token, or how the error begins
    } rows[] = {
        {https.url("/token"), dir.file("tls/ca.pem"), "access-1"},
        {https.url("/token"), "", A("Запрос к серверу авторизации 127.0.0.1 не удался: SSL handshake failed")},
        {"http://pop.example/token", "", A("Адрес сервера авторизации должен начинаться с https://")},
        {silent.url("/token"), "", A("Сервер авторизации 127.0.0.1 не ответил вовремя")},
    };
    for (const auto& row : rows) {
        mg::OAuthCredential credential({"", row.endpoint, "client-1", "", "", "127.0.0.1", "joe", 500, 0, row.caFile});
        credential.SetRefreshToken("refresh-1");
        const std::string result = Outcome(credential.Token(false));
        EXPECT_EQ(result.substr(0, row.result.size()), row.result) << result;
    }
}
