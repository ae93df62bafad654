#include "runtime/runtime.h"

#include <atomic>
#include <cassert>
#include <system_error>

namespace pacpick::rt {

namespace {
std::atomic<Runtime*> g_current_runtime{nullptr};
}

namespace detail {

void BlockingCell::schedule() {
    {
        std::lock_guard lock(mutex_);
        scheduled_ = true;
    }
    woken_.notify_one();
}

void BlockingCell::drive() {
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

}  // namespace detail

Result<std::unique_ptr<Runtime>> Runtime::build(unsigned workers) {
    std::unique_ptr<Runtime> runtime(new Runtime());
    auto reactor = Reactor::create();
    if (!reactor) {
        return std::move(reactor).error();
    }
    runtime->reactor_ = std::move(reactor).value();
    if (workers == 0) {
        workers = std::thread::hardware_concurrency();
        if (workers == 0) {
            workers = 1;
        }
    }
    auto executor = Executor::start(workers);
    if (!executor) {
        return std::move(executor).error();
    }
    runtime->executor_ = std::move(executor).value();
    try {
        runtime->reactor_thread_ = std::thread([r = runtime->reactor_.get()] { r->run(); });
    } catch (const std::system_error& e) {
        return Error::os(e.code().value());
    }
    Reactor::set_current(runtime->reactor_.get());
    g_current_runtime.store(runtime.get());
    return runtime;
}

Runtime::~Runtime() { shutdown(); }

Runtime* Runtime::current() { return g_current_runtime.load(); }

void Runtime::shutdown() {
    if (shut_down_) {
        return;
    }
    shut_down_ = true;
    if (reactor_thread_.joinable()) {
        reactor_->stop();
        reactor_thread_.join();
    }
    if (executor_) {
        executor_->shutdown();  // pending tasks' frames are destroyed here
    }
    Runtime* self = this;
    g_current_runtime.compare_exchange_strong(self, nullptr);
    Reactor* reactor = reactor_.get();
    if (Reactor::current() == reactor) {
        Reactor::set_current(nullptr);
    }
}

JoinHandle spawn(Task<void> task) {
    Runtime* runtime = Runtime::current();
    assert(runtime != nullptr && "spawn outside a runtime");
    return runtime->spawn(std::move(task));
}

}  // namespace pacpick::rt
