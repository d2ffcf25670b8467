// The message lines of a mailbox: a model over plain line records that the
// window's message list shows. A line holds its state as fields (the
// message's size, sender and subject, its mark, check box, enabled state);
// its display text is formatted from them:
//
//   "%6d Кб | "                            a listed message (size in KB)
//   "%6d Кб | %-30s | subject"             once its header block is known
//   " <SPAM>  | ...", " <WHITE> | ..."     a mark replaces the first nine
//                                          characters (the whole text when
//                                          it is shorter)
//   "<УДАЛЕНО>", "<НЕ УДАЛЕНО>"            a deletion replaces it all
//
// The window changes lines far more often than anybody looks at them: a scan
// appends one line per message and then completes and marks each one. So the
// model keeps the bytes as they are and converts a line to a QString only
// when a view asks for it, and appended lines are announced to the views in
// one insertion at the next turn of the event loop. Count() and the field
// accessors always see every line at once.
#pragma once

#include <QAbstractListModel>
#include <cstdint>
#include <string>
#include <vector>

#include "lists/AuthResults.h"

class TMessageLines : public QAbstractListModel {
    Q_OBJECT
public:
    enum class Mark { None, Spam, White, Fake, Deleted, NotDeleted };
    // The text a mark puts on its line (Windows-1251); empty for None.
    static const std::string& MarkText(Mark mark);

    explicit TMessageLines(QObject* parent = nullptr);

    // All lines, whether the views know of them yet or not. The index
    // arguments below must be within 0 .. Count() - 1.
    int Count() const { return static_cast<int>(lines_.size()); }
    // The display text, formatted from the fields.
    const std::string& Text(int row) const { return lines_[static_cast<size_t>(row)].text; }
    int32_t Size(int row) const { return lines_[static_cast<size_t>(row)].size; }
    // Known once the message's header block has been read.
    bool Summarised(int row) const { return lines_[static_cast<size_t>(row)].summarised; }
    // The sender's address and the decoded subject (Windows-1251).
    const std::string& Sender(int row) const { return lines_[static_cast<size_t>(row)].sender; }
    const std::string& Subject(int row) const { return lines_[static_cast<size_t>(row)].subject; }
    Mark MarkOf(int row) const { return lines_[static_cast<size_t>(row)].mark; }
    // The topmost Authentication-Results field's verdict, whatever its
    // authserv-id (mg::Trust judges it under the mailbox's pattern).
    const mg::DmarcVerdict& Verdict(int row) const { return lines_[static_cast<size_t>(row)].verdict; }
    void SetVerdict(int row, mg::DmarcVerdict verdict) { lines_[static_cast<size_t>(row)].verdict = std::move(verdict); }
    void SetSummary(int row, std::string sender, std::string subject);
    void SetMark(int row, Mark mark);
    bool Checked(int row) const { return lines_[static_cast<size_t>(row)].checked; }
    void SetChecked(int row, bool checked);
    bool Enabled(int row) const { return lines_[static_cast<size_t>(row)].enabled; }
    void SetEnabled(int row, bool enabled);
    // A message first seen in this scan (the view draws it apart).
    bool Fresh(int row) const { return lines_[static_cast<size_t>(row)].fresh; }
    void SetFresh(int row, bool fresh);
    // The data role under which a view finds Fresh.
    static constexpr int FreshRole = Qt::UserRole + 1;
    // A new line at the end for a listed message of `size` octets:
    // unchecked, enabled, unmarked.
    void Append(int32_t size);
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
        int32_t size = 0;
        bool summarised = false;
        std::string sender, subject;
        Mark mark = Mark::None;
        mg::DmarcVerdict verdict;
        bool checked = false;
        bool enabled = true;
        bool fresh = false;
        std::string text;  // formatted from the fields above
    };
    static void Format(Line& line);
    void Changed(int row);
    void ScheduleFlush();

    std::vector<Line> lines_;
    int shown_ = 0;  // rows the views have been told of
    bool flushPosted_ = false;
};
