#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <thread>
#include <unordered_map>

#include "platform/winsock.h"

namespace mg {
namespace {

thread_local int t_lastError = 0;
int g_startups = 0;

int Fail(int code) {
    t_lastError = code;
    return SOCKET_ERROR;
}

// One socket made here, with its notification state.
struct Sock {
    int fd = -1;
    HWND window = 0;
    uint32_t msg = 0;
    long events = 0;
    bool established = false;  // connected: read notifications may run
    bool closeSeen = false;    // FD_CLOSE posted: no more read notifications
    std::unique_ptr<QSocketNotifier> readable;
    std::unique_ptr<QSocketNotifier> writable;  // the connect's outcome
    std::unique_ptr<QSocketNotifier> sendable;  // room to send again (WatchWritable)
};

bool g_sendsStalled = false;

std::unordered_map<SOCKET, std::shared_ptr<Sock>>& Sockets() {
    static std::unordered_map<SOCKET, std::shared_ptr<Sock>> sockets;
    return sockets;
}

std::shared_ptr<Sock> Find(SOCKET s) {
    auto it = Sockets().find(s);
    return it == Sockets().end() ? nullptr : it->second;
}

std::map<std::string, int>& Injected() {
    static std::map<std::string, int> injected;
    return injected;
}

// True (with the error set) when a failure was injected for this call.
bool Injection(const char* call) {
    auto it = Injected().find(call);
    if (it == Injected().end()) return false;
    t_lastError = it->second;
    Injected().erase(it);
    return true;
}

void Notify(const std::shared_ptr<Sock>& sock, long event, int error) {
    if (!(sock->events & event) || !sock->window) return;
    PostGuardedMessage(sock->window, sock->msg, static_cast<uintptr_t>(sock->fd),
                       WSAMAKESELECTREPLY(static_cast<int>(event), error),
                       std::weak_ptr<const void>(std::static_pointer_cast<const void>(sock)));
}

void OnReadable(const std::weak_ptr<Sock>& weak) {
    auto sock = weak.lock();
    if (!sock) return;
    sock->readable->setEnabled(false);  // re-armed by the next recv
    char byte;
    const ssize_t n = ::recv(sock->fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n > 0) {
        Notify(sock, FD_READ, 0);
    } else if (n == 0) {
        sock->closeSeen = true;
        Notify(sock, FD_CLOSE, 0);
    } else if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
        sock->readable->setEnabled(true);
    } else {
        sock->closeSeen = true;
        Notify(sock, FD_CLOSE, WinsockErrorFromErrno(errno));
    }
}

void ArmRead(const std::shared_ptr<Sock>& sock) {
    if (sock->closeSeen || !(sock->events & (FD_READ | FD_CLOSE | FD_OOB))) return;
    if (!sock->readable) {
        sock->readable = std::make_unique<QSocketNotifier>(sock->fd, QSocketNotifier::Read);
        std::weak_ptr<Sock> weak = sock;
        QObject::connect(sock->readable.get(), &QSocketNotifier::activated, sock->readable.get(),
                         [weak] { OnReadable(weak); });
    }
    sock->readable->setEnabled(true);
}

void OnConnectDone(const std::weak_ptr<Sock>& weak) {
    auto sock = weak.lock();
    if (!sock) return;
    sock->writable->setEnabled(false);
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(sock->fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
    if (error == 0) {
        sock->established = true;
        ArmRead(sock);
    }
    Notify(sock, FD_CONNECT, error == 0 ? 0 : WinsockErrorFromErrno(error));
}

void WatchConnect(const std::shared_ptr<Sock>& sock) {
    if (!sock->writable) {
        sock->writable = std::make_unique<QSocketNotifier>(sock->fd, QSocketNotifier::Write);
        std::weak_ptr<Sock> weak = sock;
        QObject::connect(sock->writable.get(), &QSocketNotifier::activated, sock->writable.get(),
                         [weak] { OnConnectDone(weak); });
    }
    sock->writable->setEnabled(true);
}

void RearmAfterReceive(const std::shared_ptr<Sock>& sock) {
    if (sock->established && sock->readable) ArmRead(sock);
}

SOCKET Adopt(int fd) {
    auto sock = std::make_shared<Sock>();
    sock->fd = fd;
    Sockets()[static_cast<SOCKET>(fd)] = sock;
    return static_cast<SOCKET>(fd);
}

// ----- host lookups

HostResolver& CurrentResolver() {
    static HostResolver resolver;
    return resolver;
}

std::atomic<int> g_pendingLookups{0};
HANDLE g_nextRequest = 1;

struct Lookup {
    HANDLE handle = 0;
    HWND window = 0;
    uint32_t msg = 0;
    std::string name;
    std::shared_ptr<HostEntryBuffer> buffer;
    bool cancelled = false;
};

std::map<HANDLE, std::shared_ptr<Lookup>>& Lookups() {
    static std::map<HANDLE, std::shared_ptr<Lookup>> lookups;
    return lookups;
}

int SystemResolve(const std::string& name, std::vector<uint32_t>& addresses) {
    if (name.empty()) return WSAHOST_NOT_FOUND;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    const int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &result);
    switch (rc) {
        case 0: break;
        case EAI_NONAME: return WSAHOST_NOT_FOUND;
        case EAI_AGAIN: return WSATRY_AGAIN;
#ifdef EAI_NODATA
        case EAI_NODATA: return WSANO_DATA;
#endif
#ifdef EAI_ADDRFAMILY
        case EAI_ADDRFAMILY: return WSANO_DATA;
#endif
        default: return WSANO_RECOVERY;
    }
    for (addrinfo* ai = result; ai; ai = ai->ai_next) {
        if (ai->ai_family != AF_INET || ai->ai_addrlen < sizeof(sockaddr_in)) continue;
        sockaddr_in in;
        std::memcpy(&in, ai->ai_addr, sizeof in);
        if (std::find(addresses.begin(), addresses.end(), in.sin_addr.s_addr) == addresses.end())
            addresses.push_back(in.sin_addr.s_addr);
    }
    ::freeaddrinfo(result);
    return 0;
}

// Writes the host entry into the buffer: the record, the (empty) alias list,
// the address list, the addresses, the name. Returns the bytes needed, and
// 0 in `error` when they fit.
uint16_t WriteHostEntry(HostEntryBuffer& buffer, const std::string& name, const std::vector<uint32_t>& addresses,
                        int& error) {
    constexpr size_t ptr = sizeof(char*);
    const size_t aliasesAt = (sizeof(HOSTENT) + ptr - 1) / ptr * ptr;
    const size_t listAt = aliasesAt + ptr;
    const size_t addressesAt = listAt + (addresses.size() + 1) * ptr;
    const size_t nameAt = addressesAt + 4 * addresses.size();
    const size_t needed = nameAt + name.size() + 1;
    if (needed > sizeof buffer.bytes) {
        error = WSAENOBUFS;
        return static_cast<uint16_t>(std::min<size_t>(needed, 0xFFFF));
    }
    char* base = buffer.bytes;
    std::memset(base, 0, needed);
    HOSTENT entry{};
    entry.h_name = base + nameAt;
    entry.h_aliases = reinterpret_cast<char**>(base + aliasesAt);
    entry.h_addrtype = WSA_AF_INET;
    entry.h_length = 4;
    entry.h_addr_list = reinterpret_cast<char**>(base + listAt);
    std::memcpy(base, &entry, sizeof entry);
    for (size_t i = 0; i < addresses.size(); ++i) {
        char* address = base + addressesAt + 4 * i;
        std::memcpy(address, &addresses[i], 4);
        std::memcpy(base + listAt + i * ptr, &address, ptr);
    }
    std::memcpy(base + nameAt, name.c_str(), name.size() + 1);
    error = 0;
    return static_cast<uint16_t>(needed);
}

void CompleteLookup(const std::shared_ptr<Lookup>& lookup, int error, const std::vector<uint32_t>& addresses) {
    --g_pendingLookups;
    Lookups().erase(lookup->handle);
    if (lookup->cancelled) return;
    uint16_t length = 0;
    if (error == 0 && addresses.empty()) error = WSANO_DATA;
    if (error == 0) length = WriteHostEntry(*lookup->buffer, lookup->name, addresses, error);
    SendMessageA(lookup->window, lookup->msg, lookup->handle, WSAMAKESELECTREPLY(length, error));
}

}  // namespace

int WinsockErrorFromErrno(int error) {
    switch (error) {
        case EINTR: return 10004;
        case EBADF: return 10009;
        case EACCES: case EPERM: return 10013;
        case EFAULT: return 10014;
        case EINVAL: return 10022;
        case EMFILE: case ENFILE: return 10024;
        case EAGAIN: return 10035;  // EWOULDBLOCK is the same value
        case EINPROGRESS: return 10036;
        case EALREADY: return 10037;
        case ENOTSOCK: return 10038;
        case EDESTADDRREQ: return 10039;
        case EMSGSIZE: return 10040;
        case EPROTOTYPE: return 10041;
        case ENOPROTOOPT: return 10042;
        case EPROTONOSUPPORT: return 10043;
        case ESOCKTNOSUPPORT: return 10044;
        case EOPNOTSUPP: return 10045;
        case EPFNOSUPPORT: return 10046;
        case EAFNOSUPPORT: return 10047;
        case EADDRINUSE: return 10048;
        case EADDRNOTAVAIL: return 10049;
        case ENETDOWN: return 10050;
        case ENETUNREACH: return 10051;
        case ENETRESET: return 10052;
        case ECONNABORTED: return 10053;
        case ECONNRESET: return 10054;
        case ENOBUFS: case ENOMEM: return 10055;
        case EISCONN: return 10056;
        case ENOTCONN: return 10057;
        case ESHUTDOWN: case EPIPE: return 10058;
        case ETOOMANYREFS: return 10059;
        case ETIMEDOUT: return 10060;
        case ECONNREFUSED: return 10061;
        case ELOOP: return 10062;
        case ENAMETOOLONG: return 10063;
        case EHOSTDOWN: return 10064;
        case EHOSTUNREACH: return 10065;
        case ENOTEMPTY: return 10066;
        case EUSERS: return 10068;
        case EDQUOT: return 10069;
        case ESTALE: return 10070;
        case EREMOTE: return 10071;
        default: return WSASYSCALLFAILURE;
    }
}

int WSAStartup(uint16_t versionRequested, WSADATA* data) {
    if (!data) return WSAEINVAL;
    *data = WSADATA{};
    data->wVersion = 0x0101;
    data->wHighVersion = 0x0101;
    std::strncpy(data->szDescription, "Mailgrove sockets over POSIX", WSADESCRIPTION_LEN);
    std::strncpy(data->szSystemStatus, "Running", WSASYS_STATUS_LEN);
    data->iMaxSockets = 65534;
    data->iMaxUdpDg = 65507;
    if ((versionRequested & 0xFF) < 1) return 10092;  // WSAVERNOTSUPPORTED
    ++g_startups;
    return 0;
}

int WSACleanup() {
    if (g_startups == 0) return Fail(WSANOTINITIALISED);
    --g_startups;
    return 0;
}

int WSAGetLastError() { return t_lastError; }
void WSASetLastError(int code) { t_lastError = code; }
int WSAStartupCount() { return g_startups; }

SOCKET socket(int af, int type, int protocol) {
    if (Injection("socket")) return INVALID_SOCKET;
    if (g_startups == 0) {
        Fail(WSANOTINITIALISED);
        return INVALID_SOCKET;
    }
    const int family = af == WSA_AF_INET ? AF_INET : af;
    const int kind = type == WSA_SOCK_STREAM ? SOCK_STREAM : type;
    const int fd = ::socket(family, kind | SOCK_CLOEXEC, protocol);
    if (fd < 0) {
        Fail(WinsockErrorFromErrno(errno));
        return INVALID_SOCKET;
    }
    return Adopt(fd);
}

int setsockopt(SOCKET s, int level, int option, const char* value, int length) {
    if (Injection("setsockopt")) return SOCKET_ERROR;
    auto sock = Find(s);
    if (!sock) return Fail(WSAENOTSOCK);
    if (level != WSA_SOL_SOCKET || option != WSA_SO_LINGER) return Fail(WSAENOPROTOOPT);
    if (!value || length < static_cast<int>(sizeof(LINGER))) return Fail(10014);
    LINGER in;
    std::memcpy(&in, value, sizeof in);
    linger out{};
    out.l_onoff = in.l_onoff != 0;
    out.l_linger = in.l_linger;
    if (::setsockopt(sock->fd, SOL_SOCKET, SO_LINGER, &out, sizeof out) != 0) return Fail(WinsockErrorFromErrno(errno));
    return 0;
}

int connect(SOCKET s, const SOCKADDR* name, int nameLength) {
    if (Injection("connect")) return SOCKET_ERROR;
    auto sock = Find(s);
    if (!sock) return Fail(WSAENOTSOCK);
    if (!name || nameLength < static_cast<int>(sizeof(SOCKADDR_IN))) return Fail(10014);
    SOCKADDR_IN in;
    std::memcpy(static_cast<void*>(&in), static_cast<const void*>(name), sizeof in);
    sockaddr_in to{};
    to.sin_family = static_cast<sa_family_t>(in.sin_family == WSA_AF_INET ? AF_INET : in.sin_family);
    to.sin_port = in.sin_port;
    to.sin_addr.s_addr = in.sin_addr;
    const bool notified = sock->events != 0;
    if (::connect(sock->fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) {
        if (!notified) return 0;
        sock->established = true;
        ArmRead(sock);
        Notify(sock, FD_CONNECT, 0);
        return Fail(WSAEWOULDBLOCK);
    }
    const int error = errno;
    if (notified && error == EINPROGRESS) {
        WatchConnect(sock);
        return Fail(WSAEWOULDBLOCK);
    }
    if (notified && (error == ECONNREFUSED || error == ETIMEDOUT || error == ENETUNREACH || error == EHOSTUNREACH)) {
        // Winsock reports the outcome of an asynchronous connect only by notification.
        Notify(sock, FD_CONNECT, WinsockErrorFromErrno(error));
        return Fail(WSAEWOULDBLOCK);
    }
    return Fail(WinsockErrorFromErrno(error));
}

int send(SOCKET s, const char* buffer, int length, int flags) {
    if (Injection("send")) return SOCKET_ERROR;
    if (g_sendsStalled) return Fail(WSAEWOULDBLOCK);
    auto sock = Find(s);
    if (!sock) return Fail(WSAENOTSOCK);
    if (length < 0 || (!buffer && length > 0)) return Fail(10014);
    const ssize_t n = ::send(sock->fd, buffer, static_cast<size_t>(length), (flags & 1 ? MSG_OOB : 0) | MSG_NOSIGNAL);
    if (n < 0) return Fail(WinsockErrorFromErrno(errno));
    return static_cast<int>(n);
}

int recv(SOCKET s, char* buffer, int length, int flags) {
    if (Injection("recv")) return SOCKET_ERROR;
    auto sock = Find(s);
    if (!sock) return Fail(WSAENOTSOCK);
    if (length < 0 || (!buffer && length > 0)) return Fail(10014);
    const ssize_t n = ::recv(sock->fd, buffer, static_cast<size_t>(length), flags & WSA_MSG_PEEK ? MSG_PEEK : 0);
    const int error = errno;
    RearmAfterReceive(sock);
    if (n < 0) return Fail(WinsockErrorFromErrno(error));
    return static_cast<int>(n);
}

int closesocket(SOCKET s) {
    if (Injection("closesocket")) return SOCKET_ERROR;
    auto it = Sockets().find(s);
    if (it == Sockets().end()) return Fail(WSAENOTSOCK);
    const int fd = it->second->fd;
    Sockets().erase(it);  // its notifiers go first, and with them its queued messages
    if (::close(fd) != 0) return Fail(WinsockErrorFromErrno(errno));
    return 0;
}

SOCKET accept(SOCKET s, SOCKADDR* address, int* addressLength) {
    auto sock = Find(s);
    if (!sock) {
        Fail(WSAENOTSOCK);
        return INVALID_SOCKET;
    }
    sockaddr_in from{};
    socklen_t length = sizeof from;
    const int fd = ::accept4(sock->fd, reinterpret_cast<sockaddr*>(&from), &length, SOCK_CLOEXEC);
    RearmAfterReceive(sock);
    if (fd < 0) {
        Fail(WinsockErrorFromErrno(errno));
        return INVALID_SOCKET;
    }
    if (address && addressLength && *addressLength >= static_cast<int>(sizeof(SOCKADDR_IN))) {
        SOCKADDR_IN out;
        out.sin_family = WSA_AF_INET;
        out.sin_port = from.sin_port;
        out.sin_addr = from.sin_addr.s_addr;
        std::memcpy(static_cast<void*>(address), static_cast<const void*>(&out), sizeof out);
        *addressLength = sizeof out;
    }
    return Adopt(fd);
}

uint32_t inet_addr(const char* text) { return text ? ::inet_addr(text) : WSA_INADDR_NONE; }

uint16_t (htons)(uint16_t value) {
    const uint8_t bytes[2] = {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
    uint16_t result;
    std::memcpy(&result, bytes, 2);
    return result;
}

int WSAAsyncSelect(SOCKET s, HWND window, uint32_t msg, long events) {
    auto sock = Find(s);
    if (!sock) return Fail(WSAENOTSOCK);
    const int flags = ::fcntl(sock->fd, F_GETFL);
    if (flags < 0 || ::fcntl(sock->fd, F_SETFL, flags | O_NONBLOCK) != 0) return Fail(WinsockErrorFromErrno(errno));
    sock->window = window;
    sock->msg = msg;
    sock->events = events;
    if (events == 0) {
        sock->readable.reset();
        sock->writable.reset();
        sock->sendable.reset();
        return 0;
    }
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    if (::getpeername(sock->fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0) {
        sock->established = true;
        ArmRead(sock);
    }
    return 0;
}

HANDLE WSAAsyncGetHostByName(HWND window, uint32_t msg, const char* name, std::shared_ptr<HostEntryBuffer> buffer) {
    if (!name || !buffer) {
        Fail(10014);
        return 0;
    }
    auto lookup = std::make_shared<Lookup>();
    lookup->handle = g_nextRequest++;
    lookup->window = window;
    lookup->msg = msg;
    lookup->name = name;
    lookup->buffer = std::move(buffer);
    Lookups()[lookup->handle] = lookup;
    ++g_pendingLookups;
    HostResolver resolver = CurrentResolver() ? CurrentResolver() : HostResolver(SystemResolve);
    std::thread([lookup, resolver = std::move(resolver)] {
        std::vector<uint32_t> addresses;
        const int error = resolver(lookup->name, addresses);
        if (!PostToGuiThread([lookup, error, addresses] { CompleteLookup(lookup, error, addresses); }))
            --g_pendingLookups;
    }).detach();
    return lookup->handle;
}

int WSACancelAsyncRequest(HANDLE request) {
    auto it = Lookups().find(request);
    if (it == Lookups().end()) return Fail(WSAEINVAL);
    it->second->cancelled = true;
    return 0;
}

void WatchWritable(SOCKET s) {
    auto sock = Find(s);
    if (!sock || !(sock->events & FD_WRITE)) return;
    if (!sock->sendable) {
        sock->sendable = std::make_unique<QSocketNotifier>(sock->fd, QSocketNotifier::Write);
        std::weak_ptr<Sock> weak = sock;
        QObject::connect(sock->sendable.get(), &QSocketNotifier::activated, sock->sendable.get(), [weak] {
            auto sock = weak.lock();
            if (!sock) return;
            sock->sendable->setEnabled(false);
            if (!g_sendsStalled) Notify(sock, FD_WRITE, 0);
        });
    }
    sock->sendable->setEnabled(true);
}

bool WaitUntilReadable(SOCKET s, int timeoutMs) {
    auto sock = Find(s);
    if (!sock) return false;
    pollfd p{sock->fd, POLLIN, 0};
    const int n = ::poll(&p, 1, timeoutMs < 0 ? -1 : timeoutMs);
    return n > 0;
}

void SetHostResolver(HostResolver resolver) { CurrentResolver() = std::move(resolver); }

int PendingHostLookups() { return g_pendingLookups; }

void InjectSocketFailure(const std::string& call, int code) { Injected()[call] = code; }

void SetSendsStalled(bool stalled) { g_sendsStalled = stalled; }

}  // namespace mg
