// The message lines: the display text formatted from the fields, byte for
// byte what the list, the boxes and log.dat have always shown; and what the
// views are told of, once per event-loop turn.
#include <QApplication>
#include <gtest/gtest.h>

#include "mailbox/MessageLines.h"
#include "platform/codepage.h"
#include "platform/strutil.h"

using mg::A;
using Mark = TMessageLines::Mark;

TEST(MessageLines, TheTextIsFormattedFromTheFields) {
    const std::string pad = mg::Format("%-30s", "a@b.example");
    const struct {
        int32_t size;
        bool summarised;
        Mark mark;
        std::string expected;
    } rows[] = {
        {0, false, Mark::None, A("     0 Кб | ")},
        {1025, false, Mark::None, A("     2 Кб | ")},
        {1024, true, Mark::None, A("     1 Кб | ") + pad + A(" | Тема")},
        {1024, true, Mark::Spam, " <SPAM>   | " + pad + A(" | Тема")},
        {1024, true, Mark::White, " <WHITE>  | " + pad + A(" | Тема")},
        {1024, true, Mark::Fake, " <FAKE>   | " + pad + A(" | Тема")},
        // A size of more than six digits: the mark still takes nine characters.
        {2147483647, true, Mark::Spam, " <SPAM>  " + A("б | ") + pad + A(" | Тема")},
        {1024, true, Mark::Deleted, A("<УДАЛЕНО>")},
        {1024, true, Mark::NotDeleted, A("<НЕ УДАЛЕНО>")},
    };
    TMessageLines lines;
    for (const auto& row : rows) {
        lines.Append(row.size);
        const int i = lines.Count() - 1;
        lines.SetChecked(i, true);
        if (row.summarised) lines.SetSummary(i, "a@b.example", A("Тема"));
        lines.SetMark(i, row.mark);
        EXPECT_EQ(lines.Text(i), row.expected) << i;
        EXPECT_EQ(lines.Sender(i), row.summarised ? "a@b.example" : "") << i;
        EXPECT_TRUE(lines.Checked(i)) << "a mark leaves the check box as it is";
    }
}

TEST(MessageLines, ViewsLearnOfLinesOncePerEventLoopTurn) {
    TMessageLines lines;
    std::vector<std::pair<int, int>> inserted, changed;
    QObject::connect(&lines, &QAbstractItemModel::rowsInserted,
                     [&](const QModelIndex&, int first, int last) { inserted.emplace_back(first, last); });
    QObject::connect(&lines, &QAbstractItemModel::dataChanged, [&](const QModelIndex& top, const QModelIndex& bottom) {
        changed.emplace_back(top.row(), bottom.row());
    });
    for (int i = 0; i < 10000; ++i) lines.Append(i * 1024);
    EXPECT_EQ(lines.Count(), 10000);
    EXPECT_EQ(lines.Text(9999), A("  9999 Кб | "));
    EXPECT_EQ(lines.rowCount(), 0);
    QApplication::processEvents();
    EXPECT_EQ(inserted, (std::vector<std::pair<int, int>>{{0, 9999}}));
    EXPECT_EQ(lines.rowCount(), 10000);
    EXPECT_EQ(mg::ToAnsi(lines.data(lines.index(42)).toString()), A("    42 Кб | "));

    // A shown line's change is announced for that line alone; a line not
    // yet shown is announced once, as it then stands.
    lines.SetSummary(7, "a", "s");
    lines.SetMark(7, Mark::Spam);
    lines.SetChecked(7, false);  // no change
    lines.Append(0);
    lines.SetMark(10000, Mark::Deleted);
    lines.SetChecked(10000, true);
    EXPECT_EQ(changed, (std::vector<std::pair<int, int>>{{7, 7}, {7, 7}}));
    QApplication::processEvents();
    EXPECT_EQ(inserted.back(), (std::pair<int, int>{10000, 10000}));
    EXPECT_EQ(changed.size(), 2u);
    EXPECT_EQ(mg::ToAnsi(lines.data(lines.index(10000)).toString()), A("<УДАЛЕНО>"));
    EXPECT_EQ(lines.data(lines.index(10000), Qt::CheckStateRole).toInt(), Qt::Checked);

    // Lines appended and cleared within one turn never reach the views.
    inserted.clear();
    lines.Clear();
    lines.Append(0);
    lines.Clear();
    QApplication::processEvents();
    EXPECT_TRUE(inserted.empty());
    EXPECT_EQ(lines.rowCount(), 0);
    EXPECT_EQ(lines.Count(), 0);
}
