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
// object.
//
// The file: one table, "headers" (server, login, uidl, header, size,
// first_seen, last_seen), primary key (server, login, uidl); the schema's
// version in PRAGMA user_version; WAL journal; mode 0600.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
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
        // Seconds since the epoch; filled by Load. Store sets them itself.
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

    // Everything cached for one mailbox, by UIDL; an empty map when it has
    // never been scanned. False on failure: the cache is then of no use for
    // this scan. Damage found here moves the file aside and closes the cache;
    // the next Open starts a new one.
    bool Load(const std::string& server, const std::string& login, std::unordered_map<std::string, Entry>& out);
    // One entry: true when it is cached. False when it is not (Problem()
    // empty) or on failure (as for Load).
    bool Get(const std::string& server, const std::string& login, const std::string& uidl, Entry& out);

    // One scan's changes, in one transaction, all or nothing: `added` are
    // new entries (first and last seen now; an entry already cached under the
    // same UIDL is replaced, keeping its first-seen time), `seen` the UIDLs
    // of cached entries listed again (last seen now). When `complete` (the
    // scan listed the whole mailbox), the mailbox's entries in neither list
    // are removed.
    bool Store(const std::string& server, const std::string& login, const std::vector<Added>& added,
               const std::vector<std::string>& seen, bool complete);

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
    void Close();
    // Open, else false with a Problem().
    bool Ready();
    bool MoveAside();
    int64_t Now() const;

    std::string path_;
    std::string problem_;
    bool rebuilt_ = false;
    int64_t timeForTest_ = 0;
    int openErrno_ = 0;  // why the file could not be made
    sqlite3* db_ = nullptr;
    sqlite3_stmt* load_ = nullptr;
    sqlite3_stmt* get_ = nullptr;
    sqlite3_stmt* insert_ = nullptr;
    sqlite3_stmt* touch_ = nullptr;
    sqlite3_stmt* listed_ = nullptr;  // a UIDL of a complete scan into temp.listed
    sqlite3_stmt* prune_ = nullptr;   // the mailbox's entries not in temp.listed
};

}  // namespace mg
