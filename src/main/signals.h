#pragma once

#include <cstdint>
#include <initializer_list>

#include "process/interrupt_shield.h"
#include "runtime/poll.h"
#include "runtime/signal_notice.h"

namespace pacpick {

/// Puts every signal under the program's policy (the table in signals.cc),
/// once at entry before any thread starts, then unblocks every signal: a mask
/// inherited from the launcher is an accident, and with SIGCHLD or SIGTERM
/// blocked children would stay zombies and the program would not end. The
/// signals the program needs for itself (SIGWINCH, SIGCONT, and the faults,
/// which the kernel makes fatal even when ignored) are handled whatever the
/// parent left, and SIGCHLD is put back to its default until the first wait
/// that needs it; any other signal the program was started with ignored, as
/// `nohup` leaves SIGHUP, stays ignored, for the program and its commands.
/// Allocates nothing.
void take_charge_of_signals();

/// Signals from outside as a leaf future: ready with one of the signals it was
/// made for each time one more of it has come since it was made.
class HeardSignals {
  public:
    explicit HeardSignals(std::initializer_list<int> signals);

    rt::Poll<int> poll(const rt::Waker& waker);

  private:
    static constexpr size_t kMost = 2;
    rt::SignalListener listener_;
    int signals_[kMost] = {};
    uint64_t seen_[kMost] = {};
    size_t count_ = 0;
};

/// While it lives, a command runs in the foreground on the user's terminal: a
/// termination signal (SIGTERM, SIGHUP), which otherwise ends the program at
/// once, is heard through a `HeardSignals` made before it, to be passed on, and
/// ends the program once the command has; SIGINT and SIGQUIT are the
/// command's alone (`process::InterruptShield`). One at a time, on the main
/// task. Made, it ends the program by a termination that came before, so that
/// a command never starts after one; its end puts back the terminal modes
/// found at start (a command may leave its own), then does the same.
class ForegroundCommand {
  public:
    ForegroundCommand();
    ~ForegroundCommand();

  private:
    process::InterruptShield shield_;
};

}  // namespace pacpick
