#include "runtime/executor.h"

#include <condition_variable>
#include <mutex>

namespace pacpick::rt {

namespace detail {

class SpawnedCell;

/// The shared run queue of the worker threads, and the register of every task
/// that has not finished, so that shutdown can drop them all. Cells keep it alive
/// through a shared pointer: a wake arriving after shutdown is simply ignored.
/// The queue links its cells through the cells themselves, so that a wake never
/// allocates: it may come from the reactor thread while a search has run out of
/// memory, and must still reach the search.
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

/// A cell whose root is a spawned `Task<void>`; it is run by the worker threads.
class SpawnedCell final : public TaskCell {
  public:
    SpawnedCell(Task<void> task, std::shared_ptr<RunQueue> queue)
        : TaskCell(task.handle()), task_(std::move(task)), queue_(std::move(queue)) {}

    using TaskCell::abandon;

  protected:
    void schedule() override {
        queue_->push(std::static_pointer_cast<SpawnedCell>(shared_from_this()));
    }
    void on_done() override {
        task_ = Task<void>();  // destroys the frame and the locals it holds
        queue_->forget(this);
    }

  private:
    friend class RunQueue;

    Task<void> task_;
    std::shared_ptr<RunQueue> queue_;
    // Guarded by the queue's lock; a cell is in the queue at most once.
    std::shared_ptr<SpawnedCell> queued_;
    SpawnedCell* next_queued_ = nullptr;
};

void RunQueue::push(std::shared_ptr<SpawnedCell> cell) {
    {
        std::lock_guard lock(mutex_);
        if (stopped_) {
            return;
        }
        SpawnedCell* last = cell.get();
        last->queued_ = std::move(cell);
        last->next_queued_ = nullptr;
        (tail_ != nullptr ? tail_->next_queued_ : head_) = last;
        tail_ = last;
    }
    ready_.notify_one();
}

std::shared_ptr<SpawnedCell> RunQueue::pop() {
    std::unique_lock lock(mutex_);
    ready_.wait(lock, [this] { return stopped_ || head_ != nullptr; });
    if (stopped_) {
        return nullptr;
    }
    SpawnedCell* first = std::exchange(head_, head_->next_queued_);
    if (head_ == nullptr) {
        tail_ = nullptr;
    }
    return std::move(first->queued_);
}

bool RunQueue::adopt(std::shared_ptr<TaskCell> cell) {
    std::lock_guard lock(mutex_);
    if (stopped_) {
        return false;
    }
    live_.emplace(cell.get(), std::move(cell));
    return true;
}

void RunQueue::forget(TaskCell* cell) {
    std::shared_ptr<TaskCell> last_ref;  // released after the lock
    std::lock_guard lock(mutex_);
    auto it = live_.find(cell);
    if (it != live_.end()) {
        last_ref = std::move(it->second);
        live_.erase(it);
    }
}

RunQueue::Cells RunQueue::stop() {
    Cells unfinished;
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
        unfinished.swap(live_);
        // A queued cell has not finished, so `unfinished` holds it too: dropping
        // the queue's reference here destroys nothing under the lock.
        for (SpawnedCell* cell = std::exchange(head_, nullptr); cell != nullptr;) {
            SpawnedCell* next = cell->next_queued_;
            cell->queued_.reset();
            cell = next;
        }
        tail_ = nullptr;
    }
    ready_.notify_all();
    return unfinished;
}

}  // namespace detail

Executor::Executor() : queue_(std::make_shared<detail::RunQueue>()) {}

Result<std::unique_ptr<Executor>> Executor::start(
    unsigned threads, const std::shared_ptr<detail::RunningThreads>& running) {
    std::unique_ptr<Executor> executor(new Executor());
    executor->workers_.reserve(threads);
    for (unsigned i = 0; i < threads; ++i) {
        auto worker = detail::RunningThreads::start(running, [queue = executor->queue_] {
            while (auto cell = queue->pop()) {
                cell->run();
            }
        });
        if (!worker) {
            return std::move(worker).error();  // the workers started stop with `executor`
        }
        executor->workers_.push_back(std::move(*worker));
    }
    return executor;
}

Executor::~Executor() {
    shutdown();
}

JoinHandle Executor::spawn(Task<void> task) {
    auto cell = std::make_shared<detail::SpawnedCell>(std::move(task), queue_);
    if (queue_->adopt(cell)) {
        queue_->push(cell);
    } else {
        cell->abandon();  // shut down: nothing would ever run or destroy it, so it goes now
    }
    return JoinHandle(cell);
}

void Executor::stop() {
    // Only the first stop finds unfinished tasks; a later one finds none.
    if (auto unfinished = queue_->stop(); !unfinished.empty()) {
        unfinished_.swap(unfinished);
    }
}

void Executor::shutdown() {
    stop();
    for (auto& worker : workers_) {
        if (worker.joinable()) {
            worker.join();
        }
    }
    // No worker runs any more: the pending tasks are destroyed here, unrun.
    for (auto& [raw, cell] : unfinished_) {
        static_cast<detail::SpawnedCell&>(*cell).abandon();
    }
}

}  // namespace pacpick::rt
