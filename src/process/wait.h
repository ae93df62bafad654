#pragma once

#include <sys/types.h>

#include <optional>

#include "base/result.h"
#include "process/command.h"

namespace pacpick::process {

// Every wait names its own child: waiting for any child (-1) could collect the
// status that another handle is waiting for. A pid of 0 or below names no child
// and fails with ECHILD without waiting.

/// Waits on the calling thread until the child has ended and collects it.
Result<ExitStatus> wait_blocking(pid_t pid);

/// Collects the child if it has ended; nothing while it still runs.
Result<std::optional<ExitStatus>> try_wait(pid_t pid);

}  // namespace pacpick::process
