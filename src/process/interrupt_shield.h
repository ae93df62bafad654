#pragma once

#include <signal.h>

namespace pacpick::process {

/// While it lives, the keyboard's interrupt and quit signals (SIGINT, SIGQUIT)
/// are ignored by the program, so that Control-C at a foreground command's
/// prompt ends the command, not the program waiting for it, which then reports
/// the command's status as usual. Children started meanwhile get those signals
/// at their default actions again (unless the program itself was started with
/// them ignored), just as a shell's children would. Destruction restores the
/// dispositions found. One shield at a time, on the main task.
class InterruptShield {
  public:
    InterruptShield();
    ~InterruptShield();
    InterruptShield(const InterruptShield&) = delete;
    InterruptShield& operator=(const InterruptShield&) = delete;

  private:
    struct sigaction saved_int_ {};
    struct sigaction saved_quit_ {};
};

/// Adds to `set` the signals a child must get back at their default action:
/// SIGPIPE, which the program always ignores, and whatever a live
/// `InterruptShield` ignores on the program's behalf.
void add_signals_to_reset(sigset_t& set);

}  // namespace pacpick::process
