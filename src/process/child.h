#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>

#include "process/command.h"
#include "process/reaper.h"
#include "runtime/async_fd.h"
#include "runtime/poll.h"
#include "runtime/result.h"

namespace pacpick::process {

/// A started child whose end a task awaits on the event loop without blocking
/// a thread: through a process descriptor watched by the reactor, or else
/// through SIGCHLD notifications. The handle is the child's only waiter; once
/// collected, the status is kept. Dropped (or abandoned) before that, it hands
/// the child to the orphan list; the child is never killed.
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
    /// Stops waiting: the orphan list takes over a child that has not ended.
    void abandon();

  private:
    // Ready once the status is in `status_`, or with the error of the wait.
    rt::Poll<Result<void>> poll_pidfd(const rt::Waker& waker);
    rt::Poll<Result<void>> poll_sigchld(const rt::Waker& waker);

    pid_t pid_;
    OrphanSlot slot_;
    std::optional<ExitStatus> status_;
    rt::AsyncFd pidfd_;    // invalid on the SIGCHLD route
    uint64_t waiter_ = 0;  // 0 until the SIGCHLD route is joined
    uint64_t seen_ = 0;    // the signals counted when it last looked
};

}  // namespace pacpick::process
