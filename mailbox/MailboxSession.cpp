#include "mailbox/MailboxSession.h"

#include <cmath>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <sys/stat.h>

#include "decode/Ucoder.h"
#include "lists/DeletionLog.h"
#include "lists/LineMark.h"
#include "lists/Sender.h"
#include "lists/SpamTree.h"
#include "lists/WhiteList.h"
#include "platform/codepage.h"
#include "platform/strutil.h"

namespace mg {

namespace {

using Mark = TMessageLines::Mark;

// The most messages a mailbox is believed to hold: the largest real ones
// hold some hundreds of thousands. A count above it is the server's error.
constexpr int kMaxMessages = 1000000;
// How long an end lets the reply under way come in before it closes the
// connection: a header block or a deletion's reply is long in by then, even
// on a slow link, while a reply that is stuck or has no end stops here.
constexpr int kEndGraceMs = 2000;

// Ends the component's plan of pipelined commands however the loop ends.
struct PlanEnd {
    TVantelPOP3& pop3;
    ~PlanEnd() { pop3.EndPlan(); }
};

}  // namespace

// ---- one operation at a time

// Awaited by an operation before it touches the wire: goes on at once when
// nothing else does, else when the operation before it has ended.
class MailboxSession::Turn {
public:
    Turn(MailboxSession* session, State state) : session_(session), state_(state) {}
    bool await_ready() {
        if (session_->turnTaken_) return false;
        Take();
        return true;
    }
    void await_suspend(std::coroutine_handle<> operation) { session_->turnWaiting_.push_back(operation); }
    void await_resume() {
        if (!taken_) Take();
    }

private:
    void Take() {
        taken_ = true;
        session_->turnTaken_ = true;
        session_->SetState(state_);
    }
    MailboxSession* session_;
    State state_;
    bool taken_ = false;
};

// Ends the operation's turn however it ends.
struct MailboxSession::TurnScope {
    MailboxSession* session;
    ~TurnScope() { session->EndTurn(); }
};

MailboxSession::Turn MailboxSession::TakeTurn(State state) { return Turn(this, state); }

void MailboxSession::EndTurn() {
    turnTaken_ = false;
    SetState(RestingState());
    if (!turnWaiting_.empty()) {
        // The next operation goes on from the event loop, not inside this one's end.
        const std::coroutine_handle<> next = turnWaiting_.front();
        turnWaiting_.pop_front();
        turnTaken_ = true;  // held for it meanwhile
        QMetaObject::invokeMethod(
            this,
            [this, next] {
                turnTaken_ = false;
                next.resume();
            },
            Qt::QueuedConnection);
    }
    RestartKeepAlive();
}

MailboxSession::State MailboxSession::RestingState() const {
    if (!pop3_.Connected()) return State::Idle;
    return pending_.empty() ? State::Open : State::Holding;
}

void MailboxSession::SetState(State state) {
    if (state == state_) return;
    state_ = state;
    if (OnState) OnState(state);
}

// ---- construction

MailboxSession::MailboxSession(std::string dataDir, const SpamTree& spam, const WhiteList& white, SessionOptions options,
                               QObject* parent)
    : QObject(parent), dataDir_(std::move(dataDir)), options_(options), spam_(spam), white_(white) {
    if (!dataDir_.empty() && dataDir_.back() != '/') dataDir_ += '/';
    bin_.Enabled = false;
    // The component as the window held it: port 110, report level 0, no
    // parsing, no delete-on-read.
    pop3_.Port = 110;
    pop3_.ReportLevel = 0;
    pop3_.Parse = false;
    pop3_.DeleteOnRead = false;
    pop3_.SetLoopbackRemoteForTesting(options_.LoopbackIsRemote);
    keepAlive_.setSingleShot(true);
    connect(&keepAlive_, &QTimer::timeout, this, [this] { KeepAliveTick(); });
    // Looked at again while the end lasts: a reply to DELE or QUIT may be
    // followed by one that is not.
    connect(&endGrace_, &QTimer::timeout, this, [this] { replyCut_ = pop3_.CutOperation() || replyCut_; });
    Bind();
}

MailboxSession::~MailboxSession() {
    // Tasks first: they hold the component and the lines.
    keepAliveTask_.Reset();
    job_.Reset();
    pop3_.OnDisconnect = nullptr;
}


void MailboxSession::Bind() {
    TVantelPOP3& c = pop3_;
    c.OnStatus = [this](TComponent*, const std::string& text) {
        if (OnStatus) OnStatus(text);
    };
    c.OnHostResolved = [this](TComponent*) {
        if (OnHostResolved) OnHostResolved();
    };
    c.OnInvalidHost = [this](bool& handled) {
        if (OnInvalidHost) OnInvalidHost(handled);
    };
    c.OnConnectionFailed = [this](TObject*) {
        // Not when the user gave the attempt up.
        if (!ending_ && OnConnectionFailed) OnConnectionFailed();
    };
    c.OnConnect = [this](TObject*) {
        if (OnConnect) OnConnect();
    };
    c.OnDisconnect = [this](TObject*) {
        try {
            DeletionsLost();
        } catch (...) {
            // The close goes on; a line that could not be changed keeps its text.
        }
        if (!turnTaken_) SetState(RestingState());
        if (OnDisconnect) OnDisconnect();
    };
    c.OnRetrieveStart = [this](TObject*) {
        if (OnRetrieveStart) OnRetrieveStart();
    };
    c.OnRetrieveEnd = [this](TObject*) {
        if (OnRetrieveEnd) OnRetrieveEnd();
    };
    c.OnSuccess = [this](TObject*) {
        if (OnSuccess) OnSuccess();
    };
    c.OnFailure = [this](TObject*) {
        // One report per delete run: later refusals of deletions already on
        // their way add nothing the user has not been told.
        if (deleting_ && failureShown_) return;
        failureShown_ = true;
        if (OnFailure) OnFailure();
    };
    c.OnPacketRecvd = [this](TObject*) {
        if (OnPacketRecvd) OnPacketRecvd();
    };
    c.OnReset = [this](TObject*) {
        if (OnReset) OnReset();
    };
    c.OnList = [this](int32_t msg, int32_t size) {
        lines_.Append(size);
        // One entry per line received (the component takes no more lines
        // than STAT counted); a number ahead of the lines gets its size
        // asked later.
        listed_.push_back(-1);
        if (msg >= 1 && static_cast<size_t>(msg) < listed_.size()) listed_[static_cast<size_t>(msg)] = size;
    };
}

// ---- jobs

bool MailboxSession::Settled() const {
    return !jobRunning_ && queue_.empty() && !turnTaken_ && !keepAliveRunning_ && !endPending_;
}

void MailboxSession::Submit(Job job, std::function<void(std::exception_ptr)> done) {
    queue_.push_back({std::move(job), std::move(done)});
    if (!jobRunning_) StartNext();
}

void MailboxSession::StartNext() {
    if (jobRunning_ || queue_.empty()) return;
    Queued next = std::move(queue_.front());
    queue_.pop_front();
    jobRunning_ = true;
    jobDone_ = std::move(next.done);
    job_ = RunJob(std::move(next.job));
    job_.Start([this] {
        // From inside the job's last step: the rest goes on from the event loop.
        QMetaObject::invokeMethod(this, [this] { JobFinished(); }, Qt::QueuedConnection);
    });
}

Task<> MailboxSession::RunJob(Job job) {
    // `job` lives in this frame until the job's task has finished.
    co_await job();
}

void MailboxSession::JobFinished() {
    std::exception_ptr error;
    try {
        job_.Result();
    } catch (const ESessionEnded&) {
    } catch (...) {
        // A job that stopped because the session is ending is not reported,
        // unless the end cut its reply and lost deletions with it: the loss
        // is told with why.
        if (!ending_)
            error = std::current_exception();
        else if (replyCut_ && loss_.count > 0)
            error = std::make_exception_ptr(ELostAtLogOff(ReplyCutReason()));
    }
    job_.Reset();
    // The job counts as running until its owner has been told (which may
    // take a box): a job submitted meanwhile waits.
    const auto done = std::exchange(jobDone_, nullptr);
    if (done) done(error);
    jobRunning_ = false;
    StartNext();
}

void MailboxSession::CheckEnding() const {
    if (ending_) throw ESessionEnded();
}

// ---- ending

void MailboxSession::End(std::function<void(const EndResult&)> then) {
    endThen_.push_back(std::move(then));
    if (endPending_) return;
    endPending_ = true;
    ending_ = true;
    queue_.clear();
    // The operation under way sends nothing more: it takes the replies it
    // waits for, and the log-off follows. A connection still being made has
    // no command in flight: it is given up at once.
    pop3_.SetStopped(true);
    if (state_ == State::Connecting && !pop3_.Connected()) pop3_.Cancel();
    endGrace_.start(kEndGraceMs);
    queue_.push_front({[this] { return EndingLogOff(); },
                       [this](std::exception_ptr) {
                           endPending_ = false;
                           endGrace_.stop();
                           replyCut_ = false;
                           const EndResult result = endResult_;
                           for (auto& then : std::exchange(endThen_, {}))
                               if (then) then(result);
                       }});
    if (!jobRunning_) StartNext();
}

Task<> MailboxSession::EndingLogOff() {
    ending_ = false;
    pop3_.SetStopped(false);
    endResult_ = {};
    try {
        co_await LogOff();
    } catch (const ELostAtLogOff& e) {
        endResult_.lost = true;
        endResult_.error = e.Message;
    } catch (const std::exception& e) {
        endResult_.error = e.what();
    }
    endResult_.lost = endResult_.lost || loss_.count > 0;
    // A connection the end closed itself: that is the reason, not the
    // aborted read.
    if (replyCut_) endResult_.error = endResult_.lost ? ReplyCutReason() : "";
}

std::string MailboxSession::ReplyCutReason() {
    return A("ответ сервера не пришел вовремя, соединение разорвано без QUIT");
}

// ---- operations

void MailboxSession::RequireConnection() {
    SettleClosedSession();
    if (pop3_.Connected()) return;
    bool handled = false;
    if (OnConnectionRequired) OnConnectionRequired(handled);
    if (handled) throw ESessionEnded();  // the scan the owner asked for comes next
    throw Exception("Not Connected");
}

Task<> MailboxSession::LogOffAndClear() {
    std::exception_ptr failure;
    try {
        co_await pop3_.Disconnect();
    } catch (...) {
        failure = std::current_exception();
    }
    // A log-off that an end cut short and that lost nothing is a log-off.
    if (failure && replyCut_ && loss_.count == 0) failure = nullptr;
    if (failure) {
        // The close has marked the lines the server did not carry out: the
        // report names the error, and the lines stay.
        if (loss_.count == 0) std::rethrow_exception(failure);
        try {
            std::rethrow_exception(failure);
        } catch (const std::exception& e) {
            throw ELostAtLogOff(e.what());
        }
    }
    lines_.Clear();
    fromListing_ = false;
    if (OnCount) OnCount(0);
}

Task<> MailboxSession::LogOff() {
    co_await TakeTurn(State::LoggingOff);
    TurnScope turn{this};
    SettleClosedSession();
    co_await LogOffAndClear();
}

Task<> MailboxSession::LogOn(const MailboxSettings& s) {
    pop3_.SetAttachFilePath(".");
    pop3_.DeleteOnRead = false;
    pop3_.ReportLevel = 2;
    pop3_.TimeOut = options_.TimeOutMs;
    pop3_.Host = s.Host;
    pop3_.Port = s.Port;
    pop3_.UserID = s.User;
    pop3_.Password = s.Password;
    pop3_.TlsRequired = s.TlsRequired;
    pop3_.XOAuth2 = s.Auth == MailboxSettings::SignIn::OAuth2;
    SetState(State::Connecting);
    if (!pop3_.XOAuth2) {
        co_await pop3_.Connect();
        co_return;
    }
    pop3_.Password.clear();
    if (!s.Token) throw Exception("No access token for an OAuth2 mailbox");
    for (int attempt = 0; attempt < 2; ++attempt) {
        const bool refresh = attempt > 0;
        Task<std::string> token = s.Token(refresh);
        pop3_.AccessToken = co_await token;
        CheckEnding();
        bool refused = false;
        try {
            co_await pop3_.Connect();
        } catch (const ETokenRefused&) {
            if (refresh) throw;  // the fresh token too: the server's reason ends the log-on
            refused = true;
        }
        if (!refused) break;
    }
}

Task<> MailboxSession::Scan(std::function<MailboxSettings()> settings) {
    CheckEnding();
    co_await TakeTurn(pop3_.Connected() ? State::LoggingOff : State::Connecting);
    TurnScope turn{this};
    SettleClosedSession();
    if (pop3_.Connected()) {
        co_await LogOffAndClear();
    } else {
        lines_.Clear();
    }
    fromListing_ = false;
    CheckEnding();

    const MailboxSettings s = settings();
    authserv_ = s.Authserv;
    co_await LogOn(s);
    const int count = pop3_.MailCount();
    if (count < 0 || count > kMaxMessages) {
        // Nothing is built on such a number: the session ends as after a refused STAT.
        try {
            co_await pop3_.Disconnect();
        } catch (...) {
        }
        throw Exception(A("Сервер сообщил, что в ящике ") + IntToStr(count) +
                        A(" сообщений: столько не бывает, проверка прервана"));
    }
    if (OnCount) OnCount(count);
    SetState(State::Scanning);
    CheckEnding();
    listed_.assign(1, -1);  // the listing adds one per message
    co_await pop3_.List();

    // ids_[n] is message n's UIDL when it is its alone (an empty one is no
    // use).
    cacheKey_ = {s.Host, s.User};
    bool remembering = false;
    cacheNotice_.clear();
    ids_.clear();
    if (count > 0 && OpenCache() && pop3_.UidlWorthAsking()) {
        CheckEnding();
        ids_ = co_await pop3_.Uidl(count);
    }
    SettleNotedDeletions(count);
    remembering = !ids_.empty() && BeginCache();
    KeepUniqueIds(count);
    // Whatever ends the scan early keeps what it fetched, in the cache too;
    // the end of the session (the frame destroyed) drops it.
    struct Transaction {
        HeaderCache* cache;
        ~Transaction() {
            if (cache) cache->Rollback();
        }
    } transaction{remembering ? cache_.get() : nullptr};

    // Lines of the messages the cache knows come from it at once; the
    // others, in order, from the wire, where a server that pipelines gets
    // those commands ahead of time. Whatever ends the loop ends the plan; the
    // replies still on their way are read before the next command.
    std::vector<std::string> seen, gone;
    std::vector<bool> built(static_cast<size_t>(std::max(count, 0)) + 1);
    bool firstScan = true;
    std::exception_ptr failure;
    try {
        if (remembering) remembering = BuildCachedLines(count, built, seen, gone, firstScan);
    } catch (...) {
        failure = std::current_exception();
    }
    std::vector<TVantelPOP3::PlannedHeader> fetch;
    for (int i = 1; i <= count && !failure; ++i)
        if (!built[static_cast<size_t>(i)]) fetch.push_back({i, listed_[static_cast<size_t>(i)] >= 0});
    pop3_.PlanHeaders(fetch);
    const PlanEnd endPlan{pop3_};

    int fresh = 0;
    try {
        for (const TVantelPOP3::PlannedHeader& m : fetch) {
            CheckEnding();
            const int i = m.number;
            const std::string& id = Id(i);
            const int32_t size = listed_[static_cast<size_t>(i)];
            co_await pop3_.GetSummary(i, size >= 0 ? std::optional<int32_t>(size) : std::nullopt);
            BuildLine(i - 1, pop3_.Summary());
            if (!remembering || id.empty()) continue;
            if (!cache_->Add(cacheKey_.first, cacheKey_.second, {id, {pop3_.Summary().Raw, pop3_.Summary().Bytes}})) {
                cacheNotice_ = CacheProblem();
                remembering = false;
            }
            // A mailbox scanned for the first time has nothing new in it.
            if (!firstScan) {
                lines_.SetFresh(i - 1, true);
                ++fresh;
            }
        }
    } catch (...) {
        failure = std::current_exception();
    }
    if (remembering && !failure) {
        std::vector<HeaderCache::Listed> listing;
        for (int i = 1; i <= count; ++i) listing.push_back({i, Id(i), std::max(listed_[static_cast<size_t>(i)], 0)});
        remembering = cache_->SetListing(cacheKey_.first, cacheKey_.second, listing);
        if (!remembering) cacheNotice_ = CacheProblem();
    }
    if (remembering && !cache_->Commit(cacheKey_.first, cacheKey_.second, seen, gone, !failure))
        cacheNotice_ = CacheProblem();
    transaction.cache = nullptr;
    if (failure) std::rethrow_exception(failure);
    if (count == 0) {
        lines_.Clear();
        // An empty mailbox's last scan shows no lines.
        if (OpenCache() && cache_->Begin()) {
            cache_->SetListing(cacheKey_.first, cacheKey_.second, {});
            cache_->Commit(cacheKey_.first, cacheKey_.second, {}, {}, false);
        }
    }
    std::string notice = cacheNotice_;
    if (const std::string clear = ClearTextNotice(); !clear.empty()) notice = notice.empty() ? clear : clear + ". " + notice;
    if (OnScanned) OnScanned(count, fresh, notice);
}

bool MailboxSession::BuildCachedLines(int count, std::vector<bool>& built, std::vector<std::string>& seen,
                                      std::vector<std::string>& gone, bool& firstScan) {
    std::unordered_map<std::string_view, int> numbers;
    for (int i = 1; i <= count; ++i)
        if (!Id(i).empty() && listed_[static_cast<size_t>(i)] >= 0) numbers.emplace(Id(i), i);
    const bool loaded = cache_->Load(cacheKey_.first, cacheKey_.second,
                                     [&](const std::string& uidl, const HeaderCache::Entry& entry) {
                                         firstScan = false;
                                         const auto found = numbers.find(uidl);
                                         if (found == numbers.end()) {
                                             gone.push_back(uidl);
                                             return;
                                         }
                                         const int i = found->second;
                                         BuildLine(i - 1, SummaryOfBlock(entry.header, listed_[static_cast<size_t>(i)]));
                                         built[static_cast<size_t>(i)] = true;
                                         seen.push_back(uidl);
                                     });
    if (!loaded) {
        cacheNotice_ = CacheProblem();
        return false;
    }
    // A mailbox found empty before has been scanned: its first message is new.
    std::vector<HeaderCache::Listed> listing;
    int64_t scanned = 0;
    if (firstScan && cache_->LastListing(cacheKey_.first, cacheKey_.second, listing, scanned)) firstScan = false;
    return true;
}

bool MailboxSession::ShowLastScan(const std::string& server, const std::string& login, const std::string& authserv,
                                  int64_t& scanned) {
    if (pop3_.Connected() || turnTaken_ || !pending_.empty()) return false;
    lines_.Clear();
    authserv_ = authserv;
    fromListing_ = false;
    std::vector<HeaderCache::Listed> listing;
    if (!OpenCache() || !cache_->LastListing(server, login, listing, scanned)) return false;
    cacheKey_ = {server, login};
    const size_t count = listing.size();
    listed_.assign(count + 1, -1);
    ids_.assign(count + 1, std::string());
    std::unordered_map<std::string_view, int> numbers;
    for (const HeaderCache::Listed& m : listing) {
        if (m.number < 1 || static_cast<size_t>(m.number) > count) continue;
        listed_[static_cast<size_t>(m.number)] = m.size;
        ids_[static_cast<size_t>(m.number)] = m.uidl;
        if (!m.uidl.empty()) numbers.emplace(ids_[static_cast<size_t>(m.number)], m.number);
    }
    for (size_t n = 1; n <= count; ++n) lines_.Append(std::max(listed_[n], 0));
    cache_->Load(server, login, [&](const std::string& uidl, const HeaderCache::Entry& entry) {
        const auto found = numbers.find(uidl);
        if (found != numbers.end())
            BuildLine(found->second - 1, SummaryOfBlock(entry.header, listed_[static_cast<size_t>(found->second)]));
    });
    fromListing_ = true;
    return true;
}

Task<> MailboxSession::ConfirmListed(std::vector<int>& targets) {
    std::vector<int> confirmed, changed;
    std::vector<int32_t> asked;
    for (int i : targets)
        if (!Id(i + 1).empty()) asked.push_back(i + 1);
    pop3_.PlanUidls(asked);
    const PlanEnd endPlan{pop3_};
    for (int i : targets) {
        CheckEnding();
        const std::string id = Id(i + 1);
        std::string now;
        if (!id.empty()) now = co_await pop3_.UidlOf(i + 1);
        if (!id.empty() && now == id)
            confirmed.push_back(i);
        else
            changed.push_back(i);
    }
    targets.swap(confirmed);
    for (int i : changed) lines_.SetChecked(i, false);
    if (!changed.empty() && OnNotConfirmed) OnNotConfirmed(changed);
}

// ---- the header cache

bool MailboxSession::OpenCache() {
    // The file is opened again when it is not the one opened before (the
    // user removed it, say, to start afresh).
    const std::string path = dataDir_ + "cache.sqlite";
    struct stat st {};
    const bool same = ::stat(path.c_str(), &st) == 0 && st.st_dev == cacheFile_.first && st.st_ino == cacheFile_.second;
    if (cache_ && cache_->IsOpen() && same) return true;
    cache_ = std::make_unique<HeaderCache>(path);
    if (!cache_->Open()) {
        cacheNotice_ = CacheProblem();
        return false;
    }
    if (options_.CachePageLimit > 0) cache_->SetPageLimitForTest(options_.CachePageLimit);
    cacheFile_ = ::stat(path.c_str(), &st) == 0 ? std::pair<uint64_t, uint64_t>(st.st_dev, st.st_ino)
                                                : std::pair<uint64_t, uint64_t>();
    if (cache_->Rebuilt()) cacheNotice_ = A("Кэш заголовков был поврежден: он сохранен как cache.sqlite.bad и начат заново");
    return true;
}

bool MailboxSession::BeginCache() {
    if (cache_->Begin()) return true;
    cacheNotice_ = CacheProblem();
    return false;
}

std::string MailboxSession::CacheProblem() const {
    return A("Кэш заголовков недоступен: сообщения приняты без него");
}

void MailboxSession::KeepUniqueIds(int count) {
    // Messages that share a UIDL, or have none, are fetched every time and
    // never cached: the id cannot tell them apart.
    ids_.resize(static_cast<size_t>(std::max(count, 0)) + 1);
    std::unordered_map<std::string, int> uses;
    for (const std::string& id : ids_)
        if (!id.empty()) ++uses[id];
    for (std::string& id : ids_)
        if (!id.empty() && uses[id] > 1) id.clear();
}

const std::string& MailboxSession::Id(int number) const {
    static const std::string none;
    return number >= 1 && static_cast<size_t>(number) < ids_.size() ? ids_[static_cast<size_t>(number)] : none;
}

void MailboxSession::BuildLine(int index, const TSummary& summary) {
    if (index >= lines_.Count()) throw EListError(ListIndexError(index));
    const SenderKeys keys = DeriveSender(summary.From);
    const std::string subject = DecodeSubject(summary.Header, summary.Subject);
    lines_.SetSummary(index, keys.Address, subject);
    lines_.SetVerdict(index, ReadTopmostVerdict(summary.Raw));
    MarkLine(index, ClassifySender(spam_, white_, keys));
}

void MailboxSession::MarkLine(int index, Listed listed) {
    const Mark before = lines_.MarkOf(index);
    if (before == Mark::Deleted || before == Mark::NotDeleted) return;
    const LineMark mark = mg::MarkLine(listed, Trust(lines_.Verdict(index), authserv_).result);
    Mark after = Mark::None;
    for (const Mark m : {Mark::Spam, Mark::White, Mark::Fake})
        if (mark.mark == TMessageLines::MarkText(m)) after = m;
    // A line keeps the user's check while its mark stays.
    if (after == before) return;
    lines_.SetMark(index, after);
    lines_.SetChecked(index, mark.checked);
    lines_.SetEnabled(index, mark.enabled);
}

void MailboxSession::Rejudge(const std::string& authserv) {
    authserv_ = authserv;
    for (int i = 0; i < lines_.Count(); ++i)
        if (lines_.Summarised(i)) MarkLine(i, ClassifySender(spam_, white_, DeriveSender(lines_.Sender(i))));
}

Task<TSummary> MailboxSession::Fetch(int number, bool cachedIsEnough) {
    CheckEnding();
    co_await TakeTurn(State::Fetching);
    TurnScope turn{this};
    CheckEnding();
    HeaderCache::Entry entry;
    // Lines shown from the last scan are their cached header blocks: the
    // message under a number on the server may be another one by now.
    if ((fromListing_ || (cachedIsEnough && pop3_.Connected())) && cache_ && cache_->IsOpen() && !Id(number).empty() &&
        cache_->Get(cacheKey_.first, cacheKey_.second, Id(number), entry))
        co_return SummaryOfBlock(entry.header, entry.size);
    if (fromListing_ && pop3_.Connected())
        throw Exception(A("Заголовок этого сообщения не сохранен: нажмите \"Соединение\", чтобы принять ящик заново"));
    RequireConnection();
    co_await pop3_.GetSummary(number);
    CheckEnding();
    co_return pop3_.Summary();
}

std::string MailboxSession::ClearTextNotice() const {
    return pop3_.PasswordInClear() ? A("Пароль передан без шифрования: сервер не предлагает STLS") : std::string();
}

Task<> MailboxSession::Delete(std::function<MailboxSettings()> settings) {
    CheckEnding();
    co_await TakeTurn(State::Deleting);
    TurnScope turn{this};
    CheckEnding();
    SettleClosedSession();
    std::vector<int> targets;
    for (int i = 0; i < lines_.Count(); ++i)
        if (lines_.Checked(i) && lines_.MarkOf(i) != Mark::Deleted) targets.push_back(i);
    // The lines of a scan whose session has ended: a session of its own,
    // when there is anything to delete.
    if (!pop3_.Connected() && fromListing_ && targets.empty()) co_return;
    if (!pop3_.Connected() && fromListing_ && settings) {
        const MailboxSettings s = settings();
        co_await LogOn(s);
        SetState(State::Deleting);
        CheckEnding();
    }
    RequireConnection();
    if (fromListing_) {
        co_await ConfirmListed(targets);
        CheckEnding();
    }
    std::vector<std::string> binFiles(targets.size());
    // Whatever ends the run, the deletions it noted and the server did not
    // accept are forgotten, after their files have left the bin.
    noted_.assign(static_cast<size_t>(lines_.Count()), 0);
    struct ForgetUnaccepted {
        MailboxSession* session;
        ~ForgetUnaccepted() { session->ForgetNoted(std::exchange(session->noted_, {})); }
    } forgetUnaccepted{this};
    // Whatever ends the run, a kept file whose deletion the server did not
    // accept goes again: its message is still on the server.
    struct BinGuard {
        std::vector<std::string>& files;
        ~BinGuard() {
            for (const std::string& f : files)
                if (!f.empty()) DeletionBin::Remove(f);
        }
    } binGuard{binFiles};
    if (bin_.Enabled && !targets.empty()) {
        co_await KeepInBin(targets, binFiles);
        CheckEnding();
    }
    NoteDeletions(targets, binFiles);

    DeletionLog log;
    if (!log.Open(dataDir_ + "log.dat") && OnLogUnavailable) OnLogUnavailable();
    const std::string date = Today();
    std::vector<int32_t> numbers;
    for (int i : targets) numbers.push_back(i + 1);
    // A server that pipelines gets every DELE at once (a bounded window of
    // them in flight); each line is logged and marked as its +OK arrives.
    // After a refusal, or once the session is ending, no further DELE goes
    // out, but the replies already on their way are still taken, so every
    // accepted deletion is logged and marked, and the first refusal is
    // reported once.
    pop3_.PlanDeletions(numbers);
    struct EndRun {
        MailboxSession* session;
        ~EndRun() {
            session->pop3_.EndPlan();
            session->deleting_ = false;
        }
    } endRun{this};
    deleting_ = true;
    failureShown_ = false;
    std::exception_ptr refusal;
    std::exception_ptr failure;
    for (size_t k = 0; k < targets.size(); ++k) {
        const int i = targets[k];
        if ((refusal || ending_) && !pop3_.DeletionInFlight(i + 1)) break;
        if (ending_) pop3_.EndPlan();
        try {
            co_await pop3_.DeleteMessage(i + 1);
        } catch (...) {
            if (!pop3_.Connected()) {
                failure = std::current_exception();  // gone, with every reply still on its way
                break;
            }
            if (!refusal) refusal = std::current_exception();
            continue;
        }
        // Accepted before it is logged: a log line is never left without
        // a note that can take it back.
        const int64_t noted = std::exchange(noted_[static_cast<size_t>(i)], 0);
        if (noted && cache_ && cache_->IsOpen()) cache_->MarkAccepted(noted);
        const std::string entry = LoggedText(i);
        if (log.IsOpen()) log.Write(date + " |" + entry + "\r\n");
        lines_.SetMark(i, Mark::Deleted);
        lines_.SetEnabled(i, false);
        pending_.push_back({i, entry, std::exchange(binFiles[k], std::string()), noted});
    }
    log.Close();
    if (failure) std::rethrow_exception(failure);
    if (refusal) std::rethrow_exception(refusal);
    if (!pending_.empty() && pop3_.Connected() && OnDeletionsPending) OnDeletionsPending();
    CheckEnding();
}

namespace {
std::string WhatOf(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        // A refusal says why after its "-ERR".
        std::string text = Trim(e.what());
        if (text.compare(0, 4, "-ERR") == 0) text = Trim(text.substr(4));
        return ShownReplyText(text);
    } catch (...) {
        return {};
    }
}
}  // namespace

Task<> MailboxSession::KeepInBin(std::vector<int>& targets, std::vector<std::string>& files) {
    DeletionBin bin(dataDir_ + "deleted/");
    struct Drop {
        DeletionBin& bin;
        ~Drop() { bin.DropStaged(); }
    } drop{bin};
    std::vector<int> kept;  // stay on the server
    std::vector<int> staged;
    std::vector<std::string> stagedFiles;  // where each will be once settled
    std::string reason;  // each different one, on a line of its own
    const auto because = [&reason](const std::string& why) {
        if (why.empty() || ("\n" + reason + "\n").find("\n" + why + "\n") != std::string::npos) return;
        reason += (reason.empty() ? "" : "\n") + why;
    };
    std::string prepared;
    if (!bin.Prepare(prepared)) {
        because(ToAnsi(QString::fromLocal8Bit(prepared.c_str())));
        kept.swap(targets);
    } else {
        std::vector<TVantelPOP3::PlannedRetrieval> plan;
        const auto headerOnly = [this](int i) {
            const size_t n = static_cast<size_t>(i) + 1;
            return n < listed_.size() && listed_[n] > bin_.MaxBytes;
        };
        for (int i : targets) plan.push_back({i + 1, headerOnly(i)});
        // The limit holds for the octets that arrive, whatever the listing said.
        pop3_.RetrieveLimit = bin_.MaxBytes;
        pop3_.PlanRetrievals(plan);
        const std::string mailbox = pop3_.UserID + "@" + pop3_.Host;
        for (size_t k = 0; k < targets.size() && !ending_; ++k) {
            const int i = targets[k];
            const bool header = headerOnly(i);
            std::string message;
            std::exception_ptr refused;
            try {
                message = co_await pop3_.RetrieveMessage(i + 1, header);
            } catch (...) {
                refused = std::current_exception();
            }
            if (refused) {
                if (!pop3_.Connected()) std::rethrow_exception(refused);
                kept.push_back(i);  // refused: the rest are still fetched
                because(WhatOf(refused));
            } else {
                try {
                    const std::string field =
                        DeletedFieldValue(std::time(nullptr), mailbox, Id(i + 1), header ? listed_[i + 1] : -1);
                    const std::string name = bin.Stage(field, message);
                    staged.push_back(i);
                    stagedFiles.push_back(bin.SettledPath(name));
                } catch (const std::exception& e) {
                    kept.push_back(i);
                    because(ToAnsi(QString::fromLocal8Bit(e.what())));
                }
            }
            if (OnStatus)
                OnStatus(Format(A("Сохранение в корзину: %d из %d").c_str(), static_cast<int>(k + 1),
                                static_cast<int>(targets.size())));
        }
        pop3_.EndPlan();
        CheckEnding();
        // Noted before a file reaches cur/, so that none is ever there
        // without its note. Settle's flush of the file system takes the note
        // to the disk with the files.
        NoteDeletions(staged, stagedFiles);
        std::string error;
        const std::vector<std::string> settled = bin.Settle(error);
        targets.clear();
        for (size_t k = 0; k < staged.size(); ++k) {
            if (settled[k].empty()) {
                kept.push_back(staged[k]);
                because(ToAnsi(QString::fromLocal8Bit(error.c_str())));
                continue;
            }
            targets.push_back(staged[k]);
            files[targets.size() - 1] = settled[k];
        }
    }
    files.resize(targets.size());
    if (!kept.empty() && OnKeptOnServer) {
        std::sort(kept.begin(), kept.end());
        OnKeptOnServer(kept, reason);
    }
}

// ---- deletions the server has yet to carry out

std::string MailboxSession::LoggedText(int index) const {
    const std::string text = lines_.Text(index);
    return text.size() > 9 ? text.substr(9, 230) : std::string();
}

// Only a message with a UIDL of its own is noted: a later session could not
// tell whether one without is still on the server. Its records stay as a
// run leaves them.
void MailboxSession::NoteDeletions(const std::vector<int>& lines, const std::vector<std::string>& files) {
    if (!cache_ || !cache_->IsOpen()) return;
    std::vector<HeaderCache::Deletion> deletions;
    std::vector<int> noted;
    for (size_t k = 0; k < lines.size(); ++k) {
        const int i = lines[k];
        if (Id(i + 1).empty() || noted_[static_cast<size_t>(i)] != 0) continue;
        deletions.push_back({0, Id(i + 1), LoggedText(i), k < files.size() ? files[k] : std::string(), false});
        noted.push_back(i);
    }
    // A cache that cannot take them costs only this safeguard: the run goes on.
    if (deletions.empty() || !cache_->NoteDeletions(cacheKey_.first, cacheKey_.second, deletions)) return;
    for (size_t k = 0; k < noted.size(); ++k) noted_[static_cast<size_t>(noted[k])] = deletions[k].id;
}

void MailboxSession::ForgetNoted(const std::vector<int64_t>& ids) {
    std::vector<int64_t> some;
    for (int64_t id : ids)
        if (id != 0) some.push_back(id);
    if (!some.empty() && cache_ && cache_->IsOpen()) cache_->ForgetDeletions(some);
}

void MailboxSession::ForgetNoted(const std::vector<PendingDeletion>& deletions) {
    std::vector<int64_t> ids;
    for (const PendingDeletion& d : deletions) ids.push_back(d.noted);
    ForgetNoted(ids);
}

// log.dat gets one line per lost deletion, in the deletion line's format with
// the mark in its empty column: the date, " | ", "<НЕ УДАЛЕНО>", then the same
// text the deletion line holds after its date and " |" (" | ", the sender
// padded to 30, " | ", the subject), CR LF. So a deletion line reads
//     date " |" " | sender... | subject"
// and the line that takes it back
//     date " | <НЕ УДАЛЕНО>" " | sender... | subject"
bool MailboxSession::TakeBack(const std::vector<PendingDeletion>& deletions) {
    const std::string date = Today();
    std::string text;
    for (const PendingDeletion& d : deletions) {
        text += date + " | " + TMessageLines::MarkText(Mark::NotDeleted) + d.logged + "\r\n";
        if (!d.binFile.empty()) DeletionBin::Remove(d.binFile);  // the message is still on the server
    }
    try {
        DeletionLog log;
        if (log.Open(dataDir_ + "log.dat")) {
            log.Write(text);
            log.Close();
            return true;
        }
    } catch (const std::exception&) {
        // Told with the loss.
    }
    return false;
}

// The session has ended: QUIT's +OK confirms what is pending, anything else
// takes it back.
void MailboxSession::DeletionsLost() {
    std::vector<PendingDeletion> lost;
    lost.swap(pending_);
    keepAlive_.stop();
    if (lost.empty()) return;
    if (pop3_.QuitAccepted()) {
        // The server has deleted them: the last scan shown later leaves them out.
        std::vector<int> numbers;
        for (const PendingDeletion& d : lost) numbers.push_back(d.index + 1);
        if (cache_ && cache_->IsOpen()) cache_->ForgetNumbers(cacheKey_.first, cacheKey_.second, numbers);
        ForgetNoted(lost);
        return;
    }
    // The lines now tell what was lost; they are no longer a scan to act on.
    fromListing_ = false;
    for (const PendingDeletion& d : lost) {
        if (d.index < lines_.Count() && lines_.MarkOf(d.index) == Mark::Deleted) {
            lines_.SetMark(d.index, Mark::NotDeleted);
            lines_.SetEnabled(d.index, false);
        }
    }
    // The lines have been changed all the same when log.dat fails.
    const bool logged = TakeBack(lost);
    ForgetNoted(lost);
    loss_.count += static_cast<int>(lost.size());
    loss_.logFailed = loss_.logFailed || !logged;
    if (OnDeletionsLost) OnDeletionsLost();
}

// Deletions noted by a run whose process did not live to see QUIT's reply
// (killed, crashed, the machine turned off), settled once the server's UIDLs
// are known. A message still on the server was not deleted: a line it had in
// log.dat is taken back as for a lost session, and its file leaves the bin.
// One no longer there was deleted after all (or by someone else): its records
// stand. Either way the note goes, after the records are put right.
void MailboxSession::SettleNotedDeletions(int count) {
    if ((count > 0 && ids_.empty()) || !OpenCache()) return;  // nothing tells which are still there
    std::vector<HeaderCache::Deletion> noted;
    if (!cache_->NotedDeletions(cacheKey_.first, cacheKey_.second, noted) || noted.empty()) return;
    const std::unordered_set<std::string> listed(ids_.begin(), ids_.end());
    std::vector<PendingDeletion> undone;
    std::vector<int64_t> settled;
    for (const HeaderCache::Deletion& d : noted) {
        settled.push_back(d.id);
        if (!listed.count(d.uidl)) continue;
        if (d.accepted)
            undone.push_back({-1, d.logged, d.binFile, d.id});
        else if (!d.binFile.empty())
            DeletionBin::Remove(d.binFile);  // its DELE had no +OK: it was never logged
    }
    const bool logged = undone.empty() || TakeBack(undone);
    ForgetNoted(settled);
    if (!undone.empty() && OnUndoneFound) OnUndoneFound(static_cast<int>(undone.size()), !logged);
}

MailboxSession::Loss MailboxSession::TakeLoss() { return std::exchange(loss_, {}); }

void MailboxSession::SettleClosedSession() {
    if (!pop3_.Connected() && !pending_.empty()) DeletionsLost();
}

void MailboxSession::RestartKeepAlive() {
    if (pending_.empty() || !pop3_.Connected()) {
        keepAlive_.stop();
        return;
    }
    if (keepAliveRunning_) return;
    keepAlive_.start(options_.KeepAliveMs);
}

void MailboxSession::KeepAliveTick() {
    if (pending_.empty() || !pop3_.Connected() || keepAliveRunning_) return;
    // An operation on the wire talks to the server itself; it restarts the
    // timer when it ends.
    if (turnTaken_) return;
    keepAliveRunning_ = true;
    keepAliveTask_ = KeepAlive();
    keepAliveTask_.Start([this] {
        QMetaObject::invokeMethod(
            this,
            [this] {
                keepAliveTask_.Reset();
                keepAliveRunning_ = false;
                RestartKeepAlive();
            },
            Qt::QueuedConnection);
    });
}

Task<> MailboxSession::KeepAlive() {
    co_await TakeTurn(State::KeepingAlive);
    TurnScope turn{this};
    bool sent = false;
    std::string error;
    try {
        sent = co_await pop3_.Noop();
    } catch (const std::exception& e) {
        // The session is over; the close has marked what it lost.
        error = e.what();
    }
    if (!error.empty() && OnKeepAliveFailed) OnKeepAliveFailed(error);
    if (sent && OnDeletionsPending) OnDeletionsPending();
}

}  // namespace mg
