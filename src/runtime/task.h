#pragma once

#include <cassert>
#include <concepts>
#include <coroutine>
#include <exception>
#include <new>
#include <optional>
#include <type_traits>
#include <utility>

#include "runtime/poll.h"
#include "runtime/task_cell.h"
#include "runtime/waker.h"

namespace pacpick::rt {

/// Anything with `poll(const Waker&) -> Poll<T>`: the only kind of wait a task
/// can make. A leaf answering pending must have arranged a wake-up.
template <typename F>
concept LeafFuture = requires(F& f, const Waker& w) {
    { f.poll(w).ready() } -> std::convertible_to<bool>;
    f.poll(w).take();
};

template <LeafFuture F>
using FutureOutput = decltype(std::declval<F&>().poll(std::declval<const Waker&>()).take());

template <typename T>
class Task;

namespace detail {

template <typename F>
class LeafAwaiter {
  public:
    explicit LeafAwaiter(F& future) : future_(future) {}

    bool await_ready() {
        TaskCell* cell = current_cell();
        assert(cell != nullptr && "co_await outside a running task");
        if (cell->cancel_requested()) {
            return false;  // suspend, so the cancellation takes effect here
        }
        return try_poll(cell->current_waker());
    }
    void await_suspend(std::coroutine_handle<> handle) {
        current_cell()->park_on(PendingWait{this, &poll_thunk, handle});
    }
    FutureOutput<F> await_resume() {
        if (failure_) {
            std::rethrow_exception(failure_);
        }
        return std::move(*result_);
    }

  private:
    bool try_poll(const Waker& waker) {
        auto poll = future_.poll(waker);
        if (!poll.ready()) {
            return false;
        }
        result_.emplace(poll.take());
        return true;
    }
    /// Polls on behalf of the executor, outside the task's body: a poll that
    /// throws (an allocation that failed) resumes the task, which meets the
    /// exception at its `co_await` as if the leaf had been called in place.
    static bool poll_thunk(void* self, const Waker& waker) {
        auto* awaiter = static_cast<LeafAwaiter*>(self);
        try {
            return awaiter->try_poll(waker);
        } catch (...) {
            awaiter->failure_ = std::current_exception();
            return true;
        }
    }

    F& future_;
    std::optional<FutureOutput<F>> result_;
    std::exception_ptr failure_;
};

template <typename T>
struct PromiseResult {
    std::optional<T> value;
    void return_value(T v) { value.emplace(std::move(v)); }
    T take() { return std::move(*value); }
};

template <>
struct PromiseResult<void> {
    void return_void() {}
    void take() {}
};

template <typename T>
struct TaskPromise : PromiseResult<T> {
    std::coroutine_handle<> continuation;
    /// Memory that ran out in the body; the awaiting task or `block_on`
    /// rethrows it, and a spawned task that nobody awaits ends with it.
    std::exception_ptr exception;

    Task<T> get_return_object();
    std::suspend_always initial_suspend() noexcept { return {}; }

    struct FinalAwaiter {
        bool await_ready() noexcept { return false; }
        std::coroutine_handle<> await_suspend(std::coroutine_handle<TaskPromise> h) noexcept {
            auto next = h.promise().continuation;
            return next ? next : std::noop_coroutine();
        }
        void await_resume() noexcept {}
    };
    FinalAwaiter final_suspend() noexcept { return {}; }
    /// Running out of memory is a failure a task's owner can take; any other
    /// exception is a fault in the program, which must not end unseen with a
    /// task nobody awaits: it goes to `std::terminate` at once.
    void unhandled_exception() noexcept {
        try {
            throw;
        } catch (const std::bad_alloc&) {
            exception = std::current_exception();
        } catch (...) {
            std::terminate();
        }
    }

    template <LeafFuture F>
    LeafAwaiter<std::remove_reference_t<F>> await_transform(F&& future) {
        return LeafAwaiter<std::remove_reference_t<F>>(future);
    }
    template <typename U>
    auto await_transform(Task<U>&& task);
};

}  // namespace detail

/// A lazily started coroutine. It can wait only on leaf futures (whose poll is
/// repeated on every wake-up until ready, so spurious wakes never resume it) and
/// on other tasks, which it runs inline. Spawn it, `block_on` it, or co_await it.
/// Memory that runs out in its body ends it, and is rethrown to whoever awaits
/// it or blocks on it; any other exception that escapes it ends the program.
template <typename T = void>
class [[nodiscard]] Task {
  public:
    using promise_type = detail::TaskPromise<T>;
    using Handle = std::coroutine_handle<promise_type>;

    Task() = default;
    explicit Task(Handle h) : handle_(h) {}
    Task(Task&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
    Task& operator=(Task&& other) noexcept {
        if (this != &other) {
            reset();
            handle_ = std::exchange(other.handle_, {});
        }
        return *this;
    }
    ~Task() { reset(); }

    Handle handle() const { return handle_; }
    /// The returned value of a finished task, or the exception that ended it.
    T take_result() {
        if (handle_.promise().exception) {
            std::rethrow_exception(handle_.promise().exception);
        }
        return handle_.promise().take();
    }

  private:
    void reset() {
        if (handle_) {
            handle_.destroy();
            handle_ = {};
        }
    }
    Handle handle_;
};

namespace detail {

template <typename T>
Task<T> TaskPromise<T>::get_return_object() {
    return Task<T>(std::coroutine_handle<TaskPromise<T>>::from_promise(*this));
}

template <typename U>
struct TaskAwaiter {
    Task<U>& task;
    bool await_ready() { return false; }
    std::coroutine_handle<> await_suspend(std::coroutine_handle<> caller) {
        task.handle().promise().continuation = caller;
        return task.handle();
    }
    U await_resume() { return task.take_result(); }
};

template <typename T>
template <typename U>
auto TaskPromise<T>::await_transform(Task<U>&& task) {
    return TaskAwaiter<U>{task};
}

}  // namespace detail

}  // namespace pacpick::rt
