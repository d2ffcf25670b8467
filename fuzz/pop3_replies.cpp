// The POP3 component's reply handling: the input is everything the server
// says, after which it says nothing more (its sending side is shut). The
// component logs on, lists the mailbox, fetches summaries the way the scan
// does, deletes a message and logs off; every failure must be one of its own
// errors, never a crash, a hang or a foreign exception.
//
// No network: the component's socket is replaced by one end of an in-process
// socketpair before it connects. Its connect call is made to report "would
// block" without touching the socket, and the connect notification is posted
// to its window, so it goes on exactly as after a TCP connect. A thread plays
// the server: it writes the input and reads (and drops) what the client sends.
#include <QCoreApplication>
#include <cstddef>
#include <cstdint>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "decode/Ucoder.h"
#include "lists/Sender.h"
#include "platform/errors.h"
#include "platform/winsock.h"
#include "pop3/VantelPop3.h"

namespace {

// Writes `data`, then shuts the sending side; drops whatever the client
// sends until the client closes its end.
void PlayServer(int fd, const std::string& data) {
    size_t sent = 0;
    bool shut = false;
    for (;;) {
        if (!shut && sent == data.size()) {
            ::shutdown(fd, SHUT_WR);
            shut = true;
        }
        pollfd p{fd, static_cast<short>(POLLIN | (shut ? 0 : POLLOUT)), 0};
        if (::poll(&p, 1, -1) < 0) continue;
        if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
            char buf[4096];
            const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) break;
        }
        if (!shut && (p.revents & POLLOUT)) {
            const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n > 0) sent += static_cast<size_t>(n);
            else if (n < 0 && errno != EAGAIN && errno != EINTR) break;
        }
    }
    ::close(fd);
}

// Replaces the component's socket by our end of a socketpair; returns the
// server's end.
int PlugIn(TVantelPOP3& pop3) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) std::abort();
    const int handle = pop3.SocketHandle();
    if (::dup2(pair[0], handle) < 0) std::abort();
    ::close(pair[0]);
    // Asked again now that the socket has a peer, the notifications start.
    mg::WSAAsyncSelect(static_cast<mg::SOCKET>(handle), pop3.WindowHandle(), SocketEventMessage,
                       mg::FD_READ | mg::FD_OOB | mg::FD_ACCEPT | mg::FD_CONNECT | mg::FD_CLOSE);
    mg::InjectSocketFailure("connect", mg::WSAEWOULDBLOCK);
    mg::PostMessageA(pop3.WindowHandle(), SocketEventMessage, static_cast<uintptr_t>(handle),
                     mg::WSAMAKESELECTREPLY(static_cast<int>(mg::FD_CONNECT), 0));
    return pair[1];
}

// The scan's use of a summary.
void UseSummary(const TSummary& summary) {
    const mg::SenderKeys keys = mg::DeriveSender(summary.From);
    (void)DecodeHeaderText(summary.Subject);
    (void)DecodeSubject(summary.Header, summary.Subject);
    if (!keys.Server.empty() && keys.Server[0] == '@' && keys.User.find('@') != std::string::npos) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    static int qtArgc = 1;
    static char* qtArgv[] = {(*argv)[0], nullptr};
    (void)argc;
    new QCoreApplication(qtArgc, qtArgv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::thread server;
    {
        TVantelPOP3 pop3;
        pop3.Host = "127.0.0.1";
        pop3.UserID = "joe";
        pop3.Password = "secret";
        pop3.TimeOut = 2000;  // the stream always ends; this only bounds a fault
        pop3.ReportLevel = 8;
        pop3.OnStatus = [](TComponent*, const std::string&) {};
        int listed = 0;
        pop3.OnList = [&listed](int32_t, int32_t) { ++listed; };
        server = std::thread(PlayServer, PlugIn(pop3), input);
        try {
            mg::Await(pop3.Connect());
            try {
                mg::Await(pop3.List());
            } catch (const Exception&) {
            }
            // One summary per message, as the scan asks; each call takes at
            // least one line, so the stream's end stops the loop.
            const int32_t count = pop3.MailCount();
            for (int32_t n = 1; pop3.Connected() && n <= (count > 0 ? count : 1) && n <= 100000; ++n) {
                try {
                    mg::Await(pop3.GetSummary(n));
                    UseSummary(pop3.Summary());
                } catch (const Exception&) {
                }
            }
            try {
                if (pop3.Connected()) mg::Await(pop3.DeleteMessage(1));
            } catch (const Exception&) {
            }
            mg::Await(pop3.Disconnect());
        } catch (const Exception&) {
        }
    }  // the component closes its end: the server's loop ends
    server.join();
    return 0;
}
