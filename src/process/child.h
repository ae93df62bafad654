#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>

#include "base/result.h"
#include "process/command.h"
#include "process/orphans.h"
#include "runtime/async_fd.h"
#include "runtime/poll.h"
#include "runtime/signal_notice.h"

namespace pacpick::process {

// A child's end is heard through its process descriptor (pidfd_open), watched
// by the reactor like a pipe, or, without one (a kernel without the call, a
// sandbox's refusal, no descriptor to spare) and for every abandoned child,
// through SIGCHLD's notices, each of which wakes the children on that route and
// runs the orphan pass. Either way no thread blocks in a wait.

/// A started child whose end a task awaits on the event loop. The handle is the
/// child's only waiter; once collected, the status is kept. Dropped (or
/// abandoned) before that, it hands the child to the orphan list.
class Child {
  public:
    /// Takes charge of `pid`, a child just started, with the orphan slot
    /// reserved for it before it was. Needs a running runtime.
    Child(pid_t pid, OrphanSlot slot);
    Child(Child&& other) noexcept;
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
