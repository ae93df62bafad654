#pragma once

#include <sys/types.h>

#include <list>
#include <memory>
#include <optional>

#include "base/result.h"
#include "process/command.h"
#include "runtime/async_fd.h"
#include "runtime/poll.h"
#include "runtime/signal_notice.h"

namespace pacpick::process {

// A child's end is heard one of two ways. A child with a process descriptor
// (pidfd_open) is watched by the reactor like a pipe. Otherwise (a kernel
// without the call, a sandbox that refuses it, no descriptor to spare) and for
// every abandoned child, SIGCHLD is: the program must hear it through
// `rt::notice_signal`, and each notice wakes the children waiting on that
// route and runs the orphan pass. Either way a wait never blocks a thread.

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

/// A started child whose end a task awaits on the event loop. The handle is the
/// child's only waiter; once collected, the status is kept. Dropped (or
/// abandoned) before that, it hands the child to the orphan list.
class Child {
  public:
    /// Takes charge of `pid`, a child just started, with the orphan slot
    /// reserved for it before it was. Needs a running runtime.
    Child(pid_t pid, OrphanSlot slot);
    Child(Child&& other) noexcept;
    Child& operator=(Child&&) = delete;
    Child(const Child&) = delete;
    ~Child();

    /// Ready with the exit status once the child has ended, or with the error
    /// of a failed wait. A handle that was abandoned or moved from before the
    /// end was collected is at once ready with ECHILD: it waits for no child.
    rt::Poll<Result<ExitStatus>> poll_exit(const rt::Waker& waker);
    /// Sends `signal_number` to the child while it is still this handle's to
    /// wait for; afterwards, when its id may name another process, nothing.
    void send_signal(int signal_number);
    /// Stops waiting: the orphan list takes over a child that has not ended.
    void abandon();

  private:
    // Ready once the status is in `status_`, or with the error of the wait.
    rt::Poll<Result<void>> poll_pidfd(const rt::Waker& waker);
    rt::Poll<Result<void>> poll_sigchld(const rt::Waker& waker);

    pid_t pid_;
    OrphanSlot slot_;
    std::optional<ExitStatus> status_;
    rt::AsyncFd pidfd_;                            // invalid on the SIGCHLD route
    std::unique_ptr<rt::SignalListener> sigchld_;  // made when it joins that route
};

}  // namespace pacpick::process
