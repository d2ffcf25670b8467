#include <gtest/gtest.h>

#include "lists/TextOrder.h"
#include "lists/WhiteList.h"
#include "platform/codepage.h"

using mg::A;

TEST(WhiteList, SortedAndFoundWithoutRegardToCaseCyrillicIncluded) {
    mg::WhiteList w;
    for (const char* e : {"zeta@x.example", "Alpha@x.example", "@host.example", "beta@x.example"}) w.Insert(e);
    w.Insert(A("ёж@почта.рф"));
    w.Insert(A("Яков@почта.рф"));
    w.Insert(A("Борис@почта.рф"));
    std::vector<std::string> expected = {"@host.example", "Alpha@x.example", "beta@x.example", "zeta@x.example",
                                         A("Борис@почта.рф"), A("Яков@почта.рф"), A("ёж@почта.рф")};
    EXPECT_EQ(w.Entries(), expected);
    EXPECT_EQ(w.Find("ALPHA@X.EXAMPLE"), 1);
    EXPECT_EQ(w.Find(A("борис@ПОЧТА.РФ")), 4);
    EXPECT_EQ(w.Find(A("ЁЖ@почта.рф")), 6);
    EXPECT_EQ(w.Find("alpha@x.exampl"), -1);
    EXPECT_FALSE(w.AddUnique("BETA@x.example"));
    EXPECT_TRUE(w.AddUnique("gamma@x.example"));
    EXPECT_EQ(w.Count(), 8);
    w.RemoveAt(0);
    EXPECT_EQ(w.Entries().front(), "Alpha@x.example");
}

TEST(WhiteList, FileLinesAsReadAndWritten) {
    mg::WhiteList w;
    w.LoadFromBytes("b@x.example\r\na@x.example\n\r\n  spaced \r\nb@x.example\r\nlast");
    std::vector<std::string> expected = {"", "  spaced ", "a@x.example", "b@x.example", "b@x.example", "last"};
    EXPECT_EQ(w.Entries(), expected) << "blank lines are entries, nothing is trimmed, duplicates stay";
    EXPECT_EQ(w.SaveToBytes(), "\r\n  spaced \r\na@x.example\r\nb@x.example\r\nb@x.example\r\nlast\r\n");
    w.LoadFromBytes("\r\n");
    EXPECT_EQ(w.Count(), 1);
    w.LoadFromBytes("a@x.example\r\n\x1a" "b@x.example\r\n");
    EXPECT_EQ(w.Count(), 1);
    w.LoadFromBytes("");
    EXPECT_EQ(w.Count(), 0);
}

TEST(Import, TakesEveryAddressOfALine) {
    using V = std::vector<std::string>;
    EXPECT_EQ(mg::ScanAddresses("Ivan <Ivan@Host.Example>, x@y.example; z"), (V{"Ivan@Host.Example", "x@y.example"}));
    EXPECT_EQ(mg::ScanAddresses("1,\"Petr\",\"petr@mail.example\",x"), (V{"\"petr@mail.example\""}));
    EXPECT_EQ(mg::ScanAddresses("mailto:joe@a.example"), (V{"mailto:joe@a.example"}));
    EXPECT_EQ(mg::ScanAddresses("user@localhost @server.example a@ b@c.d"), (V{"b@c.d"}));
    EXPECT_EQ(mg::ScanAddresses("a@b.c@d"), (V{"a@b.c@d"}));
    EXPECT_EQ(mg::ScanAddresses(""), V{});
    EXPECT_EQ(mg::ScanAddresses("@@@"), V{});
}

TEST(TextOrder, FoldsLatinAndCyrillicLetters) {
    EXPECT_EQ(mg::FoldCase(A("ABCЖЁЇ")), A("abcжёї"));
    EXPECT_TRUE(mg::SameNoCase(A("Привет"), A("пРИВЕТ")));
    EXPECT_LT(mg::CompareNoCase("a", "B"), 0);
    EXPECT_LT(mg::CompareNoCase(A("я"), A("ё")), 0);
    EXPECT_EQ(mg::CompareNoCase("abc", "ABC"), 0);
}
