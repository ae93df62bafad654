#pragma once

#include <pthread.h>
#include <signal.h>
#include <sys/epoll.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>

#include "runtime/fd.h"
#include "runtime/result.h"

namespace pacpick::rt {

/// Ends one blocking wait of another thread, from any thread, so that no
/// failed call can lose the wake: `wake` raises a flag and adds 1 to an
/// eventfd the waiting side watches, and when that write fails it sends the
/// wake-up signal to the thread inside `wait`. That thread keeps the signal
/// blocked except during the wait itself, so the signal can neither be lost
/// before the wait begins nor interrupt anything else. Wakes that come before a
/// wait looks count as one. One thread waits at a time.
class WakeCounter {
  public:
    static Result<std::unique_ptr<WakeCounter>> create();

    /// Any thread, but not a signal handler. Fails only when neither the
    /// eventfd nor the signal could reach the waiting side.
    Result<void> wake();
    /// The waiting side: takes back every wake so far; true when there was one.
    bool consume();
    /// The eventfd, to be watched for readability in the waiting side's epoll set.
    int fd() const { return fd_.get(); }

    /// Waits on `epoll_fd` up to `timeout` (without limit when absent), to the
    /// nanosecond where the kernel allows it. A wake ends the wait with -1 and
    /// EINTR even when its eventfd write failed; so does a wake that came before.
    int wait(int epoll_fd, epoll_event* events, int max_events,
             std::optional<std::chrono::nanoseconds> timeout);

  private:
    explicit WakeCounter(UniqueFd fd) : fd_(std::move(fd)) {}
    bool signal_waiter();

    /// The thread inside `wait`, and whether the signal can reach it there.
    struct Waiter {
        pthread_t thread;
        bool can_signal;
    };

    UniqueFd fd_;
    std::atomic<bool> woken_{false};
    std::mutex waiter_mutex_;
    std::optional<Waiter> waiter_;
};

/// The signal a `WakeCounter` sends; the process layer unblocks it in children.
int wake_signal();

}  // namespace pacpick::rt
