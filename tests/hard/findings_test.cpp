// Faults the fuzz targets and the fault-injection runs found, each kept as
// the smallest input that showed it.
#include <gtest/gtest.h>

#include <string>

#include "lists/SpamTree.h"
#include "platform/errors.h"

namespace {

std::string LoadError(mg::SpamTree& tree, const std::string& bytes) {
    try {
        tree.LoadFromBytes(bytes);
    } catch (const Exception& e) {
        return e.Message;
    }
    return "";
}

}  // namespace

// The last line of a file without a line end was read even when, with its
// CR LF, it no longer fits the line buffer; saving then left it out, so a
// node that loaded without an error was silently lost at close.
TEST(Findings, UnterminatedLastLineMustFitTheLineBufferWithItsLineEnd) {
    mg::SpamTree tree;
    const std::string head = "0@a.example\r\n\t";
    EXPECT_EQ(LoadError(tree, head + std::string(4094, 'x')), "Line too long");
    EXPECT_EQ(LoadError(tree, std::string(4095, 'x')), "Line too long");

    // One byte less fits: it loads and saves back to the same tree.
    ASSERT_EQ(LoadError(tree, head + std::string(4093, 'x')), "");
    ASSERT_EQ(tree.Count(), 2);
    mg::SpamTree again;
    ASSERT_EQ(LoadError(again, tree.SaveToBytes()), "");
    ASSERT_EQ(again.Count(), 2);
    EXPECT_EQ(again.Text(2), std::string(4093, 'x'));
}
