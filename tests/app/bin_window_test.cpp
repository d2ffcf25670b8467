// Deleting from the window with the bin on: a message that cannot be kept is
// not deleted, and the user is told once which stayed on the server.
#include "app_support.h"

using namespace mgtest;
using mg::Answer;
using mg::Buttons;
using mg::Icon;

TEST(BinWindow, AMessageThatCannotBeKeptStaysOnTheServerAndTheUserIsToldOnce) {
    ScanWindow w("1@spam.example\r\n\tx\r\n", "x@y.example\r\n");
    w.dir.write("MAILGROVE.INI", "[BIN]\r\nENABLED=1\r\n");
    const std::vector<pop3::Message> box = {Msg({"From: a@spam.example", "Subject: one"}, 10),
                                            Msg({"From: b@spam.example", "Subject: two"}, 10)};
    ScriptedServer server(pop3::Scan("joe", "secret", box) + Script{C("RETR 1"), S("-ERR [IN-USE] locked")} +
                          pop3::Retr(2, {"From: b@spam.example", "Subject: two", "", "x"}) + pop3::Dele(2) +
                          pop3::Quit());
    w.pointAt(server);
    w.click(w.form.btnConnect);
    const std::string line1 = w.line(0), line2 = w.line(1);
    w.dialogs.ExpectMessage("Удалить выделенные сообщения?", Answer::Ok);
    w.dialogs.ExpectMessage("Не удалось сохранить в корзину, поэтому не удалены и остались на сервере: 1\n" +
                                Utf8(line1.substr(9)) + "\nПричина: [IN-USE] locked",
                            Icon::Warning, Buttons::Ok, Answer::Ok);
    w.click(w.form.btnDelete);
    EXPECT_TRUE(w.dialogs.done());
    EXPECT_EQ(w.line(0), line1);
    EXPECT_TRUE(w.form.LineChecked(0));
    EXPECT_EQ(w.line(1), mg::A("<УДАЛЕНО>"));
    const std::string log = w.dir.read("log.dat");
    EXPECT_EQ(log.find("a@spam.example"), std::string::npos);
    EXPECT_NE(log.find("b@spam.example"), std::string::npos);
    w.click(w.form.btnDisconnect);
    EXPECT_TRUE(server.finish());
    EXPECT_EQ(mg::DeletionBin(w.dir.file("deleted")).List().size(), 1u);
}
