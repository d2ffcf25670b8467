// A password sent in clear to another machine is said, after the user's scan
// and after a background check alike; with TLS=REQUIRE nothing is sent on a
// connection that stays plain. The server is on loopback, taken for another
// machine (SessionOptions::LoopbackIsRemote).
#include <chrono>

#include "app_support.h"

using namespace mgtest;

namespace {

// The text with each time of day "12:34" written "HH:MM".
std::string WithoutTime(std::string text) {
    const auto digit = [&text](size_t i) { return text[i] >= '0' && text[i] <= '9'; };
    for (size_t i = 0; i + 5 <= text.size(); ++i)
        if (digit(i) && digit(i + 1) && text[i + 2] == ':' && digit(i + 3) && digit(i + 4)) text.replace(i, 5, "HH:MM");
    return text;
}

}  // namespace

TEST(ClearText, PasswordInClearIsToldAndTlsRequiredSendsNothing) {
    const std::string notice = "Пароль передан без шифрования: сервер не предлагает STLS";
    const std::string refused =
        "Сервер не предлагает STLS: соединение не защищено, а для этого ящика вход без TLS запрещен. "
        "Логин и пароль не отправлены.";
    // A server without STLS: the scan of one message and QUIT, or QUIT alone.
    const Script plain =
        pop3::Scan("joe", "secret", {Msg({"From: a@ok.example", "Subject: one"}, 10)}, pop3::Capa::Unknown, {"u1"}) +
        pop3::Quit();
    const Script noTls = {S("+OK ready"), C("CAPA"), S("-ERR"), C("QUIT"), S("+OK"), AwaitClose()};
    const struct {
        const char* name;
        bool check, tlsRequired;
        Script script;
        std::string status;              // UTF-8, the time as HH:MM
        std::vector<std::string> boxes;  // UTF-8
    } rows[] = {
        {"scan", false, false, plain, "Прием закончен. " + notice, {}},
        {"scan, TLS=REQUIRE", false, true, noTls, "Соединение разорвано", {refused}},
        {"check", true, false, plain, "Проверено в HH:MM. " + notice, {}},
        {"check, TLS=REQUIRE", true, true, noTls, "Ошибка проверки в HH:MM: " + refused, {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ScriptedServer server(row.script);
        auto now = std::chrono::system_clock::now();
        TPop3Form::Options options;
        options.Session.LoopbackIsRemote = true;
        options.Clock = [&now] { return now; };
        ScanWindow w("", "x@y.example\r\n", options,
                     "[CONNECT]\r\nHOST=127.0.0.1\r\nPORT=" + std::to_string(server.port()) +
                         "\r\nUSER=joe\r\nPASSWORD=secret\r\nCHECK=" + (row.check ? "5" : "0") +
                         (row.tlsRequired ? "\r\nTLS=REQUIRE\r\n" : "\r\n"));
        for (const std::string& box : row.boxes) w.dialogs.ExpectMessage(box);
        if (row.check) {
            now += std::chrono::minutes(5);
            w.form.Scheduler().Tick();
            EXPECT_TRUE(PumpUntil([&] { return w.form.Watching().Idle(); }));
        } else {
            w.click(w.form.btnConnect);
        }
        EXPECT_EQ(WithoutTime(w.status()), row.status);
        if (w.form.Session().Connected()) w.click(w.form.btnDisconnect);
        EXPECT_TRUE(server.finish());
        bool passSent = false;
        for (const std::string& line : server.received()) passSent |= line.rfind("PASS ", 0) == 0;
        EXPECT_EQ(passSent, !row.tlsRequired);
    }
}
