#include "app/Pop3Form.h"
#include "mailbox/DeletionBin.h"
#include "platform/notifier.h"

#include <QCloseEvent>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFrame>
#include <QItemSelectionModel>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QSpinBox>
#include <QListWidget>
#include <QPushButton>
#include <QStatusBar>
#include <QTabWidget>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <sys/stat.h>

#include "app/BinForm.h"
#include "app/Icon.h"
#include "lists/TextOrder.h"
#include "platform/codepage.h"
#include "platform/dialogs.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/keyring.h"
#include "platform/paths.h"
#include "platform/profile.h"
#include "platform/report.h"
#include "pop3/VantelPop3.h"

using mg::A;
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

QString U(const char* utf8) { return QString::fromUtf8(utf8); }

QFont FixedPitchFont() {
    QFont font(QStringLiteral("Courier New"), 9);
    font.setStyleHint(QFont::TypeWriter);
    font.setFixedPitch(true);
    if (!QFontInfo(font).fixedPitch()) {
        font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        font.setPointSize(9);
    }
    return font;
}

QPushButton* MakeButton(QWidget* parent, const char* name, const char* caption, QRect geometry, bool bold = false) {
    auto* b = new QPushButton(U(caption), parent);
    b->setObjectName(QString::fromLatin1(name));
    b->setGeometry(geometry);
    if (bold) {
        QFont f = b->font();
        f.setBold(true);
        b->setFont(f);
    }
    return b;
}

QLabel* MakeLabel(QWidget* parent, const char* name, const char* caption, QRect geometry, bool bold = false) {
    auto* l = new QLabel(U(caption), parent);
    l->setObjectName(QString::fromLatin1(name));
    l->setGeometry(geometry);
    if (bold) {
        QFont f = l->font();
        f.setBold(true);
        l->setFont(f);
    }
    return l;
}

QLineEdit* MakeEdit(QWidget* parent, const char* name, QRect geometry) {
    auto* e = new QLineEdit(parent);
    e->setObjectName(QString::fromLatin1(name));
    e->setGeometry(geometry);
    return e;
}

QGroupBox* MakeGroup(QWidget* parent, const char* name, const char* caption, QRect geometry) {
    auto* g = new QGroupBox(U(caption), parent);
    g->setObjectName(QString::fromLatin1(name));
    g->setGeometry(geometry);
    return g;
}

QListWidget* MakeList(QWidget* parent, const char* name, QRect geometry) {
    auto* l = new QListWidget(parent);
    l->setObjectName(QString::fromLatin1(name));
    l->setGeometry(geometry);
    l->setUniformItemSizes(true);
    return l;
}

// The list file's name as the I/O error of the runtime would report it.
[[noreturn]] void RaiseInOut(int code) { throw EInOutError(InOutErrorText(code)); }

}  // namespace

TPop3Form::TPop3Form(std::string programDir, std::string settingsPath, QWidget* parent)
    : QWidget(parent), programDir_(std::move(programDir)), settingsPath_(std::move(settingsPath)),
      lists_(programDir_), scheduler_(CheckClock()) {
    if (!programDir_.empty() && programDir_.back() != '/') programDir_ += '/';
    BuildControls();
    session_ = std::make_unique<mg::MailboxSession>(programDir_, Spam, WhiteEntries);
    VantelPOP3 = &session_->Component();
    lbList->SetLines(&session_->Lines());
    Bind();
}

TPop3Form::~TPop3Form() {
    // Events that arrive while the window goes away find no status bar.
    statusBar_.clear();
    lbList->SetLines(nullptr);
    session_.reset();
    if (Pop3Form == this) Pop3Form = nullptr;
}

void TPop3Form::BuildControls() {
    setObjectName(QStringLiteral("Pop3Form"));
    setWindowTitle(U("POP3 просмотр"));
    setWindowIcon(mg::MailgroveIcon());
    setWindowFlags(Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setFixedSize(762, 546);
    setFont(FixedPitchFont());

    StatusBar = new QStatusBar(this);
    StatusBar->setObjectName(QStringLiteral("StatusBar"));
    StatusBar->setSizeGripEnabled(false);
    StatusBar->setGeometry(0, 524, 762, 22);
    statusBar_ = StatusBar;

    pgPop3 = new QTabWidget(this);
    pgPop3->setObjectName(QStringLiteral("pgPop3"));
    pgPop3->setGeometry(0, 0, 762, 524);

    // Page 1: connection and the message list.
    tsConnect = new QWidget;
    tsConnect->setObjectName(QStringLiteral("tsConnect"));
    pgPop3->addTab(tsConnect, U("Соединение"));
    gbConnect = MakeGroup(tsConnect, "gbConnect", " Параметры соединения ", {8, 4, 577, 140});
    labHost = MakeLabel(gbConnect, "labHost", "Сервер", {12, 52, 64, 21});
    editHost = MakeEdit(gbConnect, "editHost", {80, 50, 200, 23});
    labPort = MakeLabel(gbConnect, "labPort", "Порт", {292, 52, 56, 21});
    editPort = MakeEdit(gbConnect, "editPort", {352, 50, 72, 23});
    editPort->setText(QStringLiteral("110"));
    labUser = MakeLabel(gbConnect, "labUser", "Логин", {12, 80, 64, 21});
    editUser = MakeEdit(gbConnect, "editUser", {80, 78, 200, 23});
    labPassword = MakeLabel(gbConnect, "labPassword", "Пароль", {292, 80, 56, 21});
    editPassword = MakeEdit(gbConnect, "editPassword", {352, 78, 72, 23});
    editPassword->setEchoMode(QLineEdit::Password);
    btnConnect = MakeButton(gbConnect, "btnConnect", "Соединение", {436, 50, 133, 25});
    btnDisconnect = MakeButton(gbConnect, "btnDisconnect", "Разрыв соединения", {436, 78, 133, 25});
    labCount = MakeLabel(gbConnect, "labCount", "Всего сообщений:", {12, 110, 118, 21});
    editCount = MakeLabel(gbConnect, "editCount", "0", {130, 110, 38, 21}, true);
    labSpamAll = MakeLabel(gbConnect, "labSpamAll", "Всего SPAM-серверов:", {170, 110, 148, 21});
    labSpamAllCount = MakeLabel(gbConnect, "labSpamAllCount", "0", {318, 110, 38, 21}, true);

    About = new QFrame(tsConnect);
    About->setObjectName(QStringLiteral("About"));
    About->setFrameShape(QFrame::StyledPanel);
    About->setGeometry(593, 10, 152, 106);
    labProduct = MakeLabel(About, "labProduct", "Mailgrove", {44, 8, 104, 18}, true);
    labVersion = MakeLabel(About, "labVersion", "Версия 1.3.6", {44, 28, 104, 18});
    imgAbout = new QLabel(About);
    imgAbout->setObjectName(QStringLiteral("imgAbout"));
    imgAbout->setGeometry(6, 8, 32, 32);
    imgAbout->setPixmap(mg::MailgroveIcon().pixmap(32, 32));
    Internet = MakeLabel(About, "Internet", "", {6, 48, 142, 54});
    Internet->setText(ProjectPage());
    Internet->setWordWrap(true);
    {
        QFont f = Internet->font();
        f.setBold(true);
        f.setPointSize(7);
        Internet->setFont(f);
        QPalette pal = Internet->palette();
        pal.setColor(QPalette::WindowText, Qt::blue);
        Internet->setPalette(pal);
        Internet->setCursor(Qt::PointingHandCursor);
    }

    gbList = MakeGroup(tsConnect, "gbList", " Список сообщений ", {8, 148, 737, 298});
    lbList = new TMessageListBox(gbList);
    lbList->setObjectName(QStringLiteral("lbList"));
    lbList->setGeometry(8, 22, 545, 261);
    btnSummary = MakeButton(gbList, "btnSummary", "Дополнительно", {561, 22, 168, 25});
    btnWhite = MakeButton(gbList, "btnWhite", "Добавить в БЕЛЫЙ", {561, 54, 168, 25});
    btnSpamAdd = MakeButton(gbList, "btnSpamAdd", "Добавить в СПАМ", {561, 86, 168, 25});
    btnCheckAll = MakeButton(gbList, "btnCheckAll", "Пометить все", {561, 118, 168, 25});
    btnDelete = MakeButton(gbList, "btnDelete", "Удалить", {561, 150, 168, 25});
    btnBin = MakeButton(gbList, "btnBin", "Корзина", {561, 226, 168, 25});
    btnOutlook = MakeButton(gbList, "btnOutlook", "Почтовая программа", {561, 258, 168, 25});
    btnOutlook->setIcon(mg::MailgroveIcon());

    // Page 2: the black list.
    tsSpam = new QWidget;
    tsSpam->setObjectName(QStringLiteral("tsSpam"));
    pgPop3->addTab(tsSpam, U("\"Черный список\""));
    gbSpamServers = MakeGroup(tsSpam, "gbSpamServers", " Список серверов ", {8, 8, 737, 481});
    lbSpamServers = MakeList(gbSpamServers, "lbSpamServers", {8, 32, 393, 433});
    gbAbout = MakeGroup(gbSpamServers, "gbAbout", " Пользователи ", {416, 24, 305, 441});
    lbSpamUsers = MakeList(gbAbout, "lbSpamUsers", {8, 24, 281, 353});
    btnSpamDelete = MakeButton(gbAbout, "btnSpamDelete", "Удалить из СПАМа", {8, 392, 281, 25}, true);

    // Page 3: the white list.
    tsWhite = new QWidget;
    tsWhite->setObjectName(QStringLiteral("tsWhite"));
    pgPop3->addTab(tsWhite, U("\"Белый список\""));
    gbWhite = MakeGroup(tsWhite, "gbWhite", " Адреса ", {8, 8, 737, 481});
    White = MakeList(gbWhite, "White", {8, 24, 417, 441});
    btnWhiteAdd = MakeButton(gbWhite, "btnWhiteAdd", "Добавить в список", {440, 24, 281, 25}, true);
    btnImport = MakeButton(gbWhite, "btnImport", "Импорт из файла", {440, 56, 281, 25}, true);
    btnWhiteDelete = MakeButton(gbWhite, "btnWhiteDelete", "Удалить из списка", {440, 440, 281, 25}, true);

    BuildWatchControls();
    BuildMailboxControls();
    pgPop3->setCurrentIndex(0);
}

void TPop3Form::Bind() {
    mg::MailboxSession& c = *session_;
    c.OnStatus = [this](const std::string& text) { VantelPOP3Status(text); };
    c.OnHostResolved = [this] { VantelPOP3HostResolved(); };
    c.OnInvalidHost = [this](bool& handled) { VantelPOP3InvalidHost(handled); };
    c.OnConnectionFailed = [this] { VantelPOP3ConnectionFailed(); };
    c.OnConnect = [this] { VantelPOP3Connect(); };
    c.OnDisconnect = [this] { VantelPOP3Disconnect(); };
    c.OnConnectionRequired = [this](bool& handled) { VantelPOP3ConnectionRequired(handled); };
    c.OnRetrieveStart = [this] { VantelPOP3RetrieveStart(); };
    c.OnRetrieveEnd = [this] { VantelPOP3RetrieveEnd(); };
    c.OnSuccess = [this] { VantelPOP3Success(); };
    c.OnFailure = [this] { VantelPOP3Failure(); };
    c.OnPacketRecvd = [this] { VantelPOP3PacketRecvd(); };
    c.OnReset = [this] { VantelPOP3Reset(); };
    c.OnCount = [this](int count) { editCount->setText(QString::number(count)); };
    c.OnScanned = [this](int count, int fresh, const std::string& notice) {
        if (count == 0) {  // the last reply stays shown, unless there is news
            if (!notice.empty()) SetStatus(notice);
            return;
        }
        std::string text = A("Прием закончен");
        if (!notice.empty())
            text += ". " + notice;
        else if (fresh > 0)
            text += A(". Новых сообщений: ") + std::to_string(fresh);
        SetStatus(text);
    };
    c.OnLogUnavailable = [] {
        mg::ShowMessage(A("Ошибка открытия файла log.dat!"), mg::Icon::Information, mg::Buttons::Yes);
    };
    c.OnDeletionsPending = [this] {
        // Once the run is over (the status bar has shown its last reply),
        // say when the deletions take effect.
        if (noticeQueued_) return;
        noticeQueued_ = true;
        QTimer::singleShot(0, this, [this] {
            noticeQueued_ = false;
            if (session_->GetState() == mg::MailboxSession::State::Holding)
                SetStatus(A("Удаления будут выполнены при разрыве соединения"));
        });
    };
    c.OnDeletionsLost = [this] {
        // A command under way, or the end of the session, reports the loss
        // itself when it ends (naming its error); otherwise it is reported
        // from the event loop.
        QTimer::singleShot(0, this, [this] {
            if (session_->Settled()) mg::Guarded([this] { ReportLostDeletions({}); });
        });
    };
    c.OnKeepAliveFailed = [this](const std::string& error) {
        mg::Guarded([&] { ReportLostDeletions(error); });
    };

    const std::pair<QPushButton*, mg::Task<> (TPop3Form::*)()> jobs[] = {
        {btnConnect, &TPop3Form::btnConnectClick}, {btnDelete, &TPop3Form::btnDeleteClick},
        {btnSummary, &TPop3Form::btnSummaryClick}, {btnWhite, &TPop3Form::btnWhiteClick},
        {btnSpamAdd, &TPop3Form::btnSpamAddClick},
    };
    for (const auto& [button, handler] : jobs)
        connect(button, &QPushButton::clicked, this, [this, h = handler] { Submit(h); });
    // The session's end reports what it lost, naming the error: not the
    // command's wrapper, which would report it before that is known.
    connect(btnDisconnect, &QPushButton::clicked, this, [this] { mg::Guarded([this] { btnDisconnectClick(); }); });
    connect(btnOutlook, &QPushButton::clicked, this, [this] { mg::Guarded([this] { btnOutlookClick(); }); });
    connect(btnBin, &QPushButton::clicked, this, [this] { mg::Guarded([this] { btnBinClick(); }); });
    connect(lbList, &QAbstractItemView::clicked, this, [this](const QModelIndex&) { Command([this] { lbListClick(); }); });
    connect(lbList->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex&, const QModelIndex&) { Command([this] { lbListClick(); }); });
    connect(lbList, &QAbstractItemView::doubleClicked, this,
            [this](const QModelIndex&) { Submit(&TPop3Form::btnSummaryClick); });
    const std::pair<QPushButton*, void (TPop3Form::*)()> buttons[] = {
        {btnCheckAll, &TPop3Form::btnCheckAllClick},
        {btnSpamDelete, &TPop3Form::btnSpamDeleteClick}, {btnWhiteAdd, &TPop3Form::btnWhiteAddClick},
        {btnWhiteDelete, &TPop3Form::btnWhiteDeleteClick},
    };
    for (const auto& [button, handler] : buttons)
        connect(button, &QPushButton::clicked, this, [this, h = handler] { Command([this, h] { (this->*h)(); }); });
    Internet->installEventFilter(this);
    connect(lbSpamServers, &QListWidget::currentRowChanged, this, [this](int) {
        if (!fillingViews_) mg::Guarded([this] { lbSpamServersClick(); });
    });
    connect(lbSpamServers, &QListWidget::itemClicked, this, [this](QListWidgetItem*) {
        mg::Guarded([this] { lbSpamServersClick(); });
    });
    connect(lbSpamServers, &QListWidget::itemChanged, this, [this](QListWidgetItem* item) {
        if (fillingViews_) return;
        const int row = lbSpamServers->row(item);
        if (row < 0 || static_cast<size_t>(row) >= serverEntries_.size()) return;
        const bool checked = item->checkState() == Qt::Checked;
        if (serverEntries_[static_cast<size_t>(row)].Checked == checked) return;
        serverEntries_[static_cast<size_t>(row)].Checked = checked;
        fillingViews_ = true;
        lbSpamServers->setCurrentRow(row);
        fillingViews_ = false;
        mg::Guarded([this] { lbSpamServersClickCheck(); });
    });
    connect(pgPop3, &QTabWidget::currentChanged, this, [this](int index) {
        if (pgPop3->widget(index) == tsSpam) mg::Guarded([this] { tsSpamShow(); });
    });
    connect(btnImport, &QPushButton::clicked, this, [this] { mg::Guarded([this] { btnImportClick(); }); });
}

void TPop3Form::btnBinClick() {
    TBinForm bin(programDir_ + "deleted", settingsPath_, this);
    bin.exec();
}

void TPop3Form::SetReadOnly() { lists_.SetReadOnly(true); }

bool TPop3Form::FormCreate() {
    session_->Lines().Clear();
    pgPop3->setCurrentIndex(0);

    LoadMailboxes();

    // Messages deleted longer ago than the bin keeps them go now.
    mg::DeletionBin(programDir_ + "deleted/").Expire(mg::BinSettings::Read(settingsPath_).RetentionDays, std::time(nullptr));

    const std::string dirText = mg::ToAnsi(QString::fromLocal8Bit(programDir_.c_str()));
    if (lists_.ReadOnly())
        mg::ShowMessage(A("Каталог списков ") + dirText +
                            A(" занят другой копией программы, которая не отвечает, или его нельзя заблокировать. "
                              "Программа работает только для чтения: файлы spam.dat и white.dat не будут "
                              "перезаписаны, измененные списки будут сохранены в файлы .new."),
                        mg::Icon::Warning, mg::Buttons::Ok);
    try {
        // Each list loads, or fails to, on its own: a black list that stops
        // at a bad line is reported, and the white list is loaded all the same.
        const mg::ListsLoaded loaded = lists_.Load(Spam, WhiteEntries);
        if (!loaded.spam.error.empty()) mg::ShowError(loaded.spam.error);
        // A first start: neither list exists yet, so nothing can have been
        // lost and there is nothing to warn about.
        const bool whiteRead = loaded.white.state == mg::ListState::Loaded || loaded.white.state == mg::ListState::Damaged;
        if (!whiteRead && !loaded.firstStart)
            mg::ShowMessage(A("Ошибка загрузки файла white.dat"), mg::Icon::None, mg::Buttons::Ok);
        ShowWhiteEntries();

        if (loaded.firstStart)
            SetStatus(A("Первый запуск: черный и белый списки будут храниться в ") + dirText);
        else if (WhiteEntries.Count() == 0 &&
                 mg::ShowMessage(A("Файл white.dat пуст! Выйти из программы?"), mg::Icon::Information,
                                 mg::Buttons::YesNo) == mg::Answer::Yes)
            return false;

        RebuildServerList();
    } catch (const std::exception& e) {
        // The remaining start-up steps are skipped; the window opens with
        // what was loaded, and the files that were not loaded stay as they are.
        ShowWhiteEntries();
        mg::ShowException(e);
    }
    if (lists_.ReadOnly()) SetStatus(A("Только чтение: файлы списков в ") + dirText + A(" не будут перезаписаны"));
    SetUpWatch();
    return true;
}

void TPop3Form::FormClose() {
    SaveMailboxes();
    SaveLists();
}

void TPop3Form::SaveLists() {
    const mg::ListsSaved saved = lists_.Save(Spam, WhiteEntries);
    // The black list's file that cannot be written is passed over in silence;
    // the white list's is reported and ends the close.
    if (saved.white.error && !saved.white.aside) {
        mg::ShowMessage(A("Ошибка сохранения файла white.dat"), mg::Icon::None, mg::Buttons::Ok);
        RaiseInOut(saved.white.error);
    }
    for (const mg::ListSave* list : {&saved.spam, &saved.white}) {
        if (!list->aside) continue;
        if (list->error) {
            mg::ShowMessage(A("Ошибка сохранения файла ") + list->file, mg::Icon::None, mg::Buttons::Ok);
            RaiseInOut(list->error);
        }
        const std::string name = list->file.substr(0, list->file.find('.'));
        const std::string why = list->readOnly ? A(".dat не перезаписан: программа работает только для чтения. ")
                                               : A(".dat не был загружен при запуске и оставлен без изменений. ");
        mg::ShowMessage(A("Файл ") + name + why + A("Список сохранен в файл ") + list->file, mg::Icon::Information,
                        mg::Buttons::Ok);
    }
}

void TPop3Form::closeEvent(QCloseEvent* event) {
    event->ignore();
    if (closing_) return;
    // The session ends first: what runs stops after the command in flight,
    // and the log-off makes the server carry out the accepted deletions. The
    // window closes when that is done, or stays (with the lines) when the
    // server did not carry them out.
    if (session_->Connected() || !session_->Settled() || session_->GetState() != mg::MailboxSession::State::Idle ||
        session_->HoldsDeletions()) {
        if (closeAsked_) return;
        closeAsked_ = true;
        session_->End([this](const mg::MailboxSession::EndResult& result) { SessionEnded(result, true); });
        return;
    }
    // A background check has nothing to lose: it is simply ended.
    if (watch_ && !watch_->Settled()) watch_->End([](const mg::MailboxSession::EndResult&) {});
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

// ---- views ----

void TPop3Form::RebuildServerList() {
    serverEntries_ = mg::BuildServerList(Spam);
    labSpamAllCount->setText(QString::number(serverEntries_.size()));
    ShowServerEntries();
}

void TPop3Form::ShowServerEntries() {
    fillingViews_ = true;
    const int current = lbSpamServers->currentRow();
    lbSpamServers->clear();
    for (const mg::ServerEntry& e : serverEntries_) {
        auto* item = new QListWidgetItem(FromAnsi(e.Text));
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
        item->setCheckState(e.Checked ? Qt::Checked : Qt::Unchecked);
        lbSpamServers->addItem(item);
    }
    if (current >= 0 && current < lbSpamServers->count()) lbSpamServers->setCurrentRow(current);
    fillingViews_ = false;
}

void TPop3Form::ShowWhiteEntries() {
    const int current = White->currentRow();
    White->clear();
    for (const std::string& e : WhiteEntries.Entries()) White->addItem(FromAnsi(e));
    if (current >= 0 && current < White->count()) White->setCurrentRow(current);
}

int TPop3Form::CurrentServerIndex() const {
    const int row = lbSpamServers->currentRow();
    return row >= 0 && static_cast<size_t>(row) < serverEntries_.size() ? row : -1;
}

void TPop3Form::lbSpamServersClick() {
    const int index = CurrentServerIndex();
    if (index < 0) return;
    lbSpamUsers->clear();
    const mg::ServerEntry& entry = serverEntries_[static_cast<size_t>(index)];
    const int node = Spam.FindNode((entry.Checked ? "1" : "0") + entry.Text);
    lbSpamUsersTag = node;
    if (node == 0) throw Exception("Invalid outline index");
    std::vector<std::string> users;
    for (int u = Spam.FirstChild(node); u; u = Spam.NextSibling(u)) users.push_back(Spam.Text(u));
    std::stable_sort(users.begin(), users.end(),
                     [](const std::string& a, const std::string& b) { return mg::CompareNoCase(a, b) < 0; });
    for (const std::string& u : users) lbSpamUsers->addItem(FromAnsi(u));
}

void TPop3Form::lbSpamServersClickCheck() {
    const int index = CurrentServerIndex();
    if (index < 0) return;
    const mg::ServerEntry& entry = serverEntries_[static_cast<size_t>(index)];
    const int node = Spam.FindNode((entry.Checked ? "0" : "1") + entry.Text);
    if (node == 0) throw Exception("Invalid outline index");
    Spam.SetText(node, (entry.Checked ? "1" : "0") + entry.Text);
}

void TPop3Form::tsSpamShow() { lbSpamServersClick(); }

void TPop3Form::btnImportClick() {
    std::string path;
    if (!mg::CurrentDialogs().OpenFile(A("Текстовые файлы|*.txt|Comma delimited files|*.csv|Все файлы|*.*"), path))
        return;
    std::string data;
    if (!mg::ReadWholeFile(path, data)) RaiseInOut(errno);
    std::vector<std::string> addresses;
    for (const std::string& line : mg::TextLines(data))
        for (std::string& address : mg::ScanAddresses(line)) addresses.push_back(std::move(address));
    WhiteEntries.AddUnique(addresses);
    ShowWhiteEntries();
}
