#pragma once

#include <cstdint>

#include "runtime/result.h"
#include "runtime/waker.h"

namespace pacpick::process::sigchld {

// The process-wide SIGCHLD route, for children that have no process
// descriptor and for abandoned children. The handler only counts the signal
// and writes a byte to a self-pipe; the reactor's turn hook (reaper.h) drains
// the pipe and hands the news to `deliver`, which wakes every armed waiter.

/// Installs the handler and its self-pipe the first time it is called; they
/// stay for the rest of the run. Later calls only report success.
Result<void> install();

/// The number of SIGCHLD signals received so far.
uint64_t received();

/// The self-pipe's reading end (non-blocking, close-on-exec), or -1 before
/// `install`. It is never closed.
int notification_fd();
/// Discards the bytes waiting in the self-pipe.
void drain();

/// A fresh identity for a waiter of `arm`.
uint64_t new_waiter_id();
/// The notification count as last delivered; a new waiter starts from it.
uint64_t delivered();
/// Registers `waker` (replacing the waiter's previous one) to be woken by the
/// next delivery, and answers true. If a delivery happened since `seen`, it
/// arms nothing, brings `seen` up to date and answers false: the caller should
/// look at its child again before sleeping.
bool arm(uint64_t waiter, const rt::Waker& waker, uint64_t& seen);
/// Drops the waiter's registration, if any.
void forget(uint64_t waiter);
/// Called on the reactor thread with `received()`: when it has moved since the
/// last delivery, wakes and unregisters every armed waiter.
void deliver(uint64_t received_count);

}  // namespace pacpick::process::sigchld
