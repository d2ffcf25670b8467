// The message list control of the main window: a check-list of uniform rows
// over a mailbox's message lines, with the few list-box calls the window uses.
#pragma once

#include <QListView>

#include "mailbox/MessageLines.h"

class TMessageListBox : public QListView {
    Q_OBJECT
public:
    explicit TMessageListBox(QWidget* parent = nullptr);

    // The lines shown (the list shows nothing until it has some); the
    // tooltip of a line goes when the lines are emptied.
    void SetLines(TMessageLines* lines);
    TMessageLines* Lines() const { return lines_; }
    int count() const { return lines_->Count(); }
    // -1 when there is no current line.
    int currentRow() const;
    // Makes `row` the current line and selects it, as a list box does.
    void setCurrentRow(int row);
    // Whether the current line is also selected.
    bool currentRowSelected() const;
    // The font a line is drawn in: bold for a message first seen in this scan.
    QFont LineFont(int row) const;

protected:
    void dataChanged(const QModelIndex& topLeft, const QModelIndex& bottomRight,
                     const QList<int>& roles = QList<int>()) override;

private:
    TMessageLines* lines_ = nullptr;
};
