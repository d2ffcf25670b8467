#include "mailbox/MessageLines.h"

#include <cmath>

#include "platform/codepage.h"
#include "platform/strutil.h"

TMessageLines::TMessageLines(QObject* parent) : QAbstractListModel(parent) {}

const std::string& TMessageLines::MarkText(Mark mark) {
    static const std::string texts[] = {
        "",
        " <SPAM>  ",
        " <WHITE> ",
        " <FAKE>  ",
        "<\xD3\xC4\xC0\xCB\xC5\xCD\xCE>",               // "<УДАЛЕНО>"
        "<\xCD\xC5 \xD3\xC4\xC0\xCB\xC5\xCD\xCE>",  // "<НЕ УДАЛЕНО>"
    };
    return texts[static_cast<size_t>(mark)];
}

void TMessageLines::Format(Line& line) {
    if (line.mark == Mark::Deleted || line.mark == Mark::NotDeleted) {
        line.text = MarkText(line.mark);
        return;
    }
    const int kb = static_cast<int>(std::ceil(static_cast<double>(line.size) / 1024.0));
    line.text = mg::Format("%6d ", kb) + "\xCA\xE1 | ";  // "Кб | "
    if (line.summarised) line.text += mg::Format("%-30s | ", line.sender.c_str()) + line.subject;
    if (line.mark == Mark::None) return;
    if (line.text.size() > 9)
        line.text.replace(0, 9, MarkText(line.mark));
    else
        line.text = MarkText(line.mark);
}

void TMessageLines::SetSummary(int row, std::string sender, std::string subject) {
    Line& line = lines_[static_cast<size_t>(row)];
    line.sender = std::move(sender);
    line.subject = std::move(subject);
    line.summarised = true;
    Format(line);
    Changed(row);
}

void TMessageLines::SetMark(int row, Mark mark) {
    Line& line = lines_[static_cast<size_t>(row)];
    if (line.mark == mark) return;
    line.mark = mark;
    Format(line);
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

void TMessageLines::Append(int32_t size) {
    Line line;
    line.size = size;
    Format(line);
    lines_.push_back(std::move(line));
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
