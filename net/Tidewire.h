// TTidewire: one asynchronous TCP client socket driven by notification
// messages on the GUI thread, with host resolution, a time-out per waiting
// operation, status reports, and line-oriented reading and writing.
//
// The operations that wait (connecting, reading, sending) are tasks
// (platform/task.h): each returns to the event loop while it waits, and the
// notification that ends the wait resumes it. One operation waits at a time;
// a second wait on the same component while one is pending is a programming
// error and raises at once.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/component.h"
#include "platform/errors.h"
#include "platform/task.h"
#include "platform/winmsg.h"

class ESockError : public Exception {
public:
    using Exception::Exception;
};

class EAbortError : public ESockError {
public:
    using ESockError::ESockError;
};

using TOnStatus = std::function<void(TComponent* Sender, const std::string& Status)>;
using TOnHostResolved = std::function<void(TComponent* Sender)>;

// A window message: number, two parameters, result.
struct TMessage {
    uint32_t Msg = 0;
    uintptr_t WParam = 0;
    intptr_t LParam = 0;
    intptr_t Result = 0;
};

// Messages the socket layer posts to the component's hidden window.
inline constexpr uint32_t SocketEventMessage = 1125;  // low 16 bits: event, high 16 bits: error
inline constexpr uint32_t HostLookupMessage = 1126;   // low 16 bits: length, high 16 bits: error
// Posted by the component to itself: a wait may be over.
inline constexpr uint32_t WakeMessage = 1127;

class TThreadTimer;

class TTidewire : public TComponent {
public:
    explicit TTidewire(TComponent* owner = nullptr);
    ~TTidewire() override;
    TTidewire(const TTidewire&) = delete;
    TTidewire& operator=(const TTidewire&) = delete;

    // Virtual operations, in slot order. Disconnect closes at once and is
    // not virtual: the POP3 component's log-off of the same name waits for
    // the server and hides it.
    virtual mg::Task<uint16_t> Accept();
    virtual mg::Task<> Connect();
    void Disconnect();
    // Sends the command as one line and returns the reply line.
    virtual mg::Task<std::string> Transaction(std::string command);
    virtual void Abort();

    void Cancel();
    void CheckConnection();
    void ReportStatus(uint8_t level, const std::string& text);

    // Sends the bytes; waits (with the time-out) while the socket takes no
    // more. `buffer` must stay valid until the task has finished.
    mg::Task<> SendBuffer(const char* buffer, uint16_t length);
    mg::Task<> Write(std::string text);
    mg::Task<> Writeln(std::string text);
    // The next line with its line end; empty when the peer has closed.
    mg::Task<std::string> ReadLn();
    // What ReadLn does when the whole line has been received already and
    // nothing else is due: takes it at once, without a task, and returns
    // true. False, taking nothing, when ReadLn would have to wait (or give
    // the event loop its turn).
    bool ReadBufferedLine(std::string& line);
    // What Transaction does with the reply line it has read: keeps it as
    // TransactionReply, sets ReplyNumber and reports it at level 1. For
    // replies to commands that were sent ahead (pipelining).
    void NoteReply(const std::string& line);
    bool DataAvailable();
    void ClearInput();

    // The hidden window's handler for messages numbered 1125 and up.
    void HandleSocketMessage(TMessage& message);

    // Published properties.
    std::string Host;
    int32_t Port = 0;
    int32_t TimeOut = 0;
    int32_t ReportLevel = 0;
    TNotifyEvent OnDisconnect;
    TNotifyEvent OnConnect;
    THandlerEvent OnInvalidHost;
    TOnHostResolved OnHostResolved;
    TOnStatus OnStatus;
    TNotifyEvent OnConnectionFailed;

    // Published by the POP3 component.
    THandlerEvent OnConnectionRequired;
    TNotifyEvent OnPacketRecvd;
    int32_t BytesTotal = 0;
    int32_t BytesRecvd = 0;

    bool Connected() const { return connected_; }
    bool TimedOut() const { return timedOut_; }
    bool Canceled() const { return canceled_; }
    bool Succeeded() const { return succeeded_; }
    const std::string& Status() const { return status_; }
    const std::string& TransactionReply() const { return transactionReply_; }
    int16_t ReplyNumber() const { return replyNumber_; }
    int32_t LastErrorNo() const { return lastErrorNo_; }
    const std::vector<std::string>& WSAInfo() const { return wsaInfo_; }
    bool AsyncDone() const { return asyncDone_; }
    uint16_t SocketHandle() const;  // 65535: no socket
    mg::HWND WindowHandle() const;
    const TThreadTimer& TimeoutTimer() const { return *timeoutTimer_; }
    // Live components that have started the socket layer.
    static int32_t WinsockUsers();

    // Connections to port 995 speak TLS from the start: Connect makes the
    // handshake (TLS 1.2 or later, the certificate checked against the
    // system's trust store and the host) before it returns, and Disconnect
    // sends the close notification. True while such a connection is open.
    bool Secure() const;
    // Turns the open plain connection into a TLS one (STLS, RFC 2595), the
    // certificate checked as on 995, within the time-out. Whatever the
    // server sent before the handshake is dropped. A failed upgrade closes
    // the connection and raises the reason: never a fall back to plain text.
    mg::Task<> UpgradeToTls();
    // The connection's far end is this machine (127.0.0.0/8).
    bool PeerIsLoopback() const;
    // For tests only: the port that means TLS (a test server cannot have
    // 995), and a CA file trusted besides the system's store. There is no
    // way to leave the certificate unchecked.
    void SetTlsPortForTesting(int32_t port);
    void SetTrustedCaFileForTesting(const std::string& path);
    // For tests only: a server on 127.0.0.0/8 is taken for another machine
    // (PeerIsLoopback is false).
    void SetLoopbackRemoteForTesting(bool remote);

protected:
    void InitializeWinsock();
    mg::Task<> ResolveHost();
    void RequestCloseSocket();
    // Closes a socket whose connect failed and puts a fresh one in place.
    void ReplaceSocket();
    void CheckSocketError(uint16_t expected, std::string& msg);
    void LookupErrorMessage(uint16_t code, std::string& msg);
    void TimerOn();
    void TimerOff();
    void TimerTriggered(TObject* sender);
    // Waits: suspends the operation until `over()` holds, with the
    // operation's time-out running. Every event that may end a wait (a socket
    // notification, the time-out, Cancel) wakes it through the event loop,
    // which resumes it when `over()` then holds.
    class Waiter {
    public:
        Waiter(TTidewire* self, std::function<bool()> over, bool turn)
            : self_(self), over_(std::move(over)), turn_(turn) {}
        bool await_ready() const { return !turn_ && over_(); }
        void await_suspend(std::coroutine_handle<> operation);
        void await_resume() const;

    private:
        TTidewire* self_;
        std::function<bool()> over_;
        bool turn_;
    };
    Waiter Until(std::function<bool()> over);
    // Gives the event loop a turn, then goes on.
    Waiter NextTurn();
    // Waits for received data (or the peer's close), for room to send.
    Waiter InputOrEnd();
    Waiter RoomOrEnd();
    // Makes the event loop look at the pending wait again.
    void Wake(bool afterTimers = false);
    void ResumeWaiter();
    // Posts a close notification that waited for unread data once more.
    void PostDeferredClose();
    // The TLS handshake of Connect; false with the reason in `failure`
    // (empty after a time-out or cancel).
    mg::Task<bool> Handshake(std::string& failure);
    // A TLS failure on an open connection: closes it and raises ESockError.
    [[noreturn]] void FailSecureConnection();

    // Implementation state; the transport's own file may add members below.
    bool connected_ = false;
    bool timedOut_ = false;
    bool canceled_ = false;
    bool succeeded_ = true;
    bool asyncDone_ = false;
    bool finalClose_ = false;
    int32_t lastErrorNo_ = 0;
    int16_t replyNumber_ = 0;
    std::string status_;
    std::string transactionReply_;
    std::vector<std::string> wsaInfo_;
    std::unique_ptr<TThreadTimer> timeoutTimer_;
    // The operation waiting, and what ends its wait.
    std::coroutine_handle<> waiting_;
    std::function<bool()> waitOver_;
    bool wakePosted_ = false;
    bool inputSignal_ = false;  // received data or a close since the last receive
    bool roomSignal_ = false;   // the socket takes data again
    bool readWaiting_ = false;  // a read waits for input
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
