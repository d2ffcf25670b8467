#include "mailbox/HeaderCache.h"

#include <algorithm>

#include <sqlite3.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

#include <functional>

#include "pop3/VantelPop3.h"

namespace mg {

namespace {

constexpr int kSchemaVersion = 2;
// A lock held by another running copy is waited for this long, no longer.
constexpr int kBusyMs = 200;
// A log this long after a commit is copied back into the file.
constexpr int kCheckpointPages = 1000;
// OpenFile's result when the file was written by a later schema.
constexpr int kNewerSchema = -1;

// The header blocks, and apart from them when each was seen: a scan that
// only sees cached messages again rewrites small rows, not the blocks.
const char kCreate[] =
    "DROP TABLE IF EXISTS headers; DROP TABLE IF EXISTS seen; DROP TABLE IF EXISTS listing;"
    " DROP TABLE IF EXISTS scans;"
    "CREATE TABLE headers("
    " server TEXT NOT NULL, login TEXT NOT NULL, uidl TEXT NOT NULL,"
    " header BLOB NOT NULL, size INTEGER NOT NULL,"
    " PRIMARY KEY (server, login, uidl));"
    "CREATE TABLE seen("
    " server TEXT NOT NULL, login TEXT NOT NULL, uidl TEXT NOT NULL,"
    " first_seen INTEGER NOT NULL, last_seen INTEGER NOT NULL,"
    " PRIMARY KEY (server, login, uidl)) WITHOUT ROWID";
// The messages of each mailbox's last complete listing, by number, and when
// it was made (a mailbox found empty has a time and no messages). Files of
// the same schema made before they were added gain them when opened.
const char kCreateListing[] =
    "CREATE TABLE IF NOT EXISTS listing("
    " server TEXT NOT NULL, login TEXT NOT NULL, number INTEGER NOT NULL,"
    " uidl TEXT NOT NULL, size INTEGER NOT NULL,"
    " PRIMARY KEY (server, login, number)) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS scans("
    " server TEXT NOT NULL, login TEXT NOT NULL, scanned INTEGER NOT NULL,"
    " PRIMARY KEY (server, login)) WITHOUT ROWID";
// The deletions sent and not yet confirmed by QUIT, in the order noted; an
// id is never used twice. Files made before it gain it when opened.
const char kCreateDeletions[] =
    "CREATE TABLE IF NOT EXISTS deletions("
    " id INTEGER PRIMARY KEY AUTOINCREMENT, server TEXT NOT NULL, login TEXT NOT NULL, uidl TEXT NOT NULL,"
    " logged BLOB NOT NULL, bin_file BLOB NOT NULL, accepted INTEGER NOT NULL DEFAULT 0)";
const char kLoad[] =
    "SELECT h.uidl, h.header, h.size, s.first_seen, s.last_seen FROM headers h"
    " JOIN seen s ON s.server = h.server AND s.login = h.login AND s.uidl = h.uidl"
    " WHERE h.server = ?1 AND h.login = ?2";
const char kGet[] =
    "SELECT h.uidl, h.header, h.size, s.first_seen, s.last_seen FROM headers h"
    " JOIN seen s ON s.server = h.server AND s.login = h.login AND s.uidl = h.uidl"
    " WHERE h.server = ?1 AND h.login = ?2 AND h.uidl = ?3";
const char kInsert[] =
    "INSERT OR REPLACE INTO headers(server, login, uidl, header, size) VALUES(?1, ?2, ?3, ?4, ?5)";
const char kInsertSeen[] =
    "INSERT INTO seen(server, login, uidl, first_seen, last_seen) VALUES(?1, ?2, ?3, ?4, ?4)"
    " ON CONFLICT(server, login, uidl) DO UPDATE SET last_seen = excluded.last_seen";
const char kTouch[] = "UPDATE seen SET last_seen = ?4 WHERE server = ?1 AND login = ?2 AND uidl = ?3";
const char kTouchAll[] = "UPDATE seen SET last_seen = ?3 WHERE server = ?1 AND login = ?2";
const char kRemove[] = "DELETE FROM headers WHERE server = ?1 AND login = ?2 AND uidl = ?3";
const char kRemoveSeen[] = "DELETE FROM seen WHERE server = ?1 AND login = ?2 AND uidl = ?3";

bool Damage(int rc) {
    const int primary = rc & 0xff;
    return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

std::string SystemError(int error) { return error ? std::string(" (") + std::strerror(error) + ")" : ""; }

int Exec(sqlite3* db, const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr); }

int BindText(sqlite3_stmt* stmt, int index, const std::string& text) {
    return sqlite3_bind_text64(stmt, index, text.data(), text.size(), SQLITE_STATIC, SQLITE_UTF8);
}

int BindKey(sqlite3_stmt* stmt, const std::string& server, const std::string& login) {
    int rc = BindText(stmt, 1, server);
    if (rc == SQLITE_OK) rc = BindText(stmt, 2, login);
    return rc;
}

// Steps a statement that returns no rows and makes it ready for the next use.
int Run(sqlite3_stmt* stmt) {
    int rc = sqlite3_step(stmt);
    sqlite3_reset(stmt);
    return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

std::string Bytes(sqlite3_stmt* stmt, int column, bool blob) {
    // The pointer first, then its length: asking for the length first could
    // convert the value afterwards.
    const void* data = blob ? sqlite3_column_blob(stmt, column) : sqlite3_column_text(stmt, column);
    const int size = sqlite3_column_bytes(stmt, column);
    return data ? std::string(static_cast<const char*>(data), static_cast<size_t>(size)) : std::string();
}

// The entry of the row a load statement stands on.
HeaderCache::Entry Row(sqlite3_stmt* stmt) {
    HeaderCache::Entry entry;
    entry.header = Bytes(stmt, 1, true);
    entry.size = sqlite3_column_int(stmt, 2);
    entry.firstSeen = sqlite3_column_int64(stmt, 3);
    entry.lastSeen = sqlite3_column_int64(stmt, 4);
    return entry;
}

}  // namespace

HeaderCache::HeaderCache(std::string path) : path_(std::move(path)) {}

HeaderCache::~HeaderCache() { Close(); }

bool HeaderCache::Open() {
    Close();
    rebuilt_ = false;
    problem_.clear();
    for (;;) {
        int rc = SQLITE_OK;
        if (OpenFile(rc)) return true;
        // A damaged file is moved aside and a new one made, once. A new
        // file found damaged is left where it is: the .bad keeps the first.
        if (!Damage(rc) || rebuilt_) {
            if (Damage(rc)) problem_ = "the cache file is damaged";
            else Fail(rc);
            Close();
            return false;
        }
        Close();
        if (!MoveAside()) return false;
        rebuilt_ = true;
    }
}

bool HeaderCache::OpenFile(int& rc) {
    // Made here rather than by SQLite, which would make it readable by all;
    // its -wal and -shm then take the same mode.
    const int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
        ::close(fd);
    } else if (errno != EEXIST) {
        openErrno_ = errno;
        rc = SQLITE_CANTOPEN;
        return false;
    }
    rc = sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) return false;
    sqlite3_extended_result_codes(db_, 1);
    sqlite3_busy_timeout(db_, kBusyMs);
    // A file that cannot be written is opened for reading instead.
    if (sqlite3_db_readonly(db_, "main") == 1) {
        rc = SQLITE_READONLY;
        return false;
    }
    // The first statement that reads the file: a file that is not a
    // database, or is locked, is found here.
    rc = Exec(db_, "PRAGMA journal_mode = WAL");
    // Instead of the checkpoint SQLite makes on a commit: see Commit.
    sqlite3_wal_hook(
        db_,
        [](void* self, sqlite3*, const char*, int pages) {
            static_cast<HeaderCache*>(self)->walPages_ = pages;
            return SQLITE_OK;
        },
        this);
    if (rc == SQLITE_OK) rc = Exec(db_, "PRAGMA synchronous = NORMAL; PRAGMA temp_store = MEMORY");
    if (rc != SQLITE_OK) return false;

    sqlite3_stmt* version = nullptr;
    if (!Prepare(version, "PRAGMA user_version", rc)) return false;
    rc = sqlite3_step(version);
    const int found = rc == SQLITE_ROW ? sqlite3_column_int(version, 0) : 0;
    sqlite3_finalize(version);
    if (rc != SQLITE_ROW) return false;
    if (found > kSchemaVersion) {
        rc = kNewerSchema;
        return false;
    }
    // A new file, or one of an earlier schema: only a cache, made anew.
    if (found < kSchemaVersion) {
        rc = Exec(db_, "BEGIN IMMEDIATE");
        if (rc != SQLITE_OK) return false;
        rc = Exec(db_, kCreate);
        if (rc == SQLITE_OK) rc = Exec(db_, ("PRAGMA user_version = " + std::to_string(kSchemaVersion)).c_str());
        if (rc == SQLITE_OK) rc = Exec(db_, "COMMIT");
        if (rc != SQLITE_OK) {
            if (!sqlite3_get_autocommit(db_)) Exec(db_, "ROLLBACK");
            return false;
        }
    }
    rc = Exec(db_, kCreateListing);
    if (rc == SQLITE_OK) rc = Exec(db_, kCreateDeletions);
    if (rc != SQLITE_OK) return false;
    return Prepare(load_, kLoad, rc) && Prepare(get_, kGet, rc) && Prepare(insert_, kInsert, rc) &&
           Prepare(insertSeen_, kInsertSeen, rc) && Prepare(touch_, kTouch, rc) && Prepare(touchAll_, kTouchAll, rc) &&
           Prepare(remove_, kRemove, rc) && Prepare(removeSeen_, kRemoveSeen, rc);
}

bool HeaderCache::Prepare(sqlite3_stmt*& stmt, const char* sql, int& rc) {
    rc = sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
    return rc == SQLITE_OK;
}

bool HeaderCache::Load(const std::string& server, const std::string& login,
                       const std::function<void(const std::string& uidl, const Entry& entry)>& visit) {
    if (!Ready()) return false;
    // Reset however the visit ends (a failure may have closed the cache).
    struct Reset {
        sqlite3_stmt*& stmt;
        ~Reset() { sqlite3_reset(stmt); }
    } reset{load_};
    int rc = BindKey(load_, server, login);
    if (rc == SQLITE_OK) {
        while ((rc = sqlite3_step(load_)) == SQLITE_ROW) visit(Bytes(load_, 0, false), Row(load_));
    }
    if (rc == SQLITE_DONE) return true;
    sqlite3_reset(load_);
    return Fail(rc);
}

bool HeaderCache::Get(const std::string& server, const std::string& login, const std::string& uidl, Entry& out) {
    if (!Ready()) return false;
    int rc = BindKey(get_, server, login);
    if (rc == SQLITE_OK) rc = BindText(get_, 3, uidl);
    if (rc == SQLITE_OK && (rc = sqlite3_step(get_)) == SQLITE_ROW) out = Row(get_);
    sqlite3_reset(get_);
    if (rc == SQLITE_ROW) return true;
    return rc == SQLITE_DONE ? false : Fail(rc);
}

bool HeaderCache::Begin() {
    if (!Ready()) return false;
    if (!sqlite3_get_autocommit(db_)) return true;
    const int rc = Exec(db_, "BEGIN IMMEDIATE");
    return rc == SQLITE_OK || Fail(rc);
}

bool HeaderCache::Add(const std::string& server, const std::string& login, const Added& added) {
    if (!Ready()) return false;
    // No more than a header block may hold: a larger one is not kept.
    if (added.entry.header.size() > TVantelPOP3::kMaxHeaderBytes) return true;
    const int64_t now = Now();
    int rc = BindKey(insert_, server, login);
    if (rc == SQLITE_OK) rc = BindText(insert_, 3, added.uidl);
    if (rc == SQLITE_OK)
        rc = sqlite3_bind_blob64(insert_, 4, added.entry.header.data(), added.entry.header.size(), SQLITE_STATIC);
    if (rc == SQLITE_OK) rc = sqlite3_bind_int(insert_, 5, added.entry.size);
    if (rc == SQLITE_OK) rc = Run(insert_);
    if (rc == SQLITE_OK) rc = BindKey(insertSeen_, server, login);
    if (rc == SQLITE_OK) rc = BindText(insertSeen_, 3, added.uidl);
    if (rc == SQLITE_OK) rc = sqlite3_bind_int64(insertSeen_, 4, now);
    if (rc == SQLITE_OK) rc = Run(insertSeen_);
    return rc == SQLITE_OK || Abandon(rc);
}

bool HeaderCache::Commit(const std::string& server, const std::string& login, const std::vector<std::string>& seen,
                         const std::vector<std::string>& gone, bool complete) {
    if (!Ready()) return false;
    const int64_t now = Now();
    auto each = [&](sqlite3_stmt* stmt, const std::vector<std::string>& uidls, bool stamp) {
        int rc = SQLITE_OK;
        for (const std::string& uidl : uidls) {
            rc = BindKey(stmt, server, login);
            if (rc == SQLITE_OK) rc = BindText(stmt, 3, uidl);
            if (rc == SQLITE_OK && stamp) rc = sqlite3_bind_int64(stmt, 4, now);
            if (rc == SQLITE_OK) rc = Run(stmt);
            if (rc != SQLITE_OK) break;
        }
        return rc;
    };
    int rc = SQLITE_OK;
    if (complete) rc = each(remove_, gone, false);
    if (complete && rc == SQLITE_OK) rc = each(removeSeen_, gone, false);
    // After a complete scan, what is left of the mailbox was all seen now
    // (the transaction kept other copies out since Load): one statement.
    if (rc == SQLITE_OK && complete) {
        rc = BindKey(touchAll_, server, login);
        if (rc == SQLITE_OK) rc = sqlite3_bind_int64(touchAll_, 3, now);
        if (rc == SQLITE_OK) rc = Run(touchAll_);
    } else if (rc == SQLITE_OK) {
        rc = each(touch_, seen, true);
    }
    if (rc == SQLITE_OK && !sqlite3_get_autocommit(db_)) rc = Exec(db_, "COMMIT");
    if (rc != SQLITE_OK) return Abandon(rc);
    if (walPages_ >= kCheckpointPages) CheckpointAside();
    return true;
}

// Copying the log back into the file, and the flush that goes with it, cost
// tens of milliseconds per thousand pages: a thread of its own does that, on
// a connection of its own, while this one goes on.
void HeaderCache::CheckpointAside() {
    if (checkpointing_.load()) return;
    if (checkpointer_.joinable()) checkpointer_.join();
    checkpointing_ = true;
    checkpointer_ = std::thread([this, path = path_] {
        sqlite3* db = nullptr;
        if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) == SQLITE_OK) {
            sqlite3_busy_timeout(db, kBusyMs);
            sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
        }
        sqlite3_close(db);
        checkpointing_ = false;
    });
}

// Statements seldom run are prepared when they run.
int HeaderCache::RunOnce(const char* sql, const std::function<int(sqlite3_stmt*)>& bindAndStep) {
    sqlite3_stmt* stmt = nullptr;
    int rc = sqlite3_prepare_v2(db_, sql, -1, &stmt, nullptr);
    if (rc == SQLITE_OK) rc = bindAndStep(stmt);
    sqlite3_finalize(stmt);
    return rc;
}

int HeaderCache::WriteListing(const std::string& server, const std::string& login,
                              const std::vector<Listed>& listing, int64_t scanned) {
    int rc = RunOnce("DELETE FROM listing WHERE server = ?1 AND login = ?2", [&](sqlite3_stmt* stmt) {
        const int bound = BindKey(stmt, server, login);
        return bound == SQLITE_OK ? Run(stmt) : bound;
    });
    if (rc != SQLITE_OK) return rc;
    rc = RunOnce("INSERT OR REPLACE INTO scans(server, login, scanned) VALUES(?1, ?2, ?3)", [&](sqlite3_stmt* stmt) {
        int result = BindKey(stmt, server, login);
        if (result == SQLITE_OK) result = sqlite3_bind_int64(stmt, 3, scanned);
        return result == SQLITE_OK ? Run(stmt) : result;
    });
    if (rc != SQLITE_OK) return rc;
    return RunOnce("INSERT INTO listing(server, login, number, uidl, size) VALUES(?1, ?2, ?3, ?4, ?5)",
                   [&](sqlite3_stmt* stmt) {
                       int result = SQLITE_OK;
                       for (const Listed& m : listing) {
                           result = BindKey(stmt, server, login);
                           if (result == SQLITE_OK) result = sqlite3_bind_int(stmt, 3, m.number);
                           if (result == SQLITE_OK) result = BindText(stmt, 4, m.uidl);
                           if (result == SQLITE_OK) result = sqlite3_bind_int(stmt, 5, m.size);
                           if (result == SQLITE_OK) result = Run(stmt);
                           if (result != SQLITE_OK) break;
                       }
                       return result;
                   });
}

bool HeaderCache::SetListing(const std::string& server, const std::string& login, const std::vector<Listed>& listing) {
    if (!Ready()) return false;
    const int rc = WriteListing(server, login, listing, Now());
    return rc == SQLITE_OK || Abandon(rc);
}

bool HeaderCache::LastListing(const std::string& server, const std::string& login, std::vector<Listed>& out,
                              int64_t& scanned) {
    out.clear();
    scanned = 0;
    if (!Ready()) return false;
    int rc = RunOnce("SELECT scanned FROM scans WHERE server = ?1 AND login = ?2", [&](sqlite3_stmt* stmt) {
        int result = BindKey(stmt, server, login);
        if (result == SQLITE_OK) result = sqlite3_step(stmt);
        if (result == SQLITE_ROW) scanned = sqlite3_column_int64(stmt, 0);
        return result == SQLITE_ROW || result == SQLITE_DONE ? SQLITE_OK : result;
    });
    if (rc == SQLITE_OK && scanned != 0)
        rc = RunOnce("SELECT number, uidl, size FROM listing WHERE server = ?1 AND login = ?2 ORDER BY number",
                     [&](sqlite3_stmt* stmt) {
                         int result = BindKey(stmt, server, login);
                         while (result == SQLITE_OK && (result = sqlite3_step(stmt)) == SQLITE_ROW) {
                             out.push_back(
                                 {sqlite3_column_int(stmt, 0), Bytes(stmt, 1, false), sqlite3_column_int(stmt, 2)});
                             result = SQLITE_OK;
                         }
                         return result == SQLITE_DONE ? SQLITE_OK : result;
                     });
    if (rc != SQLITE_OK) {
        out.clear();
        return Fail(rc);
    }
    return scanned != 0;
}

bool HeaderCache::ForgetNumbers(const std::string& server, const std::string& login, std::vector<int> numbers) {
    // Never inside a scan's transaction: its end decides the listing.
    if (db_ && !sqlite3_get_autocommit(db_)) return false;
    std::vector<Listed> listing;
    int64_t scanned = 0;
    if (!LastListing(server, login, listing, scanned)) return problem_.empty();
    std::sort(numbers.begin(), numbers.end());
    // The server numbers the messages left from 1 again, in their order.
    std::vector<Listed> left;
    for (const Listed& m : listing)
        if (!std::binary_search(numbers.begin(), numbers.end(), m.number))
            left.push_back({static_cast<int>(left.size()) + 1, m.uidl, m.size});
    return InTransaction([&] { return WriteListing(server, login, left, scanned); });
}

bool HeaderCache::NoteDeletions(const std::string& server, const std::string& login,
                                std::vector<Deletion>& deletions) {
    if (!ReadyOutsideScan()) return false;
    const char* insert =
        "INSERT INTO deletions(server, login, uidl, logged, bin_file, accepted) VALUES(?1, ?2, ?3, ?4, ?5, ?6)";
    return InTransaction([&] {
        return RunOnce(insert, [&](sqlite3_stmt* stmt) {
            int result = SQLITE_OK;
            for (Deletion& d : deletions) {
                result = BindKey(stmt, server, login);
                if (result == SQLITE_OK) result = BindText(stmt, 3, d.uidl);
                if (result == SQLITE_OK)
                    result = sqlite3_bind_blob64(stmt, 4, d.logged.data(), d.logged.size(), SQLITE_STATIC);
                if (result == SQLITE_OK)
                    result = sqlite3_bind_blob64(stmt, 5, d.binFile.data(), d.binFile.size(), SQLITE_STATIC);
                if (result == SQLITE_OK) result = sqlite3_bind_int(stmt, 6, d.accepted ? 1 : 0);
                if (result == SQLITE_OK) result = Run(stmt);
                if (result != SQLITE_OK) break;
                d.id = sqlite3_last_insert_rowid(db_);
            }
            return result;
        });
    });
}

bool HeaderCache::MarkAccepted(int64_t id) {
    if (!ReadyOutsideScan()) return false;
    const int rc = RunOnce("UPDATE deletions SET accepted = 1 WHERE id = ?1", [&](sqlite3_stmt* stmt) {
        const int bound = sqlite3_bind_int64(stmt, 1, id);
        return bound == SQLITE_OK ? Run(stmt) : bound;
    });
    return rc == SQLITE_OK || Fail(rc);
}

bool HeaderCache::ForgetDeletions(const std::vector<int64_t>& ids) {
    if (ids.empty()) return true;
    if (!ReadyOutsideScan()) return false;
    return InTransaction([&] {
        return RunOnce("DELETE FROM deletions WHERE id = ?1", [&](sqlite3_stmt* stmt) {
            int result = SQLITE_OK;
            for (int64_t id : ids) {
                result = sqlite3_bind_int64(stmt, 1, id);
                if (result == SQLITE_OK) result = Run(stmt);
                if (result != SQLITE_OK) break;
            }
            return result;
        });
    });
}

bool HeaderCache::InTransaction(const std::function<int()>& work) {
    int rc = Exec(db_, "BEGIN IMMEDIATE");
    if (rc == SQLITE_OK) rc = work();
    if (rc == SQLITE_OK) rc = Exec(db_, "COMMIT");
    return rc == SQLITE_OK || Abandon(rc);
}

bool HeaderCache::NotedDeletions(const std::string& server, const std::string& login, std::vector<Deletion>& out) {
    out.clear();
    if (!ReadyOutsideScan()) return false;
    const int rc = RunOnce(
        "SELECT id, uidl, logged, bin_file, accepted FROM deletions WHERE server = ?1 AND login = ?2 ORDER BY id",
        [&](sqlite3_stmt* stmt) {
            int result = BindKey(stmt, server, login);
            while (result == SQLITE_OK && (result = sqlite3_step(stmt)) == SQLITE_ROW) {
                out.push_back({sqlite3_column_int64(stmt, 0), Bytes(stmt, 1, false), Bytes(stmt, 2, true),
                               Bytes(stmt, 3, true), sqlite3_column_int(stmt, 4) != 0});
                result = SQLITE_OK;
            }
            return result == SQLITE_DONE ? SQLITE_OK : result;
        });
    if (rc == SQLITE_OK) return true;
    out.clear();
    return Fail(rc);
}

void HeaderCache::Rollback() {
    if (db_ && !sqlite3_get_autocommit(db_)) Exec(db_, "ROLLBACK");
}

bool HeaderCache::Abandon(int rc) {
    // SQLite may have rolled back already (a full disk, an I/O error).
    Rollback();
    return Fail(rc);
}

void HeaderCache::SetPageLimitForTest(int pages) {
    if (db_) Exec(db_, ("PRAGMA max_page_count = " + std::to_string(pages)).c_str());
}

bool HeaderCache::Ready() {
    problem_ = db_ ? "" : "the cache is not open";
    return db_ != nullptr;
}

bool HeaderCache::ReadyOutsideScan() {
    if (!Ready()) return false;
    if (sqlite3_get_autocommit(db_)) return true;
    problem_ = "a scan's changes are under way";
    return false;
}

int64_t HeaderCache::Now() const { return timeForTest_ ? timeForTest_ : static_cast<int64_t>(std::time(nullptr)); }

bool HeaderCache::Fail(int rc) {
    const int error = db_ ? sqlite3_system_errno(db_) : openErrno_;
    openErrno_ = 0;
    switch (rc & 0xff) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        problem_ = "the cache file is locked by another running copy of the program";
        break;
    case SQLITE_READONLY:
        problem_ = rc == SQLITE_READONLY_DIRECTORY ? "the cache file's directory cannot be written"
                                                   : "the cache file cannot be written" + SystemError(error);
        break;
    case SQLITE_CANTOPEN:
    case SQLITE_PERM:
    case SQLITE_AUTH:
        problem_ = "the cache file cannot be opened" + SystemError(error);
        break;
    case SQLITE_IOERR:
        problem_ = "the cache file cannot be read or written" + SystemError(error);
        break;
    case SQLITE_FULL:
        problem_ = "the disk is full";
        break;
    case SQLITE_NOMEM:
        problem_ = "out of memory";
        break;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
        problem_ = "the cache file is damaged";
        Close();
        if (MoveAside()) problem_ += "; it has been moved aside and will be made anew";
        break;
    default:
        problem_ = rc == kNewerSchema ? "the cache file was made by a newer version of the program"
                                      : std::string("the cache failed: ") + sqlite3_errstr(rc);
    }
    return false;
}

void HeaderCache::Close() {
    if (checkpointer_.joinable()) checkpointer_.join();
    Rollback();
    for (sqlite3_stmt** stmt :
         {&load_, &get_, &insert_, &insertSeen_, &touch_, &touchAll_, &remove_, &removeSeen_}) {
        sqlite3_finalize(*stmt);
        *stmt = nullptr;
    }
    // The last connection to close checkpoints the WAL into the file and
    // removes it.
    sqlite3_close(db_);
    db_ = nullptr;
}

// <path>.bad replaces an older one. The damaged file's -wal and -shm go
// first, with it: a -wal left behind would be replayed into the new file.
// An older .bad's are removed.
bool HeaderCache::MoveAside() {
    const std::string bad = path_ + ".bad";
    for (const char* suffix : {"-wal", "-shm"}) {
        const std::string from = path_ + suffix, to = bad + suffix;
        if (std::rename(from.c_str(), to.c_str()) == 0) continue;
        if (errno == ENOENT) {
            std::remove(to.c_str());
        } else if (std::remove(from.c_str()) != 0 && errno != ENOENT) {
            problem_ = "the cache file is damaged and cannot be moved aside" + SystemError(errno);
            return false;
        }
    }
    if (std::rename(path_.c_str(), bad.c_str()) != 0 && errno != ENOENT) {
        problem_ = "the cache file is damaged and cannot be moved aside" + SystemError(errno);
        return false;
    }
    return true;
}

}  // namespace mg
