#pragma once

#include <condition_variable>
#include <coroutine>
#include <mutex>

#include "runtime/task_cell.h"

namespace pacpick::rt::detail {

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

}  // namespace pacpick::rt::detail
