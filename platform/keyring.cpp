#include "platform/keyring.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <QTimer>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <libsecret/secret.h>
#include <mutex>
#include <sys/stat.h>
#include <thread>

namespace mg {
namespace {

// Items are found by the server and the login they belong to; the two kinds
// are told apart by their schema, which libsecret keeps as the item's
// "xdg:schema" attribute and matches on every call.
SecretSchema MakeSchema(const char* name) {
    SecretSchema s{};
    s.name = name;
    s.flags = SECRET_SCHEMA_NONE;
    s.attributes[0] = {"server", SECRET_SCHEMA_ATTRIBUTE_STRING};
    s.attributes[1] = {"user", SECRET_SCHEMA_ATTRIBUTE_STRING};
    return s;
}

const SecretSchema* Schema(SecretKind kind) {
    static const SecretSchema password = MakeSchema("org.mailgrove.Password");
    static const SecretSchema refreshToken = MakeSchema("org.mailgrove.RefreshToken");
    return kind == SecretKind::RefreshToken ? &refreshToken : &password;
}

// Whether a session bus can be reached without starting one: D-Bus would
// otherwise launch a bus of its own for the X display, which outlives us.
// MAILGROVE_NO_KEYRING (set, non-empty) keeps a run away from the user's
// keyring, as the demo's does.
bool SessionBusKnown() {
    if (const char* off = std::getenv("MAILGROVE_NO_KEYRING"); off && *off) return false;
    if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS"); address && *address) return true;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    struct stat st {};
    return runtime && *runtime && ::stat((std::string(runtime) + "/bus").c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

struct CallResult {
    bool ok = false;
    std::optional<std::string> value;
};

// One keyring call on a thread of its own, shared with the caller, who may
// stop waiting for it.
struct Call {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    CallResult result;
    QAbstractEventDispatcher* waker = nullptr;  // the waiting thread's, while it waits
    GCancellable* cancellable = g_cancellable_new();
    ~Call() { g_object_unref(cancellable); }

    void Finish(CallResult r) {
        std::lock_guard lock(mutex);
        result = std::move(r);
        done = true;
        finished.notify_all();
        if (waker) waker->wakeUp();
    }
    bool Done() {
        std::lock_guard lock(mutex);
        return done;
    }
};

class SecretServiceStore final : public PasswordStore {
public:
    explicit SecretServiceStore(int timeoutMs) : timeoutMs_(timeoutMs) {}

    std::optional<std::string> Lookup(const std::string& server, const std::string& user, SecretKind kind) override {
        return Run([server, user, kind](GCancellable* cancellable) {
                   GError* error = nullptr;
                   gchar* secret = secret_password_lookup_sync(Schema(kind), cancellable, &error, "server",
                                                               server.c_str(), "user", user.c_str(),
                                                               static_cast<char*>(nullptr));
                   CallResult r;
                   r.ok = error == nullptr;
                   if (secret) {
                       r.value = std::string(secret);
                       secret_password_free(secret);
                   }
                   if (error) g_error_free(error);
                   return r;
               })
            .value;
    }

    bool Store(const std::string& server, const std::string& user, const std::string& password,
               SecretKind kind) override {
        return Run([server, user, password, kind](GCancellable* cancellable) {
                   GError* error = nullptr;
                   const std::string label = std::string(kind == SecretKind::RefreshToken ? "Mailgrove OAuth2: "
                                                                                          : "Mailgrove: ") +
                                             user + "@" + server;
                   const gboolean stored = secret_password_store_sync(
                       Schema(kind), SECRET_COLLECTION_DEFAULT, label.c_str(), password.c_str(), cancellable,
                       &error, "server", server.c_str(), "user", user.c_str(), static_cast<char*>(nullptr));
                   CallResult r;
                   r.ok = stored && error == nullptr;
                   if (error) g_error_free(error);
                   return r;
               })
            .ok;
    }

    bool Clear(const std::string& server, const std::string& user, SecretKind kind) override {
        return Run([server, user, kind](GCancellable* cancellable) {
                   GError* error = nullptr;
                   secret_password_clear_sync(Schema(kind), cancellable, &error, "server", server.c_str(),
                                              "user", user.c_str(), static_cast<char*>(nullptr));
                   CallResult r;
                   r.ok = error == nullptr;
                   if (error) g_error_free(error);
                   return r;
               })
            .ok;
    }

private:
    // Runs `body` on a worker thread and waits at most timeoutMs_ for it,
    // keeping the event loop going for everything but user input. A call
    // that does not finish in time is cancelled, and the keyring is not
    // asked again during this run.
    CallResult Run(std::function<CallResult(GCancellable*)> body) {
        if (unreachable_ || !SessionBusKnown()) return {};
        auto call = std::make_shared<Call>();
        std::thread worker([call, body = std::move(body)] { call->Finish(body(call->cancellable)); });

        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs_);
        if (QCoreApplication::instance() && QThread::currentThread() == QCoreApplication::instance()->thread()) {
            {
                std::lock_guard lock(call->mutex);
                call->waker = QAbstractEventDispatcher::instance();
            }
            bool timedOut = false;
            QTimer timer;
            timer.setSingleShot(true);
            QObject::connect(&timer, &QTimer::timeout, [&timedOut] { timedOut = true; });
            timer.start(timeoutMs_);
            while (!call->Done() && !timedOut)
                QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents | QEventLoop::WaitForMoreEvents);
            std::lock_guard lock(call->mutex);
            call->waker = nullptr;
        } else {
            std::unique_lock lock(call->mutex);
            call->finished.wait_until(lock, deadline, [&] { return call->done; });
        }

        if (!call->Done()) {
            unreachable_ = true;
            g_cancellable_cancel(call->cancellable);
            std::unique_lock lock(call->mutex);
            // A cancelled call normally ends at once; one that does not is
            // left to finish on its own.
            if (!call->finished.wait_for(lock, std::chrono::seconds(2), [&] { return call->done; })) {
                lock.unlock();
                worker.detach();
                return {};
            }
            lock.unlock();
            worker.join();
            return {};
        }
        worker.join();
        return call->result;
    }

    int timeoutMs_;
    bool unreachable_ = false;
};

PasswordStore* g_store = nullptr;

}  // namespace

std::unique_ptr<PasswordStore> MakeSecretServiceStore(int timeoutMs) {
    return std::make_unique<SecretServiceStore>(timeoutMs);
}

PasswordStore& CurrentPasswordStore() {
    if (g_store) return *g_store;
    static const std::unique_ptr<PasswordStore> secretService = MakeSecretServiceStore();
    return *secretService;
}

void SetPasswordStore(PasswordStore* store) { g_store = store; }

}  // namespace mg
