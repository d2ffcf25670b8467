// The stored secrets of a mailbox: the desktop keyring (the Secret Service
// over D-Bus) in the program, a fake in tests. Texts are UTF-8. Every call
// returns within a bounded time: a keyring that does not answer (one waiting
// for an unlock prompt nobody answers) counts as unreachable.
#pragma once

#include <memory>
#include <optional>
#include <string>

namespace mg {

// What a keyring item holds: a mailbox's password, or the refresh token of
// its OAuth2 sign-in. Each kind has one item per server and login.
enum class SecretKind { Password, RefreshToken };

class PasswordStore {
public:
    virtual ~PasswordStore() = default;
    // The secret kept for this server and login; nullopt when there is
    // none or the keyring cannot be reached.
    virtual std::optional<std::string> Lookup(const std::string& server, const std::string& user,
                                              SecretKind kind = SecretKind::Password) = 0;
    // Keeps `secret` for this server and login; true only when the keyring
    // confirmed that it stored it.
    virtual bool Store(const std::string& server, const std::string& user, const std::string& secret,
                       SecretKind kind = SecretKind::Password) = 0;
    // Forgets the secret of this server and login; true when the keyring
    // answered (whether or not it held one).
    virtual bool Clear(const std::string& server, const std::string& user,
                       SecretKind kind = SecretKind::Password) = 0;
};

// The Secret Service through libsecret. A call that has not finished after
// `timeoutMs` is cancelled and counts as failed; while it waits, the GUI
// thread keeps painting but takes no user input.
std::unique_ptr<PasswordStore> MakeSecretServiceStore(int timeoutMs = 20000);

// The process's store: the Secret Service unless a test installed its own.
PasswordStore& CurrentPasswordStore();
// Installs `store` (not owned); nullptr restores the Secret Service.
void SetPasswordStore(PasswordStore* store);

}  // namespace mg
