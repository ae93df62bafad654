#pragma once

#include <signal.h>

#include <array>
#include <memory>
#include <optional>

#include "main/seams.h"
#include "runtime/poll.h"
#include "runtime/result.h"
#include "runtime/signal_pipe.h"

namespace pacpick {

/// Catches SIGTERM and SIGHUP while the terminal is held, so that the program
/// can give the terminal back before it goes. The handlers only record the
/// signal and wake the main task through a self-pipe that outlives every watch,
/// so a handler still running as the watch goes writes nowhere it should not;
/// the main task restores the terminal, removes the watch and then ends by the
/// same signal with its default action (`die_by`), so the parent sees how it
/// ended. A signal the program was started with ignored (as `nohup` leaves
/// SIGHUP) is left alone, and removing the watch puts back exactly the actions
/// it found, so commands run afterwards inherit them. One watch at a time.
class TerminationWatch final : public StopSignal {
  public:
    /// Installs the handlers; needs a running runtime for the self-pipe.
    static Result<std::unique_ptr<TerminationWatch>> install();
    /// Removes the watch if `remove` has not.
    ~TerminationWatch();

    /// Ready with the signal number once one of the signals has arrived.
    rt::Poll<int> poll_stop(const rt::Waker& waker) override;
    /// Puts back the actions found at installation, then answers `arrived`:
    /// a signal that came at any moment until then, even after the loop last
    /// looked, is reported rather than lost. Later calls do nothing but answer.
    int remove();

  private:
    TerminationWatch(const rt::SignalPipe& pipe, rt::AsyncFd watched)
        : pipe_(pipe), watched_(std::move(watched)) {}

    const rt::SignalPipe& pipe_;
    rt::AsyncFd watched_;
    /// The action each watched signal had before, for those a handler replaced.
    std::array<std::optional<struct sigaction>, 2> found_{};
};

/// Ends the process by `signal_number` with its default action.
[[noreturn]] void die_by(int signal_number);

}  // namespace pacpick
