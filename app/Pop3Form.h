// TPop3Form: the main window. Three pages (connection and message list,
// black list, white list) and a status bar. The handlers read the controls,
// call the list logic and show the result; questions go through mg::Dialogs.
#pragma once

#include <QWidget>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QPointer>

#include "app/MessageLines.h"
#include "lists/SpamTree.h"
#include "lists/WhiteList.h"
#include "platform/report.h"

class TVantelPOP3;

class QCheckBox;
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
class QSystemTrayIcon;
class QTimer;

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
    // The close handler; raises what the close sequence raises. False when
    // the log-off ended without the server carrying out accepted deletions:
    // the user has been told, and the window stays open with those lines.
    bool FormClose();

    // Tests only: a value above 0 replaces the time-out of 20000 ms that
    // btnConnectClick gives the component, so that a silent server is given
    // up on sooner. 0 restores the program's own value.
    static void SetScanTimeOutForTest(int milliseconds);
    // Tests only: a value above 0 replaces the 2 minutes of idleness after
    // which a session holding accepted deletions is kept open by a NOOP.
    static void SetKeepAliveIntervalForTest(int milliseconds);

    // Handlers bound to the controls.
    void btnConnectClick();
    void btnDisconnectClick();
    void lbListClick();
    void btnDeleteClick();
    void btnSpamAddClick();
    void btnSpamDeleteClick();
    void btnWhiteClick();
    void btnWhiteAddClick();
    void btnWhiteDeleteClick();
    void btnCheckAllClick();
    void btnSummaryClick();
    void AppEventsMinimize();
    // mode 1 adds the notification-area icon, mode 2 removes it.
    void TrayIcon(int mode);
    // The tray icon's mouse messages; 515 is the left-button double click.
    void WMTrayNotify(int mouseMessage);
    void InternetClick();
    void btnOutlookClick();
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
    QPushButton *btnSummary, *btnWhite, *btnOutlook, *btnCheckAll, *btnSpamAdd, *btnDelete;
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

    // The POP3 component and its event handlers.
    TVantelPOP3* VantelPOP3;
    void VantelPOP3List(int Msg, int Size);
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
    // Runs a command bound to a control: the hourglass a failed summary
    // leaves behind is cleared when the command ends, and errors are shown
    // by the standard error report.
    template <class F>
    void Command(F&& body);
    // Status bar text, unless the status bar is gone.
    void SetStatus(const std::string& text);
    // Whether GetSummary/DeleteMessage did their work: while another
    // operation holds the component they return without doing anything.
    bool SummaryFetched(int number);
    // Fetches message `number`'s summary for a command; raises when the
    // component is busy with another operation and fetched nothing.
    void FetchSummaryFor(int number);
    // Refreshes the server-list count label.
    void ShowServerCount();
    void BuildControls();
    // Raises the list's index error unless `index` names a message line.
    void CheckLineIndex(int index) const;
    // Deletions the server accepted in this session and carries out only at a
    // positive reply to QUIT. btnDeleteClick notes each one right after it has
    // logged and marked its line (`logged`: what its log line holds after the
    // date and " |").
    void NoteDeletionAccepted(int index, const std::string& logged);
    // The session has ended without that reply: the noted lines read
    // "<НЕ УДАЛЕНО>" and log.dat gets a line for each. Called from the
    // component's close notification: opens no box, raises nothing.
    void DeletionsLost();
    // Tells the user about deletions lost since the last report, in one box;
    // `reason`: the error that ended the session, when known.
    void ReportLostDeletions(const std::string& reason);
    // Logs off and empties the message list. False (and the list kept) when
    // the log-off lost accepted deletions: the report replaces the error.
    bool LogOffAndClear();
    // Sends a NOOP when the session holding deletions has been idle.
    void KeepAliveTick();
    void RestartKeepAlive();
    // Before a log-off or a new scan: deletions of a session that is gone are
    // taken back, and a loss not yet reported is shown.
    void SettleClosedSession();
    // After every command of a control: a loss not yet reported is shown.
    void AfterCommand();
    void Bind();
    // The list files are opened by bare name from the program directory.
    void EnterProgramDir() const;
    void SaveLists();
    // The password field at start: the settings file's PASSWORD when it
    // holds one (not yet moved to the keyring), else the keyring's.
    void LoadPassword();
    // Keeps the password field's text at close: in the keyring when it
    // confirms, else in the settings file. Returns the settings file's
    // PASSWORD value (empty when the keyring holds the password).
    std::string StorePassword();

    std::unique_ptr<TVantelPOP3> pop3_;
    struct PendingDeletion {
        int index;           // line of lbList
        std::string logged;  // what its log line holds after the date and " |"
    };
    std::vector<PendingDeletion> pendingDeletions_;
    int lostDeletions_ = 0;  // not yet reported
    bool lostLogFailed_ = false;
    bool noticeQueued_ = false;
    bool closing_ = false;
    // While a keep-alive NOOP awaits its reply, commands and a close request
    // wait for it instead of running inside its wait.
    bool keepAliveWaiting_ = false;
    bool closeAfterKeepAlive_ = false;
    std::vector<std::function<void()>> afterKeepAlive_;
    void RunAfterKeepAlive();
    QTimer* keepAlive_ = nullptr;
    QSystemTrayIcon* tray_ = nullptr;
    QPointer<QStatusBar> statusBar_;
    int retrieveStarts_ = 0;
    int successes_ = 0;
    bool deleting_ = false;      // a delete run is under way
    bool failureShown_ = false;  // its refusal box has been shown
    std::string programDir_;
    std::string settingsPath_;
    std::vector<mg::ServerEntry> serverEntries_;  // lbSpamServers' entries, in order
    bool fillingViews_ = false;
    // How each list file was found at start: a file that exists but was not
    // loaded completely is never replaced at close.
    enum class FileState { Missing, Loaded, NotLoaded };
    FileState spamState_ = FileState::NotLoaded;
    FileState whiteState_ = FileState::NotLoaded;
    // The password the keyring holds for a server and login, as read at
    // start or stored at close.
    struct KeptPassword {
        std::string server, user, password;  // UTF-8
    };
    std::optional<KeptPassword> keyringPassword_;
};

extern TPop3Form* Pop3Form;

template <class F>
void TPop3Form::Command(F&& body) {
    if (keepAliveWaiting_) {
        afterKeepAlive_.push_back([this, command = std::function<void()>(body)] { Command(command); });
        return;
    }
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
