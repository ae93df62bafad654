#pragma once

#include <signal.h>

#include <shared_mutex>

namespace pacpick::process {

/// While it lives, the keyboard's interrupt and quit signals (SIGINT, SIGQUIT)
/// are ignored by the program, so that Control-C at a foreground command's
/// prompt ends the command, not the program waiting for it, which then reports
/// the command's status as usual. Children started meanwhile get those signals
/// at their default actions again (unless the program itself was started with
/// them ignored), just as a shell's children would. Destruction restores the
/// dispositions found. One shield at a time, on the main task. It stands apart
/// from the program's signal table, which holds for the whole run: it is the
/// discipline system(3) keeps around one foreground command, and lasts exactly
/// as long as the program waits for it.
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

/// The signals a child being started must get back at their default action:
/// SIGPIPE, which the program always ignores, and whatever a live
/// `InterruptShield` ignores on the program's behalf. Children start on any
/// thread; while this is held no shield comes or goes, so the set stays true
/// until the child exists. Hold it from reading `signals` until the start has
/// returned.
class ChildSignalDefaults {
  public:
    ChildSignalDefaults();

    const sigset_t& signals() const { return signals_; }

  private:
    std::shared_lock<std::shared_mutex> lock_;
    sigset_t signals_;
};

}  // namespace pacpick::process
