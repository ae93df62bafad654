#pragma once

#include "base/result.h"
#include "process/command.h"

namespace pacpick::process {

/// Runs `command` on the calling thread, which blocks for the child's whole
/// life: stdin from the null device, stdout and stderr captured completely.
/// Meant only for short outside queries made where no task can wait.
Result<CommandOutput> run_captured_blocking(ChildCommand command);

}  // namespace pacpick::process
