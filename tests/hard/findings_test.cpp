// Faults the fuzz targets and the fault-injection runs found, each kept as
// the smallest input that showed it.
#include <QPushButton>
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <sys/resource.h>

#include "app/Pop3Form.h"
#include "lists/SpamTree.h"
#include "lists/TextOrder.h"
#include "lists/WhiteList.h"
#include "platform/errors.h"
#include "support/fake_dialogs.h"
#include "support/temp_dir.h"

namespace {

double CpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

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

// The import took each address out of a copy of its line by erasing what lay
// before it, and put each new one into the sorted list on its own: both grow
// with the square of the text, so a large address file froze the window.
TEST(Findings, ImportOfALargeFileTakesTimeInProportionToItsSize) {
    mgtest::TempDir dir;
    dir.write("white.dat", "keep@x.example\r\n");
    std::mt19937 random(11);
    std::string text;
    for (int i = 0; i < 300000; ++i) text += "u" + std::to_string(random()) + "@host.example, ";
    text += "\r\n" + text.substr(0, 100000) + "\r\n";  // a line of addresses already imported
    dir.write("book.txt", text);
    mgtest::FakeDialogs dialogs;
    TPop3Form form(dir.path(), dir.file("MAILGROVE.INI"));
    ASSERT_TRUE(form.FormCreate());
    dialogs.ExpectOpenFile(dir.file("book.txt"));
    const double before = CpuSeconds();
    form.btnImport->click();
    EXPECT_LT(CpuSeconds() - before, 20.0) << "CPU seconds to import 8 MB of addresses";

    // Every address once, without regard to letter case, in the list's order.
    std::set<std::string> distinct = {"keep@x.example"};
    for (const std::string& line : mg::TextLines(text))
        for (const std::string& address : mg::ScanAddresses(line)) distinct.insert(mg::FoldCase(address));
    const auto& entries = form.WhiteEntries.Entries();
    EXPECT_EQ(entries.size(), distinct.size());
    EXPECT_TRUE(std::is_sorted(entries.begin(), entries.end(), [](const std::string& a, const std::string& b) {
        return mg::CompareNoCase(a, b) < 0;
    }));
}
