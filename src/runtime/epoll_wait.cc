#include "runtime/epoll_wait.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <ctime>

namespace pacpick::rt {

namespace {

// Set once epoll_pwait2 has failed for a reason other than a signal: a kernel
// without it (before Linux 5.11, ENOSYS) or a sandbox that refuses it (EPERM).
std::atomic<bool> g_pwait2_unusable{false};

}  // namespace

int wait_for_events(int epoll_fd, epoll_event* events, int max_events,
                    std::optional<std::chrono::nanoseconds> timeout) {
    if (!timeout || *timeout <= std::chrono::nanoseconds::zero()) {
        return epoll_wait(epoll_fd, events, max_events, timeout ? 0 : -1);
    }
    // The search's delay ends on a timer, so waking to the nanosecond rather
    // than the next whole millisecond takes half a millisecond off every search.
    if (!g_pwait2_unusable.load()) {
        const auto ns = timeout->count();
        const timespec limit{static_cast<time_t>(ns / 1'000'000'000),
                             static_cast<long>(ns % 1'000'000'000)};
        const int n = epoll_pwait2(epoll_fd, events, max_events, &limit, nullptr);
        if (n >= 0 || errno == EINTR) {
            return n;
        }
        // It will fail the same way every time, and a failure returned at
        // once would make a loop spin until its deadline.
        g_pwait2_unusable.store(true);
    }
    // Round up: waking a little late is fine, waking early costs another turn.
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(*timeout).count();
    return epoll_wait(epoll_fd, events, max_events, ms > INT_MAX ? INT_MAX : static_cast<int>(ms));
}

}  // namespace pacpick::rt
