#pragma once

#include <atomic>
#include <coroutine>
#include <memory>

#include "runtime/waker.h"

namespace pacpick::rt::detail {

/// The wait a suspended task is parked on: the awaiter to poll and the coroutine
/// to resume once that poll is ready.
struct PendingWait {
    void* awaiter = nullptr;
    bool (*poll)(void* awaiter, const Waker& waker) = nullptr;
    std::coroutine_handle<> resume_point;
};

/// The unit of scheduling: one root coroutine and the leaf it waits on. Its
/// state machine (idle, scheduled, running, notified, done) lets wakes come from
/// any thread while guaranteeing that it runs on one thread at a time and that a
/// wake during a run leads to another poll, from the back of the queue.
/// Cancellation is a flag checked at every wait point; the frame is then
/// destroyed, not resumed.
class TaskCell : public WakeTarget, public std::enable_shared_from_this<TaskCell> {
  public:
    enum class Step { Pending, Done };

    explicit TaskCell(std::coroutine_handle<> root) : root_(root) {}

    void wake() final;
    /// Polls the task once: until it parks on a pending leaf or finishes. Woken
    /// meanwhile, it is handed to `schedule` again on the way out. Only called
    /// by whoever received the cell through `schedule`.
    Step run();

    void request_cancel();
    bool cancel_requested() const { return cancel_requested_.load(); }

    // Used by awaiters of the running task only.
    const Waker& current_waker() const { return *waker_; }
    void park_on(PendingWait wait) { wait_ = wait; }

  protected:
    /// Hands a cell that just became scheduled to whoever runs it.
    virtual void schedule() = 0;
    /// Called once when the task is done, finished or cancelled.
    virtual void on_done() = 0;
    /// Marks the cell done without running it again (used at shutdown).
    void abandon();

  private:
    enum State { kIdle, kScheduled, kRunning, kNotified, kDone };

    void step();
    void finish();

    std::atomic<State> state_{kScheduled};
    std::coroutine_handle<> root_;
    bool started_ = false;
    PendingWait wait_;
    const Waker* waker_ = nullptr;
    std::atomic<bool> cancel_requested_{false};
};

/// The cell of the task running on this thread, or null outside any task.
TaskCell* current_cell();

}  // namespace pacpick::rt::detail
