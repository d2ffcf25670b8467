// The Windows Sockets 1.1 subset the socket component uses, over POSIX
// non-blocking sockets.
//
// A socket handed to WSAAsyncSelect becomes non-blocking and reports its
// events as a message to a window (platform/winmsg.h): the first parameter is
// the socket, the second holds the event in its low 16 bits and an error code
// in its high 16 bits. As in Winsock:
//   - a connect on such a socket answers WSAEWOULDBLOCK and its outcome
//     arrives as FD_CONNECT (with the error code of a failed attempt);
//   - FD_READ is posted once when data is waiting and again only after the
//     next recv (peek or not) finds data still queued, so unread data does not
//     flood the queue;
//   - FD_CLOSE is posted once, when the peer's close or reset is seen with no
//     data left to read.
// Closing a socket withdraws its notifications that are still queued.
//
// Error codes are Winsock's (errno is mapped: ECONNREFUSED is 10061, and so
// on), kept per thread and read with WSAGetLastError. A host lookup runs on a
// worker thread; its result is written into the caller's buffer and its
// completion message delivered on the GUI thread, in turn with the other
// messages. The buffer is shared, so it stays valid for a lookup whose caller
// has gone away.
//
// Everything here is for the GUI thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/winmsg.h"

namespace mg {

using SOCKET = uintptr_t;
using HANDLE = uintptr_t;
inline constexpr SOCKET INVALID_SOCKET = ~SOCKET(0);
inline constexpr int SOCKET_ERROR = -1;

// Constants under names of their own: the POSIX headers define the usual ones as macros.
inline constexpr int WSA_AF_INET = 2;
inline constexpr int WSA_SOCK_STREAM = 1;
inline constexpr int WSA_IPPROTO_TCP = 6;
inline constexpr int WSA_SOL_SOCKET = 0xFFFF;
inline constexpr int WSA_SO_LINGER = 0x0080;
inline constexpr int WSA_MSG_PEEK = 2;
inline constexpr uint32_t WSA_INADDR_NONE = 0xFFFFFFFFu;

inline constexpr long FD_READ = 1;
inline constexpr long FD_WRITE = 2;
inline constexpr long FD_OOB = 4;
inline constexpr long FD_ACCEPT = 8;
inline constexpr long FD_CONNECT = 16;
inline constexpr long FD_CLOSE = 32;

inline constexpr int WSAEINTR = 10004;
inline constexpr int WSAEBADF = 10009;
inline constexpr int WSAEINVAL = 10022;
inline constexpr int WSAEWOULDBLOCK = 10035;
inline constexpr int WSAENOTSOCK = 10038;
inline constexpr int WSAENOPROTOOPT = 10042;
inline constexpr int WSAECONNABORTED = 10053;
inline constexpr int WSAECONNRESET = 10054;
inline constexpr int WSAENOBUFS = 10055;
inline constexpr int WSAENOTCONN = 10057;
inline constexpr int WSAECONNREFUSED = 10061;
inline constexpr int WSANOTINITIALISED = 10093;
inline constexpr int WSASYSCALLFAILURE = 10107;
inline constexpr int WSAHOST_NOT_FOUND = 11001;
inline constexpr int WSATRY_AGAIN = 11002;
inline constexpr int WSANO_RECOVERY = 11003;
inline constexpr int WSANO_DATA = 11004;

inline constexpr int WSADESCRIPTION_LEN = 256;
inline constexpr int WSASYS_STATUS_LEN = 128;
inline constexpr int MAXGETHOSTSTRUCT = 1024;

struct WSADATA {
    uint16_t wVersion = 0;
    uint16_t wHighVersion = 0;
    char szDescription[WSADESCRIPTION_LEN + 1] = {};
    char szSystemStatus[WSASYS_STATUS_LEN + 1] = {};
    uint16_t iMaxSockets = 0;
    uint16_t iMaxUdpDg = 0;
    char* lpVendorInfo = nullptr;
};

struct SOCKADDR {
    uint16_t sa_family = 0;
    char sa_data[14] = {};
};

// IPv4 address: port and address in network byte order.
struct SOCKADDR_IN {
    int16_t sin_family = 0;
    uint16_t sin_port = 0;
    uint32_t sin_addr = 0;
    char sin_zero[8] = {};
};
static_assert(sizeof(SOCKADDR_IN) == 16 && sizeof(SOCKADDR) == 16);

struct LINGER {
    uint16_t l_onoff = 0;
    uint16_t l_linger = 0;
};

// A host entry; its pointers point into the buffer that holds it.
struct HOSTENT {
    char* h_name;
    char** h_aliases;
    int16_t h_addrtype;
    int16_t h_length;
    char** h_addr_list;
};

struct HostEntryBuffer {
    alignas(std::max_align_t) char bytes[MAXGETHOSTSTRUCT];
};

// The parts of a notification's second parameter.
inline uint16_t WSAGETSELECTEVENT(intptr_t lParam) { return static_cast<uint16_t>(lParam & 0xFFFF); }
inline uint16_t WSAGETSELECTERROR(intptr_t lParam) { return static_cast<uint16_t>((lParam >> 16) & 0xFFFF); }
inline uint16_t WSAGETASYNCBUFLEN(intptr_t lParam) { return static_cast<uint16_t>(lParam & 0xFFFF); }
inline uint16_t WSAGETASYNCERROR(intptr_t lParam) { return static_cast<uint16_t>((lParam >> 16) & 0xFFFF); }
inline intptr_t WSAMAKESELECTREPLY(int low, int error) {
    return static_cast<intptr_t>((static_cast<uint32_t>(error & 0xFFFF) << 16) | static_cast<uint32_t>(low & 0xFFFF));
}

int WSAStartup(uint16_t versionRequested, WSADATA* data);
int WSACleanup();
int WSAGetLastError();
void WSASetLastError(int code);

SOCKET socket(int af, int type, int protocol);
// Only the linger option (WSA_SOL_SOCKET, WSA_SO_LINGER, a LINGER) is known.
int setsockopt(SOCKET s, int level, int option, const char* value, int length);
int connect(SOCKET s, const SOCKADDR* name, int nameLength);
int send(SOCKET s, const char* buffer, int length, int flags);
int recv(SOCKET s, char* buffer, int length, int flags);
int closesocket(SOCKET s);
SOCKET accept(SOCKET s, SOCKADDR* address, int* addressLength);
uint32_t inet_addr(const char* text);
// (Parenthesised: the system headers may define htons as a macro.)
uint16_t (htons)(uint16_t value);

int WSAAsyncSelect(SOCKET s, HWND window, uint32_t msg, long events);
// Starts a lookup of `name`; on completion the host entry is written into
// `buffer` and `msg` is delivered to `window` with the request handle as first
// parameter and WSAMAKESELECTREPLY(length, error) as second. 0 on failure.
HANDLE WSAAsyncGetHostByName(HWND window, uint32_t msg, const char* name, std::shared_ptr<HostEntryBuffer> buffer);
int WSACancelAsyncRequest(HANDLE request);

// Stand-in extras.
int WinsockErrorFromErrno(int error);
// Posts FD_WRITE once, when the socket can take more data (or has failed),
// to a socket that asked for it with WSAAsyncSelect. For a sender whose last
// send would have blocked.
void WatchWritable(SOCKET s);
// Blocks, dispatching nothing, for at most `timeoutMs` milliseconds (without
// limit when negative) until data, the peer's close or an error is waiting on
// the socket; true when one is.
bool WaitUntilReadable(SOCKET s, int timeoutMs);
// Number of live WSAStartup calls not yet matched by WSACleanup.
int WSAStartupCount();
// Resolves a name to IPv4 addresses (network byte order); returns 0 or a
// Winsock error code. Runs on a worker thread. An empty function restores
// the system's resolver.
using HostResolver = std::function<int(const std::string& name, std::vector<uint32_t>& addresses)>;
void SetHostResolver(HostResolver resolver);
// Lookups started and not yet delivered.
int PendingHostLookups();
// Test hook: the next call named `call` ("socket", "setsockopt", "connect",
// "send", "recv", "closesocket") fails with `code` without touching the
// socket. "connect" with WSAEWOULDBLOCK gives a connect that never completes.
void InjectSocketFailure(const std::string& call, int code);
// Test hook: while set, every send takes nothing (would block) and no socket
// becomes writable, as with a peer that has stopped reading.
void SetSendsStalled(bool stalled);

}  // namespace mg
