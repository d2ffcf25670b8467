// The message list: the window's line API over the selected mailbox's lines,
// what the user can do with the check boxes, and what the view repaints.
#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <functional>
#include <gtest/gtest.h>

#include "app/MessageListBox.h"
#include "app/SummaryForm.h"
#include "app_support.h"
#include "platform/errors.h"

using mg::A;
using namespace mgtest;

namespace {

// A shown window with `count` listing-stage lines, laid out and painted.
struct ListWindow : ScanWindow {
    explicit ListWindow(int count) : ScanWindow("", "x@y.example\r\n") {
        for (int i = 0; i < count; ++i) form.Session().Lines().Append(i * 1024);
        form.show();
        Settle();
    }
    static void Settle() {
        for (int i = 0; i < 5; ++i) QApplication::processEvents();
    }
    QPoint RowPoint(int row, int x = -1) const {
        const QRect r = form.lbList->visualRect(form.lbList->Lines()->index(row));
        return {x < 0 ? r.center().x() : r.left() + x, r.center().y()};
    }
    void Mouse(QEvent::Type type, int row, Qt::KeyboardModifiers mods = Qt::NoModifier, int x = -1) {
        const QPoint p = RowPoint(row, x);
        QMouseEvent e(type, p, form.lbList->viewport()->mapToGlobal(p), Qt::LeftButton,
                      type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton, mods);
        QApplication::sendEvent(form.lbList->viewport(), &e);
    }
    void Click(int row, Qt::KeyboardModifiers mods = Qt::NoModifier, int x = -1) {
        Mouse(QEvent::MouseButtonPress, row, mods, x);
        Mouse(QEvent::MouseButtonRelease, row, mods, x);
    }
    void Key(int key) {
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, key == Qt::Key_Space ? QStringLiteral(" ") : QString());
        QApplication::sendEvent(form.lbList, &press);
    }
};

// Counts the paints of a widget.
struct Paints : QObject {
    explicit Paints(QWidget* w) { w->installEventFilter(this); }
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::Paint) ++count;
        return false;
    }
    int count = 0;
};

}  // namespace

TEST(MessageList, LineApiOutsideTheListRaisesTheListIndexError) {
    ListWindow w(3);
    TPop3Form& f = w.form;
    const std::vector<std::function<void(int)>> calls = {
        [&](int i) { f.LineText(i); },    [&](int i) { f.LineChecked(i); },
        [&](int i) { f.SetLineChecked(i, true); }, [&](int i) { f.LineEnabled(i); },
    };
    for (size_t c = 0; c < calls.size(); ++c)
        for (int index : {-1, 3, 1000}) {
            try {
                calls[c](index);
                ADD_FAILURE() << "call " << c << " at " << index << " raised nothing";
            } catch (const EListError& e) {
                EXPECT_EQ(std::string(e.what()), "List index out of bounds (" + std::to_string(index) + ")") << c;
            }
        }
    EXPECT_EQ(f.LineCount(), 3);
}

TEST(MessageList, TheUserTogglesEnabledLinesOnlyByMouseAndKeyboard) {
    ListWindow w(3);
    TPop3Form& f = w.form;
    TMessageLines& model = f.Session().Lines();
    model.SetEnabled(1, false);
    f.SetLineChecked(2, true);
    model.SetEnabled(2, false);  // a deleted line: disabled, still checked
    ListWindow::Settle();

    // The check box sits at the left of the row.
    const int box = f.lbList->style()->pixelMetric(QStyle::PM_IndicatorWidth) / 2 + 3;
    for (int row = 0; row < 3; ++row) {
        const bool before = f.LineChecked(row);
        w.Click(row, Qt::NoModifier, box);
        EXPECT_EQ(f.LineChecked(row), row == 0 ? !before : before) << "mouse, line " << row;
    }
    for (int row = 0; row < 3; ++row) {
        f.lbList->setCurrentRow(row);
        const bool before = f.LineChecked(row);
        w.Key(Qt::Key_Space);
        EXPECT_EQ(f.LineChecked(row), row == 0 ? !before : before) << "space, line " << row;
    }
    // The model refuses the user's check on a disabled line, whoever asks.
    TMessageLines* lines = f.lbList->Lines();
    EXPECT_FALSE(lines->setData(lines->index(1), Qt::Checked, Qt::CheckStateRole));
    EXPECT_FALSE(f.LineChecked(1));
    EXPECT_TRUE(lines->setData(lines->index(0), Qt::Checked, Qt::CheckStateRole));
    EXPECT_TRUE(f.LineChecked(0));
    EXPECT_EQ(lines->flags(lines->index(1)) & Qt::ItemIsEnabled, Qt::NoItemFlags);
    // The window itself may still change a disabled line's check.
    f.SetLineChecked(1, true);
    EXPECT_TRUE(f.LineChecked(1));
}

TEST(MessageList, ClickSetsTheTooltipAndDeselectingClearsIt) {
    ListWindow w(3);
    w.form.Session().Lines().SetSummary(1, "a@b.example", A("Тема|x"));
    ListWindow::Settle();
    w.Click(1);
    EXPECT_EQ(mg::ToAnsi(w.form.lbList->toolTip()),
              A("     1 Кб  :  ") + mg::Format("%-30s", "a@b.example") + A("  :  Тема : x"));
    w.Click(1, Qt::ControlModifier);  // deselects the line
    EXPECT_EQ(w.form.lbList->toolTip(), QString());
    w.Click(0);
    EXPECT_FALSE(w.form.lbList->toolTip().isEmpty());
    w.form.Session().Lines().Clear();
    EXPECT_EQ(w.form.lbList->toolTip(), QString());
    EXPECT_EQ(w.form.LineCount(), 0);
}

TEST(MessageList, DoubleClickOpensTheDetailsOfEnabledLines) {
    const std::vector<pop3::Message> box = {Msg({"From: a@b.example", "Subject: one"}, 100),
                                            Msg({"From: x@y.example", "Subject: two"}, 100)};
    ListWindow w(0);
    ScriptedServer server(pop3::Scan("joe", "secret", box) + pop3::Summary(1, box[0]) + pop3::Quit());
    w.pointAt(server);
    w.click(w.form.btnConnect);
    ASSERT_EQ(w.form.LineCount(), 2);
    ASSERT_FALSE(w.form.LineEnabled(1));  // white-listed
    ClosingDetails details(w.form);
    ListWindow::Settle();
    for (int row : {1, 0}) {
        w.Click(row);
        w.Mouse(QEvent::MouseButtonDblClick, row);
        w.Mouse(QEvent::MouseButtonRelease, row);
        Settle(w.form);
    }
    EXPECT_EQ(details.count, 1);
    EXPECT_EQ(details.shown.front(), "From: a@b.example");
    w.click(w.form.btnDisconnect);
    server.finish();
}

TEST(MessageList, AChangedLineRepaintsOnlyWhenVisible) {
    // A list view relays out and repaints everything on any change unless
    // told otherwise: a scan would repaint the list once per message.
    ListWindow w(2000);
    Paints paints(w.form.lbList->viewport());
    for (int i = 1000; i < 1100; ++i) {
        w.form.Session().Lines().SetSummary(i, "a@b.example", "subject");
        w.form.Session().Lines().SetMark(i, TMessageLines::Mark::Spam);
        w.form.SetLineChecked(i, true);
        QApplication::processEvents();
    }
    EXPECT_EQ(paints.count, 0);
    w.form.SetLineChecked(0, true);
    ListWindow::Settle();
    EXPECT_GE(paints.count, 1);
}
