#pragma once

#include <sys/epoll.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "runtime/fd.h"
#include "runtime/poll.h"
#include "runtime/result.h"
#include "runtime/wake_counter.h"
#include "runtime/waker.h"

namespace pacpick::rt {

using Clock = std::chrono::steady_clock;

namespace detail {
/// Readiness state of one registered descriptor, shared between its `AsyncFd`
/// and the reactor thread.
struct IoState {
    std::mutex mutex;
    int fd = -1;
    uint32_t events = 0;
    uint64_t token = 0;
    bool added = false;  // known to epoll
    bool armed = false;  // one-shot interest outstanding
    bool ready = false;  // an event arrived and was not yet consumed
    Waker waker;

    /// An event arrived: the interest is spent, and the waker is handed out to
    /// be woken once `mutex` is released.
    Waker fire() {
        armed = false;
        ready = true;
        return std::exchange(waker, Waker());
    }
};
}  // namespace detail

/// The event loop's poller, driven by one thread: one epoll instance for
/// descriptor readiness (one-shot registrations, so "clear and register again"
/// is the natural way to wait twice), a timer table, and hooks run on every turn
/// right before the thread sleeps. A `WakeCounter` interrupts the sleep when an
/// earlier timer is added or when the loop is stopped, whatever call fails.
class Reactor {
  public:
    static Result<std::unique_ptr<Reactor>> create();
    ~Reactor();

    /// The reactor of the runtime being built or running, if any.
    static Reactor* current();
    static void set_current(Reactor* reactor);

    /// The thread body: turns until `stop`. Should waiting on epoll fail for
    /// good (a sandbox refusing it, a broken instance), it turns every few
    /// milliseconds instead, telling every armed descriptor it may be ready,
    /// so that timers, children and pipes are still served.
    void run();
    void stop();
    /// Makes the thread turn once more soon, running every hook; allocates
    /// nothing.
    void interrupt();

    // Timers. A key identifies one timer for `update_timer` and `remove_timer`.
    using TimerKey = std::pair<Clock::time_point, uint64_t>;
    TimerKey add_timer(Clock::time_point deadline, Waker waker);
    /// Replaces the waker of a timer that has not fired; false if it has.
    bool update_timer(const TimerKey& key, const Waker& waker);
    void remove_timer(const TimerKey& key);

    /// Adds a hook run on the reactor thread at every turn, before it sleeps.
    /// Hooks registered under the same non-null `key` are added only once.
    void add_turn_hook(const void* key, std::function<void()> hook);
    bool has_turn_hook(const void* key);

    // Descriptor readiness; used through `AsyncFd`.
    std::shared_ptr<detail::IoState> attach(int fd, uint32_t events);
    void detach(const std::shared_ptr<detail::IoState>& state);
    /// Arms a one-shot interest; errors are those of epoll_ctl.
    Result<void> arm(detail::IoState& state);

  private:
    Reactor() = default;
    std::optional<std::chrono::nanoseconds> time_to_next_timer();
    void look_without_epoll();
    void fire_due_timers();
    void run_turn_hooks();
    void dispatch(uint64_t token);

    UniqueFd epoll_;
    std::unique_ptr<WakeCounter> wake_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> looking_{false};  // epoll's waits failed for good

    std::mutex timers_mutex_;
    std::map<TimerKey, Waker> timers_;
    uint64_t next_timer_id_ = 0;

    std::mutex hooks_mutex_;
    std::vector<std::pair<const void*, std::function<void()>>> hooks_;

    std::mutex io_mutex_;
    std::unordered_map<uint64_t, std::shared_ptr<detail::IoState>> io_;
    uint64_t next_token_ = 1;  // 0 is the interrupt eventfd
};

/// The reactor of the current runtime; a programming fault when there is none.
Reactor& current_reactor();

/// A descriptor watched by the reactor for readability (or other epoll events).
/// It owns the descriptor: the registration is removed before the close, so a
/// reused descriptor number can never receive a stale event.
class AsyncFd {
  public:
    AsyncFd() = default;
    AsyncFd(UniqueFd fd, uint32_t events = EPOLLIN);
    AsyncFd(AsyncFd&&) noexcept = default;
    AsyncFd& operator=(AsyncFd&& other) noexcept;
    ~AsyncFd();

    int fd() const { return fd_.get(); }
    bool valid() const { return fd_.valid(); }
    /// Ready once after each readiness event; then the interest is re-armed by
    /// the next poll. Registration errors come back as the ready value.
    Poll<Result<void>> poll_ready(const Waker& waker);
    /// Drops the registration and closes the descriptor.
    void reset();

  private:
    UniqueFd fd_;
    std::shared_ptr<detail::IoState> state_;
    Reactor* reactor_ = nullptr;
};

/// A leaf future: one readiness event of an `AsyncFd`.
class Readable {
  public:
    explicit Readable(AsyncFd& fd) : fd_(fd) {}
    Poll<Result<void>> poll(const Waker& waker) { return fd_.poll_ready(waker); }

  private:
    AsyncFd& fd_;
};

/// A leaf future ready once its deadline has passed. Dropping it removes its
/// timer, so a cancelled sleep leaves nothing behind in the reactor.
class Sleep {
  public:
    explicit Sleep(Clock::duration duration) : deadline_(Clock::now() + duration) {}
    Sleep(Sleep&&) = delete;
    ~Sleep();
    Poll<Unit> poll(const Waker& waker);

  private:
    Clock::time_point deadline_;
    Reactor* reactor_ = nullptr;
    Reactor::TimerKey key_{};
};

}  // namespace pacpick::rt
