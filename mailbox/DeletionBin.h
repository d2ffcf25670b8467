// DeletionBin: the messages deleted on a server, kept in a Maildir on this
// machine ("deleted/" in the data directory, with tmp/, new/ and cur/).
//
// Each file is one message as the server sent it, dot-unstuffed and with LF
// line ends, preceded by one added field:
//
//     X-Mailgrove-Deleted: Wed, 09 Dec 2026 10:15:02 +0300; mailbox=joe@pop.example; uidl=abc
//
// and, for a message over the size limit of which only the header block was
// kept, "; header-only=SIZE" after it (SIZE: the message's octets).
//
// A message is written in two steps: Stage writes it under tmp/; Settle
// flushes everything staged to the disk and moves it into cur/ (and flushes
// that directory), so a file in cur/ is whole. Only then may the message be
// deleted on the server.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace mg {

struct BinSettings {
    bool Enabled = true;
    // A message larger than this keeps only its header block in the bin.
    int64_t MaxBytes = 10 * 1024 * 1024;
    // Files older than this are removed at start.
    int RetentionDays = 30;

    // The [BIN] section of the settings file (ENABLED, MAXSIZE in megabytes,
    // DAYS); missing or unreadable values keep the defaults (`enabled` for a
    // file without ENABLED).
    static BinSettings Read(const std::string& settingsPath, bool enabled = true);
    // False when the file could not be written.
    bool Write(const std::string& settingsPath) const;
};

// One file of the bin, as the dialog lists it.
struct BinEntry {
    std::string Path;     // the file
    std::time_t Deleted = 0;  // when it was written (the file's time)
    std::string Mailbox;  // login@server, as the field says
    std::string Sender;   // the sender's address (Windows-1251), as the message list shows it
    std::string Subject;  // decoded as in the message list (Windows-1251)
    int64_t Size = 0;     // the message's octets (the original's when only its header was kept)
    bool HeaderOnly = false;
};

// The added field's value: the date (local time, RFC 5322), the mailbox,
// the UIDL where known (a byte outside 0x21 to 0x7E written "%XX"), the
// original size when only the header is kept.
std::string DeletedFieldValue(std::time_t when, const std::string& mailbox, const std::string& uidl,
                              int64_t headerOnlySize = -1);

class DeletionBin {
public:
    // `dir`: the bin's directory, with or without a trailing "/".
    explicit DeletionBin(std::string dir);

    const std::string& Dir() const { return dir_; }

    // Creates the directory and its tmp/, new/ and cur/ when missing; false
    // with the reason in `error` when it cannot.
    bool Prepare(std::string& error);

    // Writes "X-Mailgrove-Deleted: " + fieldValue + LF + message under tmp/
    // (`message` already dot-unstuffed, LF line ends). Returns the file's
    // name under tmp/; throws Exception (with the reason) when the file
    // cannot be written whole, leaving nothing behind.
    std::string Stage(const std::string& fieldValue, const std::string& message);
    // Flushes the staged files to the disk and moves them into cur/; returns
    // the path in cur/ of each (in the order staged), or an empty string for
    // one that could not be moved (its staged file is removed). When the
    // flush itself fails every staged file is removed and all are empty,
    // with the reason in `error`.
    std::vector<std::string> Settle(std::string& error);
    // Where Settle puts the file Stage named `stagedName`.
    std::string SettledPath(const std::string& stagedName) const;
    // Drops what is staged and not settled.
    void DropStaged();

    // Removes one file of the bin; false when it could not be removed.
    static bool Remove(const std::string& path);
    // Removes the files in cur/ and new/ older than `days` days at `now`,
    // and in tmp/ older than a day (writes cut short). Returns how many.
    int Expire(int days, std::time_t now);
    // The files in cur/ and new/, newest first.
    std::vector<BinEntry> List() const;
    // Removes every file in cur/ and new/; returns how many could not be.
    int Clear();

    // Reads one file of the bin into an entry; false when it cannot be read.
    static bool ReadEntry(const std::string& path, BinEntry& entry);

private:
    std::string dir_;
    std::vector<std::string> staged_;  // names under tmp/
};

}  // namespace mg
