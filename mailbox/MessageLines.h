// The message lines of a mailbox: a model over plain line records
// (Windows-1251 text, check box, enabled state) that the window's message
// list shows.
//
// The window changes lines far more often than anybody looks at them: a scan
// appends one line per message and then rewrites and marks each one. So the
// model keeps the bytes as they are and converts a line to a QString only
// when a view asks for it, and appended lines are announced to the views in
// one insertion at the next turn of the event loop. Count() and Text()
// always see every line at once.
#pragma once

#include <QAbstractListModel>
#include <string>
#include <vector>

class TMessageLines : public QAbstractListModel {
    Q_OBJECT
public:
    explicit TMessageLines(QObject* parent = nullptr);

    // All lines, whether the views know of them yet or not. The index
    // arguments below must be within 0 .. Count() - 1.
    int Count() const { return static_cast<int>(lines_.size()); }
    const std::string& Text(int row) const { return lines_[static_cast<size_t>(row)].text; }
    void SetText(int row, std::string text);
    // Replaces the first nine characters of the line by `mark` (the whole
    // line when it is shorter).
    void Mark(int row, const std::string& mark);
    bool Checked(int row) const { return lines_[static_cast<size_t>(row)].checked; }
    void SetChecked(int row, bool checked);
    bool Enabled(int row) const { return lines_[static_cast<size_t>(row)].enabled; }
    void SetEnabled(int row, bool enabled);
    // A message first seen in this scan (the view draws it apart).
    bool Fresh(int row) const { return lines_[static_cast<size_t>(row)].fresh; }
    void SetFresh(int row, bool fresh);
    // The data role under which a view finds Fresh.
    static constexpr int FreshRole = Qt::UserRole + 1;
    // A new line at the end: unchecked, enabled.
    void Append(std::string text);
    void Clear();
    // Tells the views now what they would be told at the next event-loop turn.
    void Flush();

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    // The user's check box: refused on a disabled line.
    bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

private:
    struct Line {
        std::string text;
        bool checked = false;
        bool enabled = true;
        bool fresh = false;
    };
    void Changed(int row);
    void ScheduleFlush();

    std::vector<Line> lines_;
    int shown_ = 0;  // rows the views have been told of
    bool flushPosted_ = false;
};
