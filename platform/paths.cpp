#include "platform/paths.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mg {
namespace {

std::string HomeDirectory(const char* home) {
    if (home && *home) return home;
    const passwd* pw = ::getpwuid(::getuid());
    return pw && pw->pw_dir ? pw->pw_dir : "/tmp";
}

bool IsRegularFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Creates `dir` and its missing parents, each mode 0700 (the XDG rule for
// directories made on the user's behalf). Existing directories are left as
// they are.
void MakeDirectories(const std::string& dir) {
    for (size_t slash = dir.find('/', 1); ; slash = dir.find('/', slash + 1)) {
        const std::string part = dir.substr(0, slash);
        if (!part.empty() && ::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return;
        if (slash == std::string::npos || slash + 1 >= dir.size()) return;
    }
}

}  // namespace

std::string ExecutableDirectory() {
    char buf[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return "./";
    std::string path(buf, static_cast<size_t>(n));
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
}

std::string DefaultSettingsPath() {
    std::string dir;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg == '/') {
        dir = xdg;
    } else {
        dir = HomeDirectory(std::getenv("HOME")) + "/.config";
    }
    ::mkdir(dir.c_str(), 0700);  // may exist already
    return dir + "/MAILGROVE.INI";
}

std::string DataDirectoryFor(const char* xdgDataHome, const char* home) {
    std::string base = xdgDataHome && *xdgDataHome == '/' ? std::string(xdgDataHome)
                                                           : HomeDirectory(home) + "/.local/share";
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    return base + "/mailgrove";
}

std::string DataDirectory() { return DataDirectoryFor(std::getenv("XDG_DATA_HOME"), std::getenv("HOME")); }

std::string ProgramDirectoryFor(const std::string& exeDir, const char* xdgDataHome, const char* home) {
    std::string exe = exeDir;
    if (!exe.empty() && exe.back() != '/') exe += '/';
    if (!exe.empty() && (IsRegularFile(exe + "spam.dat") || IsRegularFile(exe + "white.dat"))) return exe;
    const std::string dir = DataDirectoryFor(xdgDataHome, home);
    MakeDirectories(dir);
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return {};
    return dir + "/";
}

std::string ProgramDirectory() {
    return ProgramDirectoryFor(ExecutableDirectory(), std::getenv("XDG_DATA_HOME"), std::getenv("HOME"));
}

bool SetCurrentDir(const std::string& dir) { return ::chdir(dir.c_str()) == 0; }

}  // namespace mg
