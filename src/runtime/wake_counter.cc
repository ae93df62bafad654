#include "runtime/wake_counter.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <ctime>

namespace pacpick::rt {

namespace {

// Set once epoll_pwait2 has failed for a reason other than a signal: a kernel
// without it (before Linux 5.11) or a sandbox that refuses it.
std::atomic<bool> g_pwait2_unusable{false};
// Set once a wait with a signal mask (epoll_pwait) has failed for a reason
// other than a signal: a sandbox that refuses it. Waits do without the mask,
// and wakes without the signal, from then on.
std::atomic<bool> g_masked_waits_unusable{false};
std::atomic<bool> g_handler_installed{false};

// A write to the eventfd that fails for another reason than a full counter is
// tried this many times before the signal has to serve.
constexpr int kWriteAttempts = 3;

void on_wake_signal(int) {
    // Its only work is done by arriving: the wait it interrupts returns EINTR.
}

void install_wake_handler() {
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    if (g_handler_installed.load()) {
        return;
    }
    struct sigaction action {};
    action.sa_handler = on_wake_signal;
    // Should the signal ever reach another thread, its calls carry on.
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    if (sigaction(wake_signal(), &action, nullptr) == 0) {
        g_handler_installed.store(true);
    }
}

/// The signal mask this thread waits with: its own, less the wake signal,
/// which the thread keeps blocked from its first wait on. Null while the
/// signal cannot serve (its handler is not installed, so it would kill).
const sigset_t* wait_mask_of_this_thread() {
    thread_local bool prepared = false;
    thread_local bool usable = false;
    thread_local sigset_t mask;
    if (g_masked_waits_unusable.load()) {
        return nullptr;
    }
    if (!prepared) {
        if (!g_handler_installed.load()) {
            return nullptr;
        }
        prepared = true;
        sigset_t wake;
        sigemptyset(&wake);
        sigaddset(&wake, wake_signal());
        if (pthread_sigmask(SIG_BLOCK, &wake, &mask) == 0) {
            sigdelset(&mask, wake_signal());
            usable = true;
        }
    }
    return usable ? &mask : nullptr;
}

/// A wait of whole milliseconds, with `mask` while masked waits serve.
int wait_for_ms(int epoll_fd, epoll_event* events, int max_events, int ms, const sigset_t* mask) {
    if (mask != nullptr && !g_masked_waits_unusable.load()) {
        const int n = epoll_pwait(epoll_fd, events, max_events, ms, mask);
        if (n >= 0 || errno == EINTR) {
            return n;
        }
        g_masked_waits_unusable.store(true);
    }
    return epoll_wait(epoll_fd, events, max_events, ms);
}

int wait_for_events(int epoll_fd, epoll_event* events, int max_events,
                    std::optional<std::chrono::nanoseconds> timeout, const sigset_t* mask) {
    if (!timeout || *timeout <= std::chrono::nanoseconds::zero()) {
        return wait_for_ms(epoll_fd, events, max_events, timeout ? 0 : -1, mask);
    }
    // The search's delay ends on a timer, so waking to the nanosecond rather
    // than the next whole millisecond takes half a millisecond off every search.
    if (!g_pwait2_unusable.load()) {
        const auto ns = timeout->count();
        const timespec limit{static_cast<time_t>(ns / 1'000'000'000),
                             static_cast<long>(ns % 1'000'000'000)};
        const int n = epoll_pwait2(epoll_fd, events, max_events, &limit, mask);
        if (n >= 0 || errno == EINTR) {
            return n;
        }
        // Missing (ENOSYS) or refused by a seccomp filter (EPERM, as container
        // and service sandboxes answer): it will fail the same way every time,
        // and a failure returned at once would make a loop spin until its
        // deadline. Whole milliseconds serve from now on.
        g_pwait2_unusable.store(true);
    }
    // Round up: waking a little late is fine, waking early costs another turn.
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(*timeout).count();
    return wait_for_ms(epoll_fd, events, max_events, ms > INT_MAX ? INT_MAX : static_cast<int>(ms),
                       mask);
}

}  // namespace

int wake_signal() {
    return SIGRTMIN;
}

Result<std::unique_ptr<WakeCounter>> WakeCounter::create() {
    const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) {
        return Error::last_os_error();
    }
    // Without the handler the eventfd alone wakes; the next counter made tries
    // to install it again.
    install_wake_handler();
    return std::unique_ptr<WakeCounter>(new WakeCounter(UniqueFd(fd)));
}

Result<void> WakeCounter::wake() {
    woken_.store(true);
    const uint64_t one = 1;
    for (int attempt = 0; attempt < kWriteAttempts; ++attempt) {
        // A full counter (EAGAIN) already means "woken".
        if (::write(fd_.get(), &one, sizeof one) == sizeof one || errno == EAGAIN) {
            return {};
        }
    }
    const Error failed = Error::last_os_error();
    if (signal_waiter()) {
        return {};
    }
    return failed;
}

bool WakeCounter::signal_waiter() {
    std::lock_guard lock(waiter_mutex_);
    if (!waiter_) {
        return true;  // nobody inside a wait: the flag ends the next one
    }
    return waiter_->can_signal && pthread_kill(waiter_->thread, wake_signal()) == 0;
}

bool WakeCounter::consume() {
    const bool flagged = woken_.exchange(false);
    uint64_t count = 0;
    ssize_t n;
    do {
        n = ::read(fd_.get(), &count, sizeof count);  // EAGAIN: nothing was added
    } while (n < 0 && errno == EINTR);
    return flagged || n == sizeof count;
}

int WakeCounter::wait(int epoll_fd, epoll_event* events, int max_events,
                      std::optional<std::chrono::nanoseconds> timeout) {
    const bool may_sleep = !timeout || *timeout > std::chrono::nanoseconds::zero();
    const sigset_t* mask = may_sleep ? wait_mask_of_this_thread() : nullptr;
    if (may_sleep) {
        std::lock_guard lock(waiter_mutex_);
        waiter_ = Waiter{pthread_self(), mask != nullptr};
    }
    // Looked at after the thread is known to `wake`: a wake before this line
    // is seen here, a wake after it finds the thread and its signal waits,
    // blocked, for the wait below to let it in. A wake already there still
    // lets whatever else is ready be seen first, as the eventfd alone would.
    int n;
    if (woken_.load()) {
        n = wait_for_events(epoll_fd, events, max_events, std::chrono::nanoseconds::zero(),
                            nullptr);
        if (n == 0) {
            n = -1;
            errno = EINTR;
        }
    } else {
        n = wait_for_events(epoll_fd, events, max_events, timeout, mask);
    }
    if (may_sleep) {
        const int saved = errno;
        std::lock_guard lock(waiter_mutex_);
        waiter_.reset();
        errno = saved;
    }
    return n;
}

}  // namespace pacpick::rt
