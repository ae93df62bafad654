#pragma once

#include "runtime/poll.h"
#include "runtime/reactor.h"

namespace pacpick::rt {

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
