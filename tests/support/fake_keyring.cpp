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

std::optional<std::string> FakeKeyring::Lookup(const std::string& server, const std::string& user,
                                               mg::SecretKind kind) {
    if (!reachable) return std::nullopt;
    const auto& kept = kind == mg::SecretKind::Password ? items : tokens;
    const auto it = kept.find({server, user});
    if (it == kept.end()) return std::nullopt;
    return it->second;
}

bool FakeKeyring::Store(const std::string& server, const std::string& user, const std::string& secret,
                        mg::SecretKind kind) {
    ++calls;
    if (!reachable) return false;
    (kind == mg::SecretKind::Password ? items : tokens)[{server, user}] = secret;
    return true;
}

bool FakeKeyring::Clear(const std::string& server, const std::string& user, mg::SecretKind kind) {
    ++calls;
    if (!reachable) return false;
    (kind == mg::SecretKind::Password ? items : tokens).erase({server, user});
    return true;
}

}  // namespace mgtest
