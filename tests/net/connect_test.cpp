// Starting the socket layer, resolving, connecting, closing, status and errors.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "net_support.h"
#include "test_server.h"

using namespace nettest;

namespace {

bool SocketIsUnconnected(uint16_t handle) {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    return handle != 65535 && ::getpeername(handle, reinterpret_cast<sockaddr*>(&peer), &length) != 0 &&
           errno == ENOTCONN;
}

// Every name but "localhost" is unknown.
int NoSuchHost(const std::string&, std::vector<uint32_t>&) { return mg::WSAHOST_NOT_FOUND; }

}  // namespace

TEST(TidewireSetup, FirstComponentStartsTheLayerAndTheLastCleansUp) {
    ASSERT_EQ(TTidewire::WinsockUsers(), 0);
    auto first = std::make_unique<TestWire>();
    const std::vector<std::string> info = first->WSAInfo();
    ASSERT_EQ(info.size(), 6u);
    EXPECT_EQ(info[0], "Version= 1.1");
    EXPECT_EQ(info[1], "High Version= 1.1");
    EXPECT_EQ(info[2].rfind("Description= ", 0), 0u);
    EXPECT_EQ(info[3].rfind("System= ", 0), 0u);
    EXPECT_EQ(info[4].rfind("Max Sockets= ", 0), 0u);
    EXPECT_EQ(info[5].rfind("Max Udp pack size= ", 0), 0u);
    EXPECT_EQ(first->ReportLevel, 0);
    EXPECT_EQ(first->Port, 0);
    EXPECT_TRUE(SocketIsUnconnected(first->SocketHandle()));

    auto second = std::make_unique<TestWire>();
    EXPECT_TRUE(second->WSAInfo().empty());
    EXPECT_EQ(TTidewire::WinsockUsers(), 2);
    first.reset();
    EXPECT_EQ(mg::WSAStartupCount(), 1);
    second.reset();
    EXPECT_EQ(mg::WSAStartupCount(), 0);
    EXPECT_EQ(TTidewire::WinsockUsers(), 0);

    mg::InjectSocketFailure("socket", 10024);
    EXPECT_EQ(ErrorOf<ESockError>([] { TestWire broken; }), "Initializaton of windows sockets failed");
    EXPECT_EQ(TTidewire::WinsockUsers(), 0);
    EXPECT_EQ(mg::WSAStartupCount(), 0);
}

TEST(TidewireStatus, LevelsDecideWhatReachesTheHandler) {
    TestWire wire;
    std::vector<std::string> seen;
    wire.OnStatus = [&](TComponent* sender, const std::string& s) {
        EXPECT_EQ(sender, &wire);
        seen.push_back(s);
        throw Exception("handler failure is swallowed");
    };
    wire.ReportLevel = 0;
    wire.Cancel();
    EXPECT_TRUE(seen.empty());
    EXPECT_EQ(wire.Status(), "");
    wire.ReportLevel = 4;
    wire.Disconnect();  // "Disconnecting" (8) is held back, "Request Close Socket" (4) passes
    EXPECT_EQ(seen, std::vector<std::string>{"Request Close Socket"});
    wire.ReportLevel = -1;
    wire.Disconnect();
    EXPECT_EQ(seen.size(), 1u);
    EXPECT_EQ(wire.Status(), "Request Close Socket");
}

TEST(TidewireErrors, CodesBecomeTableTexts) {
    TestWire wire;
    wire.Trace();
    const auto text = [&](uint16_t code) {
        std::string msg;
        wire.LookupErrorMessage(code, msg);
        return msg;
    };
    EXPECT_EQ(text(10061), "10061:Connection refused");
    EXPECT_EQ(text(11004), "11004:Valid name, no data record of requested type");
    EXPECT_EQ(text(12345), "Unknown Error No. 12345");
    EXPECT_EQ(wire.statuses.back(), "Looking Up Error Message");
    std::string msg = "old";
    wire.LookupErrorMessage(0, msg);  // the status carries the text passed in
    EXPECT_EQ(msg, "");
    EXPECT_EQ(wire.statuses.back(), "Looking Up Error Messageold");

    mg::WSASetLastError(10035);
    wire.CheckSocketError(10035, msg);  // would-block is not an error
    mg::WSASetLastError(10054);
    EXPECT_EQ(ErrorOf<ESockError>([&] { wire.CheckSocketError(10035, msg); }), "10054:Connection reset by peer");
    EXPECT_EQ(wire.LastErrorNo(), 10054);

    // A connect the layer refuses at once raises its code, without OnConnectionFailed.
    bool failed = false;
    wire.OnConnectionFailed = [&](TObject*) { failed = true; };
    wire.Host = "127.0.0.1";
    wire.Port = 110;
    mg::InjectSocketFailure("connect", 10061);
    EXPECT_EQ(ErrorOf<ESockError>([&] { mg::Await(wire.Connect()); }), "10061:Connection refused");
    EXPECT_FALSE(failed);
}

TEST(TidewireConnect, DottedAddressConnectsWithoutLookupAndDisconnectReplacesTheSocket) {
    TestServer server;
    server.Serve([&](Peer&) { server.gate.Wait(); });
    TestWire wire;
    wire.Host = "127.0.0.1";
    wire.Port = server.port();
    int resolved = 0, connects = 0, disconnects = 0;
    wire.OnHostResolved = [&](TComponent*) { ++resolved; };
    wire.OnConnect = [&](TObject*) { ++connects; };
    wire.OnDisconnect = [&](TObject*) { ++disconnects; };
    wire.Trace();
    mg::Await(wire.Connect());
    EXPECT_TRUE(wire.Connected());
    EXPECT_EQ(resolved, 0);
    EXPECT_EQ(connects, 1);
    EXPECT_EQ(wire.statuses, (std::vector<std::string>{"Connecting", "Resolve Host", "Timer On", "Timer Off"}));

    EXPECT_EQ(ErrorOf<ESockError>([&] { mg::Await(wire.Connect()); }), "Already connected");
    EXPECT_TRUE(wire.Connected());

    wire.Disconnect();
    EXPECT_FALSE(wire.Connected());
    EXPECT_EQ(disconnects, 1);
    EXPECT_TRUE(SocketIsUnconnected(wire.SocketHandle()));
    mg::Await(wire.Connect());  // the fresh socket connects again
    EXPECT_TRUE(wire.Connected());
}

TEST(TidewireConnect, DisconnectWithoutConnectionStillNotifies) {
    TestWire wire;
    int disconnects = 0;
    wire.OnDisconnect = [&](TObject*) { ++disconnects; };
    wire.Disconnect();
    EXPECT_EQ(disconnects, 1);
    EXPECT_TRUE(SocketIsUnconnected(wire.SocketHandle()));
}

TEST(TidewireConnect, LocalhostIsLookedUpAndReported) {
    TestServer server;
    TestWire wire;
    wire.Host = "localhost";
    wire.Port = server.port();
    int resolved = 0;
    wire.OnHostResolved = [&](TComponent*) { ++resolved; };
    mg::Await(wire.Connect());
    EXPECT_TRUE(wire.Connected());
    EXPECT_EQ(resolved, 1);
}

// A lookup given up on at its time-out is withdrawn: its late answer never
// reaches the next attempt, which connects to its own host's address.
TEST(TidewireConnect, AnAbandonedLookupsLateAnswerIsNotUsed) {
    TestServer server;  // on 127.0.0.1; nothing listens on 127.0.0.2
    ResolverScope scope([](const std::string& name, std::vector<uint32_t>& out) {
        const bool old = name == "old.test";
        std::this_thread::sleep_for(std::chrono::milliseconds(old ? 300 : 700));
        out.push_back(htonl(old ? 0x7F000002 : INADDR_LOOPBACK));
        return 0;
    });
    TestWire wire;
    wire.Port = server.port();
    wire.TimeOut = 100;
    wire.Host = "old.test";
    EXPECT_EQ(ErrorOf<ESockError>([&] { mg::Await(wire.Connect()); }), "Host Lookup Timed Out");
    wire.TimeOut = 5000;
    wire.Host = "new.test";
    EXPECT_EQ(ErrorOf<ESockError>([&] { mg::Await(wire.Connect()); }), "<no error>");
    EXPECT_TRUE(wire.Connected());
}

TEST(TidewireConnect, UnknownHostGetsOneChanceToBeRepaired) {
    ResolverScope scope(NoSuchHost);
    TestServer server;
    TestWire wire;
    wire.Port = server.port();
    bool failed = false;
    wire.OnConnectionFailed = [&](TObject*) { failed = true; };

    wire.Host = "mail.example.test";
    EXPECT_EQ(ErrorOf<ESockError>([&] { mg::Await(wire.Connect()); }), "Null Remote Address");

    int asked = 0;
    wire.OnInvalidHost = [&](bool&) { ++asked; };  // does not act
    EXPECT_EQ(ErrorOf<ESockError>([&] { mg::Await(wire.Connect()); }), "Null Remote Address");
    EXPECT_EQ(asked, 1);

    asked = 0;
    wire.OnInvalidHost = [&](bool& handled) {  // claims to act, but the name stays bad
        ++asked;
        handled = true;
    };
    EXPECT_EQ(ErrorOf<ESockError>([&] { mg::Await(wire.Connect()); }), "Null Remote Address");
    EXPECT_EQ(asked, 1);
    EXPECT_FALSE(failed);

    asked = 0;
    wire.OnInvalidHost = [&](bool& handled) {
        ++asked;
        EXPECT_FALSE(handled);
        wire.Host = "127.0.0.1";
        handled = true;
    };
    mg::Await(wire.Connect());
    EXPECT_TRUE(wire.Connected());
    EXPECT_EQ(asked, 1);
}

TEST(TidewireConnect, RefusedConnectionFailsAfterTheFailureEvent) {
    TestWire wire;
    wire.Host = "127.0.0.1";
    wire.Port = ClosedPort();
    std::vector<std::string> order;
    wire.OnConnectionFailed = [&](TObject*) { order.push_back("OnConnectionFailed"); };
    try {
        mg::Await(wire.Connect());
    } catch (const ESockError& e) {
        order.push_back(e.Message);
    }
    EXPECT_EQ(order, (std::vector<std::string>{"OnConnectionFailed", "Connection Failed"}));
    EXPECT_FALSE(wire.Succeeded());
    EXPECT_FALSE(wire.TimedOut());
    EXPECT_FALSE(wire.Connected());
}

TEST(TidewireConnect, ConnectThatNeverCompletesTimesOutOrIsCanceled) {
    // One connection fills a listen queue of 0; further handshakes go unanswered.
    TestServer server(0, false);
    const int filler = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(server.port());
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(filler, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);

    TestWire wire;
    wire.Host = "127.0.0.1";
    wire.Port = server.port();
    wire.TimeOut = 300;
    std::vector<std::string> order;
    wire.OnConnectionFailed = [&](TObject*) { order.push_back("OnConnectionFailed"); };
    try {
        mg::Await(wire.Connect());
    } catch (const ESockError& e) {
        order.push_back(e.Message);
    }
    EXPECT_EQ(order, (std::vector<std::string>{"OnConnectionFailed", "Connection Timed out"}));
    EXPECT_TRUE(wire.TimedOut());
    EXPECT_EQ(wire.aborts, 1) << "the time-out goes through the virtual Abort";
    EXPECT_TRUE(wire.Canceled()) << "left set for the next operation";

    // Without a time-out only a cancel ends the wait.
    TestWire other;
    other.Host = "127.0.0.1";
    other.Port = server.port();
    Later(50, [&] { other.Cancel(); });
    EXPECT_EQ(ErrorOf<ESockError>([&] { mg::Await(other.Connect()); }), "Connection Canceled");
    EXPECT_FALSE(other.TimedOut());
    ::close(filler);
}

TEST(TidewireConnect, LookupTimeOutAndCancelAndDestructionWhileLookingUp) {
    Gate release;
    ResolverScope scope([&release](const std::string& name, std::vector<uint32_t>& out) {
        release.Wait();
        out.push_back(htonl(INADDR_LOOPBACK));
        return name.empty() ? mg::WSAHOST_NOT_FOUND : 0;
    });
    {
        TestWire wire;
        wire.Host = "slow.example.test";
        wire.TimeOut = 200;
        bool failed = false;
        wire.OnConnectionFailed = [&](TObject*) { failed = true; };
        EXPECT_EQ(ErrorOf<ESockError>([&] { mg::Await(wire.Connect()); }), "Host Lookup Timed Out");
        EXPECT_FALSE(failed);
        EXPECT_TRUE(wire.AsyncDone());

        wire.TimeOut = 0;
        Later(50, [&] { wire.Abort(); });
        EXPECT_EQ(ErrorOf<ESockError>([&] { mg::Await(wire.Connect()); }), "Host Lookup Canceled");
        EXPECT_EQ(mg::PendingHostLookups(), 2);
    }  // destroyed with both lookups outstanding
    release.Open();
    EXPECT_TRUE(PumpUntil([] { return mg::PendingHostLookups() == 0; }));
}

TEST(TidewireConnect, CheckConnectionGivesTheHandlerOneChance) {
    TestServer server;
    TestWire wire;
    wire.Host = "127.0.0.1";
    wire.Port = server.port();
    const auto notConnected = [&] { return ErrorOf<Exception>([&] { wire.CheckConnection(); }); };

    EXPECT_EQ(notConnected(), "Not Connected");  // no handler
    try {
        wire.CheckConnection();
    } catch (const ESockError&) {
        ADD_FAILURE() << "not a socket error";
    } catch (const Exception&) {
    }

    int asked = 0;
    wire.OnConnectionRequired = [&](bool& handled) {
        ++asked;
        handled = true;
    };
    EXPECT_EQ(notConnected(), "Not Connected");
    EXPECT_EQ(asked, 1);

    wire.OnConnectionRequired = [&](bool&) { mg::Await(wire.Connect()); };  // connects, says nothing
    EXPECT_EQ(notConnected(), "Not Connected");
    EXPECT_TRUE(wire.Connected());
    wire.Disconnect();

    asked = 0;
    wire.OnConnectionRequired = [&](bool& handled) {
        ++asked;
        mg::Await(wire.Connect());
        handled = true;
    };
    wire.CheckConnection();
    EXPECT_TRUE(wire.Connected());
    wire.CheckConnection();  // connected: the handler is not asked
    EXPECT_EQ(asked, 1);
}

TEST(TidewireNotifications, ConnectErrorAndTheLookupMessage) {
    TestWire wire;
    int connects = 0, disconnects = 0;
    wire.OnConnect = [&](TObject*) { ++connects; };
    wire.OnDisconnect = [&](TObject*) { ++disconnects; };
    const mg::HWND window = wire.WindowHandle();

    mg::SendMessageA(window, SocketEventMessage, 0, mg::WSAMAKESELECTREPLY(mg::FD_CONNECT, 10061));
    EXPECT_FALSE(wire.Succeeded());
    EXPECT_FALSE(wire.Connected());
    EXPECT_EQ(connects, 0);

    // The answer of a lookup this attempt does not wait for (one given up on)
    // changes nothing; its low word 8 is only a length and connects nothing.
    mg::SendMessageA(window, HostLookupMessage, 7, mg::WSAMAKESELECTREPLY(8, 0));
    EXPECT_FALSE(wire.AsyncDone());
    EXPECT_FALSE(wire.Succeeded());
    EXPECT_FALSE(wire.Connected());
    EXPECT_EQ(disconnects, 0);

    mg::SendMessageA(window, SocketEventMessage, 0, mg::WSAMAKESELECTREPLY(mg::FD_ACCEPT, 0));
    EXPECT_TRUE(wire.Connected());
}
