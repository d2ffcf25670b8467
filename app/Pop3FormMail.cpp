// The mailbox scan, the deletion with its log, and the status reporting of
// the main window.
#include <QDate>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QStatusBar>
#include <QTimer>
#include <cerrno>
#include <cmath>
#include <exception>
#include <vector>
#include <fcntl.h>
#include <unistd.h>

#include "app/Pop3Form.h"
#include "decode/Ucoder.h"
#include "lists/Sender.h"
#include "platform/codepage.h"
#include "platform/dialogs.h"
#include "platform/errors.h"
#include "platform/paths.h"
#include "platform/strutil.h"
#include "pop3/VantelPop3.h"

using mg::A;
using mg::FromAnsi;
using mg::ToAnsi;

namespace {

const std::string& SpamMark() {
    static const std::string mark = " <SPAM>  ";
    return mark;
}
const std::string& WhiteMark() {
    static const std::string mark = " <WHITE> ";
    return mark;
}
int g_scanTimeOutForTest = 0;
int g_keepAliveForTest = 0;
// Idleness after which a session holding deletions is kept open with a NOOP:
// well inside the 10 minutes after which a server may log off an idle client.
constexpr int kKeepAliveMs = 2 * 60 * 1000;

const std::string& DeletedText() {
    static const std::string text = A("<УДАЛЕНО>");
    return text;
}
// The line of a deletion the server accepted but never carried out.
const std::string& NotDeletedText() {
    static const std::string text = A("<НЕ УДАЛЕНО>");
    return text;
}

std::string Today() { return ToAnsi(QLocale::system().toString(QDate::currentDate(), QLocale::ShortFormat)); }

// The deletion log, opened for appending (created when missing). Each line
// goes to the file at once, so a later failure loses none of them.
class DeletionLog {
public:
    bool Open(const std::string& name) {
        fd_ = ::open(name.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        if (fd_ < 0) fd_ = ::open(name.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        return fd_ >= 0;
    }
    bool IsOpen() const { return fd_ >= 0; }
    void Write(const std::string& line) {
        size_t done = 0;
        while (fd_ >= 0 && error_ == 0 && done < line.size()) {
            const ssize_t n = ::write(fd_, line.data() + done, line.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) error_ = n < 0 ? errno : ENOSPC;
            else done += static_cast<size_t>(n);
        }
    }
    // Closes the log; a write error shows up here, after all deletions.
    void Close() {
        if (fd_ < 0) return;
        if (::close(fd_) != 0 && error_ == 0) error_ = errno;
        fd_ = -1;
        if (error_) throw EInOutError(InOutErrorText(error_));
    }
    ~DeletionLog() {
        if (fd_ >= 0) ::close(fd_);
    }

private:
    int fd_ = -1;
    int error_ = 0;
};

}  // namespace

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

// ---- the scan ----

void TPop3Form::SetScanTimeOutForTest(int milliseconds) { g_scanTimeOutForTest = milliseconds; }

bool TPop3Form::SummaryFetched(int number) {
    const int before = retrieveStarts_;
    mg::Await(VantelPOP3->GetSummary(number));
    return retrieveStarts_ != before;
}

void TPop3Form::btnConnectClick() {
    SettleClosedSession();
    if (VantelPOP3->Connected()) {
        if (!LogOffAndClear()) return;
    } else {
        lbList->clear();
    }

    VantelPOP3->SetAttachFilePath(".");
    VantelPOP3->DeleteOnRead = false;
    VantelPOP3->ReportLevel = 2;
    VantelPOP3->TimeOut = g_scanTimeOutForTest > 0 ? g_scanTimeOutForTest : 20000;
    VantelPOP3->Host = ToAnsi(editHost->text());
    VantelPOP3->Port = mg::StrToInt(ToAnsi(editPort->text()));
    VantelPOP3->UserID = ToAnsi(editUser->text());
    VantelPOP3->Password = ToAnsi(editPassword->text());

    mg::Await(VantelPOP3->Connect());
    const int count = VantelPOP3->MailCount();
    editCount->setText(QString::number(count));
    mg::Await(VantelPOP3->List());

    // The summaries are asked for in order: a server that pipelines gets
    // their commands ahead of time. Whatever ends the loop ends the plan.
    VantelPOP3->PlanSummaries(1, count);
    struct EndPlan {
        TVantelPOP3* pop3;
        ~EndPlan() { pop3->EndPlan(); }
    } endPlan{VantelPOP3};
    for (int i = 1; i <= count; ++i) {
        // While another operation holds the component (a scan started from
        // its connection question), nothing is fetched: the summary still
        // holds another message's data, so no line is built from it.
        if (!SummaryFetched(i)) {
            SetStatus(A("Список сообщений не получен: идет другая операция"));
            return;
        }
        const TSummary& summary = VantelPOP3->Summary();
        const mg::SenderKeys keys = mg::DeriveSender(summary.From);
        const std::string subject = DecodeSubject(summary.Header, summary.Subject);
        const int index = i - 1;
        SetLineText(index, LineText(index) + mg::Format("%-30s | ", keys.Address.c_str()) + subject);
        if (Spam.WholeServerListed(keys.Server)) {
            MarkLine(index, SpamMark());
            SetLineChecked(index, true);
        }
        if (Spam.UserListed(keys.User, keys.Server)) {
            MarkLine(index, SpamMark());
            SetLineChecked(index, true);
        }
        if (WhiteEntries.Contains(keys.Server)) {
            MarkLine(index, WhiteMark());
            SetLineChecked(index, false);
            SetLineEnabled(index, false);
        }
        if (WhiteEntries.Contains(keys.Address)) {
            MarkLine(index, WhiteMark());
            SetLineChecked(index, false);
            SetLineEnabled(index, false);
        }
    }
    if (count == 0) lbList->clear();
}

void TPop3Form::VantelPOP3List(int, int Size) {
    const int kb = static_cast<int>(std::ceil(static_cast<double>(Size) / 1024.0));
    AppendLine(mg::Format("%6d ", kb) + A("Кб | "));
}

void TPop3Form::btnDisconnectClick() {
    SettleClosedSession();
    LogOffAndClear();
}

bool TPop3Form::LogOffAndClear() {
    try {
        mg::Await(VantelPOP3->Disconnect());
    } catch (const std::exception& e) {
        // The close has already marked the lines the server did not carry
        // out; the box that says so names the error, and the lines stay.
        if (lostDeletions_ == 0) throw;
        ReportLostDeletions(e.what());
        return false;
    }
    lbList->clear();
    editCount->setText(QStringLiteral("0"));
    return true;
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

void TPop3Form::btnDeleteClick() {
    if (!VantelPOP3->Connected()) return;
    if (mg::ShowMessage(A("Удалить выделенные сообщения?"), mg::Icon::Confirmation, mg::Buttons::OkCancel) !=
        mg::Answer::Ok)
        return;
    EnterProgramDir();
    DeletionLog log;
    if (!log.Open("log.dat"))
        mg::ShowMessage(A("Ошибка открытия файла log.dat!"), mg::Icon::Information, mg::Buttons::Yes);
    const std::string date = Today();
    std::vector<int> targets;
    for (int i = 0; i < LineCount(); ++i)
        if (LineChecked(i) && LineText(i).find(DeletedText()) == std::string::npos) targets.push_back(i);
    std::vector<int32_t> numbers;
    for (int i : targets) numbers.push_back(i + 1);
    // A server that pipelines gets every DELE at once (a bounded window of
    // them in flight); each line is logged and marked as its +OK arrives.
    // After a refusal no further DELE goes out, but the replies already on
    // their way are still taken, so every accepted deletion is logged and
    // marked, and the first refusal is reported once.
    VantelPOP3->PlanDeletions(numbers);
    std::exception_ptr refusal;
    failureShown_ = false;
    struct EndRun {
        TPop3Form* form;
        ~EndRun() {
            form->VantelPOP3->EndPlan();
            form->deleting_ = false;
        }
    } endRun{this};
    deleting_ = true;
    for (int i : targets) {
        if (refusal && !VantelPOP3->DeletionInFlight(i + 1)) break;
        const int before = successes_;
        try {
            mg::Await(VantelPOP3->DeleteMessage(i + 1));
        } catch (...) {
            if (!VantelPOP3->Connected()) {
                log.Close();
                throw;  // the connection is gone with every reply still on its way
            }
            if (!refusal) refusal = std::current_exception();
            continue;
        }
        if (successes_ == before) {
            // The component was busy with another operation and sent nothing.
            log.Close();
            throw Exception(A("Удаление прервано: идет другая операция"));
        }
        const std::string text = LineText(i);
        const std::string entry = text.size() > 9 ? text.substr(9, 230) : std::string();
        if (log.IsOpen()) log.Write(date + " |" + entry + "\r\n");
        SetLineText(i, DeletedText());
        SetLineEnabled(i, false);
        NoteDeletionAccepted(i, entry);
    }
    log.Close();
    if (refusal) std::rethrow_exception(refusal);
}

// ---- deletions the server has yet to carry out ----

void TPop3Form::SetKeepAliveIntervalForTest(int milliseconds) { g_keepAliveForTest = milliseconds; }

void TPop3Form::NoteDeletionAccepted(int index, const std::string& logged) {
    pendingDeletions_.push_back({index, logged});
    RestartKeepAlive();
    // Once the run is over (the status bar has shown its last reply), say
    // when the deletions take effect.
    if (noticeQueued_) return;
    noticeQueued_ = true;
    QTimer::singleShot(0, this, [this] {
        noticeQueued_ = false;
        if (!pendingDeletions_.empty() && VantelPOP3->Connected())
            SetStatus(A("Удаления будут выполнены при разрыве соединения"));
    });
}

void TPop3Form::RestartKeepAlive() {
    if (pendingDeletions_.empty() || !VantelPOP3->Connected()) {
        keepAlive_->stop();
        return;
    }
    keepAlive_->start(g_keepAliveForTest > 0 ? g_keepAliveForTest : kKeepAliveMs);
}

void TPop3Form::KeepAliveTick() {
    if (pendingDeletions_.empty() || !VantelPOP3->Connected()) return;
    // While another operation holds the component nothing is sent; it talks
    // to the server itself, and the next tick tries again.
    bool sent = false, failed = false;
    std::string error;
    keepAliveWaiting_ = true;
    try {
        sent = mg::Await(VantelPOP3->Noop());
    } catch (const std::exception& e) {
        failed = true;
        error = e.what();
    }
    keepAliveWaiting_ = false;
    if (!afterKeepAlive_.empty() || closeAfterKeepAlive_)
        QTimer::singleShot(0, this, [this] { RunAfterKeepAlive(); });
    if (failed) {
        // The session is over; the close has marked what it lost.
        ReportLostDeletions(error);
        return;
    }
    if (sent) SetStatus(A("Удаления будут выполнены при разрыве соединения"));
    RestartKeepAlive();
}

void TPop3Form::RunAfterKeepAlive() {
    std::vector<std::function<void()>> commands;
    commands.swap(afterKeepAlive_);
    for (const auto& command : commands) command();
    if (closeAfterKeepAlive_) {
        closeAfterKeepAlive_ = false;
        close();
    }
}

void TPop3Form::SettleClosedSession() {
    // A connection that went without its close notification (its socket
    // could not be closed) still has its deletions settled here.
    if (!VantelPOP3->Connected() && !pendingDeletions_.empty()) DeletionsLost();
    ReportLostDeletions({});
}

void TPop3Form::AfterCommand() {
    ReportLostDeletions({});
    if (!keepAlive_->isActive()) RestartKeepAlive();
}

// log.dat gets one line per lost deletion, in the deletion line's format with
// the mark in its empty column: the date, " | ", "<НЕ УДАЛЕНО>", then the same
// text the deletion line holds after its date and " |" (" | ", the sender
// padded to 30, " | ", the subject), CR LF. So a deletion line reads
//     date " |" " | sender... | subject"
// and the line that takes it back
//     date " | <НЕ УДАЛЕНО>" " | sender... | subject"
void TPop3Form::DeletionsLost() {
    std::vector<PendingDeletion> lost;
    lost.swap(pendingDeletions_);
    keepAlive_->stop();
    if (lost.empty() || VantelPOP3->QuitAccepted()) return;
    const std::string date = Today();
    std::string lines;
    for (const PendingDeletion& d : lost) {
        lines += date + " | " + NotDeletedText() + d.logged + "\r\n";
        if (d.index < LineCount() && LineText(d.index) == DeletedText()) {
            SetLineText(d.index, NotDeletedText());
            SetLineEnabled(d.index, false);
        }
    }
    bool logged = false;
    try {
        EnterProgramDir();
        DeletionLog log;
        if (log.Open("log.dat")) {
            log.Write(lines);
            log.Close();
            logged = true;
        }
    } catch (const std::exception&) {
        // Told in the box below; the lines have been changed all the same.
    }
    lostDeletions_ += static_cast<int>(lost.size());
    lostLogFailed_ = lostLogFailed_ || !logged;
    // The box waits for the event loop: this runs inside the component's
    // handling of the close. A command of the window shows it sooner.
    QTimer::singleShot(0, this, [this] { mg::Guarded([this] { ReportLostDeletions({}); }); });
}

void TPop3Form::ReportLostDeletions(const std::string& reason) {
    if (lostDeletions_ == 0) return;
    std::string text = A("Сервер не выполнил удаление сообщений: ") + std::to_string(lostDeletions_) +
                       A(". Сеанс закончился без подтверждения удалений, эти сообщения остались на сервере "
                         "(в списке: <НЕ УДАЛЕНО>).");
    std::string why = reason;
    while (!why.empty() && (why.back() == '\n' || why.back() == '\r')) why.pop_back();
    if (!why.empty()) text += A("\nПричина: ") + why;
    if (lostLogFailed_) text += A("\nОшибка записи в файл log.dat!");
    lostDeletions_ = 0;
    lostLogFailed_ = false;
    mg::ShowMessage(text, mg::Icon::Warning, mg::Buttons::Ok);
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
    VantelPOP3->Host = host;
    editHost->setText(FromAnsi(host));
    Handled = true;
}

void TPop3Form::VantelPOP3ConnectionFailed() {
    mg::ShowMessage(A("Невозможно установить соединение"), mg::Icon::None, mg::Buttons::Ok);
}

void TPop3Form::VantelPOP3Connect() { SetStatus(A("Соединение установлено")); }
void TPop3Form::VantelPOP3Disconnect() {
    SetStatus(A("Соединение разорвано"));
    try {
        DeletionsLost();
    } catch (...) {
        // The close goes on; a line that could not be changed keeps its text.
    }
}

void TPop3Form::VantelPOP3ConnectionRequired(bool& Handled) {
    if (mg::ShowMessage(A("Соединение не установлено. Соединить?"), mg::Icon::Confirmation, mg::Buttons::OkCancel) !=
        mg::Answer::Ok)
        return;
    Handled = true;
    btnConnectClick();
}

void TPop3Form::VantelPOP3RetrieveStart() {
    ++retrieveStarts_;
    setCursor(Qt::WaitCursor);
    SetStatus(A("Начало приема"));
}

void TPop3Form::VantelPOP3RetrieveEnd() {
    unsetCursor();
    SetStatus(A("Прием закончен"));
}

void TPop3Form::VantelPOP3Success() {
    ++successes_;
    SetStatus(A("Операция завершена успешно"));
}

void TPop3Form::VantelPOP3Failure() {
    // One box per delete run: later refusals of deletions that were already
    // on their way add nothing the user has not been told.
    if (deleting_ && failureShown_) return;
    failureShown_ = true;
    mg::ShowMessage(A("Операция завершилась ошибкой"), mg::Icon::None, mg::Buttons::Ok);
}

void TPop3Form::VantelPOP3PacketRecvd() {
    SetStatus(A("Принято ") + std::to_string(VantelPOP3->BytesRecvd) + A(" байт из ") +
              std::to_string(VantelPOP3->BytesTotal));
}

void TPop3Form::VantelPOP3Reset() { mg::ShowMessage(A("Удаление завершено"), mg::Icon::None, mg::Buttons::Ok); }
