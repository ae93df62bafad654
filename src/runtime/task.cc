#include "runtime/task.h"

namespace pacpick::rt::detail {

namespace {
thread_local TaskCell* tls_current_cell = nullptr;

/// Makes `cell` the current one for the duration of a run, restoring the
/// previous one after (a task may be run from inside another's poll in tests).
class CurrentCellScope {
public:
    explicit CurrentCellScope(TaskCell* cell) : previous_(tls_current_cell) {
        tls_current_cell = cell;
    }
    ~CurrentCellScope() { tls_current_cell = previous_; }

private:
    TaskCell* previous_;
};
}  // namespace

TaskCell* current_cell() { return tls_current_cell; }

void TaskCell::wake() {
    int s = state_.load();
    for (;;) {
        if (s == kIdle) {
            if (state_.compare_exchange_weak(s, kScheduled)) {
                schedule();
                return;
            }
        } else if (s == kRunning) {
            if (state_.compare_exchange_weak(s, kNotified)) {
                return;
            }
        } else {
            return;  // already scheduled, notified or done
        }
    }
}

TaskCell::Step TaskCell::run() {
    state_.store(kRunning);
    CurrentCellScope scope(this);
    const Waker waker(shared_from_this());
    waker_ = &waker;
    for (;;) {
        if (cancel_requested_.load()) {
            finish();
            return Step::Done;
        }
        step();
        if (root_.done()) {
            finish();
            return Step::Done;
        }
        int expected = kRunning;
        if (state_.compare_exchange_strong(expected, kIdle)) {
            waker_ = nullptr;
            return Step::Pending;
        }
        // Woken while running: poll again before parking.
        state_.store(kRunning);
    }
}

void TaskCell::step() {
    if (!started_) {
        started_ = true;
        root_.resume();
        return;
    }
    if (wait_.poll == nullptr || !wait_.poll(wait_.awaiter, *waker_)) {
        return;
    }
    auto resume_point = wait_.resume_point;
    wait_ = {};
    resume_point.resume();
}

void TaskCell::request_cancel() {
    cancel_requested_.store(true);
    wake();
}

void TaskCell::finish() {
    waker_ = nullptr;
    wait_ = {};
    state_.store(kDone);
    on_done();
    wake_finish_waiters();
}

void TaskCell::abandon() {
    if (state_.exchange(kDone) != kDone) {
        wait_ = {};
        on_done();
        wake_finish_waiters();
    }
}

void TaskCell::wake_finish_waiters() {
    std::vector<Waker> waiters;
    {
        std::lock_guard lock(finish_mutex_);
        waiters.swap(finish_waiters_);
    }
    for (const auto& w : waiters) {
        w.wake();
    }
}

bool TaskCell::poll_finished(const Waker& waker) {
    std::lock_guard lock(finish_mutex_);
    if (state_.load() == kDone) {
        return true;
    }
    for (const auto& w : finish_waiters_) {
        if (w.wakes_same_target(waker)) {
            return false;
        }
    }
    finish_waiters_.push_back(waker);
    return false;
}

}  // namespace pacpick::rt::detail
