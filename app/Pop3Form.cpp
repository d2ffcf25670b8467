#include "app/Pop3Form.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QFrame>
#include <QGroupBox>
#include <QItemSelectionModel>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QStatusBar>
#include <QTabWidget>

#include "app/ConnectPanel.h"
#include "app/Controls.h"
#include "app/Icon.h"
#include "app/ListPages.h"
#include "lists/ListDialogue.h"
#include "mailbox/DeletionBin.h"
#include "platform/autostart.h"
#include "platform/codepage.h"
#include "platform/report.h"
#include "platform/dialogs.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/ui/qt_dialogs.h"
#include "platform/notifier.h"

using mg::A;
using mg::Make;
using mg::MakeButton;
using mg::MakeGroup;
using mg::MakeLabel;
using mg::MakePage;
using mg::U;
using mg::FromAnsi;
using mg::ToAnsi;

TPop3Form* Pop3Form = nullptr;

namespace {

// The project's own page, opened by the about panel's link: the README that
// is installed beside the program, else the one of the source tree it was
// built from.
QString ProjectPage() {
    const std::string installed = mg::ExecutableDirectory() + "../share/doc/mailgrove/README.md";
    if (mg::FileExists(installed)) return QString::fromLocal8Bit(installed.c_str());
    return QStringLiteral(MAILGROVE_SOURCE_README);
}

}  // namespace

TPop3Form::TPop3Form(std::string programDir, std::string settingsPath, Options options, QWidget* parent)
    : QWidget(parent), programDir_(std::move(programDir)), settingsPath_(std::move(settingsPath)),
      options_(std::move(options)), lists_(programDir_) {
    if (!programDir_.empty() && programDir_.back() != '/') programDir_ += '/';
    BuildControls();
    // Questions and error reports go to boxes over this window.
    mg::InstallQtDialogs(this);
    mailboxes_ = std::make_unique<mg::Mailboxes>(
        mg::Mailbox::Environment{programDir_, settingsPath_, &Spam, &WhiteEntries, options_.Session, options_.BinByDefault});
    mailboxes_->Load();
    watcher_ = std::make_unique<mg::Watcher>(*mailboxes_, options_.Clock);
    watcher_->OnAnnounce = [this](int mailbox, const Announcement& fresh) { Announce(mailbox, fresh); };
    watcher_->OnChecked = [this](int mailbox) { Checked(mailbox); };
    BindSession();
    Bind();
}

TPop3Form::~TPop3Form() {
    // Events that arrive while the window goes away find no status bar.
    statusBar_.clear();
    lbList->SetLines(nullptr);
    watcher_.reset();
    mailboxes_.reset();
    if (Pop3Form == this) Pop3Form = nullptr;
}

TMessageLines& TPop3Form::Lines(int index) const {
    if (index < 0 || index >= lbList->count()) throw EListError(ListIndexError(index));
    return *lbList->Lines();
}

void TPop3Form::BuildControls() {
    setObjectName(QStringLiteral("Pop3Form"));
    setWindowTitle(U("POP3 просмотр"));
    setWindowIcon(mg::MailgroveIcon());
    setWindowFlags(Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setFixedSize(762, 546);
    setFont(mg::FixedPitchFont());

    StatusBar = Make<QStatusBar>(this, "StatusBar", {0, 524, 762, 22});
    StatusBar->setSizeGripEnabled(false);
    statusBar_ = StatusBar;
    pgPop3 = Make<QTabWidget>(this, "pgPop3", {0, 0, 762, 524});

    // Page 1: the mailbox and its message list.
    tsConnect = MakePage(pgPop3, "tsConnect", "Соединение");
    gbConnect = connectPanel_ = new TConnectPanel(tsConnect);
    TConnectPanel& p = *connectPanel_;
    cbMailbox = p.cbMailbox, btnMailboxAdd = p.btnMailboxAdd, btnMailboxDelete = p.btnMailboxDelete;
    editHost = p.editHost, editPort = p.editPort, editUser = p.editUser, editPassword = p.editPassword;
    btnSignIn = p.btnSignIn, btnConnect = p.btnConnect, btnDisconnect = p.btnDisconnect;
    labCount = p.labCount, editCount = p.editCount, labSpamAll = p.labSpamAll, labSpamAllCount = p.labSpamAllCount;
    editCheck = p.editCheck;

    About = Make<QFrame>(tsConnect, "About", {593, 10, 152, 106});
    About->setFrameShape(QFrame::StyledPanel);
    MakeLabel(About, "labProduct", "Mailgrove", {44, 8, 104, 18}, true);
    MakeLabel(About, "labVersion", "Версия 1.3.6", {44, 28, 104, 18});
    MakeLabel(About, "imgAbout", "", {6, 8, 32, 32})->setPixmap(mg::MailgroveIcon().pixmap(32, 32));
    Internet = MakeLabel(About, "Internet", "", {6, 48, 142, 54});
    Internet->setText(ProjectPage());
    Internet->setWordWrap(true);
    QFont linkFont = Internet->font();
    linkFont.setBold(true);
    linkFont.setPointSize(7);
    Internet->setFont(linkFont);
    QPalette pal = Internet->palette();
    pal.setColor(QPalette::WindowText, Qt::blue);
    Internet->setPalette(pal);
    Internet->setCursor(Qt::PointingHandCursor);

    gbList = MakeGroup(tsConnect, "gbList", " Список сообщений ", {8, 148, 737, 298});
    lbList = Make<TMessageListBox>(gbList, "lbList", {8, 22, 545, 261});
    btnSummary = MakeButton(gbList, "btnSummary", "Дополнительно", {561, 22, 168, 25});
    btnWhite = MakeButton(gbList, "btnWhite", "Добавить в БЕЛЫЙ", {561, 54, 168, 25});
    btnSpamAdd = MakeButton(gbList, "btnSpamAdd", "Добавить в СПАМ", {561, 86, 168, 25});
    btnCheckAll = MakeButton(gbList, "btnCheckAll", "Пометить все", {561, 118, 168, 25});
    btnDelete = MakeButton(gbList, "btnDelete", "Удалить", {561, 150, 168, 25});
    btnBin = MakeButton(gbList, "btnBin", "Корзина", {561, 226, 168, 25});
    btnOutlook = MakeButton(gbList, "btnOutlook", "Почтовая программа", {561, 258, 168, 25});
    btnOutlook->setIcon(mg::MailgroveIcon());
    cbAutostart = mg::Named(new QCheckBox(U("Запускать при входе в систему"), tsConnect), "cbAutostart", {12, 452, 300, 22});

    // Pages 2 and 3: the lists.
    pages_ = new TListPages(pgPop3, Spam, WhiteEntries, labSpamAllCount, [this](const auto& body) { Command(body); });
    TListPages& l = *pages_;
    tsSpam = l.tsSpam, tsWhite = l.tsWhite, lbSpamServers = l.lbSpamServers, lbSpamUsers = l.lbSpamUsers;
    White = l.White, btnSpamDelete = l.btnSpamDelete, btnWhiteAdd = l.btnWhiteAdd, btnImport = l.btnImport;
    btnWhiteDelete = l.btnWhiteDelete;
    pgPop3->setCurrentIndex(0);
}

void TPop3Form::Bind() {
    const std::pair<QPushButton*, mg::Task<> (TPop3Form::*)()> jobs[] = {
        {btnConnect, &TPop3Form::btnConnectClick}, {btnDelete, &TPop3Form::btnDeleteClick},
        {btnSummary, &TPop3Form::btnSummaryClick}, {btnWhite, &TPop3Form::btnWhiteClick},
        {btnSpamAdd, &TPop3Form::btnSpamAddClick}, {btnSignIn, &TPop3Form::btnSignInClick},
    };
    for (const auto& [button, handler] : jobs)
        connect(button, &QPushButton::clicked, this, [this, h = handler] { Submit(h); });
    // The session's end reports what it lost, naming the error: not the
    // command's wrapper, which would report it before that is known.
    const std::pair<QPushButton*, void (TPop3Form::*)()> guarded[] = {
        {btnDisconnect, &TPop3Form::btnDisconnectClick}, {btnOutlook, &TPop3Form::btnOutlookClick},
        {btnBin, &TPop3Form::btnBinClick},
    };
    for (const auto& [button, handler] : guarded)
        connect(button, &QPushButton::clicked, this, [this, h = handler] { mg::Guarded([this, h] { (this->*h)(); }); });
    const std::pair<QPushButton*, void (TPop3Form::*)()> commands[] = {
        {btnCheckAll, &TPop3Form::btnCheckAllClick}, {btnMailboxDelete, &TPop3Form::RemoveMailbox},
    };
    for (const auto& [button, handler] : commands)
        connect(button, &QPushButton::clicked, this, [this, h = handler] { Command([this, h] { (this->*h)(); }); });
    connect(lbList, &QAbstractItemView::clicked, this, [this](const QModelIndex&) { Command([this] { lbListClick(); }); });
    connect(lbList->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex&, const QModelIndex&) { Command([this] { lbListClick(); }); });
    connect(lbList, &QAbstractItemView::doubleClicked, this,
            [this](const QModelIndex&) { Submit(&TPop3Form::btnSummaryClick); });
    Internet->installEventFilter(this);

    // The mailboxes: the first page's fields are the selected one's.
    connectPanel_->OnChoose = [this](int index) { Command([this, index] { SelectMailbox(index); }); };
    connectPanel_->OnAdd = [this](size_t preset) { Command([this, preset] { AddMailbox(preset); }); };
    connectPanel_->OnIntervalChanged = [this] { Command([this] { watcher_->Reschedule(); }); };
    connectPanel_->OnCancelSignIn = [this] { Current().Credential().CancelSignIn(); };
    connect(cbAutostart, &QCheckBox::toggled, this, [this](bool on) { Command([on] { mg::SetAutostart(on); }); });
}

bool TPop3Form::FormCreate() {
    pgPop3->setCurrentIndex(0);
    current_ = 0;
    ShowMailbox();
    // Messages deleted longer ago than the bin keeps them go now.
    mg::DeletionBin(programDir_ + "deleted/")
        .Expire(mg::BinSettings::Read(settingsPath_, options_.BinByDefault).RetentionDays, std::time(nullptr));
    const bool go = mg::LoadLists(lists_, Spam, WhiteEntries, [this](const std::string& text) { SetStatus(text); });
    pages_->ShowWhiteEntries();
    if (!go) return false;
    pages_->RebuildServerList();
    cbAutostart->setChecked(mg::AutostartEnabled());
    watcher_->Start();
    // A mailbox checked in the background opens on what its last check saw.
    if (Current().Config().Check > 0) ShowLastScan(false);
    return true;
}

void TPop3Form::FormClose() {
    SaveSettings();
    mg::SaveLists(lists_, Spam, WhiteEntries);
}

void TPop3Form::SaveSettings() {
    // A read-only copy writes over nothing another copy may be using.
    if (lists_.ReadOnly()) return;
    const std::string notice = mailboxes_->Save();
    if (!notice.empty()) SetStatus(notice);
}

// ---- the list files

void TPop3Form::SetReadOnly() { lists_.SetReadOnly(true); }

void TPop3Form::closeEvent(QCloseEvent* event) {
    event->ignore();
    if (closing_) return;
    // The session ends first: what runs stops after the command in flight,
    // and the log-off makes the server carry out the accepted deletions. The
    // window closes when that is done, or stays (with the lines) when the
    // server did not carry them out.
    if (Current().InUse()) {
        if (closeAsked_) return;
        closeAsked_ = true;
        Current().End([this](const mg::MailboxSession::EndResult& result) { SessionEnded(result, true); });
        return;
    }
    // A background check has nothing to lose: it is simply ended.
    for (int i = 0; i < MailboxCount(); ++i) mailboxes_->At(i).EndCheck();
    closeAsked_ = false;
    closing_ = true;
    try {
        ReportLostDeletions({});
        FormClose();
        event->accept();
    } catch (const std::exception& e) {
        unsetCursor();
        mg::Guarded([&] { mg::ShowException(e); });
    }
    closing_ = false;
}
