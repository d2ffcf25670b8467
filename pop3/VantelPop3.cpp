#include "pop3/VantelPop3.h"

#include <algorithm>

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

// Commands kept in flight at most, in bytes. Far below what the socket
// buffers of both ends hold, so a batch of commands never waits for the
// server to read while the server waits for us to read its replies; and
// enough to keep a link of 50 ms busy with some 300 messages ahead.
constexpr size_t kPipelineWindow = 8192;

// A capability line names PIPELINING (capability names ignore letter case).
bool NamesPipelining(const std::string& line) {
    std::string name = WithoutLineEnd(line).substr(0, line.find(' '));
    for (char& c : name)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return name == "PIPELINING";
}

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
    ResetPipeline();
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
        ResetPipeline();
        pipelining_ = false;
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
            ReadCapabilities();

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
    if (busy_ && !inFlight_.empty()) {
        // Called from inside an operation that is reading pipelined replies:
        // they cannot be told apart from a reply to QUIT any more, so the
        // connection closes without it, and the server applies nothing of
        // this session. The interrupted operation fails on the closed
        // connection.
        quitAccepted_ = false;
        ResetPipeline();
        TTidewire::Disconnect();
        return;
    }
    if (!inFlight_.empty()) {
        const bool setBusy = !busy_;
        busy_ = true;
        try {
            SkipInFlight();
        } catch (...) {
            if (setBusy) busy_ = false;
            ResetPipeline();
            if (Connected()) TTidewire::Disconnect();
            throw;
        }
        if (setBusy) busy_ = false;
    }
    planned_.clear();
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
    ResetPipeline();
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
    planned_.clear();
    SkipInFlight();
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
    const std::string reply = Reply(Kind::Top, MailNumber, "TOP " + number + " 0");
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

    const std::string size = Reply(Kind::ListOne, MailNumber, "LIST " + number);
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
        if (TakeInFlight(Kind::Dele, MailNumber)) {
            reply = PipelinedReply();
        } else {
            Transaction("DELE " + mg::IntToStr(MailNumber), reply);
        }
        // Only a first field of exactly "-ERR" is a refusal; a connection
        // closed instead of a reply is no deletion either.
        if (reply.empty() || mg::Pop3Field(reply, 1) == "-ERR") {
            planned_.clear();  // no further deletion goes out after a refusal
            if (OnFailure) OnFailure(this);
            if (reply.empty()) ClosedByServer();
            throw Exception(reply);
        }
    }
    if (OnSuccess) OnSuccess(this);
}

// ----- capabilities and pipelining

void TVantelPOP3::ReadCapabilities() {
    // A server that does not know CAPA answers -ERR and is spoken to one
    // command at a time.
    const std::string reply = Command("CAPA");
    if (!mg::Pop3Positive(reply)) return;
    for (std::string line = NextLine(); WithoutLineEnd(line) != "."; line = NextLine())
        if (NamesPipelining(line)) pipelining_ = true;
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

void TVantelPOP3::PlanDeletions(const std::vector<int32_t>& numbers) {
    if (!pipelining_ || busy_ || !Connected()) return;
    planned_.clear();
    for (int32_t n : numbers) planned_.push_back({Kind::Dele, n, mg::IntToStr(n).size() + 7});  // "DELE n\r\n"
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

void TVantelPOP3::TopUp() {
    const size_t window = windowBytes_ ? windowBytes_ : kPipelineWindow;
    // Refilled in batches, half a window at a time, so that a long scan costs
    // one send per batch rather than one per command.
    if (planned_.empty() || bytesInFlight_ > window / 2) return;
    std::string batch;
    while (!planned_.empty() && (inFlight_.empty() || bytesInFlight_ + planned_.front().bytes <= window)) {
        const Pending p = planned_.front();
        planned_.pop_front();
        const std::string number = mg::IntToStr(p.number);
        switch (p.kind) {
            case Kind::Top: batch += "TOP " + number + " 0\r\n"; break;
            case Kind::ListOne: batch += "LIST " + number + "\r\n"; break;
            case Kind::Dele: batch += "DELE " + number + "\r\n"; break;
        }
        inFlight_.push_back(p);
        bytesInFlight_ += p.bytes;
    }
    try {
        Write(batch);
    } catch (...) {
        // Part of the batch may have gone out: the replies can no longer be
        // matched to their commands.
        ResetPipeline();
        if (Connected()) TTidewire::Disconnect();
        throw;
    }
}

bool TVantelPOP3::TakeInFlight(Kind kind, int32_t number) {
    if (!pipelining_) return false;
    const auto matches = [&](const Pending& p) { return p.kind == kind && p.number == number; };
    const auto sent = std::find_if(inFlight_.begin(), inFlight_.end(), matches);
    if (sent != inFlight_.end()) {
        // Its reply is on the way: the ones before it were not asked for, and
        // neither will the rest of the plan be.
        if (sent != inFlight_.begin()) {
            planned_.clear();
            SkipInFlight(static_cast<size_t>(sent - inFlight_.begin()));
        }
        TopUp();
        return true;
    }
    if (inFlight_.empty() && !planned_.empty() && matches(planned_.front())) {
        TopUp();
        return true;
    }
    // Off the plan: what was announced is not coming.
    planned_.clear();
    SkipInFlight();
    return false;
}

void TVantelPOP3::TakeFront() {
    bytesInFlight_ -= inFlight_.front().bytes;
    inFlight_.pop_front();
}

std::string TVantelPOP3::PipelinedReply() {
    std::string line;
    ReadLn(line);
    if (line.empty()) {  // closed instead of a reply: the caller says so
        ResetPipeline();
        return line;
    }
    TakeFront();
    NoteReply(line);
    return line;
}

void TVantelPOP3::SkipInFlight(size_t count) {
    for (; count > 0 && !inFlight_.empty(); --count) {
        const Kind kind = inFlight_.front().kind;
        std::string line;
        ReadLn(line);
        if (line.empty()) ClosedByServer();
        TakeFront();
        if (kind == Kind::Top && mg::Pop3Positive(line))
            while (WithoutLineEnd(NextLine()) != ".") {
            }
    }
}

std::string TVantelPOP3::Reply(Kind kind, int32_t number, const std::string& line) {
    if (!TakeInFlight(kind, number)) return Command(line);
    std::string reply = PipelinedReply();
    if (reply.empty()) ClosedByServer();
    return reply;
}

bool TVantelPOP3::Noop() {
    if (busy_ || !Connected()) return false;
    std::string reply;
    {
        BusyScope busy(busy_);
        noopWaiting_ = true;
        try {
            planned_.clear();
            SkipInFlight();  // replies of a pipeline nobody took any more
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
