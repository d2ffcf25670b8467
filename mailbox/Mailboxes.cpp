#include "mailbox/Mailboxes.h"

#include "lists/TextOrder.h"
#include "platform/codepage.h"
#include "platform/keyring.h"
#include "platform/profile.h"
#include "platform/strutil.h"

namespace mg {

namespace {

// CHECK: minutes, 0 (never) for anything that is not a number in range.
int CheckInterval(const std::string& value) {
    int32_t minutes = 0;
    return TryStrToInt(Trim(value), minutes) && minutes >= 0 && minutes <= 1440 ? minutes : 0;
}

constexpr const char* kMissing = "\x01";
const std::string kRequire = "REQUIRE";
const std::string kOAuth2 = "OAUTH2";

// The keys of an OAuth2 mailbox's sign-in, and the members they fill.
const std::pair<const char*, std::string MailboxConfig::*> kOAuthKeys[] = {
    {"OAUTH_AUTHORIZE", &MailboxConfig::AuthorizeUrl}, {"OAUTH_TOKEN", &MailboxConfig::TokenUrl},
    {"OAUTH_CLIENT_ID", &MailboxConfig::ClientId},     {"OAUTH_CLIENT_SECRET", &MailboxConfig::ClientSecret},
    {"OAUTH_SCOPE", &MailboxConfig::Scope},
};

// Application IDs a distributor registered with the providers, built in.
#ifndef MAILGROVE_OAUTH_MICROSOFT_CLIENT_ID
#define MAILGROVE_OAUTH_MICROSOFT_CLIENT_ID ""
#endif
#ifndef MAILGROVE_OAUTH_GOOGLE_CLIENT_ID
#define MAILGROVE_OAUTH_GOOGLE_CLIENT_ID ""
#endif
#ifndef MAILGROVE_OAUTH_GOOGLE_CLIENT_SECRET
#define MAILGROVE_OAUTH_GOOGLE_CLIENT_SECRET ""
#endif
constexpr const char* kMicrosoftToken = "https://login.microsoftonline.com/common/oauth2/v2.0/token";
constexpr const char* kGoogleToken = "https://oauth2.googleapis.com/token";
// The authserv-id of the provider's own Authentication-Results field.
constexpr const char* kGoogleAuthserv = "mx.google.com";

// The keyring's item names are UTF-8.
std::string Utf8(const std::string& ansi) { return FromAnsi(ansi).toStdString(); }

}  // namespace

Mailboxes::Mailboxes(Mailbox::Environment env) : env_(std::move(env)) {}

Mailboxes::~Mailboxes() = default;

std::string Mailboxes::SectionOf(int index) { return index == 0 ? "CONNECT" : "CONNECT" + std::to_string(index + 1); }

const std::vector<Mailboxes::Preset>& Mailboxes::Presets() {
    static const std::vector<Preset> presets = {
        {"Gmail", "pop.gmail.com", 995, true,
         "Gmail: включите POP в настройках Gmail (\"Пересылка и POP/IMAP\"); при двухэтапном входе нужен пароль "
         "приложения",
         false, kGoogleAuthserv},
        {"Gmail (вход через браузер)", "pop.gmail.com", 995, true,
         "Gmail: включите POP в настройках Gmail (\"Пересылка и POP/IMAP\") и нажмите \"Войти…\"", false,
         kGoogleAuthserv,
         "https://accounts.google.com/o/oauth2/v2/auth", kGoogleToken, "https://mail.google.com/"},
        {"Яндекс", "pop.yandex.ru", 995, true, "Яндекс: включите POP3 в настройках ящика и используйте пароль приложения",
         false},
        {"Mail.ru", "pop.mail.ru", 995, true, "Mail.ru: используйте пароль для внешнего приложения", false,
         "mxs.mail.ru"},
        {"Rambler", "pop.rambler.ru", 995, true, "Rambler: включите доступ по POP3 в настройках ящика", false},
        {"Outlook.com", "outlook.office365.com", 995, true, "Outlook.com: нажмите \"Войти…\", вход выполняется в браузере",
         false, "", "https://login.microsoftonline.com/common/oauth2/v2.0/authorize", kMicrosoftToken,
         "https://outlook.office.com/POP.AccessAsUser.All offline_access"},
        {"Другой", "", 110, false, "", false},
    };
    return presets;
}

int Mailboxes::IndexOf(const Mailbox* box) const {
    for (int i = 0; i < Count(); ++i)
        if (boxes_[static_cast<size_t>(i)].get() == box) return i;
    return -1;
}

MailboxConfig Mailboxes::Read(const std::string& section, std::optional<Mailbox::Kept>& kept) const {
    const std::string& file = env_.SettingsPath;
    MailboxConfig c;
    c.Host = GetPrivateProfileString(section, "HOST", "", file);
    c.Port = GetPrivateProfileString(section, "PORT", "110", file);
    c.User = TextOfProfile(GetPrivateProfileString(section, "USER", "", file));
    const std::string check = GetPrivateProfileString(section, "CHECK", "", file);
    c.Check = CheckInterval(check);
    c.CheckWritten = !check.empty();
    c.TlsRequired = SameNoCase(Trim(GetPrivateProfileString(section, "TLS", "", file)), kRequire);
    c.OAuth2 = SameNoCase(Trim(GetPrivateProfileString(section, "AUTH", "", file)), kOAuth2);
    c.Authserv = Trim(GetPrivateProfileString(section, "AUTHSERV", "", file));
    for (const auto& [key, member] : kOAuthKeys) c.*member = TextOfProfile(GetPrivateProfileString(section, key, "", file));
    const std::string stored = GetPrivateProfileString(section, "PASSWORD", "", file);
    if (!stored.empty()) {
        c.Password = TextOfProfile(stored);
        return c;
    }
    const std::string server = Utf8(c.Host);
    if (server.empty() && c.User.empty()) return c;
    if (std::optional<std::string> password = CurrentPasswordStore().Lookup(server, c.User)) {
        c.Password = *password;
        kept = Mailbox::Kept{server, c.User, std::move(*password)};
    }
    return c;
}

void Mailboxes::Load() {
    boxes_.clear();
    for (int i = 0;; ++i) {
        const std::string section = SectionOf(i);
        if (i > 0 && GetPrivateProfileString(section, "HOST", kMissing, env_.SettingsPath) == kMissing &&
            GetPrivateProfileString(section, "USER", kMissing, env_.SettingsPath) == kMissing)
            break;
        std::optional<Mailbox::Kept> kept;
        MailboxConfig config = Read(section, kept);
        boxes_.push_back(std::make_unique<Mailbox>(env_, std::move(config)));
        boxes_.back()->KeptPassword = std::move(kept);
        boxes_.back()->Section = i;
        // A refresh token the settings file keeps (no keyring took it) goes
        // to the credential, which tries the keyring again.
        const std::string refresh = GetPrivateProfileString(section, "OAUTH_REFRESH", "", env_.SettingsPath);
        if (boxes_.back()->Config().OAuth2 && !refresh.empty())
            boxes_.back()->Credential().SetRefreshToken(TextOfProfile(refresh));
    }
    sectionsRead_ = Count();
}

std::string Mailboxes::Save() {
    const std::string& file = env_.SettingsPath;
    const auto write = [&file](const std::string& section, const char* key, const std::string& value) {
        if (!WritePrivateProfileString(section, key, value, file)) throw Exception("Unable to write to " + file);
    };
    std::string notice;
    for (int i = 0; i < Count(); ++i) {
        Mailbox& box = At(i);
        const MailboxConfig& c = box.Config();
        const std::string section = SectionOf(i);
        // A mailbox new here, or moved up by a removal, takes none of the
        // keys that the section held for another.
        if (box.Section != i && !DeletePrivateProfileSection(section, file)) throw Exception("Unable to write to " + file);
        box.Section = i;
        write(section, "HOST", c.Host);
        write(section, "PORT", c.Port);
        write(section, "USER", ProfileText(c.User));
        write(section, "PASSWORD", StorePassword(box, notice));
        // A file that never had CHECK or TLS gets them only once there is
        // something to say.
        if (c.Check != 0 || c.CheckWritten) write(section, "CHECK", std::to_string(c.Check));
        if (c.TlsRequired || !GetPrivateProfileString(section, "TLS", "", file).empty())
            write(section, "TLS", c.TlsRequired ? kRequire : "");
        if (!c.Authserv.empty() || !GetPrivateProfileString(section, "AUTHSERV", "", file).empty())
            write(section, "AUTHSERV", c.Authserv);
        if (c.OAuth2 || !GetPrivateProfileString(section, "AUTH", "", file).empty()) {
            write(section, "AUTH", c.OAuth2 ? kOAuth2 : "PASSWORD");
            for (const auto& [key, member] : kOAuthKeys) write(section, key, ProfileText(c.*member));
            write(section, "OAUTH_REFRESH", StoreRefreshToken(box, notice));
        }
    }
    // The sections of mailboxes removed since the start.
    for (int i = Count(); i < sectionsRead_; ++i)
        if (!DeletePrivateProfileSection(SectionOf(i), file)) throw Exception("Unable to write to " + file);
    sectionsRead_ = Count();
    return notice;
}

std::string Mailboxes::StorePassword(Mailbox& box, std::string& notice) {
    const std::string server = Utf8(box.Config().Host);
    const std::string& user = box.Config().User;
    const std::string& password = box.Config().Password;
    std::optional<Mailbox::Kept>& kept = box.KeptPassword;
    const bool same = kept && kept->Server == server && kept->User == user;
    // What the keyring already holds is not sent again: a close at the end
    // of the session then waits for no keyring.
    if (same && kept->Password == password) return {};
    PasswordStore& keyring = CurrentPasswordStore();
    // An emptied field forgets the password, so the next start does not
    // bring it back from the keyring.
    if (password.empty()) {
        if (same && keyring.Clear(server, user)) kept.reset();
        return {};
    }
    if (keyring.Store(server, user, password)) {
        kept = Mailbox::Kept{server, user, password};
        return {};
    }
    notice = A("Связка ключей недоступна: пароль сохранен в файле MAILGROVE.INI");
    return ProfileText(password);
}

std::string Mailboxes::StoreRefreshToken(Mailbox& box, std::string& notice) {
    if (!box.Config().OAuth2) return {};
    OAuthCredential& credential = box.Credential();
    const std::string token = credential.RefreshToken();
    if (token.empty() || credential.RefreshTokenInKeyring()) return {};
    notice = A("Связка ключей недоступна: токен входа сохранен в файле MAILGROVE.INI");
    return ProfileText(token);
}

std::string Mailboxes::AdviceOf(const Preset& preset) {
    if (*preset.TokenUrl != 0 && DefaultClientId(preset.TokenUrl).empty())
        return std::string(preset.Name) +
               ": в эту сборку не встроен идентификатор приложения OAuth2; впишите свой (OAUTH_CLIENT_ID в "
               "MAILGROVE.INI), как сказано в README";
    return preset.Advice;
}

std::string Mailboxes::DefaultClientId(const std::string& tokenUrl) {
    if (tokenUrl == kMicrosoftToken) return MAILGROVE_OAUTH_MICROSOFT_CLIENT_ID;
    if (tokenUrl == kGoogleToken) return MAILGROVE_OAUTH_GOOGLE_CLIENT_ID;
    return {};
}

int Mailboxes::Unseen() const {
    int total = 0;
    for (const auto& box : boxes_) total += box->Unseen();
    return total;
}

std::string Mailboxes::Tooltip() const {
    std::string tip = "Mailgrove";
    for (const auto& box : boxes_) {
        if (box->LastCheck().empty() && box->Unseen() == 0) continue;
        tip += "\n" + box->Name() + ": " + box->LastCheck();
        if (box->Unseen() > 0) tip += A(", новых: ") + std::to_string(box->Unseen());
    }
    return tip;
}

std::string Mailboxes::TakeUndoneReport() {
    std::string text;
    for (const auto& box : boxes_) {
        const std::string undone = box->TakeUndoneReport();
        if (!undone.empty()) text += (text.empty() ? "" : "\n\n") + undone;
    }
    return text;
}

Mailbox& Mailboxes::Add(const Preset& preset) {
    MailboxConfig c;
    c.Host = A(preset.Host);
    c.Port = std::to_string(preset.Port);
    c.TlsRequired = preset.TlsRequired;
    c.Authserv = preset.Authserv;
    c.OAuth2 = *preset.TokenUrl != 0;
    c.AuthorizeUrl = preset.AuthorizeUrl;
    c.TokenUrl = preset.TokenUrl;
    c.Scope = preset.Scope;
    if (c.OAuth2 && c.TokenUrl == kGoogleToken) c.ClientSecret = MAILGROVE_OAUTH_GOOGLE_CLIENT_SECRET;
    boxes_.push_back(std::make_unique<Mailbox>(env_, std::move(c)));
    return *boxes_.back();
}

void Mailboxes::Remove(int index) {
    if (Count() < 2 || index < 0 || index >= Count()) return;
    Mailbox* box = boxes_[static_cast<size_t>(index)].release();
    boxes_.erase(boxes_.begin() + index);
    // Its password and its refresh token leave the keyring with it.
    if (box->KeptPassword) CurrentPasswordStore().Clear(box->KeptPassword->Server, box->KeptPassword->User);
    if (box->Config().OAuth2) box->Credential().Forget();
    box->EndCheck();
    // Its sessions may be inside a call of their own: gone from the event loop.
    box->OnActiveChanged = nullptr;
    box->deleteLater();
}

}  // namespace mg
