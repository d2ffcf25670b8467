// A temporary directory removed with everything in it at the end of a test.
#pragma once

#include <string>

namespace mgtest {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    // With a trailing "/".
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + name; }
    void write(const std::string& name, const std::string& bytes) const;
    std::string read(const std::string& name) const;  // empty when missing
    bool exists(const std::string& name) const;

private:
    std::string path_;
};

}  // namespace mgtest
