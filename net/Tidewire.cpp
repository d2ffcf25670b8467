#include "net/Tidewire.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <stdexcept>

#include "net/ThreadTimer.h"
#include "net/TlsSession.h"
#include "platform/strutil.h"
#include "platform/winsock.h"

namespace {

// The socket layer is started by the first live component and cleaned up by the last.
int32_t g_winsockUsers = 0;

constexpr uint16_t kNoSocket = 65535;
// Read and write readiness come as notifications too: a waiting read or send
// is resumed by them.
constexpr long kSocketEvents =
    mg::FD_READ | mg::FD_WRITE | mg::FD_OOB | mg::FD_ACCEPT | mg::FD_CONNECT | mg::FD_CLOSE;  // 63
constexpr size_t kIOBufferSize = 65537;
constexpr int kMaxLine = 65536;  // a line with its line end must fit in this many bytes
// While replies keep arriving a read never has to wait; the event loop still
// gets a turn at least this often, so the window stays responsive.
constexpr std::chrono::milliseconds kBusyDispatchInterval{20};
// Connections to this port speak TLS from the start (POP3 over TLS).
constexpr int32_t kTlsPort = 995;
// Receive or send result: TLS itself failed (the session's Error says why).
constexpr int kTlsFailed = -2;
// Receive result: TLS must send before it can read; send result: TLS must
// read before it can send. Wait for room, or for input, and call again.
constexpr int kTlsWantsRoom = -3;
constexpr int kTlsWantsInput = -4;

struct ErrorText {
    int32_t code;
    const char* text;
};

constexpr ErrorText kSocketErrors[] = {
    {10004, "Interrupted system call"},
    {10009, "Bad file number"},
    {10013, "Permission denied"},
    {10014, "Bad address"},
    {10022, "Invalid argument"},
    {10024, "Too many open files"},
    {10035, "Operation would block"},
    {10036, "Operation now in progress"},
    {10037, "Operation already in progress"},
    {10038, "Socket operation on non-socket"},
    {10039, "Destination address required"},
    {10040, "Message too long"},
    {10041, "Wrong protocol type for socket"},
    {10042, "Bad protocol option"},
    {10043, "Protocol not supported"},
    {10044, "Socket type not supported"},
    {10045, "Operation not supported on socket"},
    {10046, "Protocol family not supported"},
    {10047, "Address family not supported by protocol family"},
    {10048, "Address already in use"},
    {10049, "Can't assign requested address"},
    {10050, "Network is down"},
    {10051, "Network is unreachable"},
    {10052, "Network dropped connection or reset"},
    {10053, "Software caused connection abort"},
    {10054, "Connection reset by peer"},
    {10055, "No buffer space available"},
    {10056, "Socket is already connected"},
    {10057, "Socket is not connected"},
    {10058, "Can't send after socket shutdown"},
    {10059, "Too many references, can't splice"},
    {10060, "Connection timed out"},
    {10061, "Connection refused"},
    {10062, "Too many levels of symbolic links"},
    {10063, "File name too long"},
    {10064, "Host is down"},
    {10065, "No route to Host"},
    {10066, "Directory not empty"},
    {10067, "Too many processes"},
    {10068, "Too many users"},
    {10069, "Disc quota exceeded"},
    {10070, "Stale NFS file handle"},
    {10071, "Too many levels of remote in path"},
    {10091, "Network subsystem is unavailable"},
    {10092, "Incompatible version of WINSOCK.DLL"},
    {10093, "Successful WSAStartup not yet performed"},
    {11001, "Host not found"},
    {11002, "Non-Authoritative Host not found"},
    {11003, "Non-Recoverable error: FORMERR, REFUSED, NOTIMP"},
    {11004, "Valid name, no data record of requested type"},
};

// Runs its function when the scope ends, also through an error.
template <class F>
struct Finally {
    F f;
    ~Finally() { f(); }
};
template <class F>
Finally(F) -> Finally<F>;

std::string VersionText(uint16_t version) {
    return mg::IntToStr(version >> 8) + "." + mg::IntToStr(version & 0xFF);
}

}  // namespace

struct TTidewire::Impl {
    std::array<char, kIOBufferSize> ioBuffer{};
    std::vector<char> scratch = std::vector<char>(kMaxLine);  // what ClearInput throws away

    // Received bytes not yet handed out: rx[rxStart, rxEnd). ReadLn takes
    // what the socket has in one receive and hands it out a line at a time;
    // a line with its line end must fit in the buffer. rx[rxStart, rxScanned)
    // is known to hold no line feed.
    std::vector<char> rx = std::vector<char>(kMaxLine);
    size_t rxStart = 0;
    size_t rxEnd = 0;
    size_t rxScanned = 0;
    // A close notification that came while received data was still unread;
    // it is posted again once that data has been taken.
    bool closeDeferred = false;
    intptr_t closeParam = 0;
    // One per socket: a notification posted again dies with its socket.
    std::shared_ptr<int> socketGuard = std::make_shared<int>(0);
    // Set by TimerOn: the system timer starts with the first wait of the operation.
    bool timerArmed = false;
    // When a wait of this component last ran the event loop.
    std::chrono::steady_clock::time_point lastDispatch{};

    // TLS: the session of the open connection, if it has one.
    std::unique_ptr<mg::TlsSession> tls;
    bool wantTls = false;      // the connection being made is to speak TLS
    bool tcpOpen = false;      // its TCP connection is open; the handshake is next
    bool handshaking = false;
    int32_t tlsPort = kTlsPort;
    std::string extraCaFile;  // trusted besides the system's store (tests)
    bool loopbackRemote = false;  // 127.0.0.0/8 taken for another machine (tests)

    size_t Buffered() const { return rxEnd - rxStart; }
    // The first line feed in the buffer, or null.
    const char* FindLineEnd() {
        const char* from = rx.data() + rxScanned;
        const char* lf = static_cast<const char*>(std::memchr(from, '\n', rxEnd - rxScanned));
        rxScanned = lf ? rxScanned : rxEnd;
        return lf;
    }
    void Take(size_t count) {
        rxStart += count;
        if (rxStart == rxEnd) rxStart = rxEnd = 0;
        rxScanned = rxStart;
    }
    void DropInput() { rxStart = rxEnd = rxScanned = 0; }
    // Moves the unread bytes to the front, so the room after them is as large as it can be.
    void Compact() {
        if (rxStart == 0) return;
        const size_t pending = Buffered();
        std::memmove(rx.data(), rx.data() + rxStart, pending);
        rxScanned -= rxStart;
        rxStart = 0;
        rxEnd = pending;
    }
    // A new socket: nothing of the old one's input, session or notifications survives.
    void NewSocket() {
        DropInput();
        closeDeferred = false;
        socketGuard = std::make_shared<int>(0);
        tls.reset();
        wantTls = false;
        tcpOpen = false;
    }

    // Receives as recv does (a count, 0 at the peer's close, SOCKET_ERROR
    // with the Winsock error set), through the TLS session when there is
    // one; kTlsFailed when TLS itself failed, kTlsWantsRoom when it must
    // send first.
    int Receive(char* into, int length) {
        if (!tls) return mg::recv(Socket(), into, length, 0);
        int count = 0;
        switch (tls->Read(into, length, count)) {
            case mg::TlsSession::Result::Ok:
                return count;
            case mg::TlsSession::Result::Closed:
                return 0;
            case mg::TlsSession::Result::WantRead:
                mg::WSASetLastError(mg::WSAEWOULDBLOCK);
                return mg::SOCKET_ERROR;
            case mg::TlsSession::Result::WantWrite:  // the session must answer the peer first
                return kTlsWantsRoom;
            case mg::TlsSession::Result::SocketError:
                mg::WSASetLastError(tls->SocketErrorCode());
                return mg::SOCKET_ERROR;
            case mg::TlsSession::Result::Failed:
                break;
        }
        return kTlsFailed;
    }

    // Sends as send does, through the TLS session when there is one;
    // kTlsFailed when TLS itself failed, kTlsWantsInput when it must read first.
    int Send(const char* from, int length) {
        if (!tls) return mg::send(Socket(), from, length, 0);
        int count = 0;
        switch (tls->Write(from, length, count)) {
            case mg::TlsSession::Result::Ok:
                return count;
            case mg::TlsSession::Result::Closed:
                return 0;
            case mg::TlsSession::Result::WantRead:  // the session must hear from the peer first
                return kTlsWantsInput;
            case mg::TlsSession::Result::WantWrite:
                mg::WSASetLastError(mg::WSAEWOULDBLOCK);
                return mg::SOCKET_ERROR;
            case mg::TlsSession::Result::SocketError:
                mg::WSASetLastError(tls->SocketErrorCode());
                return mg::SOCKET_ERROR;
            case mg::TlsSession::Result::Failed:
                break;
        }
        return kTlsFailed;
    }
    // The lookup under way (0: none) and the buffer of its result, shared
    // with the socket layer. Each lookup has a buffer of its own, and the
    // answer of one given up on is withdrawn and never read.
    mg::HANDLE lookup = 0;
    bool lookupSucceeded = false;
    std::shared_ptr<mg::HostEntryBuffer> hostEntryBuffer;
    mg::WSADATA startupData{};
    mg::SOCKADDR_IN remoteAddress{};
    uint16_t socketHandle = kNoSocket;
    mg::HWND windowHandle = 0;

    mg::SOCKET Socket() const { return socketHandle; }

    // Only reached when construction fails half-way.
    ~Impl() {
        if (socketHandle != kNoSocket) mg::closesocket(socketHandle);
        if (windowHandle) mg::DestroyWindow(windowHandle);
    }
};

namespace {

// A new socket as a 16-bit handle; kNoSocket when the layer gave none.
uint16_t SocketHandleOf(mg::SOCKET s) {
    if (s == mg::INVALID_SOCKET) return kNoSocket;
    if (s >= kNoSocket) {
        mg::closesocket(s);
        throw ERangeError("Range check error");
    }
    return static_cast<uint16_t>(s);
}

}  // namespace

// ----- construction and destruction

TTidewire::TTidewire(TComponent* owner) : TComponent(owner), impl_(std::make_unique<Impl>()) {
    ReportStatus(8, "Create");
    impl_->windowHandle = CreateSocketWindow(this);
    timeoutTimer_ = std::make_unique<TThreadTimer>(this);
    timeoutTimer_->SetEnabled(false);
    timeoutTimer_->SetOnTimer([this](TObject* sender) { TimerTriggered(sender); });
    TimeOut = 0;
    wsaInfo_.clear();
    canceled_ = false;
    finalClose_ = false;
    connected_ = false;
    InitializeWinsock();
}

TTidewire::~TTidewire() {
    BeginDestroy();
    ReportStatus(8, "Destroy");
    try {
        Abort();
        Cancel();
    } catch (...) {
    }
    wsaInfo_.clear();
    timeoutTimer_.reset();
    if (impl_->lookup) mg::WSACancelAsyncRequest(impl_->lookup);
    impl_->hostEntryBuffer.reset();  // an outstanding lookup keeps its own reference
    if (impl_->windowHandle) {
        mg::DestroyWindow(impl_->windowHandle);
        impl_->windowHandle = 0;
    }
    finalClose_ = true;
    try {
        RequestCloseSocket();
    } catch (...) {
    }
    if (--g_winsockUsers == 0) mg::WSACleanup();
}

void TTidewire::InitializeWinsock() {
    ReportStatus(8, "Initializing Winsock");
    try {
        if (++g_winsockUsers == 1) {
            mg::WSAStartup(0x0101, &impl_->startupData);
            const mg::WSADATA& data = impl_->startupData;
            wsaInfo_.push_back("Version= " + VersionText(data.wVersion));
            wsaInfo_.push_back("High Version= " + VersionText(data.wHighVersion));
            wsaInfo_.push_back(std::string("Description= ") + data.szDescription);
            wsaInfo_.push_back(std::string("System= ") + data.szSystemStatus);
            wsaInfo_.push_back("Max Sockets= " + mg::IntToStr(data.iMaxSockets));
            wsaInfo_.push_back("Max Udp pack size= " + mg::IntToStr(data.iMaxUdpDg));
        }
        impl_->socketHandle = SocketHandleOf(mg::socket(mg::WSA_AF_INET, mg::WSA_SOCK_STREAM, mg::WSA_IPPROTO_TCP));
        // Closing this first socket resets the connection instead of lingering.
        const mg::LINGER linger{1, 0};
        mg::setsockopt(impl_->Socket(), mg::WSA_SOL_SOCKET, mg::WSA_SO_LINGER, reinterpret_cast<const char*>(&linger),
                       sizeof linger);
        if (impl_->socketHandle == kNoSocket) {
            std::string msg;
            CheckSocketError(10035, msg);
        }
        mg::WSAAsyncSelect(impl_->Socket(), impl_->windowHandle, SocketEventMessage, kSocketEvents);
    } catch (...) {
        if (--g_winsockUsers == 0) mg::WSACleanup();
        throw ESockError("Initializaton of windows sockets failed");
    }
}

uint16_t TTidewire::SocketHandle() const { return impl_->socketHandle; }
bool TTidewire::Secure() const { return impl_->tls != nullptr && connected_; }
void TTidewire::SetTlsPortForTesting(int32_t port) { impl_->tlsPort = port; }
void TTidewire::SetTrustedCaFileForTesting(const std::string& path) { impl_->extraCaFile = path; }
void TTidewire::SetLoopbackRemoteForTesting(bool remote) { impl_->loopbackRemote = remote; }
mg::HWND TTidewire::WindowHandle() const { return impl_->windowHandle; }
int32_t TTidewire::WinsockUsers() { return g_winsockUsers; }

// ----- status and errors

void TTidewire::ReportStatus(uint8_t level, const std::string& text) {
    if (static_cast<int32_t>(level) > ReportLevel) return;
    status_ = text;
    if (Destroying() || !OnStatus) return;
    try {
        const TOnStatus handler = OnStatus;
        const std::string status = status_;
        handler(this, status);
    } catch (...) {
        // A failing status handler must not break the operation that reported.
    }
}

void TTidewire::CheckSocketError(uint16_t expected, std::string& msg) {
    lastErrorNo_ = mg::WSAGetLastError();
    if (lastErrorNo_ != expected && lastErrorNo_ > 10000) {
        LookupErrorMessage(static_cast<uint16_t>(lastErrorNo_), msg);
        throw ESockError(msg);
    }
}

void TTidewire::LookupErrorMessage(uint16_t code, std::string& msg) {
    ReportStatus(8, "Looking Up Error Message" + msg);
    msg.clear();
    if (code == 0) return;
    bool found = false;
    for (const ErrorText& row : kSocketErrors) {
        if (row.code == code) {
            msg = mg::IntToStr(code) + ":" + row.text;
            found = true;
        }
    }
    if (!found) msg = "Unknown Error No. " + mg::IntToStr(code);
}

// ----- time-out

// The operation's time-out runs from its first wait: an operation that
// never has to wait (a line already received, a send the socket takes at
// once) cannot time out, so it does not start the system timer at all.
void TTidewire::TimerOn() {
    ReportStatus(8, "Timer On");
    timedOut_ = false;
    if (TimeOut < 0) throw ERangeError("Range check error");
    impl_->timerArmed = true;
}

void TTidewire::TimerOff() {
    ReportStatus(8, "Timer Off");
    impl_->timerArmed = false;
    timeoutTimer_->SetEnabled(false);
}

// ----- waits

void TTidewire::Waiter::await_suspend(std::coroutine_handle<> operation) {
    if (self_->waiting_) throw std::logic_error("a second operation waits on the same connection");
    self_->waiting_ = operation;
    self_->waitOver_ = turn_ ? std::function<bool()>([] { return true; }) : std::move(over_);
    // The time-out of the operation runs from its first wait.
    TTidewire& w = *self_;
    if (w.impl_->timerArmed && !w.timeoutTimer_->Enabled()) {
        w.timeoutTimer_->SetInterval(static_cast<uint32_t>(w.TimeOut));
        w.timeoutTimer_->SetEnabled(true);
    }
    // A turn given up by a busy operation lets the timers due run as well.
    if (turn_ || w.waitOver_()) w.Wake(turn_);
}

void TTidewire::Waiter::await_resume() const { self_->impl_->lastDispatch = std::chrono::steady_clock::now(); }

TTidewire::Waiter TTidewire::Until(std::function<bool()> over) { return Waiter(this, std::move(over), false); }
TTidewire::Waiter TTidewire::NextTurn() { return Waiter(this, nullptr, true); }
TTidewire::Waiter TTidewire::InputOrEnd() {
    return Until([this] { return inputSignal_ || canceled_ || timedOut_; });
}
TTidewire::Waiter TTidewire::RoomOrEnd() {
    return Until([this] { return roomSignal_ || canceled_ || timedOut_; });
}

void TTidewire::Wake(bool afterTimers) {
    if (!waiting_ || wakePosted_ || !impl_->windowHandle) return;
    wakePosted_ = afterTimers ? mg::PostMessageAfterTimers(impl_->windowHandle, WakeMessage, 0, 0)
                              : mg::PostMessageA(impl_->windowHandle, WakeMessage, 0, 0);
}

void TTidewire::ResumeWaiter() {
    wakePosted_ = false;
    if (!waiting_ || !waitOver_()) return;
    waitOver_ = nullptr;
    std::exchange(waiting_, nullptr).resume();
}

void TTidewire::TimerTriggered(TObject*) {
    ReportStatus(8, "Timer Triggered");
    TimerOff();
    timedOut_ = true;
    asyncDone_ = true;
    Abort();
    ResumeWaiter();
}

// ----- connection

mg::Task<> TTidewire::ResolveHost() {
    ReportStatus(8, "Resolve Host");
    char* name = impl_->ioBuffer.data();
    const size_t length = std::min(Host.size(), kIOBufferSize - 1);
    std::memcpy(name, Host.data(), length);
    name[length] = '\0';
    const uint32_t address = mg::inet_addr(name);
    if (address != mg::WSA_INADDR_NONE) {
        impl_->remoteAddress.sin_addr = address;
        co_return;
    }
    impl_->remoteAddress.sin_addr = 0;
    TimerOn();
    {
        Finally off{[this] { TimerOff(); }};
        asyncDone_ = false;
        impl_->lookupSucceeded = false;
        // A buffer of its own: a lookup given up on may still write into its own.
        impl_->hostEntryBuffer = std::make_shared<mg::HostEntryBuffer>();
        impl_->lookup = mg::WSAAsyncGetHostByName(impl_->windowHandle, HostLookupMessage, name, impl_->hostEntryBuffer);
        co_await Until([this] { return asyncDone_ || timedOut_ || canceled_; });
        if (!asyncDone_ || timedOut_ || canceled_) {
            // Given up on: its answer must never reach a later attempt.
            if (impl_->lookup) mg::WSACancelAsyncRequest(impl_->lookup);
        }
        impl_->lookup = 0;
    }
    succeeded_ = impl_->lookupSucceeded;
    if (timedOut_) throw ESockError("Host Lookup Timed Out");
    if (canceled_) throw ESockError("Host Lookup Canceled");
    if (!succeeded_) throw ESockError("Host Lookup Failed");
    mg::HOSTENT entry;
    std::memcpy(&entry, impl_->hostEntryBuffer->bytes, sizeof entry);
    char* first = nullptr;
    if (entry.h_addr_list) std::memcpy(&first, entry.h_addr_list, sizeof first);
    if (first) std::memcpy(&impl_->remoteAddress.sin_addr, first, 4);
    if (OnHostResolved) OnHostResolved(this);
}

mg::Task<> TTidewire::Connect() {
    ReportStatus(8, "Connecting");
    canceled_ = false;
    if (connected_) throw ESockError("Already connected");
    int retries = 0;
    for (;;) {
        try {
            co_await ResolveHost();
        } catch (const ESockError& e) {
            if (e.Message == "Host Lookup Timed Out" || e.Message == "Host Lookup Canceled") throw;
        }
        if (impl_->remoteAddress.sin_addr != 0) break;
        if (retries > 0 || !OnInvalidHost) throw ESockError("Null Remote Address");
        bool handled = false;
        OnInvalidHost(handled);
        if (!handled) throw ESockError("Null Remote Address");
        ++retries;
    }
    impl_->remoteAddress.sin_family = mg::WSA_AF_INET;
    impl_->remoteAddress.sin_port = mg::htons(static_cast<uint16_t>(Port & 0xFFFF));
    asyncDone_ = false;
    succeeded_ = true;
    impl_->wantTls = (Port & 0xFFFF) == (impl_->tlsPort & 0xFFFF);
    impl_->tcpOpen = false;
    if (mg::connect(impl_->Socket(), reinterpret_cast<const mg::SOCKADDR*>(&impl_->remoteAddress),
                    sizeof impl_->remoteAddress) == mg::SOCKET_ERROR) {
        std::string msg;
        try {
            CheckSocketError(10035, msg);
        } catch (...) {
            ReplaceSocket();
            throw;
        }
    }
    // One time-out for the whole of it: the TCP connection and, on the TLS
    // port, the handshake.
    std::string tlsFailure;
    bool open = false;
    TimerOn();
    {
        Finally off{[this] { TimerOff(); }};
        co_await Until([this] { return connected_ || impl_->tcpOpen || timedOut_ || canceled_ || !succeeded_; });
        open = !timedOut_ && !canceled_ && succeeded_;
        if (open && impl_->wantTls) open = co_await Handshake(tlsFailure);
    }
    if (open) {
        if (impl_->tls) {
            // A secure connection counts as open once its handshake is done.
            connected_ = true;
            if (OnConnect) OnConnect(this);
        }
        co_return;
    }
    ReplaceSocket();
    if (OnConnectionFailed) OnConnectionFailed(this);
    if (timedOut_) throw ESockError("Connection Timed out");
    if (canceled_) throw ESockError("Connection Canceled");
    if (!tlsFailure.empty()) throw ESockError(tlsFailure);
    throw ESockError("Connection Failed");
}

mg::Task<> TTidewire::UpgradeToTls() {
    CheckConnection();
    impl_->DropInput();
    std::string failure;
    bool secured = false;
    TimerOn();
    {
        Finally off{[this] { TimerOff(); }};
        secured = co_await Handshake(failure);
    }
    if (secured) co_return;
    // The stream is neither plain nor secure any more: nothing more goes on it.
    impl_->tls.reset();
    RequestCloseSocket();
    if (timedOut_) throw ESockError("Connection Timed out");
    if (canceled_) throw ESockError("Connection Canceled");
    throw ESockError(failure.empty() ? "TLS handshake with " + Host + " failed" : failure);
}

bool TTidewire::PeerIsLoopback() const {
    if (impl_->loopbackRemote) return false;
    unsigned char first = 0;  // the address is in network order: its first octet first
    std::memcpy(&first, &impl_->remoteAddress.sin_addr, 1);
    return first == 127;
}

mg::Task<bool> TTidewire::Handshake(std::string& failure) {
    ReportStatus(8, "TLS Handshake");
    Impl& io = *impl_;
    io.tls = std::make_unique<mg::TlsSession>(io.Socket(), Host, io.extraCaFile);
    if (!io.tls->Start()) {
        failure = io.tls->Error();
        co_return false;
    }
    io.handshaking = true;
    Finally done{[&io] { io.handshaking = false; }};
    const std::string prefix = "TLS handshake with " + Host + " failed: ";
    for (;;) {
        if (!io.tls) {  // the socket was closed while the handshake waited
            failure = prefix + "the connection was closed";
            co_return false;
        }
        inputSignal_ = roomSignal_ = false;
        switch (io.tls->Handshake()) {
            case mg::TlsSession::Result::Ok:
                co_return true;
            case mg::TlsSession::Result::WantRead:
                if (timedOut_ || canceled_) co_return false;
                co_await InputOrEnd();
                if (timedOut_ || canceled_) co_return false;
                break;
            case mg::TlsSession::Result::WantWrite:
                mg::WatchWritable(io.Socket());
                co_await RoomOrEnd();
                if (timedOut_ || canceled_) co_return false;
                break;
            case mg::TlsSession::Result::Closed:
                failure = prefix + "the server closed the connection";
                co_return false;
            case mg::TlsSession::Result::SocketError: {
                std::string msg;
                LookupErrorMessage(static_cast<uint16_t>(io.tls->SocketErrorCode()), msg);
                failure = prefix + msg;
                co_return false;
            }
            case mg::TlsSession::Result::Failed:
                failure = io.tls->Error();
                co_return false;
        }
    }
}

void TTidewire::Disconnect() {
    ReportStatus(8, "Disconnecting");
    RequestCloseSocket();
}

void TTidewire::Abort() {
    ReportStatus(8, "Abort");
    Cancel();
}

void TTidewire::Cancel() {
    ReportStatus(8, "Canceling");
    canceled_ = true;
    Wake();  // a wait in progress sees it at its next turn
}

void TTidewire::CheckConnection() {
    ReportStatus(8, "Checking Connection");
    int pass = 0;
    while (!connected_) {
        if (pass > 0 || !OnConnectionRequired) throw Exception("Not Connected");
        bool handled = false;
        OnConnectionRequired(handled);
        if (!handled) throw Exception("Not Connected");
        ++pass;
    }
}

void TTidewire::RequestCloseSocket() {
    ReportStatus(4, "Request Close Socket");
    connected_ = false;
    if (impl_->socketHandle == kNoSocket) return;
    if (impl_->tls) {
        // The close notification goes before the socket, and the socket
        // closes gracefully, so that it is not dropped by a reset.
        impl_->tls->Close();
        const mg::LINGER graceful{0, 0};
        mg::setsockopt(impl_->Socket(), mg::WSA_SOL_SOCKET, mg::WSA_SO_LINGER, reinterpret_cast<const char*>(&graceful),
                       sizeof graceful);
    }
    if (mg::closesocket(impl_->Socket()) != 0) {
        std::string msg;
        CheckSocketError(10035, msg);
        return;
    }
    // The number may be handed out again at once; never use it after the close.
    impl_->socketHandle = kNoSocket;
    impl_->NewSocket();
    // A read or send waiting on the old socket tries again and meets the close.
    inputSignal_ = roomSignal_ = true;
    Wake();
    if (!Destroying() && OnDisconnect) OnDisconnect(this);
    if (finalClose_) return;
    impl_->socketHandle = SocketHandleOf(mg::socket(mg::WSA_AF_INET, mg::WSA_SOCK_STREAM, 0));
    if (impl_->socketHandle == kNoSocket) {
        std::string msg;
        CheckSocketError(10035, msg);
        return;
    }
    mg::WSAAsyncSelect(impl_->Socket(), impl_->windowHandle, SocketEventMessage, kSocketEvents);
}

void TTidewire::ReplaceSocket() {
    // A socket whose connect failed cannot be connected again: the next
    // Connect gets a fresh one. Nothing was open, so no OnDisconnect.
    connected_ = false;
    if (impl_->socketHandle != kNoSocket) mg::closesocket(impl_->Socket());
    impl_->socketHandle = kNoSocket;
    impl_->NewSocket();
    if (finalClose_) return;
    impl_->socketHandle = SocketHandleOf(mg::socket(mg::WSA_AF_INET, mg::WSA_SOCK_STREAM, 0));
    if (impl_->socketHandle != kNoSocket)
        mg::WSAAsyncSelect(impl_->Socket(), impl_->windowHandle, SocketEventMessage, kSocketEvents);
}

void TTidewire::HandleSocketMessage(TMessage& message) {
    try {
        if (message.Msg == WakeMessage) {
            ResumeWaiter();
            return;
        }
        // The answer of a lookup given up on (or of another component's) is
        // not this attempt's.
        if (message.Msg == HostLookupMessage && (impl_->lookup == 0 || message.WParam != impl_->lookup)) return;
        succeeded_ = mg::WSAGETSELECTERROR(message.LParam) == 0;
        if (message.Msg == SocketEventMessage) {
            switch (mg::WSAGETSELECTEVENT(message.LParam)) {
                case mg::FD_ACCEPT:
                    connected_ = true;
                    break;
                case mg::FD_CONNECT:
                    if (succeeded_) {
                        if (impl_->wantTls) {
                            impl_->tcpOpen = true;  // open, and OnConnect, after the handshake
                        } else {
                            connected_ = true;
                            if (OnConnect) OnConnect(this);
                        }
                    }
                    break;
                case mg::FD_CLOSE:
                    // With data still unread the close waits: the data stays
                    // readable, and the notification comes again once it is
                    // taken. A handshake in progress meets the close itself.
                    // A read waiting for input meets an orderly close itself,
                    // as the end of the data, before the socket goes.
                    inputSignal_ = true;
                    if (!impl_->handshaking && !(readWaiting_ && succeeded_) && !DataAvailable()) {
                        RequestCloseSocket();
                    } else {
                        impl_->closeDeferred = true;
                        impl_->closeParam = message.LParam;
                    }
                    break;
                case mg::FD_READ:
                case mg::FD_OOB:
                    inputSignal_ = true;  // fetched by the waiting read
                    break;
                case mg::FD_WRITE:
                    roomSignal_ = true;
                    break;
                default:
                    break;
            }
        } else if (message.Msg == HostLookupMessage) {
            asyncDone_ = true;
            impl_->lookupSucceeded = succeeded_;
        }
        // Resumed right here, before whatever the queue holds next (a close
        // that follows a connect, say) changes the state it was woken for.
        ResumeWaiter();
    } catch (...) {
        // A notification never raises into the message loop.
    }
}

// ----- input and output

mg::Task<> TTidewire::SendBuffer(const char* buffer, uint16_t length) {
    ReportStatus(4, "Sending Buffer");
    TimerOn();
    Finally off{[this] { TimerOff(); }};
    if (!canceled_) {
        size_t total = length;
        if (length == 0) {
            total = std::strlen(buffer);
            if (total > 65535) throw ERangeError("Range check error");
        }
        size_t remaining = total;
        do {
            roomSignal_ = inputSignal_ = false;
            const int sent = impl_->Send(buffer + (total - remaining), static_cast<int>(remaining));
            if (sent == kTlsFailed) FailSecureConnection();
            if (sent == 0) break;
            if (sent > 0) {
                remaining -= static_cast<size_t>(sent);
            } else if (sent == kTlsWantsInput) {
                co_await InputOrEnd();
            } else {
                std::string msg;
                CheckSocketError(10035, msg);
                // Would block: the peer does not read. Wait for room, with
                // the time-out running, while the event loop goes on.
                mg::WatchWritable(impl_->Socket());
                co_await RoomOrEnd();
            }
        } while (remaining != 0 && !canceled_);
    }
    if (canceled_) {
        canceled_ = false;
        throw EAbortError("Socket send aborted");
    }
}

mg::Task<> TTidewire::Write(std::string text) {
    ReportStatus(8, "Write");
    char* buffer = impl_->ioBuffer.data();
    const size_t length = std::min(text.size(), kIOBufferSize - 1);
    std::memcpy(buffer, text.data(), length);
    buffer[length] = '\0';
    co_await SendBuffer(buffer, 0);
}

mg::Task<> TTidewire::Writeln(std::string text) {
    ReportStatus(8, "Writeln");
    text += "\r\n";
    co_await Write(std::move(text));
}

bool TTidewire::ReadBufferedLine(std::string& line) {
    Impl& in = *impl_;
    const char* lf = in.FindLineEnd();
    if (!lf || canceled_ || std::chrono::steady_clock::now() - in.lastDispatch > kBusyDispatchInterval) return false;
    ReportStatus(8, "ReadLn");
    TimerOn();
    const char* first = in.rx.data() + in.rxStart;
    line.assign(first, lf + 1);
    in.Take(static_cast<size_t>(lf + 1 - first));
    if (in.Buffered() == 0) PostDeferredClose();
    TimerOff();
    return true;
}

mg::Task<std::string> TTidewire::ReadLn() {
    ReportStatus(8, "ReadLn");
    TimerOn();
    Finally off{[this] {
        readWaiting_ = false;
        TimerOff();
    }};
    Impl& in = *impl_;
    for (;;) {
        if (const char* lf = in.FindLineEnd()) {
            if (std::chrono::steady_clock::now() - in.lastDispatch > kBusyDispatchInterval) {
                co_await NextTurn();  // a handler may cancel, or close the socket
                continue;
            }
            if (canceled_) break;  // the line stays for the next read
            const char* first = in.rx.data() + in.rxStart;
            std::string line(first, lf + 1);
            in.Take(static_cast<size_t>(lf + 1 - first));
            if (in.Buffered() == 0) PostDeferredClose();
            co_return line;
        }
        if (in.Buffered() == static_cast<size_t>(kMaxLine)) {
            // The socket's reply stream can no longer be followed: close it.
            try {
                RequestCloseSocket();
            } catch (...) {
            }
            throw ESockError("Socket readln line too long");
        }
        // No whole line yet: take whatever the socket holds, as much as fits.
        in.Compact();
        inputSignal_ = roomSignal_ = false;
        const int got = in.Receive(in.rx.data() + in.rxEnd, kMaxLine - static_cast<int>(in.rxEnd));
        if (got == kTlsFailed) FailSecureConnection();
        if (got > 0) {
            in.rxEnd += static_cast<size_t>(got);
            continue;
        }
        if (got == 0) {  // orderly close by the peer: a line without its end is lost
            in.DropInput();
            PostDeferredClose();
            co_return std::string();
        }
        if (got == kTlsWantsRoom) {  // TLS answers the peer before it reads on
            mg::WatchWritable(in.Socket());
            co_await RoomOrEnd();
            if (canceled_) break;
            continue;
        }
        lastErrorNo_ = mg::WSAGetLastError();
        if (lastErrorNo_ == mg::WSAENOTCONN) {
            // The socket has been closed and replaced (the close notification,
            // or an Abort from a handler, which also cancels the read).
            in.DropInput();
            if (canceled_) break;
            co_return std::string();
        }
        std::string msg;
        CheckSocketError(10035, msg);
        // Nothing to read yet: wait for input, a cancel or the time-out.
        if (canceled_) break;
        readWaiting_ = true;
        co_await InputOrEnd();
        readWaiting_ = false;
        if (canceled_) break;
    }
    canceled_ = false;
    throw EAbortError("Socket readln aborted");
}

void TTidewire::PostDeferredClose() {
    Impl& in = *impl_;
    if (!in.closeDeferred) return;
    in.closeDeferred = false;
    mg::PostGuardedMessage(in.windowHandle, SocketEventMessage, in.socketHandle, in.closeParam,
                           std::weak_ptr<const void>(std::static_pointer_cast<const void>(in.socketGuard)));
}

mg::Task<std::string> TTidewire::Transaction(std::string command) {
    ReportStatus(8, "Transaction");
    replyNumber_ = 0;
    co_await Writeln(std::move(command));
    const std::string line = co_await ReadLn();
    NoteReply(line);
    co_return transactionReply_;
}

void TTidewire::NoteReply(const std::string& line) {
    replyNumber_ = 0;
    transactionReply_ = line;
    if (!transactionReply_.empty()) {
        ReportStatus(1, transactionReply_);
        int64_t value = 0;
        size_t digits = 0;
        while (digits < transactionReply_.size() && digits < 10 && transactionReply_[digits] >= '0' &&
               transactionReply_[digits] <= '9') {
            value = value * 10 + (transactionReply_[digits] - '0');
            ++digits;
        }
        if (digits > 0) {
            if (value > 32767) throw ERangeError("Range check error");
            replyNumber_ = static_cast<int16_t>(value);
        }
    }
}

void TTidewire::FailSecureConnection() {
    // The stream can no longer be followed: close it.
    const std::string why = impl_->tls ? impl_->tls->Error() : std::string("TLS failed");
    try {
        RequestCloseSocket();
    } catch (...) {
    }
    throw ESockError(why);
}

bool TTidewire::DataAvailable() {
    ReportStatus(8, "Data Available");
    if (impl_->Buffered() > 0 || (impl_->tls && impl_->tls->HasPending())) return true;
    char byte;
    return mg::recv(impl_->Socket(), &byte, 1, mg::WSA_MSG_PEEK) >= 1;
}

void TTidewire::ClearInput() {
    ReportStatus(8, "Clearing Input");
    impl_->DropInput();
    impl_->Receive(impl_->scratch.data(), static_cast<int>(impl_->scratch.size()));
    PostDeferredClose();
}

mg::Task<uint16_t> TTidewire::Accept() {
    ReportStatus(4, "Accepting");
    co_await Until([this] { return asyncDone_ || canceled_; });
    if (canceled_) throw ESockError("Accepting Canceled");
    if (!succeeded_) throw ESockError("Error creating Data Connection");
    mg::SOCKADDR_IN peer{};
    int length = sizeof peer;
    const uint16_t accepted =
        SocketHandleOf(mg::accept(impl_->Socket(), reinterpret_cast<mg::SOCKADDR*>(&peer), &length));
    mg::WSAAsyncSelect(accepted, impl_->windowHandle, SocketEventMessage, kSocketEvents);
    impl_->remoteAddress = peer;
    if (canceled_) {
        canceled_ = false;
        throw EAbortError("Socket send aborted");
    }
    co_return accepted;
}
