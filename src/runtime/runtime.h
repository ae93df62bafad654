#pragma once

#include <chrono>
#include <memory>
#include <thread>

#include "base/result.h"
#include "runtime/executor.h"
#include "runtime/reactor.h"
#include "runtime/running_threads.h"
#include "runtime/task.h"

namespace pacpick::rt {

/// The task runtime: a reactor thread, a pool of worker threads for spawned
/// tasks, and `block_on` to run the main task on the calling thread. At most one
/// runtime is current at a time; leaf futures find its reactor through it.
/// Shutdown (explicit or on destruction) stops the threads after their current
/// poll, destroys every unfinished task without running it further, and waits
/// for nothing else: for the threads' ends at most `kStopLimit`.
class Runtime {
  public:
    static constexpr std::chrono::milliseconds kStopLimit{500};

    /// `workers` 0 means one worker thread per available processor.
    static Result<std::unique_ptr<Runtime>> build(unsigned workers = 0);
    ~Runtime();

    JoinHandle spawn(Task<void> task) { return executor_->spawn(std::move(task)); }

    template <typename T>
    T block_on(Task<T> task) {
        drive(task.handle());
        return task.take_result();
    }

    /// False when a thread had not ended within `kStopLimit`: it is left
    /// running with what it uses, and the process must then end without
    /// destroying its static objects (`_exit`). Later calls answer the same.
    bool shutdown();
    Reactor& reactor() { return *reactor_; }

  private:
    Runtime() = default;
    /// Runs `root` to its end on the calling thread, asleep between wake-ups.
    /// The frame stays with the caller's `Task`, whose result is read after.
    static void drive(std::coroutine_handle<> root);

    std::shared_ptr<detail::RunningThreads> running_ = std::make_shared<detail::RunningThreads>();
    std::unique_ptr<Reactor> reactor_;
    std::thread reactor_thread_;
    std::unique_ptr<Executor> executor_;
    bool shut_down_ = false;
    bool stopped_ = true;
};

/// Spawns onto the current runtime.
JoinHandle spawn(Task<void> task);

/// The reactor of the current runtime; a programming fault when there is none.
Reactor& current_reactor();

}  // namespace pacpick::rt
