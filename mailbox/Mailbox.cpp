#include "mailbox/Mailbox.h"

#include <QDateTime>
#include <QMetaObject>
#include <unordered_map>

#include "mailbox/DeletionBin.h"
#include "mailbox/Mailboxes.h"
#include "platform/codepage.h"
#include "platform/strutil.h"

namespace mg {

Mailbox::Mailbox(const Environment& env, MailboxConfig config, QObject* parent)
    : QObject(parent), env_(env), config_(std::move(config)),
      session_(std::make_unique<MailboxSession>(env.DataDir, *env.Spam, *env.White, env.Options)) {
    session_->OnState = [this](MailboxSession::State) {
        if (Active() == active_) return;
        active_ = !active_;
        if (OnActiveChanged) OnActiveChanged();
    };
    session_->OnUndoneFound = [this](int count, bool logFailed) { NoteUndone(count, logFailed); };
}

void Mailbox::NoteUndone(int count, bool logFailed) {
    undone_ += (undone_.empty() ? "" : "\n\n") + Name() + ": " + A("сервер не выполнил удаления прошлого сеанса: ") +
               std::to_string(count) +
               A(". Программа была завершена до подтверждения удалений; эти сообщения остались на сервере, "
                 "в log.dat о каждом записано <НЕ УДАЛЕНО>, их копии убраны из корзины.");
    if (logFailed) undone_ += A("\nОшибка записи в файл log.dat!");
}

Mailbox::~Mailbox() {
    session_->OnState = nullptr;
    check_.reset();
    session_.reset();
    credential_.reset();
}

std::string Mailbox::Name() const {
    const std::string user = ToAnsi(QString::fromStdString(config_.User));
    if (user.empty() && config_.Host.empty()) return A("Новый ящик");
    return user + "@" + config_.Host;
}

bool Mailbox::SameAccount(const Mailbox& other) const {
    return config_.Host == other.config_.Host && config_.User == other.config_.User;
}

MailboxSettings Mailbox::LogOnSettings() { return SettingsWithPort(StrToInt(config_.Port)); }

MailboxSettings Mailbox::SettingsWithPort(int32_t port) {
    MailboxSettings s;
    s.Host = config_.Host;
    s.Port = port;
    // On the wire the login and password are UTF-8, as the keyring holds
    // them and today's servers compare them.
    s.User = config_.User;
    s.Password = config_.Password;
    s.TlsRequired = config_.TlsRequired;
    s.Authserv = config_.Authserv;
    if (config_.OAuth2) {
        s.Auth = MailboxSettings::SignIn::OAuth2;
        s.Token = [this](bool refresh) { return Credential().Token(refresh); };
    }
    return s;
}

void Mailbox::SetAuthserv(const std::string& pattern) {
    config_.Authserv = pattern;
    session_->Rejudge(pattern);
}

bool Mailbox::InUse() const {
    return session_->Connected() || !session_->Settled() || session_->HoldsDeletions() ||
           session_->GetState() != MailboxSession::State::Idle;
}

bool Mailbox::Active() const {
    return session_->Connected() || session_->HoldsDeletions() || session_->GetState() != MailboxSession::State::Idle;
}

void Mailbox::End(std::function<void(const MailboxSession::EndResult&)> then) { session_->End(std::move(then)); }

// ---- the user's requests

namespace {
// Resumes a waiting job from the event loop once a session has ended (at
// once when it has).
struct Ended {
    MailboxSession* session;
    QObject* context;
    bool await_ready() const noexcept { return !session || (session->Settled() && !session->Connected()); }
    void await_suspend(std::coroutine_handle<> job) {
        session->End([job, c = context](const MailboxSession::EndResult&) {
            QMetaObject::invokeMethod(c, [job] { job.resume(); }, Qt::QueuedConnection);
        });
    }
    void await_resume() noexcept {}
};
}  // namespace

Task<> Mailbox::CheckEnded() {
    // A check under way gives way to the user's own session.
    Ended ended{check_.get(), this};
    co_await ended;
}

Task<> Mailbox::Scan() {
    co_await CheckEnded();
    // An OAuth2 mailbox signs in first when it must; a refresh token the
    // provider no longer honours (invalid_grant) asks for a sign-in anew.
    if (config_.OAuth2 && NeedsSignIn()) co_await SignIn();
    bool signIn = false;
    try {
        co_await ScanSignedIn();
    } catch (const ENeedsSignIn&) {
        if (!config_.OAuth2) throw;
        signIn = true;
    }
    if (!signIn) co_return;
    co_await SignIn();
    co_await ScanSignedIn();
}

Task<> Mailbox::ScanSignedIn() {
    // The fields are read once the old session is gone (the port may be no
    // number: nothing has been sent then).
    std::function<MailboxSettings()> settings = [this] { return LogOnSettings(); };
    co_await session_->Scan(settings);
}

// ---- OAuth2

OAuthSettings Mailbox::CredentialSettings() const {
    OAuthSettings o;
    o.AuthorizeUrl = config_.AuthorizeUrl;
    o.TokenUrl = config_.TokenUrl;
    o.ClientId = config_.ClientId.empty() ? Mailboxes::DefaultClientId(config_.TokenUrl) : config_.ClientId;
    o.ClientSecret = config_.ClientSecret;
    o.Scope = config_.Scope;
    o.Server = FromAnsi(config_.Host).toStdString();
    o.Login = config_.User;
    return o;
}

OAuthCredential& Mailbox::Credential() {
    const OAuthSettings wanted = CredentialSettings();
    const auto same = [&wanted](const OAuthSettings& o) {
        return o.AuthorizeUrl == wanted.AuthorizeUrl && o.TokenUrl == wanted.TokenUrl && o.ClientId == wanted.ClientId &&
               o.ClientSecret == wanted.ClientSecret && o.Scope == wanted.Scope && o.Server == wanted.Server &&
               o.Login == wanted.Login;
    };
    if (!credential_ || (!credential_->SigningIn() && !same(credential_->Settings()))) {
        credential_ = std::make_unique<OAuthCredential>(wanted);
        credential_->OnAuthorizationUrl = [this](const std::string& url) {
            if (OnAuthorizationUrl) OnAuthorizationUrl(url);
        };
        credential_->OnChanged = [this] {
            if (OnSignInChanged) OnSignInChanged();
        };
    }
    return *credential_;
}

bool Mailbox::NeedsSignIn() { return config_.OAuth2 && Credential().GetState() == OAuthCredential::State::NeedsSignIn; }

Task<> Mailbox::SignIn() {
    OAuthCredential& credential = Credential();
    co_await credential.SignIn();
}

Task<> Mailbox::Delete() {
    // Lines of a scan whose session has ended are deleted in a new one.
    if (!session_->Connected() && session_->ShowsLastScan()) co_await CheckEnded();
    // The bin's limits may have changed since the last run.
    session_->SetBin(BinSettings::Read(env_.SettingsPath, env_.BinByDefault));
    std::function<MailboxSettings()> settings = [this] { return LogOnSettings(); };
    co_await session_->Delete(settings);
}

bool Mailbox::ShowLastScan(bool keepMarks) {
    if (session_->Connected() || !session_->Settled() || session_->HoldsDeletions()) return false;
    const TMessageLines& lines = session_->Lines();
    std::unordered_map<std::string, bool> marks;
    if (keepMarks && session_->ShowsLastScan())
        for (int i = 0; i < lines.Count(); ++i)
            if (!session_->LineId(i).empty()) marks[session_->LineId(i)] = lines.Checked(i);
    if (!session_->ShowLastScan(config_.Host, config_.User, config_.Authserv, lastScan_)) return false;
    for (int i = 0; i < lines.Count(); ++i) {
        const auto found = marks.find(session_->LineId(i));
        if (found != marks.end() && lines.Enabled(i)) session_->Lines().SetChecked(i, found->second);
    }
    return true;
}

std::string Mailbox::LastScanStatus() const {
    const QDateTime at = QDateTime::fromSecsSinceEpoch(lastScan_);
    std::string text = A("Проверено ");
    if (at.date() != QDate::currentDate()) text += ToAnsi(at.toString(QStringLiteral("dd.MM.yyyy ")));
    text += A("в ") + ToAnsi(at.toString(QStringLiteral("HH:mm")));
    if (checkFailed_) text += ". " + lastCheck_;
    return text;
}

// ---- background checks

std::string Mailbox::CheckStatus(bool named) const {
    std::string text = (named ? Name() + ": " : std::string()) + lastCheck_;
    if (unseen_ > 0) text += A(". Новых сообщений: ") + std::to_string(unseen_);
    return text;
}

void Mailbox::Check(std::function<void(const CheckReport&)> done) {
    if (checking_ || Active()) {
        // The user's session has the mailbox: nothing to report.
        if (done) done(CheckReport{{}, {}, true});
        return;
    }
    checkDone_ = std::move(done);
    checking_ = true;
    fresh_.clear();
    checkNotice_.clear();
    int32_t port = 0;
    const MailboxSettings s = SettingsWithPort(TryStrToInt(Trim(config_.Port), port) ? port : 110);
    if (s.Host.empty() || s.User.empty() || (s.Password.empty() && !config_.OAuth2)) {
        CheckDone(std::make_exception_ptr(Exception(A("не указаны сервер, логин или пароль"))));
        return;
    }
    if (!check_) {
        check_ = std::make_unique<MailboxSession>(env_.DataDir, *env_.Spam, *env_.White, env_.Options);
        // Nothing a background check meets asks the user anything.
        check_->OnScanned = [this](int, int, const std::string& notice) { checkNotice_ = notice; };
        check_->OnUndoneFound = [this](int count, bool logFailed) { NoteUndone(count, logFailed); };
    }
    check_->Submit([this, s] { return CheckJob(s); }, [this](std::exception_ptr error) { CheckDone(error); });
}

Task<> Mailbox::CheckJob(MailboxSettings settings) {
    // (A named function: GCC 12 destroys a temporary in a co_await operand twice.)
    std::function<MailboxSettings()> read = [settings] { return settings; };
    co_await check_->Scan(read);
    // New since any earlier scan, and not black-listed: white-listed mail is
    // announced like any other. The header cache remembers what was seen, so
    // a message is announced once, across restarts too.
    const TMessageLines& lines = check_->Lines();
    for (int i = 0; i < lines.Count(); ++i)
        if (lines.Fresh(i) && lines.MarkOf(i) != TMessageLines::Mark::Spam)
            fresh_.push_back({lines.Sender(i), lines.Subject(i), lines.MarkOf(i) == TMessageLines::Mark::Fake});
    co_await check_->LogOff();
}

void Mailbox::EndCheck() {
    if (checking_ && check_) check_->End([](const MailboxSession::EndResult&) {});
}

void Mailbox::CheckDone(std::exception_ptr error) {
    checking_ = false;
    CheckReport report;
    if (error) {
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            report.Error = Trim(e.what());
        } catch (...) {
            report.Error.assign(1, '?');  // (not = "?": GCC 12 warns falsely of an overlap)
        }
    }
    const std::string at = ToAnsi(QTime::currentTime().toString(QStringLiteral("HH:mm")));
    checkFailed_ = !report.Error.empty();
    if (checkFailed_) {
        lastCheck_ = A("Ошибка проверки в ") + at + ": " + report.Error;
    } else {
        lastCheck_ = A("Проверено в ") + at;
        if (!checkNotice_.empty()) lastCheck_ += ". " + checkNotice_;
        report.Fresh.swap(fresh_);
        unseen_ += static_cast<int>(report.Fresh.size());
    }
    fresh_.clear();
    if (auto done = std::exchange(checkDone_, nullptr)) done(report);
}

}  // namespace mg
