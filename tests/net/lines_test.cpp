// Sending and reading lines over a connection to the test server.
#include <sys/resource.h>

#include <gtest/gtest.h>

#include "net_support.h"
#include "test_server.h"

using namespace nettest;

namespace {

// A component connected to a server that runs `script`.
struct Session {
    explicit Session(std::function<void(Peer&)> script) {
        server.Serve(std::move(script));
        wire.Host = "127.0.0.1";
        wire.Port = server.port();
        wire.OnDisconnect = [this](TObject*) { ++disconnects; };
        mg::Await(wire.Connect());
    }
    std::string Read() {
        std::string line = "<unset>";
        line = mg::Await(wire.ReadLn());
        return line;
    }
    TestServer server;
    TestWire wire;
    int disconnects = 0;
};

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace

TEST(TidewireReadLn, OnlyLineFeedsEndLines) {
    Session s([](Peer& peer) {
        peer.Send("+OK one\r\nsecond\nthi\rrd\r\n");
        peer.Send("+OK pi");
        QThread::msleep(100);
        peer.Send("ec");
        QThread::msleep(100);
        peer.Send("es\r\ntail");
        QThread::msleep(100);
        peer.Send("\r\n");
    });
    EXPECT_EQ(s.Read(), "+OK one\r\n");
    EXPECT_EQ(s.Read(), "second\n");
    EXPECT_EQ(s.Read(), "thi\rrd\r\n");
    EXPECT_EQ(s.Read(), "+OK pieces\r\n");
    EXPECT_EQ(s.Read(), "tail\r\n");
}

TEST(TidewireReadLn, PeerCloseGivesEmptyLinesAfterTheLastOne) {
    Session s([](Peer& peer) { peer.Send("bye\r\n"); });
    EXPECT_EQ(s.Read(), "bye\r\n");
    EXPECT_EQ(s.Read(), "");
    // The close notification closes and replaces the socket ...
    EXPECT_TRUE(PumpUntil([&] { return !s.wire.Connected(); }));
    EXPECT_EQ(s.disconnects, 1);
    // ... and a read on the fresh socket still sees a closed connection.
    EXPECT_EQ(s.Read(), "");
    EXPECT_EQ(s.wire.LastErrorNo(), mg::WSAENOTCONN);
}

TEST(TidewireReadLn, CloseNoticeWaitsWhileDataIsQueued) {
    Session s([&](Peer& peer) {
        peer.Send("x\r\n");
        s.server.gate.Wait();
    });
    ASSERT_TRUE(PumpUntil([&] { return s.wire.DataAvailable(); }));
    mg::SendMessageA(s.wire.WindowHandle(), SocketEventMessage, 0, mg::FD_CLOSE);
    EXPECT_TRUE(s.wire.Connected());
    EXPECT_EQ(s.disconnects, 0);
    EXPECT_EQ(s.Read(), "x\r\n");
}

TEST(TidewireReadLn, LinesReceivedTogetherAreHandedOutOneByOneAndTheCloseWaitsForThem) {
    Gate closed;
    Session s([&](Peer& peer) {
        peer.Send("a\r\nb\r\nc\r\n");
        peer.Close();
        closed.Open();
    });
    closed.Wait();
    EXPECT_EQ(s.Read(), "a\r\n");
    EXPECT_TRUE(s.wire.DataAvailable());
    mg::SendMessageA(s.wire.WindowHandle(), SocketEventMessage, 0, mg::FD_CLOSE);
    EXPECT_TRUE(s.wire.Connected()) << "the close waits for the lines already received";
    EXPECT_EQ(s.Read(), "b\r\n");
    EXPECT_EQ(s.Read(), "c\r\n");
    EXPECT_EQ(s.Read(), "");
    EXPECT_EQ(s.disconnects, 0);
    // Once they are taken, the close comes again and is carried out.
    EXPECT_TRUE(PumpUntil([&] { return !s.wire.Connected(); }));
    EXPECT_EQ(s.disconnects, 1);
}

TEST(TidewireReadLn, LinesUpToTheBufferSizeAndNoFurther) {
    Session s([&](Peer& peer) {
        peer.Send(std::string(65535, 'b') + "\n");
        peer.Send(std::string(70000, 'a'));
        s.server.gate.Wait();
    });
    const std::string longest = s.Read();
    EXPECT_EQ(longest.size(), 65536u);
    EXPECT_EQ(longest.back(), '\n');
    EXPECT_EQ(ErrorOf<ESockError>([&] { s.Read(); }), "Socket readln line too long");
    EXPECT_FALSE(s.wire.Connected());
    EXPECT_EQ(s.disconnects, 1);
}

TEST(TidewireWrite, LinesTransactionsAndReplyNumbers) {
    std::vector<std::string> received;
    Session s([&](Peer& peer) {
        received.push_back(peer.ReadLine());
        received.push_back(peer.ReadLine());
        peer.ReadLine();
        peer.Send("+OK 2 320\r\n");
        peer.ReadLine();
        peer.Send("250 fine\r\n");
        peer.ReadLine();
        peer.Send("40000 x\r\n");
        received.push_back(peer.ReadToEnd());
    });
    mg::Await(s.wire.Writeln(""));
    mg::Await(s.wire.SendBuffer("QUITxyz", 4));
    EXPECT_EQ(ErrorOf<ERangeError>([&] { mg::Await(s.wire.Write(std::string(65536, 'x'))); }), "Range check error");
    mg::Await(s.wire.Writeln(""));

    s.wire.Trace(2);  // only the reply lines
    std::string reply;
    reply = mg::Await(s.wire.Transaction("STAT"));
    EXPECT_EQ(reply, "+OK 2 320\r\n");
    EXPECT_EQ(s.wire.ReplyNumber(), 0);
    reply = mg::Await(s.wire.Transaction("HELO x"));
    EXPECT_EQ(reply, "250 fine\r\n");
    EXPECT_EQ(s.wire.ReplyNumber(), 250);
    EXPECT_EQ(ErrorOf<ERangeError>([&] { reply = mg::Await(s.wire.Transaction("BIG")); }), "Range check error");
    EXPECT_EQ(s.wire.TransactionReply(), "40000 x\r\n");
    EXPECT_EQ(s.wire.statuses, (std::vector<std::string>{"+OK 2 320\r\n", "250 fine\r\n", "40000 x\r\n"}));

    s.wire.Disconnect();
    s.server.Join();
    ASSERT_EQ(received.size(), 3u);
    EXPECT_EQ(received[0], "\r\n");
    EXPECT_EQ(received[1], "QUIT\r\n") << "nothing of the too long text was sent";
    EXPECT_EQ(received[2], "");
}

TEST(TidewireWait, SilentServerTimesOutAndEachWaitGetsAFullPeriod) {
    Gate answer, second, late;
    Session s([&](Peer& peer) {
        peer.ReadLine();
        answer.Wait();
        peer.Send("+OK\r\n");
        second.Wait();
        peer.Send("two\r\n");
        late.Wait();
        peer.Send("late\r\n");
    });
    s.wire.TimeOut = 5000;
    const uint64_t started = mg::TimersStarted();
    std::string reply;
    Later(50, [&] { answer.Open(); });
    reply = mg::Await(s.wire.Transaction("NOOP"));
    EXPECT_EQ(reply, "+OK\r\n");
    EXPECT_EQ(mg::TimersStarted(), started + 1) << "the send is taken at once; only the read waits";
    EXPECT_FALSE(s.wire.TimeoutTimer().Enabled());
    Later(50, [&] { second.Open(); });
    EXPECT_EQ(s.Read(), "two\r\n");
    EXPECT_EQ(mg::TimersStarted(), started + 2) << "a full period again for the next operation that waits";
    EXPECT_FALSE(s.wire.TimeoutTimer().Enabled());

    s.wire.TimeOut = 300;
    EXPECT_EQ(ErrorOf<EAbortError>([&] { s.Read(); }), "Socket readln aborted");
    EXPECT_TRUE(s.wire.TimedOut());
    EXPECT_FALSE(s.wire.Canceled());
    EXPECT_EQ(s.wire.aborts, 1);

    late.Open();
    s.wire.TimeOut = 0;
    EXPECT_EQ(s.Read(), "late\r\n");
    EXPECT_FALSE(s.wire.TimedOut());
}

TEST(TidewireWait, CancelEndsReadsAndSends) {
    Session s([&](Peer& peer) {
        s.server.gate.Wait();
        peer.Send("ready\r\n");
        s.server.gate.Wait();
    });
    Later(50, [&] { s.wire.Cancel(); });  // from an event handler, during the wait
    EXPECT_EQ(ErrorOf<EAbortError>([&] { s.Read(); }), "Socket readln aborted");
    EXPECT_FALSE(s.wire.TimedOut());
    EXPECT_FALSE(s.wire.Canceled());

    s.server.gate.Open();
    ASSERT_TRUE(PumpUntil([&] { return s.wire.DataAvailable(); }));
    s.wire.Cancel();  // set before the read: ends it at once, the line stays queued
    EXPECT_EQ(ErrorOf<EAbortError>([&] { s.Read(); }), "Socket readln aborted");
    EXPECT_EQ(s.Read(), "ready\r\n");

    s.wire.Cancel();
    EXPECT_EQ(ErrorOf<EAbortError>([&] { mg::Await(s.wire.Writeln("NOOP")); }), "Socket send aborted");
    EXPECT_FALSE(s.wire.Canceled());
}

TEST(TidewireWait, SilentServerCostsNoProcessorTime) {
    Session s([&](Peer&) { s.server.gate.Wait(); });
    s.wire.TimeOut = 2000;
    const double before = CpuSeconds();
    EXPECT_EQ(ErrorOf<EAbortError>([&] { s.Read(); }), "Socket readln aborted");
    const double used = CpuSeconds() - before;
    EXPECT_TRUE(s.wire.TimedOut());
    EXPECT_LT(used, 0.2) << "processor seconds spent in a 2-second wait";
    RecordProperty("cpu_seconds_in_2s_wait", std::to_string(used));
    std::printf("CPU used while waiting 2 s for a silent server: %.4f s\n", used);
}

TEST(TidewireIO, SocketErrorsAndClearInput) {
    Session s([&](Peer& peer) {
        peer.Send("junk\r\nmore\r\n");
        s.server.gate.Wait();
        peer.Send("next\r\n");
        s.server.gate.Wait();
    });
    EXPECT_EQ(s.Read(), "junk\r\n");
    EXPECT_TRUE(s.wire.DataAvailable());
    s.wire.ClearInput();  // what was received with the first line goes too
    EXPECT_FALSE(s.wire.DataAvailable());
    s.server.gate.Open();
    EXPECT_EQ(s.Read(), "next\r\n");

    mg::InjectSocketFailure("recv", mg::WSAECONNRESET);
    EXPECT_EQ(ErrorOf<ESockError>([&] { s.Read(); }), "10054:Connection reset by peer");
    mg::InjectSocketFailure("send", mg::WSAECONNABORTED);
    EXPECT_EQ(ErrorOf<ESockError>([&] { mg::Await(s.wire.Writeln("NOOP")); }), "10053:Software caused connection abort");
    EXPECT_FALSE(s.wire.TimeoutTimer().Enabled()) << "stopped also when an error ends the operation";
}
