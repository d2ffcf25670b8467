// The socket component over TLS: against a TLS server thread of the test
// (lines, SNI, the close notification, refused handshakes), against a server
// that stalls in the handshake, and against Dovecot with POP3 over TLS only.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <map>

#include "net_support.h"
#include "pop3/VantelPop3.h"
#include "support/dovecot_server.h"
#include "support/oauth_server.h"
#include "test_server.h"

using namespace nettest;

namespace {

// A component that speaks TLS to the test server and trusts its CA.
struct SecureSession {
    SecureSession(const TlsServerContext& tls, std::function<void(Peer&)> script, std::string host = "127.0.0.1") {
        server.Serve(std::move(script));
        wire.Host = std::move(host);
        wire.Port = server.port();
        wire.SetTlsPortForTesting(server.port());
        wire.SetTrustedCaFileForTesting(tls.caFile());
        wire.OnConnect = [this](TObject*) { ++connects; };
        wire.OnDisconnect = [this](TObject*) { ++disconnects; };
        wire.OnConnectionFailed = [this](TObject*) { ++failures; };
        wire.TimeOut = 20000;  // a safety net
    }
    std::string Read() {
        std::string line = "<unset>";
        line = mg::Await(wire.ReadLn());
        return line;
    }
    TestServer server;
    TestWire wire;
    int connects = 0, disconnects = 0, failures = 0;
};

const TlsServerContext& Tls() {
    static const TlsServerContext context;
    return context;
}

bool SocketIsUnconnected(uint16_t handle) {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    return handle != 65535 && ::getpeername(handle, reinterpret_cast<sockaddr*>(&peer), &length) != 0;
}

}  // namespace

TEST(TidewireTls, LinesSniAndTheCloseNotification) {
    std::string sni = "<none>", received;
    bool closeNotify = false;
    SecureSession s(
        Tls(),
        [&](Peer& peer) {
            if (!peer.StartTls(Tls())) return;
            sni = peer.ServerName();
            peer.Send("+OK one\r\nsec");
            QThread::msleep(100);
            peer.Send("ond\nthi\rrd\r\n");
            received = peer.ReadLine();
            received += peer.ReadToEnd();
            closeNotify = peer.CloseNotifyReceived();
        },
        "localhost");
    mg::Await(s.wire.Connect());
    EXPECT_TRUE(s.wire.Connected());
    EXPECT_TRUE(s.wire.Secure());
    EXPECT_EQ(s.connects, 1) << "fired once the handshake is done";
    EXPECT_EQ(s.Read(), "+OK one\r\n");
    EXPECT_EQ(s.Read(), "second\n");
    EXPECT_EQ(s.Read(), "thi\rrd\r\n");
    mg::Await(s.wire.Writeln("QUIT"));
    s.wire.Disconnect();
    EXPECT_FALSE(s.wire.Secure());
    s.server.Join();
    EXPECT_EQ(sni, "localhost") << "a host name is sent for SNI";
    EXPECT_EQ(received, "QUIT\r\n");
    EXPECT_TRUE(closeNotify) << "Disconnect sends the close notification";
}

TEST(TidewireTls, PeerCloseAfterTheLastLinesAndNoSniForAnAddress) {
    std::string sni = "<none>";
    SecureSession s(Tls(), [&](Peer& peer) {
        if (!peer.StartTls(Tls())) return;
        sni = peer.ServerName();
        peer.Send("last\r\nlines\r\n");
        peer.Close();
    });
    mg::Await(s.wire.Connect());
    EXPECT_EQ(s.Read(), "last\r\n");
    EXPECT_EQ(s.Read(), "lines\r\n");
    EXPECT_EQ(s.Read(), "");
    EXPECT_TRUE(PumpUntil([&] { return !s.wire.Connected(); }));
    EXPECT_EQ(s.disconnects, 1);
    EXPECT_EQ(sni, "") << "no SNI for a dotted address";
}

TEST(TidewireTls, SocketErrorsKeepTheirTexts) {
    SecureSession s(Tls(), [&](Peer& peer) {
        if (!peer.StartTls(Tls())) return;
        peer.Send("x\r\n");
        s.server.gate.Wait();
    });
    mg::Await(s.wire.Connect());
    EXPECT_EQ(s.Read(), "x\r\n");
    mg::InjectSocketFailure("recv", mg::WSAECONNRESET);
    EXPECT_EQ(ErrorOf<ESockError>([&] { s.Read(); }), "10054:Connection reset by peer");
    mg::InjectSocketFailure("send", mg::WSAECONNABORTED);
    EXPECT_EQ(ErrorOf<ESockError>([&] { mg::Await(s.wire.Writeln("NOOP")); }), "10053:Software caused connection abort");
}

TEST(TidewireTls, RefusedHandshakesSayWhyAndLeaveNoConnection) {
    const auto refusal = [](const TlsServerContext& tls, std::function<void(Peer&)> script) {
        SecureSession s(tls, std::move(script));
        const std::string message = ErrorOf<ESockError>([&] { mg::Await(s.wire.Connect()); });
        EXPECT_EQ(s.failures, 1);
        EXPECT_EQ(s.connects, 0);
        EXPECT_EQ(s.disconnects, 0);
        EXPECT_FALSE(s.wire.Connected());
        EXPECT_TRUE(SocketIsUnconnected(s.wire.SocketHandle())) << "a fresh socket for the next Connect";
        return message;
    };
    EXPECT_EQ(refusal(Tls(), [](Peer& peer) { peer.Close(); }),
              "TLS handshake with 127.0.0.1 failed: the server closed the connection");

    const std::string plain = refusal(Tls(), [](Peer& peer) {
        peer.Send("+OK plain POP3 here\r\n");
        peer.ReadToEnd();
    });
    EXPECT_EQ(plain.rfind("TLS handshake with 127.0.0.1 failed: the server does not answer in TLS on this port (", 0),
              0u)
        << plain;

    const TlsServerContext old("DNS:localhost,IP:127.0.0.1", true);
    const std::string version = refusal(old, [&old](Peer& peer) { peer.StartTls(old); });
    EXPECT_EQ(version.rfind("TLS handshake with 127.0.0.1 failed: the server offers only TLS versions older than "
                            "TLS 1.2 (",
                            0),
              0u)
        << version;
}

TEST(TidewireTls, ServerStallingInTheHandshakeTimesOutOrIsCanceled) {
    TestServer server;
    server.Serve([&](Peer& peer) {
        peer.ReadLine();  // takes the client's hello, answers nothing
        server.gate.Wait();
    });
    TestWire wire;
    wire.Host = "127.0.0.1";
    wire.Port = server.port();
    wire.SetTlsPortForTesting(server.port());
    wire.TimeOut = 300;
    std::vector<std::string> order;
    wire.OnConnectionFailed = [&](TObject*) { order.push_back("OnConnectionFailed"); };
    wire.OnDisconnect = [&](TObject*) { order.push_back("OnDisconnect"); };
    try {
        mg::Await(wire.Connect());
    } catch (const ESockError& e) {
        order.push_back(e.Message);
    }
    EXPECT_EQ(order, (std::vector<std::string>{"OnConnectionFailed", "Connection Timed out"}));
    EXPECT_TRUE(wire.TimedOut());
    EXPECT_FALSE(wire.Connected());

    wire.TimeOut = 0;
    Later(50, [&] { wire.Cancel(); });
    EXPECT_EQ(ErrorOf<ESockError>([&] { mg::Await(wire.Connect()); }), "Connection Canceled");
    EXPECT_FALSE(wire.Connected());
}

// ----- POP3 over TLS against Dovecot

namespace {

std::vector<std::string> Mailbox() {
    return {
        "From: Alice <alice@example.com>\nSubject: Hello\nMessage-ID: <a1@example.com>\n\nHi.\n",
        "From: =?koi8-r?b?7sHUwdvB?= <natasha@example.ru>\nSubject: =?koi8-r?b?8NLJ18XU?=\n\nbody\n",
        "From: bulk@spam.example\nSubject: Offer\n\n.a dot line\nmore\n",
    };
}

class Pop3OverTls : public ::testing::Test {
protected:
    bool Start(const std::string& names = "DNS:localhost,IP:127.0.0.1") {
        for (const auto& m : Mailbox()) dovecot.addMessage(m);
        dovecot.useTls(names);
        if (!dovecot.start()) {
            if (dovecot.unavailable()) return false;
            ADD_FAILURE() << "Dovecot did not start: " << dovecot.error();
            return false;
        }
        pop3.Host = mgtest::DovecotServer::host();
        pop3.Port = dovecot.port();
        pop3.SetTlsPortForTesting(dovecot.port());
        pop3.UserID = dovecot.user();
        pop3.Password = dovecot.password();
        pop3.TimeOut = 20000;
        pop3.OnConnect = [this](TObject*) { ++logons; };
        pop3.OnConnectionFailed = [this](TObject*) { ++failures; };
        return true;
    }
    void TearDown() override {
        if (HasFailure()) std::cerr << "Dovecot log:\n" << dovecot.log();
    }
    std::string ConnectError() {
        return ErrorOf<ESockError>([&] { mg::Await(pop3.Connect()); });
    }

    mgtest::DovecotServer dovecot;
    TVantelPOP3 pop3;
    int logons = 0, failures = 0;
};

}  // namespace

TEST_F(Pop3OverTls, UntrustedCertificateIsRefusedThenScanAndDeletionWork) {
    if (!Start()) GTEST_SKIP() << dovecot.error();
    const std::string untrusted = ConnectError();
    EXPECT_EQ(untrusted.rfind("Certificate of 127.0.0.1 refused: its issuer is not trusted (", 0), 0u) << untrusted;
    EXPECT_NE(untrusted.find("certificate subject: CN=localhost,O=Mailgrove tests"), std::string::npos) << untrusted;
    EXPECT_EQ(failures, 1);
    EXPECT_EQ(logons, 0);
    EXPECT_FALSE(pop3.Connected());

    pop3.SetTrustedCaFileForTesting(dovecot.caFile());
    mg::Await(pop3.Connect());
    EXPECT_TRUE(pop3.Secure());
    ASSERT_EQ(pop3.MailCount(), 3);
    std::map<int32_t, int32_t> sizes;
    pop3.OnList = [&](int32_t msg, int32_t size) { sizes[msg] = size; };
    mg::Await(pop3.List());
    ASSERT_EQ(sizes.size(), 3u);
    for (int i = 1; i <= 3; ++i) {
        mg::Await(pop3.GetSummary(i));
        EXPECT_EQ(pop3.Summary().Bytes, mgtest::Pop3Size(Mailbox()[i - 1]));
        EXPECT_EQ(sizes[i], pop3.Summary().Bytes);
        TExStringList header = mgtest::HeaderLines(Mailbox()[i - 1]);
        header.push_back("");
        header.push_back(".");
        EXPECT_EQ(pop3.Summary().Header, header) << "message " << i;
    }
    EXPECT_EQ(pop3.Summary().From, "bulk@spam.example");

    const auto before = dovecot.storedMessages();
    mg::Await(pop3.DeleteMessage(2));
    mg::Await(pop3.Disconnect());
    EXPECT_EQ(dovecot.storedMessages(), (std::vector<std::string>{before[0], before[2]}));
    mg::Await(pop3.Connect());
    EXPECT_EQ(pop3.MailCount(), 2);
    mg::Await(pop3.Disconnect());
    EXPECT_NE(dovecot.log().find("TLS"), std::string::npos);
}

TEST_F(Pop3OverTls, XOAuth2TokensCheckedByDovecotsIntrospection) {
    mgtest::OAuthServer auth;  // its introspection endpoint calls the tokens it issued active
    auth.user = dovecot.user();
    auth.issued = {"revoked", "good"};
    auth.revoked = {"revoked"};
    dovecot.useOAuth2(auth.url("/introspect"));
    if (!Start()) GTEST_SKIP() << dovecot.error();
    pop3.SetTrustedCaFileForTesting(dovecot.caFile());
    pop3.XOAuth2 = true;
    pop3.AccessToken = "revoked";  // refused after an error challenge
    EXPECT_EQ(ErrorOf<ETokenRefused>([&] { mg::Await(pop3.Connect()); }),
              "Authentication failed: [AUTH] Authentication failed.\n" + mg::RefusalAdvice("-ERR [AUTH]"));
    pop3.AccessToken = "good";
    mg::Await(pop3.Connect());
    EXPECT_EQ(pop3.MailCount(), 3);
    mg::Await(pop3.Disconnect());
    EXPECT_NE(dovecot.log().find("Login: user=<" + dovecot.user() + ">, method=XOAUTH2"), std::string::npos);
}

TEST_F(Pop3OverTls, CertificateForAnotherHostIsRefused) {
    if (!Start("DNS:mail.other.test")) GTEST_SKIP() << dovecot.error();
    pop3.SetTrustedCaFileForTesting(dovecot.caFile());
    EXPECT_EQ(ConnectError(),
              "Certificate of 127.0.0.1 refused: it was issued for another address (IP address mismatch); "
              "certificate subject: CN=mail.other.test,O=Mailgrove tests");
    pop3.Host = "localhost";
    EXPECT_EQ(ConnectError(),
              "Certificate of localhost refused: it was issued for another host name (hostname mismatch); "
              "certificate subject: CN=mail.other.test,O=Mailgrove tests");
    EXPECT_EQ(failures, 2);
    EXPECT_EQ(logons, 0);
    EXPECT_FALSE(pop3.Connected());
}

// Plain POP3 that offers STLS: the connection becomes secure before the user
// name goes out, with the certificate checked as on 995; a certificate that
// is not trusted ends the attempt before anything secret is sent.
TEST(Pop3WithStls, TheLogOnGoesOverTlsAndAnUntrustedCertificateEndsIt) {
    mgtest::DovecotServer dovecot;
    for (const auto& m : Mailbox()) dovecot.addMessage(m);
    dovecot.useStartTls();
    if (!dovecot.start()) {
        if (dovecot.unavailable()) GTEST_SKIP() << dovecot.error();
        FAIL() << dovecot.error();
    }
    TVantelPOP3 pop3;
    pop3.Host = mgtest::DovecotServer::host();
    pop3.Port = dovecot.port();
    pop3.UserID = dovecot.user();
    pop3.Password = dovecot.password();
    pop3.TimeOut = 20000;

    const std::string untrusted = ErrorOf<ESockError>([&] { mg::Await(pop3.Connect()); });
    EXPECT_EQ(untrusted.rfind("Certificate of 127.0.0.1 refused: its issuer is not trusted (", 0), 0u) << untrusted;
    EXPECT_FALSE(pop3.Connected());
    EXPECT_EQ(dovecot.log().find("Login: user=<"), std::string::npos) << "no log-on after a refused certificate";

    pop3.SetTrustedCaFileForTesting(dovecot.caFile());
    pop3.TlsRequired = true;  // met by STLS
    mg::Await(pop3.Connect());
    EXPECT_TRUE(pop3.Secure());
    EXPECT_FALSE(pop3.PasswordInClear());
    EXPECT_EQ(pop3.MailCount(), 3);
    mg::Await(pop3.Disconnect());
    // Dovecot's log line of the log-on says it went over TLS.
    const std::string log = dovecot.log();
    const size_t login = log.find("Login: user=<" + dovecot.user() + ">");
    ASSERT_NE(login, std::string::npos) << log;
    EXPECT_NE(log.substr(login, log.find('\n', login) - login).find(", TLS"), std::string::npos) << log;
}
