// gtest main for every test program: a QApplication on the offscreen platform
// (unless the caller chose another), so widgets and the event loop work; and
// an unreachable keyring, so the password goes to the settings file unless a
// test installs a keyring of its own.
#include <QApplication>
#include <gtest/gtest.h>

#include "platform/ui/qt_dialogs.h"
#include "support/fake_keyring.h"

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Mailgrove"));
    // The error report as the window makes it: a box, through the dialogs.
    mg::InstallQtDialogs();
    mgtest::FakeKeyring noKeyring(false);
    return RUN_ALL_TESTS();
}
