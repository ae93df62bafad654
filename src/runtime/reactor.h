#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <utility>

#include "base/fd.h"
#include "base/result.h"
#include "runtime/epoll_set.h"
#include "runtime/waker.h"

namespace pacpick::rt {

using Clock = std::chrono::steady_clock;

namespace detail {

/// Readiness state of one descriptor registered with the reactor, shared
/// between its owner (an `AsyncFd`) and the reactor thread; `mutex` guards it.
struct IoState {
    std::mutex mutex;
    int fd = -1;
    uint64_t token = 0;
    bool added = false;  // known to epoll
    bool armed = false;  // one-shot interest outstanding
    bool ready = false;  // an event arrived and was not yet consumed
    Waker waker;
};

}  // namespace detail

/// The event loop's poller, driven by one thread: one epoll instance for
/// descriptor readiness (one-shot registrations, so "clear and register again"
/// is the natural way to wait twice), a timer table, and the signal notices
/// (signal_notice.h), delivered whenever their self-pipe is readable. The
/// earliest timer arms a timerfd, so that a deadline is kept to the
/// nanosecond, not rounded to epoll's milliseconds. The set's latch interrupts
/// the sleep when an earlier timer is added or when the loop is stopped.
class Reactor {
  public:
    static Result<std::unique_ptr<Reactor>> create();

    /// The thread body: turns until `stop`. A wait on its own epoll set fails
    /// only if a sandbox refuses the call; the thread then ends, and the same
    /// refusal ends the program through the input side's wait.
    void run();
    void stop();

    // Timers. A key identifies one timer for `update_timer` and `remove_timer`.
    using TimerKey = std::pair<Clock::time_point, uint64_t>;
    TimerKey add_timer(Clock::time_point deadline, Waker waker);
    /// Replaces the waker of a timer that has not fired; false if it has.
    bool update_timer(const TimerKey& key, const Waker& waker);
    void remove_timer(const TimerKey& key);

    // Descriptor readiness; used through `AsyncFd`.
    std::shared_ptr<detail::IoState> attach(int fd);
    void detach(const std::shared_ptr<detail::IoState>& state);
    /// Arms a one-shot interest; errors are those of epoll_ctl.
    Result<void> arm(detail::IoState& state);

  private:
    explicit Reactor(EpollSet epoll) : epoll_(std::move(epoll)) {}
    /// Sets the timerfd to the earliest deadline, or disarms it.
    void arm_next_timer();
    void fire_due_timers();
    void dispatch(uint64_t token);

    EpollSet epoll_;
    UniqueFd timer_;
    std::optional<Clock::time_point> armed_;  // what the timerfd is set to
    std::atomic<bool> stopping_{false};

    std::mutex timers_mutex_;
    std::map<TimerKey, Waker> timers_;
    uint64_t next_timer_id_ = 0;

    std::mutex io_mutex_;
    std::unordered_map<uint64_t, std::shared_ptr<detail::IoState>> io_;
    uint64_t next_token_ = 3;  // 0 is the wake latch, 1 the signal notices, 2 the timerfd
};

}  // namespace pacpick::rt
