// TPop3Form: the main window, a view of the mailboxes and the lists: three
// pages (connection and message list, black list, white list) and a status
// bar. The mailboxes (mailbox/Mailboxes), their sessions and checks
// (mailbox/Watcher) and the lists live below it: handlers read the controls,
// send requests, ask the user through mg::Dialogs and show what is reported.
#pragma once

#include <QPointer>
#include <QWidget>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/MessageListBox.h"
#include "lists/ListFiles.h"
#include "mailbox/Mailboxes.h"
#include "mailbox/Watcher.h"
#include "platform/task.h"

class TConnectPanel;
class TListPages;
class QCheckBox;
class QComboBox;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QSpinBox;
class QStatusBar;
class QSystemTrayIcon;
class QTabWidget;
namespace mg {
class Notifier;
}

// What tests give the window instead of the program's own values.
struct TPop3FormOptions {
    mg::SessionOptions Session;       // time-outs, keep-alive
    mg::CheckScheduler::Clock Clock;  // the background checks' wall clock
    // Receives the announcements instead of the desktop's notifications.
    std::function<void(const std::string& mailbox, const std::vector<mg::Mailbox::Announced>&)> Announce;
    bool BinByDefault = true;  // the bin's state when the settings file does not say
};

class TPop3Form : public QWidget {
    Q_OBJECT
public:
    using Announcement = std::vector<mg::Mailbox::Announced>;
    using Options = TPop3FormOptions;

    // programDir: the lists, the log, the cache and the bin; settingsPath:
    // the settings file.
    TPop3Form(std::string programDir, std::string settingsPath, Options options = {}, QWidget* parent = nullptr);
    ~TPop3Form() override;

    // The creation handler: false when the user chose to end the program at
    // once (nothing is written then).
    bool FormCreate();
    // The close handler, once the session has logged off: writes the
    // settings and the lists; raises what that raises.
    void FormClose();
    // Before FormCreate: another copy may be using the data directory, so
    // neither the list files nor the settings file is written (the lists go
    // to ".new" files); the user is told in a box and in the status bar.
    void SetReadOnly();

    // Handlers of the controls. Those that talk to the server are jobs of
    // the selected mailbox's session.
    mg::Task<> btnConnectClick();
    void btnDisconnectClick();
    void lbListClick();
    mg::Task<> btnDeleteClick();
    mg::Task<> btnSpamAddClick();
    mg::Task<> btnWhiteClick();
    void btnCheckAllClick();
    mg::Task<> btnSummaryClick();
    mg::Task<> btnSignInClick();  // "Войти…": an OAuth2 mailbox's browser sign-in
    void AppEventsMinimize();
    void TrayIcon(int mode);               // 1 adds the notification-area icon, 2 removes it
    void WMTrayNotify(int mouseMessage);   // 515: the left-button double click
    bool TrayIconShown() const;
    void InternetClick();
    void btnOutlookClick();
    void btnBinClick();
    void VantelPOP3InvalidHost(bool& Handled);
    void VantelPOP3ConnectionRequired(bool& Handled);

    // Controls, by their names.
    QTabWidget* pgPop3;
    QWidget *tsConnect, *tsSpam, *tsWhite;
    QGroupBox *gbConnect, *gbList;
    QLineEdit *editHost, *editPort, *editUser, *editPassword;
    QPushButton *btnConnect, *btnDisconnect, *btnSignIn;
    QLabel *labCount, *editCount, *labSpamAll, *labSpamAllCount;
    QFrame* About;
    QLabel* Internet;
    TMessageListBox* lbList;
    QPushButton *btnSummary, *btnWhite, *btnOutlook, *btnCheckAll, *btnSpamAdd, *btnDelete, *btnBin;
    QListWidget *lbSpamServers, *lbSpamUsers, *White;
    QPushButton *btnSpamDelete, *btnWhiteAdd, *btnWhiteDelete, *btnImport;
    QStatusBar* StatusBar;
    QComboBox* cbMailbox;
    QPushButton *btnMailboxAdd, *btnMailboxDelete;
    QSpinBox* editCheck;
    QCheckBox* cbAutostart;

    // The selected mailbox's session and its component (to look at).
    mg::MailboxSession& Session() { return Current().Session(); }
    const TVantelPOP3* VantelPOP3 = nullptr;
    // Its message lines; an index outside the list raises EListError "List
    // index out of bounds (%d)".
    int LineCount() const { return lbList->count(); }
    const std::string& LineText(int index) const { return Lines(index).Text(index); }
    bool LineChecked(int index) const { return Lines(index).Checked(index); }
    void SetLineChecked(int index, bool checked) { Lines(index).SetChecked(index, checked); }
    bool LineEnabled(int index) const { return Lines(index).Enabled(index); }

    // The lists in memory, and their pages.
    mg::SpamTree Spam;
    mg::WhiteList WhiteEntries;
    TListPages& Pages() { return *pages_; }

    // The mailboxes; the first page edits the selected one. Choosing another
    // ends a connected session first (its deletions committed; one that lost
    // deletions keeps its mailbox); removing asks first (never the last one).
    int MailboxCount() const { return mailboxes_->Count(); }
    int CurrentMailbox() const { return current_; }
    mg::Mailbox& Current() { return mailboxes_->At(current_); }
    void SelectMailbox(int index);
    void AddMailbox(size_t preset);
    void RemoveMailbox();

    // The background checks, and the new mail not yet looked at.
    mg::Watcher& Watching() { return *watcher_; }
    mg::CheckScheduler& Scheduler() { return watcher_->Scheduler(); }
    int Unseen() const { return mailboxes_->Unseen(); }
    // Starts in the tray (minimised where there is none).
    void StartHidden();

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    TMessageLines& Lines(int index) const;
    // A command that does not talk to the server: its error goes to the
    // standard error report, and a loss not yet reported is told after it.
    void Command(const std::function<void()>& body);
    void Submit(mg::Task<> (TPop3Form::*handler)());
    void JobDone(std::exception_ptr error);
    void AfterCommand();
    void SetStatus(const std::string& text);
    // Writes the mailboxes' sections (not in a read-only copy).
    void SaveSettings();
    void BuildControls();
    void Bind();
    void BindSession();  // the selected mailbox's session reports here
    void ReportLostDeletions(const std::string& reason);
    void ReportUndone();  // deletions of an earlier run a scan found undone
    void SessionEnded(const mg::MailboxSession::EndResult& result, bool thenClose);
    // Ends the selected mailbox's session first when it is in use.
    void AfterSession(std::function<void()> then);
    void ShowMailbox();
    // The selected mailbox's last scan, when its session is not open.
    bool ShowLastScan(bool keepMarks);
    void Checked(int mailbox);
    void Announce(int mailbox, const Announcement& fresh);
    void ShowUnseen();
    void Looked();

    std::string programDir_, settingsPath_;
    Options options_;
    mg::ListFiles lists_;
    std::unique_ptr<mg::Mailboxes> mailboxes_;
    std::unique_ptr<mg::Watcher> watcher_;
    int current_ = 0;
    std::string pendingAdvice_;
    TConnectPanel* connectPanel_ = nullptr;
    TListPages* pages_ = nullptr;
    QSystemTrayIcon* tray_ = nullptr;
    QPointer<QStatusBar> statusBar_;
    bool noticeQueued_ = false;
    bool closing_ = false;     // the close handler runs
    bool closeAsked_ = false;  // a close waits for the session's end
    std::unique_ptr<mg::Notifier> notifier_;
};

extern TPop3Form* Pop3Form;
