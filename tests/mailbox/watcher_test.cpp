// The background checks of several mailboxes, without a window: each
// mailbox is checked on its own, never while the user's session has it or
// another mailbox of the same server and login; a check announces new mail
// that is not black-listed, once; a failure is the mailbox's state.
#include <gtest/gtest.h>

#include <chrono>

#include "lists/SpamTree.h"
#include "lists/WhiteList.h"
#include "mailbox/Mailboxes.h"
#include "mailbox/Watcher.h"
#include "platform/codepage.h"
#include "support/pop3_dialogue.h"
#include "support/pump.h"
#include "support/scripted_server.h"
#include "support/temp_dir.h"

using mg::A;
using namespace mgtest;

namespace {

const std::vector<pop3::Message> kBox = {{{"From: a@ok.example", "Subject: one"}, 10},
                                         {{"Authentication-Results: mx.example; dmarc=fail header.from=ok.example",
                                           "From: b@ok.example", "Subject: two"},
                                          10},
                                         {{"From: c@spam.example", "Subject: three"}, 10}};
const std::vector<std::string> kIds = {"u1", "u2", "u3"};

// A check of a mailbox holding the first `count` messages, of which the
// first `known` were seen before: the scan, then QUIT at once.
Script Check(const std::string& user, int count, int known) {
    Script s = pop3::Logon(user, "pw", count, 10 * count) + pop3::Listing(std::vector<int>(static_cast<size_t>(count), 10)) +
               pop3::Uidl(std::vector<std::string>(kIds.begin(), kIds.begin() + count));
    for (int n = known + 1; n <= count; ++n) s = s + pop3::Top(n, kBox[static_cast<size_t>(n - 1)].header);
    return s + pop3::Quit();
}

struct Watch {
    TempDir dir;
    mg::SpamTree spam;
    mg::WhiteList white;
    mg::Mailboxes boxes{{dir.path(), dir.file("MAILGROVE.INI"), &spam, &white, {}, false}};
    std::chrono::system_clock::time_point now = std::chrono::system_clock::now();
    mg::Watcher watcher{boxes, [this] { return now; }};
    std::vector<std::string> announced;  // "mailbox: sender - subject"
    std::vector<int> checked;

    Watch() {
        spam.LoadFromBytes("1@spam.example\r\n\tx\r\n");
        boxes.Load();
        watcher.OnAnnounce = [this](int m, const std::vector<mg::Mailbox::Announced>& fresh) {
            for (const auto& a : fresh)
                announced.push_back(boxes.At(m).Name() + ": " + a.Sender + (a.Forged ? " (forged)" : "") + " - " + a.Subject);
        };
        watcher.OnChecked = [this](int m) { checked.push_back(m); };
    }
    mg::Mailbox& add(const ScriptedServer& server, const std::string& user, int interval) {
        mg::Mailbox& box = boxes.Count() == 1 && boxes.At(0).Config().Host.empty() ? boxes.At(0)
                                                                                    : boxes.Add(mg::Mailboxes::Presets().back());
        box.Config() = {server.host(), std::to_string(server.port()), user, "pw", interval};
        return box;
    }
    // A minute on, and whatever falls due run to its end.
    void later() {
        now += std::chrono::minutes(1);
        watcher.Scheduler().Tick();
        EXPECT_TRUE(PumpUntil([&] { return watcher.Idle(); }));
    }
    void settle(mg::Mailbox& box) {
        EXPECT_TRUE(PumpUntil([&] { return box.Session().Settled(); }));
    }
};

}  // namespace

TEST(Watcher, EachMailboxIsCheckedOnItsOwnAndNeverWhileTheUserHasIt) {
    Watch t;
    // A: learnt by a check, then scanned by the user and held open; B:
    // learnt, then found with two new messages (one black-listed) while the
    // user works in A, then nothing new; C: refuses the log-on.
    ScriptedServer a(Check("ann", 1, 0) + Script{Accept()} + pop3::Logon("ann", "pw", 1, 10) + pop3::Listing({10}) +
                     pop3::Uidl({"u1"}) + pop3::Quit());
    ScriptedServer b(Check("bob", 1, 0) + Script{Accept()} + Check("bob", 3, 1) + Script{Accept()} + Check("bob", 3, 3));
    ScriptedServer c(Script{S("+OK ready"), C("CAPA"), S("-ERR"), C("USER cid"), S("-ERR [AUTH] no"), C("QUIT"), S("+OK"),
                            AwaitClose()});
    mg::Mailbox& boxA = t.add(a, "ann", 1);
    mg::Mailbox& boxB = t.add(b, "bob", 1);
    boxB.Config().Authserv = "mx.example";  // "two" is forged
    mg::Mailbox& boxC = t.add(c, "cid", 1);
    t.watcher.Start();
    t.later();
    EXPECT_TRUE(t.announced.empty()) << "a first check learns the mailbox";
    EXPECT_EQ(t.checked, (std::vector<int>{0, 1, 2}));
    EXPECT_NE(boxC.LastCheck().find(A("Ошибка проверки в ")), std::string::npos);
    EXPECT_NE(boxC.LastCheck().find("[AUTH] no"), std::string::npos);
    EXPECT_TRUE(boxC.CheckFailed());
    EXPECT_EQ(boxA.LastCheck().rfind(A("Проверено в "), 0), 0u) << boxA.LastCheck();

    // The user's own scan of A stays connected: A is not checked, B is; a
    // fourth mailbox of A's server and login is not checked either.
    boxA.Session().Submit([&boxA] { return boxA.Scan(); });
    t.settle(boxA);
    ASSERT_TRUE(boxA.Session().Connected());
    mg::Mailbox& same = t.add(a, "ann", 1);
    boxC.Config().Check = 0;
    t.watcher.Reschedule();
    t.later();
    t.later();
    EXPECT_EQ(a.connections(), 2) << "A: one check, then the user's own session";
    EXPECT_EQ(t.announced, (std::vector<std::string>{"bob@" + b.host() + ": b@ok.example (forged) - two"}));
    EXPECT_EQ(boxB.Unseen(), 1);
    EXPECT_TRUE(same.LastCheck().empty());
    // (Overdue, A and its namesake would be checked as soon as the user's
    // session ends.)
    boxA.Config().Check = same.Config().Check = 0;
    t.watcher.Reschedule();
    boxA.Session().Submit([&boxA] { return boxA.Session().LogOff(); });
    t.settle(boxA);
    EXPECT_TRUE(a.finish());
    EXPECT_TRUE(b.finish());
    EXPECT_TRUE(c.finish());
}
