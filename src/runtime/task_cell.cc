#include "runtime/task_cell.h"

namespace pacpick::rt::detail {

namespace {
thread_local TaskCell* tls_current_cell = nullptr;

struct CurrentCellScope {
    explicit CurrentCellScope(TaskCell* cell) { tls_current_cell = cell; }
    ~CurrentCellScope() { tls_current_cell = nullptr; }
};
}  // namespace

TaskCell* current_cell() {
    return tls_current_cell;
}

void TaskCell::wake() {
    State s = state_.load();
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
    if (cancel_requested_.load()) {
        finish();
        return Step::Done;
    }
    step();
    if (root_.done()) {
        finish();
        return Step::Done;
    }
    State expected = kRunning;
    if (state_.compare_exchange_strong(expected, kIdle)) {
        return Step::Pending;
    }
    // Woken while running: one poll per run, so the task goes to the back of
    // the queue rather than polling again at once. A task that keeps waking
    // itself (a reader of a child that never stops writing) would otherwise
    // hold its thread, starve every task queued behind it, and keep shutdown,
    // which waits for each worker's current run, waiting for ever.
    state_.store(kScheduled);
    schedule();  // from here on another thread may be running this cell
    return Step::Pending;
}

void TaskCell::step() {
    if (!started_) {
        started_ = true;
        root_.resume();
        return;
    }
    // Started and not done, the task is parked on a leaf: a wait is in `wait_`.
    if (!wait_.poll(wait_.awaiter, *waker_)) {
        return;
    }
    const auto resume_point = wait_.resume_point;
    resume_point.resume();
}

void TaskCell::request_cancel() {
    cancel_requested_.store(true);
    wake();
}

void TaskCell::finish() {
    // Done before the frame goes, so that no wake schedules it again.
    state_.store(kDone);
    on_done();
}

void TaskCell::abandon() {
    if (state_.exchange(kDone) != kDone) {
        on_done();
    }
}

}  // namespace pacpick::rt::detail
