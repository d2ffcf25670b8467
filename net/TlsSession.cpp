#include "net/TlsSession.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

namespace mg {

struct TlsState {
    SOCKET socket = INVALID_SOCKET;
    std::string host;
    std::string extraCaFile;
    SSL_CTX* ctx = nullptr;
    SSL* ssl = nullptr;
    int socketError = 0;         // Winsock code of the last failed socket call of the session
    bool handshakeDone = false;
    bool broken = false;         // a fatal error: the session must not be shut down
    bool closeSent = false;
    // The first refusal of the certificate check.
    bool verifyFailed = false;
    int verifyError = 0;
    std::string verifySubject;   // of the server's own certificate

    ~TlsState() {
        if (ssl) SSL_free(ssl);  // frees the socket BIO too
        if (ctx) SSL_CTX_free(ctx);
    }
};

namespace {

// ----- the socket BIO: OpenSSL's input and output through the Winsock layer

int BioWrite(BIO* bio, const char* data, int length) {
    auto* state = static_cast<TlsState*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    const int sent = send(state->socket, data, length, 0);
    if (sent >= 0) return sent;
    const int code = WSAGetLastError();
    if (code == WSAEWOULDBLOCK) {
        BIO_set_retry_write(bio);
    } else {
        state->socketError = code;
    }
    return -1;
}

int BioRead(BIO* bio, char* data, int length) {
    auto* state = static_cast<TlsState*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    const int got = recv(state->socket, data, length, 0);
    if (got >= 0) return got;
    const int code = WSAGetLastError();
    if (code == WSAEWOULDBLOCK) {
        BIO_set_retry_read(bio);
    } else {
        state->socketError = code;
    }
    return -1;
}

long BioCtrl(BIO*, int command, long, void*) { return command == BIO_CTRL_FLUSH ? 1 : 0; }

int BioCreate(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

BIO_METHOD* SocketBioMethod() {
    static BIO_METHOD* const method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "winsock layer socket");
        if (m) {
            BIO_meth_set_write(m, BioWrite);
            BIO_meth_set_read(m, BioRead);
            BIO_meth_set_ctrl(m, BioCtrl);
            BIO_meth_set_create(m, BioCreate);
        }
        return m;
    }();
    return method;
}

// ----- texts

std::string NameText(const X509_NAME* name) {
    if (!name) return "(none)";
    BIO* out = BIO_new(BIO_s_mem());
    if (!out) return "(unknown)";
    X509_NAME_print_ex(out, name, 0, XN_FLAG_RFC2253);
    char* data = nullptr;
    const long length = BIO_get_mem_data(out, &data);
    std::string text(data ? data : "", data ? static_cast<size_t>(length) : 0);
    BIO_free(out);
    return text.empty() ? "(empty)" : text;
}

// The certificate check's refusal in plain words, with OpenSSL's own text.
std::string VerifyReason(int code) {
    const std::string text = X509_verify_cert_error_string(code);
    switch (code) {
        case X509_V_ERR_HOSTNAME_MISMATCH:
            return "it was issued for another host name (" + text + ")";
        case X509_V_ERR_IP_ADDRESS_MISMATCH:
            return "it was issued for another address (" + text + ")";
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
            return "its issuer is not trusted (" + text + ")";
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
            return "it is self-signed and not trusted (" + text + ")";
        case X509_V_ERR_CERT_HAS_EXPIRED:
            return "it has expired (" + text + ")";
        case X509_V_ERR_CERT_NOT_YET_VALID:
            return "it is not valid yet (" + text + ")";
        default:
            return text;
    }
}

// The reason of the last OpenSSL error, or `otherwise`.
std::string LibraryReason(const char* otherwise) {
    const unsigned long code = ERR_peek_last_error();
    const char* reason = code ? ERR_reason_error_string(code) : nullptr;
    return reason ? reason : otherwise;
}

// Why a handshake failed, from the last OpenSSL error: plain words for the
// common cases, with OpenSSL's own text.
std::string HandshakeReason() {
    const unsigned long code = ERR_peek_last_error();
    const std::string text = LibraryReason("protocol error");
    if (ERR_GET_LIB(code) != ERR_LIB_SSL) return text;
    switch (ERR_GET_REASON(code)) {
        case SSL_R_WRONG_VERSION_NUMBER:
        case SSL_R_PACKET_LENGTH_TOO_LONG:
        case SSL_R_HTTP_REQUEST:
            return "the server does not answer in TLS on this port (" + text + ")";
        case SSL_R_TLSV1_ALERT_PROTOCOL_VERSION:
        case SSL_R_UNSUPPORTED_PROTOCOL:
        case SSL_R_NO_PROTOCOLS_AVAILABLE:
            return "the server offers only TLS versions older than TLS 1.2 (" + text + ")";
        default:
            return text;
    }
}

int VerifyCallback(int ok, X509_STORE_CTX* store) {
    auto* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto* state = ssl ? static_cast<TlsState*>(SSL_get_app_data(ssl)) : nullptr;
    if (!ok && state && !state->verifyFailed) {
        state->verifyFailed = true;
        state->verifyError = X509_STORE_CTX_get_error(store);
        X509* leaf = X509_STORE_CTX_get0_cert(store);
        state->verifySubject = NameText(leaf ? X509_get_subject_name(leaf) : nullptr);
    }
    return ok;
}

}  // namespace

TlsSession::TlsSession(SOCKET socket, std::string host, std::string extraCaFile)
    : state_(std::make_unique<TlsState>()) {
    state_->socket = socket;
    state_->host = std::move(host);
    state_->extraCaFile = std::move(extraCaFile);
}

TlsSession::~TlsSession() = default;

bool TlsSession::Start() {
    TlsState& s = *state_;
    ERR_clear_error();
    s.ctx = SSL_CTX_new(TLS_client_method());
    if (!s.ctx || !SocketBioMethod()) {
        error_ = "TLS is not available: " + LibraryReason("the library could not be set up");
        return false;
    }
    SSL_CTX_set_min_proto_version(s.ctx, TLS1_2_VERSION);
    // A server that closes without the close notification ends the stream
    // like any other close: POP3 has its own end of reply.
    SSL_CTX_set_options(s.ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_mode(s.ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // Whole records in one receive, rather than a header and then its body.
    SSL_CTX_set_read_ahead(s.ctx, 1);
    SSL_CTX_set_verify(s.ctx, SSL_VERIFY_PEER, VerifyCallback);
    SSL_CTX_set_default_verify_paths(s.ctx);  // the system's trust store
    if (!s.extraCaFile.empty() && SSL_CTX_load_verify_locations(s.ctx, s.extraCaFile.c_str(), nullptr) != 1) {
        error_ = "Cannot read the trusted certificate file " + s.extraCaFile;
        return false;
    }
    s.ssl = SSL_new(s.ctx);
    BIO* bio = s.ssl ? BIO_new(SocketBioMethod()) : nullptr;
    if (!bio) {
        error_ = "TLS is not available: " + LibraryReason("no session could be made");
        return false;
    }
    BIO_set_data(bio, &s);
    SSL_set_bio(s.ssl, bio, bio);
    SSL_set_app_data(s.ssl, &s);
    SSL_set_connect_state(s.ssl);

    // A dotted address (as the component reads one) is checked against the
    // certificate's addresses; a name against its names, and sent for SNI.
    const uint32_t address = inet_addr(s.host.c_str());
    if (address != WSA_INADDR_NONE) {
        in_addr in{};
        in.s_addr = address;
        char dotted[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &in, dotted, sizeof dotted);
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(s.ssl), dotted);
    } else {
        SSL_set_tlsext_host_name(s.ssl, s.host.c_str());
        SSL_set_hostflags(s.ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        SSL_set1_host(s.ssl, s.host.c_str());
    }
    return true;
}

TlsSession::Result TlsSession::Outcome(int ret) {
    TlsState& s = *state_;
    switch (SSL_get_error(s.ssl, ret)) {
        case SSL_ERROR_WANT_READ:
            return Result::WantRead;
        case SSL_ERROR_WANT_WRITE:
            return Result::WantWrite;
        case SSL_ERROR_ZERO_RETURN:
            return Result::Closed;
        case SSL_ERROR_SYSCALL:
            s.broken = true;
            return s.socketError ? Result::SocketError : Result::Closed;
        default:
            s.broken = true;
            if (s.socketError) return Result::SocketError;
            error_ = s.handshakeDone ? "TLS error on the connection to " + s.host + ": " +
                                           LibraryReason("protocol error")
                                     : HandshakeFailure();
            return Result::Failed;
    }
}

std::string TlsSession::HandshakeFailure() const {
    const TlsState& s = *state_;
    if (s.verifyFailed)
        return "Certificate of " + s.host + " refused: " + VerifyReason(s.verifyError) +
               "; certificate subject: " + s.verifySubject;
    return "TLS handshake with " + s.host + " failed: " + HandshakeReason();
}

TlsSession::Result TlsSession::Handshake() {
    TlsState& s = *state_;
    ERR_clear_error();
    s.socketError = 0;
    const int ret = SSL_do_handshake(s.ssl);
    if (ret == 1) {
        s.handshakeDone = true;
        return Result::Ok;
    }
    return Outcome(ret);
}

TlsSession::Result TlsSession::Read(char* buffer, int length, int& count) {
    TlsState& s = *state_;
    ERR_clear_error();
    s.socketError = 0;
    const int ret = SSL_read(s.ssl, buffer, length);
    if (ret > 0) {
        count = ret;
        return Result::Ok;
    }
    return Outcome(ret);
}

TlsSession::Result TlsSession::Write(const char* buffer, int length, int& count) {
    TlsState& s = *state_;
    ERR_clear_error();
    s.socketError = 0;
    const int ret = SSL_write(s.ssl, buffer, length);
    if (ret > 0) {
        count = ret;
        return Result::Ok;
    }
    return Outcome(ret);
}

bool TlsSession::HasPending() const { return state_->ssl && SSL_has_pending(state_->ssl) == 1; }

void TlsSession::Close() {
    TlsState& s = *state_;
    if (!s.ssl || !s.handshakeDone || s.broken || s.closeSent) return;
    s.closeSent = true;
    ERR_clear_error();
    SSL_shutdown(s.ssl);  // sends the close notification; the peer's is not waited for
    ERR_clear_error();
}

int TlsSession::SocketErrorCode() const { return state_->socketError; }

}  // namespace mg
