#include <gtest/gtest.h>

#include "lists/Sender.h"
#include "lists/SpamTree.h"
#include "platform/errors.h"

using mg::SpamTree;

namespace {

// The tree as "depth:text" lines, for compact comparisons.
std::string Dump(const SpamTree& t) {
    std::string out;
    for (int n = 1; n <= t.Count(); ++n) out += std::to_string(t.Depth(n)) + ":" + t.Text(n) + "|";
    return out;
}

std::string LoadError(const std::string& bytes, SpamTree& tree) {
    try {
        tree.LoadFromBytes(bytes);
    } catch (const Exception& e) {
        return e.Message;
    }
    return "";
}

}  // namespace

TEST(SpamFile, LoadsIndentationInAnyMixAndSavesWithTabs) {
    SpamTree t;
    t.LoadFromBytes("1@spam.example\r\n\tinfo\r\n0@host.example\r\n john\r\n\tsales\r\n \tdeeper\r\n");
    EXPECT_EQ(Dump(t), "1:1@spam.example|2:info|1:0@host.example|2:john|2:sales|3:deeper|");
    EXPECT_EQ(t.SaveToBytes(),
              "1@spam.example\r\n\tinfo\r\n0@host.example\r\n\tjohn\r\n\tsales\r\n\t\tdeeper\r\n");

    // The first line may carry one level and is still a server.
    t.LoadFromBytes("\t1@a.example\r\n\tuser\r\n");
    EXPECT_EQ(Dump(t), "1:1@a.example|1:user|");
    t.LoadFromBytes("\t1@a.example\r\n\t\tuser\r\n\t0@b.example\r\n");
    EXPECT_EQ(Dump(t), "1:1@a.example|2:user|1:0@b.example|");

    // A blank line is a top-level node with an empty text and adopts the TAB lines after it.
    t.LoadFromBytes("0@a.example\r\n\tx\r\n\r\n\ty\r\n");
    EXPECT_EQ(Dump(t), "1:0@a.example|2:x|1:|2:y|");
    EXPECT_EQ(t.SaveToBytes(), "0@a.example\r\n\tx\r\n\r\n\ty\r\n");

    // A last line without CR LF, and the byte 26 ending the data inside the file.
    t.LoadFromBytes("1@a.example\r\n\tz");
    EXPECT_EQ(Dump(t), "1:1@a.example|2:z|");
    t.LoadFromBytes("1@a.example\r\n\tz\x1a\r\n1@never.example\r\n");
    EXPECT_EQ(Dump(t), "1:1@a.example|2:z|");
    t.LoadFromBytes("");
    EXPECT_EQ(t.Count(), 0);
}

TEST(SpamFile, LfOnlyLinesStayInTheText) {
    SpamTree t;
    t.LoadFromBytes("1@a.example\n\tb\n");
    EXPECT_EQ(Dump(t), "1:1@a.example\n\tb\n|");
    // It saves and loads back the same.
    SpamTree back;
    back.LoadFromBytes(t.SaveToBytes());
    EXPECT_EQ(Dump(back), Dump(t));
    // Once LF-only text passes the buffer, the load stops.
    std::string big;
    while (big.size() < 5000) big += "0@x.example\n";
    EXPECT_EQ(LoadError(big, t), "Line too long");
}

TEST(SpamFile, BadLinesStopTheLoadKeepingWhatCameBefore) {
    SpamTree t;
    EXPECT_EQ(LoadError("1@a.example\r\n\t\tdeep\r\n", t), "File load error");
    EXPECT_EQ(Dump(t), "1:1@a.example|");
    EXPECT_EQ(LoadError("\t1@a.example\r\n0@b.example\r\n", t), "File load error") << "climbs above the root";
    EXPECT_EQ(Dump(t), "1:1@a.example|");
    EXPECT_EQ(LoadError("1@a.example\r\n\tok\r\n" + std::string(5000, 'x') + "\r\n", t), "Line too long");
    EXPECT_EQ(Dump(t), "1:1@a.example|2:ok|");
}

TEST(SpamFile, ReadsAcrossTheBufferBoundary) {
    // Many lines, so that some straddle each 4096-byte refill; one of exactly
    // 4096 bytes with its CR LF still fits.
    std::string file;
    SpamTree expected;
    for (int s = 0; s < 300; ++s) {
        const std::string server = std::string(s % 2 ? "1" : "0") + "@host" + std::to_string(s) + ".example";
        file += server + "\r\n";
        const int node = expected.AddServer(server);
        for (int u = 0; u < s % 4; ++u) {
            const std::string user = "user" + std::to_string(u * 37 + s);
            file += "\t" + user + "\r\n";
            expected.AddUser(node, user);
        }
    }
    const std::string longest(4096 - 3, 'q');
    file += "\t" + longest + "\r\n";
    expected.AddUser(expected.FindNode("1@host299.example"), longest);
    SpamTree t;
    t.LoadFromBytes(file);
    EXPECT_EQ(Dump(t), Dump(expected));
    EXPECT_EQ(t.SaveToBytes(), file);
}

TEST(SpamFile, SavedFileAlwaysLoadsBackToTheSameTree) {
    SpamTree t;
    const int server = t.AddServer("0@a.example");
    t.AddUser(server, "fine");
    t.AddUser(server, " blank first");         // would reload one level deeper
    t.AddUser(server, std::string(5000, 'u'));  // would not fit the line buffer
    t.AddUser(server, "cr\rinside");
    const int bad = t.AddServer("1@" + std::string(4200, 'h'));
    t.AddUser(bad, "orphan");  // leaves with its server
    t.AddServer("1@b.example");
    EXPECT_EQ(t.SaveToBytes(), "0@a.example\r\n\tfine\r\n1@b.example\r\n");
    EXPECT_TRUE(SpamTree::Storable(std::string(4094, 'a'), 1));
    EXPECT_FALSE(SpamTree::Storable(std::string(4094, 'a'), 2));
}

TEST(SpamTree, EditingKeepsFileOrderAndNumbers) {
    SpamTree t;
    const int a = t.AddServer("0@a.example");
    t.AddServer("1@b.example");
    t.AddUser(a, "x");
    t.AddUser(a, "y");
    t.AddUser(t.FindNode("1@b.example"), "z");
    EXPECT_EQ(Dump(t), "1:0@a.example|2:x|2:y|1:1@b.example|2:z|");
    EXPECT_EQ(t.FindServerNode("@b.example"), 4);
    EXPECT_EQ(t.FirstChild(1), 2);
    EXPECT_EQ(t.NextSibling(2), 3);
    EXPECT_EQ(t.NextSibling(3), 0);
    EXPECT_EQ(t.NextSibling(1), 4);
    EXPECT_EQ(t.Parent(5), 4);
    t.Delete(1);
    EXPECT_EQ(Dump(t), "1:1@b.example|2:z|");
    EXPECT_THROW(t.Text(0), Exception);
}

TEST(SpamTree, LookupsAreExactAndSearchEveryNode) {
    SpamTree t;
    t.LoadFromBytes("1@spam.example\r\n\tinfo\r\n0@host.example\r\n\tjohn\r\n\t1\r\n0@Caps.example\r\n\tbob\r\n");
    EXPECT_TRUE(t.WholeServerListed("@spam.example"));
    EXPECT_FALSE(t.WholeServerListed("@host.example"));
    EXPECT_TRUE(t.UserListed("john", "@host.example"));
    EXPECT_FALSE(t.UserListed("John", "@host.example"));
    EXPECT_FALSE(t.UserListed("info", "@spam.example")) << "users of a whole server are not consulted";
    EXPECT_FALSE(t.UserListed("bob", "@caps.example")) << "letter case matters in the black list";
    EXPECT_FALSE(t.UserListed("john", "@mail.host.example"));
    // An empty server key searches "1", which the user node "1" satisfies.
    EXPECT_TRUE(t.WholeServerListed(""));
}

TEST(SenderAddress, DerivedFromTheFromValue) {
    auto keys = mg::DeriveSender("Ivan Petrov <Ivan@Host.Example>");
    EXPECT_EQ(keys.Address, "ivan@host.example");
    EXPECT_EQ(keys.User, "ivan");
    EXPECT_EQ(keys.Server, "@host.example");

    keys = mg::DeriveSender("Bob@Example.ORG");
    EXPECT_EQ(keys.Address, "bob@example.org");

    keys = mg::DeriveSender("x <a@b.example> (comment)");
    EXPECT_EQ(keys.Address, "a@b.example> (comment");

    keys = mg::DeriveSender("undisclosed");
    EXPECT_EQ(keys.User, "");
    EXPECT_EQ(keys.Server, "undisclosed");

    keys = mg::DeriveSender("\xC8\xE2\xE0\xED <\xC8@Host.Example>");  // Cyrillic stays as it is
    EXPECT_EQ(keys.Address, "\xC8@host.example");

    keys = mg::DeriveSender("broken <");
    EXPECT_EQ(keys.Address, "");

    // A blank left by a second blank after "From:" never reaches a user node.
    keys = mg::DeriveSender(" \tjoe@x.example");
    EXPECT_EQ(keys.User, "joe");
    EXPECT_EQ(keys.Server, "@x.example");
}

TEST(ServerList, ListsServersSortedWithTheirFlags) {
    SpamTree t;
    t.LoadFromBytes("1@b.example\r\n\tu\r\n0@A.example\r\n\tv\r\nxodd\r\n0undisclosed\r\n\tw\r\n");
    const auto list = mg::BuildServerList(t);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].Text, "@A.example");
    EXPECT_FALSE(list[0].Checked);
    EXPECT_EQ(list[1].Text, "@b.example");
    EXPECT_TRUE(list[1].Checked);
    auto copy = list;
    EXPECT_EQ(mg::InsertServerEntry(copy, {"@a.example", true}), 1u);
    EXPECT_EQ(mg::InsertServerEntry(copy, {"@0.example", false}), 0u);
}
