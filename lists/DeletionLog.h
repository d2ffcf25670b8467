// log.dat: one line per deleted message, appended, never read by the program.
#pragma once

#include <string>

namespace mg {

// Today's date in the user's short date format (Windows-1251).
std::string Today();

// The log opened for appending (created when missing, mode 0600). Each line
// goes to the file at once, so a later failure loses none of them.
class DeletionLog {
public:
    DeletionLog() = default;
    ~DeletionLog();
    DeletionLog(const DeletionLog&) = delete;
    DeletionLog& operator=(const DeletionLog&) = delete;

    bool Open(const std::string& path);
    bool IsOpen() const { return fd_ >= 0; }
    void Write(const std::string& line);
    // Closes the log; a write error shows up here, as the runtime's
    // input/output error, after all deletions.
    void Close();

private:
    int fd_ = -1;
    int error_ = 0;
};

}  // namespace mg
