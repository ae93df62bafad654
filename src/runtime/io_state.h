#pragma once

#include <cstdint>
#include <mutex>
#include <utility>

#include "runtime/waker.h"

namespace pacpick::rt::detail {

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

    /// An event arrived: the interest is spent, and the waker is handed out to
    /// be woken once `mutex` is released.
    Waker fire() {
        armed = false;
        ready = true;
        return std::exchange(waker, Waker());
    }
};

}  // namespace pacpick::rt::detail
