#include "lists/ListFiles.h"

#include <cerrno>
#include <cstring>

#include "platform/errors.h"
#include "platform/files.h"

namespace mg {
namespace {

// Lists, their backups and what was kept aside are readable by their owner only.
constexpr mode_t kListMode = 0600;

// Whether `name` is one of the files this class writes in the data directory:
// "<list>.dat", "<list>.bak", "<list>.new" or "<list>.new.<n>".
bool OneOfOurs(const std::string& name) {
    for (const char* list : {"spam.", "white."}) {
        if (name.rfind(list, 0) != 0) continue;
        const std::string rest = name.substr(std::strlen(list));
        if (rest == "dat" || rest == "bak" || rest == "new") return true;
        return rest.size() > 4 && rest.compare(0, 4, "new.") == 0 &&
               rest.find_first_not_of("0123456789", 4) == std::string::npos;
    }
    return false;
}

}  // namespace

ListFiles::ListFiles(std::string dir, bool readOnly) : dir_(std::move(dir)), readOnly_(readOnly) {
    if (dir_.empty()) dir_ = "./";
    if (dir_.back() != '/') dir_ += '/';
}

void ListFiles::RemoveLeftTemporaries() const {
    mg::RemoveLeftTemporaries(dir_, OneOfOurs);
    // A list file that is a symbolic link is saved beside its target.
    for (const char* file : {"spam.dat", "white.dat"}) {
        const std::string target = FileBehindLinks(dir_ + file);
        const size_t slash = target.rfind('/');
        if (target == dir_ + file || slash == std::string::npos) continue;
        const std::string name = target.substr(slash + 1);
        mg::RemoveLeftTemporaries(target.substr(0, slash + 1), [&name](const std::string& of) { return of == name; });
    }
}

ListLoad ListFiles::Read(const std::string& name, std::string& data) const {
    ListLoad load;
    if (!ReadWholeFile(dir_ + name + ".dat", data)) {
        if (errno != ENOENT) {
            load.state = ListState::Unreadable;
            load.readError = errno;
        }
        return load;
    }
    // Reading stops at a byte 26; a file with more after it was not read
    // completely.
    load.state = DataAfterEndMark(data) ? ListState::Damaged : ListState::Loaded;
    return load;
}

void ListFiles::BackUp(const std::string& name, const ListLoad& load, const std::string& data) const {
    // A backup that fails is no reason to stop.
    if (load.state == ListState::Loaded && !data.empty() && !readOnly_)
        WriteFileAtomic(dir_ + name + ".bak", data, kListMode);
}

ListsLoaded ListFiles::Load(SpamTree& spam, WhiteList& white) {
    if (!readOnly_) RemoveLeftTemporaries();
    ListsLoaded out;
    out.firstStart = !FileExists(dir_ + "spam.dat") && !FileExists(dir_ + "white.dat");
    std::string data;
    spam.Clear();
    out.spam = Read("spam", data);
    if (out.spam.state != ListState::Missing && out.spam.state != ListState::Unreadable) {
        try {
            spam.LoadFromBytes(data);
        } catch (const Exception& e) {  // the nodes before the bad line stay
            out.spam.state = ListState::Damaged;
            out.spam.error = e.Message;
        }
        BackUp("spam", out.spam, data);
    }
    spam_ = out.spam;
    white.Clear();
    out.white = Read("white", data);
    if (out.white.state != ListState::Missing && out.white.state != ListState::Unreadable) {
        white.LoadFromBytes(data);
        BackUp("white", out.white, data);
    }
    white_ = out.white;
    if (readOnly_) {
        loadedSpam_ = spam.SaveToBytes();
        loadedWhite_ = white.SaveToBytes();
    }
    return out;
}

ListSave ListFiles::KeepAside(const std::string& name, const std::string& bytes) const {
    ListSave save;
    save.aside = true;
    for (int n = 1; n < 1000; ++n) {
        save.file = name + ".new" + (n == 1 ? std::string() : "." + std::to_string(n));
        const std::string path = dir_ + save.file;
        if (!FileExists(path)) {
            if (!WriteFileAtomic(path, bytes, kListMode)) save.error = errno;
            return save;
        }
        std::string existing;
        if (ReadWholeFile(path, existing) && existing == bytes) return save;
    }
    save.file = name + ".new";
    save.error = EEXIST;
    return save;
}

ListSave ListFiles::SaveOne(const std::string& name, const ListLoad& load, const std::string& bytes,
                            const std::string& loaded) const {
    const bool complete = load.state == ListState::Missing || load.state == ListState::Loaded;
    if (!complete && FileExists(dir_ + name + ".dat")) return KeepAside(name, bytes);
    if (readOnly_) {
        if (bytes == loaded) return {};
        ListSave save = KeepAside(name, bytes);
        save.readOnly = true;
        return save;
    }
    ListSave save;
    save.file = name + ".dat";
    if (!WriteFileAtomic(dir_ + save.file, bytes, kListMode)) save.error = errno;
    return save;
}

ListsSaved ListFiles::Save(const SpamTree& spam, const WhiteList& white) const {
    ListsSaved out;
    out.spam = SaveOne("spam", spam_, spam.SaveToBytes(), loadedSpam_);
    out.white = SaveOne("white", white_, white.SaveToBytes(), loadedWhite_);
    return out;
}

}  // namespace mg
