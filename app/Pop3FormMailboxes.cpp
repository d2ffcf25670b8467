// The main window's mailboxes: read from and written to the settings file,
// selected, added from presets and removed.
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSpinBox>

#include "app/Pop3Form.h"
#include "platform/codepage.h"
#include "platform/dialogs.h"
#include "platform/keyring.h"
#include "platform/profile.h"
#include "platform/strutil.h"

using mg::A;
using mg::FromAnsi;
using mg::ToAnsi;

namespace {

QString U(const char* utf8) { return QString::fromUtf8(utf8); }

// CHECK: minutes, 0 (never) for anything that is not a number in range.
int CheckInterval(const std::string& value) {
    int32_t minutes = 0;
    return mg::TryStrToInt(mg::Trim(value), minutes) && minutes >= 0 && minutes <= 1440 ? minutes : 0;
}

constexpr const char* kMissing = "\x01";

}  // namespace

const std::vector<TPop3Form::Preset>& TPop3Form::Presets() {
    static const std::vector<Preset> presets = {
        {"Gmail", "pop.gmail.com", 995,
         "Gmail: включите POP в настройках Gmail (\"Пересылка и POP/IMAP\"); при двухэтапном входе нужен пароль "
         "приложения"},
        {"Яндекс", "pop.yandex.ru", 995, "Яндекс: включите POP3 в настройках ящика и используйте пароль приложения"},
        {"Mail.ru", "pop.mail.ru", 995, "Mail.ru: используйте пароль для внешнего приложения"},
        {"Rambler", "pop.rambler.ru", 995, "Rambler: включите доступ по POP3 в настройках ящика"},
        {"Outlook.com", "outlook.office365.com", 995,
         "Outlook.com принимает только вход OAuth2, которого эта версия не умеет: войти в этот ящик она не сможет"},
        {"Другой", "", 110, ""},
    };
    return presets;
}

std::string TPop3Form::SectionOf(int index) { return index == 0 ? "CONNECT" : "CONNECT" + std::to_string(index + 1); }

void TPop3Form::BuildMailboxControls() {
    auto* label = new QLabel(U("Ящик"), gbConnect);
    label->setGeometry(12, 24, 64, 21);
    cbMailbox = new QComboBox(gbConnect);
    cbMailbox->setObjectName(QStringLiteral("cbMailbox"));
    cbMailbox->setGeometry(80, 22, 250, 23);
    btnMailboxAdd = new QPushButton(U("Добавить"), gbConnect);
    btnMailboxAdd->setObjectName(QStringLiteral("btnMailboxAdd"));
    btnMailboxAdd->setGeometry(336, 21, 96, 25);
    auto* menu = new QMenu(btnMailboxAdd);
    for (size_t i = 0; i < Presets().size(); ++i)
        connect(menu->addAction(U(Presets()[i].name)), &QAction::triggered, this,
                [this, i] { Command([this, i] { AddMailbox(i); }); });
    btnMailboxAdd->setMenu(menu);
    btnMailboxDelete = new QPushButton(U("Удалить ящик"), gbConnect);
    btnMailboxDelete->setObjectName(QStringLiteral("btnMailboxDelete"));
    btnMailboxDelete->setGeometry(436, 21, 133, 25);
    connect(btnMailboxDelete, &QPushButton::clicked, this, [this] { Command([this] { RemoveMailbox(); }); });
    connect(cbMailbox, &QComboBox::currentIndexChanged, this, [this](int index) {
        if (!fillingMailboxes_ && index >= 0) Command([this, index] { SelectMailbox(index); });
    });
    // The selector names the mailbox the fields describe.
    for (QLineEdit* e : {editHost, editUser})
        connect(e, &QLineEdit::textEdited, this, [this] {
            if (cbMailbox->count() > current_) cbMailbox->setItemText(current_, FromAnsi(MailboxName(current_)));
        });
}

TPop3Form::Mailbox TPop3Form::ReadMailbox(const std::string& section) const {
    Mailbox m;
    m.Host = mg::GetPrivateProfileString(section, "HOST", "", settingsPath_);
    m.Port = mg::GetPrivateProfileString(section, "PORT", "110", settingsPath_);
    m.User = mg::GetPrivateProfileString(section, "USER", "", settingsPath_);
    const std::string check = mg::GetPrivateProfileString(section, "CHECK", "", settingsPath_);
    m.Check = CheckInterval(check);
    m.CheckWritten = !check.empty();
    const std::string stored = mg::GetPrivateProfileString(section, "PASSWORD", "", settingsPath_);
    if (!stored.empty()) {
        m.Password = FromAnsi(stored).toStdString();
        return m;
    }
    const std::string server = FromAnsi(m.Host).toStdString();
    const std::string user = FromAnsi(m.User).toStdString();
    if (server.empty() && user.empty()) return m;
    if (std::optional<std::string> kept = mg::CurrentPasswordStore().Lookup(server, user)) {
        m.Password = *kept;
        m.Kept = KeptPassword{server, user, std::move(*kept)};
    }
    return m;
}

void TPop3Form::LoadMailboxes() {
    mailboxes_.assign(1, ReadMailbox(SectionOf(0)));
    for (int i = 1;; ++i) {
        const std::string section = SectionOf(i);
        if (mg::GetPrivateProfileString(section, "HOST", kMissing, settingsPath_) == kMissing &&
            mg::GetPrivateProfileString(section, "USER", kMissing, settingsPath_) == kMissing)
            break;
        mailboxes_.push_back(ReadMailbox(section));
    }
    sectionsRead_ = MailboxCount();
    current_ = 0;
    ShowMailbox(0);
    FillMailboxes();
}

void TPop3Form::SaveMailboxes() {
    StoreCurrent();
    for (int i = 0; i < MailboxCount(); ++i) {
        Mailbox& m = mailboxes_[static_cast<size_t>(i)];
        const std::string section = SectionOf(i);
        const std::string values[][2] = {
            {"HOST", m.Host}, {"PORT", m.Port}, {"USER", m.User}, {"PASSWORD", StorePassword(m)}};
        if (i == current_) keyringPassword_ = m.Kept;
        for (const auto& kv : values)
            if (!mg::WritePrivateProfileString(section, kv[0], kv[1], settingsPath_))
                throw Exception("Unable to write to " + settingsPath_);
        // A file that never had CHECK gets it only once there is something to say.
        if ((m.Check != 0 || m.CheckWritten) &&
            !mg::WritePrivateProfileString(section, "CHECK", std::to_string(m.Check), settingsPath_))
            throw Exception("Unable to write to " + settingsPath_);
    }
    // The sections of mailboxes removed since the start.
    for (int i = MailboxCount(); i < sectionsRead_; ++i)
        if (!mg::DeletePrivateProfileSection(SectionOf(i), settingsPath_))
            throw Exception("Unable to write to " + settingsPath_);
    sectionsRead_ = MailboxCount();
}

std::string TPop3Form::StorePassword(Mailbox& m) {
    const std::string server = FromAnsi(m.Host).toStdString();
    const std::string user = FromAnsi(m.User).toStdString();
    const std::string& password = m.Password;
    const bool kept = m.Kept && m.Kept->server == server && m.Kept->user == user;
    // What the keyring already holds is not sent again: a close at the end
    // of the session then waits for no keyring.
    if (kept && m.Kept->password == password) return {};
    mg::PasswordStore& keyring = mg::CurrentPasswordStore();
    // An emptied field forgets the password, so the next start does not
    // bring it back from the keyring.
    if (password.empty()) {
        if (kept && keyring.Clear(server, user)) m.Kept.reset();
        return {};
    }
    if (keyring.Store(server, user, password)) {
        m.Kept = KeptPassword{server, user, password};
        return {};
    }
    SetStatus(A("Связка ключей недоступна: пароль сохранен в файле MAILGROVE.INI"));
    return ToAnsi(QString::fromStdString(password));
}

void TPop3Form::StoreCurrent() {
    Mailbox& m = mailboxes_[static_cast<size_t>(current_)];
    m.Host = ToAnsi(editHost->text());
    m.Port = ToAnsi(editPort->text());
    m.User = ToAnsi(editUser->text());
    m.Password = editPassword->text().toStdString();
    m.Kept = keyringPassword_;
    m.Check = editCheck->value();
}

void TPop3Form::ShowMailbox(int index) {
    current_ = index;
    const Mailbox& m = mailboxes_[static_cast<size_t>(index)];
    fillingMailboxes_ = true;
    editHost->setText(FromAnsi(m.Host));
    editPort->setText(FromAnsi(m.Port));
    editUser->setText(FromAnsi(m.User));
    editPassword->setText(QString::fromStdString(m.Password));
    editCheck->setValue(m.Check);
    fillingMailboxes_ = false;
    keyringPassword_ = m.Kept;
}

std::string TPop3Form::MailboxName(int index) const {
    const bool selected = index == current_ && editUser;
    const std::string user = selected ? ToAnsi(editUser->text()) : mailboxes_[static_cast<size_t>(index)].User;
    const std::string host = selected ? ToAnsi(editHost->text()) : mailboxes_[static_cast<size_t>(index)].Host;
    if (user.empty() && host.empty()) return A("Новый ящик");
    return user + "@" + host;
}

void TPop3Form::FillMailboxes() {
    fillingMailboxes_ = true;
    cbMailbox->clear();
    for (int i = 0; i < MailboxCount(); ++i) cbMailbox->addItem(FromAnsi(MailboxName(i)));
    cbMailbox->setCurrentIndex(current_);
    fillingMailboxes_ = false;
    btnMailboxDelete->setEnabled(MailboxCount() > 1);
}

void TPop3Form::SelectMailbox(int index) {
    if (index < 0 || index >= MailboxCount() || index == current_) {
        FillMailboxes();
        return;
    }
    // The session of the mailbox left behind ends first: its deletions are
    // committed (or reported lost, and then the mailbox stays selected).
    if (session_->Connected() || !session_->Settled() || session_->HoldsDeletions()) {
        session_->End([this, index](const mg::MailboxSession::EndResult& result) {
            SessionEnded(result, false);
            if (!result.lost) ApplySelection(index);
            FillMailboxes();
        });
        return;
    }
    ApplySelection(index);
}

void TPop3Form::ApplySelection(int index) {
    if (index >= MailboxCount()) return;
    StoreCurrent();
    session_->Lines().Clear();
    editCount->setText(QStringLiteral("0"));
    ShowMailbox(index);
    FillMailboxes();
    const Mailbox& m = mailboxes_[static_cast<size_t>(index)];
    const bool shown = ShowLastScan(false);
    if (!pendingAdvice_.empty())
        SetStatus(std::exchange(pendingAdvice_, std::string()));
    else if (!shown)
        SetStatus(m.LastCheck);
    Looked();
}

void TPop3Form::AddMailbox(size_t preset) {
    if (preset >= Presets().size()) return;
    const Preset& p = Presets()[preset];
    StoreCurrent();
    Mailbox m;
    m.Host = ToAnsi(U(p.host));
    m.Port = std::to_string(p.port);
    mailboxes_.push_back(m);
    pendingAdvice_ = ToAnsi(U(p.advice));
    FillMailboxes();
    IntervalChanged();
    SelectMailbox(MailboxCount() - 1);
    // A provider this version cannot sign in to is said plainly, at once.
    if (std::string(p.host) == "outlook.office365.com") mg::ShowMessage(ToAnsi(U(p.advice)), mg::Icon::Warning, mg::Buttons::Ok);
}

void TPop3Form::RemoveMailbox() {
    if (MailboxCount() < 2) return;
    const int index = current_;
    if (mg::ShowMessage(A("Удалить ящик ") + MailboxName(index) + "?", mg::Icon::Confirmation, mg::Buttons::YesNo) !=
        mg::Answer::Yes)
        return;
    const auto remove = [this, index] {
        if (index >= MailboxCount()) return;
        // The numbers of the mailboxes after it change: a background check
        // under way is given up.
        if (checking_ >= 0) {
            const int running = std::exchange(checking_, -1);
            scheduler_.Finished(running, false, {});
            watch_->End([](const mg::MailboxSession::EndResult&) {});
        }
        StoreCurrent();
        // Its password leaves the keyring with it.
        const Mailbox& m = mailboxes_[static_cast<size_t>(index)];
        if (m.Kept) mg::CurrentPasswordStore().Clear(m.Kept->server, m.Kept->user);
        mailboxes_.erase(mailboxes_.begin() + index);
        session_->Lines().Clear();
        editCount->setText(QStringLiteral("0"));
        ShowMailbox(std::max(0, index - 1));
        FillMailboxes();
        IntervalChanged();
    };
    if (session_->Connected() || !session_->Settled() || session_->HoldsDeletions()) {
        session_->End([this, remove](const mg::MailboxSession::EndResult& result) {
            SessionEnded(result, false);
            if (!result.lost) remove();
        });
        return;
    }
    remove();
}
