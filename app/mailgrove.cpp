// Program entry: the application title, the main window (which loads the
// settings and lists), the hidden details dialog, and the message loop.
#include <QApplication>

#include "app/Icon.h"
#include "app/Pop3Form.h"
#include "app/SummaryForm.h"
#include "app/Termination.h"
#include "platform/codepage.h"
#include "platform/dialogs.h"
#include "platform/ui/qt_dialogs.h"
#include "platform/paths.h"

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
    TPop3Form form(programDir, mg::DefaultSettingsPath());
    Pop3Form = &form;
    if (!form.FormCreate()) return 0;

    TPop3FormSummary summary(&form);
    Pop3FormSummary = &summary;

    // A termination request (the desktop session ending, kill) closes the
    // window the ordinary way, so the session logs off and the settings and
    // lists are written.
    mg::CloseOnTermination(form);

    // "--hidden" (the autostart entry): in the tray, the background checks running.
    if (QApplication::arguments().contains(QStringLiteral("--hidden")))
        form.StartHidden();
    else
        form.show();
    const int rc = QApplication::exec();
    Pop3FormSummary = nullptr;
    return rc;
}
