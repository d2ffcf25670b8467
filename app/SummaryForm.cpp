#include "app/SummaryForm.h"

#include <QCloseEvent>
#include <QLabel>
#include <QPalette>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStringList>

#include "platform/codepage.h"

TPop3FormSummary* Pop3FormSummary = nullptr;

TPop3FormSummary::TPop3FormSummary(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("Pop3FormSummary"));
    setWindowTitle(QString::fromUtf8("Дополнительная информация"));
    setFixedSize(354, 336);
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowCloseButtonHint | Qt::WindowTitleHint);
    setFont(QFont(QStringLiteral("MS Sans Serif"), 8));
    QFont tahoma(QStringLiteral("Tahoma"), 8);

    labVerdict = new QLabel(this);
    labVerdict->setObjectName(QStringLiteral("labVerdict"));
    labVerdict->setGeometry(8, 4, 337, 30);
    labVerdict->setFont(tahoma);
    labVerdict->setWordWrap(true);
    labVerdict->setTextInteractionFlags(Qt::TextSelectableByMouse);

    memoSummary = new QPlainTextEdit(this);
    memoSummary->setObjectName(QStringLiteral("memoSummary"));
    memoSummary->setGeometry(8, 38, 337, 251);
    memoSummary->setFont(tahoma);
    memoSummary->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    memoSummary->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    memoSummary->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    QPalette pal = memoSummary->palette();
    pal.setColor(QPalette::Base, pal.color(QPalette::Button));
    memoSummary->setPalette(pal);

    btnExit = new QPushButton(QString::fromUtf8("Закрыть"), this);
    btnExit->setObjectName(QStringLiteral("btnExit"));
    btnExit->setGeometry(200, 302, 145, 25);
    btnExit->setFont(tahoma);
    connect(btnExit, &QPushButton::clicked, this, [this] { btnExitClick(); });
    btnTrust = new QPushButton(QString::fromUtf8("Доверять этому authserv-id"), this);
    btnTrust->setObjectName(QStringLiteral("btnTrust"));
    btnTrust->setGeometry(8, 302, 184, 25);
    btnTrust->setFont(tahoma);
    connect(btnTrust, &QPushButton::clicked, this, [this] {
        trusted_ = true;
        close();
    });
}

void TPop3FormSummary::SetLines(const std::vector<std::string>& lines) {
    QStringList text;
    for (const std::string& line : lines) text << mg::FromAnsi(line);
    memoSummary->setPlainText(text.join(QLatin1Char('\n')));
}

std::vector<std::string> TPop3FormSummary::Lines() const {
    std::vector<std::string> out;
    for (const QString& line : memoSummary->toPlainText().split(QLatin1Char('\n'))) out.push_back(mg::ToAnsi(line));
    return out;
}

void TPop3FormSummary::SetVerdict(const std::string& line, const std::string& offered) {
    labVerdict->setText(mg::FromAnsi(line));
    btnTrust->setVisible(!offered.empty());
    btnTrust->setToolTip(mg::FromAnsi(offered));
    trusted_ = false;
}

std::string TPop3FormSummary::Verdict() const { return mg::ToAnsi(labVerdict->text()); }

void TPop3FormSummary::btnExitClick() { close(); }

void TPop3FormSummary::closeEvent(QCloseEvent* event) {
    hide();
    event->accept();
}
