#include "runtime/blocking_cell.h"

namespace pacpick::rt::detail {

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

}  // namespace pacpick::rt::detail
