// The main window watching its mailbox: background checks on a timer, new
// mail announced on the desktop and counted on the tray icon, and the
// autostart entry.
#include <QCheckBox>
#include <QDateTime>
#include <QGroupBox>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QNetworkInformation>
#include <QPainter>
#include <QSpinBox>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTimer>
#include <cerrno>
#include <unordered_map>
#include <unistd.h>

#include "app/Icon.h"
#include "app/Pop3Form.h"
#include "platform/codepage.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/notifier.h"
#include "platform/profile.h"
#include "platform/strutil.h"

using mg::A;
using mg::FromAnsi;
using mg::ToAnsi;

namespace {

const std::string kSpamMark = " <SPAM>  ";

std::function<void(const std::string&, const TPop3Form::Announcement&)> g_announceForTest;
mg::CheckScheduler::Clock g_clockForTest;

QString U(const char* utf8) { return QString::fromUtf8(utf8); }

int32_t PortOf(const std::string& value) {
    int32_t port = 0;
    return mg::TryStrToInt(mg::Trim(value), port) ? port : 110;
}

// Sender and subject of a message line: "size | sender (padded) | subject".
std::pair<std::string, std::string> SenderAndSubject(const std::string& line) {
    const size_t first = line.find(" | ");
    if (first == std::string::npos) return {};
    const size_t second = line.find(" | ", first + 3);
    if (second == std::string::npos) return {mg::Trim(line.substr(first + 3)), {}};
    return {mg::Trim(line.substr(first + 3, second - first - 3)), line.substr(second + 3)};
}

}  // namespace

void TPop3Form::SetAnnounceForTest(std::function<void(const std::string&, const Announcement&)> announce) {
    g_announceForTest = std::move(announce);
}

void TPop3Form::SetCheckClockForTest(mg::CheckScheduler::Clock clock) { g_clockForTest = std::move(clock); }

mg::CheckScheduler::Clock TPop3Form::CheckClock() { return g_clockForTest; }

std::string TPop3Form::AutostartPath() {
    const QByteArray config = qgetenv("XDG_CONFIG_HOME");
    const QString base = config.isEmpty() ? QDir::homePath() + QStringLiteral("/.config") : QString::fromLocal8Bit(config);
    return (base + QStringLiteral("/autostart/mailgrove.desktop")).toLocal8Bit().toStdString();
}

void TPop3Form::BuildWatchControls() {
    auto* label = new QLabel(U("Проверять каждые"), gbConnect);
    label->setObjectName(QStringLiteral("labCheck"));
    label->setGeometry(358, 110, 120, 21);
    editCheck = new QSpinBox(gbConnect);
    editCheck->setObjectName(QStringLiteral("editCheck"));
    editCheck->setGeometry(480, 108, 42, 23);
    editCheck->setRange(0, 1440);
    editCheck->setButtonSymbols(QAbstractSpinBox::NoButtons);
    editCheck->setKeyboardTracking(false);
    editCheck->setToolTip(U("Проверять ящик в фоне каждые N минут (0 - не проверять)"));
    auto* minutes = new QLabel(U("мин"), gbConnect);
    minutes->setGeometry(526, 110, 40, 21);

    cbAutostart = new QCheckBox(U("Запускать при входе в систему"), tsConnect);
    cbAutostart->setObjectName(QStringLiteral("cbAutostart"));
    cbAutostart->setGeometry(12, 452, 300, 22);
}

void TPop3Form::SetUpWatch() {
    cbAutostart->setChecked(mg::FileExists(AutostartPath()));
    connect(editCheck, &QSpinBox::valueChanged, this, [this] { Command([this] { IntervalChanged(); }); });
    connect(cbAutostart, &QCheckBox::toggled, this, [this](bool on) { Command([this, on] { AutostartToggled(on); }); });

    watch_ = std::make_unique<mg::MailboxSession>(programDir_, Spam, WhiteEntries);
    watch_->OnUndoneFound = [this](int count, bool logFailed) { NoteUndone(checking_, count, logFailed); };
    // Nothing a background check meets asks the user anything: a failure is
    // its error, shown in the status bar and the tray's tooltip.
    scheduler_.OnCheckDue = [this](int mailbox) { CheckDue(mailbox); };
    session_->OnState = [this](mg::MailboxSession::State state) {
        scheduler_.SetUserSessionActive(state != mg::MailboxSession::State::Idle);
    };
    // Where the platform says whether the network is up, no check runs
    // while it is down.
    if (QNetworkInformation::loadBackendByFeatures(QNetworkInformation::Feature::Reachability)) {
        QNetworkInformation* network = QNetworkInformation::instance();
        const auto follow = [this](QNetworkInformation::Reachability r) {
            scheduler_.SetOnline(r != QNetworkInformation::Reachability::Disconnected);
        };
        follow(network->reachability());
        connect(network, &QNetworkInformation::reachabilityChanged, this, follow);
    }
    IntervalChanged();
    // A mailbox checked in the background opens on what its last check saw.
    if (mailboxes_[static_cast<size_t>(current_)].Check > 0) ShowLastScan(false);
}

bool TPop3Form::ShowLastScan(bool keepMarks) {
    if (session_->Connected() || !session_->Settled() || session_->HoldsDeletions()) return false;
    std::unordered_map<std::string, bool> marks;
    if (keepMarks && session_->ShowsLastScan())
        for (int i = 0; i < LineCount(); ++i)
            if (!session_->LineId(i).empty()) marks[session_->LineId(i)] = LineChecked(i);
    // Keyed as a scan keys it (the port field is not read: it may be no number).
    int64_t scanned = 0;
    const bool shown = session_->ShowLastScan(ToAnsi(editHost->text()), editUser->text().toStdString(), scanned);
    editCount->setText(QString::number(LineCount()));
    if (!shown) return false;
    for (int i = 0; i < LineCount(); ++i) {
        const auto found = marks.find(session_->LineId(i));
        if (found != marks.end() && LineEnabled(i)) SetLineChecked(i, found->second);
    }
    const QDateTime at = QDateTime::fromSecsSinceEpoch(scanned);
    std::string text = A("Проверено ");
    if (at.date() != QDate::currentDate()) text += ToAnsi(at.toString(QStringLiteral("dd.MM.yyyy ")));
    text += A("в ") + ToAnsi(at.toString(QStringLiteral("HH:mm")));
    const Mailbox& m = mailboxes_[static_cast<size_t>(current_)];
    if (m.CheckFailed) text += ". " + m.LastCheck;
    SetStatus(text);
    return true;
}

void TPop3Form::IntervalChanged() {
    if (fillingMailboxes_) return;
    mailboxes_[static_cast<size_t>(current_)].Check = editCheck->value();
    std::vector<int> intervals;
    for (const Mailbox& m : mailboxes_) intervals.push_back(m.Check);
    scheduler_.SetMailboxes(intervals);
}

int TPop3Form::Unseen() const {
    int total = 0;
    for (const Mailbox& m : mailboxes_) total += m.Unseen;
    return total;
}

void TPop3Form::CheckDue(int mailbox) {
    StoreCurrent();
    const Mailbox& m = mailboxes_[static_cast<size_t>(mailbox)];
    mg::MailboxSettings s;
    s.Host = m.Host;
    s.Port = PortOf(m.Port);
    s.User = FromAnsi(m.User).toStdString();
    s.Password = m.Password;
    checking_ = mailbox;
    announced_.clear();
    if (s.Host.empty() || s.User.empty() || s.Password.empty()) {
        CheckDone(std::make_exception_ptr(Exception(A("не указаны сервер, логин или пароль"))));
        return;
    }
    watch_->Submit([this, s] { return BackgroundCheck(s); },
                   [this](std::exception_ptr error) { CheckDone(error); });
}

mg::Task<> TPop3Form::BackgroundCheck(mg::MailboxSettings settings) {
    // (A named function: GCC 12 destroys a temporary in a co_await operand twice.)
    std::function<mg::MailboxSettings()> read = [settings] { return settings; };
    co_await watch_->Scan(read);
    // New since any earlier scan, and not black-listed: white-listed mail is
    // announced like any other. The header cache remembers what was seen, so
    // a message is announced once, across restarts too.
    const TMessageLines& lines = watch_->Lines();
    for (int i = 0; i < lines.Count(); ++i)
        if (lines.Fresh(i) && lines.Text(i).rfind(kSpamMark, 0) != 0) announced_.push_back(SenderAndSubject(lines.Text(i)));
    co_await watch_->LogOff();
}

void TPop3Form::CheckDone(std::exception_ptr error) {
    const int index = std::exchange(checking_, -1);
    Announcement announced;
    announced.swap(announced_);
    if (index < 0 || index >= MailboxCount()) return;
    Mailbox& m = mailboxes_[static_cast<size_t>(index)];
    const std::string mailbox = MailboxName(index);
    const std::string at = ToAnsi(QTime::currentTime().toString(QStringLiteral("HH:mm")));
    std::string failure;
    if (error) {
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            failure = mg::Trim(e.what());
        } catch (...) {
            failure = "?";
        }
    }
    m.CheckFailed = !failure.empty();
    if (!failure.empty()) {
        m.LastCheck = A("Ошибка проверки в ") + at + ": " + failure;
    } else {
        m.LastCheck = A("Проверено в ") + at;
        // The selected mailbox shows what the check saw, unless the list
        // holds something else of the user's.
        if (index == current_ && (LineCount() == 0 || session_->ShowsLastScan())) ShowLastScan(true);
        if (!announced.empty()) {
            m.Unseen += static_cast<int>(announced.size());
            if (g_announceForTest)
                g_announceForTest(mailbox, announced);
            else {
                if (!notifier_) {
                    notifier_ = std::make_unique<mg::Notifier>();
                    connect(notifier_.get(), &mg::Notifier::Activated, this, [this](int box) {
                        WMTrayNotify(515);
                        Command([this, box] { SelectMailbox(box); });
                    });
                }
                notifier_->Announce(index, mailbox, announced);
            }
        }
    }
    // The user's own reply stays shown while a session of theirs is open.
    if (session_->GetState() == mg::MailboxSession::State::Idle) {
        std::string text = (MailboxCount() > 1 ? mailbox + ": " : std::string()) + m.LastCheck;
        if (m.Unseen > 0) text += A(". Новых сообщений: ") + std::to_string(m.Unseen);
        SetStatus(text);
    }
    ShowUnseen();
    mg::Guarded([this] { ReportUndone(); });
    // Last: the next mailbox's check may start inside this call.
    if (scheduler_.Running() == index) scheduler_.Finished(index, error == nullptr, failure);
}

void TPop3Form::ShowUnseen() {
    if (!tray_) return;
    const int unseen = Unseen();
    QIcon icon = mg::MailgroveIcon();
    if (unseen > 0) {
        QPixmap pixmap = icon.pixmap(32, 32);
        QPainter painter(&pixmap);
        QFont font = painter.font();
        font.setBold(true);
        font.setPixelSize(unseen > 99 ? 11 : 14);
        painter.setFont(font);
        const QRect badge(12, 14, 20, 18);
        painter.setBrush(Qt::red);
        painter.setPen(Qt::NoPen);
        painter.drawRoundedRect(badge, 6, 6);
        painter.setPen(Qt::white);
        painter.drawText(badge, Qt::AlignCenter, unseen > 99 ? QStringLiteral("99+") : QString::number(unseen));
        icon = QIcon(pixmap);
    }
    tray_->setIcon(icon);
    QString tip = QStringLiteral("Mailgrove");
    for (int i = 0; i < MailboxCount(); ++i) {
        const Mailbox& m = mailboxes_[static_cast<size_t>(i)];
        if (m.LastCheck.empty() && m.Unseen == 0) continue;
        std::string line = MailboxName(i) + ": " + m.LastCheck;
        if (m.Unseen > 0) line += A(", новых: ") + std::to_string(m.Unseen);
        tip += QLatin1Char('\n') + FromAnsi(line);
    }
    tray_->setToolTip(tip);
}

void TPop3Form::Looked() {
    mailboxes_[static_cast<size_t>(current_)].Unseen = 0;
    ShowUnseen();
}

void TPop3Form::StartHidden() {
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        TrayIcon(1);
        ShowUnseen();
    } else {
        showMinimized();
    }
}

void TPop3Form::AutostartToggled(bool on) {
    const std::string path = AutostartPath();
    if (!on) {
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) throw EInOutError(InOutErrorText(errno));
        return;
    }
    QDir().mkpath(QFileInfo(QString::fromLocal8Bit(path.c_str())).path());
    const std::string entry =
        "[Desktop Entry]\n"
        "Type=Application\n"
        "Name=Mailgrove\n"
        "Comment=Checks POP3 mailboxes in the background\n"
        "Exec=mailgrove --hidden\n"
        "Icon=org.mailgrove.Mailgrove\n"
        "Terminal=false\n"
        "X-GNOME-Autostart-enabled=true\n";
    if (!mg::WriteFileAtomic(path, entry, 0644)) throw EInOutError(InOutErrorText(errno));
}
