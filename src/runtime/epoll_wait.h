#pragma once

#include <sys/epoll.h>

#include <chrono>
#include <optional>

namespace pacpick::rt {

/// Waits on `epoll_fd` up to `timeout` (without limit when absent), to the
/// nanosecond where the kernel allows it, else to the next whole millisecond.
/// Answers as epoll_wait does.
int wait_for_events(int epoll_fd, epoll_event* events, int max_events,
                    std::optional<std::chrono::nanoseconds> timeout);

}  // namespace pacpick::rt
