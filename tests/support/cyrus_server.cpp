#include "support/cyrus_server.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

#include "support/shell.h"

namespace fs = std::filesystem;

namespace mgtest {

CyrusServer::CyrusServer(std::string user, std::string password)
    : user_(std::move(user)), password_(std::move(password)) {
    // Short and under /tmp: the LMTP socket lives below it, and the server
    // (nobody, when run as root) must be able to reach it.
    std::string tmpl = "/tmp/mgcy-XXXXXX";
    if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    dir_ = tmpl;
}

CyrusServer::~CyrusServer() {
    stop();
    std::error_code ec;
    fs::remove_all(dir_, ec);
}

std::string CyrusServer::script(const char* name) const {
    // From "/": the test may have removed the directory it works in.
    return "cd / && bash " + shellQuote(std::string(MG_SOURCE_DIR) + "/tests/support/cyrus/" + name) + " " +
           shellQuote(dir_);
}

void CyrusServer::addMessage(const std::string& rfc822) {
    if (port_ == 0) {
        queued_.push_back(rfc822);
        return;
    }
    const std::string file = dir_ + "/message.eml";
    std::ofstream(file, std::ios::binary | std::ios::trunc) << rfc822;
    std::string output;
    if (run(script("mailbox-cyrus.sh") + " deliver " + shellQuote(file), output) != 0)
        throw std::runtime_error("Cyrus did not take the message");
}

bool CyrusServer::start() {
    if (port_ != 0) return true;
    // Downloaded and unpacked once, for every later run.
    const std::string packages = std::string(MG_BUILD_DIR) + "/cyrus-packages";
    port_ = runStartScript(script("start-cyrus.sh") + " --packages " + shellQuote(packages) + " --user " +
                               shellQuote(user_) + " --password " + shellQuote(password_) + " --owner-pid " +
                               std::to_string(::getpid()),
                           dir_ + "/start.err", error_, unavailable_);
    if (port_ == 0) {
        stop();
        return false;
    }
    for (const std::string& text : queued_) addMessage(text);
    queued_.clear();
    return true;
}

void CyrusServer::stop() {
    std::string output;
    if (fs::exists(dir_ + "/run/master.pid")) run(script("stop-cyrus.sh"), output);
    port_ = 0;
}

std::vector<std::string> CyrusServer::storedMessages() const {
    std::string output;
    run(script("mailbox-cyrus.sh") + " uids", output);
    std::vector<std::string> uids;
    std::istringstream lines(output);
    for (std::string uid; std::getline(lines, uid);) uids.push_back(uid);
    return uids;
}

}  // namespace mgtest
