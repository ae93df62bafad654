#pragma once

#include <memory>

#include "runtime/task_cell.h"

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

  private:
    std::shared_ptr<detail::TaskCell> cell_;
};

}  // namespace pacpick::rt
