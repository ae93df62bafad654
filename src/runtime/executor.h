#pragma once

#include <memory>
#include <thread>
#include <unordered_map>
#include <vector>

#include "base/result.h"
#include "runtime/join_handle.h"
#include "runtime/running_threads.h"
#include "runtime/task.h"

namespace pacpick::rt {

namespace detail {
class RunQueue;
}  // namespace detail

/// A pool of worker threads running spawned tasks from one shared queue. A task
/// runs on one worker at a time but may move between workers at any wait.
/// Shutdown stops the workers after their current poll and destroys every
/// unfinished task without running it further; a task spawned after that is
/// destroyed at once.
class Executor {
  public:
    /// Starts `threads` workers, each counted in `running` until it ends.
    static Result<std::unique_ptr<Executor>> start(
        unsigned threads, const std::shared_ptr<detail::RunningThreads>& running);
    ~Executor();

    JoinHandle spawn(Task<void> task);
    /// Stops handing out tasks: each worker ends after its current poll.
    void stop();
    /// Stops, waits for the workers to end, and destroys every unfinished task.
    void shutdown();

  private:
    Executor();

    std::shared_ptr<detail::RunQueue> queue_;
    std::vector<std::thread> workers_;
    std::unordered_map<detail::TaskCell*, std::shared_ptr<detail::TaskCell>> unfinished_;
};

}  // namespace pacpick::rt
