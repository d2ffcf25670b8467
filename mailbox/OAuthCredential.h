// OAuthCredential: how a mailbox that signs in with OAuth2 gets the access
// token its POP3 log-on sends (SASL XOAUTH2). One per mailbox, no widgets.
//
// The sign-in is the authorization code grant (RFC 6749) with PKCE S256
// (RFC 7636) and a loopback redirect (RFC 8252, 7.3): the desktop's browser
// opens the authorization endpoint, the provider sends it back to a listener
// on 127.0.0.1, and the code is traded for tokens at the token endpoint.
// The access token and its expiry live in memory only; the refresh token is
// kept in the keyring (one item per server and login, beside the password).
//
// Token requests verify TLS as the POP3 connection does (the system's trust
// store, TLS 1.2 or later, the host named by the certificate) and end within
// 20 seconds; an endpoint must be https://, or http:// to an address of this
// machine. No token ever goes to a log, to stderr or into an error text.
#pragma once

#include <QNetworkAccessManager>
#include <QObject>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/errors.h"
#include "platform/task.h"

class QJsonObject;
class QSslConfiguration;

namespace mg {

// Where a mailbox signs in. Texts are UTF-8.
struct OAuthSettings {
    std::string AuthorizeUrl;  // the authorization endpoint
    std::string TokenUrl;      // the token endpoint
    std::string ClientId;
    std::string ClientSecret;  // sent only when set
    std::string Scope;         // scopes separated by blanks
    std::string Server;        // the POP3 server: with Login, the keyring item's key
    std::string Login;         // the mailbox's login; also the sign-in's login_hint
    int TimeOutMs = 20000;                 // a token request's whole time
    int SignInTimeOutMs = 5 * 60 * 1000;   // how long a sign-in waits for the browser
    std::string ExtraCaFile{};             // a CA trusted besides the system's (tests)
};

// No usable refresh token: only the browser sign-in can help. Background
// checks show the message and wait for the user.
class ENeedsSignIn : public Exception {
public:
    using Exception::Exception;
};

// The user cancelled the browser sign-in: nothing to report.
class ESignInCanceled : public Exception {
public:
    ESignInCanceled();
};

// Its tasks use it to the end: it must outlive whatever awaits them.
class OAuthCredential {
public:
    enum class State { NeedsSignIn, SignedIn };

    explicit OAuthCredential(OAuthSettings settings);
    ~OAuthCredential();
    OAuthCredential(const OAuthCredential&) = delete;
    OAuthCredential& operator=(const OAuthCredential&) = delete;

    const OAuthSettings& Settings() const { return settings_; }
    // Signed in: a refresh token is known, or an access token that has not
    // expired. The first call that needs the refresh token asks the keyring.
    State GetState();

    // For the session: the access token to send. A fresh one is got by
    // refresh when asked (the server refused the last one) or when the one
    // in hand expires within a minute. Never opens a browser: without a
    // refresh token, or when the provider answers `invalid_grant` (the
    // refresh token is then forgotten), raises ENeedsSignIn.
    Task<std::string> Token(bool refresh);

    // The browser sign-in, awaited by the window: hands the authorization
    // URL to OnAuthorizationUrl (to show it, copyable, with "Отмена"), opens
    // it in the desktop's browser, and waits for the redirect: at most 5
    // minutes, or until CancelSignIn (ESignInCanceled). One at a time.
    Task<> SignIn();
    bool SigningIn() const { return signingIn_; }
    void CancelSignIn();
    // Forgets every token, the keyring's item too.
    void Forget();

    // The refresh token, for the settings-file fallback where no keyring
    // answers; never to be shown or logged. Setting one keeps it in memory
    // and tries the keyring; an empty one forgets.
    std::string RefreshToken();
    void SetRefreshToken(const std::string& token);
    // Whether the keyring confirmed keeping the refresh token in hand.
    bool RefreshTokenInKeyring() const { return inKeyring_; }

    // The authorization URL of a sign-in that has begun.
    std::function<void(const std::string& url)> OnAuthorizationUrl;
    // The state or the refresh token changed.
    std::function<void()> OnChanged;

private:
    using Form = std::vector<std::pair<std::string, std::string>>;
    // What the token endpoint answered: its JSON object and HTTP status.
    struct Answer;
    // POSTs the form to the token endpoint; raises when no JSON object came
    // back in time. `abort`, when given, holds a way to stop the request
    // while it runs.
    Task<Answer> Post(Form form, std::function<void()>* abort = nullptr);
    // Takes the tokens of a grant (true when the refresh token changed);
    // raises the provider's error otherwise.
    bool Keep(const Answer& answer);
    // The access token in hand does not expire within a minute.
    bool Fresh() const;
    void Load();
    void StoreRefreshToken();
    void Changed();
    QSslConfiguration Tls() const;

    OAuthSettings settings_;
    QNetworkAccessManager network_;
    std::string access_;
    std::optional<std::chrono::steady_clock::time_point> expiry_;
    std::string refresh_;
    bool loaded_ = false;  // the keyring has been asked
    bool inKeyring_ = false;
    bool signingIn_ = false;
    bool canceled_ = false;
    std::function<void()> cancel_;  // ends the wait of the sign-in under way
};

}  // namespace mg
