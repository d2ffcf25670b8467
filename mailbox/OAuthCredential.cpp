#include "mailbox/OAuthCredential.h"

#include <QCryptographicHash>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QPointer>
#include <QRandomGenerator>
#include <QSslConfiguration>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <coroutine>
#include <map>
#include <memory>

#include "platform/codepage.h"
#include "platform/keyring.h"
#include "platform/shell.h"

namespace mg {

namespace {

// How long the page that ends a sign-in may take to go out.
constexpr int kTimeOutMs = 20000;
constexpr qsizetype kMaxAnswer = 64 * 1024;  // the token endpoint's JSON
constexpr qsizetype kMaxRequest = 8 * 1024;  // a request to the loopback listener
constexpr size_t kMaxToken = 32 * 1024;      // fits a POP3 line once encoded
constexpr std::chrono::seconds kEarly{60};   // refresh this long before expiry

// Something a coroutine waits for and a Qt callback brings about. The
// coroutine is resumed from the event loop, never inside the callback; an
// event destroyed with its waiting frame drops a resume not yet delivered.
class Event {
public:
    bool await_ready() const noexcept { return set_; }
    void await_suspend(std::coroutine_handle<> waiting) noexcept { waiting_ = waiting; }
    void await_resume() const noexcept {}
    void Set() {
        if (set_) return;
        set_ = true;
        if (waiting_) QTimer::singleShot(0, &context_, [w = waiting_] { w.resume(); });
    }

private:
    QObject context_;
    std::coroutine_handle<> waiting_;
    bool set_ = false;
};

std::string Ansi(const std::string& utf8) { return ToAnsi(QString::fromStdString(utf8)); }

// A provider's words, fit for one line of a message: no control characters,
// no endless text.
std::string ProviderText(QString text) {
    for (QChar& c : text)
        if (c.unicode() < 0x20 || c.unicode() == 0x7f) c = QLatin1Char(' ');
    return ToAnsi(text.left(300));
}

std::string Refusal(const QString& error, const QString& description) {
    return A("Сервер авторизации отказал: ") +
           ProviderText(description.isEmpty() ? error : error + QStringLiteral(" (") + description + QLatin1Char(')'));
}

// Endpoints are https://, or http:// to an address of this machine.
void CheckEndpoint(const std::string& address) {
    const QUrl url(QString::fromStdString(address), QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty() ||
        (url.scheme() != QLatin1String("https") && url.scheme() != QLatin1String("http")))
        throw Exception(A("Неверный адрес сервера авторизации: ") + Ansi(address));
    if (url.scheme() == QLatin1String("http") && !QHostAddress(url.host()).isLoopback())
        throw Exception(A("Адрес сервера авторизации должен начинаться с https://: ") + Ansi(address));
}

std::string Encoded(const std::string& value) {
    return QUrl::toPercentEncoding(QString::fromStdString(value)).toStdString();
}

std::string Joined(const std::vector<std::pair<std::string, std::string>>& fields) {
    std::string out;
    for (const auto& [name, value] : fields) out += (out.empty() ? "" : "&") + name + "=" + Encoded(value);
    return out;
}

// Random bytes for the PKCE verifier and the state, in base64url.
std::string RandomText(int bytes) {
    QByteArray data(bytes, '\0');
    QRandomGenerator::system()->generate(data.begin(), data.end());
    return data.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals).toStdString();
}

std::string Challenge(const std::string& verifier) {
    return QCryptographicHash::hash(QByteArray::fromStdString(verifier), QCryptographicHash::Sha256)
        .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals)
        .toStdString();
}

// The fields of a query (application/x-www-form-urlencoded), decoded.
std::map<std::string, std::string> QueryFields(const QByteArray& query) {
    std::map<std::string, std::string> fields;
    for (QByteArray pair : query.split('&')) {
        pair.replace('+', ' ');
        const qsizetype equals = pair.indexOf('=');
        const QByteArray name = QByteArray::fromPercentEncoding(pair.left(equals < 0 ? pair.size() : equals));
        fields.emplace(name.toStdString(),
                       equals < 0 ? "" : QByteArray::fromPercentEncoding(pair.mid(equals + 1)).toStdString());
    }
    return fields;
}

// A short page, with the connection closed after it.
QByteArray HttpAnswer(const char* status, const QString& text) {
    const QByteArray body = "<!DOCTYPE html><html lang=\"ru\"><meta charset=\"utf-8\"><title>Mailgrove</title><p>" +
                            text.toHtmlEscaped().toUtf8() + "</p></html>\n";
    return QByteArray("HTTP/1.1 ") + status + "\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
           QByteArray::number(body.size()) + "\r\nConnection: close\r\nCache-Control: no-store\r\n\r\n" + body;
}

// The loopback end of a browser sign-in: on 127.0.0.1, a port chosen now.
// It takes the first GET that carries the sign-in's state; any other request
// is answered 400 and closed.
class RedirectListener {
public:
    RedirectListener(std::string state, std::function<void()> arrived)
        : state_(std::move(state)), arrived_(std::move(arrived)) {
        QObject::connect(&server_, &QTcpServer::newConnection, &server_, [this] {
            while (QTcpSocket* socket = server_.nextPendingConnection()) {
                auto received = std::make_shared<QByteArray>();
                QObject::connect(socket, &QTcpSocket::readyRead, socket,
                                 [this, socket, received] { Read(socket, *received); });
                QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
    }
    bool Listen() { return server_.listen(QHostAddress::LocalHost, 0); }
    quint16 Port() const { return server_.serverPort(); }
    QString Error() const { return server_.errorString(); }
    const std::map<std::string, std::string>& Fields() const { return fields_; }

    // Answers the request taken with a page; the connection lives on, on
    // its own, until the page has gone out.
    void Answer(const QString& text) {
        if (!taken_) return;
        QTcpSocket* socket = taken_;
        socket->setParent(nullptr);
        QTimer::singleShot(kTimeOutMs, socket, [socket] {
            socket->abort();
            socket->deleteLater();
        });
        socket->write(HttpAnswer("200 OK", text));
        socket->disconnectFromHost();
    }

private:
    void Read(QTcpSocket* socket, QByteArray& received) {
        received += socket->read(kMaxRequest + 1 - received.size());
        const qsizetype end = received.indexOf("\r\n\r\n");
        if (end < 0 && received.size() <= kMaxRequest) return;
        socket->disconnect(socket, &QTcpSocket::readyRead, nullptr, nullptr);
        // "GET /?code=...&state=... HTTP/1.1"
        const QList<QByteArray> line = received.left(received.indexOf("\r\n")).split(' ');
        const qsizetype question = line.size() == 3 ? line[1].indexOf('?') : -1;
        std::map<std::string, std::string> fields;
        if (end >= 0 && line[0] == "GET" && question >= 0) fields = QueryFields(line[1].mid(question + 1));
        const auto state = fields.find("state");
        if (taken_ || state == fields.end() || state->second != state_) {
            socket->write(HttpAnswer("400 Bad Request", QStringLiteral("Неверный запрос.")));
            socket->disconnectFromHost();
            return;
        }
        taken_ = socket;
        fields_ = std::move(fields);
        server_.close();
        arrived_();
    }

    std::string state_;
    std::function<void()> arrived_;
    QTcpServer server_;
    QPointer<QTcpSocket> taken_;
    std::map<std::string, std::string> fields_;
};

// Stops watching a reply before it goes, so that its last signals reach nobody.
struct ReplyDeleter {
    void operator()(QNetworkReply* reply) const {
        QObject::disconnect(reply, nullptr, nullptr, nullptr);
        reply->abort();
        delete reply;
    }
};

}  // namespace

struct OAuthCredential::Answer {
    QJsonObject json;
    int status = 0;
};

ESignInCanceled::ESignInCanceled() : Exception(A("Вход отменен")) {}

OAuthCredential::OAuthCredential(OAuthSettings settings) : settings_(std::move(settings)) {}
OAuthCredential::~OAuthCredential() = default;


bool OAuthCredential::Fresh() const {
    return !access_.empty() && (!expiry_ || std::chrono::steady_clock::now() + kEarly < *expiry_);
}

OAuthCredential::State OAuthCredential::GetState() {
    Load();
    return refresh_.empty() && !Fresh() ? State::NeedsSignIn : State::SignedIn;
}

void OAuthCredential::Load() {
    if (loaded_) return;
    loaded_ = true;
    if (auto kept = CurrentPasswordStore().Lookup(settings_.Server, settings_.Login, SecretKind::RefreshToken)) {
        refresh_ = *kept;
        inKeyring_ = true;
    }
}

void OAuthCredential::StoreRefreshToken() {
    inKeyring_ = CurrentPasswordStore().Store(settings_.Server, settings_.Login, refresh_, SecretKind::RefreshToken);
}

void OAuthCredential::Changed() {
    if (OnChanged) OnChanged();
}

std::string OAuthCredential::RefreshToken() {
    Load();
    return refresh_;
}

void OAuthCredential::SetRefreshToken(const std::string& token) {
    if (token.empty()) return Forget();
    loaded_ = true;
    refresh_ = token;
    StoreRefreshToken();
    Changed();
}

void OAuthCredential::Forget() {
    access_.clear();
    refresh_.clear();
    expiry_.reset();
    loaded_ = true;
    inKeyring_ = false;
    CurrentPasswordStore().Clear(settings_.Server, settings_.Login, SecretKind::RefreshToken);
    Changed();
}

Task<std::string> OAuthCredential::Token(bool refresh) {
    if (!refresh && Fresh()) co_return access_;
    Load();
    const std::string needed = A("Нужен вход в ящик ") + Ansi(settings_.Login) + A(" через браузер («Войти…»)");
    if (refresh_.empty()) throw ENeedsSignIn(needed);
    Form form{{"grant_type", "refresh_token"}, {"refresh_token", refresh_}, {"client_id", settings_.ClientId}};
    if (!settings_.ClientSecret.empty()) form.push_back({"client_secret", settings_.ClientSecret});
    if (!settings_.Scope.empty()) form.push_back({"scope", settings_.Scope});
    Task<Answer> post = Post(std::move(form));
    const Answer answer = co_await post;
    if (answer.json.value(QLatin1String("error")).toString() == QLatin1String("invalid_grant")) {
        // The provider no longer honours the refresh token (revoked, expired,
        // password changed): only a new sign-in helps.
        const std::string why =
            Refusal(QStringLiteral("invalid_grant"), answer.json.value(QLatin1String("error_description")).toString());
        Forget();
        throw ENeedsSignIn(needed + ". " + why);
    }
    if (Keep(answer)) Changed();
    co_return access_;
}

bool OAuthCredential::Keep(const Answer& answer) {
    const QJsonObject& json = answer.json;
    if (json.contains(QLatin1String("error")))
        throw Exception(Refusal(json.value(QLatin1String("error")).toString(),
                                json.value(QLatin1String("error_description")).toString()));
    const std::string access = json.value(QLatin1String("access_token")).toString().toStdString();
    if (access.empty() || answer.status / 100 != 2)
        throw Exception(A("Сервер авторизации не выдал токен доступа (HTTP ") + std::to_string(answer.status) + ")");
    if (access.size() > kMaxToken) throw Exception(A("Сервер авторизации выдал слишком длинный токен доступа"));
    access_ = access;
    // expires_in: seconds, as a number (or, from some providers, a string).
    const QJsonValue lifetime = json.value(QLatin1String("expires_in"));
    const double seconds = lifetime.isString() ? lifetime.toString().toDouble() : lifetime.toDouble();
    expiry_.reset();
    if (seconds > 0)
        expiry_ = std::chrono::steady_clock::now() + std::chrono::seconds(static_cast<int64_t>(std::min(seconds, 1e9)));
    // A new refresh token replaces the old one; none given keeps it.
    const std::string refresh = json.value(QLatin1String("refresh_token")).toString().toStdString();
    if (refresh.empty() || refresh == refresh_) return false;
    refresh_ = refresh;
    loaded_ = true;
    StoreRefreshToken();
    return true;
}

QSslConfiguration OAuthCredential::Tls() const {
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setProtocol(QSsl::TlsV1_2OrLater);
    tls.setPeerVerifyMode(QSslSocket::VerifyPeer);
    if (!settings_.ExtraCaFile.empty())
        tls.setCaCertificates(QSslConfiguration::systemCaCertificates() +
                              QSslCertificate::fromPath(QString::fromStdString(settings_.ExtraCaFile)));
    return tls;
}

Task<OAuthCredential::Answer> OAuthCredential::Post(Form form, std::function<void()>* abort) {
    CheckEndpoint(settings_.TokenUrl);
    const QUrl url(QString::fromStdString(settings_.TokenUrl));
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/x-www-form-urlencoded"));
    request.setRawHeader("Accept", "application/json");
    request.setRawHeader("Accept-Encoding", "identity");  // the size cap holds for what arrives
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setSslConfiguration(Tls());

    QByteArray body;
    bool tooLarge = false, timedOut = false;
    Event finished;
    QTimer timer;
    timer.setSingleShot(true);
    const std::unique_ptr<QNetworkReply, ReplyDeleter> reply(
        network_.post(request, QByteArray::fromStdString(Joined(form))));
    QNetworkReply* r = reply.get();
    QObject::connect(r, &QNetworkReply::readyRead, r, [r, &body, &tooLarge] {
        body += r->read(kMaxAnswer + 1 - body.size());
        if (body.size() > kMaxAnswer) {
            tooLarge = true;
            r->abort();
        }
    });
    QObject::connect(r, &QNetworkReply::finished, r, [&finished] { finished.Set(); });
    QObject::connect(&timer, &QTimer::timeout, r, [r, &timedOut] {
        timedOut = true;
        r->abort();
    });
    timer.start(settings_.TimeOutMs);
    if (abort) *abort = [r] { r->abort(); };
    co_await finished;
    if (abort) *abort = nullptr;
    if (abort && canceled_) throw ESignInCanceled();

    const std::string host = ToAnsi(url.host());
    if (timedOut) throw Exception(A("Сервер авторизации ") + host + A(" не ответил вовремя"));
    if (tooLarge) throw Exception(A("Ответ сервера авторизации ") + host + A(" слишком велик"));
    Answer answer;
    answer.status = r->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (answer.status == 0)
        throw Exception(A("Запрос к серверу авторизации ") + host + A(" не удался: ") + ToAnsi(r->errorString()));
    body += r->readAll().left(kMaxAnswer - body.size());
    const QJsonDocument json = QJsonDocument::fromJson(body);
    if (!json.isObject())
        throw Exception(A("Сервер авторизации ") + host + A(" ответил не в формате JSON (HTTP ") +
                        std::to_string(answer.status) + ")");
    answer.json = json.object();
    co_return answer;
}

void OAuthCredential::CancelSignIn() {
    if (!signingIn_) return;
    canceled_ = true;
    if (cancel_) cancel_();
}

Task<> OAuthCredential::SignIn() {
    if (signingIn_) throw Exception(A("Вход уже выполняется"));
    CheckEndpoint(settings_.AuthorizeUrl);
    CheckEndpoint(settings_.TokenUrl);
    signingIn_ = true;
    canceled_ = false;
    struct Over {
        OAuthCredential* self;
        ~Over() {
            self->signingIn_ = false;
            self->cancel_ = nullptr;
        }
    } over{this};

    const std::string verifier = RandomText(32);
    const std::string state = RandomText(16);
    Event arrived;
    RedirectListener listener(state, [&arrived] { arrived.Set(); });
    if (!listener.Listen())
        throw Exception(A("Не удалось ждать ответа браузера на 127.0.0.1: ") + ToAnsi(listener.Error()));
    const std::string redirect = "http://127.0.0.1:" + std::to_string(listener.Port()) + "/";
    const std::string& endpoint = settings_.AuthorizeUrl;
    const std::string url = endpoint + (endpoint.find('?') == std::string::npos ? "?" : "&") +
                            Joined({{"response_type", "code"},
                                    {"client_id", settings_.ClientId},
                                    {"redirect_uri", redirect},
                                    {"scope", settings_.Scope},
                                    {"state", state},
                                    {"code_challenge", Challenge(verifier)},
                                    {"code_challenge_method", "S256"},
                                    {"login_hint", settings_.Login}});

    bool timedOut = false;
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, [&timedOut, &arrived] {
        timedOut = true;
        arrived.Set();
    });
    timer.start(settings_.SignInTimeOutMs);
    cancel_ = [&arrived] { arrived.Set(); };
    if (OnAuthorizationUrl) OnAuthorizationUrl(url);
    ShellOpen(url);
    co_await arrived;
    timer.stop();
    if (canceled_) throw ESignInCanceled();
    if (timedOut) throw Exception(A("Вход не выполнен: браузер не вернулся с ответом за 5 минут"));

    const auto& fields = listener.Fields();
    const auto field = [&fields](const char* name) {
        const auto found = fields.find(name);
        return QString::fromStdString(found == fields.end() ? std::string() : found->second);
    };
    // The browser is answered once the outcome is known.
    std::string failure;
    std::exception_ptr error;
    if (!field("error").isEmpty()) {
        failure = Refusal(field("error"), field("error_description"));
        error = std::make_exception_ptr(Exception(failure));
    } else {
        Form form{{"grant_type", "authorization_code"},
                  {"code", field("code").toStdString()},
                  {"redirect_uri", redirect},
                  {"client_id", settings_.ClientId},
                  {"code_verifier", verifier}};
        if (!settings_.ClientSecret.empty()) form.push_back({"client_secret", settings_.ClientSecret});
        try {
            Task<Answer> post = Post(std::move(form), &cancel_);
            const Answer answer = co_await post;
            Keep(answer);
        } catch (const Exception& e) {
            failure = e.Message;
            error = std::current_exception();
        }
    }
    listener.Answer(error ? QStringLiteral("Вход не выполнен: ") + FromAnsi(failure)
                          : QStringLiteral("Вход выполнен. Эту вкладку можно закрыть."));
    if (error) std::rethrow_exception(error);
    Changed();
}

}  // namespace mg
