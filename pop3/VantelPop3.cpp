#include "pop3/VantelPop3.h"

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

bool Pop3Positive(const std::string& reply) { return Pop3Field(reply, 1).find("+OK") != std::string::npos; }

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

const char kAuthenticationFailed[] = "Authentication failed";
const char kConnectionClosed[] = "Connection closed by server";

}  // namespace

TVantelPOP3::TVantelPOP3(TComponent* owner) : TTidewire(owner) {
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
    if (Connected()) TTidewire::Disconnect();
    throw Exception(kConnectionClosed);
}

std::string TVantelPOP3::Command(const std::string& line) {
    std::string reply;
    Transaction(line, reply);
    if (reply.empty()) ClosedByServer();
    return reply;
}

std::string TVantelPOP3::NextLine() {
    std::string line;
    ReadLn(line);
    if (line.empty()) ClosedByServer();
    return line;
}

bool TVantelPOP3::LogonCheck(const std::string& reply, int& attempts) {
    if (mg::Pop3Positive(reply)) return true;
    if (attempts > 0 || !OnAuthenticationFailed) throw Exception(kAuthenticationFailed);
    bool handled = false;
    OnAuthenticationFailed(handled);
    if (!handled) throw Exception(kAuthenticationFailed);
    ++attempts;
    return false;
}

void TVantelPOP3::Connect() {
    // Credentials: the owner gets one chance to supply missing ones.
    bool asked = false;
    while (Password.empty() || UserID.empty()) {
        if (!OnAuthenticationNeeded) throw Exception(kAuthenticationFailed);
        if (asked) break;
        asked = true;
        bool handled = false;
        OnAuthenticationNeeded(handled);
        if (!handled) throw Exception(kAuthenticationFailed);
    }

    // A Connect started from inside another operation leaves that
    // operation's busy flag alone.
    const bool setBusy = !busy_;
    busy_ = true;
    bool loggedOn = false;
    auto done = [&] {
        if (setBusy) busy_ = false;
        if (loggedOn && OnConnect) OnConnect(this);
    };
    try {
        quitAccepted_ = false;
        TTidewire::Connect();
        try {
            std::string greeting;
            ReadLn(greeting);
            if (greeting.empty()) ClosedByServer();
            if (!mg::Pop3Positive(greeting)) throw Exception(greeting);

            // At most one retry of USER and PASS, and only when the
            // OnAuthenticationFailed handler asks for it.
            int attempts = 0;
            while (!(LogonCheck(Command("USER " + UserID), attempts) &&
                     LogonCheck(Command("PASS " + Password), attempts)))
                ++attempts;
            loggedOn = true;

            const std::string stat = Command("STAT");
            if (!mg::Pop3Positive(stat)) throw Exception(stat);
            int32_t count = 0;
            mailCount_ = mg::TryStrToInt(mg::Pop3Field(stat, 2), count) ? count : 0;
        } catch (...) {
            Disconnect();  // an error of its own replaces the first one
            throw;
        }
    } catch (...) {
        done();
        throw;
    }
    done();
}

void TVantelPOP3::Disconnect() {
    if (!Connected()) return;
    quitAccepted_ = false;
    // The flag keeps a NOOP of the keep-alive (or any other command) from
    // going out while the reply to QUIT is awaited.
    const bool setBusy = !busy_;
    busy_ = true;
    std::string reply;
    try {
        Transaction("QUIT", reply);
        // A log-off let through by the wait of a NOOP: the NOOP's reply comes
        // first, the reply to QUIT after it.
        if (noopWaiting_ && !reply.empty()) {
            noopWaiting_ = false;  // the NOOP learns that its reply was taken
            ReadLn(reply);
        }
    } catch (...) {
        if (setBusy) busy_ = false;
        TTidewire::Disconnect();
        throw;
    }
    if (setBusy) busy_ = false;
    quitAccepted_ = mg::Pop3Positive(reply);
    TTidewire::Disconnect();
    if (reply.empty()) throw Exception(kConnectionClosed);
    if (!quitAccepted_) throw Exception(reply);
}

void TVantelPOP3::Abort() {
    Cancel();
    if (Connected()) {
        TTidewire::Disconnect();
        ClearInput();
    }
}

void TVantelPOP3::List() {
    if (busy_) return;
    BusyScope busy(busy_);
    CheckConnection();
    // A refused listing has no lines to wait for.
    const std::string reply = Command("LIST ");
    if (!mg::Pop3Positive(reply)) throw Exception(reply);
    for (std::string line = WithoutLineEnd(NextLine()); line != "."; line = WithoutLineEnd(NextLine())) {
        if (OnList) {
            const int32_t size = mg::StrToInt(mg::Pop3Field(line, 2));
            const int32_t msg = mg::StrToInt(mg::Pop3Field(line, 1));
            OnList(msg, size);
        }
    }
}

void TVantelPOP3::GetSummary(int32_t MailNumber) {
    if (busy_) return;
    BusyScope busy(busy_);
    CheckConnection();
    if (OnRetrieveStart) OnRetrieveStart(this);

    const std::string number = mg::IntToStr(MailNumber);
    const std::string reply = Command("TOP " + number + " 0");
    if (!mg::Pop3Positive(reply)) throw Exception(reply);

    summary_.Header.clear();
    summary_.Subject.clear();
    summary_.From.clear();
    summary_.MessageId.clear();
    // Header names are matched exactly at the start of a line; the last of
    // repeated headers wins; continuation lines are kept apart; no
    // dot-unstuffing.
    for (;;) {
        const std::string line = NextLine();
        if (StartsWith(line, "Subject:")) summary_.Subject = HeaderValue(line, 8);
        if (StartsWith(line, "From:")) summary_.From = HeaderValue(line, 5);
        if (StartsWith(line, "Message-ID:")) summary_.MessageId = line.size() > 12 ? line.substr(12, 256) : "";
        summary_.Header.push_back(WithoutLineEnd(line));
        if (summary_.Header.back() == ".") break;
    }

    const std::string size = Command("LIST " + number);
    summary_.Bytes = mg::StrToInt(mg::Trim(mg::Pop3Field(size, 3)));
    ReportStatus(1, "Summary Retrieved");
    if (OnRetrieveEnd) OnRetrieveEnd(this);
}

void TVantelPOP3::DeleteMessage(int32_t MailNumber) {
    if (busy_) return;
    {
        BusyScope busy(busy_);
        CheckConnection();
        std::string reply;
        Transaction("DELE " + mg::IntToStr(MailNumber), reply);
        // Only a first field of exactly "-ERR" is a refusal; a connection
        // closed instead of a reply is no deletion either.
        if (reply.empty() || mg::Pop3Field(reply, 1) == "-ERR") {
            if (OnFailure) OnFailure(this);
            if (reply.empty()) ClosedByServer();
            throw Exception(reply);
        }
    }
    if (OnSuccess) OnSuccess(this);
}

bool TVantelPOP3::Noop() {
    if (busy_ || !Connected()) return false;
    std::string reply;
    {
        BusyScope busy(busy_);
        noopWaiting_ = true;
        try {
            Transaction("NOOP", reply);
        } catch (...) {
            noopWaiting_ = false;
            // A send or read that failed leaves no session to keep.
            if (Connected()) TTidewire::Disconnect();
            throw;
        }
        // Logged off while waiting: the log-off has read this reply.
        const bool takenOver = !noopWaiting_;
        noopWaiting_ = false;
        if (takenOver) return false;
        if (reply.empty()) ClosedByServer();
        if (mg::Pop3Positive(reply)) return true;
    }
    // The server refused a NOOP: the session is not sound any more. QUIT
    // still asks it to carry out what it accepted; its reply decides.
    Disconnect();
    throw Exception(reply);
}
