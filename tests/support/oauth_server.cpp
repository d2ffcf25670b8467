#include "support/oauth_server.h"

#include <QCryptographicHash>
#include <QFile>
#include <QSslKey>
#include <QSslServer>
#include <QTcpSocket>
#include <QUrlQuery>
#include <algorithm>

namespace mgtest {

namespace {

std::map<std::string, std::string> Fields(QByteArray encoded) {
    std::map<std::string, std::string> fields;
    for (const auto& [name, value] :
         QUrlQuery(QString::fromUtf8(encoded.replace('+', ' '))).queryItems(QUrl::FullyDecoded))
        fields[name.toStdString()] = value.toStdString();
    return fields;
}

std::string Json(const std::string& status, const std::string& body) {
    return "HTTP/1.1 " + status +
           "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

}  // namespace

OAuthServer::OAuthServer(const std::string& tlsDir) {
    if (tlsDir.empty()) {
        server_ = std::make_unique<QTcpServer>();
    } else {
        auto tls = std::make_unique<QSslServer>();
        QSslConfiguration config = QSslConfiguration::defaultConfiguration();
        config.setLocalCertificateChain(QSslCertificate::fromPath(QString::fromStdString(tlsDir + "/server.pem")));
        QFile key(QString::fromStdString(tlsDir + "/server.key"));
        key.open(QIODevice::ReadOnly);
        config.setPrivateKey(QSslKey(&key, QSsl::Ec));
        tls->setSslConfiguration(config);
        server_ = std::move(tls);
    }
    server_->listen(QHostAddress::LocalHost, 0);
    QObject::connect(server_.get(), &QTcpServer::pendingConnectionAvailable, server_.get(), [this] {
        while (QTcpSocket* socket = server_->nextPendingConnection()) {
            auto in = std::make_shared<QByteArray>();
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, in] { read(socket, *in); });
        }
    });
}

void OAuthServer::read(QTcpSocket* socket, QByteArray& in) {
    // One request a connection: its head, then Content-Length bytes.
    in += socket->readAll();
    const qsizetype head = in.indexOf("\r\n\r\n");
    if (head < 0 || silent) return;
    const qsizetype at = in.toLower().indexOf("\r\ncontent-length:");
    const qsizetype size = at < 0 ? 0 : in.mid(at + 17, in.indexOf("\r\n", at + 2) - at - 17).trimmed().toLongLong();
    if (in.size() < head + 4 + size) return;
    const QList<QByteArray> line = in.left(in.indexOf("\r\n")).split(' ');  // method, target, version
    const QList<QByteArray> target = line.value(1).split('?');              // path, query
    const QByteArray query = line.value(0) == "GET" ? target.value(1) : in.mid(head + 4, size);
    socket->write(QByteArray::fromStdString(
        answer(line.value(0).toStdString(), target.value(0).toStdString(), query.toStdString())));
    socket->disconnectFromHost();
}

std::string OAuthServer::url(const std::string& path) const {
    return (dynamic_cast<QSslServer*>(server_.get()) ? "https://127.0.0.1:" : "http://127.0.0.1:") +
           std::to_string(server_->serverPort()) + path;
}

std::string OAuthServer::grant() {
    issued.push_back("access-" + std::to_string(issued.size() + 1));
    return Json("200 OK", R"({"access_token":")" + issued.back() + R"(","token_type":"Bearer","expires_in":3600,)" +
                              R"("refresh_token":")" + refreshToken + R"("})");
}

std::string OAuthServer::answer(const std::string& method, const std::string& path, const std::string& query) {
    auto fields = Fields(QByteArray::fromStdString(query));
    if (method == "GET" && path == "/authorize") {
        authorization = fields;
        code_ = "code-" + std::to_string(forms.size() + 1);
        const std::string back =
            denial.empty() ? "code=" + code_ : "error=" + denial + "&error_description=Access+denied";
        return "HTTP/1.1 302 Found\r\nLocation: " + fields["redirect_uri"] + "?" + back +
               "&state=" + QUrl::toPercentEncoding(QString::fromStdString(fields["state"])).toStdString() +
               "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    }
    if (method == "POST" && path == "/token") {
        forms.push_back(fields);
        if (fields["grant_type"] == "authorization_code") {
            const std::string s256 =
                QCryptographicHash::hash(QByteArray::fromStdString(fields["code_verifier"]), QCryptographicHash::Sha256)
                    .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals)
                    .toStdString();
            if (s256 == authorization["code_challenge"] && fields["code"] == code_ &&
                fields["redirect_uri"] == authorization["redirect_uri"])
                return grant();
        } else if (fields["refresh_token"] == refreshToken && refreshes-- > 0) {
            return grant();
        }
        return Json("400 Bad Request",
                    R"({"error":"invalid_grant","error_description":"Token has been expired or revoked."})");
    }
    if (method == "POST" && path == "/introspect") {
        const std::string& token = fields["token"];
        const bool active =
            std::count(issued.begin(), issued.end(), token) && !std::count(revoked.begin(), revoked.end(), token);
        return Json("200 OK", active ? R"({"active":true,"username":")" + user + R"("})" : R"({"active":false})");
    }
    return Json("404 Not Found", "{}");
}

}  // namespace mgtest
