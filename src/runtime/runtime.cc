#include "runtime/runtime.h"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <new>

namespace pacpick::rt {

namespace {

std::atomic<Runtime*> g_current_runtime{nullptr};

/// The cell of a `block_on` root: it runs on the blocking thread, which sleeps
/// on a condition variable between wake-ups.
class BlockingCell final : public detail::TaskCell {
  public:
    explicit BlockingCell(std::coroutine_handle<> root) : TaskCell(root) {}

    void drive() {
        for (;;) {
            {
                std::unique_lock lock(mutex_);
                woken_.wait(lock, [this] { return scheduled_; });
                scheduled_ = false;
            }
            if (run() == Step::Done) {
                return;
            }
        }
    }

  protected:
    void schedule() override {
        {
            std::lock_guard lock(mutex_);
            scheduled_ = true;
        }
        woken_.notify_one();
    }
    void on_done() override {}

  private:
    std::mutex mutex_;
    std::condition_variable woken_;
    bool scheduled_ = true;
};

}  // namespace

void Runtime::drive(std::coroutine_handle<> root) {
    std::make_shared<BlockingCell>(root)->drive();
}

// Whatever was made so far is stopped and freed on the way out: memory that
// runs out here fails the build as any other call would.
Result<std::unique_ptr<Runtime>> Runtime::build(unsigned workers) try {
    std::unique_ptr<Runtime> runtime(new Runtime());
    auto reactor = Reactor::create();
    if (!reactor) {
        return std::move(reactor).error();
    }
    runtime->reactor_ = std::move(reactor).value();
    if (workers == 0) {
        workers = std::max(1u, std::thread::hardware_concurrency());
    }
    auto executor = Executor::start(workers, runtime->running_);
    if (!executor) {
        return std::move(executor).error();
    }
    runtime->executor_ = std::move(executor).value();
    auto reactor_thread = detail::RunningThreads::start(
        runtime->running_, [r = runtime->reactor_.get()] { r->run(); });
    if (!reactor_thread) {
        return std::move(reactor_thread).error();
    }
    runtime->reactor_thread_ = std::move(*reactor_thread);
    g_current_runtime.store(runtime.get());
    return runtime;
} catch (const std::bad_alloc&) {
    return Error::os(ENOMEM);
}

Runtime::~Runtime() {
    shutdown();
}

bool Runtime::shutdown() {
    if (shut_down_) {
        return stopped_;
    }
    shut_down_ = true;
    if (reactor_) {
        reactor_->stop();
    }
    if (executor_) {
        executor_->stop();
    }
    stopped_ = running_->wait_for_all(kStopLimit);
    if (stopped_) {
        if (reactor_thread_.joinable()) {
            reactor_thread_.join();
        }
        if (executor_) {
            executor_->shutdown();  // pending tasks' frames are destroyed here
        }
    } else {
        // A thread that does not end keeps what it uses, for the little
        // while until the process ends without it.
        if (reactor_thread_.joinable()) {
            reactor_thread_.detach();
        }
        (void)reactor_.release();
        (void)executor_.release();
    }
    Runtime* self = this;
    g_current_runtime.compare_exchange_strong(self, nullptr);
    return stopped_;
}

JoinHandle spawn(Task<void> task) {
    Runtime* runtime = g_current_runtime.load();
    assert(runtime != nullptr && "spawn outside a runtime");
    return runtime->spawn(std::move(task));
}

Reactor& current_reactor() {
    Runtime* runtime = g_current_runtime.load();
    assert(runtime != nullptr && "no runtime is running");
    return runtime->reactor();
}

}  // namespace pacpick::rt
