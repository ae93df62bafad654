#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "runtime/result.h"
#include "runtime/task.h"

namespace pacpick::rt {

namespace detail {

class SpawnedCell;

/// The shared run queue of the worker threads, and the register of every task
/// that has not finished, so that shutdown can drop them all. Cells keep it alive
/// through a shared pointer: a wake arriving after shutdown is simply ignored.
/// The queue links its cells through the cells themselves, so that a wake never
/// allocates: it may come from the reactor thread when memory has run out.
class RunQueue {
  public:
    void push(std::shared_ptr<SpawnedCell> cell);
    /// Waits for a cell to run; null once the queue is stopped.
    std::shared_ptr<SpawnedCell> pop();
    /// Registers a new cell; false once stopped, when it is not taken.
    bool adopt(std::shared_ptr<TaskCell> cell);
    void forget(TaskCell* cell);
    using Cells = std::unordered_map<TaskCell*, std::shared_ptr<TaskCell>>;
    /// Stops handing out cells and returns every unfinished one, without
    /// allocating: shutdown may come when memory has run out.
    Cells stop();

  private:
    std::mutex mutex_;
    std::condition_variable ready_;
    SpawnedCell* head_ = nullptr;  // each queued cell holds the queue's reference to itself
    SpawnedCell* tail_ = nullptr;
    Cells live_;
    bool stopped_ = false;
};

}  // namespace detail

/// The caller's link to a spawned task. `cancel` asks the task to stop at its
/// next wait point and returns at once; dropping the handle detaches the task,
/// which then runs on by itself.
class JoinHandle {
  public:
    JoinHandle() = default;
    explicit JoinHandle(std::shared_ptr<detail::TaskCell> cell) : cell_(std::move(cell)) {}

    void cancel() const;

    /// A leaf future that is ready once the task has finished or was cancelled.
    class Finished {
      public:
        explicit Finished(std::shared_ptr<detail::TaskCell> cell) : cell_(std::move(cell)) {}
        Poll<Unit> poll(const Waker& waker);

      private:
        std::shared_ptr<detail::TaskCell> cell_;
    };
    Finished finished() const { return Finished(cell_); }

  private:
    std::shared_ptr<detail::TaskCell> cell_;
};

/// A pool of worker threads running spawned tasks from one shared queue. A task
/// runs on one worker at a time but may move between workers at any wait.
/// Shutdown stops the workers after their current poll and destroys every
/// unfinished task without running it further; a task spawned after that is
/// destroyed at once, and its handle reports it finished.
class Executor {
  public:
    static Result<std::unique_ptr<Executor>> start(unsigned threads);
    ~Executor();

    JoinHandle spawn(Task<void> task);
    void shutdown();

  private:
    Executor() : queue_(std::make_shared<detail::RunQueue>()) {}

    std::shared_ptr<detail::RunQueue> queue_;
    std::vector<std::thread> workers_;
    bool shut_down_ = false;
};

}  // namespace pacpick::rt
