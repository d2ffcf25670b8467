// The mailbox commands of the main window (scan, delete, disconnect), the
// status reporting of the selected mailbox's session, and choosing, adding
// and removing mailboxes.
#include <QComboBox>
#include <QDateTime>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QStatusBar>
#include <QTimer>
#include <exception>

#include "app/ConnectPanel.h"
#include "app/Pop3Form.h"
#include "mailbox/SessionReports.h"
#include "platform/codepage.h"
#include "platform/report.h"
#include "platform/dialogs.h"
#include "platform/errors.h"
#include "platform/strutil.h"
#include "pop3/VantelPop3.h"

using mg::A;
using mg::FromAnsi;
using mg::ToAnsi;
using State = mg::MailboxSession::State;

// ---- jobs

void TPop3Form::Submit(mg::Task<> (TPop3Form::*handler)()) {
    Session().Submit([this, handler] { return (this->*handler)(); }, [this](std::exception_ptr e) { JobDone(e); });
}

void TPop3Form::JobDone(std::exception_ptr error) {
    // The hourglass a summary cut short leaves behind goes with the command,
    // and so does the box of a sign-in.
    unsetCursor();
    connectPanel_->EndSignIn();
    connectPanel_->ShowSignIn();
    try {
        if (error) std::rethrow_exception(error);
    } catch (const mg::ELostAtLogOff& e) {
        // The log-off lost accepted deletions: the report names its error.
        mg::Guarded([&] { ReportLostDeletions(e.Message); });
        error = nullptr;
    } catch (const mg::ESignInCanceled&) {
        error = nullptr;  // the user's own choice: nothing to tell
    } catch (const EAuthenticationFailed& e) {
        // Said once the log-off's own texts have gone by.
        SetStatus(e.StatusText);
    } catch (...) {
    }
    mg::Guarded([this] { AfterCommand(); });
    if (error) mg::Guarded([&error] { std::rethrow_exception(error); });
}

void TPop3Form::Command(const std::function<void()>& body) {
    std::exception_ptr error;
    try {
        body();
    } catch (...) {
        error = std::current_exception();
        unsetCursor();
    }
    mg::Guarded([this] { AfterCommand(); });
    if (error) mg::Guarded([&error] { std::rethrow_exception(error); });
}

void TPop3Form::AfterCommand() {
    ReportLostDeletions({});
    ReportUndone();
}

void TPop3Form::ReportUndone() {
    const std::string text = mailboxes_->TakeUndoneReport();
    if (!text.empty()) mg::ShowMessage(text, mg::Icon::Warning, mg::Buttons::Ok);
}

// ---- the session's reports

void TPop3Form::BindSession() {
    mg::MailboxSession& c = Session();
    VantelPOP3 = &c.Component();
    lbList->SetLines(&c.Lines());
    mg::ReportStatus(c, [this](const std::string& text) { SetStatus(text); },
                     [this](bool busy) { busy ? setCursor(Qt::WaitCursor) : unsetCursor(); });
    c.OnInvalidHost = [this](bool& handled) { VantelPOP3InvalidHost(handled); };
    c.OnConnectionRequired = [this](bool& handled) { VantelPOP3ConnectionRequired(handled); };
    const auto box = [](const char* text, mg::Icon icon, mg::Buttons buttons) {
        return [text, icon, buttons] { mg::ShowMessage(A(text), icon, buttons); };
    };
    c.OnConnectionFailed = box("Невозможно установить соединение", mg::Icon::None, mg::Buttons::Ok);
    c.OnFailure = box("Операция завершилась ошибкой", mg::Icon::None, mg::Buttons::Ok);
    c.OnReset = box("Удаление завершено", mg::Icon::None, mg::Buttons::Ok);
    c.OnLogUnavailable = box("Ошибка открытия файла log.dat!", mg::Icon::Information, mg::Buttons::Yes);
    c.OnCount = [this](int count) { editCount->setText(QString::number(count)); };
    c.OnDeletionsPending = [this] {
        // Once the run is over (the status bar has shown its last reply),
        // say when the deletions take effect.
        if (std::exchange(noticeQueued_, true)) return;
        QTimer::singleShot(0, this, [this] {
            noticeQueued_ = false;
            const std::string clear = Session().ClearTextNotice();
            if (Session().GetState() == State::Holding)
                SetStatus(A("Удаления будут выполнены при разрыве соединения") + (clear.empty() ? "" : ". " + clear));
        });
    };
    // A command under way, or the end of the session, reports a loss itself
    // when it ends (naming its error); otherwise it is reported from the
    // event loop.
    c.OnDeletionsLost = [this] {
        QTimer::singleShot(0, this, [this] {
            if (Session().Settled()) mg::Guarded([this] { ReportLostDeletions({}); });
        });
    };
    c.OnKeepAliveFailed = [this](const std::string& error) { mg::Guarded([&] { ReportLostDeletions(error); }); };
}

void TPop3Form::SetStatus(const std::string& text) {
    if (statusBar_) statusBar_->showMessage(FromAnsi(text));
}

void TPop3Form::VantelPOP3InvalidHost(bool& Handled) {
    std::string host;
    if (!mg::CurrentDialogs().InputQuery(A("Сервер не найден!"), A("Укажите новый сервер:"), host)) return;
    Session().SetHost(host);
    editHost->setText(FromAnsi(host));
    Handled = true;
}

void TPop3Form::VantelPOP3ConnectionRequired(bool& Handled) {
    if (mg::ShowMessage(A("Соединение не установлено. Соединить?"), mg::Icon::Confirmation, mg::Buttons::OkCancel) !=
        mg::Answer::Ok)
        return;
    // The scan comes after the command that asked: never inside it.
    Handled = true;
    Submit(&TPop3Form::btnConnectClick);
}

// ---- the scan and the end of the session

mg::Task<> TPop3Form::btnConnectClick() { co_await Current().Scan(); }

void TPop3Form::btnDisconnectClick() {
    Current().End([this](const mg::MailboxSession::EndResult& result) { SessionEnded(result, false); });
}

void TPop3Form::SessionEnded(const mg::MailboxSession::EndResult& result, bool thenClose) {
    unsetCursor();
    if (result.lost) {
        // The lines stay, and a close waits for the user to see them.
        mg::Guarded([&] { ReportLostDeletions(result.error); });
        closeAsked_ = false;
        return;
    }
    mg::Guarded([this] { AfterCommand(); });
    if (!result.error.empty()) {
        closeAsked_ = false;
        mg::Guarded([&] { mg::ShowError(result.error); });
        return;
    }
    // Closed from the event loop, once the session's job has ended.
    if (thenClose) QTimer::singleShot(0, this, [this] { close(); });
}

void TPop3Form::AfterSession(std::function<void()> then) {
    if (!Current().InUse()) {
        then();
        return;
    }
    Current().End([this, then](const mg::MailboxSession::EndResult& result) {
        SessionEnded(result, false);
        if (!result.lost) then();
        ShowMailbox();
    });
}

void TPop3Form::lbListClick() {
    if (!lbList->currentRowSelected()) {
        lbList->setToolTip(QString());
        return;
    }
    QString hint = FromAnsi(LineText(lbList->currentRow()));
    hint.replace(QLatin1Char('|'), QStringLiteral(" : "));
    lbList->setToolTip(hint);
}

// ---- deletion

mg::Task<> TPop3Form::btnDeleteClick() {
    if (!Session().Connected() && !Session().ShowsLastScan()) co_return;
    if (mg::ShowMessage(A("Удалить выделенные сообщения?"), mg::Icon::Confirmation, mg::Buttons::OkCancel) !=
        mg::Answer::Ok)
        co_return;
    std::string kept, changed;
    Session().OnKeptOnServer = [this, &kept](const std::vector<int>& lines, const std::string& reason) {
        kept = mg::KeptOnServerReport(Session().Lines(), lines, reason);
    };
    Session().OnNotConfirmed = [this, &changed](const std::vector<int>& lines) {
        changed = mg::NotConfirmedReport(Session().Lines(), lines);
    };
    std::exception_ptr failure;
    try {
        co_await Current().Delete();
    } catch (...) {
        failure = std::current_exception();
    }
    Session().OnKeptOnServer = nullptr;
    Session().OnNotConfirmed = nullptr;
    // Told once the run is over, so no box stands inside it.
    if (!changed.empty()) mg::ShowMessage(changed, mg::Icon::Warning, mg::Buttons::Ok);
    if (!kept.empty()) mg::ShowMessage(kept, mg::Icon::Warning, mg::Buttons::Ok);
    if (failure) std::rethrow_exception(failure);
}

void TPop3Form::ReportLostDeletions(const std::string& reason) {
    const mg::MailboxSession::Loss loss = Session().TakeLoss();
    if (loss.count > 0) mg::ShowMessage(mg::LossReport(loss, reason), mg::Icon::Warning, mg::Buttons::Ok);
}

// ---- the mailboxes

void TPop3Form::ShowMailbox() {
    connectPanel_->Show(*mailboxes_, current_);
    mg::Mailbox& box = Current();
    box.OnAuthorizationUrl = [this](const std::string& url) { connectPanel_->ShowAuthorizationUrl(url); };
    box.OnSignInChanged = [this] {
        connectPanel_->ShowSignIn();
        if (!Current().Credential().SigningIn()) connectPanel_->EndSignIn();
    };
}

mg::Task<> TPop3Form::btnSignInClick() { co_await Current().SignIn(); }

void TPop3Form::SelectMailbox(int index) {
    if (index < 0 || index >= MailboxCount() || index == current_) {
        ShowMailbox();
        return;
    }
    // The session of the mailbox left behind ends first: its deletions are
    // committed (or reported lost, and then the mailbox stays selected).
    AfterSession([this, index] {
        if (index >= MailboxCount()) return;
        Session().Lines().Clear();
        current_ = index;
        BindSession();
        editCount->setText(QStringLiteral("0"));
        ShowMailbox();
        const bool shown = ShowLastScan(false);
        if (!pendingAdvice_.empty())
            SetStatus(std::exchange(pendingAdvice_, std::string()));
        else if (!shown)
            SetStatus(Current().LastCheck());
        Looked();
    });
}

bool TPop3Form::ShowLastScan(bool keepMarks) {
    const bool shown = Current().ShowLastScan(keepMarks);
    editCount->setText(QString::number(LineCount()));
    if (shown) SetStatus(Current().LastScanStatus());
    return shown;
}

void TPop3Form::AddMailbox(size_t preset) {
    if (preset >= mg::Mailboxes::Presets().size()) return;
    const mg::Mailboxes::Preset& p = mg::Mailboxes::Presets()[preset];
    mailboxes_->Add(p);
    pendingAdvice_ = A(mg::Mailboxes::AdviceOf(p).c_str());
    watcher_->Reschedule();
    SelectMailbox(MailboxCount() - 1);
}

void TPop3Form::RemoveMailbox() {
    if (MailboxCount() < 2) return;
    if (mg::ShowMessage(A("Удалить ящик ") + Current().Name() + "?", mg::Icon::Confirmation, mg::Buttons::YesNo) !=
        mg::Answer::Yes)
        return;
    AfterSession([this, index = current_] {
        if (index >= MailboxCount()) return;
        // The numbers of the mailboxes after it change: a background check
        // under way is given up.
        watcher_->GiveUp();
        Session().Lines().Clear();
        mailboxes_->Remove(index);
        current_ = std::max(0, index - 1);
        BindSession();
        editCount->setText(QStringLiteral("0"));
        ShowMailbox();
        watcher_->Reschedule();
    });
}
