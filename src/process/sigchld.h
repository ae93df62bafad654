#pragma once

#include <cstdint>

#include "runtime/result.h"
#include "runtime/waker.h"

namespace pacpick::process::sigchld {

// The process-wide SIGCHLD route, for children that have no process
// descriptor and for abandoned children. The handler only counts the signal
// and writes a byte to a self-pipe; the reactor's turn hook (reaper.h) drains
// the pipe and hands the news to `deliver`, which wakes every armed waiter.

/// The self-pipe's reading end (non-blocking, close-on-exec, never closed),
/// made by the first call that has a descriptor to spare.
Result<int> notification_fd();
/// Discards the bytes waiting in the self-pipe.
void drain();
/// Installs the handler the first time it is called; it stays for the rest of
/// the run. Needs the self-pipe.
void install();

/// The number of SIGCHLD signals received so far.
uint64_t received();

/// A fresh identity for a waiter of `arm`.
uint64_t new_waiter_id();
/// Registers `waker` (replacing the waiter's previous one) to be woken by the
/// next delivery, and answers true. If a signal arrived since `seen`, it arms
/// nothing, brings `seen` up to date and answers false: the caller should look
/// at its child again before sleeping.
bool arm(uint64_t waiter, const rt::Waker& waker, uint64_t& seen);
/// Drops the waiter's registration, if any.
void forget(uint64_t waiter);
/// Called on the reactor thread with `received()`, read after the self-pipe
/// was drained: when it has moved since the last delivery, wakes and
/// unregisters every armed waiter.
void deliver(uint64_t received_count);

}  // namespace pacpick::process::sigchld
