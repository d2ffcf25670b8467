#include "pop3/VantelPop3.h"

#include <QStringDecoder>
#include <algorithm>
#include <chrono>

#include "platform/codepage.h"
#include "platform/strutil.h"

namespace mg {

std::string Pop3Field(const std::string& line, int n) {
    size_t start = 0;
    for (int i = 1; i < n; ++i) {
        size_t space = line.find(' ', start);
        if (space == std::string::npos) return {};
        start = space + 1;
    }
    size_t end = line.find(' ', start);
    return line.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

bool Pop3Positive(const std::string& reply) {
    if (reply.compare(0, 3, "+OK") != 0) return false;
    const std::string_view rest = std::string_view(reply).substr(3);
    return rest.empty() || rest.front() == ' ' || rest == "\r\n" || rest == "\n";
}

std::string ShownReplyText(const std::string& text) {
    // Valid UTF-8 with anything beyond ASCII is taken for UTF-8; anything
    // else stays the bytes it is (Windows-1251 or plain ASCII).
    if (std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
        return text;
    const QByteArray bytes = QByteArray::fromStdString(text);
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString decoded = utf8.decode(bytes);
    return utf8.hasError() ? text : ToAnsi(decoded);
}

std::string RefusalAdvice(const std::string& reply) {
    // RFC 2449 response codes: "-ERR [CODE] text"; a code may have parts
    // ("SYS/TEMP"), and names ignore letter case.
    const size_t open = reply.find_first_not_of(' ', 4);
    if (reply.compare(0, 4, "-ERR") != 0 || open == std::string::npos || reply[open] != '[') return {};
    const size_t close = reply.find(']', open);
    if (close == std::string::npos) return {};
    const std::string code = UpperAscii(reply.substr(open + 1, close - open - 1));
    static const struct {
        const char* code;
        const char* advice;
    } kAdvice[] = {
        {"AUTH", "Сервер не принял имя или пароль. Многим почтовым службам нужны пароль приложения и доступ по POP3, "
                 "включенный в настройках ящика."},
        {"IN-USE", "Ящик открыт другой программой (возможно, почтовой). Повторите, когда она закончит работу."},
        {"LOGIN-DELAY", "Сервер разрешает входить в ящик лишь через определенные промежутки времени. Повторите позже."},
        {"SYS/TEMP", "Временный сбой на сервере. Повторите позже."},
        {"SYS/PERM", "Сервер отказывает по постоянной причине: прочтите его сообщение."},
    };
    for (const auto& a : kAdvice)
        if (code == a.code) return A(a.advice);
    return {};
}

std::string RefusalMessage(const std::string& shown, const std::string& reply) {
    const std::string advice = RefusalAdvice(reply);
    if (advice.empty()) return shown;
    const bool endsLine = !shown.empty() && shown.back() == '\n';
    return shown + (endsLine ? "" : "\n") + advice;
}

}  // namespace mg

namespace {
void AddHeaderLine(TSummary& summary, const std::string& line);
}

namespace mg {

TSummary SummaryOfBlock(const std::string& raw, int32_t bytes) {
    TSummary summary;
    for (size_t at = 0; at < raw.size();) {
        const size_t lf = raw.find('\n', at);
        const size_t end = lf == std::string::npos ? raw.size() : lf + 1;
        AddHeaderLine(summary, raw.substr(at, end - at));
        at = end;
    }
    summary.Header.push_back(".");
    summary.From = UnfoldedField(summary.Header, "From");
    summary.Bytes = bytes;
    return summary;
}

std::string UnfoldedField(const std::vector<std::string>& header, const std::string& name) {
    const auto continues = [](const std::string& line) { return !line.empty() && (line[0] == ' ' || line[0] == '\t'); };
    std::string value;
    for (size_t i = 0; i < header.size(); ++i) {
        const std::string& line = header[i];
        const size_t colon = line.find(':');
        if (colon == std::string::npos || continues(line)) continue;
        // The name may be followed by blanks before its colon (an obsolete form).
        const size_t end = line.find_last_not_of(" \t", colon == 0 ? std::string::npos : colon - 1);
        if (end == std::string::npos || !EqualsNoCase(std::string_view(line).substr(0, end + 1), name)) continue;
        value = line.substr(colon + 1);
        for (size_t j = i + 1; j < header.size() && continues(header[j]); ++j) value += header[j];
        if (!value.empty() && value.front() == ' ') value.erase(0, 1);
    }
    return value;
}

}  // namespace mg

namespace {

// Sets the busy flag for the life of an operation.
class BusyScope {
public:
    explicit BusyScope(bool& flag) : flag_(flag) { flag_ = true; }
    ~BusyScope() { flag_ = false; }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

private:
    bool& flag_;
};

// A line without its line end (LF, or CR LF). Lines from the transport always
// end in LF; nothing else is ever cut off.
std::string WithoutLineEnd(std::string line) {
    if (!line.empty() && line.back() == '\n') {
        line.pop_back();
        if (!line.empty() && line.back() == '\r') line.pop_back();
    }
    return line;
}

bool StartsWith(const std::string& line, const char* name) { return line.rfind(name, 0) == 0; }

// The value of a header line: the text after the name and its colon, less one
// blank right after the colon and the line end.
std::string HeaderValue(const std::string& line, size_t nameLength) {
    std::string value = line.substr(nameLength);
    if (!value.empty() && value.front() == ' ') value.erase(0, 1);
    return WithoutLineEnd(value);
}

// One line of a header block, as received, into the summary. Subject and
// Message-ID are matched exactly at the start of a line, the last of
// repeated headers winning; continuation lines are kept apart; no
// dot-unstuffing. From is read from the whole block once it is in.
void AddHeaderLine(TSummary& summary, const std::string& line) {
    if (StartsWith(line, "Subject:")) summary.Subject = HeaderValue(line, 8);
    if (StartsWith(line, "Message-ID:")) summary.MessageId = line.size() > 12 ? line.substr(12, 256) : "";
    summary.Header.push_back(WithoutLineEnd(line));
    summary.Raw += line;
}

void ClearHeader(TSummary& summary) {
    summary.Header.clear();
    summary.Subject.clear();
    summary.From.clear();
    summary.MessageId.clear();
    summary.Raw.clear();
}

const char kAuthenticationFailed[] = "Authentication failed";

// A refused log-on: "Authentication failed", the server's words after a
// colon, and the advice of its response code.
template <class E>
E AuthenticationRefused(const std::string& reply) {
    std::string text = WithoutLineEnd(reply);
    text = text.compare(0, 4, "-ERR") == 0 ? mg::Trim(text.substr(4)) : "";
    const std::string failed = kAuthenticationFailed + (text.empty() ? std::string() : ": " + mg::ShownReplyText(text));
    const std::string advice = mg::RefusalAdvice(reply);
    return E(mg::RefusalMessage(failed, reply), advice.empty() ? failed : failed + " - " + advice);
}

// A SASL continuation ("+ data", or "+" alone), not "+OK".
bool Continuation(const std::string& reply) { return !reply.empty() && reply[0] == '+' && !mg::Pop3Positive(reply); }

// A refused greeting, STAT or QUIT: the reply line, as people can read it,
// with the advice its response code carries.
Exception Refused(const std::string& reply) {
    return Exception(mg::RefusalMessage(mg::ShownReplyText(WithoutLineEnd(reply)), reply));
}
// Any other refusal: the reply line as the server sent it, without its line end.
Exception RefusedWith(const std::string& reply) { return Exception(WithoutLineEnd(reply)); }

// Why a log-on that must not go out in plain text stopped before the user name.
std::string NoLogonWithoutTls(const std::string& why) {
    return why +
           mg::A(": соединение не защищено, а для этого ящика вход без TLS запрещен. Логин и пароль не отправлены.");
}
const char kConnectionClosed[] = "Connection closed by server";

// Commands kept in flight at most, in bytes. Far below what the socket
// buffers of both ends hold, so a batch of commands never waits for the
// server to read while the server waits for us to read its replies; and
// enough to keep a link of 50 ms busy with some 300 messages ahead.
constexpr size_t kPipelineWindow = 8192;

// The capability a CAPA line names, in capitals (names ignore letter case).
std::string CapabilityName(const std::string& line) { return mg::UpperAscii(line.substr(0, line.find(' '))); }

// The octets a line of a multi-line reply stands for in the message: without
// the "." put before it, with CR LF for its line end (as LIST counts them).
size_t MessageOctets(const std::string& line) {
    const size_t content = WithoutLineEnd(line).size();
    return content + 2 - (content > 0 && line[0] == '.' ? 1 : 0);
}

// The longest unique id a UIDL line may give (RFC 1939, 7).
constexpr size_t kMaxUidLength = 70;
// The pace's allowance when the component has no time-out of its own.
constexpr int64_t kPaceAllowanceMs = 20000;

}  // namespace

TVantelPOP3::TVantelPOP3(TComponent* owner) : TTidewire(owner) {
    TTidewire::OnStatus = [this](TComponent* sender, const std::string& text) {
        if (OnStatus) OnStatus(sender, WithoutLineEnd(text));
    };
    Port = 110;
    DeleteOnRead = false;
    busy_ = false;
    attachFilePath_.clear();
}

// The transport's destructor cancels any wait and closes the socket without
// QUIT; a clean log-off is the owner's Disconnect.
TVantelPOP3::~TVantelPOP3() = default;

void TVantelPOP3::SetAttachFilePath(const std::string& value) {
    attachFilePath_ = value;
    if (!value.empty() && value.back() != '\\') attachFilePath_ += '\\';
}

void TVantelPOP3::ClosedByServer() {
    // The server has gone: close our end too, so that the next operation
    // finds the component disconnected instead of writing into a dead socket.
    ResetPipeline();
    if (Connected()) TTidewire::Disconnect();
    throw Exception(kConnectionClosed);
}

void TVantelPOP3::OutOfStep(std::exception_ptr error) {
    // Whatever the server says next would be taken for the reply to another
    // command: the session cannot go on, and QUIT could not be told apart
    // from the rest either.
    ResetPipeline();
    if (Connected()) TTidewire::Disconnect();
    std::rethrow_exception(error);
}

mg::Task<std::string> TVantelPOP3::Command(std::string line) {
    std::string reply;
    try {
        reply = co_await Transaction(std::move(line));
    } catch (const ERangeError&) {
        // The reply was read but cannot be: nothing tells where it ends.
        OutOfStep(std::current_exception());
    }
    if (reply.empty()) ClosedByServer();
    co_return reply;
}

mg::Task<std::string> TVantelPOP3::NextLine() {
    std::string line = co_await ReadLn();
    if (line.empty()) ClosedByServer();
    co_return line;
}

TVantelPOP3::Limit TVantelPOP3::HeaderLimit(int32_t number) const {
    return {kMaxHeaderBytes, SIZE_MAX, "TOP " + mg::IntToStr(number) + " 0"};
}

TVantelPOP3::Limit TVantelPOP3::RetrieveLimitOf(int32_t number) const {
    return {static_cast<size_t>(std::max<int64_t>(RetrieveLimit, 0)), SIZE_MAX, "RETR " + mg::IntToStr(number)};
}

mg::Task<> TVantelPOP3::ReadBlock(std::function<void(const std::string& line)> take, Limit limit) {
    std::exception_ptr error;
    try {
        const auto start = std::chrono::steady_clock::now();
        const int64_t allowance = TimeOut > 0 ? TimeOut : kPaceAllowanceMs;
        size_t bytes = 0;
        size_t lines = 0;
        for (;;) {
            std::string line;
            if (!ReadBufferedLine(line)) line = co_await NextLine();
            if (WithoutLineEnd(line) == ".") co_return;
            bytes += MessageOctets(line);
            const auto cut = [&limit](const std::string& why) {
                return EReplyCut(mg::A("Ответ сервера на ") + limit.command + why + mg::A(": соединение разорвано"));
            };
            if (++lines > limit.lines)
                throw cut(mg::A(" перечисляет больше сообщений, чем сообщил STAT (") +
                          mg::IntToStr(static_cast<long long>(limit.lines)) + ")");
            if (bytes > limit.bytes)
                throw cut(mg::A(" длиннее предела (") + mg::IntToStr(static_cast<long long>(limit.bytes)) + mg::A(" байт)"));
            const auto elapsed =
                std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
            if (elapsed > allowance + static_cast<int64_t>(bytes)) throw cut(mg::A(" идет слишком медленно"));
            take(line);
        }
    } catch (...) {
        error = std::current_exception();
    }
    if (Connected()) OutOfStep(error);  // a closed connection has said why already
    std::rethrow_exception(error);
}

void TVantelPOP3::CheckStopped() const {
    if (stopped_) throw EStopped();
}

bool TVantelPOP3::LogonCheck(const std::string& reply, int& attempts) {
    if (mg::Pop3Positive(reply)) return true;
    bool handled = false;
    if (attempts == 0 && OnAuthenticationFailed) OnAuthenticationFailed(handled);
    if (!handled) throw AuthenticationRefused<EAuthenticationFailed>(reply);
    ++attempts;
    return false;
}

mg::Task<> TVantelPOP3::Connect() {
    // Credentials: the owner gets one chance to supply missing ones.
    bool asked = false;
    while ((XOAuth2 ? AccessToken : Password).empty() || UserID.empty()) {
        if (!OnAuthenticationNeeded) throw Exception(kAuthenticationFailed);
        if (asked) break;
        asked = true;
        bool handled = false;
        OnAuthenticationNeeded(handled);
        if (!handled) throw Exception(kAuthenticationFailed);
    }

    const bool setBusy = !busy_;
    busy_ = true;
    bool loggedOn = false;
    std::exception_ptr failure;
    try {
        ResetPipeline();
        pipelining_ = capaAnswered_ = uidlListed_ = uidlRefused_ = passwordInClear_ = false;
        capaAsked_ = saslXOAuth2_ = false;
        quitAccepted_ = false;
        co_await TTidewire::Connect();
        std::exception_ptr sessionFailure;
        try {
            const std::string greeting = co_await ReadLn();
            if (greeting.empty()) ClosedByServer();
            if (!mg::Pop3Positive(greeting)) throw Refused(greeting);

            // Off port 995 the connection becomes secure before the user
            // name goes out, when the server offers STLS (RFC 2595); what
            // it said before the upgrade no longer counts. With TlsRequired
            // nothing goes out on a connection that stays plain: the session
            // logs off instead.
            if (!Secure()) {
                CheckStopped();
                if (co_await OffersStls()) {
                    CheckStopped();
                    const std::string reply = co_await Command("STLS");
                    if (!mg::Pop3Positive(reply)) {
                        const std::string shown = mg::ShownReplyText(WithoutLineEnd(reply));
                        if (TlsRequired)
                            throw Exception(NoLogonWithoutTls(mg::A("Сервер отказал в STLS (") + shown + ")"));
                        throw Exception("TLS upgrade refused: " + shown);
                    }
                    co_await UpgradeToTls();
                    CheckStopped();
                    co_await OffersStls();
                } else if (TlsRequired) {
                    throw Exception(NoLogonWithoutTls(mg::A("Сервер не предлагает STLS")));
                }
            }

            // At most one retry of USER and PASS, and only when the
            // OnAuthenticationFailed handler asks for it.
            int attempts = 0;
            if (XOAuth2) co_await LogOnWithToken();
            while (!XOAuth2) {
                CheckStopped();
                if (!LogonCheck(co_await Command("USER " + UserID), attempts)) {
                    ++attempts;
                    continue;
                }
                CheckStopped();
                if (LogonCheck(co_await Command("PASS " + Password), attempts)) break;
                ++attempts;
            }
            loggedOn = true;
            passwordInClear_ = !Secure() && !PeerIsLoopback();
            CheckStopped();
            co_await ReadCapabilities();

            CheckStopped();
            const std::string stat = co_await Command("STAT");
            if (!mg::Pop3Positive(stat)) throw Refused(stat);
            int32_t count = 0;
            mailCount_ = mg::TryStrToInt(mg::Pop3Field(stat, 2), count) ? count : 0;
        } catch (...) {
            sessionFailure = std::current_exception();
        }
        if (sessionFailure) {
            if (setBusy) busy_ = false;  // the log-off is an operation of its own
            co_await Disconnect();       // an error of its own replaces the first one
            std::rethrow_exception(sessionFailure);
        }
    } catch (...) {
        failure = std::current_exception();
    }
    if (setBusy) busy_ = false;
    if (loggedOn && OnConnect) OnConnect(this);
    if (failure) std::rethrow_exception(failure);
}

mg::Task<> TVantelPOP3::Disconnect() {
    if (!Connected()) co_return;
    if (busy_) {
        // Another operation waits for a reply: QUIT could not be told apart
        // from it. The connection closes without it, the server applies
        // nothing of this session, and the waiting operation fails on the
        // closed connection.
        quitAccepted_ = false;
        ResetPipeline();
        Cancel();
        TTidewire::Disconnect();
        co_return;
    }
    BusyScope busy(busy_);
    std::exception_ptr failure;
    std::string reply;
    quitAccepted_ = false;
    try {
        co_await SkipInFlight();  // replies of a pipeline nobody took any more
        planned_.clear();
        BusyScope decisive(decisive_);
        reply = co_await Transaction("QUIT");
    } catch (...) {
        failure = std::current_exception();
    }
    ResetPipeline();
    if (failure) {
        if (Connected()) TTidewire::Disconnect();
        std::rethrow_exception(failure);
    }
    quitAccepted_ = mg::Pop3Positive(reply);
    TTidewire::Disconnect();
    if (reply.empty()) throw Exception(kConnectionClosed);
    if (!quitAccepted_) throw Refused(reply);
}

void TVantelPOP3::Abort() {
    ResetPipeline();
    Cancel();
    if (Connected()) {
        TTidewire::Disconnect();
        ClearInput();
    }
}

bool TVantelPOP3::CutOperation() {
    if (!busy_ || decisive_) return false;
    Abort();
    return true;
}

mg::Task<> TVantelPOP3::List() {
    if (busy_) co_return;
    BusyScope busy(busy_);
    CheckConnection();
    planned_.clear();
    co_await SkipInFlight();
    CheckStopped();
    // A refused listing has no lines to wait for.
    const std::string reply = co_await Command("LIST");
    if (!mg::Pop3Positive(reply)) throw RefusedWith(reply);
    const size_t count = static_cast<size_t>(std::max(mailCount_, 0));
    size_t listed = 0;
    // (Operands named: GCC 12 destroys a temporary in a co_await operand twice.)
    const Limit limit{(count + 1) * kMaxListingLineBytes, count, "LIST"};
    co_await ReadBlock(
        [this, &listed](const std::string& received) {
            ++listed;
            if (!OnList) return;
            const std::string line = WithoutLineEnd(received);
            const int32_t size = mg::StrToInt(mg::Pop3Field(line, 2));
            const int32_t msg = mg::StrToInt(mg::Pop3Field(line, 1));
            OnList(msg, size);
        },
        limit);
    if (listed < count)
        throw Exception(mg::A("Ответ сервера на LIST перечисляет меньше сообщений, чем сообщил STAT (") +
                        mg::IntToStr(static_cast<long long>(listed)) + mg::A(" из ") +
                        mg::IntToStr(static_cast<long long>(count)) + ")");
}

mg::Task<> TVantelPOP3::GetSummary(int32_t MailNumber, std::optional<int32_t> knownSize) {
    if (busy_) co_return;
    BusyScope busy(busy_);
    CheckConnection();
    if (OnRetrieveStart) OnRetrieveStart(this);

    const std::string number = mg::IntToStr(MailNumber);
    const std::string reply = co_await Reply(Kind::Top, MailNumber, "TOP " + number + " 0");
    if (!mg::Pop3Positive(reply)) throw RefusedWith(reply);

    ClearHeader(summary_);
    std::exception_ptr failure;
    try {
        const Limit limit = HeaderLimit(MailNumber);
        co_await ReadBlock([this](const std::string& line) { AddHeaderLine(summary_, line); }, limit);
        summary_.Header.push_back(".");
    } catch (...) {
        failure = std::current_exception();
    }
    // Also from a block cut short: the summary holds what was read.
    summary_.From = mg::UnfoldedField(summary_.Header, "From");
    if (failure) std::rethrow_exception(failure);

    if (knownSize) {
        summary_.Bytes = *knownSize;
    } else {
        const std::string size = co_await Reply(Kind::ListOne, MailNumber, "LIST " + number);
        summary_.Bytes = mg::StrToInt(mg::Trim(mg::Pop3Field(size, 3)));
    }
    ReportStatus(1, "Summary Retrieved");
    if (OnRetrieveEnd) OnRetrieveEnd(this);
}

mg::Task<> TVantelPOP3::DeleteMessage(int32_t MailNumber) {
    if (busy_) co_return;
    {
        BusyScope busy(busy_);
        CheckConnection();
        std::string reply;
        const bool sent = co_await TakeInFlight(Kind::Dele, MailNumber);
        BusyScope decisive(decisive_);
        if (sent) {
            reply = co_await PipelinedReply();
        } else {
            CheckStopped();
            reply = co_await Transaction("DELE " + mg::IntToStr(MailNumber));
        }
        // Only a positive reply is a deletion; a connection closed instead
        // of a reply is none either.
        if (!mg::Pop3Positive(reply)) {
            planned_.clear();  // no further deletion goes out after a refusal
            if (OnFailure) OnFailure(this);
            if (reply.empty()) ClosedByServer();
            throw RefusedWith(reply);
        }
    }
    if (OnSuccess) OnSuccess(this);
}

mg::Task<std::string> TVantelPOP3::RetrieveMessage(int32_t MailNumber, bool headerOnly) {
    // An empty message from a busy component would read as a message.
    if (busy_) throw Exception("Busy");
    BusyScope busy(busy_);
    CheckConnection();
    const std::string number = mg::IntToStr(MailNumber);
    // (Each co_await a statement of its own: GCC 12 mishandles one inside ?:.)
    std::string reply;
    if (headerOnly)
        reply = co_await Reply(Kind::Top, MailNumber, "TOP " + number + " 0");
    else
        reply = co_await Reply(Kind::Retr, MailNumber, "RETR " + number);
    if (!mg::Pop3Positive(reply)) throw RefusedWith(reply);
    std::string message;
    Limit limit = RetrieveLimitOf(MailNumber);
    if (headerOnly) limit = HeaderLimit(MailNumber);
    co_await ReadBlock(
        [&message](const std::string& line) {
            // A line the server began with "." had a "." put before it.
            const size_t from = line.size() > 1 && line[0] == '.' ? 1 : 0;
            size_t end = line.size();
            if (end > 0 && line[end - 1] == '\n') --end;
            if (end > 0 && line[end - 1] == '\r') --end;
            message.append(line, from, end > from ? end - from : 0);
            message += '\n';
        },
        limit);
    co_return message;
}

// ----- capabilities and pipelining

mg::Task<bool> TVantelPOP3::Capabilities(std::function<void(const std::string& name)> each) {
    const std::string reply = co_await Command("CAPA");
    capaAsked_ = true;
    saslXOAuth2_ = false;
    if (!mg::Pop3Positive(reply)) co_return false;
    const Limit limit{kMaxCapaBytes, SIZE_MAX, "CAPA"};
    co_await ReadBlock(
        [this, &each](const std::string& received) {
            const std::string line = WithoutLineEnd(received);
            const std::string name = CapabilityName(line);
            // "SASL" and the mechanisms, separated by blanks (RFC 2449).
            if (name == "SASL") saslXOAuth2_ |= (" " + mg::UpperAscii(line) + " ").find(" XOAUTH2 ") != std::string::npos;
            each(name);
        },
        limit);
    co_return true;
}

mg::Task<> TVantelPOP3::LogOnWithToken() {
    // A bearer token opens the mailbox as a password does, for as long as it
    // lives: it goes out encrypted, or to this machine.
    if (!Secure() && !PeerIsLoopback())
        throw Exception("XOAUTH2 sign-in needs TLS, and the server offers neither port 995 nor STLS");
    if (!capaAsked_) {  // on port 995 nothing asked CAPA before the log-on
        CheckStopped();
        co_await Capabilities([](const std::string&) {});
    }
    if (!saslXOAuth2_) throw Exception("The server does not offer XOAUTH2 sign-in (no \"SASL XOAUTH2\" in its CAPA reply)");
    // The command alone, and the token in answer to its "+": some servers
    // refuse a token sent on the command line itself.
    CheckStopped();
    std::string reply = co_await Command("AUTH XOAUTH2");
    if (!Continuation(reply)) throw AuthenticationRefused<EAuthenticationFailed>(reply);
    const std::string response = "user=" + UserID + "\x01" "auth=Bearer " + AccessToken + "\x01\x01";
    const std::string encoded = QByteArray::fromStdString(response).toBase64().toStdString();
    reply = co_await Command(encoded);
    if (Continuation(reply)) {
        // An error challenge (base64 JSON): an empty response ends the
        // exchange, and the server's verdict follows.
        reply = co_await Command("");
    }
    if (mg::Pop3Positive(reply)) co_return;
    const ETokenRefused refused = AuthenticationRefused<ETokenRefused>(reply);
    // Still inside the exchange: QUIT would be taken for a response.
    if (Continuation(reply)) OutOfStep(std::make_exception_ptr(refused));
    throw refused;
}

mg::Task<bool> TVantelPOP3::OffersStls() {
    bool stls = false;
    co_await Capabilities([&stls](const std::string& name) { stls |= name == "STLS"; });
    co_return stls;
}

mg::Task<> TVantelPOP3::ReadCapabilities() {
    // A server that does not know CAPA answers -ERR and is spoken to one
    // command at a time.
    capaAnswered_ = co_await Capabilities([this](const std::string& name) {
        if (name == "PIPELINING") pipelining_ = true;
        if (name == "UIDL") uidlListed_ = true;
    });
}

mg::Task<std::vector<std::string>> TVantelPOP3::Uidl(int32_t count) {
    std::vector<std::string> ids;
    if (busy_) co_return ids;
    BusyScope busy(busy_);
    CheckConnection();
    co_await SkipInFlight();
    CheckStopped();
    const std::string reply = co_await Command("UIDL");
    if (!mg::Pop3Positive(reply)) {
        uidlRefused_ = true;
        co_return ids;
    }
    const size_t most = static_cast<size_t>(std::max(count, 0));
    ids.resize(1);
    const Limit limit{(most + 1) * kMaxListingLineBytes, most, "UIDL"};
    co_await ReadBlock(
        [&ids](const std::string& received) {
            ids.emplace_back();  // one per line received: nothing is set aside for `count` in advance
            const std::string line = WithoutLineEnd(received);
            int32_t n = 0;
            const std::string id = mg::Pop3Field(line, 2);
            if (!mg::TryStrToInt(mg::Pop3Field(line, 1), n) || n < 1 || static_cast<size_t>(n) >= ids.size() ||
                id.size() > kMaxUidLength)
                return;
            ids[static_cast<size_t>(n)] = id;
        },
        limit);
    ids.resize(most + 1);
    co_return ids;
}

mg::Task<std::string> TVantelPOP3::UidlOf(int32_t number) {
    if (busy_) co_return std::string();
    BusyScope busy(busy_);
    CheckConnection();
    const std::string command = "UIDL " + mg::IntToStr(number);
    std::string reply = co_await Reply(Kind::Uidl, number, command);
    reply = WithoutLineEnd(reply);
    if (!mg::Pop3Positive(reply) || mg::Pop3Field(reply, 2) != mg::IntToStr(number)) co_return std::string();
    co_return mg::Pop3Field(reply, 3);
}

void TVantelPOP3::PlanSummaries(int32_t first, int32_t last) {
    if (!pipelining_ || busy_ || !Connected()) return;
    planned_.clear();
    for (int32_t n = first; n <= last; ++n) {
        const std::string number = mg::IntToStr(n);
        planned_.push_back({Kind::Top, n, number.size() + 9});     // "TOP n 0\r\n"
        planned_.push_back({Kind::ListOne, n, number.size() + 7});  // "LIST n\r\n"
    }
}

void TVantelPOP3::PlanHeaders(const std::vector<PlannedHeader>& messages) {
    if (!pipelining_ || busy_ || !Connected()) return;
    planned_.clear();
    for (const PlannedHeader& m : messages) {
        const size_t digits = mg::IntToStr(m.number).size();
        planned_.push_back({Kind::Top, m.number, digits + 9});                          // "TOP n 0\r\n"
        if (!m.sizeKnown) planned_.push_back({Kind::ListOne, m.number, digits + 7});  // "LIST n\r\n"
    }
}

void TVantelPOP3::PlanDeletions(const std::vector<int32_t>& numbers) {
    if (!pipelining_ || busy_ || !Connected()) return;
    planned_.clear();
    for (int32_t n : numbers) planned_.push_back({Kind::Dele, n, mg::IntToStr(n).size() + 7});  // "DELE n\r\n"
}

void TVantelPOP3::PlanUidls(const std::vector<int32_t>& numbers) {
    if (!pipelining_ || busy_ || !Connected()) return;
    planned_.clear();
    for (int32_t n : numbers) planned_.push_back({Kind::Uidl, n, mg::IntToStr(n).size() + 7});  // "UIDL n\r\n"
}

void TVantelPOP3::PlanRetrievals(const std::vector<PlannedRetrieval>& messages) {
    if (!pipelining_ || busy_ || !Connected()) return;
    planned_.clear();
    for (const PlannedRetrieval& m : messages) {
        const size_t digits = mg::IntToStr(m.number).size();
        if (m.headerOnly)
            planned_.push_back({Kind::Top, m.number, digits + 9});  // "TOP n 0\r\n"
        else
            planned_.push_back({Kind::Retr, m.number, digits + 7});  // "RETR n\r\n"
    }
}

void TVantelPOP3::EndPlan() { planned_.clear(); }

bool TVantelPOP3::DeletionInFlight(int32_t MailNumber) const {
    if (!Connected()) return false;
    for (const Pending& p : inFlight_)
        if (p.kind == Kind::Dele && p.number == MailNumber) return true;
    return false;
}

void TVantelPOP3::ResetPipeline() {
    planned_.clear();
    inFlight_.clear();
    bytesInFlight_ = 0;
}

bool TVantelPOP3::TopUpDue() const {
    // Refilled in batches, half a window at a time, so that a long scan costs
    // one send per batch rather than one per command.
    const size_t window = windowBytes_ ? windowBytes_ : kPipelineWindow;
    return !planned_.empty() && bytesInFlight_ <= window / 2;
}

mg::Task<> TVantelPOP3::TopUp() {
    const size_t window = windowBytes_ ? windowBytes_ : kPipelineWindow;
    if (!TopUpDue()) co_return;
    std::string batch;
    while (!planned_.empty() && (inFlight_.empty() || bytesInFlight_ + planned_.front().bytes <= window)) {
        const Pending p = planned_.front();
        planned_.pop_front();
        const std::string number = mg::IntToStr(p.number);
        switch (p.kind) {
            case Kind::Top: batch += "TOP " + number + " 0\r\n"; break;
            case Kind::ListOne: batch += "LIST " + number + "\r\n"; break;
            case Kind::Dele: batch += "DELE " + number + "\r\n"; break;
            case Kind::Retr: batch += "RETR " + number + "\r\n"; break;
            case Kind::Uidl: batch += "UIDL " + number + "\r\n"; break;
        }
        inFlight_.push_back(p);
        bytesInFlight_ += p.bytes;
    }
    std::exception_ptr failure;
    try {
        co_await Write(std::move(batch));
    } catch (...) {
        failure = std::current_exception();
    }
    // Part of the batch may have gone out: the replies can no longer be
    // matched to their commands.
    if (failure) OutOfStep(failure);
}

mg::Task<bool> TVantelPOP3::TakeInFlight(Kind kind, int32_t number) {
    if (!pipelining_) co_return false;
    if (NextInFlight(kind, number)) {
        if (TopUpDue()) co_await TopUp();
        co_return true;
    }
    const auto matches = [&](const Pending& p) { return p.kind == kind && p.number == number; };
    const auto sent = std::find_if(inFlight_.begin(), inFlight_.end(), matches);
    if (sent != inFlight_.end()) {
        // Its reply is on the way: the ones before it were not asked for, and
        // neither will the rest of the plan be.
        if (sent != inFlight_.begin()) {
            planned_.clear();
            co_await SkipInFlight(static_cast<size_t>(sent - inFlight_.begin()));
        }
        co_await TopUp();
        co_return true;
    }
    if (inFlight_.empty() && !planned_.empty() && matches(planned_.front())) {
        co_await TopUp();
        co_return true;
    }
    // Off the plan: what was announced is not coming.
    planned_.clear();
    co_await SkipInFlight();
    co_return false;
}

void TVantelPOP3::TakeFront() {
    bytesInFlight_ -= inFlight_.front().bytes;
    inFlight_.pop_front();
}

void TVantelPOP3::TakeReply(const std::string& line) {
    TakeFront();
    try {
        NoteReply(line);
    } catch (const ERangeError&) {
        OutOfStep(std::current_exception());
    }
}

mg::Task<std::string> TVantelPOP3::PipelinedReply() {
    std::string line;
    if (!ReadBufferedLine(line)) line = co_await ReadLn();
    if (line.empty()) {  // closed instead of a reply: the caller says so
        ResetPipeline();
        co_return line;
    }
    TakeReply(line);
    co_return line;
}

mg::Task<> TVantelPOP3::SkipInFlight(size_t count) {
    for (; count > 0 && !inFlight_.empty(); --count) {
        const Kind kind = inFlight_.front().kind;
        std::string line;
        if (!ReadBufferedLine(line)) line = co_await ReadLn();
        if (line.empty()) ClosedByServer();
        Limit limit = RetrieveLimitOf(inFlight_.front().number);
        if (kind == Kind::Top) limit = HeaderLimit(inFlight_.front().number);
        TakeFront();
        if ((kind == Kind::Top || kind == Kind::Retr) && mg::Pop3Positive(line)) co_await ReadBlock([](const std::string&) {}, limit);
    }
}

bool TVantelPOP3::NextInFlight(Kind kind, int32_t number) const {
    return !inFlight_.empty() && inFlight_.front().kind == kind && inFlight_.front().number == number;
}

mg::Task<std::string> TVantelPOP3::Reply(Kind kind, int32_t number, std::string line) {
    // Mostly the reply at the front of the pipe is this command's: no task
    // is needed to find that out.
    if (pipelining_ && NextInFlight(kind, number) && !TopUpDue()) {
        std::string reply;
        if (ReadBufferedLine(reply)) {
            TakeReply(reply);
            co_return reply;
        }
    }
    if (!co_await TakeInFlight(kind, number)) {
        CheckStopped();
        co_return co_await Command(std::move(line));
    }
    std::string reply = co_await PipelinedReply();
    if (reply.empty()) ClosedByServer();
    co_return reply;
}

mg::Task<bool> TVantelPOP3::Noop() {
    if (busy_ || !Connected()) co_return false;
    std::string reply;
    {
        BusyScope busy(busy_);
        std::exception_ptr failure;
        try {
            planned_.clear();
            co_await SkipInFlight();  // replies of a pipeline nobody took any more
            BusyScope decisive(decisive_);
            reply = co_await Transaction("NOOP");
        } catch (...) {
            failure = std::current_exception();
        }
        if (failure) {
            // A send or read that failed leaves no session to keep.
            if (Connected()) TTidewire::Disconnect();
            std::rethrow_exception(failure);
        }
        if (reply.empty()) ClosedByServer();
        if (mg::Pop3Positive(reply)) co_return true;
    }
    // The server refused a NOOP: the session is not sound any more. QUIT
    // still asks it to carry out what it accepted; its reply decides.
    co_await Disconnect();
    throw RefusedWith(reply);
}
