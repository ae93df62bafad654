#pragma once

#include <signal.h>

#include <cstdint>
#include <initializer_list>

#include "base/result.h"
#include "runtime/waker.h"

namespace pacpick::rt {

// How the program hears a signal. A handler counts it and, when some listener
// listens for it, writes a byte to the process's one self-pipe
// (`notice_signal`); the reactor watches that pipe and,
// each time it becomes readable, empties it and wakes every listener one of
// whose signals was counted since (`deliver_signal_notices`); a listener then
// compares the counts it cares about with those it last saw. The pipe is made
// with the first reactor and never closed, so a handler running on any thread
// at any moment writes only into it; a signal counted before then, or while no
// reactor runs, is still counted for whoever looks.

/// The handler's part: counts `signal_number` and wakes the reactor.
/// Async-signal-safe; keeps errno.
void notice_signal(int signal_number) noexcept;

/// How many times `signal_number` has been noticed since the process started.
uint64_t signal_count(int signal_number);

/// Leaves `signal_number`'s action as it is until the first listener of it is
/// made, which then, before it returns, installs `action` (one that notices
/// the signal). For SIGCHLD: handled, every child's end would interrupt a
/// thread even while nothing waits through the signal. One signal at a time;
/// allocates nothing.
void notice_from_first_listener(int signal_number, const struct sigaction& action);

/// A reader of notices: while it lives, each delivery in which one of its
/// signals was counted wakes the waker it was last given. Give the waker before
/// looking at what a signal changes, so that one counted after the look still
/// wakes it. Registering, waking and unregistering allocate nothing.
class SignalListener {
  public:
    explicit SignalListener(std::initializer_list<int> signals);
    ~SignalListener();
    SignalListener(const SignalListener&) = delete;
    SignalListener& operator=(const SignalListener&) = delete;

    void wake_on_notice(const Waker& waker);

  private:
    friend void deliver_signal_notices();

    uint64_t signals_ = 0;    // bit n - 1 for signal n
    uint64_t delivered_ = 0;  // the last delivery that woke it
    Waker waker_;
    SignalListener* next_ = nullptr;  // the registry's list
    SignalListener* prev_ = nullptr;
};

/// The reactor's part: the self-pipe's reading end, made on the first call,
/// for the rest of the process; fails only when no descriptor can be had.
Result<int> signal_notice_fd();
/// Empties the self-pipe, then wakes, one at a time and outside any lock, every
/// listener one of whose signals was counted since the last delivery.
void deliver_signal_notices();

}  // namespace pacpick::rt
