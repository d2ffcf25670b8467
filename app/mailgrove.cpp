// Program entry: the application title, the main window (which loads the
// settings and lists), the hidden details dialog, and the message loop.
#include <QApplication>
#include <QSocketNotifier>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

#include "app/Icon.h"
#include "app/Pop3Form.h"
#include "app/SummaryForm.h"
#include "platform/codepage.h"
#include "platform/dialogs.h"
#include "platform/paths.h"

namespace {

int g_signalPipe[2] = {-1, -1};

void OnTerminate(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &byte, 1);
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Mailgrove"));
    // The menu entry the desktop matches the window to (its icon, its name).
    QGuiApplication::setDesktopFileName(QStringLiteral("org.mailgrove.Mailgrove"));
    QApplication::setWindowIcon(mg::MailgroveIcon());

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
    mg::SetDialogParent(&form);
    if (!form.FormCreate()) return 0;

    TPop3FormSummary summary(&form);
    Pop3FormSummary = &summary;

    // A termination request (the session ending, kill) closes the window the
    // ordinary way, so the settings and lists are written.
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) == 0) {
        auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, &form);
        QObject::connect(notifier, &QSocketNotifier::activated, &form, [&form] {
            char byte;
            [[maybe_unused]] const ssize_t n = ::read(g_signalPipe[0], &byte, 1);
            form.close();
        });
        struct sigaction sa {};
        sa.sa_handler = OnTerminate;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        sigaction(SIGTERM, &sa, nullptr);
        sigaction(SIGHUP, &sa, nullptr);
        sigaction(SIGINT, &sa, nullptr);
    }

    form.show();
    const int rc = QApplication::exec();
    Pop3FormSummary = nullptr;
    return rc;
}
