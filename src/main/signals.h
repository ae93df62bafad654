#pragma once

#include <signal.h>

#include <cstdint>

#include "main/seams.h"
#include "runtime/poll.h"
#include "runtime/signal_notice.h"

namespace pacpick {

/// Puts every signal the program handles under its policy (the table in
/// signals.cc), once at entry before any thread starts, then unblocks every
/// signal: a mask inherited from the launcher is an accident, and with SIGCHLD
/// or SIGTERM blocked children would stay zombies and the program would not
/// end. SIGCHLD and SIGWINCH are heard even if the parent ignored them
/// (ignored, the kernel reaps the children itself and their exit statuses are
/// lost); any other signal the program was started with ignored, as `nohup`
/// leaves SIGHUP, stays ignored, for the program and for its commands.
void take_charge_of_signals();

/// The first termination signal (SIGTERM or SIGHUP) that has arrived, or 0.
/// Async-signal-safe.
int termination_signal();

/// Ends the process by `signal_number` with its default action, core dump
/// included. Async-signal-safe.
[[noreturn]] void die_by(int signal_number);

/// Ends the process by the first termination signal, if one has arrived: once
/// the terminal is the user's again, it must neither be lost nor be followed by
/// anything else.
void end_if_terminated();

/// The signals from outside that the main task answers, as a leaf future: ready
/// with SIGTERM or SIGHUP each time one more of it has come, and with SIGCONT
/// each time the program has been continued after a stop. Counted from the
/// process's start, so that one that came before this was made is news too.
class OutsideSignals final : public SignalSource {
  public:
    rt::Poll<int> poll_signal(const rt::Waker& waker) override;

  private:
    static constexpr int kHeard[] = {SIGTERM, SIGHUP, SIGCONT};
    rt::SignalListener listener_{SIGTERM, SIGHUP, SIGCONT};
    uint64_t seen_[std::size(kHeard)] = {};
};

}  // namespace pacpick
