// TPop3Form: the main window, a view of the mailboxes and the lists. Three
// pages (connection and message list, black list, white list) and a status
// bar. The mailboxes (mailbox/Mailboxes), their sessions and background
// checks (mailbox/Watcher) and the lists live below the window: the handlers
// read the controls, send the objects requests, ask the user through
// mg::Dialogs and show what the objects report.
#pragma once

#include <QWidget>
#include <QPointer>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/MessageListBox.h"
#include "lists/ListFiles.h"
#include "lists/SpamTree.h"
#include "lists/WhiteList.h"
#include "mailbox/Mailboxes.h"
#include "mailbox/Watcher.h"
#include "platform/report.h"
#include "platform/task.h"

class TConnectPanel;
class QCheckBox;
class QComboBox;
class QCloseEvent;
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

// What tests give the window at construction instead of the program's own
// values.
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

    // programDir: where the list files and the log live (with a trailing
    // "/"); settingsPath: the settings file.
    TPop3Form(std::string programDir, std::string settingsPath, Options options = {}, QWidget* parent = nullptr);
    ~TPop3Form() override;

    // Runs the creation handler. False when the user chose to end the
    // program at once (nothing is written then).
    bool FormCreate();
    // The close handler, once the session has logged off: writes the
    // settings and the lists; raises what that raises.
    void FormClose();
    // Before FormCreate: another copy may be using the data directory, so
    // neither the list files nor the settings file is written (the lists go
    // to ".new" files); the user is told once in a box and in the status bar.
    void SetReadOnly();

    // Handlers bound to the controls. Those that talk to the server are jobs
    // of the selected mailbox's session: the click submits them.
    mg::Task<> btnConnectClick();
    void btnDisconnectClick();
    void lbListClick();
    mg::Task<> btnDeleteClick();
    mg::Task<> btnSpamAddClick();
    void btnSpamDeleteClick();
    mg::Task<> btnWhiteClick();
    void btnWhiteAddClick();
    void btnWhiteDeleteClick();
    void btnCheckAllClick();
    mg::Task<> btnSummaryClick();
    // "Войти…": the browser sign-in of an OAuth2 mailbox.
    mg::Task<> btnSignInClick();
    void AppEventsMinimize();
    // mode 1 adds the notification-area icon, mode 2 removes it.
    void TrayIcon(int mode);
    // The tray icon's mouse messages; 515 is the left-button double click.
    void WMTrayNotify(int mouseMessage);
    bool TrayIconShown() const;
    void InternetClick();
    void btnOutlookClick();
    void btnBinClick();
    void lbSpamServersClick();
    void lbSpamServersClickCheck();
    void tsSpamShow();
    void btnImportClick();

    // Controls, by their names.
    QTabWidget* pgPop3;
    QWidget *tsConnect, *tsSpam, *tsWhite;
    QGroupBox *gbConnect, *gbList, *gbSpamServers, *gbAbout, *gbWhite;
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
    QPushButton *btnMailboxAdd, *btnMailboxDelete;  // the menu of "Добавить" offers the presets
    QSpinBox* editCheck;  // "Проверять каждые N мин"
    QCheckBox* cbAutostart;

    // The session of the selected mailbox, and its POP3 component (to look at).
    mg::MailboxSession& Session() { return Current().Session(); }
    const TVantelPOP3* VantelPOP3 = nullptr;
    void VantelPOP3InvalidHost(bool& Handled);
    void VantelPOP3ConnectionRequired(bool& Handled);

    // The message lines of the selected mailbox. An index outside the list
    // raises EListError "List index out of bounds (%d)".
    int LineCount() const { return lbList->count(); }
    const std::string& LineText(int index) const { return Lines(index).Text(index); }
    bool LineChecked(int index) const { return Lines(index).Checked(index); }
    void SetLineChecked(int index, bool checked) { Lines(index).SetChecked(index, checked); }
    bool LineEnabled(int index) const { return Lines(index).Enabled(index); }

    // The lists in memory.
    mg::SpamTree Spam;
    mg::WhiteList WhiteEntries;

    // The mailboxes; the first page edits the selected one.
    mg::Mailboxes& Boxes() { return *mailboxes_; }
    int MailboxCount() const { return mailboxes_->Count(); }
    int CurrentMailbox() const { return current_; }
    mg::Mailbox& Current() { return mailboxes_->At(current_); }
    // Selects a mailbox; a connected session is ended first (its deletions
    // committed), and a session that lost deletions keeps its mailbox.
    void SelectMailbox(int index);
    // Adds a mailbox from a preset and selects it.
    void AddMailbox(size_t preset);
    // Removes the selected mailbox after a confirmation (never the last one).
    void RemoveMailbox();

    // The background checks.
    mg::Watcher& Watching() { return *watcher_; }
    mg::CheckScheduler& Scheduler() { return watcher_->Scheduler(); }
    // New messages announced and not yet looked at, of every mailbox.
    int Unseen() const;
    // Starts with the window in the tray (or minimised where there is none).
    void StartHidden();

    const std::string& ProgramDir() const { return programDir_; }
    const std::string& SettingsPath() const { return settingsPath_; }

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    TMessageLines& Lines(int index) const;
    // Runs a command that does not talk to the server: its error is shown
    // by the standard error report, and a loss of deletions not yet reported
    // is told after it.
    template <class F>
    void Command(F&& body);
    void Submit(mg::Task<> (TPop3Form::*handler)());
    void JobDone(std::exception_ptr error);
    void AfterCommand();
    void SetStatus(const std::string& text);
    void BuildControls();
    void Bind();
    // The selected mailbox's session reports to this window.
    void BindSession();
    void ReportLostDeletions(const std::string& reason);
    // Deletions of an earlier run that a scan found undone, once no command runs.
    void ReportUndone();
    void SessionEnded(const mg::MailboxSession::EndResult& result, bool thenClose);
    // Ends the selected mailbox's session first when it is in use, then `then`.
    void AfterSession(std::function<void()> then);

    // The views.
    void RebuildServerList();
    void ShowServerEntries();
    void ShowWhiteEntries();
    int CurrentServerIndex() const;
    // The selected mailbox in the connection group.
    void ShowMailbox();
    // The selected mailbox's last scan, when its session is not open; false
    // when there is none.
    bool ShowLastScan(bool keepMarks);
    void Checked(int mailbox);
    void Announce(int mailbox, const Announcement& fresh);
    void ShowUnseen();
    void Looked();

    std::string programDir_;
    std::string settingsPath_;
    Options options_;
    std::unique_ptr<mg::Mailboxes> mailboxes_;
    std::unique_ptr<mg::Watcher> watcher_;
    int current_ = 0;
    bool filling_ = false;  // the views are being filled, not edited
    std::string pendingAdvice_;
    std::vector<mg::ServerEntry> serverEntries_;  // lbSpamServers' entries, in order
    mg::ListFiles lists_;  // and how each was found at start

    QSystemTrayIcon* tray_ = nullptr;
    QPointer<QStatusBar> statusBar_;
    bool noticeQueued_ = false;
    bool closing_ = false;     // the close handler runs
    bool closeAsked_ = false;  // a close waits for the session's end
    std::unique_ptr<mg::Notifier> notifier_;
    TConnectPanel* connectPanel_ = nullptr;
};

extern TPop3Form* Pop3Form;

template <class F>
void TPop3Form::Command(F&& body) {
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
