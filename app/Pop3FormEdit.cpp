// The list editing commands, the details dialog, the tray icon and the two
// outside links of the main window.
#include <QEvent>
#include <QLabel>
#include <QListWidget>
#include <QMouseEvent>
#include <QSystemTrayIcon>
#include <QTimer>

#include "app/Icon.h"
#include "app/Pop3Form.h"
#include "app/SummaryForm.h"
#include "lists/Sender.h"
#include "lists/TextOrder.h"
#include "platform/codepage.h"
#include "platform/dialogs.h"
#include "platform/errors.h"
#include "platform/shell.h"
#include "pop3/VantelPop3.h"

using mg::A;
using mg::Answer;
using mg::Buttons;
using mg::FromAnsi;
using mg::Icon;
using mg::ToAnsi;

namespace {
const std::string kSpamMark = " <SPAM>  ";
const std::string kWhiteMark = " <WHITE> ";
}  // namespace

void TPop3Form::ShowServerCount() { labSpamAllCount->setText(QString::number(serverEntries_.size())); }

mg::Task<> TPop3Form::btnSpamAddClick() {
    if (!session_->Connected() && !session_->ShowsLastScan()) co_return;
    bool confirm = true;
    enum class Remembered { None, YesToAll, NoToAll } serverAnswer = Remembered::None;
    struct CountOnExit {
        TPop3Form* form;
        ~CountOnExit() { form->ShowServerCount(); }
    } countOnExit{this};

    for (int i = 0; i < LineCount(); ++i) {
        if (!LineEnabled(i) || !LineChecked(i) || LineText(i).find(" <SPAM>") != std::string::npos) continue;
        const TSummary summary = co_await session_->Fetch(i + 1);
        const mg::SenderKeys keys = mg::DeriveSender(summary.From);

        int server = Spam.FindServerNode(keys.Server);
        if (server) {
            bool listed = false;
            for (int u = Spam.FirstChild(server); u && !listed; u = Spam.NextSibling(u)) listed = Spam.Text(u) == keys.User;
            if (listed) {
                mg::ShowMessage(A("Адрес уже занесен в СПАМ!"), Icon::Information, Buttons::Ok);
                continue;
            }
        }
        if (confirm) {
            const Answer a = mg::ShowMessage(A("Занести в СПАМ адрес ") + keys.Address, Icon::Confirmation,
                                             Buttons::YesNoCancelYesToAll);
            if (a == Answer::Cancel) co_return;
            if (a == Answer::No) continue;
            if (a == Answer::YesToAll) confirm = false;
        }
        if (!mg::SpamTree::Storable(keys.User, 2) || !mg::SpamTree::Storable("1" + keys.Server, 1)) {
            // The list file could not carry this key; it would be lost at the next start.
            mg::ShowMessage(A("Адрес не может быть занесен в список: ") + keys.Address.substr(0, 200), Icon::Warning,
                            Buttons::Ok);
            continue;
        }
        if (server) {
            Spam.AddUser(server, keys.User);
        } else {
            std::string flag;
            if (serverAnswer == Remembered::YesToAll) {
                flag = "1";
            } else if (serverAnswer == Remembered::NoToAll) {
                flag = "0";
            } else {
                switch (mg::ShowMessage(A("Применить ко всем адресам с этого сервера?"), Icon::Confirmation,
                                        Buttons::YesNoCancelNoToAllYesToAll)) {
                    case Answer::Yes: flag = "1"; break;
                    case Answer::No: flag = "0"; break;
                    case Answer::NoToAll: flag = "0"; serverAnswer = Remembered::NoToAll; break;
                    case Answer::YesToAll: flag = "1"; serverAnswer = Remembered::YesToAll; break;
                    default: co_return;
                }
            }
            server = Spam.AddServer(flag + keys.Server);
            Spam.AddUser(server, keys.User);
            mg::InsertServerEntry(serverEntries_, {keys.Server, flag == "1"});
            ShowServerEntries();
        }
        MarkLine(i, kSpamMark);
        SetLineChecked(i, true);
    }
}

void TPop3Form::btnSpamDeleteClick() {
    QListWidgetItem* selected = lbSpamUsers->currentItem();
    if (!selected || !selected->isSelected()) return;
    const std::string userText = ToAnsi(selected->text());
    const int serverIndex = CurrentServerIndex();
    const std::string serverText = serverIndex >= 0 ? serverEntries_[static_cast<size_t>(serverIndex)].Text : "";
    if (mg::ShowMessage(A("Удалить адрес из списка?"), Icon::Confirmation, Buttons::OkCancel) != Answer::Ok) return;

    int node = lbSpamUsersTag;
    // Node numbers shift when nodes are added before them: check that the
    // remembered node is still the server shown, else find it again.
    if (serverIndex >= 0) {
        const mg::ServerEntry& entry = serverEntries_[static_cast<size_t>(serverIndex)];
        const std::string text = (entry.Checked ? "1" : "0") + entry.Text;
        if (node < 1 || node > Spam.Count() || Spam.Text(node) != text) node = Spam.FindNode(text);
    }
    if (node >= 1 && node <= Spam.Count()) {
        for (int u = Spam.FirstChild(node); u; u = Spam.NextSibling(u)) {
            if (Spam.Text(u) != userText) continue;
            delete lbSpamUsers->takeItem(lbSpamUsers->row(selected));
            Spam.Delete(u);
            if (Spam.FirstChild(node) == 0) {
                Spam.Delete(node);
                lbSpamUsersTag = 0;
                for (size_t e = 0; e < serverEntries_.size(); ++e)
                    if (mg::SameNoCase(serverEntries_[e].Text, serverText)) {
                        serverEntries_.erase(serverEntries_.begin() + static_cast<long>(e));
                        break;
                    }
                ShowServerEntries();
            }
            break;
        }
    }
    ShowServerCount();
}

mg::Task<> TPop3Form::btnWhiteClick() {
    if (!session_->Connected() && !session_->ShowsLastScan()) co_return;
    const int index = lbList->currentRow();
    if (index < 0 || index >= LineCount() || !LineEnabled(index)) co_return;
    const TSummary summary = co_await session_->Fetch(index + 1);
    const mg::SenderKeys keys = mg::DeriveSender(summary.From);
    if (WhiteEntries.Contains(keys.Server) || WhiteEntries.Contains(keys.Address)) {
        mg::ShowMessage(A("Адрес уже занесен в список!"), Icon::Information, Buttons::Yes);
        co_return;
    }
    if (Spam.FindServerNode(keys.Server)) {
        WhiteEntries.Insert(keys.Address);
    } else {
        switch (mg::ShowMessage(A("Применить ко всем адресам с этого сервера?"), Icon::Confirmation,
                                Buttons::YesNoCancel)) {
            case Answer::Yes: WhiteEntries.Insert(keys.Server); break;
            case Answer::No: WhiteEntries.Insert(keys.Address); break;
            default: co_return;
        }
    }
    ShowWhiteEntries();
    MarkLine(index, kWhiteMark);
    SetLineChecked(index, false);
    SetLineEnabled(index, false);
}

void TPop3Form::btnWhiteAddClick() {
    std::string text;
    if (!mg::CurrentDialogs().InputQuery(A("Добавить в <белый список>"), A("Введите адрес"), text)) return;
    if (text.empty() || text.find('@') == std::string::npos) return;
    if (WhiteEntries.Contains(text)) {
        mg::ShowMessage(A("Адрес уже занесен в список!"), Icon::Information, Buttons::Yes);
        return;
    }
    WhiteEntries.Insert(text);
    ShowWhiteEntries();
}

void TPop3Form::btnWhiteDeleteClick() {
    QListWidgetItem* selected = White->currentItem();
    if (!selected || !selected->isSelected()) return;
    const int row = White->row(selected);
    if (mg::ShowMessage(A("Удалить адрес из списка?"), Icon::Confirmation, Buttons::OkCancel) != Answer::Ok) return;
    WhiteEntries.RemoveAt(row);
    ShowWhiteEntries();
}

void TPop3Form::btnCheckAllClick() {
    if (!session_->Connected() || LineCount() == 0) return;
    for (int i = 0; i < LineCount(); ++i)
        if (!LineChecked(i) && LineEnabled(i)) SetLineChecked(i, true);
}

mg::Task<> TPop3Form::btnSummaryClick() {
    if (!lbList->currentRowSelected()) co_return;
    if (!session_->Connected() && !session_->ShowsLastScan()) co_return;
    const int index = lbList->currentRow();
    if (!LineEnabled(index)) co_return;
    // The header block the cache holds is the one the server sent.
    const TSummary summary = co_await session_->Fetch(index + 1, true);
    if (!Pop3FormSummary) Pop3FormSummary = new TPop3FormSummary(this);
    Pop3FormSummary->SetLines(summary.Header);
    Pop3FormSummary->exec();
}

// ---- tray icon and outside links ----

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
    if (!session_->Connected()) {
        mg::ShellStartMailReader();
        return;
    }
    session_->End([this](const mg::MailboxSession::EndResult& result) {
        SessionEnded(result, false);
        mg::ShellStartMailReader();
    });
}
