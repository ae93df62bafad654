#pragma once

#include <sys/types.h>

#include <cstddef>

#include "runtime/reactor.h"

namespace pacpick::process {

/// Takes over a child that nobody waits for any more. It is never killed: one
/// non-blocking wait reaps it if it has already ended, otherwise it goes on the
/// process-wide orphan list, which the current reactor's turn hook looks after.
void adopt_orphan(pid_t pid);

/// Makes sure `reactor` runs the children's turn hook: it watches the SIGCHLD
/// self-pipe, wakes the tasks waiting on the SIGCHLD route and reaps ended
/// orphans. Registered once per reactor; must not be called from a turn hook.
void watch_children_on(rt::Reactor& reactor);

namespace testing {
/// Children on the orphan list right now.
size_t orphan_count();
}  // namespace testing

}  // namespace pacpick::process
