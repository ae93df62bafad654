#pragma once

#include "runtime/fd.h"
#include "runtime/reactor.h"
#include "runtime/result.h"

namespace pacpick::rt {

/// A self-pipe for signal handlers: `notify` only sends one byte, without
/// blocking, and is async-signal-safe; the reading end is watched by the
/// reactor. A full pipe drops the byte, which is fine as one byte already waits.
/// Both ends are close-on-exec and non-blocking.
class SignalPipe {
public:
    /// Creates the pair; the reading end is registered with the current reactor.
    static Result<SignalPipe> create();

    /// Async-signal-safe; preserves errno.
    void notify() const noexcept;
    /// Discards every byte waiting, without blocking.
    void drain() const;
    /// Ready once some `notify` happened since the readiness was last consumed.
    Poll<Result<void>> poll_notified(const Waker& waker) { return read_end_.poll_ready(waker); }
    int write_fd() const { return write_end_.get(); }

private:
    SignalPipe(AsyncFd read_end, UniqueFd write_end)
        : read_end_(std::move(read_end)), write_end_(std::move(write_end)) {}

    AsyncFd read_end_;
    UniqueFd write_end_;
};

/// Async-signal-safe notification on a raw descriptor (the `SignalPipe`'s
/// write end), for handlers that can only reach a descriptor number.
void notify_signal_fd(int fd) noexcept;

}  // namespace pacpick::rt
