#include "support/fake_keyring.h"

namespace mgtest {

namespace {
mg::PasswordStore* g_installed = nullptr;
}

FakeKeyring::FakeKeyring(bool reachable) : reachable(reachable), previous_(g_installed) {
    g_installed = this;
    mg::SetPasswordStore(this);
}

FakeKeyring::~FakeKeyring() {
    g_installed = previous_;
    mg::SetPasswordStore(previous_);
}

std::optional<std::string> FakeKeyring::Lookup(const std::string& server, const std::string& user) {
    if (!reachable) return std::nullopt;
    const auto it = items.find({server, user});
    if (it == items.end()) return std::nullopt;
    return it->second;
}

bool FakeKeyring::Store(const std::string& server, const std::string& user, const std::string& password) {
    ++calls;
    if (!reachable) return false;
    items[{server, user}] = password;
    return true;
}

bool FakeKeyring::Clear(const std::string& server, const std::string& user) {
    ++calls;
    if (!reachable) return false;
    items.erase({server, user});
    return true;
}

}  // namespace mgtest
