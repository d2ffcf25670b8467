// A main window on a temporary program directory, pointed at a scripted
// POP3 server: the fixture of the window tests.
#pragma once

#include <QAbstractButton>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "app/Pop3Form.h"
#include "app/SummaryForm.h"
#include "mailbox/DeletionBin.h"
#include "platform/codepage.h"
#include "platform/strutil.h"
#include "support/fake_dialogs.h"
#include "support/pump.h"
#include "support/pop3_dialogue.h"
#include "support/scripted_server.h"
#include "support/temp_dir.h"

namespace mgtest {

// Lets the event loop run until the window's session has nothing left to do
// (no command runs or waits, nothing on the wire) and what it posted has been
// dispatched; a guard against a hang, not a measure of time.
inline void Settle(TPop3Form& form, int guardMs = 30000) {
    EXPECT_TRUE(PumpUntil([&] { return form.Session().Settled(); }, guardMs)) << "the session never settled";
    QCoreApplication::processEvents();
}

// The details dialog of a window, closed as soon as it shows: the user who
// reads a header and closes it again. `shown`: the lines it showed last.
struct ClosingDetails {
    explicit ClosingDetails(TPop3Form& form) : dialog(&form) {
        Pop3FormSummary = &dialog;
        QObject::connect(&closer, &QTimer::timeout, &dialog, [this] {
            if (!dialog.isVisible()) return;
            shown = dialog.Lines();
            ++count;
            dialog.btnExit->click();
        });
        closer.start(5);
    }
    ~ClosingDetails() { Pop3FormSummary = nullptr; }
    TPop3FormSummary dialog;
    QTimer closer;
    std::vector<std::string> shown;
    int count = 0;
};

// A window on a temporary program directory with both lists seeded (and
// the settings file, when given); its deletions go without the bin unless
// the settings file turns it on.
struct ScanWindow {
    ScanWindow(const std::string& spam, const std::string& white, TPop3Form::Options options = {},
               const std::string& settings = {})
        : form((dir.write("spam.dat", spam), dir.write("white.dat", white),
                settings.empty() ? void() : dir.write("MAILGROVE.INI", settings), dir.path()),
               dir.file("MAILGROVE.INI"), WithoutBin(std::move(options))) {
        EXPECT_TRUE(form.FormCreate());
    }
    static TPop3Form::Options WithoutBin(TPop3Form::Options options) {
        options.BinByDefault = false;
        return options;
    }
    void pointAt(const ScriptedServer& server, const std::string& user = "joe",
                 const std::string& password = "secret") {
        form.editHost->setText(QString::fromStdString(server.host()));
        form.editPort->setText(QString::number(server.port()));
        form.editUser->setText(QString::fromStdString(user));
        form.editPassword->setText(QString::fromStdString(password));
    }
    std::string line(int i) const { return form.LineText(i); }
    // A click, and whatever command it starts run to its end.
    void click(QAbstractButton* button) {
        button->click();
        Settle(form);
    }
    // Asks the window to close and waits until it has, or has stayed open
    // (the session's end lost deletions, or writing failed); true when closed.
    bool close() {
        form.show();
        form.close();
        PumpUntil([&] { return !form.isVisible() || (form.Session().Settled() && !form.Session().Connected()); });
        Settle(form);
        return !form.isVisible();
    }
    std::string status() const { return Utf8(mg::ToAnsi(form.StatusBar->currentMessage())); }

    TempDir dir;
    FakeDialogs dialogs;
    TPop3Form form;
};

// A window's options with a shorter time-out for every wait of a scan, so
// that a silent server is given up on sooner.
inline TPop3Form::Options TimeOut(int milliseconds) {
    TPop3Form::Options options;
    options.Session.TimeOutMs = milliseconds;
    return options;
}

inline pop3::Message Msg(std::vector<std::string> header, int size) { return pop3::Message{std::move(header), size}; }

// The line the scan builds for an unmarked message.
inline std::string Line(int kb, const std::string& address, const std::string& subject) {
    return mg::Format("%6d ", kb) + mg::A("Кб | ") + mg::Format("%-30s | ", address.c_str()) + subject;
}

inline std::string Marked(const std::string& mark, const std::string& address, const std::string& subject) {
    return mark + " | " + mg::Format("%-30s | ", address.c_str()) + subject;
}

}  // namespace mgtest
