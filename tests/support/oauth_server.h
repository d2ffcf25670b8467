// An authorization server of the test's own on 127.0.0.1, served from the
// test's event loop, plain HTTP or (given make-certs.sh's directory) HTTPS:
//   GET  /authorize   redirects to redirect_uri with a code and the state, or
//                     with `denial` as the provider's error
//   POST /token       trades that code (when the PKCE verifier's S256 is the
//                     challenge) or `refreshToken` for a new access token:
//                     "access-1", "access-2", ...
//   POST /introspect  token=...: whether it is an access token issued and
//                     not revoked (RFC 7662), for Dovecot's oauth2 passdb
#pragma once

#include <QTcpServer>
#include <QTcpSocket>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace mgtest {

class OAuthServer {
public:
    explicit OAuthServer(const std::string& tlsDir = "");
    std::string url(const std::string& path) const;

    std::string user = "joe";
    std::string refreshToken = "refresh-1";
    std::string denial;    // the authorization ends with this error
    int refreshes = 1000;  // granted; refresh tokens are invalid_grant after these
    bool silent = false;   // takes requests, answers none
    std::vector<std::string> revoked;

    std::vector<std::string> issued;
    std::map<std::string, std::string> authorization;       // the /authorize query
    std::vector<std::map<std::string, std::string>> forms;  // the /token forms

private:
    void read(QTcpSocket* socket, QByteArray& in);
    std::string answer(const std::string& method, const std::string& path, const std::string& query);
    std::string grant();

    std::unique_ptr<QTcpServer> server_;
    std::string code_;
};

}  // namespace mgtest
