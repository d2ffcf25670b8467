#include <gtest/gtest.h>

#include "lists/AuthResults.h"
#include "lists/LineMark.h"
#include "lists/Sender.h"
#include "lists/SpamTree.h"
#include "lists/WhiteList.h"

using mg::DmarcVerdict;
using mg::LineMark;

namespace {

const LineMark White{" <WHITE> ", false, false}, Spam{" <SPAM>  ", true, true}, Fake{" <FAKE>  ", false, true},
    Plain{"", false, true};

struct Marks {
    LineMark white, black, unlisted, both;
};
const Marks Today{White, Spam, Plain, White}, Forged{Fake, Spam, Fake, Fake};

struct Row {
    const char* what;
    std::string authserv;
    std::string block;
    DmarcVerdict::Result result;
    const char* id;
    bool trusted;
    const char* domain;
    const char* text;
    Marks marks;
};

const std::string kFail = "Authentication-Results: mx.google.com; dmarc=fail (p=NONE) header.from=bank.example\r\n";
const std::string kFrom = "From: Friend <friend@bank.example>\r\n";

}  // namespace

TEST(DmarcVerdict, OnlyTheTopmostTrustedFieldDecidesTheMark) {
    // Senders: white by address; black by user; on no list; white by server
    // and black by whole server.
    mg::WhiteList white;
    white.Insert("friend@bank.example");
    white.Insert("@junk.example");
    mg::SpamTree spam;
    spam.AddUser(spam.AddServer("0@spam.example"), "x");
    spam.AddServer("1@junk.example");
    const char* senders[] = {"Friend <Friend@Bank.Example>", "x@spam.example", "stranger@other.example",
                             "y@junk.example"};

    const Row rows[] = {
        {"trusted pass", "mx.google.com",
         "Authentication-Results: mx.google.com;\r\n"
         "       dkim=pass header.i=@bank.example header.s=s1 header.b=Ab+/=;\r\n"
         "       spf=pass (google.com: domain of a@bank.example designates 192.0.2.1) smtp.mailfrom=a@bank.example;\r\n"
         "       dmarc=pass (p=REJECT sp=REJECT dis=NONE) header.from=bank.example\r\n" + kFrom + "\r\n",
         DmarcVerdict::Pass, "mx.google.com", true, "bank.example", "pass", Today},
        {"trusted fail", "mx.google.com", kFail + kFrom, DmarcVerdict::Fail, "mx.google.com", true, "bank.example",
         "fail", Forged},
        {"sender-written pass below a trusted fail", "mx.google.com",
         kFail + kFrom + "Authentication-Results: mx.google.com; dmarc=pass header.from=bank.example\r\n",
         DmarcVerdict::Fail, "mx.google.com", true, "bank.example", "fail", Forged},
        {"two dmarc results: a fail wins", "mx.google.com",
         "Authentication-Results: mx.google.com; dmarc=pass header.from=a.example; dmarc=fail header.from=b.example\r\n",
         DmarcVerdict::Fail, "mx.google.com", true, "b.example", "fail", Forged},
        {"fail under a foreign id only", "mx.google.com",
         "Authentication-Results: relay.example.net; dmarc=fail header.from=bank.example\r\n" + kFrom,
         DmarcVerdict::None, "relay.example.net", false, "", "", Today},
        {"folded, lower case, comments, versions", "mx.google.com",
         "received: from relay\r\nauthentication-results :\r\n MX.Google.COM (checked (twice) \\) here; ok) 1\r\n"
         "\t; spf=pass smtp.mailfrom=\"a b\"@bank.example;\r\n dmarc (policy) / 1 = FAIL (p=reject; sp=none)\r\n"
         " reason=\"list; rewritten\" header . from = Friend@Bank.Example\r\n\r\n",
         DmarcVerdict::Fail, "MX.Google.COM", true, "Bank.Example", "fail", Forged},
        {"wildcard", "*.mail.yandex.net",
         "Authentication-Results: mxfront3q.mail.yandex.net; spf=pass smtp.mail=a@bank.example; dmarc=fail "
         "header.from=bank.example\r\n",
         DmarcVerdict::Fail, "mxfront3q.mail.yandex.net", true, "bank.example", "fail", Forged},
        {"wildcard, the bare domain", "*.mail.yandex.net",
         "Authentication-Results: mail.yandex.net; dmarc=fail header.from=bank.example\r\n", DmarcVerdict::None,
         "mail.yandex.net", false, "", "", Today},
        {"none, an unclosed deep comment after it", "mx.google.com",
         "Authentication-Results: mx.google.com; none (" + std::string(100000, '(') + "\r\n", DmarcVerdict::None,
         "mx.google.com", true, "", "", Today},
        {"temperror", "mx.google.com", "Authentication-Results: mx.google.com; dmarc=temperror header.from=b.example\r\n",
         DmarcVerdict::None, "mx.google.com", true, "b.example", "temperror", Today},
        {"no field (one in the body)", "mx.google.com", kFrom + "\r\n" + kFail, DmarcVerdict::None, "", false, "", "",
         Today},
        {"a field without authserv-id", "spf",
         "Authentication-Results: spf=pass smtp.mailfrom=bank.example; dmarc=fail action=none "
         "header.from=bank.example\r\n",
         DmarcVerdict::None, "", false, "", "", Today},
        {"no AUTHSERV", "", kFail, DmarcVerdict::None, "mx.google.com", false, "", "", Today},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const DmarcVerdict v = mg::ReadDmarcVerdict(row.block, row.authserv);
        EXPECT_EQ(v.result, row.result);
        EXPECT_EQ(v.authservId, row.id);
        EXPECT_EQ(v.trusted, row.trusted);
        EXPECT_EQ(v.domain, row.domain);
        EXPECT_EQ(v.text, row.text);
        const LineMark* expected[] = {&row.marks.white, &row.marks.black, &row.marks.unlisted, &row.marks.both};
        for (size_t i = 0; i < 4; ++i) {
            const mg::Listed listed = mg::ClassifySender(spam, white, mg::DeriveSender(senders[i]));
            const LineMark got = mg::MarkLine(listed, v.result);
            EXPECT_EQ(got, *expected[i]) << senders[i] << ": \"" << got.mark << "\"";
        }
    }
}
