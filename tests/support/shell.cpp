#include "support/shell.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sys/wait.h>

namespace mgtest {

std::string shellQuote(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'') out += "'\\''";
        else out += c;
    }
    return out + "'";
}

int run(const std::string& command, std::string& output) {
    output.clear();
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return -1;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) output.append(buf, n);
    int status = ::pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

uint16_t runStartScript(const std::string& command, const std::string& errFile, std::string& error,
                        bool& unavailable) {
    std::string output;
    const int status = run(command + " 2>" + shellQuote(errFile), output);
    unavailable = status == 2;
    if (status != 0) {
        error = readFile(errFile);
        if (error.empty()) error = "the start script failed with status " + std::to_string(status);
        return 0;
    }
    const size_t at = output.find("port=");
    if (at == std::string::npos) {
        error = "the start script printed no port: " + output;
        return 0;
    }
    return static_cast<uint16_t>(std::atoi(output.c_str() + at + 5));
}

}  // namespace mgtest
