// TVantelPOP3 against a real Dovecot POP3 server on 127.0.0.1, started with a
// generated configuration and maildir.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "pop3/VantelPop3.h"
#include "support/dovecot_server.h"

using namespace mgtest;

namespace {

// The mailbox: the things a scan meets in real mail.
const std::vector<std::string>& Messages() {
    static const std::vector<std::string> messages = [] {
        std::string big = "From: Big Sender <big@example.org>\n"
                          "To: joe@example.net\n"
                          "Subject: A large one\n"
                          "Message-ID: <big.1@example.org>\n"
                          "\n";
        for (int i = 0; i < 800; ++i) big += "line " + std::to_string(i) + " of a body that is never fetched\n";
        return std::vector<std::string>{
            "Return-Path: <alice@example.com>\n"
            "From: Alice <alice@example.com>\n"
            "To: joe@example.net\n"
            "Subject: Hello\n"
            "Message-ID: <a1@example.com>\n"
            "Date: Mon, 1 Jan 2024 10:00:00 +0300\n"
            "\n"
            "Hi Joe.\n",
            "From: =?koi8-r?b?7sHUwdvB?= <natasha@example.ru>\n"
            "Subject: =?koi8-r?b?8NLJ18XU?=\n"
            "\t=?koi8-r?b?IMvByyDExczB?=\n"
            "Message-ID: <n2@example.ru>\n"
            "\n"
            "body\n",
            "From: no-subject@example.com\n"
            "X-Note: no subject, no message id\n"
            "\n"
            ".a body line that starts with a dot\n",
            big,
        };
    }();
    return messages;
}

class Pop3Dovecot : public ::testing::Test {
protected:
    void SetUp() override {
        for (const auto& message : Messages()) dovecot.addMessage(message);
        if (!dovecot.start()) {
            if (dovecot.unavailable()) GTEST_SKIP() << "Dovecot is not available: " << dovecot.error();
            FAIL() << "Dovecot did not start: " << dovecot.error();
        }
        pop3.Host = DovecotServer::host();
        pop3.Port = dovecot.port();
        pop3.UserID = dovecot.user();
        pop3.Password = dovecot.password();
        pop3.TimeOut = 20000;
    }

    void TearDown() override {
        if (HasFailure()) std::cerr << "Dovecot log:\n" << dovecot.log();
    }

    DovecotServer dovecot;
    TVantelPOP3 pop3;
};

TEST_F(Pop3Dovecot, ScanMatchesTheMailbox) {
    bool loggedOn = false;
    pop3.OnConnect = [&](TObject*) { loggedOn = true; };
    mg::Await(pop3.Connect());
    EXPECT_TRUE(loggedOn);
    ASSERT_EQ(pop3.MailCount(), static_cast<int>(Messages().size()));

    std::map<int32_t, int32_t> sizes;
    pop3.OnList = [&](int32_t msg, int32_t size) { sizes[msg] = size; };
    mg::Await(pop3.List());
    ASSERT_EQ(sizes.size(), Messages().size());
    for (size_t i = 0; i < Messages().size(); ++i)
        EXPECT_EQ(sizes[static_cast<int32_t>(i + 1)], Pop3Size(Messages()[i])) << "message " << i + 1;

    for (size_t i = 0; i < Messages().size(); ++i) {
        SCOPED_TRACE("message " + std::to_string(i + 1));
        mg::Await(pop3.GetSummary(static_cast<int32_t>(i + 1)));
        TExStringList header = HeaderLines(Messages()[i]);
        header.push_back("");
        header.push_back(".");
        EXPECT_EQ(pop3.Summary().Header, header);
        EXPECT_EQ(pop3.Summary().Bytes, Pop3Size(Messages()[i]));
    }
    // The values of the last summary, and of each kind of header above.
    EXPECT_EQ(pop3.Summary().Subject, "A large one");
    mg::Await(pop3.GetSummary(1));
    EXPECT_EQ(pop3.Summary().From, "Alice <alice@example.com>");
    EXPECT_EQ(pop3.Summary().Subject, "Hello");
    EXPECT_EQ(pop3.Summary().MessageId, "<a1@example.com>\r\n");
    mg::Await(pop3.GetSummary(2));
    EXPECT_EQ(pop3.Summary().From, "=?koi8-r?b?7sHUwdvB?= <natasha@example.ru>");
    EXPECT_EQ(pop3.Summary().Subject, "=?koi8-r?b?8NLJ18XU?=");  // the first physical line
    mg::Await(pop3.GetSummary(3));
    EXPECT_EQ(pop3.Summary().Subject, "");
    EXPECT_EQ(pop3.Summary().MessageId, "");

    // A number beyond the mailbox: Dovecot's refusal is the error.
    try {
        mg::Await(pop3.GetSummary(99));
        ADD_FAILURE() << "no error";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message.rfind("-ERR", 0), 0u) << e.Message;
    }
    mg::Await(pop3.Disconnect());
    EXPECT_FALSE(pop3.Connected());
    EXPECT_EQ(dovecot.storedMessages().size(), Messages().size());
}

TEST_F(Pop3Dovecot, DeletedMessagesLeaveTheMaildirAtLogOff) {
    const auto before = dovecot.storedMessages();
    ASSERT_EQ(before.size(), Messages().size());
    int accepted = 0;
    pop3.OnSuccess = [&](TObject*) { ++accepted; };
    mg::Await(pop3.Connect());
    mg::Await(pop3.DeleteMessage(1));
    mg::Await(pop3.DeleteMessage(3));
    EXPECT_EQ(accepted, 2);
    // A second deletion of the same message is refused.
    try {
        mg::Await(pop3.DeleteMessage(3));
        ADD_FAILURE() << "no error";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message.rfind("-ERR ", 0), 0u) << e.Message;
    }
    // Nothing is removed before QUIT.
    EXPECT_EQ(dovecot.storedMessages().size(), Messages().size());
    mg::Await(pop3.Disconnect());

    // Messages are stored in the order added, so 1 and 3 are before[0], before[2].
    EXPECT_EQ(dovecot.storedMessages(), (std::vector<std::string>{before[1], before[3]}));
    mg::Await(pop3.Connect());
    EXPECT_EQ(pop3.MailCount(), 2);
    mg::Await(pop3.GetSummary(1));
    EXPECT_EQ(pop3.Summary().From, "=?koi8-r?b?7sHUwdvB?= <natasha@example.ru>");
    mg::Await(pop3.Disconnect());
}

TEST_F(Pop3Dovecot, WrongPasswordIsAuthenticationFailed) {
    pop3.Password = "not-the-password";
    bool loggedOn = false;
    pop3.OnConnect = [&](TObject*) { loggedOn = true; };
    try {
        mg::Await(pop3.Connect());
        ADD_FAILURE() << "no error";
    } catch (const Exception& e) {
        // Dovecot's reply, and the advice its response code carries.
        EXPECT_EQ(e.Message, "Authentication failed: [AUTH] Authentication failed.\n" + mg::RefusalAdvice("-ERR [AUTH]"));
    }
    EXPECT_FALSE(pop3.Connected());
    EXPECT_FALSE(loggedOn);
    // The right one, offered when asked, is accepted on the one retry.
    pop3.OnAuthenticationFailed = [&](bool& handled) {
        pop3.Password = dovecot.password();
        handled = true;
    };
    pop3.Password = "still-wrong";
    mg::Await(pop3.Connect());
    EXPECT_TRUE(loggedOn);
    EXPECT_EQ(pop3.MailCount(), static_cast<int>(Messages().size()));
    mg::Await(pop3.Disconnect());
}

}  // namespace
