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
         false},
        {"Яндекс", "pop.yandex.ru", 995, true, "Яндекс: включите POP3 в настройках ящика и используйте пароль приложения",
         false},
        {"Mail.ru", "pop.mail.ru", 995, true, "Mail.ru: используйте пароль для внешнего приложения", false},
        {"Rambler", "pop.rambler.ru", 995, true, "Rambler: включите доступ по POP3 в настройках ящика", false},
        {"Outlook.com", "outlook.office365.com", 995, true,
         "Outlook.com принимает только вход OAuth2, которого эта версия не умеет: войти в этот ящик она не сможет", true},
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

Mailbox& Mailboxes::Add(const Preset& preset) {
    MailboxConfig c;
    c.Host = A(preset.Host);
    c.Port = std::to_string(preset.Port);
    c.TlsRequired = preset.TlsRequired;
    boxes_.push_back(std::make_unique<Mailbox>(env_, std::move(c)));
    return *boxes_.back();
}

void Mailboxes::Remove(int index) {
    if (Count() < 2 || index < 0 || index >= Count()) return;
    Mailbox* box = boxes_[static_cast<size_t>(index)].release();
    boxes_.erase(boxes_.begin() + index);
    // Its password leaves the keyring with it.
    if (box->KeptPassword) CurrentPasswordStore().Clear(box->KeptPassword->Server, box->KeptPassword->User);
    box->EndCheck();
    // Its sessions may be inside a call of their own: gone from the event loop.
    box->OnActiveChanged = nullptr;
    box->deleteLater();
}

}  // namespace mg
