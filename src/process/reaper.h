#pragma once

#include <sys/types.h>

#include <list>

#include "runtime/result.h"

namespace pacpick::process {

/// What a child needs before it is started so that its end is noticed whatever
/// happens later: its room on the orphan list, so that handing it over from a
/// destructor never allocates (memory may have run out by then), and the
/// current reactor's watch of the SIGCHLD self-pipe. Move-only; a slot not used
/// is given back.
class OrphanSlot {
  public:
    /// Fails when the self-pipe cannot be made or watched: no child should
    /// start then. Throws `std::bad_alloc` when there is no room to be had.
    /// Needs a running runtime.
    static Result<OrphanSlot> reserve();
    OrphanSlot(OrphanSlot&&) = default;

    /// Takes over a child that nobody waits for any more, in this slot. It is
    /// never killed: one non-blocking wait reaps it if it has already ended,
    /// otherwise it goes on the process-wide orphan list, which the reactor's
    /// turn hook looks after.
    void adopt(pid_t pid) &&;

  private:
    OrphanSlot() : entry_(1) {}
    std::list<pid_t> entry_;  // one node, moved onto the list without allocating
};

}  // namespace pacpick::process
