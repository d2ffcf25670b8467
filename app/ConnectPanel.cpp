#include "app/ConnectPanel.h"

#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include "app/Controls.h"
#include "mailbox/Mailboxes.h"
#include "platform/codepage.h"

using mg::A;
using mg::FromAnsi;
using mg::MakeButton;
using mg::MakeLabel;
using mg::ToAnsi;
using mg::U;

TConnectPanel::TConnectPanel(QWidget* parent) : QGroupBox(U(" Параметры соединения "), parent) {
    setObjectName(QStringLiteral("gbConnect"));
    setGeometry(8, 4, 577, 140);
    MakeLabel(this, "labMailbox", "Ящик", {12, 24, 64, 21});
    cbMailbox = mg::Make<QComboBox>(this, "cbMailbox", {80, 22, 250, 23});
    btnMailboxAdd = MakeButton(this, "btnMailboxAdd", "Добавить", {336, 21, 96, 25});
    btnMailboxDelete = MakeButton(this, "btnMailboxDelete", "Удалить ящик", {436, 21, 133, 25});
    MakeLabel(this, "labHost", "Сервер", {12, 52, 64, 21});
    editHost = mg::Make<QLineEdit>(this, "editHost", {80, 50, 200, 23});
    MakeLabel(this, "labPort", "Порт", {292, 52, 56, 21});
    editPort = mg::Make<QLineEdit>(this, "editPort", {352, 50, 72, 23});
    editPort->setText(QStringLiteral("110"));
    MakeLabel(this, "labUser", "Логин", {12, 80, 64, 21});
    editUser = mg::Make<QLineEdit>(this, "editUser", {80, 78, 200, 23});
    labPassword = MakeLabel(this, "labPassword", "Пароль", {292, 80, 56, 21});
    editPassword = mg::Make<QLineEdit>(this, "editPassword", {352, 78, 72, 23});
    editPassword->setEchoMode(QLineEdit::Password);
    btnSignIn = MakeButton(this, "btnSignIn", "Войти…", {288, 77, 62, 25});
    labSignIn = MakeLabel(this, "labSignIn", "", {353, 80, 82, 21});
    QFont small = labSignIn->font();
    small.setPointSize(7);
    labSignIn->setFont(small);
    btnConnect = MakeButton(this, "btnConnect", "Соединение", {436, 50, 133, 25});
    btnDisconnect = MakeButton(this, "btnDisconnect", "Разрыв соединения", {436, 78, 133, 25});
    labCount = MakeLabel(this, "labCount", "Всего сообщений:", {12, 110, 118, 21});
    editCount = MakeLabel(this, "editCount", "0", {130, 110, 38, 21}, true);
    labSpamAll = MakeLabel(this, "labSpamAll", "Всего SPAM-серверов:", {170, 110, 148, 21});
    labSpamAllCount = MakeLabel(this, "labSpamAllCount", "0", {318, 110, 38, 21}, true);
    MakeLabel(this, "labCheck", "Проверять каждые", {358, 110, 120, 21});
    editCheck = mg::Make<QSpinBox>(this, "editCheck", {480, 108, 42, 23});
    editCheck->setRange(0, 1440);
    editCheck->setButtonSymbols(QAbstractSpinBox::NoButtons);
    editCheck->setKeyboardTracking(false);
    editCheck->setToolTip(U("Проверять ящик в фоне каждые N минут (0 - не проверять)"));
    MakeLabel(this, "labMinutes", "мин", {526, 110, 40, 21});

    auto* menu = new QMenu(btnMailboxAdd);
    for (size_t i = 0; i < mg::Mailboxes::Presets().size(); ++i)
        connect(menu->addAction(U(mg::Mailboxes::Presets()[i].Name)), &QAction::triggered, this, [this, i] {
            if (OnAdd) OnAdd(i);
        });
    btnMailboxAdd->setMenu(menu);
    connect(cbMailbox, &QComboBox::currentIndexChanged, this, [this](int index) {
        if (!filling_ && index >= 0 && OnChoose) OnChoose(index);
    });
    // The fields edit the mailbox shown; the selector names it as it is typed.
    const auto bind = [this](QLineEdit* edit, auto store) {
        connect(edit, &QLineEdit::textChanged, this, [this, store](const QString& text) {
            if (filling_ || !box_) return;
            store(box_->Config(), text);
            cbMailbox->setItemText(cbMailbox->currentIndex(), FromAnsi(box_->Name()));
        });
    };
    bind(editHost, [](mg::MailboxConfig& c, const QString& t) { c.Host = ToAnsi(t); });
    bind(editPort, [](mg::MailboxConfig& c, const QString& t) { c.Port = ToAnsi(t); });
    bind(editUser, [](mg::MailboxConfig& c, const QString& t) { c.User = t.toStdString(); });
    bind(editPassword, [](mg::MailboxConfig& c, const QString& t) { c.Password = t.toStdString(); });
    connect(editCheck, &QSpinBox::valueChanged, this, [this](int minutes) {
        if (filling_ || !box_) return;
        box_->Config().Check = minutes;
        if (OnIntervalChanged) OnIntervalChanged();
    });
}

void TConnectPanel::Show(mg::Mailboxes& boxes, int current) {
    boxes_ = &boxes;
    box_ = &boxes.At(current);
    filling_ = true;
    cbMailbox->clear();
    for (int i = 0; i < boxes.Count(); ++i) cbMailbox->addItem(FromAnsi(boxes.At(i).Name()));
    cbMailbox->setCurrentIndex(current);
    btnMailboxDelete->setEnabled(boxes.Count() > 1);
    const mg::MailboxConfig& c = box_->Config();
    editHost->setText(FromAnsi(c.Host));
    editPort->setText(FromAnsi(c.Port));
    editUser->setText(QString::fromStdString(c.User));
    editPassword->setText(QString::fromStdString(c.Password));
    editCheck->setValue(c.Check);
    filling_ = false;
    ShowSignIn();
}

void TConnectPanel::ShowSignIn() {
    const bool oauth = box_ && box_->Config().OAuth2;
    labPassword->setVisible(!oauth);
    editPassword->setVisible(!oauth);
    btnSignIn->setVisible(oauth);
    labSignIn->setVisible(oauth);
    if (oauth) labSignIn->setText(U(box_->NeedsSignIn() ? "нужен вход" : "вход выполнен"));
}

void TConnectPanel::ShowAuthorizationUrl(const std::string& url) {
    EndSignIn();
    signIn_ = mg::Named(new QDialog(window()), "SignInBox");
    signIn_->setWindowTitle(U("Вход через браузер"));
    auto* layout = new QVBoxLayout(signIn_);
    layout->addWidget(new QLabel(U("Войдите в ящик в браузере. Если он не открылся, откройте в нем этот адрес:"), signIn_));
    auto* address = mg::Make<QLineEdit>(signIn_, "editSignInUrl");
    address->setText(QString::fromStdString(url));
    address->setReadOnly(true);
    address->setMinimumWidth(480);
    layout->addWidget(address);
    QPushButton* cancel = MakeButton(signIn_, "btnSignInCancel", "Отмена");
    layout->addWidget(cancel, 0, Qt::AlignRight);
    connect(cancel, &QPushButton::clicked, this, [this] {
        if (OnCancelSignIn) OnCancelSignIn();
    });
    connect(signIn_, &QDialog::rejected, this, [this] {
        if (OnCancelSignIn) OnCancelSignIn();
    });
    signIn_->show();
}

void TConnectPanel::EndSignIn() {
    if (!signIn_) return;
    QDialog* box = std::exchange(signIn_, nullptr);
    box->disconnect(this);
    box->hide();
    box->deleteLater();
}
