#pragma once

#include <functional>

#include "base/result.h"
#include "runtime/task.h"

namespace pacpick {

/// The process entry around a main task: makes descriptors 0 to 2 safe, takes
/// charge of the signals (signals.h), builds the runtime (101 when it cannot be
/// built), runs the task on this thread, shuts the runtime down without waiting
/// for background work, and maps the task's result to the exit status (0, or 1
/// after "Error: {}\n" on standard error; memory that ran out on the main task
/// is such an error too), unless a termination signal came: the process then
/// ends by it.
int run_entry(const std::function<rt::Task<Result<void>>()>& main_task);

}  // namespace pacpick
