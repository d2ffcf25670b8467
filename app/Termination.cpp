#include "app/Termination.h"

#include <QApplication>
#include <QSocketNotifier>
#include <QWidget>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace mg {

namespace {

int g_signalPipe[2] = {-1, -1};

// The handler only writes a byte: the event loop does the rest.
void OnTerminate(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &byte, 1);
}

}  // namespace

void CloseOnTermination(QWidget& window) {
    if (g_signalPipe[0] < 0 && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) != 0) return;
    auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, &window);
    QObject::connect(notifier, &QSocketNotifier::activated, &window, [&window] {
        char byte;
        [[maybe_unused]] const ssize_t n = ::read(g_signalPipe[0], &byte, 1);
        // A question left open would hold the job that asked it, and with it
        // the log-off: close them all, as their close boxes would.
        while (QWidget* modal = QApplication::activeModalWidget()) {
            if (!modal->close()) break;
        }
        window.close();
    });
    struct sigaction sa {};
    sa.sa_handler = OnTerminate;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
}

}  // namespace mg
