#pragma once

#include <memory>

#include "runtime/poll.h"
#include "runtime/task_cell.h"
#include "runtime/waker.h"

namespace pacpick::rt {

/// The caller's link to a spawned task. `cancel` asks the task to stop at its
/// next wait point and returns at once; dropping the handle detaches the task,
/// which then runs on by itself.
class JoinHandle {
  public:
    JoinHandle() = default;
    explicit JoinHandle(std::shared_ptr<detail::TaskCell> cell) : cell_(std::move(cell)) {}

    void cancel() const {
        if (cell_) {
            cell_->request_cancel();
        }
    }

    /// A leaf future that is ready once the task has finished or was cancelled.
    class Finished {
      public:
        explicit Finished(std::shared_ptr<detail::TaskCell> cell) : cell_(std::move(cell)) {}
        Poll<Unit> poll(const Waker& waker) {
            if (!cell_ || cell_->poll_finished(waker)) {
                return Unit{};
            }
            return Poll<Unit>::pending();
        }

      private:
        std::shared_ptr<detail::TaskCell> cell_;
    };
    Finished finished() const { return Finished(cell_); }

  private:
    std::shared_ptr<detail::TaskCell> cell_;
};

}  // namespace pacpick::rt
