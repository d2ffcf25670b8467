// A loopback TCP proxy that makes a local server look far away: every chunk
// of bytes it reads is held for half the round-trip time and then written on,
// in each direction, in the order it arrived. The connection to the server is
// opened half a round trip after the client's, so the greeting reaches the
// client one round trip after it connected, as over a real link. Bandwidth is
// not limited.
//
// With `stripPipelining` every line "PIPELINING\r\n" is removed from what the
// server sends (in a capability list it is a line of its own), so the server
// looks like one that does not pipeline.
//
// One thread, one ppoll loop; connections may come one after another or at
// the same time. RttProxyProcess runs it in a child process of its own, so
// that its processor time can be measured apart from the clients'.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace mgbench {

struct RttProxyOptions {
    int upstreamPort = 0;       // the server, on 127.0.0.1
    double rttMs = 0;           // added round-trip time
    bool stripPipelining = false;
};

// Drops the lines "PIPELINING\r\n" from a byte stream fed in arbitrary
// pieces; a partial line that may still become one is held back.
class PipeliningFilter {
public:
    // Appends to `out` what can be passed on of `in`.
    void feed(const char* in, size_t size, std::string& out);
    // At the end of the stream: passes on what was held back.
    void finish(std::string& out);

private:
    int matched_ = 0;  // bytes of the line matched so far; -1: not at a line start
};

// Serves connections on `listenFd` (bound and listening) until killed.
[[noreturn]] void RunRttProxy(int listenFd, const RttProxyOptions& options);

class RttProxyProcess {
public:
    explicit RttProxyProcess(const RttProxyOptions& options);  // listens on 127.0.0.1, forks
    ~RttProxyProcess();  // stops the child if still running
    RttProxyProcess(const RttProxyProcess&) = delete;
    RttProxyProcess& operator=(const RttProxyProcess&) = delete;

    int port() const { return port_; }
    // Stops the child and returns its processor time (user + system) in ms.
    double stop();

private:
    pid_t pid_ = -1;
    int port_ = 0;
};

}  // namespace mgbench
