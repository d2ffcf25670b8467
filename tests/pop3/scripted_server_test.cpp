// The scripted server itself, driven by a plain blocking socket: the dialogue
// tests can only be trusted if it reports every deviation.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "support/pop3_dialogue.h"
#include "support/scripted_server.h"

using namespace mgtest;

namespace {

class Client {
public:
    explicit Client(uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    }
    ~Client() { close(); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;
    void send(const std::string& bytes) { ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
    std::string bytes(size_t count) {
        std::string text(count, '\0');
        size_t got = 0;
        while (got < count) {
            ssize_t n = ::recv(fd_, text.data() + got, count - got, 0);
            if (n <= 0) break;
            got += static_cast<size_t>(n);
        }
        text.resize(got);
        return text;
    }
    // One line, or "" when the server closed.
    std::string line() {
        std::string text;
        char c;
        while (::recv(fd_, &c, 1, 0) == 1) {
            text += c;
            if (c == '\n') break;
        }
        return text;
    }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

TEST(ScriptedServer, PlaysTheDialogueAndRecordsTheClient) {
    ScriptedServer server(pop3::Logon("joe", "pw", 1, 10) + pop3::Quit());
    Client client(server.port());
    EXPECT_EQ(client.line(), "+OK POP3 server ready\r\n");
    for (const char* command : {"CAPA\r\n", "USER joe\r\n", "PASS pw\r\n", "CAPA\r\n", "STAT\r\n"}) {
        client.send(command);
        client.line();
    }
    client.send("QUIT\r\n");
    EXPECT_EQ(client.line(), "+OK Logging out.\r\n");
    client.close();
    EXPECT_TRUE(server.finish());
    EXPECT_EQ(server.received(), (std::vector<std::string>{"CAPA\r\n", "USER joe\r\n", "PASS pw\r\n", "CAPA\r\n",
                                                           "STAT\r\n", "QUIT\r\n"}));
}

TEST(ScriptedServer, WrongLineFailsAndDropsTheClient) {
    ScriptedServer server({S("+OK"), C("LIST "), S("+OK")});
    Client client(server.port());
    client.line();
    client.send("LIST\r\n");
    EXPECT_EQ(client.line(), "");
    EXPECT_NONFATAL_FAILURE(server.finish(), "expects C(\"LIST \"), the client sent \"LIST\\r\\n\"");
}

TEST(ScriptedServer, ReportsLinesAndConnectionsNobodyExpects) {
    ScriptedServer server({S("+OK")});
    Client client(server.port());
    client.line();
    client.send("NOOP\r\n");
    EXPECT_NONFATAL_FAILURE(server.finish(), "unexpected client line \"NOOP\\r\\n\" after the end of the script");

    ScriptedServer idle({});
    Client stranger(idle.port());
    EXPECT_NONFATAL_FAILURE(idle.finish(), "a connection arrived that the script does not expect");
}

TEST(ScriptedServer, ReportsStepsLeftUnplayed) {
    ScriptedServer server({S("+OK"), C("USER x")});
    EXPECT_NONFATAL_FAILURE(server.finish(), "no connection arrived");

    ScriptedServer waiting({S("+OK"), AwaitClose()});
    Client client(waiting.port());
    client.line();
    EXPECT_NONFATAL_FAILURE(waiting.finish(), "the client did not close the connection");
}

TEST(ScriptedServer, ClosesStaysSilentAndAcceptsAgain) {
    ScriptedServer server({S("+OK"), Close(), Accept(), Raw("+OK partial"), Silent()});
    Client first(server.port());
    EXPECT_EQ(first.line(), "+OK\r\n");
    EXPECT_EQ(first.line(), "");
    first.close();
    Client second(server.port());
    EXPECT_EQ(second.bytes(11), "+OK partial");
    EXPECT_TRUE(server.finish());
    EXPECT_EQ(server.connections(), 2);
}

TEST(ScriptedServer, LogsOffAClientThatIsIdleTooLong) {
    // In time: the dialogue goes on; then silence until the autologout.
    ScriptedServer server({CWithin(2000, "NOOP"), S("+OK"), Autologout(100)});
    Client client(server.port());
    client.send("NOOP\r\n");
    EXPECT_EQ(client.line(), "+OK\r\n");
    EXPECT_EQ(client.line(), "") << "closed after the idle time";
    client.close();
    EXPECT_TRUE(server.finish());

    // Too late, or a line where silence is expected: a deviation each.
    ScriptedServer late({CWithin(100, "NOOP")});
    Client idle(late.port());
    EXPECT_EQ(idle.line(), "");
    idle.close();
    EXPECT_NONFATAL_FAILURE(late.finish(), "the client sent nothing in time");
    ScriptedServer chatty({Autologout(2000)});
    Client talker(chatty.port());
    talker.send("NOOP\r\n");
    EXPECT_NONFATAL_FAILURE(chatty.finish(), "the client sent \"NOOP\\r\\n\"");
}

}  // namespace
