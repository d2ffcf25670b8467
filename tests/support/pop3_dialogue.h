// Pieces of POP3 dialogues for the scripted server, as a mailbox scan and a
// deletion run put them on the wire:
//
//     ScriptedServer server(pop3::Logon("joe", "secret", 2, 640) +
//                           pop3::Listing({120, 520}) +
//                           pop3::Summary(1, message1) + pop3::Summary(2, message2) +
//                           pop3::Dele(1) + pop3::Quit());
#pragma once

#include <string>
#include <vector>

#include "support/scripted_server.h"

namespace mgtest::pop3 {

// One message as the scripted mailbox holds it.
struct Message {
    std::vector<std::string> header;  // header lines, without line ends
    int size = 0;                     // octets, as LIST reports them
};

// What the server answers to CAPA: not known (-ERR), a list without
// PIPELINING, one with it (both list UIDL), or one without UIDL either.
enum class Capa { Unknown, Plain, Pipelining, NoUidl };

// Greeting, USER, PASS, CAPA and STAT answered with count and total size.
Script Logon(const std::string& user, const std::string& password, int count, int totalSize,
             Capa capa = Capa::Unknown);
// "CAPA" and its answer.
Script Capabilities(Capa capa);
// "LIST" and the multi-line listing of these sizes (messages 1, 2, ...).
Script Listing(const std::vector<int>& sizes);
// "TOP n 0" answered with the header lines, the empty separator and ".".
Script Top(int number, const std::vector<std::string>& header);
// "LIST n" answered with "+OK n size".
Script ListOne(int number, int size);
// What a summary of message n costs when its size is asked too: TOP and LIST n.
Script Summary(int number, const Message& message);
// "UIDL" answered with these ids for messages 1, 2, ...; with none, refused.
Script Uidl(const std::vector<std::string>& ids);
// A whole scan: log-on, listing, UIDL (refused unless `ids` are given) and
// one TOP per message (the size comes from the listing); with
// Capa::Pipelining every TOP arrives before the first reply goes out, so a
// client that waits for each reply stalls the dialogue.
Script Scan(const std::string& user, const std::string& password, const std::vector<Message>& messages,
            Capa capa = Capa::Unknown, const std::vector<std::string>& ids = {});
// Messages first..last as a pipelining client asks for their summaries with
// sizes: every TOP and LIST n first, then every reply.
Script PipelinedSummaries(const std::vector<Message>& messages, int first, int last);
// The TOPs of these messages (numbers from 1) as a pipelining client asks
// for them: every TOP first, then every reply.
Script PipelinedTops(const std::vector<Message>& messages, const std::vector<int>& numbers);
// "RETR n" answered with these lines (a line starting with "." gets another
// put before it) and ".".
Script Retr(int number, const std::vector<std::string>& lines);
// "DELE n" answered "+OK message n deleted".
Script Dele(int number);
// "QUIT" answered "+OK", then the client closes.
Script Quit();

}  // namespace mgtest::pop3
