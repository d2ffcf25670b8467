// gtest main for every test program: a QApplication on the offscreen platform
// (unless the caller chose another), so widgets and the event loop work.
#include <QApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Mailgrove"));
    return RUN_ALL_TESTS();
}
