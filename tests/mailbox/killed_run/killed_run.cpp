// A delete run in a process of its own, for the test that kills it at each
// step:  killed_run <data dir> <port> [hold]
// scans joe's mailbox on 127.0.0.1:<port>, deletes the messages from
// spam.example through the bin, prints "deleted", then (unless told to hold
// the deletions) logs off and prints "logged off"; then waits to be killed.
#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "lists/SpamTree.h"
#include "lists/WhiteList.h"
#include "mailbox/MailboxSession.h"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc < 3) return 2;
    mg::SpamTree spam;
    spam.LoadFromBytes("1@spam.example\r\n\tx\r\n");
    mg::WhiteList white;
    mg::MailboxSession session(argv[1], spam, white);
    session.SetBin(mg::BinSettings{});
    const auto say = [](const char* what) {
        return [what](std::exception_ptr) { std::printf("%s\n", what), std::fflush(stdout); };
    };
    const std::function<mg::MailboxSettings()> settings = [port = std::atoi(argv[2])] {
        mg::MailboxSettings s;
        s.Host = "127.0.0.1";
        s.Port = port;
        s.User = "joe";
        s.Password = "secret";
        return s;
    };
    session.Submit([&] { return session.Scan(settings); });
    session.Submit([&] { return session.Delete(); }, say("deleted"));
    if (argc < 4 || std::string(argv[3]) != "hold") session.Submit([&] { return session.LogOff(); }, say("logged off"));
    return app.exec();
}
