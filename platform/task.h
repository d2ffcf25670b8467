// Task<T>: an operation that waits for the network without blocking the
// thread (a C++20 coroutine). It starts when it is awaited, or when its owner
// calls Start; it runs until its first wait and returns to the caller, and
// the event that ends the wait resumes it from the event loop. A value or an
// error reaches whoever awaits it, as from an ordinary call.
//
// Nothing waits inside anything else: while a task waits, the event loop
// dispatches clicks, timers and other tasks' events at its own level, and a
// task is only ever resumed from there.
#pragma once

#include <coroutine>
#include <exception>
#include <functional>
#include <optional>
#include <utility>

namespace mg {

template <class T = void>
class Task;

namespace detail {

struct PromiseBase {
    std::coroutine_handle<> continuation;
    std::exception_ptr error;
    std::function<void()> onDone;  // a task started by its owner

    struct Final {
        bool await_ready() noexcept { return false; }
        template <class P>
        std::coroutine_handle<> await_suspend(std::coroutine_handle<P> self) noexcept {
            PromiseBase& p = self.promise();
            if (p.continuation) return p.continuation;
            // The frame stays until its owner destroys the task; the callback
            // must not do that itself.
            if (p.onDone) std::exchange(p.onDone, nullptr)();
            return std::noop_coroutine();
        }
        void await_resume() noexcept {}
    };
    std::suspend_always initial_suspend() noexcept { return {}; }
    Final final_suspend() noexcept { return {}; }
    void unhandled_exception() noexcept { error = std::current_exception(); }
};

template <class T>
struct Promise : PromiseBase {
    std::optional<T> value;
    template <class U>
    void return_value(U&& v) {
        value.emplace(std::forward<U>(v));
    }
    T Take() {
        if (error) std::rethrow_exception(error);
        return std::move(*value);
    }
};

template <>
struct Promise<void> : PromiseBase {
    void return_void() noexcept {}
    void Take() {
        if (error) std::rethrow_exception(error);
    }
};

}  // namespace detail

template <class T>
class [[nodiscard]] Task {
public:
    struct promise_type : detail::Promise<T> {
        Task get_return_object() { return Task(Handle::from_promise(*this)); }
    };
    using Handle = std::coroutine_handle<promise_type>;

    Task() = default;
    Task(Task&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    Task& operator=(Task&& other) noexcept {
        if (this != &other) {
            Reset();
            handle_ = std::exchange(other.handle_, nullptr);
        }
        return *this;
    }
    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;
    // Destroying a task that waits abandons it: its frame goes, with the
    // destructors of whatever it holds, and it is never resumed.
    ~Task() { Reset(); }

    // Awaiting starts the task; its value or error comes back here.
    bool await_ready() const noexcept { return false; }
    std::coroutine_handle<> await_suspend(std::coroutine_handle<> awaiting) noexcept {
        handle_.promise().continuation = awaiting;
        return handle_;
    }
    T await_resume() { return handle_.promise().Take(); }

    // For the owner of a top-level task: runs it up to its first wait;
    // `onDone` is called when it has finished (from inside its last step, so
    // it may note the fact or post a message, but not destroy the task).
    void Start(std::function<void()> onDone = nullptr) {
        handle_.promise().onDone = std::move(onDone);
        handle_.resume();
    }
    bool Valid() const { return static_cast<bool>(handle_); }
    bool Done() const { return handle_ && handle_.done(); }
    // The value of a finished task, or its error raised again.
    T Result() { return handle_.promise().Take(); }
    void Reset() {
        if (handle_) std::exchange(handle_, nullptr).destroy();
    }

private:
    explicit Task(Handle handle) : handle_(handle) {}
    Handle handle_;
};

// For tests, benchmarks and the fuzzer, never for the program: runs the
// event loop until the task has finished and returns its value (or raises
// its error), as if the operation blocked.
template <class T>
T Await(Task<T> task);

// The event-loop turn Await makes: waits for the next event and dispatches it.
void AwaitTurn();

template <class T>
T Await(Task<T> task) {
    bool done = false;
    task.Start([&done] { done = true; });
    while (!done) AwaitTurn();
    return task.Result();
}

}  // namespace mg
