#pragma once

#include <sys/types.h>

#include <list>

namespace pacpick::process {

/// A child's room on the orphan list, taken before the child is started, so
/// that handing the child over later (from a destructor, perhaps while memory
/// has run out) allocates nothing. Move-only; a slot not used is given back.
class OrphanSlot {
  public:
    /// Throws `std::bad_alloc` when there is no room to be had.
    OrphanSlot();
    OrphanSlot(OrphanSlot&&) = default;

    /// Takes over a child that nobody waits for any more, in this slot. It is
    /// never killed: one non-blocking wait reaps it if it has already ended,
    /// otherwise it goes on the process-wide orphan list, which the next
    /// SIGCHLD goes through, reaping every orphan that has ended.
    void adopt(pid_t pid) &&;

  private:
    std::list<pid_t> entry_;  // one node, moved onto the list without allocating
};

}  // namespace pacpick::process
