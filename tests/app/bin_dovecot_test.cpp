// Deleting with the bin on against a real POP3 server: what is deleted is on
// this machine first, byte for byte as the server stores it; a message that
// cannot be kept (the disk is full, the server will not hand it out) stays on
// the server and goes at a later run.
#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <sys/resource.h>
#include <sys/stat.h>

#include "app_support.h"
#include "support/dovecot_server.h"

using mg::A;
using mg::Answer;
using namespace mgtest;
namespace fs = std::filesystem;

namespace {

const std::string kKeptPrefix = "Не удалось сохранить в корзину, поэтому не удалены и остались на сервере: ";

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The file of a stored message, in new/ or, once the server has seen it, cur/.
fs::path StoredFile(const DovecotServer& dovecot, const std::string& name) {
    for (const char* folder : {"/new/", "/cur/"})
        for (const auto& entry : fs::directory_iterator(dovecot.maildirPath() + folder))
            if (entry.path().filename().string().rfind(name, 0) == 0) return entry.path();
    return {};
}

std::vector<fs::path> FilesIn(const std::string& dir) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(dir)) files.push_back(entry.path());
    return files;
}

size_t LineCount(const std::string& text) {
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

// Writes past `bytes` fail with EFBIG, as on a full disk, while in scope.
struct FileSizeLimit {
    explicit FileSizeLimit(rlim_t bytes) {
        oldSignal = std::signal(SIGXFSZ, SIG_IGN);
        ::getrlimit(RLIMIT_FSIZE, &old);
        const rlimit limit{bytes, old.rlim_max};
        EXPECT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, oldSignal);
    }
    rlimit old{};
    void (*oldSignal)(int) = SIG_DFL;
};

// The window's boxes about messages that could not be kept, answered here
// (their reason names a file of the bin); every other box goes to the fake.
struct KeptBoxes final : mg::Dialogs {
    explicit KeptBoxes(FakeDialogs& fake) : fake(fake) { mg::SetDialogs(this); }
    ~KeptBoxes() override { mg::SetDialogs(&fake); }
    Answer Message(const std::string& text, const std::string& caption, mg::Icon icon,
                   mg::Buttons buttons) override {
        if (Utf8(text).rfind(kKeptPrefix, 0) != 0) return fake.Message(text, caption, icon, buttons);
        EXPECT_EQ(static_cast<int>(icon), static_cast<int>(mg::Icon::Warning));
        shown.push_back(Utf8(text));
        return Answer::Ok;
    }
    bool InputQuery(const std::string& caption, const std::string& prompt, std::string& value) override {
        return fake.InputQuery(caption, prompt, value);
    }
    bool OpenFile(const std::string& filter, std::string& path) override { return fake.OpenFile(filter, path); }
    FakeDialogs& fake;
    std::vector<std::string> shown;
};

}  // namespace

TEST(EndToEnd, DeletedMailIsKeptInTheBinAgainstDovecot) {
    std::string big = "From: big@spam.example\nSubject: Big\n\n";
    for (int i = 0; big.size() < 5 * 1024 * 1024; ++i)
        big += (i % 1000 == 0 ? "." : "") + std::string(79, static_cast<char>('a' + i % 26)) + "\n";
    DovecotServer dovecot;
    dovecot.addMessage(big);
    dovecot.addMessage("From: dots@spam.example\nSubject: Dots\n\n.\n..\n.hidden\nend\n.\n");
    dovecot.addMessage("From: friend@ok.example\nSubject: Hi\n\nhello\n");
    dovecot.addMessage("From: last@spam.example\nSubject: Last\n\nbody\n");
    if (!dovecot.start()) {
        if (dovecot.unavailable()) GTEST_SKIP() << "Dovecot is not available: " << dovecot.error();
        FAIL() << dovecot.error();
    }
    const std::vector<std::string> names = dovecot.storedMessages();  // in the order added
    ASSERT_EQ(names.size(), 4u);
    std::vector<std::string> deleted;  // as the server stores them, LF line ends
    for (int i : {0, 1, 3}) {
        std::string text = ReadFile(StoredFile(dovecot, names[i]));
        for (size_t crlf; (crlf = text.find("\r\n")) != std::string::npos;) text.erase(crlf, 1);
        deleted.push_back(text);
    }

    ScanWindow w("1@spam.example\r\n\tx\r\n", "friend@ok.example\r\n");
    w.dir.write("MAILGROVE.INI", "[BIN]\r\nENABLED=1\r\n");
    w.form.editHost->setText(QString::fromStdString(dovecot.host()));
    w.form.editPort->setText(QString::number(dovecot.port()));
    w.form.editUser->setText(QString::fromStdString(dovecot.user()));
    w.form.editPassword->setText(QString::fromStdString(dovecot.password()));
    const std::string bin = w.dir.file("deleted/");

    // A first run on a disk that takes no file over 1 MB, with the server
    // unable to read the dotted message: only the last one goes.
    w.click(w.form.btnConnect);
    ASSERT_EQ(w.form.LineCount(), 4);
    const std::string bigLine = w.line(0), dotsLine = w.line(1);
    const fs::path dotsFile = StoredFile(dovecot, names[1]);
    fs::permissions(dotsFile, fs::perms::none);
    w.dialogs.ExpectMessage("Удалить выделенные сообщения?", Answer::Ok);
    {
        KeptBoxes boxes(w.dialogs);
        FileSizeLimit fullDisk(1024 * 1024);
        w.click(w.form.btnDelete);
        ASSERT_EQ(boxes.shown.size(), 1u);
        const std::string told =
            kKeptPrefix + "2\n" + Utf8(bigLine.substr(9)) + "\n" + Utf8(dotsLine.substr(9)) + "\nПричина: ";
        EXPECT_EQ(boxes.shown[0].rfind(told, 0), 0u) << boxes.shown[0];
    }
    fs::permissions(dotsFile, fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(w.line(0), bigLine);
    EXPECT_EQ(w.line(1), dotsLine);
    EXPECT_TRUE(w.form.LineChecked(0));
    EXPECT_EQ(w.line(3), A("<УДАЛЕНО>"));
    EXPECT_EQ(FilesIn(bin + "cur").size(), 1u);
    EXPECT_TRUE(FilesIn(bin + "tmp").empty());
    std::string log = w.dir.read("log.dat");
    EXPECT_EQ(LineCount(log), 1u);
    EXPECT_NE(log.find("last@spam.example"), std::string::npos);
    w.click(w.form.btnDisconnect);
    EXPECT_EQ(dovecot.storedMessages(), (std::vector<std::string>{names[0], names[1], names[2]}));

    // Room again, and the file readable: the next run keeps and deletes both.
    w.click(w.form.btnConnect);
    ASSERT_EQ(w.form.LineCount(), 3);
    w.dialogs.ExpectMessage("Удалить выделенные сообщения?", Answer::Ok);
    w.click(w.form.btnDelete);
    EXPECT_TRUE(w.dialogs.done());
    EXPECT_EQ(w.line(0), A("<УДАЛЕНО>"));
    EXPECT_EQ(w.line(1), A("<УДАЛЕНО>"));
    log = w.dir.read("log.dat");
    EXPECT_EQ(LineCount(log), 3u);
    EXPECT_NE(log.find("big@spam.example"), std::string::npos);
    w.click(w.form.btnDisconnect);
    EXPECT_EQ(dovecot.storedMessages(), std::vector<std::string>{names[2]});

    // Each file: the added field, then the message exactly as the server has it.
    std::vector<std::string> kept;
    for (const fs::path& file : FilesIn(bin + "cur")) {
        const std::string text = ReadFile(file);
        const std::string field = text.substr(0, text.find('\n'));
        EXPECT_EQ(field.rfind("X-Mailgrove-Deleted: ", 0), 0u) << field;
        EXPECT_NE(field.find("; mailbox=" + dovecot.user() + "@" + dovecot.host()), std::string::npos) << field;
        EXPECT_EQ(field.find("header-only"), std::string::npos) << field;
        kept.push_back(text.substr(std::min(text.size(), field.size() + 1)));
    }
    ASSERT_EQ(kept.size(), 3u);
    std::sort(kept.begin(), kept.end());
    std::sort(deleted.begin(), deleted.end());
    for (size_t i = 0; i < kept.size(); ++i)
        EXPECT_TRUE(kept[i] == deleted[i]) << "kept " << kept[i].size() << " bytes, stored " << deleted[i].size()
                                           << ":\n" << kept[i].substr(0, 200);
}
