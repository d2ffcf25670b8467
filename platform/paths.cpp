#include "platform/paths.h"

#include <climits>
#include <cstdlib>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mg {

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
        const char* home = std::getenv("HOME");
        if (!home || !*home) {
            const passwd* pw = ::getpwuid(::getuid());
            home = pw ? pw->pw_dir : "/tmp";
        }
        dir = std::string(home) + "/.config";
    }
    ::mkdir(dir.c_str(), 0700);  // may exist already
    return dir + "/MAILGROVE.INI";
}

bool SetCurrentDir(const std::string& dir) { return ::chdir(dir.c_str()) == 0; }

}  // namespace mg
