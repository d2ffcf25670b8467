// The provider's verdict on the sender through the window: a white-listed
// sender whose mail the trusted Authentication-Results field calls forged
// is no longer protected, and the details dialog trusts an authserv-id.
#include <QDate>
#include <QLocale>
#include <QPushButton>
#include <QTimer>
#include <gtest/gtest.h>

#include "app_support.h"

using mg::A;
using mg::Answer;
using namespace mgtest;

namespace {

const std::string kSpam = "1@spam.example\r\n";
const std::string kWhite = "friend@bank.example\r\n@shop.example\r\n";

std::vector<std::string> Block(const std::string& from, std::vector<std::string> fields) {
    fields.push_back("From: " + from);
    fields.push_back("Subject: s");
    return fields;
}
std::string Results(const std::string& id, const std::string& dmarc) {
    return "Authentication-Results: " + id + "; spf=pass smtp.mailfrom=x; dmarc=" + dmarc + " header.from=d.example";
}

}  // namespace

TEST(Verdict, ForgedWhiteListedMailIsNeitherProtectedNorCheckedByItself) {
    const std::string F = " <FAKE>  ", W = " <WHITE> ", S = " <SPAM>  ";
    struct Row {
        const char* what;
        std::vector<std::string> header;
        std::string mark;  // empty: the size column stays
        bool checked, enabled, deleted;
    } rows[] = {
        {"white, trusted fail", Block("friend@bank.example", {Results("MX.example", "fail")}), F, false, true, true},
        {"white, trusted pass", Block("friend@bank.example", {Results("mx.example", "pass")}), W, false, false, false},
        {"white server, foreign fail", Block("a@shop.example", {Results("relay.other", "fail")}), W, false, false, false},
        {"white, no field", Block("friend@bank.example", {}), W, false, false, false},
        {"white, sender-written pass below a trusted fail",
         Block("friend@bank.example", {Results("mx.example", "fail"), Results("mx.example", "pass")}), F, false, true,
         true},
        {"black, trusted fail", Block("x@spam.example", {Results("mx.example", "fail")}), S, true, true, true},
        {"unlisted, trusted pass", Block("s@other.example", {Results("mx.example", "pass")}), "", false, true, true},
        {"unlisted, folded trusted fail",
         Block("t@other.example", {"authentication-results: mx.example (our mx)", "\t; dmarc=fail (p=none)"}), F, false,
         true, true},
    };
    std::vector<pop3::Message> box;
    for (const Row& r : rows) box.push_back(Msg(r.header, 100));
    ScanWindow w(kSpam, kWhite);
    w.form.Current().Config().Authserv = "mx.example";
    Script deletions;
    for (size_t i = 0; i < box.size(); ++i)
        if (rows[i].deleted) deletions = deletions + pop3::Dele(static_cast<int>(i) + 1);
    ScriptedServer server(pop3::Scan("joe", "secret", box) + deletions + pop3::Quit());
    w.pointAt(server);
    w.click(w.form.btnConnect);
    ASSERT_EQ(w.form.LineCount(), static_cast<int>(box.size())) << w.status();

    std::string log;
    const std::string date = mg::ToAnsi(QLocale::system().toString(QDate::currentDate(), QLocale::ShortFormat));
    for (size_t i = 0; i < box.size(); ++i) {
        const Row& r = rows[i];
        SCOPED_TRACE(r.what);
        const int n = static_cast<int>(i);
        EXPECT_EQ(w.line(n).substr(0, 9), r.mark.empty() ? "     1 " + A("Кб") : r.mark);
        EXPECT_EQ(w.form.LineChecked(n), r.checked);
        EXPECT_EQ(w.form.LineEnabled(n), r.enabled);
        if (r.deleted) log += date + " |" + w.line(n).substr(9) + "\r\n";
    }

    w.click(w.form.btnCheckAll);
    w.dialogs.ExpectMessage("Удалить выделенные сообщения?", Answer::Ok);
    w.click(w.form.btnDelete);
    for (size_t i = 0; i < box.size(); ++i)
        EXPECT_EQ(w.line(static_cast<int>(i)) == A("<УДАЛЕНО>"), rows[i].deleted) << rows[i].what;
    w.click(w.form.btnDisconnect);
    EXPECT_TRUE(server.finish()) << testing::PrintToString(server.failures());
    EXPECT_EQ(w.dir.read("log.dat"), log);
}

TEST(Verdict, TheDetailsDialogTrustsAnAuthservIdAndTheLinesAreJudgedAgain) {
    const std::vector<pop3::Message> box = {
        Msg(Block("friend@bank.example", {Results("mx.example", "fail")}), 100),
        Msg(Block("t@other.example", {Results("mx.example", "fail")}), 100)};
    ScanWindow w(kSpam, kWhite);
    ScriptedServer server(pop3::Scan("joe", "secret", box) + pop3::Summary(2, box[1]) + pop3::Quit());
    w.pointAt(server);
    w.click(w.form.btnConnect);
    ASSERT_EQ(w.form.LineCount(), 2) << w.status();
    EXPECT_EQ(w.line(0).substr(0, 9), " <WHITE> ") << "no AUTHSERV: no verdict";

    TPop3FormSummary dialog(&w.form);
    Pop3FormSummary = &dialog;
    std::string shown;
    QTimer trust;
    QObject::connect(&trust, &QTimer::timeout, &dialog, [&] {
        if (!dialog.isVisible()) return;
        shown = Utf8(dialog.Verdict());
        dialog.btnTrust->click();
    });
    trust.start(5);
    w.form.lbList->setCurrentRow(1);
    w.click(w.form.btnSummary);
    Pop3FormSummary = nullptr;
    EXPECT_EQ(shown, "Вердикт не читается: authserv-id mx.example не назначен этому ящику");

    for (int i : {0, 1}) {
        EXPECT_EQ(w.line(i).substr(0, 9), " <FAKE>  ") << i;
        EXPECT_TRUE(w.form.LineEnabled(i)) << i;
        EXPECT_FALSE(w.form.LineChecked(i)) << i;
    }
    EXPECT_NE(w.dir.read("MAILGROVE.INI").find("AUTHSERV=mx.example"), std::string::npos);
    w.click(w.form.btnDisconnect);
    EXPECT_TRUE(server.finish());
}
