#pragma once

#include <chrono>
#include <memory>

#include "runtime/sleep.h"
#include "runtime/task.h"

namespace pacpick::testing {

/// Returns once `frame` has gone, or after ten seconds: a token that a
/// spawned task holds as a parameter goes only with the task's frame, after
/// every local in it.
inline rt::Task<void> until_gone(std::weak_ptr<int> frame) {
    for (int waited = 0; waited < 10'000 && !frame.expired(); ++waited) {
        co_await rt::Sleep(std::chrono::milliseconds(1));
    }
}

}  // namespace pacpick::testing
