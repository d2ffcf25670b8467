// Program entry: the application title, one copy per data directory, the
// main window (which loads the settings and lists), the hidden details
// dialog, and the message loop.
#include <QApplication>
#include <QFile>
#include <QStandardPaths>

#include "app/Icon.h"
#include "app/Pop3Form.h"
#include "app/SummaryForm.h"
#include "app/Termination.h"
#include "platform/codepage.h"
#include "platform/dialogs.h"
#include "platform/ui/qt_dialogs.h"
#include "platform/paths.h"
#include "platform/instance.h"
#include "platform/report.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Mailgrove"));
    // The menu entry the desktop matches the window to (its icon, its name).
    QGuiApplication::setDesktopFileName(QStringLiteral("org.mailgrove.Mailgrove"));
    QApplication::setWindowIcon(mg::MailgroveIcon());
    mg::InstallQtDialogs();

    // Without its directory the program would read and write its lists
    // wherever it was started from.
    const std::string programDir = mg::ProgramDirectory();
    if (programDir.empty()) {
        mg::ShowMessage(mg::A("Не удалось создать каталог для списков: ") + mg::ToAnsi(QString::fromLocal8Bit(mg::DataDirectory().c_str())),
                        mg::Icon::Error, mg::Buttons::Ok);
        return 1;
    }
    // A copy already running on this directory brings up its window
    // instead; two copies would each write their lists over the other's.
    const bool hidden = QApplication::arguments().contains(QStringLiteral("--hidden"));
    mg::SingleInstance instance(
        programDir, QFile::encodeName(QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation)).toStdString());
    const mg::SingleInstance::Start start = instance.Begin(!hidden);
    if (start == mg::SingleInstance::Start::Answered) return 0;

    TPop3Form form(programDir, mg::DefaultSettingsPath());
    if (start == mg::SingleInstance::Start::ReadOnly) form.SetReadOnly();
    Pop3Form = &form;
    if (!form.FormCreate()) return 0;

    TPop3FormSummary summary(&form);
    Pop3FormSummary = &summary;

    // A termination request (the desktop session ending, kill) closes the
    // window the ordinary way, so the session logs off and the settings and
    // lists are written.
    mg::CloseOnTermination(form);

    // "--hidden" (the autostart entry): in the tray, the background checks running.
    if (hidden)
        form.StartHidden();
    else
        form.show();
    // Later starts bring the window up, as the tray icon's double click does.
    instance.OnShow([&form] { mg::Guarded([&form] { form.WMTrayNotify(515); }); });
    const int rc = QApplication::exec();
    Pop3FormSummary = nullptr;
    return rc;
}
