#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "runtime/signal_stack.h"

namespace pacpick::rt::detail {

/// How many of the runtime's threads have not ended yet, so that shutdown can
/// wait for them with a limit: a thread can only be joined without one. A
/// thread is counted in before it starts and out as its last act.
class RunningThreads {
  public:
    /// Starts a thread running `body` (`start_thread`), counted until `body`
    /// returns; one that could not be started counts nothing.
    template <typename Body>
    static Result<std::thread> start(const std::shared_ptr<RunningThreads>& running, Body body) {
        running->change(+1);
        auto thread = start_thread([running, body = std::move(body)]() mutable {
            body();
            running->change(-1);
        });
        if (!thread) {
            running->change(-1);
        }
        return thread;
    }

    /// True once every thread has ended, false when `limit` ran out first.
    bool wait_for_all(std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [this] { return running_ == 0; });
    }

  private:
    void change(int by) {
        std::lock_guard lock(mutex_);
        running_ += by;
        changed_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    int running_ = 0;
};

}  // namespace pacpick::rt::detail
