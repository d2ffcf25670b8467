// The dialogue of a whole scan-and-delete run, line by line, as the fault
// tables play it: log-on, listing, three summaries, two deletions, log-off;
// one command at a time, or pipelined with a server that offers PIPELINING.
#pragma once

#include <string>
#include <vector>

#include "app/app_support.h"
#include "lists/DeletionLog.h"
#include "support/pop3_dialogue.h"

namespace mgtest {

inline const char* kSpamDat = "1@spam.example\r\n\tx\r\n";
inline const char* kWhiteDat = "friend@ok.example\r\n";

// What the user does when: the scan, the deletion, the log-off.
enum class Phase { Scan, Delete, Quit };

struct DialogueLine {
    bool server;  // sent by the server, else by the client
    std::string text;
    Phase phase;
};

inline const std::vector<pop3::Message>& Mailbox() {
    static const std::vector<pop3::Message> box = {
        {{"From: a@spam.example", "Subject: one"}, 100},
        {{"From: Friend <friend@ok.example>", "Subject: two"}, 200},
        {{"From: c@spam.example", "Subject: =?koi8-r?B?8NLJ18XU?="}, 900},
    };
    return box;
}

// The whole dialogue as the complete run puts it on the wire: one command at
// a time, or, with a server that offers PIPELINING, every TOP before the
// replies and both deletions before theirs. Neither server lets UIDL be used,
// so nothing is remembered between scans here. With `bin`, the delete run
// fetches both messages (RETR) before deleting them.
inline std::vector<DialogueLine> MakeDialogue(bool pipelined, bool bin = false) {
    std::vector<DialogueLine> d;
    auto s = [&d](const std::string& t, Phase p) { d.push_back({true, t, p}); };
    auto c = [&d](const std::string& t, Phase p) { d.push_back({false, t, p}); };
    s("+OK POP3 server ready", Phase::Scan);
    c("CAPA", Phase::Scan), s("-ERR Unknown command.", Phase::Scan);  // no STLS
    c("USER joe", Phase::Scan), s("+OK", Phase::Scan);
    c("PASS secret", Phase::Scan), s("+OK Logged in.", Phase::Scan);
    c("CAPA", Phase::Scan);
    if (pipelined) {
        s("+OK", Phase::Scan), s("PIPELINING", Phase::Scan), s(".", Phase::Scan);
    } else {
        s("-ERR Unknown command.", Phase::Scan);
    }
    c("STAT", Phase::Scan), s("+OK 3 1200", Phase::Scan);
    c("LIST", Phase::Scan), s("+OK 3 messages", Phase::Scan);
    s("1 100", Phase::Scan), s("2 200", Phase::Scan), s("3 900", Phase::Scan), s(".", Phase::Scan);
    // A server that did not answer CAPA is asked UIDL once; this one refuses
    // it. The one that answered CAPA does not list UIDL.
    if (!pipelined) c("UIDL", Phase::Scan), s("-ERR Unknown command.", Phase::Scan);
    for (int n = 1; n <= 3 && pipelined; ++n) c("TOP " + std::to_string(n) + " 0", Phase::Scan);
    for (int n = 1; n <= 3; ++n) {
        const auto& m = Mailbox()[static_cast<size_t>(n - 1)];
        if (!pipelined) c("TOP " + std::to_string(n) + " 0", Phase::Scan);
        s("+OK", Phase::Scan);
        for (const std::string& h : m.header) s(h, Phase::Scan);
        s("", Phase::Scan), s(".", Phase::Scan);
    }
    const auto retrReply = [&](int n) {
        const auto& m = Mailbox()[static_cast<size_t>(n - 1)];
        s("+OK " + std::to_string(m.size) + " octets", Phase::Delete);
        for (const std::string& h : m.header) s(h, Phase::Delete);
        s("", Phase::Delete), s("body", Phase::Delete), s(".", Phase::Delete);
    };
    if (bin && pipelined) {
        c("RETR 1", Phase::Delete), c("RETR 3", Phase::Delete);
        retrReply(1), retrReply(3);
    } else if (bin) {
        c("RETR 1", Phase::Delete), retrReply(1);
        c("RETR 3", Phase::Delete), retrReply(3);
    }
    if (pipelined) {
        c("DELE 1", Phase::Delete), c("DELE 3", Phase::Delete);
        s("+OK message 1 deleted", Phase::Delete), s("+OK message 3 deleted", Phase::Delete);
    } else {
        c("DELE 1", Phase::Delete), s("+OK message 1 deleted", Phase::Delete);
        c("DELE 3", Phase::Delete), s("+OK message 3 deleted", Phase::Delete);
    }
    c("QUIT", Phase::Quit), s("+OK Logging out.", Phase::Quit);
    return d;
}

inline Step AsStep(const DialogueLine& l) { return l.server ? S(l.text) : C(l.text); }

// The deletions a run of these lines accepted, by the server's replies
// ("+OK message N deleted").
inline std::vector<int> AcceptedIn(const std::vector<DialogueLine>& lines) {
    std::vector<int> out;
    const std::string accepted = "+OK message ";
    for (const DialogueLine& l : lines)
        if (l.server && l.text.rfind(accepted, 0) == 0) out.push_back(std::stoi(l.text.substr(accepted.size())));
    return out;
}

// The lines the complete scan builds.
inline std::vector<std::string> ScannedLines() {
    return {Marked(" <SPAM>  ", "a@spam.example", "one"), Marked(" <WHITE> ", "friend@ok.example", "two"),
            Marked(" <SPAM>  ", "c@spam.example", mg::A("Привет"))};
}

// log.dat after these deletions; `takenBack`: each followed by the line that
// takes it back.
inline std::string LogOf(const std::vector<int>& accepted, bool takenBack) {
    std::string log;
    for (int n : accepted) log += mg::Today() + " |" + ScannedLines()[static_cast<size_t>(n - 1)].substr(9) + "\r\n";
    if (takenBack)
        for (int n : accepted)
            log += mg::Today() + " | " + mg::A("<НЕ УДАЛЕНО>") + ScannedLines()[static_cast<size_t>(n - 1)].substr(9) +
                   "\r\n";
    return log;
}

}  // namespace mgtest
