// A scripted line server on 127.0.0.1 for dialogue tests: a thread in the
// test process plays the server side of a conversation step by step.
//
//     ScriptedServer server({
//         S("+OK ready"),
//         C("USER joe"), S("+OK"),
//         C("PASS secret"), S("-ERR [AUTH] Authentication failed."),
//         C("QUIT"), S("+OK"), AwaitClose(),
//     });
//     ... drive the client against server.port() ...
//     server.finish();   // every deviation from the script is a test failure
//
// The first connection is accepted implicitly. A client line that differs
// from the expected one (line end included: C("X") expects exactly "X\r\n")
// is reported and ends the dialogue: the server closes the connection, so the
// client sees the peer close instead of waiting. Lines arriving where the
// script expects none, a connection where none is expected, and steps left
// unplayed are reported as well.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace mgtest {

struct Step {
    enum class Kind {
        Accept,      // wait for the next connection (the first is implied)
        Expect,      // the client sends the line text + CR LF
        Send,        // the server sends text as it is
        Close,       // the server closes the connection
        Silent,      // the server says nothing more; the connection stays open
                     // until the client closes it or the test finishes
        AwaitClose,  // the client must close the connection, sending nothing more
        Pause,       // the server waits this many milliseconds (text) before its next step
        Within,      // the client sends the line text within `ms`, else the server closes;
                     // an empty text: the client sends nothing for `ms`, then the server closes
        Hold,        // the server waits until the test calls release(); a line the
                     // client sends meanwhile is a deviation
        Endless,     // the server sends the line text over and over, one every `ms`
                     // (0: as fast as the client takes them), until the client closes
    };
    Kind kind;
    std::string text;
    int ms = 0;
};

using Script = std::vector<Step>;

// The client sends this line (the script adds CR LF).
Step C(std::string line);
// The server answers with this line (the script adds CR LF).
Step S(std::string line);
// The server answers with several lines at once, each ended by CR LF.
Step S(std::initializer_list<std::string> lines);
// The server sends these bytes exactly (for odd line ends and partial lines).
Step Raw(std::string bytes);
Step Close();
Step Silent();
Step AwaitClose();
Step Accept();
// The server takes its time before the next step (a slow server).
Step Pause(int milliseconds);
// The client sends this line within `milliseconds`. If it sends nothing in
// that time the server logs it off as an idle client (closes the connection)
// and the step is a deviation.
Step CWithin(int milliseconds, std::string line);
// A server's autologout: the client stays silent for `milliseconds`, then the
// server closes the connection. A line sent before is a deviation.
Step Autologout(int milliseconds);
// The server holds its next step until the test calls release() (the test
// acts while the client waits for a reply).
Step Hold();
// A reply without end: the server sends this line (the script adds CR LF)
// again and again, every `intervalMs` or as fast as the client reads, until
// the client closes the connection. A line the client sends meanwhile is a
// deviation, and so is a client that never closes.
Step Endless(std::string line, int intervalMs = 0);
// Puts a pause before every server reply of a script.
Script Slow(const Script& script, int milliseconds);

// Joins scripts: Logon(...) + Listing(...) + ...
Script operator+(Script a, const Script& b);

class ScriptedServer {
public:
    // A client that pipelines where the script answers line by line is
    // reported, unless `clientMaySendAhead` (a test of such a client).
    explicit ScriptedServer(Script script, bool clientMaySendAhead = false);
    ~ScriptedServer();  // finish() if the test has not called it
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    static std::string host() { return "127.0.0.1"; }
    uint16_t port() const { return port_; }

    // Ends the dialogue: waits for the script to be played out (a Silent step
    // or an open connection at the end is ended now), stops the thread and
    // adds a test failure for each deviation. Returns true when there was none.
    // Call it after the client has done its part.
    bool finish();

    // Every line the client sent, as received (line ends included).
    std::vector<std::string> received() const;
    // The deviations found so far.
    std::vector<std::string> failures() const;
    // Connections accepted.
    int connections() const;
    // Whether the server is at a Hold() step now; lets the next one go on.
    bool holding() const;
    void release();

private:
    void run();
    void fail(const std::string& what);
    void record(const std::string& line);
    bool acceptNext();
    // Reads one line into `line`; false at the peer's close or on the stop
    // request (`closed` tells which).
    bool readLine(std::string& line, bool& closed);
    // The same, giving up after `ms` (`timedOut` set); a negative `ms` waits for ever.
    bool readLineWithin(std::string& line, bool& closed, int ms, bool& timedOut);
    // Half-closes, then waits for the client to close its side.
    void closeGracefully();
    // Waits until the client closes (true) or the stop request (false);
    // whatever arrives meanwhile is reported.
    bool waitForClose(const char* during);
    void drainUnexpected(const char* during);
    // The Hold() step; false when the client closed meanwhile.
    bool hold(size_t step);
    // The Endless() step; false when the client never closed.
    bool stream(size_t step, const Step& endless);
    void closeConnection();
    // Waits for the socket (or the listener) to be readable; false on the stop
    // request with nothing to read.
    bool waitReadable(int fd, int timeoutMs = -1);

    Script script_;
    bool clientMaySendAhead_ = false;
    int listenFd_ = -1;
    int connFd_ = -1;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    uint16_t port_ = 0;
    std::string pending_;  // bytes read past the last line
    std::atomic<bool> stopping_{false};
    std::atomic<bool> holding_{false};
    int releaseRead_ = -1;
    int releaseWrite_ = -1;
    bool finished_ = false;
    bool listenerShut_ = false;  // written by the thread, read after joining it
    mutable std::mutex mutex_;
    std::vector<std::string> received_;
    std::vector<std::string> failures_;
    int connections_ = 0;
    std::thread thread_;
};

// Makes the bytes of a line readable in failure messages ("\r\n" shown as such).
std::string Visible(const std::string& bytes);

}  // namespace mgtest
