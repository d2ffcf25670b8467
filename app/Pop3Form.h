// TPop3Form: the main window. Three pages (connection and message list,
// black list, white list) and a status bar. The handlers read the controls,
// call the list logic and show the result; questions go through mg::Dialogs.
#pragma once

#include <QWidget>
#include <memory>
#include <string>
#include <vector>

#include "lists/SpamTree.h"
#include "lists/WhiteList.h"

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
    // The close handler; raises what the close sequence raises.
    void FormClose();

    // Handlers bound to the controls.
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
    QListWidget* lbList;
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

private:
    void BuildControls();
    void Bind();
    // The list files are opened by bare name from the program directory.
    void EnterProgramDir() const;
    void SaveLists();

    std::string programDir_;
    std::string settingsPath_;
    std::vector<mg::ServerEntry> serverEntries_;  // lbSpamServers' entries, in order
    bool fillingViews_ = false;
    // How each list file was found at start: a file that exists but was not
    // loaded completely is never replaced at close.
    enum class FileState { Missing, Loaded, NotLoaded };
    FileState spamState_ = FileState::NotLoaded;
    FileState whiteState_ = FileState::NotLoaded;
};

extern TPop3Form* Pop3Form;
