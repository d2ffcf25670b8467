// The list editing commands, the details dialog, the tray icon with what the
// background checks found, and the two outside links of the main window.
#include <QEvent>
#include <QLabel>
#include <QListWidget>
#include <QMouseEvent>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTimer>

#include "app/BinForm.h"
#include "app/Icon.h"
#include "app/ListPages.h"
#include "app/Pop3Form.h"
#include "app/SummaryForm.h"
#include "mailbox/ListEdits.h"
#include "mailbox/SessionReports.h"
#include "lists/TextOrder.h"
#include "platform/codepage.h"
#include "platform/report.h"
#include "platform/dialogs.h"
#include "platform/errors.h"
#include "platform/notifier.h"
#include "platform/shell.h"
#include "pop3/VantelPop3.h"

using mg::A;
using mg::Answer;
using mg::Buttons;
using mg::FromAnsi;
using mg::Icon;
using mg::ToAnsi;
using Mark = TMessageLines::Mark;

mg::Task<> TPop3Form::btnSpamAddClick() {
    if (!Session().Connected() && !Session().ShowsLastScan()) co_return;
    // (Named: GCC 12 destroys a temporary in a co_await operand twice.)
    std::function<void(const mg::ServerEntry&)> added = [this](const mg::ServerEntry& e) { pages_->AddServerEntry(e); };
    co_await mg::AddCheckedToBlackList(Session(), Spam, added);
}

mg::Task<> TPop3Form::btnWhiteClick() {
    if (!Session().Connected() && !Session().ShowsLastScan()) co_return;
    const int index = lbList->currentRow();
    if (index < 0 || index >= LineCount() || !LineEnabled(index)) co_return;
    const bool added = co_await mg::AddToWhiteList(Session(), Spam, WhiteEntries, index);
    if (added) pages_->ShowWhiteEntries();
}

void TPop3Form::btnCheckAllClick() {
    if (!Session().Connected() || LineCount() == 0) return;
    for (int i = 0; i < LineCount(); ++i)
        if (!LineChecked(i) && LineEnabled(i)) SetLineChecked(i, true);
}

mg::Task<> TPop3Form::btnSummaryClick() {
    if (!lbList->currentRowSelected()) co_return;
    if (!Session().Connected() && !Session().ShowsLastScan()) co_return;
    const int index = lbList->currentRow();
    if (!LineEnabled(index)) co_return;
    // The header block the cache holds is the one the server sent.
    const TSummary summary = co_await Session().Fetch(index + 1, true);
    if (!Pop3FormSummary) Pop3FormSummary = new TPop3FormSummary(this);
    mg::Mailbox& box = Current();
    const mg::DmarcVerdict verdict = mg::Trust(mg::ReadTopmostVerdict(summary.Raw), box.Config().Authserv);
    Pop3FormSummary->SetVerdict(mg::VerdictLine(verdict, summary.From), verdict.trusted ? "" : verdict.authservId);
    Pop3FormSummary->SetLines(summary.Header);
    Pop3FormSummary->exec();
    if (!Pop3FormSummary->Trusted() || mailboxes_->IndexOf(&box) < 0) co_return;
    // The mailbox's lines are judged again, and the settings file keeps it.
    box.SetAuthserv(verdict.authservId);
    SaveSettings();
}

void TPop3Form::btnBinClick() {
    TBinForm bin(programDir_ + "deleted", settingsPath_, this);
    bin.exec();
}

// ---- what the background checks found

void TPop3Form::Announce(int mailbox, const Announcement& fresh) {
    const std::string name = mailboxes_->At(mailbox).Name();
    if (options_.Announce) {
        options_.Announce(name, fresh);
        return;
    }
    if (!notifier_) {
        notifier_ = std::make_unique<mg::Notifier>();
        connect(notifier_.get(), &mg::Notifier::Activated, this, [this](int box) {
            WMTrayNotify(515);
            Command([this, box] { SelectMailbox(box); });
        });
    }
    std::vector<std::pair<std::string, std::string>> lines;
    for (const mg::Mailbox::Announced& a : fresh) lines.emplace_back(a.Sender + (a.Forged ? A(" (подделка)") : ""), a.Subject);
    notifier_->Announce(mailbox, name, lines);
}

void TPop3Form::Checked(int mailbox) {
    const mg::Mailbox& box = mailboxes_->At(mailbox);
    // The selected mailbox shows what the check saw, unless the list holds
    // something else of the user's.
    if (mailbox == current_ && !box.CheckFailed() && (LineCount() == 0 || Session().ShowsLastScan())) ShowLastScan(true);
    // The user's own reply stays shown while a session of theirs is open.
    if (Session().GetState() == mg::MailboxSession::State::Idle) SetStatus(box.CheckStatus(MailboxCount() > 1));
    ShowUnseen();
    mg::Guarded([this] { ReportUndone(); });
}

void TPop3Form::ShowUnseen() {
    if (!tray_) return;
    tray_->setIcon(mg::MailgroveIconWithCount(Unseen()));
    tray_->setToolTip(FromAnsi(mailboxes_->Tooltip()));
}

void TPop3Form::Looked() {
    Current().Looked();
    ShowUnseen();
}

// ---- tray icon and outside links

bool TPop3Form::TrayIconShown() const { return tray_ && tray_->isVisible(); }

void TPop3Form::TrayIcon(int mode) {
    if (!tray_) {
        tray_ = new QSystemTrayIcon(windowIcon(), this);
        tray_->setToolTip(QStringLiteral("Mailgrove"));
        connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
            // Only the double click restores; single and right clicks are ignored.
            if (reason == QSystemTrayIcon::DoubleClick) WMTrayNotify(515);
        });
    }
    if (mode == 1) tray_->show();
    if (mode == 2) tray_->hide();
}

void TPop3Form::StartHidden() {
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        showMinimized();
        return;
    }
    TrayIcon(1);
    ShowUnseen();
}

void TPop3Form::AppEventsMinimize() {
    // Without a notification area an icon could not be clicked: the window
    // then stays minimized in the ordinary way.
    if (!QSystemTrayIcon::isSystemTrayAvailable()) return;
    hide();
    TrayIcon(1);
}

void TPop3Form::WMTrayNotify(int mouseMessage) {
    if (mouseMessage != 515) return;
    showNormal();
    raise();
    activateWindow();
    TrayIcon(2);
    Looked();
}

void TPop3Form::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    // The new mail counted on the tray icon has been looked at.
    if (event->type() == QEvent::ActivationChange && isActiveWindow() && Unseen() > 0) Looked();
    if (event->type() == QEvent::WindowStateChange && (windowState() & Qt::WindowMinimized)) {
        // After the state change has been processed, as the application's minimize event is.
        QTimer::singleShot(0, this, [this] {
            if (windowState() & Qt::WindowMinimized) Command([this] { AppEventsMinimize(); });
        });
    }
}

bool TPop3Form::eventFilter(QObject* watched, QEvent* event) {
    if (watched == Internet && event->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        Command([this] { InternetClick(); });
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void TPop3Form::InternetClick() { mg::ShellOpen(Internet->text().left(255).toStdString()); }

void TPop3Form::btnOutlookClick() {
    // Deletions take effect at QUIT, and an open session keeps the mailbox
    // locked: the mail program starts once the session has ended, with the
    // report of any deletions the server did not confirm.
    if (!Session().Connected()) {
        mg::ShellStartMailReader();
        return;
    }
    Current().End([this](const mg::MailboxSession::EndResult& result) {
        SessionEnded(result, false);
        mg::ShellStartMailReader();
    });
}
