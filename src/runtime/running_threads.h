#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace pacpick::rt::detail {

/// How many of the runtime's threads have not ended yet, so that shutdown can
/// wait for them with a limit: a thread can only be joined without one. Each
/// thread counts itself in before it starts and out as its last act.
class RunningThreads {
  public:
    void starting() {
        std::lock_guard lock(mutex_);
        ++running_;
    }
    void ending() {
        std::lock_guard lock(mutex_);
        --running_;
        changed_.notify_all();
    }
    /// True once every thread has ended, false when `limit` ran out first.
    bool wait_for_all(std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [this] { return running_ == 0; });
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    unsigned running_ = 0;
};

}  // namespace pacpick::rt::detail
