#include "app/SummaryForm.h"

#include <QCloseEvent>
#include <QPalette>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStringList>

#include "platform/codepage.h"

TPop3FormSummary* Pop3FormSummary = nullptr;

TPop3FormSummary::TPop3FormSummary(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("Pop3FormSummary"));
    setWindowTitle(QString::fromUtf8("Дополнительная информация"));
    setFixedSize(354, 304);
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowCloseButtonHint | Qt::WindowTitleHint);
    setFont(QFont(QStringLiteral("MS Sans Serif"), 8));
    QFont tahoma(QStringLiteral("Tahoma"), 8);

    memoSummary = new QPlainTextEdit(this);
    memoSummary->setObjectName(QStringLiteral("memoSummary"));
    memoSummary->setGeometry(8, 8, 337, 249);
    memoSummary->setFont(tahoma);
    memoSummary->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    memoSummary->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    memoSummary->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    QPalette pal = memoSummary->palette();
    pal.setColor(QPalette::Base, pal.color(QPalette::Button));
    memoSummary->setPalette(pal);

    btnExit = new QPushButton(QString::fromUtf8("Закрыть"), this);
    btnExit->setObjectName(QStringLiteral("btnExit"));
    btnExit->setGeometry(104, 270, 145, 25);
    btnExit->setFont(tahoma);
    connect(btnExit, &QPushButton::clicked, this, [this] { btnExitClick(); });
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

void TPop3FormSummary::btnExitClick() { close(); }

void TPop3FormSummary::closeEvent(QCloseEvent* event) {
    hide();
    event->accept();
}
