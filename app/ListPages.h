// The window's second and third pages, views of the two lists: the black
// list's servers (checked: the whole server) with the users of the one
// chosen, and "Удалить из СПАМа"; the white list's addresses and servers
// with "Добавить в список", "Импорт из файла" and "Удалить из списка".
#pragma once

#include <QObject>
#include <functional>
#include <vector>

#include "lists/SpamTree.h"

class QGroupBox;
class QLabel;
class QListWidget;
class QPushButton;
class QTabWidget;
class QWidget;

namespace mg {
class WhiteList;
}

class TListPages : public QObject {
    Q_OBJECT
public:
    // Adds both pages to `pages`; `serverCount` shows how many servers the
    // black list holds. Each edit runs through `command`, which reports what
    // it raises.
    TListPages(QTabWidget* pages, mg::SpamTree& spam, mg::WhiteList& white, QLabel* serverCount,
               std::function<void(const std::function<void()>&)> command);

    QWidget *tsSpam, *tsWhite;
    QGroupBox *gbSpamServers, *gbAbout, *gbWhite;
    QListWidget *lbSpamServers, *lbSpamUsers, *White;
    QPushButton *btnSpamDelete, *btnWhiteAdd, *btnWhiteDelete, *btnImport;

    // Shows the lists as they are now in memory.
    void RebuildServerList();
    void ShowWhiteEntries();
    // A server the black list gained from a message line.
    void AddServerEntry(const mg::ServerEntry& entry);

    void lbSpamServersClick();
    void lbSpamServersClickCheck();
    void btnSpamDeleteClick();
    void btnWhiteAddClick();
    void btnWhiteDeleteClick();
    void btnImportClick();

private:
    void ShowServerEntries();
    int CurrentServerIndex() const;

    mg::SpamTree& spam_;
    mg::WhiteList& white_;
    QLabel* serverCount_;
    std::vector<mg::ServerEntry> serverEntries_;  // lbSpamServers' entries, in order
    bool filling_ = false;                        // the views are being filled, not edited
};
