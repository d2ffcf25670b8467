#include "platform/ui/qt_dialogs.h"

#include <QApplication>
#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QStringList>

#include "platform/codepage.h"
#include "platform/dialogs.h"
#include "platform/report.h"

namespace mg {
namespace {

QPointer<QWidget> g_parent;

QWidget* Parent() {
    if (g_parent) return g_parent.data();
    return QApplication::activeWindow();
}

class QtDialogs final : public Dialogs {
public:
    Answer Message(const std::string& text, const std::string& caption, Icon icon, Buttons buttons) override {
        QMessageBox box(Parent());
        box.setWindowTitle(FromAnsi(caption));
        box.setText(FromAnsi(text));
        switch (icon) {
            case Icon::None: box.setIcon(QMessageBox::NoIcon); break;
            case Icon::Information: box.setIcon(QMessageBox::Information); break;
            case Icon::Confirmation: box.setIcon(QMessageBox::Question); break;
            case Icon::Warning: box.setIcon(QMessageBox::Warning); break;
            case Icon::Error: box.setIcon(QMessageBox::Critical); break;
        }
        struct Choice {
            const char* caption;
            QMessageBox::ButtonRole role;
            Answer answer;
        };
        const Choice ok{"ОК", QMessageBox::AcceptRole, Answer::Ok};
        const Choice cancel{"Отмена", QMessageBox::RejectRole, Answer::Cancel};
        const Choice yes{"Да", QMessageBox::YesRole, Answer::Yes};
        const Choice no{"Нет", QMessageBox::NoRole, Answer::No};
        const Choice yesAll{"Да для всех", QMessageBox::YesRole, Answer::YesToAll};
        const Choice noAll{"Нет для всех", QMessageBox::NoRole, Answer::NoToAll};
        std::vector<Choice> set;
        Answer escape = Answer::Cancel;
        switch (buttons) {
            case Buttons::Ok: set = {ok}; escape = Answer::Ok; break;
            case Buttons::OkCancel: set = {ok, cancel}; break;
            case Buttons::YesNo: set = {yes, no}; escape = Answer::No; break;
            case Buttons::Yes: set = {yes}; escape = Answer::Yes; break;
            case Buttons::YesNoCancel: set = {yes, no, cancel}; break;
            case Buttons::YesNoCancelYesToAll: set = {yes, no, cancel, yesAll}; break;
            case Buttons::YesNoCancelNoToAllYesToAll: set = {yes, no, cancel, noAll, yesAll}; break;
        }
        std::vector<std::pair<QAbstractButton*, Answer>> made;
        for (const Choice& c : set) {
            QPushButton* b = box.addButton(QString::fromUtf8(c.caption), c.role);
            made.emplace_back(b, c.answer);
            if (c.answer == escape) box.setEscapeButton(b);
        }
        if (!made.empty()) box.setDefaultButton(static_cast<QPushButton*>(made.front().first));
        box.exec();
        for (const auto& [button, answer] : made)
            if (box.clickedButton() == button) return answer;
        return escape;
    }

    bool InputQuery(const std::string& caption, const std::string& prompt, std::string& value) override {
        QInputDialog dlg(Parent());
        dlg.setWindowTitle(FromAnsi(caption));
        dlg.setLabelText(FromAnsi(prompt));
        dlg.setTextValue(FromAnsi(value));
        dlg.setOkButtonText(QString::fromUtf8("ОК"));
        dlg.setCancelButtonText(QString::fromUtf8("Отмена"));
        if (dlg.exec() != QDialog::Accepted) return false;
        value = ToAnsi(dlg.textValue());
        return true;
    }

    bool OpenFile(const std::string& filter, std::string& path) override {
        const QString chosen = QFileDialog::getOpenFileName(Parent(), QString(), QString(), Filters(filter));
        if (chosen.isEmpty()) return false;
        path = chosen.toLocal8Bit().toStdString();
        return true;
    }

    bool SaveFile(const std::string& filter, std::string& path) override {
        const QString chosen = QFileDialog::getSaveFileName(Parent(), QString(), QString::fromLocal8Bit(path.c_str()),
                                                            Filters(filter));
        if (chosen.isEmpty()) return false;
        path = chosen.toLocal8Bit().toStdString();
        return true;
    }

private:
    // "Name|pattern|Name|pattern" becomes Qt's "Name (pattern);;Name (pattern)".
    static QString Filters(const std::string& filter) {
        const QStringList parts = FromAnsi(filter).split(QLatin1Char('|'));
        QStringList filters;
        for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
            QString pattern = parts[i + 1];
            pattern.replace(QLatin1Char(';'), QLatin1Char(' '));
            if (pattern == QLatin1String("*.*")) pattern = QStringLiteral("*");
            filters << parts[i] + QStringLiteral(" (") + pattern + QLatin1Char(')');
        }
        return filters.join(QStringLiteral(";;"));
    }
};

QtDialogs& QtInstance() {
    static QtDialogs instance;
    return instance;
}

}  // namespace

void InstallQtDialogs(QWidget* parent) {
    g_parent = parent;
    SetDefaultDialogs(&QtInstance());
    SetErrorHandler([](const std::string& text) { ShowMessage(text, Icon::Error, Buttons::Ok); });
}

}  // namespace mg
