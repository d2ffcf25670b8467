// Two starts of the built program on the same data and settings: the second
// brings up the first copy's window and ends, and what the user adds in that
// window is written at close. On an X server of its own (Xvfb), driven as a
// user would, with xdotool.
#include <QProcess>
#include <QStandardPaths>
#include <gtest/gtest.h>

#include <csignal>
#include <sys/stat.h>

#include "support/pump.h"
#include "support/temp_dir.h"

TEST(TwoCopies, ASecondStartBringsUpTheFirstAndNoEditIsLost) {
    if (QStandardPaths::findExecutable("Xvfb").isEmpty() || QStandardPaths::findExecutable("xdotool").isEmpty())
        GTEST_SKIP() << "needs Xvfb and xdotool";
    mgtest::TempDir home;
    for (const char* dir : {"data", "data/mailgrove", "config", "run"}) ::mkdir(home.file(dir).c_str(), 0700);
    home.write("data/mailgrove/spam.dat", "1@spam.example\r\n\tx\r\n");
    home.write("data/mailgrove/white.dat", "a@x.example\r\n");

    QProcess xvfb;
    xvfb.start("Xvfb", {"-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "1024x768x24"});
    ASSERT_TRUE(xvfb.waitForReadyRead(30000));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("DBUS_SESSION_BUS_ADDRESS");
    for (const auto& [name, value] : {std::pair{"DISPLAY", ":" + xvfb.readLine().trimmed().toStdString()},
                                      {"QT_QPA_PLATFORM", "xcb"}, {"HOME", home.path()},
                                      {"XDG_DATA_HOME", home.file("data")}, {"XDG_CONFIG_HOME", home.file("config")},
                                      {"XDG_RUNTIME_DIR", home.file("run")}})
        env.insert(name, QString::fromStdString(value));
    const auto xdotool = [&env](const QStringList& args) {
        QProcess tool;
        tool.setProcessEnvironment(env);
        tool.start("xdotool", args);
        tool.waitForFinished(30000);
        return QString(tool.readAllStandardOutput()).trimmed();
    };
    QProcess first, second;
    for (QProcess* copy : {&first, &second}) copy->setProcessEnvironment(env);
    QString window;  // the first copy's
    // "Добавить в список" on the white-list page (reached from the first
    // page, or shown already), and an address typed in.
    const auto add = [&](bool fromFirstPage, const QString& address) {
        QStringList open = {"mousemove", "--window", window, "200", "250", "click", "1", "key", "Tab", "space"};
        if (fromFirstPage) open = QStringList{"mousemove", "--window", window, "188", "92", "click", "1", "key",
                                              "ctrl+Tab", "ctrl+Tab"} + open;
        xdotool(open);
        xdotool({"search", "--sync", "--onlyvisible", "--name", "Добавить в", "windowfocus", "--sync", "%1", "type",
                 address});  // "type" takes every argument after it
        xdotool({"key", "Return"});
        return mgtest::PumpUntil([&] { return xdotool({"search", "--onlyvisible", "--name", "Добавить в"}).isEmpty(); });
    };
    const auto shown = [&] {
        return xdotool({"search", "--onlyvisible", "--pid", QString::number(first.processId()), "--name", "POP3"});
    };

    // The autostart copy: an address added, then its window put away, as
    // into the tray.
    first.start(MAILGROVE_PROGRAM, {"--hidden"});
    ASSERT_TRUE(mgtest::PumpUntil([&] { return !(window = shown()).isEmpty(); }));
    EXPECT_TRUE(add(true, "c@z.example"));
    xdotool({"windowunmap", "--sync", window});
    // Started from the menu: the first copy's window comes up, this one ends.
    second.start(MAILGROVE_PROGRAM, {});
    EXPECT_TRUE(second.waitForFinished(20000)) << "the second start goes on running";
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_TRUE(mgtest::PumpUntil([&] { return shown() == window; }, 10000)) << "the first copy's window stays away";
    EXPECT_TRUE(add(false, "b@y.example"));

    for (QProcess* copy : {&first, &second}) {
        if (copy->state() == QProcess::NotRunning) continue;
        ::kill(static_cast<pid_t>(copy->processId()), SIGTERM);
        EXPECT_TRUE(copy->waitForFinished(30000));
    }
    EXPECT_EQ(home.read("data/mailgrove/white.dat"), "a@x.example\r\nb@y.example\r\nc@z.example\r\n");
    xvfb.terminate();
    xvfb.waitForFinished(10000);
}
