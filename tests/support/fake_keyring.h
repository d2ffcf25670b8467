// A keyring in memory for window tests. It installs itself for its lifetime
// and puts back the one before it. Unreachable, it fails every call, like a
// desktop without a Secret Service; the test main installs one such, so no
// test ever reaches the user's real keyring.
#pragma once

#include <map>
#include <string>
#include <utility>

#include "platform/keyring.h"

namespace mgtest {

class FakeKeyring final : public mg::PasswordStore {
public:
    explicit FakeKeyring(bool reachable = true);
    ~FakeKeyring() override;
    FakeKeyring(const FakeKeyring&) = delete;
    FakeKeyring& operator=(const FakeKeyring&) = delete;

    std::optional<std::string> Lookup(const std::string& server, const std::string& user,
                                      mg::SecretKind kind = mg::SecretKind::Password) override;
    bool Store(const std::string& server, const std::string& user, const std::string& secret,
               mg::SecretKind kind = mg::SecretKind::Password) override;
    bool Clear(const std::string& server, const std::string& user,
               mg::SecretKind kind = mg::SecretKind::Password) override;

    bool reachable;
    int calls = 0;  // Store and Clear calls, answered or not
    // (server, login) -> password, UTF-8.
    std::map<std::pair<std::string, std::string>, std::string> items;
    // (server, login) -> OAuth2 refresh token.
    std::map<std::pair<std::string, std::string>, std::string> tokens;

private:
    mg::PasswordStore* previous_;
};

}  // namespace mgtest
