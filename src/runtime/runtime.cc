#include "runtime/runtime.h"

#include <atomic>
#include <cassert>
#include <cerrno>
#include <new>
#include <system_error>

#include "runtime/signal_stack.h"

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
    // Whatever was made so far is stopped and freed on the way out: memory
    // that runs out here fails the build as any other call would.
    try {
        return assemble(workers);
    } catch (const std::bad_alloc&) {
        return Error::os(ENOMEM);
    }
}

Result<std::unique_ptr<Runtime>> Runtime::assemble(unsigned workers) {
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
    runtime->reactor_ended_ = std::make_shared<detail::ReactorEnd>();
    try {
        runtime->reactor_thread_ =
            std::thread([r = runtime->reactor_.get(), ended = runtime->reactor_ended_] {
                const AlternateSignalStack signal_stack;
                r->run();
                ended->mark();
            });
    } catch (const std::system_error& e) {
        return Error::os(e.code().value());
    }
    Reactor::set_current(runtime->reactor_.get());
    g_current_runtime.store(runtime.get());
    return runtime;
}

Runtime::~Runtime() {
    shutdown();
}

Runtime* Runtime::current() {
    return g_current_runtime.load();
}

void Runtime::shutdown() {
    if (shut_down_) {
        return;
    }
    shut_down_ = true;
    if (reactor_thread_.joinable()) {
        stop_reactor();
    }
    if (executor_) {
        executor_->shutdown();  // pending tasks' frames are destroyed here
    }
    Runtime* self = this;
    g_current_runtime.compare_exchange_strong(self, nullptr);
    Reactor* reactor = reactor_.get();
    if (reactor != nullptr && Reactor::current() == reactor) {
        Reactor::set_current(nullptr);
    }
}

void Runtime::stop_reactor() {
    // Each try wakes the thread by its eventfd and, should that fail, by a
    // signal; they cannot both fail unless the system refuses the calls. Then
    // the thread is left asleep and the process ends without it: the reactor
    // is kept (leaked), as its tasks' timers and descriptors still name it.
    for (int attempt = 0; attempt < kStopAttempts; ++attempt) {
        reactor_->stop();
        if (reactor_ended_->wait_for(kStopAttemptTime)) {
            reactor_thread_.join();
            return;
        }
    }
    reactor_thread_.detach();
    [[maybe_unused]] Reactor* left_asleep = reactor_.release();
}

namespace detail {

void ReactorEnd::mark() {
    {
        std::lock_guard lock(mutex_);
        ended_ = true;
    }
    changed_.notify_all();
}

bool ReactorEnd::wait_for(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [this] { return ended_; });
}

}  // namespace detail

JoinHandle spawn(Task<void> task) {
    Runtime* runtime = Runtime::current();
    assert(runtime != nullptr && "spawn outside a runtime");
    return runtime->spawn(std::move(task));
}

}  // namespace pacpick::rt
