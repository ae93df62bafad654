#pragma once

#include <memory>

#include "base/fd.h"
#include "base/result.h"
#include "runtime/waker.h"

namespace pacpick::rt {

/// Ends one blocking wait of another thread, from any thread: `set` makes an
/// eventfd readable that the waiting side watches in its epoll set, and the
/// waiting side's `take` lowers it again. Sets before the waiting side looks
/// count as one. A set cannot fail: a write to a non-blocking eventfd fails
/// only with EAGAIN, when its counter is already raised.
class WakeLatch final : public WakeTarget {
  public:
    static Result<std::unique_ptr<WakeLatch>> create();

    void set();
    void wake() override { set(); }
    /// A waker whose wake sets `latch`, for a thread that sleeps on it.
    static Waker waker(std::shared_ptr<WakeLatch> latch) { return Waker(std::move(latch)); }
    /// The waiting side: lowers the latch; true when it was raised.
    bool take();
    /// The eventfd, to be watched for readability.
    int fd() const { return fd_.get(); }

  private:
    WakeLatch() = default;

    UniqueFd fd_;
};

}  // namespace pacpick::rt
