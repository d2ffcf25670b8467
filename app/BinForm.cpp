#include "app/BinForm.h"
#include "app/Controls.h"

#include <QDateTime>
#include <QDir>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "app/Icon.h"
#include "platform/codepage.h"
#include "platform/dialogs.h"
#include "platform/files.h"
#include "platform/report.h"
#include "platform/shell.h"
#include "platform/strutil.h"

using mg::A;
using mg::FromAnsi;
using mg::ToAnsi;

using mg::U;

namespace {

constexpr int64_t kMegabyte = 1024 * 1024;


// A file path (the file system's bytes) as Windows-1251 text for a message.
std::string PathText(const std::string& path) { return ToAnsi(QString::fromLocal8Bit(path.c_str())); }

std::string ErrnoText(int code) { return ToAnsi(QString::fromLocal8Bit(std::strerror(code))); }

// The size column as the message list shows it: whole kilobytes, rounded up.
QString SizeText(const mg::BinEntry& e) {
    std::string text = mg::Format("%lld ", static_cast<long long>((e.Size + 1023) / 1024)) + A("Кб");
    if (e.HeaderOnly) text += A(" (только заголовок)");
    return FromAnsi(text);
}

// The subject as a file name: no path separators, no characters other
// desktops refuse, no control characters, no leading dot; "message" when
// nothing is left.
QString FileNameOf(const std::string& subject) {
    QString name;
    for (const QChar c : FromAnsi(subject).simplified())
        name += c.unicode() < 32 || c.unicode() == 127 || QStringLiteral("/\\:*?\"<>|").contains(c) ? QChar(u'_') : c;
    name = name.left(100);
    while (name.startsWith(QLatin1Char('.')) || name.startsWith(QLatin1Char(' '))) name.remove(0, 1);
    while (name.endsWith(QLatin1Char('.')) || name.endsWith(QLatin1Char(' '))) name.chop(1);
    return name.isEmpty() ? QStringLiteral("message") : name;
}

QSpinBox* MakeSpin(QWidget* parent, const char* name, int low, int high, int value) {
    auto* s = mg::Make<QSpinBox>(parent, name);
    s->setRange(low, high);
    s->setValue(std::clamp(value, low, high));
    // Typing changes the value once, when the field is left.
    s->setKeyboardTracking(false);
    return s;
}

}  // namespace

TBinForm::TBinForm(const std::string& binDir, std::string settingsPath, QWidget* parent)
    : QDialog(parent), bin_(binDir), settingsPath_(std::move(settingsPath)),
      settings_(mg::BinSettings::Read(settingsPath_)) {
    setObjectName(QStringLiteral("BinForm"));
    setWindowTitle(U("Корзина"));
    setWindowIcon(mg::MailgroveIcon());
    resize(760, 420);

    lvBin = new QTreeWidget(this);
    lvBin->setObjectName(QStringLiteral("lvBin"));
    lvBin->setHeaderLabels({U("Удалено"), U("Ящик"), U("Отправитель"), U("Тема"), U("Размер")});
    lvBin->setRootIsDecorated(false);
    lvBin->setUniformRowHeights(true);
    lvBin->setAllColumnsShowFocus(true);
    lvBin->setSelectionMode(QAbstractItemView::ExtendedSelection);
    QHeaderView* header = lvBin->header();
    header->setStretchLastSection(false);
    header->resizeSection(0, 120);
    header->resizeSection(1, 150);
    header->resizeSection(2, 170);
    header->setSectionResizeMode(3, QHeaderView::Stretch);
    header->resizeSection(4, 150);

    spinDays = MakeSpin(this, "spinDays", 1, 3650, settings_.RetentionDays);
    spinMaxSize = MakeSpin(this, "spinMaxSize", 1, 1000, static_cast<int>(settings_.MaxBytes / kMegabyte));
    auto* limits = new QHBoxLayout;
    limits->addWidget(new QLabel(U("Хранить дней:"), this));
    limits->addWidget(spinDays);
    limits->addSpacing(24);
    limits->addWidget(new QLabel(U("Сохранять целиком до, МБ:"), this));
    limits->addWidget(spinMaxSize);
    limits->addStretch();

    btnOpen = mg::MakeButton(this, "btnOpen", "Открыть");
    btnSaveAs = mg::MakeButton(this, "btnSaveAs", "Сохранить как…");
    btnRemove = mg::MakeButton(this, "btnRemove", "Удалить навсегда");
    btnClear = mg::MakeButton(this, "btnClear", "Очистить корзину");
    btnClose = mg::MakeButton(this, "btnClose", "Закрыть");
    auto* buttons = new QHBoxLayout;
    for (QPushButton* b : {btnOpen, btnSaveAs, btnRemove, btnClear}) buttons->addWidget(b);
    buttons->addStretch();
    buttons->addWidget(btnClose);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(lvBin);
    layout->addLayout(limits);
    layout->addLayout(buttons);

    const std::pair<QPushButton*, void (TBinForm::*)()> handlers[] = {
        {btnOpen, &TBinForm::btnOpenClick}, {btnSaveAs, &TBinForm::btnSaveAsClick},
        {btnRemove, &TBinForm::btnRemoveClick}, {btnClear, &TBinForm::btnClearClick},
    };
    for (const auto& [button, handler] : handlers)
        connect(button, &QPushButton::clicked, this, [this, h = handler] { mg::Guarded([this, h] { (this->*h)(); }); });
    connect(btnClose, &QPushButton::clicked, this, &QDialog::accept);
    connect(lvBin, &QTreeWidget::itemSelectionChanged, this, [this] { UpdateButtons(); });
    connect(lvBin, &QTreeWidget::itemActivated, this, [this] { mg::Guarded([this] { btnOpenClick(); }); });
    for (QSpinBox* s : {spinDays, spinMaxSize})
        connect(s, &QSpinBox::valueChanged, this, [this] { mg::Guarded([this] { LimitsChanged(); }); });

    Refresh();
}

void TBinForm::Refresh() {
    entries_ = bin_.List();
    lvBin->clear();
    QList<QTreeWidgetItem*> rows;
    for (const mg::BinEntry& e : entries_) {
        auto* item = new QTreeWidgetItem(
            {QDateTime::fromSecsSinceEpoch(e.Deleted).toString(QStringLiteral("dd.MM.yyyy HH:mm")),
             FromAnsi(e.Mailbox), FromAnsi(e.Sender), FromAnsi(e.Subject), SizeText(e)});
        item->setTextAlignment(4, Qt::AlignRight | Qt::AlignVCenter);
        rows << item;
    }
    lvBin->addTopLevelItems(rows);
    UpdateButtons();
}

std::vector<const mg::BinEntry*> TBinForm::Selected() const {
    std::vector<const mg::BinEntry*> out;
    for (int row = 0; row < lvBin->topLevelItemCount() && static_cast<size_t>(row) < entries_.size(); ++row)
        if (lvBin->topLevelItem(row)->isSelected()) out.push_back(&entries_[static_cast<size_t>(row)]);
    return out;
}

void TBinForm::UpdateButtons() {
    const size_t selected = Selected().size();
    btnOpen->setEnabled(selected > 0);
    btnSaveAs->setEnabled(selected == 1);
    btnRemove->setEnabled(selected > 0);
    btnClear->setEnabled(!entries_.empty());
}

void TBinForm::btnOpenClick() {
    for (const mg::BinEntry* e : Selected())
        if (!mg::ShellOpenMessage(e->Path)) {
            mg::ShowMessage(A("Не найдена программа для просмотра сообщения ") + PathText(e->Path), mg::Icon::Warning,
                            mg::Buttons::Ok);
            return;
        }
}

void TBinForm::btnSaveAsClick() {
    const std::vector<const mg::BinEntry*> selected = Selected();
    if (selected.size() != 1) return;
    const mg::BinEntry& e = *selected.front();
    std::string path = (QDir::homePath() + QLatin1Char('/') + FileNameOf(e.Subject) + QStringLiteral(".eml"))
                           .toLocal8Bit()
                           .toStdString();
    if (!mg::CurrentDialogs().SaveFile(A("Сообщения|*.eml|Все файлы|*.*"), path)) return;
    std::string bytes;
    if (!mg::ReadWholeFile(e.Path, bytes)) {
        const int code = errno;
        mg::ShowMessage(A("Ошибка чтения файла ") + PathText(e.Path) + ": " + ErrnoText(code), mg::Icon::Error,
                        mg::Buttons::Ok);
        return;
    }
    // Mail stays private to its owner, as it is in the bin.
    if (!mg::WriteFileAtomic(path, bytes, 0600)) {
        const int code = errno;
        mg::ShowMessage(A("Ошибка записи файла ") + PathText(path) + ": " + ErrnoText(code), mg::Icon::Error,
                        mg::Buttons::Ok);
    }
}

void TBinForm::btnRemoveClick() {
    const std::vector<const mg::BinEntry*> selected = Selected();
    if (selected.empty()) return;
    if (mg::ShowMessage(A("Удалить навсегда выбранные сообщения (") + std::to_string(selected.size()) + ")?",
                        mg::Icon::Confirmation, mg::Buttons::YesNo) != mg::Answer::Yes)
        return;
    int failed = 0;
    for (const mg::BinEntry* e : selected) failed += mg::DeletionBin::Remove(e->Path) ? 0 : 1;
    Refresh();
    if (failed > 0)
        mg::ShowMessage(A("Не удалось удалить сообщений: ") + std::to_string(failed), mg::Icon::Error, mg::Buttons::Ok);
}

void TBinForm::btnClearClick() {
    if (entries_.empty()) return;
    if (mg::ShowMessage(A("Очистить корзину: удалить навсегда все сообщения (") + std::to_string(entries_.size()) +
                            ")?",
                        mg::Icon::Confirmation, mg::Buttons::YesNo) != mg::Answer::Yes)
        return;
    const int failed = bin_.Clear();
    Refresh();
    if (failed > 0)
        mg::ShowMessage(A("Не удалось удалить сообщений: ") + std::to_string(failed), mg::Icon::Error, mg::Buttons::Ok);
}

void TBinForm::LimitsChanged() {
    settings_.RetentionDays = spinDays->value();
    settings_.MaxBytes = spinMaxSize->value() * kMegabyte;
    if (!settings_.Write(settingsPath_))
        mg::ShowMessage(A("Ошибка записи настроек в файл ") + PathText(settingsPath_), mg::Icon::Error,
                        mg::Buttons::Ok);
}
