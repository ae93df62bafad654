#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "runtime/executor.h"
#include "runtime/reactor.h"
#include "runtime/result.h"
#include "runtime/task.h"

namespace pacpick::rt {

namespace detail {
/// The cell of a `block_on` root: it runs on the blocking thread, which sleeps
/// on a condition variable between wake-ups. The root's frame stays with the
/// caller's `Task`, so its result can be read after it finished.
class BlockingCell final : public TaskCell {
  public:
    explicit BlockingCell(std::coroutine_handle<> root) : TaskCell(root) {}
    /// Runs the task to its end on the calling thread.
    void drive();

  protected:
    void schedule() override;
    void on_done() override {}

  private:
    std::mutex mutex_;
    std::condition_variable woken_;
    bool scheduled_ = true;
};

/// Told by the reactor thread that its loop has ended, so that shutdown can
/// wait for that with a limit; a thread can only be joined without one.
class ReactorEnd {
  public:
    void mark();
    /// True once marked, or false after `limit`.
    bool wait_for(std::chrono::milliseconds limit);

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool ended_ = false;
};
}  // namespace detail

/// The task runtime: a reactor thread, a pool of worker threads for spawned
/// tasks, and `block_on` to run the main task on the calling thread. At most one
/// runtime is current at a time; leaf futures find its reactor through it.
/// Shutdown (explicit or on destruction) stops the threads, destroys every
/// unfinished task without running it further, and waits for nothing else.
/// It always returns: a reactor thread that cannot be woken within
/// `kStopAttempts` × `kStopAttemptTime` is left asleep for the process's end.
class Runtime {
  public:
    /// `workers` 0 means one worker thread per available processor.
    static Result<std::unique_ptr<Runtime>> build(unsigned workers = 0);
    ~Runtime();
    Runtime(const Runtime&) = delete;
    Runtime& operator=(const Runtime&) = delete;

    static Runtime* current();

    JoinHandle spawn(Task<void> task) { return executor_->spawn(std::move(task)); }

    template <typename T>
    T block_on(Task<T> task) {
        auto cell = std::make_shared<detail::BlockingCell>(task.handle());
        cell->drive();
        return task.take_result();
    }

    void shutdown();
    Reactor& reactor() { return *reactor_; }

  private:
    static constexpr int kStopAttempts = 5;
    static constexpr std::chrono::milliseconds kStopAttemptTime{100};

    Runtime() = default;
    static Result<std::unique_ptr<Runtime>> assemble(unsigned workers);
    void stop_reactor();

    std::unique_ptr<Reactor> reactor_;
    std::thread reactor_thread_;
    std::shared_ptr<detail::ReactorEnd> reactor_ended_;
    std::unique_ptr<Executor> executor_;
    bool shut_down_ = false;
};

/// Spawns onto the current runtime.
JoinHandle spawn(Task<void> task);

}  // namespace pacpick::rt
