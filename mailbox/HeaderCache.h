// HeaderCache: the header blocks of earlier scans, kept in cache.sqlite in
// the data directory, so that a scan fetches only the messages it has not
// seen before. An entry is keyed by the mailbox (server and login) and the
// message's UIDL; it holds the header block exactly as the server sent it for
// "TOP n 0" (its lines with their line ends as received, without the
// terminating "." line), the message size in octets, and when the entry was
// first and last seen.
//
// The cache is only a cache: whatever goes wrong with it costs a slower scan,
// never a message or a list. So nothing here throws. Each call says by its
// result whether it worked, and Problem() says why not. A file that is not a
// database or is damaged is moved aside as "<file>.bad" and started afresh;
// a file that is locked by another running copy, cannot be read or written,
// or finds the disk full is left as it is and the cache is not used this
// time. The lock waits at most about 200 ms. One thread at a time uses an
// object; it copies a long log back into the file on a thread of its own.
//
// The file: table "headers" (server, login, uidl, header, size) and table
// "seen" (server, login, uidl, first_seen, last_seen), both with the primary
// key (server, login, uidl); tables "listing" (server, login, number, uidl,
// size) and "scans" (server, login, scanned), the last complete listing of
// each mailbox and when it was made; table "deletions" (id, server, login,
// uidl, logged, bin_file, accepted), the deletions sent and not yet confirmed
// by QUIT; the schema's version in PRAGMA user_version (a file of an earlier
// version is emptied); WAL journal; mode 0600.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace mg {

class HeaderCache {
public:
    // `path`: the file, <data dir>/cache.sqlite. Nothing is opened yet.
    explicit HeaderCache(std::string path);
    ~HeaderCache();
    HeaderCache(const HeaderCache&) = delete;
    HeaderCache& operator=(const HeaderCache&) = delete;

    struct Entry {
        std::string header;  // bytes as received: Windows-1251 or anything
        int32_t size = 0;    // of the whole message, in octets
        // Seconds since the epoch; filled by Load and Get, set by Add and
        // Commit themselves.
        int64_t firstSeen = 0;
        int64_t lastSeen = 0;
    };
    struct Added {
        std::string uidl;
        Entry entry;
    };

    // Opens the file, creating it (mode 0600) when missing. A file that is
    // not a database or is damaged is moved aside as "<path>.bad" (replacing
    // an older one, with its -wal and -shm) and a new, empty cache is made:
    // Rebuilt() is then true. False when the cache cannot be used this time
    // (locked by another running copy, not readable or writable, the disk
    // full, made by a newer version); Problem() says why. Opening again
    // closes first.
    bool Open();
    bool IsOpen() const { return db_ != nullptr; }
    bool Rebuilt() const { return rebuilt_; }
    // Why the last call failed, in a few plain words; empty after success.
    const std::string& Problem() const { return problem_; }

    // Calls `visit` for every entry cached for one mailbox, header block
    // included, in no particular order; none when it has never been
    // scanned. False on failure: the cache is then of no use for this scan.
    // Damage found here moves the file aside and closes the cache; the next
    // Open starts a new one.
    bool Load(const std::string& server, const std::string& login,
              const std::function<void(const std::string& uidl, const Entry& entry)>& visit);
    // One entry: true when it is cached. False when it is not (Problem()
    // empty) or on failure (as for Load).
    bool Get(const std::string& server, const std::string& login, const std::string& uidl, Entry& out);

    // One scan's changes are one transaction, all or nothing. Begin takes
    // the file's write lock (other copies then wait or do without); a Load
    // after it sees what the scan will change. Add stores a fetched entry as
    // it arrives (first and last seen now; an entry already cached under the
    // same UIDL is replaced, keeping its first-seen time; a block larger than
// a header block may be, TVantelPOP3::kMaxHeaderBytes, is not stored, and
// that is no failure). Commit marks
    // `seen` (cached entries listed again) as seen now and ends the
    // transaction; when `complete` (the scan listed the whole mailbox), the
    // entries in `gone` (cached, no longer listed) are removed. Rollback, a
    // failure or closing drops the changes.
    bool Begin();
    bool Add(const std::string& server, const std::string& login, const Added& added);
    bool Commit(const std::string& server, const std::string& login, const std::vector<std::string>& seen,
                const std::vector<std::string>& gone, bool complete);
    void Rollback();

    // The last complete listing of a mailbox: message numbers, UIDLs (empty
    // for a message without one of its own) and sizes, and when it was
    // made. SetListing replaces it inside the transaction of a scan (Begin
    // .. Commit). LastListing is false when the mailbox was never listed
    // (Problem() empty) or on failure; a mailbox found empty has a listing
    // without messages. ForgetNumbers takes out messages the server has
    // deleted and numbers the rest from 1 again, as the server will.
    struct Listed {
        int number = 0;
        std::string uidl;
        int32_t size = 0;
    };
    bool SetListing(const std::string& server, const std::string& login, const std::vector<Listed>& listing);
    bool LastListing(const std::string& server, const std::string& login, std::vector<Listed>& out, int64_t& scanned);
    bool ForgetNumbers(const std::string& server, const std::string& login, std::vector<int> numbers);

    // The deletions of a run until QUIT confirms them: a run notes each
    // message (by UIDL) before its DELE goes out and marks it accepted at the
    // +OK, before its log.dat line is written; a confirmed or taken-back
    // deletion is forgotten. What a killed run leaves here tells the next
    // session which of log.dat's lines and the bin's files claim deletions
    // that never happened. None of these runs inside a scan's transaction
    // (each is false there, with nothing done).
    struct Deletion {
        int64_t id = 0;         // set by NoteDeletions
        std::string uidl;
        std::string logged;     // its log.dat line's text after the date and " |"
        std::string binFile;    // its message in the bin; empty when not kept
        bool accepted = false;  // the server answered its DELE with +OK
    };
    // One transaction for all of them; sets each one's id.
    bool NoteDeletions(const std::string& server, const std::string& login, std::vector<Deletion>& deletions);
    bool MarkAccepted(int64_t id);
    bool ForgetDeletions(const std::vector<int64_t>& ids);
    // Every deletion noted for a mailbox, in the order noted.
    bool NotedDeletions(const std::string& server, const std::string& login, std::vector<Deletion>& out);

    // Tests only: limits the open file to this many pages (PRAGMA
    // max_page_count), as a full disk would; and fixes the clock (seconds
    // since the epoch; 0: the real one).
    void SetPageLimitForTest(int pages);
    void SetTimeForTest(int64_t seconds) { timeForTest_ = seconds; }

private:
    // Open's work; false with `rc` set to what failed.
    bool OpenFile(int& rc);
    bool Prepare(sqlite3_stmt*& stmt, const char* sql, int& rc);
    // Takes note of a failure with result code `rc` and returns false. Damage
    // closes the cache and moves the file aside.
    bool Fail(int rc);
    // Fail, with the open transaction rolled back first.
    bool Abandon(int rc);
    void Close();
    // Open, else false with a Problem().
    bool Ready();
    // Ready, and no scan's transaction open.
    bool ReadyOutsideScan();
    bool MoveAside();
    int64_t Now() const;
    void CheckpointAside();
    int RunOnce(const char* sql, const std::function<int(sqlite3_stmt*)>& bindAndStep);
    // `work` (a result code) in a transaction of its own, committed when it
    // succeeds, else rolled back and noted.
    bool InTransaction(const std::function<int()>& work);
    int WriteListing(const std::string& server, const std::string& login, const std::vector<Listed>& listing,
                     int64_t scanned);

    std::string path_;
    std::string problem_;
    bool rebuilt_ = false;
    int64_t timeForTest_ = 0;
    int openErrno_ = 0;  // why the file could not be made
    sqlite3* db_ = nullptr;
    int walPages_ = 0;  // in the log after the last commit
    std::thread checkpointer_;
    std::atomic<bool> checkpointing_{false};
    sqlite3_stmt* load_ = nullptr;
    sqlite3_stmt* get_ = nullptr;
    sqlite3_stmt* insert_ = nullptr;
    sqlite3_stmt* insertSeen_ = nullptr;
    sqlite3_stmt* touch_ = nullptr;
    sqlite3_stmt* touchAll_ = nullptr;  // the whole mailbox seen
    sqlite3_stmt* remove_ = nullptr;
    sqlite3_stmt* removeSeen_ = nullptr;
};

}  // namespace mg
