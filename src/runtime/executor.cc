#include "runtime/executor.h"

#include <system_error>

namespace pacpick::rt {

namespace detail {

/// A cell whose root is a spawned `Task<void>`; it is run by the worker threads.
class SpawnedCell final : public TaskCell {
  public:
    SpawnedCell(Task<void> task, std::shared_ptr<RunQueue> queue)
        : TaskCell(task.handle()), task_(std::move(task)), queue_(std::move(queue)) {}

    void drop() { abandon(); }

  protected:
    void schedule() override { queue_->push(shared_from_this()); }
    void on_done() override {
        task_ = Task<void>();  // destroys the frame and the locals it holds
        queue_->forget(this);
    }

  private:
    Task<void> task_;
    std::shared_ptr<RunQueue> queue_;
};

void RunQueue::push(std::shared_ptr<TaskCell> cell) {
    {
        std::lock_guard lock(mutex_);
        if (stopped_) {
            return;
        }
        queue_.push_back(std::move(cell));
    }
    ready_.notify_one();
}

std::shared_ptr<TaskCell> RunQueue::pop() {
    std::unique_lock lock(mutex_);
    ready_.wait(lock, [this] { return stopped_ || !queue_.empty(); });
    if (stopped_) {
        return nullptr;
    }
    auto cell = std::move(queue_.front());
    queue_.pop_front();
    return cell;
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

std::vector<std::shared_ptr<TaskCell>> RunQueue::stop() {
    std::vector<std::shared_ptr<TaskCell>> unfinished;
    std::deque<std::shared_ptr<TaskCell>> queued;
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
        queued.swap(queue_);
        for (auto& [ptr, cell] : live_) {
            unfinished.push_back(std::move(cell));
        }
        live_.clear();
    }
    ready_.notify_all();
    return unfinished;
}

}  // namespace detail

void JoinHandle::cancel() const {
    if (cell_) {
        cell_->request_cancel();
    }
}

bool JoinHandle::is_finished() const {
    return !cell_ || cell_->finished();
}

Poll<Unit> JoinHandle::Finished::poll(const Waker& waker) {
    if (!cell_ || cell_->poll_finished(waker)) {
        return Unit{};
    }
    return Poll<Unit>::pending();
}

Result<std::unique_ptr<Executor>> Executor::start(unsigned threads) {
    std::unique_ptr<Executor> executor(new Executor());
    try {
        for (unsigned i = 0; i < threads; ++i) {
            executor->workers_.emplace_back([queue = executor->queue_] {
                while (auto cell = queue->pop()) {
                    cell->run();
                }
            });
        }
    } catch (const std::system_error& e) {
        executor->shutdown();
        return Error::os(e.code().value());
    }
    return executor;
}

Executor::~Executor() {
    shutdown();
}

JoinHandle Executor::spawn(Task<void> task) {
    auto cell = std::make_shared<detail::SpawnedCell>(std::move(task), queue_);
    if (!queue_->adopt(cell)) {
        // Shut down: nothing would ever run or destroy it, so it goes now.
        cell->drop();
        return JoinHandle(cell);
    }
    queue_->push(cell);
    return JoinHandle(cell);
}

void Executor::shutdown() {
    if (shut_down_) {
        return;
    }
    shut_down_ = true;
    auto unfinished = queue_->stop();
    for (auto& worker : workers_) {
        worker.join();
    }
    // No worker runs any more: the pending tasks are destroyed here, unrun.
    for (auto& cell : unfinished) {
        static_cast<detail::SpawnedCell&>(*cell).drop();
    }
}

}  // namespace pacpick::rt
