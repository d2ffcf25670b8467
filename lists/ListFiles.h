// The two list files of a data directory, spam.dat and white.dat, with their
// companions: the ".bak" copy each gets at start, and the ".new" files that
// take a list its file could not be written with. Paths are explicit (the
// current directory plays no part); results are data, for the owner to show.
//
// A list file that exists but was not read completely keeps its content at
// close: the list in memory goes beside it instead. Each list loads, or
// fails to, on its own.
#pragma once

#include <string>

#include "lists/SpamTree.h"
#include "lists/WhiteList.h"

namespace mg {

// How loading found one list file.
enum class ListState {
    Missing,     // no such file: the list starts empty
    Loaded,      // read to its end and loaded whole
    Unreadable,  // there, but it could not be opened or read (readError)
    Damaged,     // read, but the list stops early: at a bad line (error),
                 // or at a byte 26 with more after it
};

struct ListLoad {
    ListState state = ListState::Missing;
    int readError = 0;  // errno, when Unreadable
    std::string error;  // the load's own error ("Line too long"), when a bad line stopped it
};

struct ListsLoaded {
    ListLoad spam, white;
    // Neither file existed: nothing can have been lost.
    bool firstStart = false;
};

// Where closing put one list.
struct ListSave {
    // The file written ("white.dat", "white.new", "white.new.2", ...), or the
    // one that could not be (error); empty when nothing was to be written.
    std::string file;
    bool aside = false;     // beside the list file, which stays as it is
    bool readOnly = false;  // aside because this copy runs read-only (else: not loaded completely)
    int error = 0;          // errno: `file` could not be written
};

struct ListsSaved {
    ListSave spam, white;
};

class ListFiles {
public:
    // `dir`: the data directory, with or without its trailing "/". A
    // read-only copy writes neither the list files nor their backups, and
    // leaves temporaries alone (another copy may be writing them); what it
    // changed goes to ".new" files at close.
    explicit ListFiles(std::string dir, bool readOnly = false);

    const std::string& Dir() const { return dir_; }
    bool ReadOnly() const { return readOnly_; }
    void SetReadOnly(bool readOnly) { readOnly_ = readOnly; }

    // Clears what interrupted saves left behind, loads both lists (each on
    // its own) and refreshes the ".bak" copy of each list file that loaded
    // whole; an empty file is not copied, and a damaged one never replaces
    // the copy of a good one.
    ListsLoaded Load(SpamTree& spam, WhiteList& white);

    // Writes each list over its file (atomically, through a symbolic link to
    // its target, new files mode 0600), or beside it: see ListSave. A list
    // that could not be written leaves its file as it was.
    ListsSaved Save(const SpamTree& spam, const WhiteList& white) const;

private:
    // Reads "<name>.dat" into `data`.
    ListLoad Read(const std::string& name, std::string& data) const;
    // Copies a list file that loaded whole to "<name>.bak".
    void BackUp(const std::string& name, const ListLoad& load, const std::string& data) const;
    ListSave SaveOne(const std::string& name, const ListLoad& load, const std::string& bytes,
                     const std::string& loaded) const;
    // Writes `bytes` beside `name`.dat: "<name>.new", or the first of
    // "<name>.new.2", "<name>.new.3", ... that is free or holds them already.
    ListSave KeepAside(const std::string& name, const std::string& bytes) const;
    void RemoveLeftTemporaries() const;

    std::string dir_;  // with its trailing "/"
    bool readOnly_;
    // As found by Load; until a list has loaded, its file counts as not read
    // (Save then leaves an existing one as it is).
    ListLoad spam_{ListState::Unreadable, 0, {}}, white_{ListState::Unreadable, 0, {}};
    // A read-only copy's lists as loaded: only a changed list is kept aside.
    std::string loadedSpam_, loadedWhite_;
};

}  // namespace mg
