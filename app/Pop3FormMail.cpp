// The mailbox commands of the main window (scan, delete, disconnect) and the
// status reporting of the session's events.
#include <QLabel>
#include <QLineEdit>
#include <QStatusBar>
#include <QTimer>
#include <exception>

#include "app/Pop3Form.h"
#include "mailbox/DeletionBin.h"
#include "platform/codepage.h"
#include "platform/dialogs.h"
#include "platform/errors.h"
#include "platform/strutil.h"
#include "pop3/VantelPop3.h"

using mg::A;
using mg::FromAnsi;
using mg::ToAnsi;

// ---- message lines ----

void TPop3Form::CheckLineIndex(int index) const {
    if (index < 0 || index >= lbList->count()) throw EListError(ListIndexError(index));
}

int TPop3Form::LineCount() const { return lbList->count(); }

std::string TPop3Form::LineText(int index) const {
    CheckLineIndex(index);
    return lbList->Lines()->Text(index);
}

void TPop3Form::SetLineText(int index, const std::string& text) {
    CheckLineIndex(index);
    lbList->Lines()->SetText(index, text);
}

bool TPop3Form::LineChecked(int index) const {
    CheckLineIndex(index);
    return lbList->Lines()->Checked(index);
}

void TPop3Form::SetLineChecked(int index, bool checked) {
    CheckLineIndex(index);
    lbList->Lines()->SetChecked(index, checked);
}

bool TPop3Form::LineEnabled(int index) const {
    CheckLineIndex(index);
    return lbList->Lines()->Enabled(index);
}

void TPop3Form::SetLineEnabled(int index, bool enabled) {
    CheckLineIndex(index);
    lbList->Lines()->SetEnabled(index, enabled);
}

void TPop3Form::AppendLine(const std::string& text) { lbList->Lines()->Append(text); }

void TPop3Form::MarkLine(int index, const std::string& mark) {
    CheckLineIndex(index);
    lbList->Lines()->Mark(index, mark);
}

// ---- jobs ----

void TPop3Form::SetScanTimeOutForTest(int milliseconds) { mg::MailboxSession::SetTimeOutForTest(milliseconds); }
void TPop3Form::SetKeepAliveIntervalForTest(int milliseconds) {
    mg::MailboxSession::SetKeepAliveIntervalForTest(milliseconds);
}

void TPop3Form::Submit(mg::Task<> (TPop3Form::*handler)()) {
    session_->Submit([this, handler] { return (this->*handler)(); }, [this](std::exception_ptr e) { JobDone(e); });
}

void TPop3Form::JobDone(std::exception_ptr error) {
    // The hourglass a summary cut short leaves behind goes with the command.
    unsetCursor();
    try {
        if (error) std::rethrow_exception(error);
    } catch (const mg::ELostAtLogOff& e) {
        // The log-off lost accepted deletions: the report names its error.
        mg::Guarded([&] { ReportLostDeletions(e.Message); });
        error = nullptr;
    } catch (const EAuthenticationFailed& e) {
        // Said once the log-off's own texts have gone by.
        SetStatus(e.StatusText);
    } catch (...) {
    }
    mg::Guarded([this] { AfterCommand(); });
    if (error) mg::Guarded([&error] { std::rethrow_exception(error); });
}

void TPop3Form::AfterCommand() {
    ReportLostDeletions({});
    ReportUndone();
}

// ---- the scan ----

namespace {
// Waits until a session has ended (at once when it has): a mailbox takes one
// session at a time.
struct Ended {
    mg::MailboxSession& session;
    QObject* context;
    bool await_ready() const noexcept { return session.Settled() && !session.Connected(); }
    void await_suspend(std::coroutine_handle<> job) {
        session.End([job, c = context](const mg::MailboxSession::EndResult&) {
            QTimer::singleShot(0, c, [job] { job.resume(); });
        });
    }
    void await_resume() noexcept {}
};
}  // namespace

mg::Task<> TPop3Form::btnConnectClick() {
    // A background check under way gives way to the user's own session.
    if (watch_) co_await Ended{*watch_, this};
    // The fields are read once the old session is gone (the port may be no
    // number: nothing has been sent then).
    co_await session_->Scan([this] { return FieldSettings(); });
}

mg::MailboxSettings TPop3Form::FieldSettings() const {
    mg::MailboxSettings s;
    s.Host = ToAnsi(editHost->text());
    s.Port = mg::StrToInt(ToAnsi(editPort->text()));
    // On the wire the login and password are UTF-8, as the keyring holds
    // them and today's servers compare them.
    s.User = editUser->text().toStdString();
    s.Password = editPassword->text().toStdString();
    return s;
}

void TPop3Form::btnDisconnectClick() {
    session_->End([this](const mg::MailboxSession::EndResult& result) { SessionEnded(result, false); });
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

void TPop3Form::lbListClick() {
    if (!lbList->currentRowSelected()) {
        lbList->setToolTip(QString());
        return;
    }
    QString hint = FromAnsi(LineText(lbList->currentRow()));
    hint.replace(QLatin1Char('|'), QStringLiteral(" : "));
    lbList->setToolTip(hint);
}

// ---- deletion ----

mg::Task<> TPop3Form::btnDeleteClick() {
    const bool lastScan = !session_->Connected() && session_->ShowsLastScan();
    if (!session_->Connected() && !lastScan) co_return;
    if (mg::ShowMessage(A("Удалить выделенные сообщения?"), mg::Icon::Confirmation, mg::Buttons::OkCancel) !=
        mg::Answer::Ok)
        co_return;
    // Lines of a scan whose session has ended are deleted in a new one: a
    // background check under way gives way first.
    if (lastScan && watch_) co_await Ended{*watch_, this};
    // The bin's limits may have changed since the last run.
    session_->SetBin(mg::BinSettings::Read(settingsPath_));
    std::string kept, changed;
    session_->OnKeptOnServer = [this, &kept](const std::vector<int>& lines, const std::string& reason) {
        kept = LinesText(A("Не удалось сохранить в корзину, поэтому не удалены и остались на сервере: "), lines);
        if (!reason.empty()) kept += A("\nПричина: ") + reason;
    };
    session_->OnNotConfirmed = [this, &changed](const std::vector<int>& lines) {
        changed = LinesText(A("Не удалены: на сервере этих сообщений уже нет или под их номерами теперь другие "
                              "сообщения. Нажмите \"Соединение\", чтобы увидеть ящик как он есть: "),
                            lines);
    };
    std::exception_ptr failure;
    try {
        co_await session_->Delete([this] { return FieldSettings(); });
    } catch (...) {
        failure = std::current_exception();
    }
    session_->OnKeptOnServer = nullptr;
    session_->OnNotConfirmed = nullptr;
    // Told once the run is over, so no box stands inside it.
    if (!changed.empty()) mg::ShowMessage(changed, mg::Icon::Warning, mg::Buttons::Ok);
    if (!kept.empty()) mg::ShowMessage(kept, mg::Icon::Warning, mg::Buttons::Ok);
    if (failure) std::rethrow_exception(failure);
}

std::string TPop3Form::LinesText(const std::string& head, const std::vector<int>& lines) const {
    constexpr size_t kShown = 10;
    std::string text = head + std::to_string(lines.size());
    for (size_t k = 0; k < lines.size() && k < kShown; ++k) {
        const std::string line = LineText(lines[k]);
        text += "\n" + (line.size() > 9 ? line.substr(9) : line);
    }
    if (lines.size() > kShown) text += A("\n... и еще ") + std::to_string(lines.size() - kShown);
    return text;
}

void TPop3Form::ReportLostDeletions(const std::string& reason) {
    const mg::MailboxSession::Loss loss = session_->TakeLoss();
    if (loss.count == 0) return;
    std::string text = A("Сервер не выполнил удаление сообщений: ") + std::to_string(loss.count) +
                       A(". Сеанс закончился без подтверждения удалений, эти сообщения остались на сервере "
                         "(в списке: <НЕ УДАЛЕНО>).");
    std::string why = reason;
    while (!why.empty() && (why.back() == '\n' || why.back() == '\r')) why.pop_back();
    if (!why.empty()) text += A("\nПричина: ") + why;
    if (loss.logFailed) text += A("\nОшибка записи в файл log.dat!");
    mg::ShowMessage(text, mg::Icon::Warning, mg::Buttons::Ok);
}

void TPop3Form::NoteUndone(int mailbox, int count, bool logFailed) {
    const std::string name = mailbox >= 0 && mailbox < MailboxCount() ? MailboxName(mailbox) + ": " : std::string();
    undoneReport_ += (undoneReport_.empty() ? "" : "\n\n") + name +
                     A("сервер не выполнил удаления прошлого сеанса: ") + std::to_string(count) +
                     A(". Программа была завершена до подтверждения удалений; эти сообщения остались на сервере, "
                       "в log.dat о каждом записано <НЕ УДАЛЕНО>, их копии убраны из корзины.");
    if (logFailed) undoneReport_ += A("\nОшибка записи в файл log.dat!");
}

void TPop3Form::ReportUndone() {
    if (!undoneReport_.empty()) mg::ShowMessage(std::exchange(undoneReport_, {}), mg::Icon::Warning, mg::Buttons::Ok);
}

// ---- status reporting ----

void TPop3Form::SetStatus(const std::string& text) {
    if (statusBar_) statusBar_->showMessage(FromAnsi(text));
}

void TPop3Form::VantelPOP3Status(const std::string& Status) { SetStatus(Status); }
void TPop3Form::VantelPOP3HostResolved() { SetStatus(A("Сервер найден")); }

void TPop3Form::VantelPOP3InvalidHost(bool& Handled) {
    std::string host;
    if (!mg::CurrentDialogs().InputQuery(A("Сервер не найден!"), A("Укажите новый сервер:"), host)) return;
    session_->SetHost(host);
    editHost->setText(FromAnsi(host));
    Handled = true;
}

void TPop3Form::VantelPOP3ConnectionFailed() {
    mg::ShowMessage(A("Невозможно установить соединение"), mg::Icon::None, mg::Buttons::Ok);
}

void TPop3Form::VantelPOP3Connect() { SetStatus(A("Соединение установлено")); }
void TPop3Form::VantelPOP3Disconnect() { SetStatus(A("Соединение разорвано")); }

void TPop3Form::VantelPOP3ConnectionRequired(bool& Handled) {
    if (mg::ShowMessage(A("Соединение не установлено. Соединить?"), mg::Icon::Confirmation, mg::Buttons::OkCancel) !=
        mg::Answer::Ok)
        return;
    // The scan comes after the command that asked: never inside it.
    Handled = true;
    Submit(&TPop3Form::btnConnectClick);
}

void TPop3Form::VantelPOP3RetrieveStart() {
    setCursor(Qt::WaitCursor);
    SetStatus(A("Начало приема"));
}

void TPop3Form::VantelPOP3RetrieveEnd() {
    unsetCursor();
    SetStatus(A("Прием закончен"));
}

void TPop3Form::VantelPOP3Success() { SetStatus(A("Операция завершена успешно")); }

void TPop3Form::VantelPOP3Failure() {
    mg::ShowMessage(A("Операция завершилась ошибкой"), mg::Icon::None, mg::Buttons::Ok);
}

void TPop3Form::VantelPOP3PacketRecvd() {
    SetStatus(A("Принято ") + std::to_string(VantelPOP3->BytesRecvd) + A(" байт из ") +
              std::to_string(VantelPOP3->BytesTotal));
}

void TPop3Form::VantelPOP3Reset() { mg::ShowMessage(A("Удаление завершено"), mg::Icon::None, mg::Buttons::Ok); }
