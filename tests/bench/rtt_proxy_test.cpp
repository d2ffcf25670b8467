// The loopback proxy of the link benchmark: what it removes from the server's
// replies, and that it delays, keeps order and serves one connection after
// another.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "bench/bench_common.h"
#include "bench/rtt_proxy.h"
#include "support/scripted_server.h"

namespace {

using namespace mgtest;
using Clock = std::chrono::steady_clock;

// Every way of cutting the stream into pieces of one size gives the same result.
TEST(PipeliningFilter, DropsExactlyTheLineWhereverTheStreamIsCut) {
    const struct {
        std::string in, out;
    } cases[] = {
        {"+OK\r\nTOP\r\nPIPELINING\r\nUSER\r\n.\r\n", "+OK\r\nTOP\r\nUSER\r\n.\r\n"},
        {"PIPELINING\r\n+OK\r\n", "+OK\r\n"},
        {"PIPELINING\r\nPIPELINING\r\n", ""},
        {"XPIPELINING\r\nPIPELININGS\r\nPIPELINING\n", "XPIPELINING\r\nPIPELININGS\r\nPIPELINING\n"},
        {"Subject: PIPELINING\r\nPIPELINING", "Subject: PIPELINING\r\nPIPELINING"},  // the held tail comes at the end
        {"PIPE\r\nPIPELINING\r\r\n", "PIPE\r\nPIPELINING\r\r\n"},
    };
    for (const auto& c : cases) {
        for (size_t piece = 1; piece <= c.in.size(); ++piece) {
            mgbench::PipeliningFilter filter;
            std::string out;
            for (size_t at = 0; at < c.in.size(); at += piece)
                filter.feed(c.in.data() + at, std::min(piece, c.in.size() - at), out);
            filter.finish(out);
            EXPECT_EQ(out, c.out) << "pieces of " << piece << " from " << c.in;
        }
    }
}

double MsSince(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

// Lower bounds only: a loaded machine makes it slower, never faster.
TEST(RttProxy, HoldsEachWayForHalfTheRoundTripAndServesConnectionsInTurn) {
    ScriptedServer server({
        S("+OK ready"), C("CAPA"), S({"+OK", "TOP", "PIPELINING", "USER", "."}),
        C("NOOP"), C("NOOP"), S("+OK 1"), S("+OK 2"), C("QUIT"), S("+OK"), AwaitClose(),
        Accept(), S("+OK again"), C("QUIT"), S("+OK"), AwaitClose(),
    });
    const double rtt = 60;
    mgbench::RttProxyProcess proxy({server.port(), rtt, true});
    const mgbench::Account via{ScriptedServer::host(), proxy.port(), "", "", ""};
    {
        auto t = Clock::now();
        mgbench::BlockingClient client(via);
        EXPECT_EQ(client.line(), "+OK ready\r\n");
        EXPECT_GE(MsSince(t), rtt) << "the connection takes a round trip before the greeting";
        t = Clock::now();
        client.send("CAPA");
        std::vector<std::string> capa;
        for (std::string line = client.line(); !mgbench::IsDot(line); line = client.line()) capa.push_back(line);
        EXPECT_GE(MsSince(t), rtt);
        EXPECT_EQ(capa, (std::vector<std::string>{"+OK\r\n", "TOP\r\n", "USER\r\n"}));
        client.send("NOOP");
        client.send("NOOP");
        EXPECT_EQ(client.line(), "+OK 1\r\n");
        EXPECT_EQ(client.line(), "+OK 2\r\n");
        client.command("QUIT");
    }
    {
        mgbench::BlockingClient client(via);
        EXPECT_EQ(client.line(), "+OK again\r\n");
        client.command("QUIT");
    }
    server.finish();
    EXPECT_GE(proxy.stop(), 0.0);
}

// A server that answers each command as it reads it, both ways more than the
// socket buffers hold: a client that wrote every command before reading
// would stall with the server (the test would hang).
TEST(BlockingClient, ExchangeReadsWhileItWritesALongPipeline) {
    const int commands = 8000;
    const std::string fill(1500, 'x');
    Script script{S("+OK ready")};
    std::string out;
    for (int i = 1; i <= commands; ++i) {
        const std::string command = "NOOP " + std::to_string(i) + " " + fill;
        script.push_back(C(command));
        script.push_back(S({"+OK " + std::to_string(i), fill, "."}));
        out += command + "\r\n";
    }
    script.push_back(AwaitClose());
    ScriptedServer server(script, /*clientMaySendAhead=*/true);
    {
        mgbench::BlockingClient client({ScriptedServer::host(), server.port(), "", "", ""});
        EXPECT_EQ(client.line(), "+OK ready\r\n");
        int replies = 0, lines = 0;
        client.exchange(out, [&](const std::string& line) {
            ++lines;
            if (line.rfind("+OK ", 0) == 0) {
                EXPECT_EQ(line, "+OK " + std::to_string(++replies) + "\r\n");
            }
            return !(mgbench::IsDot(line) && replies == commands);
        });
        EXPECT_EQ(lines, 3 * commands);
    }
    server.finish();
}

}  // namespace
