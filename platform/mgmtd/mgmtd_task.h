// Coroutines of the agent's multi-step procedures (operational reads,
// commits, commands): a lazily started task<T> that a procedure awaits, and
// root_task, the detached outermost procedure. Everything runs on the
// agent's event loop thread; a procedure suspends only on awaitables that
// the agent resumes from its event callbacks.
#pragma once

#include <coroutine>
#include <exception>
#include <functional>
#include <optional>
#include <type_traits>
#include <unordered_set>
#include <utility>
#include <vector>

namespace mgmtd {

namespace detail {

struct promise_base {
    std::coroutine_handle<> continuation;

    struct final_awaiter {
        bool await_ready() noexcept { return false; }
        template <class P>
        std::coroutine_handle<> await_suspend(std::coroutine_handle<P> h) noexcept
        {
            std::coroutine_handle<> c = h.promise().continuation;
            return c ? c : std::noop_coroutine();
        }
        void await_resume() noexcept {}
    };
    std::suspend_always initial_suspend() noexcept { return {}; }
    final_awaiter final_suspend() noexcept { return {}; }
    // The agent is built without exceptions crossing its event callbacks.
    void unhandled_exception() noexcept { std::terminate(); }
};

}  // namespace detail

// A procedure step that runs when awaited and hands back a T. The task owns
// its frame: destroying an unfinished task destroys the frame and, through
// its locals, the frames it awaits.
template <class T>
class task {
public:
    struct promise_type : detail::promise_base {
        std::optional<T> value;
        task get_return_object() { return task(std::coroutine_handle<promise_type>::from_promise(*this)); }
        template <class U>
        void return_value(U &&v)
        {
            value.emplace(std::forward<U>(v));
        }
    };

    task(task &&o) noexcept : h_(std::exchange(o.h_, {})) {}
    task &operator=(task &&) = delete;
    ~task()
    {
        if (h_) {
            h_.destroy();
        }
    }

    bool await_ready() const noexcept { return false; }
    std::coroutine_handle<> await_suspend(std::coroutine_handle<> caller) noexcept
    {
        h_.promise().continuation = caller;
        return h_;
    }
    T await_resume() { return std::move(*h_.promise().value); }

private:
    explicit task(std::coroutine_handle<promise_type> h) : h_(h) {}
    std::coroutine_handle<promise_type> h_;
};

template <>
class task<void> {
public:
    struct promise_type : detail::promise_base {
        task get_return_object() { return task(std::coroutine_handle<promise_type>::from_promise(*this)); }
        void return_void() {}
    };

    task(task &&o) noexcept : h_(std::exchange(o.h_, {})) {}
    task &operator=(task &&) = delete;
    ~task()
    {
        if (h_) {
            h_.destroy();
        }
    }

    bool await_ready() const noexcept { return false; }
    std::coroutine_handle<> await_suspend(std::coroutine_handle<> caller) noexcept
    {
        h_.promise().continuation = caller;
        return h_;
    }
    void await_resume() {}

private:
    explicit task(std::coroutine_handle<promise_type> h) : h_(h) {}
    std::coroutine_handle<promise_type> h_;
};

// Keeps the root procedures that are still suspended, so that a stopping
// agent can destroy them. Destroy them only after every awaitable that
// could resume them has been dropped.
class root_registry {
public:
    root_registry() = default;
    root_registry(const root_registry &) = delete;
    root_registry &operator=(const root_registry &) = delete;
    ~root_registry() { destroy_roots(); }

    void destroy_roots()
    {
        std::vector<std::coroutine_handle<>> live(roots_.begin(), roots_.end());
        roots_.clear();
        for (std::coroutine_handle<> h : live) {
            h.destroy();
        }
    }
    size_t live_roots() const { return roots_.size(); }

    struct handle_hash {
        size_t operator()(std::coroutine_handle<> h) const noexcept { return std::hash<void *>()(h.address()); }
    };
    std::unordered_set<std::coroutine_handle<>, handle_hash> roots_;
};

// An outermost procedure: it starts at once, runs until its first
// suspension and frees itself when it ends. It must be a member function
// of a class derived from root_registry (or take one as first argument),
// which tracks it while it lives.
struct root_task {
    struct promise_type {
        root_registry *reg = nullptr;

        // The coroutine's object (a root_registry) is its first argument.
        template <class R, class... A>
        promise_type(R &r, A &&...) : reg(static_cast<root_registry *>(&r))
        {
            reg->roots_.insert(std::coroutine_handle<promise_type>::from_promise(*this));
        }
        ~promise_type()
        {
            if (reg != nullptr) {
                reg->roots_.erase(std::coroutine_handle<promise_type>::from_promise(*this));
            }
        }
        root_task get_return_object() { return {}; }
        std::suspend_never initial_suspend() noexcept { return {}; }
        std::suspend_never final_suspend() noexcept { return {}; }
        void return_void() {}
        void unhandled_exception() noexcept { std::terminate(); }
    };
};

}  // namespace mgmtd
