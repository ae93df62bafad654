#pragma once

#include "runtime/async_fd.h"
#include "runtime/result.h"

namespace pacpick::rt {

/// A self-pipe for signal handlers: a handler only sends one byte to the
/// writing end, without blocking, and a reader watches the other end. Both
/// ends are non-blocking and close-on-exec, and neither is ever closed: a
/// handler running on another thread at any moment can never write into a
/// closed descriptor, nor one reused for a terminal or a child's pipe. A full
/// pipe drops the byte, which is fine as one byte already waits.
class SignalPipe {
  public:
    /// A new pipe that lives until the process ends.
    static Result<const SignalPipe*> create();

    /// Async-signal-safe; preserves errno.
    void notify() const noexcept;
    /// Discards every byte waiting, without blocking.
    void drain() const;
    /// The reading end, to be watched for readability.
    int read_fd() const { return read_fd_; }
    /// A watch of the reading end by the current reactor, on a descriptor of
    /// its own that goes with the watch while the pipe stays.
    Result<AsyncFd> watch() const;

  private:
    SignalPipe() = default;

    int read_fd_ = -1;
    int write_fd_ = -1;
};

}  // namespace pacpick::rt
