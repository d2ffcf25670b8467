// TPop3Form: the main window. Three pages (connection and message list,
// black list, white list) and a status bar. The handlers read the controls,
// call the list logic and show the result; questions go through mg::Dialogs.
// The mailbox lives in its session (mailbox/): the commands that talk to the
// server are jobs the session runs one at a time, and the window draws what
// the session reports.
#pragma once

#include <QWidget>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QPointer>

#include "app/MessageListBox.h"
#include "lists/ListFiles.h"
#include "lists/SpamTree.h"
#include "lists/WhiteList.h"
#include "mailbox/CheckScheduler.h"
#include "mailbox/MailboxSession.h"
#include "platform/report.h"
#include "platform/task.h"

class QCheckBox;
class QComboBox;
class QCloseEvent;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QListWidgetItem;
class QPushButton;
class QStatusBar;
class QTabWidget;
class QFrame;
class QSpinBox;
class QSystemTrayIcon;

namespace mg {
class Notifier;
}

class TPop3Form : public QWidget {
    Q_OBJECT
public:
    // programDir: where the list files and the log live (with a trailing
    // "/"); settingsPath: the settings file.
    TPop3Form(std::string programDir, std::string settingsPath, QWidget* parent = nullptr);
    ~TPop3Form() override;

    // Runs the creation handler. False when the user chose to end the
    // program at once (nothing is written then).
    bool FormCreate();
    // The close handler, once the session has logged off: writes the
    // settings and the lists; raises what that raises.
    void FormClose();
    // Before FormCreate: another copy may be using the data directory, so
    // the list files are not written (see ListFiles); the user is told once
    // in a box and in the status bar.
    void SetReadOnly();

    // Tests only: a value above 0 replaces the time-out of 20000 ms that a
    // scan gives the component, so that a silent server is given up on
    // sooner. 0 restores the program's own value.
    static void SetScanTimeOutForTest(int milliseconds);
    // Tests only: a value above 0 replaces the 2 minutes of idleness after
    // which a session holding accepted deletions is kept open by a NOOP.
    static void SetKeepAliveIntervalForTest(int milliseconds);

    // Handlers bound to the controls. Those that talk to the server are
    // jobs of the session: the click submits them.
    mg::Task<> btnConnectClick();
    // Ends the session: what runs stops after the command in flight, then
    // the log-off; the list is emptied unless deletions were lost.
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
    void AppEventsMinimize();
    // mode 1 adds the notification-area icon, mode 2 removes it.
    void TrayIcon(int mode);
    // The tray icon's mouse messages; 515 is the left-button double click.
    void WMTrayNotify(int mouseMessage);
    void InternetClick();
    void btnOutlookClick();
    // Opens the bin of deleted messages ("deleted/" in the program
    // directory) in a modal dialog; the session is not involved.
    void btnBinClick();
    // Whether the icon is in the notification area now.
    bool TrayIconShown() const;
    void lbSpamServersClick();
    void lbSpamServersClickCheck();
    void tsSpamShow();
    void btnImportClick();

    // Controls, by their names.
    QTabWidget* pgPop3;
    QWidget* tsConnect;
    QGroupBox* gbConnect;
    QLabel *labHost, *labPort, *labUser, *labPassword;
    QLineEdit *editHost, *editPort, *editUser, *editPassword;
    QPushButton* btnConnect;
    QPushButton* btnDisconnect;
    QLabel* labCount;
    QLabel* editCount;
    QFrame* About;
    QLabel *labProduct, *labVersion, *imgAbout, *Internet;
    QGroupBox* gbList;
    TMessageListBox* lbList;
    QPushButton *btnSummary, *btnWhite, *btnOutlook, *btnCheckAll, *btnSpamAdd, *btnDelete, *btnBin;
    QLabel* labSpamAll;
    QLabel* labSpamAllCount;
    QWidget* tsSpam;
    QGroupBox* gbSpamServers;
    QListWidget* lbSpamServers;
    QGroupBox* gbAbout;
    QListWidget* lbSpamUsers;
    QPushButton* btnSpamDelete;
    QWidget* tsWhite;
    QGroupBox* gbWhite;
    QListWidget* White;
    QPushButton *btnWhiteAdd, *btnWhiteDelete, *btnImport;
    QStatusBar* StatusBar;

    // The mailbox session, and its POP3 component (to look at) with the
    // handlers of its events.
    mg::MailboxSession& Session() { return *session_; }
    const TVantelPOP3* VantelPOP3;
    void VantelPOP3Status(const std::string& Status);
    void VantelPOP3HostResolved();
    void VantelPOP3InvalidHost(bool& Handled);
    void VantelPOP3ConnectionFailed();
    void VantelPOP3Connect();
    void VantelPOP3Disconnect();
    void VantelPOP3ConnectionRequired(bool& Handled);
    void VantelPOP3RetrieveStart();
    void VantelPOP3RetrieveEnd();
    void VantelPOP3Success();
    void VantelPOP3Failure();
    void VantelPOP3PacketRecvd();
    void VantelPOP3Reset();

    // The message lines: text in Windows-1251, check box, enabled state. An
    // index outside the list raises EListError "List index out of bounds (%d)".
    int LineCount() const;
    std::string LineText(int index) const;
    void SetLineText(int index, const std::string& text);
    bool LineChecked(int index) const;
    void SetLineChecked(int index, bool checked);
    bool LineEnabled(int index) const;
    void SetLineEnabled(int index, bool enabled);
    void AppendLine(const std::string& text);
    // Replaces the first nine characters (the size column) by `mark`.
    void MarkLine(int index, const std::string& mark);

    // The lists in memory: the black-list tree (the invisible outline) and
    // the white list shown by `White`.
    mg::SpamTree Spam;
    mg::WhiteList WhiteEntries;
    // lbSpamUsers' Tag: the node number of the server whose users it shows.
    int lbSpamUsersTag = 0;

    // ---- the mailboxes: the first in [CONNECT], each further one in
    // [CONNECT2], [CONNECT3], ... of the settings file; the first page
    // edits the selected one, and the commands act on it.

    QComboBox* cbMailbox = nullptr;
    QPushButton* btnMailboxAdd = nullptr;     // its menu offers the presets
    QPushButton* btnMailboxDelete = nullptr;
    int MailboxCount() const { return static_cast<int>(mailboxes_.size()); }
    int CurrentMailbox() const { return current_; }
    // Selects a mailbox; a connected session is ended first (its deletions
    // committed), and a session that lost deletions keeps its mailbox.
    void SelectMailbox(int index);
    // A mailbox, added and selected, its server and port from a preset
    // (the last: another server); the preset's advice goes to the status bar.
    struct Preset {
        const char* name;
        const char* host;
        int port;
        const char* advice;  // UTF-8; empty for none
    };
    static const std::vector<Preset>& Presets();
    void AddMailbox(size_t preset);
    // Removes the selected mailbox after a confirmation (never the last one).
    void RemoveMailbox();

    // ---- watching the mailboxes in the background

    // Background checks: a scan in a session of its own that logs off at
    // once, every "Проверять каждые N мин" minutes (CHECK in the settings
    // file; 0 or missing: never), never while the user's session is
    // connected; new mail that is not black-listed is announced on the
    // desktop and counted on the tray icon until the window is looked at.
    QSpinBox* editCheck = nullptr;
    QCheckBox* cbAutostart = nullptr;
    mg::CheckScheduler& Scheduler() { return scheduler_; }
    const mg::MailboxSession* Watch() const { return watch_.get(); }
    // New messages announced and not yet looked at.
    int Unseen() const;
    // Starts with the window in the tray (or minimised where there is none).
    void StartHidden();
    using Announcement = std::vector<std::pair<std::string, std::string>>;  // sender, subject
    // Tests only: receives the announcements instead of the desktop, and the
    // clock the background checks are timed by.
    static void SetAnnounceForTest(std::function<void(const std::string& mailbox, const Announcement&)> announce);
    static void SetCheckClockForTest(mg::CheckScheduler::Clock clock);
    // The autostart entry: ~/.config/autostart/mailgrove.desktop
    // ($XDG_CONFIG_HOME respected), starting "mailgrove --hidden".
    static std::string AutostartPath();

    const std::string& ProgramDir() const { return programDir_; }
    const std::string& SettingsPath() const { return settingsPath_; }

    // The views, refilled from the lists.
    void RebuildServerList();
    void ShowServerEntries();
    void ShowWhiteEntries();
    // Index of a server-list entry; -1 when none is current.
    int CurrentServerIndex() const;

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Runs a command bound to a control that does not talk to the server:
    // its error is shown by the standard error report, and a loss of
    // deletions not yet reported is told after it.
    template <class F>
    void Command(F&& body);
    // Status bar text, unless the status bar is gone.
    void SetStatus(const std::string& text);
    // Submits a handler that talks to the server as a job of the session;
    // its error is shown when it has ended.
    void Submit(mg::Task<> (TPop3Form::*handler)());
    void JobDone(std::exception_ptr error);
    // Refreshes the server-list count label.
    void ShowServerCount();
    void BuildControls();
    // Raises the list's index error unless `index` names a message line.
    void CheckLineIndex(int index) const;
    // Tells the user about deletions the session lost since the last report,
    // in one box; `reason`: the error that ended the session, when known.
    void ReportLostDeletions(const std::string& reason);
    // `head`, the count, and the first of `lines` (messages left on the
    // server), as a box tells them.
    std::string LinesText(const std::string& head, const std::vector<int>& lines) const;
    // The server, port, login and password of the first page's fields.
    mg::MailboxSettings FieldSettings() const;
    // The selected mailbox's last scan from the header cache, when no
    // session of the user's is open; with `keepMarks`, the check marks of
    // the messages shown before stay as the user left them. False when
    // there is none.
    bool ShowLastScan(bool keepMarks);
    static mg::CheckScheduler::Clock CheckClock();
    void BuildWatchControls();
    void SetUpWatch();
    void CheckDue(int mailbox);
    mg::Task<> BackgroundCheck(mg::MailboxSettings settings);
    void CheckDone(std::exception_ptr error);
    void IntervalChanged();
    void AutostartToggled(bool on);
    // The tray's icon (with the unseen count drawn on it) and tooltip.
    void ShowUnseen();
    void Looked();
    // After every command of a control: a loss not yet reported is shown.
    void AfterCommand();
    // The session has ended (a disconnect or a close asked for it).
    void SessionEnded(const mg::MailboxSession::EndResult& result, bool thenClose);
    void Bind();
    void SaveLists();

    std::string programDir_;
    std::string settingsPath_;
    std::vector<mg::ServerEntry> serverEntries_;  // lbSpamServers' entries, in order
    bool fillingViews_ = false;
    // The list files, and how each was found at start.
    mg::ListFiles lists_;
    // The password the keyring holds for a server and login, as read at
    // start or stored at close.
    struct KeptPassword {
        std::string server, user, password;  // UTF-8
    };
    std::optional<KeptPassword> keyringPassword_;  // the selected mailbox's

    struct Mailbox {
        std::string Host, Port = "110", User;  // as the settings file holds them (Windows-1251)
        std::string Password;                  // UTF-8, as the field holds it
        int Check = 0;
        bool CheckWritten = false;  // the file has CHECK for it
        std::optional<KeptPassword> Kept;
        std::string LastCheck;  // "Проверено в HH:MM", or why the check failed
        bool CheckFailed = false;
        int Unseen = 0;         // announced, not yet looked at
    };
    std::vector<Mailbox> mailboxes_;
    int current_ = 0;
    int sectionsRead_ = 1;
    bool fillingMailboxes_ = false;
    std::string pendingAdvice_;
    static std::string SectionOf(int index);
    // Every mailbox section of the settings file, the first selected.
    void LoadMailboxes();
    // Writes every mailbox to its section, removing the sections of
    // mailboxes removed; raises when the file cannot be written.
    void SaveMailboxes();
    // A mailbox's section: the password is the settings file's PASSWORD
    // when it holds one (not yet moved to the keyring), else the keyring's.
    Mailbox ReadMailbox(const std::string& section) const;
    // The first page's fields into the selected mailbox, and back.
    void StoreCurrent();
    void ShowMailbox(int index);
    void ApplySelection(int index);
    std::string MailboxName(int index) const;  // "login@server" (Windows-1251)
    void FillMailboxes();
    void BuildMailboxControls();
    // Keeps a mailbox's password at close: in the keyring when it confirms,
    // else in the settings file. Returns the settings file's PASSWORD value
    // (empty when the keyring holds the password).
    std::string StorePassword(Mailbox& m);
    int checking_ = -1;  // the mailbox a background check runs on

    QSystemTrayIcon* tray_ = nullptr;
    QPointer<QStatusBar> statusBar_;
    bool noticeQueued_ = false;
    bool closing_ = false;     // the close handler runs
    bool closeAsked_ = false;  // a close waits for the session's end
    std::unique_ptr<mg::MailboxSession> session_;

    std::unique_ptr<mg::MailboxSession> watch_;  // the background checks' session
    mg::CheckScheduler scheduler_;
    std::unique_ptr<mg::Notifier> notifier_;
    Announcement announced_;  // by the check under way
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
