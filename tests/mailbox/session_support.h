// A mailbox session without a window, for tests: it records what the
// session tells and runs jobs as the window would.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "lists/SpamTree.h"
#include "lists/WhiteList.h"
#include "mailbox/MailboxSession.h"
#include "support/pop3_dialogue.h"
#include "support/pump.h"
#include "support/scripted_server.h"
#include "support/temp_dir.h"

namespace mgtest {

inline const std::vector<pop3::Message>& Box() {
    static const std::vector<pop3::Message> box = {{{"From: a@spam.example", "Subject: one"}, 100},
                                                   {{"From: b@ok.example", "Subject: two"}, 200},
                                                   {{"From: c@spam.example", "Subject: three"}, 300}};
    return box;
}

inline const char* Name(mg::MailboxSession::State s) {
    const char* names[] = {"Idle",    "Connecting", "Scanning",     "Open",      "Deleting",
                           "Holding", "Fetching",   "KeepingAlive", "LoggingOff"};
    return names[static_cast<int>(s)];
}

// A session on a temporary data directory; black list: spam.example.
struct Session {
    explicit Session(mg::SessionOptions options = {}) : session(dir.path(), spam, white, options) {
        spam.LoadFromBytes("1@spam.example\r\n\tx\r\n");
        session.OnState = [this](mg::MailboxSession::State s) {
            states += std::string(states.empty() ? "" : " ") + Name(s);
        };
        session.OnDeletionsLost = [this] { lost += session.TakeLoss().count; };
        session.OnConnectionRequired = [this](bool& handled) {
            events.push_back("connection required");
            handled = answerConnect;
        };
        session.OnFailure = [this] { events.push_back("failure"); };
        session.OnConnectionFailed = [this] { events.push_back("connection failed"); };
        session.OnScanned = [this](int, int newOnes, const std::string& notice) {
            fresh = newOnes;
            cacheNotice = notice;
        };
    }
    // Submits a job and returns at once.
    void submit(std::function<mg::Task<>(mg::MailboxSession&)> job) {
        session.Submit([this, job] { return job(session); },
                       [this](std::exception_ptr e) {
                           try {
                               if (e) std::rethrow_exception(e);
                           } catch (const std::exception& x) {
                               errors.push_back(x.what());
                           }
                       });
    }
    void settle() { EXPECT_TRUE(PumpUntil([&] { return session.Settled(); })) << "never settled"; }
    void scan(const ScriptedServer& server, std::string host = ScriptedServer::host()) {
        submit([&server, host](mg::MailboxSession& s) {
            return s.Scan([&server, host] {
                mg::MailboxSettings m;
                m.Host = host;
                m.Port = server.port();
                m.User = "joe";
                m.Password = "secret";
                return m;
            });
        });
    }
    std::vector<std::string> lines() const {
        std::vector<std::string> out;
        for (int i = 0; i < session.Lines().Count(); ++i) out.push_back(session.Lines().Text(i));
        return out;
    }

    TempDir dir;
    mg::SpamTree spam;
    mg::WhiteList white;
    mg::MailboxSession session;
    std::string states;
    std::vector<std::string> events, errors;
    int lost = 0;
    int fresh = -1;
    std::string cacheNotice;
    bool answerConnect = false;
};

inline mg::Task<> Delete(mg::MailboxSession& s) { co_await s.Delete(); }
inline mg::Task<> LogOff(mg::MailboxSession& s) { co_await s.LogOff(); }

}  // namespace mgtest
