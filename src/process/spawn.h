#pragma once

#include <sys/types.h>

#include "base/fd.h"
#include "base/result.h"
#include "process/command.h"

namespace pacpick::process {

/// A child that has just been started: its process id and the program's ends
/// of the pipes asked for (blocking, close-on-exec; empty for other modes). Who
/// holds it is responsible for waiting for the child exactly once.
struct SpawnedChild {
    pid_t pid = -1;
    UniqueFd stdin_pipe;
    UniqueFd stdout_pipe;
    UniqueFd stderr_pipe;
};

/// Starts `command` with its stream modes and environment changes. The child
/// gets exactly its descriptors 0 to 2, no signal blocked, and SIGPIPE at its
/// default action. A NUL byte in the program, an argument or an environment
/// change fails without starting anything; a program that cannot be executed
/// fails with the OS error. On failure no descriptor stays open and no child is
/// left behind.
Result<SpawnedChild> spawn_child(const ChildCommand& command);

}  // namespace pacpick::process
