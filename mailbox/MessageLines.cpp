#include "mailbox/MessageLines.h"

#include "platform/codepage.h"

TMessageLines::TMessageLines(QObject* parent) : QAbstractListModel(parent) {}

void TMessageLines::SetText(int row, std::string text) {
    lines_[static_cast<size_t>(row)].text = std::move(text);
    Changed(row);
}

void TMessageLines::Mark(int row, const std::string& mark) {
    std::string& text = lines_[static_cast<size_t>(row)].text;
    if (text.size() > 9)
        text.replace(0, 9, mark);
    else
        text = mark;
    Changed(row);
}

void TMessageLines::SetChecked(int row, bool checked) {
    Line& line = lines_[static_cast<size_t>(row)];
    if (line.checked == checked) return;
    line.checked = checked;
    Changed(row);
}

void TMessageLines::SetEnabled(int row, bool enabled) {
    Line& line = lines_[static_cast<size_t>(row)];
    if (line.enabled == enabled) return;
    line.enabled = enabled;
    Changed(row);
}

void TMessageLines::SetFresh(int row, bool fresh) {
    Line& line = lines_[static_cast<size_t>(row)];
    if (line.fresh == fresh) return;
    line.fresh = fresh;
    Changed(row);
}

void TMessageLines::Append(std::string text) {
    lines_.push_back(Line{std::move(text)});
    ScheduleFlush();
}

void TMessageLines::Clear() {
    beginResetModel();
    lines_.clear();
    shown_ = 0;
    endResetModel();
}

void TMessageLines::Changed(int row) {
    // A row the views do not know yet is read in full when it is announced.
    // A known row is announced at once: the view repaints it, if it is
    // visible at all, when the event loop next runs.
    if (row < shown_) Q_EMIT dataChanged(index(row), index(row));
}

void TMessageLines::ScheduleFlush() {
    if (flushPosted_) return;
    flushPosted_ = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            flushPosted_ = false;
            Flush();
        },
        Qt::QueuedConnection);
}

void TMessageLines::Flush() {
    if (Count() == shown_) return;
    beginInsertRows(QModelIndex(), shown_, Count() - 1);
    shown_ = Count();
    endInsertRows();
}

int TMessageLines::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : shown_; }

QVariant TMessageLines::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= shown_) return {};
    const Line& line = lines_[static_cast<size_t>(index.row())];
    switch (role) {
        case Qt::DisplayRole:
        case Qt::EditRole: return mg::FromAnsi(line.text);
        case Qt::CheckStateRole: return static_cast<int>(line.checked ? Qt::Checked : Qt::Unchecked);
        case FreshRole: return line.fresh;
        default: return {};
    }
}

bool TMessageLines::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (role != Qt::CheckStateRole || !index.isValid() || index.row() >= shown_) return false;
    Line& line = lines_[static_cast<size_t>(index.row())];
    if (!line.enabled) return false;
    const bool checked = value.toInt() == Qt::Checked;
    if (line.checked != checked) {
        line.checked = checked;
        Q_EMIT dataChanged(index, index, {Qt::CheckStateRole});
    }
    return true;
}

Qt::ItemFlags TMessageLines::flags(const QModelIndex& index) const {
    if (!index.isValid() || index.row() >= shown_) return Qt::NoItemFlags;
    Qt::ItemFlags f = Qt::ItemIsSelectable | Qt::ItemIsUserCheckable | Qt::ItemNeverHasChildren;
    if (lines_[static_cast<size_t>(index.row())].enabled) f |= Qt::ItemIsEnabled;
    return f;
}
