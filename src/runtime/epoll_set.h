#pragma once

#include <sys/epoll.h>

#include <cstdint>
#include <memory>
#include <span>

#include "base/fd.h"
#include "base/result.h"
#include "runtime/wake_latch.h"

namespace pacpick::rt {

/// An epoll set for a thread that sleeps until one of its descriptors is
/// ready or another thread sets the `WakeLatch` the set always watches. A
/// wait that finds the latch set lowers it and reports `kWoken`, so that sets
/// made before the wait count as one and none is lost.
class EpollSet {
  public:
    /// The latch's token; each descriptor watched takes another of its own.
    static constexpr uint64_t kWoken = 0;

    static Result<EpollSet> create();

    Result<void> control(int op, int fd, uint32_t events, uint64_t token);
    /// One `epoll_wait`: the number of reports in `ready`, or -1 with errno set.
    int wait(std::span<epoll_event> ready, int timeout_ms);
    /// Setting it ends the wait in progress, or else the next one. Any thread.
    const std::shared_ptr<WakeLatch>& latch() const { return latch_; }

  private:
    EpollSet() = default;

    UniqueFd epoll_;
    std::shared_ptr<WakeLatch> latch_;
};

}  // namespace pacpick::rt
