// The first page's connection group: the mailbox selector with "Добавить"
// (its menu offers the presets) and "Удалить ящик"; the selected mailbox's
// server, port and login, and its password or, for a mailbox that signs in
// with OAuth2, "Войти…" with the state beside it; "Соединение" and "Разрыв
// соединения"; the counts; the interval of background checks. What the user
// types goes straight into the mailbox shown.
#pragma once

#include <QGroupBox>
#include <functional>
#include <string>

class QComboBox;
class QDialog;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;

namespace mg {
class Mailbox;
class Mailboxes;
}  // namespace mg

class TConnectPanel : public QGroupBox {
    Q_OBJECT
public:
    explicit TConnectPanel(QWidget* parent);

    QComboBox* cbMailbox;
    QPushButton *btnMailboxAdd, *btnMailboxDelete;
    QLabel* labPassword;
    QLineEdit *editHost, *editPort, *editUser, *editPassword;
    QPushButton* btnSignIn;  // "Войти…", in the password's place
    QLabel* labSignIn;       // "вход выполнен" or "нужен вход"
    QPushButton *btnConnect, *btnDisconnect;
    QLabel *labCount, *editCount, *labSpamAll, *labSpamAllCount;
    QSpinBox* editCheck;  // "Проверять каждые N мин"

    // Lists the mailboxes with `current` chosen, and shows that one.
    void Show(mg::Mailboxes& boxes, int current);
    // The sign-in's state of the mailbox shown.
    void ShowSignIn();
    // A sign-in under way: its authorization URL in a box it can be copied
    // from, with "Отмена"; EndSignIn closes it.
    void ShowAuthorizationUrl(const std::string& url);
    void EndSignIn();

    std::function<void(int index)> OnChoose;
    std::function<void(size_t preset)> OnAdd;
    std::function<void()> OnIntervalChanged;
    std::function<void()> OnCancelSignIn;

private:
    mg::Mailboxes* boxes_ = nullptr;
    mg::Mailbox* box_ = nullptr;
    bool filling_ = false;
    QDialog* signIn_ = nullptr;
};
