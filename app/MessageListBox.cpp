#include "app/MessageListBox.h"

#include <QItemSelectionModel>
#include <QStyledItemDelegate>

namespace {

constexpr int kItemHeight = 16;

// Rows of a fixed height; the width is the text's, as usual. A message
// first seen in this scan is drawn in bold.
class FixedHeightDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        return {QStyledItemDelegate::sizeHint(option, index).width(), kItemHeight};
    }

    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
        QStyledItemDelegate::initStyleOption(option, index);
        if (index.data(TMessageLines::FreshRole).toBool()) option->font.setBold(true);
    }
};

}  // namespace

TMessageListBox::TMessageListBox(QWidget* parent) : QListView(parent) {
    setItemDelegate(new FixedHeightDelegate(this));
    setUniformItemSizes(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
}

void TMessageListBox::dataChanged(const QModelIndex& topLeft, const QModelIndex& bottomRight, const QList<int>& roles) {
    // A list view lays out every row again after any change, in case an
    // item's size changed. Rows here are of one height whatever their text,
    // so a change only repaints what is visible of it. The extent of the
    // rows is taken from the last one; only its change is laid out again.
    QAbstractItemView::dataChanged(topLeft, bottomRight, roles);
    if (bottomRight.row() == model()->rowCount() - 1) scheduleDelayedItemsLayout();
}

void TMessageListBox::SetLines(TMessageLines* lines) {
    lines_ = lines;
    setModel(lines);
    if (lines) connect(lines, &QAbstractItemModel::modelReset, this, [this] { setToolTip(QString()); });
}

int TMessageListBox::currentRow() const { return currentIndex().isValid() ? currentIndex().row() : -1; }

void TMessageListBox::setCurrentRow(int row) {
    lines_->Flush();
    selectionModel()->setCurrentIndex(lines_->index(row), QItemSelectionModel::ClearAndSelect);
}

QFont TMessageListBox::LineFont(int row) const {
    QStyleOptionViewItem option;
    option.initFrom(this);
    static_cast<const FixedHeightDelegate*>(itemDelegate())->initStyleOption(&option, lines_->index(row));
    return option.font;
}

bool TMessageListBox::currentRowSelected() const {
    const QModelIndex current = currentIndex();
    return current.isValid() && selectionModel()->isSelected(current);
}

