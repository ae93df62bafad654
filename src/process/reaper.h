#pragma once

#include <sys/types.h>

#include <utility>

#include "runtime/reactor.h"

namespace pacpick::process {

/// Room on the orphan list for one child, taken before the child is started,
/// so that handing the child over later, from a destructor, never allocates:
/// memory may have run out by then. Move-only; a slot not used is given back.
class OrphanSlot {
  public:
    /// Also makes sure the current reactor, if any, looks after orphans.
    /// Throws `std::bad_alloc` when there is no room to be had.
    static OrphanSlot reserve();
    OrphanSlot(OrphanSlot&& other) noexcept : held_(std::exchange(other.held_, false)) {}
    OrphanSlot& operator=(OrphanSlot&&) = delete;
    ~OrphanSlot();

    /// Takes over a child that nobody waits for any more, in this slot. It is
    /// never killed: one non-blocking wait reaps it if it has already ended,
    /// otherwise it goes on the process-wide orphan list, which the reactor's
    /// turn hook looks after.
    void adopt(pid_t pid) &&;

  private:
    OrphanSlot() : held_(true) {}
    bool held_;
};

/// Makes sure `reactor` runs the children's turn hook, and turns soon: the hook
/// watches the SIGCHLD self-pipe, wakes the tasks waiting on the SIGCHLD route
/// and reaps ended orphans. Registered once per reactor; must not be called
/// from a turn hook.
void watch_children_on(rt::Reactor& reactor);

}  // namespace pacpick::process
