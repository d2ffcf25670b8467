// TlsSession: the client side of a TLS connection (OpenSSL) over a socket of
// the Winsock layer (platform/winsock.h). The session reads and writes
// through the layer's recv and send, so the layer's readiness notifications
// are re-armed and its error codes apply as on a bare socket. Every call is
// non-blocking: it reports what it needs (more input, room to write) and the
// caller waits in its own way and calls again.
//
// The server must offer TLS 1.2 or later and a certificate that the system's
// trust store (plus an optional extra CA file) vouches for and that names the
// host: a host name is checked against the certificate's DNS names and sent
// for SNI, a dotted address is checked against its IP addresses.
#pragma once

#include <memory>
#include <string>

#include "platform/winsock.h"

namespace mg {

struct TlsState;

class TlsSession {
public:
    enum class Result {
        Ok,           // done
        WantRead,     // needs input from the socket first
        WantWrite,    // needs room in the socket first
        Closed,       // the peer ended the session (close notification or end of stream)
        SocketError,  // a socket call failed: SocketErrorCode()
        Failed,       // TLS failed (protocol, certificate): Error()
    };

    TlsSession(SOCKET socket, std::string host, std::string extraCaFile);
    ~TlsSession();
    TlsSession(const TlsSession&) = delete;
    TlsSession& operator=(const TlsSession&) = delete;

    // Sets up the context and the session; false with Error() when the
    // library or the extra CA file fails.
    bool Start();
    Result Handshake();
    // Decrypted application data into `buffer`; `count` is set on Ok.
    Result Read(char* buffer, int length, int& count);
    // Application data from `buffer`; on Ok `count` bytes were taken (at
    // least 1). After WantRead/WantWrite call again with the same bytes.
    Result Write(const char* buffer, int length, int& count);
    // Bytes received or decrypted that the TLS layer holds and Read would
    // hand out without touching the socket.
    bool HasPending() const;
    // Sends the close notification, once, when the session is sound.
    void Close();

    // Why the last call failed, in plain words (after Failed).
    const std::string& Error() const { return error_; }
    // The Winsock error code of the failed socket call (after SocketError).
    int SocketErrorCode() const;

private:
    // What a failed call means, from OpenSSL's error code.
    Result Outcome(int ret);
    std::string HandshakeFailure() const;

    std::unique_ptr<TlsState> state_;
    std::string error_;
};

}  // namespace mg
