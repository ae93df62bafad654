#pragma once

#include <memory>

namespace pacpick::rt {

/// Something that can be told "look again": a spawned task, the thread parked
/// in `block_on`, or a thread asleep on a `WakeLatch`. `wake` is thread-safe,
/// never blocks, and is idempotent while the target is already woken.
class WakeTarget {
  public:
    virtual ~WakeTarget() = default;
    virtual void wake() = 0;
};

/// A copyable handle that wakes one target, or nobody when default-made. It is
/// not async-signal-safe: signal handlers use `notice_signal` instead.
class Waker {
  public:
    Waker() = default;
    explicit Waker(std::shared_ptr<WakeTarget> target) : target_(std::move(target)) {}

    void wake() const {
        if (target_) {
            target_->wake();
        }
    }

  private:
    std::shared_ptr<WakeTarget> target_;
};

}  // namespace pacpick::rt
