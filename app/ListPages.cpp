#include "app/ListPages.h"

#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTabWidget>
#include <algorithm>
#include <cerrno>

#include "app/Controls.h"
#include "lists/TextOrder.h"
#include "lists/WhiteList.h"
#include "platform/codepage.h"
#include "platform/dialogs.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/report.h"

using mg::A;
using mg::Answer;
using mg::Buttons;
using mg::FromAnsi;
using mg::Icon;
using mg::MakeButton;
using mg::MakeGroup;
using mg::MakeList;
using mg::MakePage;

TListPages::TListPages(QTabWidget* pages, mg::SpamTree& spam, mg::WhiteList& white, QLabel* serverCount,
                       std::function<void(const std::function<void()>&)> command)
    : QObject(pages), spam_(spam), white_(white), serverCount_(serverCount) {
    tsSpam = MakePage(pages, "tsSpam", "\"Черный список\"");
    gbSpamServers = MakeGroup(tsSpam, "gbSpamServers", " Список серверов ", {8, 8, 737, 481});
    lbSpamServers = MakeList(gbSpamServers, "lbSpamServers", {8, 32, 393, 433});
    gbAbout = MakeGroup(gbSpamServers, "gbAbout", " Пользователи ", {416, 24, 305, 441});
    lbSpamUsers = MakeList(gbAbout, "lbSpamUsers", {8, 24, 281, 353});
    btnSpamDelete = MakeButton(gbAbout, "btnSpamDelete", "Удалить из СПАМа", {8, 392, 281, 25}, true);

    tsWhite = MakePage(pages, "tsWhite", "\"Белый список\"");
    gbWhite = MakeGroup(tsWhite, "gbWhite", " Адреса ", {8, 8, 737, 481});
    White = MakeList(gbWhite, "White", {8, 24, 417, 441});
    btnWhiteAdd = MakeButton(gbWhite, "btnWhiteAdd", "Добавить в список", {440, 24, 281, 25}, true);
    btnImport = MakeButton(gbWhite, "btnImport", "Импорт из файла", {440, 56, 281, 25}, true);
    btnWhiteDelete = MakeButton(gbWhite, "btnWhiteDelete", "Удалить из списка", {440, 440, 281, 25}, true);

    const std::pair<QPushButton*, void (TListPages::*)()> buttons[] = {
        {btnSpamDelete, &TListPages::btnSpamDeleteClick}, {btnWhiteAdd, &TListPages::btnWhiteAddClick},
        {btnWhiteDelete, &TListPages::btnWhiteDeleteClick}, {btnImport, &TListPages::btnImportClick}};
    for (const auto& [button, handler] : buttons)
        connect(button, &QPushButton::clicked, this, [this, command, h = handler] { command([this, h] { (this->*h)(); }); });
    connect(lbSpamServers, &QListWidget::currentRowChanged, this, [this](int) {
        if (!filling_) mg::Guarded([this] { lbSpamServersClick(); });
    });
    connect(lbSpamServers, &QListWidget::itemClicked, this,
            [this](QListWidgetItem*) { mg::Guarded([this] { lbSpamServersClick(); }); });
    connect(lbSpamServers, &QListWidget::itemChanged, this, [this](QListWidgetItem* item) {
        const int row = lbSpamServers->row(item);
        if (filling_ || row < 0 || static_cast<size_t>(row) >= serverEntries_.size()) return;
        const bool checked = item->checkState() == Qt::Checked;
        if (serverEntries_[static_cast<size_t>(row)].Checked == checked) return;
        serverEntries_[static_cast<size_t>(row)].Checked = checked;
        filling_ = true;
        lbSpamServers->setCurrentRow(row);
        filling_ = false;
        mg::Guarded([this] { lbSpamServersClickCheck(); });
    });
    connect(pages, &QTabWidget::currentChanged, this, [this, pages](int index) {
        if (pages->widget(index) == tsSpam) mg::Guarded([this] { lbSpamServersClick(); });
    });
}

void TListPages::RebuildServerList() {
    serverEntries_ = mg::BuildServerList(spam_);
    ShowServerEntries();
}

void TListPages::AddServerEntry(const mg::ServerEntry& entry) {
    mg::InsertServerEntry(serverEntries_, entry);
    ShowServerEntries();
}

void TListPages::ShowServerEntries() {
    filling_ = true;
    const int current = lbSpamServers->currentRow();
    lbSpamServers->clear();
    for (const mg::ServerEntry& e : serverEntries_) {
        auto* item = new QListWidgetItem(FromAnsi(e.Text));
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
        item->setCheckState(e.Checked ? Qt::Checked : Qt::Unchecked);
        lbSpamServers->addItem(item);
    }
    if (current >= 0 && current < lbSpamServers->count()) lbSpamServers->setCurrentRow(current);
    serverCount_->setText(QString::number(serverEntries_.size()));
    filling_ = false;
}

void TListPages::ShowWhiteEntries() {
    const int current = White->currentRow();
    White->clear();
    for (const std::string& e : white_.Entries()) White->addItem(FromAnsi(e));
    if (current >= 0 && current < White->count()) White->setCurrentRow(current);
}

int TListPages::CurrentServerIndex() const {
    const int row = lbSpamServers->currentRow();
    return row >= 0 && static_cast<size_t>(row) < serverEntries_.size() ? row : -1;
}

void TListPages::lbSpamServersClick() {
    const int index = CurrentServerIndex();
    if (index < 0) return;
    lbSpamUsers->clear();
    const mg::ServerEntry& entry = serverEntries_[static_cast<size_t>(index)];
    std::vector<std::string> users = spam_.Users((entry.Checked ? "1" : "0") + entry.Text);
    std::stable_sort(users.begin(), users.end(),
                     [](const std::string& a, const std::string& b) { return mg::CompareNoCase(a, b) < 0; });
    for (const std::string& u : users) lbSpamUsers->addItem(FromAnsi(u));
}

void TListPages::lbSpamServersClickCheck() {
    const int index = CurrentServerIndex();
    if (index >= 0) spam_.SetWholeServer(serverEntries_[static_cast<size_t>(index)].Text, serverEntries_[static_cast<size_t>(index)].Checked);
}

void TListPages::btnSpamDeleteClick() {
    QListWidgetItem* selected = lbSpamUsers->currentItem();
    if (!selected || !selected->isSelected()) return;
    const int index = CurrentServerIndex();
    if (mg::ShowMessage(A("Удалить адрес из списка?"), Icon::Confirmation, Buttons::OkCancel) != Answer::Ok) return;
    if (index < 0) return;
    const mg::ServerEntry entry = serverEntries_[static_cast<size_t>(index)];
    const mg::SpamTree::Removed removed =
        spam_.RemoveUser((entry.Checked ? "1" : "0") + entry.Text, mg::ToAnsi(selected->text()));
    if (removed.user) delete lbSpamUsers->takeItem(lbSpamUsers->row(selected));
    if (removed.server) {
        serverEntries_.erase(serverEntries_.begin() + index);
        ShowServerEntries();
    }
}

void TListPages::btnWhiteAddClick() {
    std::string text;
    if (!mg::CurrentDialogs().InputQuery(A("Добавить в <белый список>"), A("Введите адрес"), text)) return;
    if (text.empty() || text.find('@') == std::string::npos) return;
    if (white_.Contains(text)) {
        mg::ShowMessage(A("Адрес уже занесен в список!"), Icon::Information, Buttons::Yes);
        return;
    }
    white_.Insert(text);
    ShowWhiteEntries();
}

void TListPages::btnWhiteDeleteClick() {
    QListWidgetItem* selected = White->currentItem();
    if (!selected || !selected->isSelected()) return;
    const int row = White->row(selected);
    if (mg::ShowMessage(A("Удалить адрес из списка?"), Icon::Confirmation, Buttons::OkCancel) != Answer::Ok) return;
    white_.RemoveAt(row);
    ShowWhiteEntries();
}

void TListPages::btnImportClick() {
    std::string path;
    if (!mg::CurrentDialogs().OpenFile(A("Текстовые файлы|*.txt|Comma delimited files|*.csv|Все файлы|*.*"), path))
        return;
    std::string data;
    // The file's name as the I/O error of the runtime would report it.
    if (!mg::ReadWholeFile(path, data)) throw EInOutError(InOutErrorText(errno));
    std::vector<std::string> addresses;
    for (const std::string& line : mg::TextLines(data))
        for (std::string& address : mg::ScanAddresses(line)) addresses.push_back(std::move(address));
    white_.AddUnique(addresses);
    ShowWhiteEntries();
}
