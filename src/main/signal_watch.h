#pragma once

#include <signal.h>

#include <memory>
#include <utility>
#include <vector>

#include "main/seams.h"
#include "runtime/poll.h"
#include "runtime/result.h"
#include "runtime/signal_pipe.h"

namespace pacpick {

/// Catches, while the terminal is held, the signals that end or stop the
/// program from outside, so that neither leaves the terminal raw. SIGTERM and
/// SIGHUP are recorded for the main task, which gives the terminal back and
/// then ends by the same signal (`die_by`); a second one, or the first left
/// unanswered for a second (a frame's write to a terminal that reads nothing
/// holds the main task), gives back what it can from the handler and ends the
/// process at once. SIGTSTP, SIGTTIN and SIGTTOU give the terminal back and
/// stop the process by the same signal; once it is continued (SIGCONT is
/// caught too), the main loop takes the terminal again and redraws. A signal
/// the program was started with ignored (as `nohup` leaves SIGHUP) is left
/// alone, and removing the watch puts back exactly the actions it found, so
/// commands run afterwards inherit them. One watch at a time.
class SignalWatch final : public SignalSource {
  public:
    /// Installs the handlers; needs a running runtime for the self-pipe.
    static Result<std::unique_ptr<SignalWatch>> install();
    /// Removes the watch if `remove` has not.
    ~SignalWatch();

    /// Ready with the termination signal that arrived, or with SIGCONT once
    /// the program has been continued after a stop.
    rt::Poll<int> poll_signal(const rt::Waker& waker) override;
    /// Puts back the actions found at installation, then answers the
    /// termination signal that arrived, or 0: one that came at any moment
    /// until then, even after the loop last looked, is reported rather than
    /// lost. Later calls do nothing but answer.
    int remove();

  private:
    SignalWatch(const rt::SignalPipe& pipe, rt::AsyncFd watched)
        : pipe_(pipe), watched_(std::move(watched)) {}

    const rt::SignalPipe& pipe_;
    rt::AsyncFd watched_;
    /// The actions found before, of the signals whose handler was replaced.
    std::vector<std::pair<int, struct sigaction>> replaced_;
};

/// Ends the process by `signal_number` with its default action. Async-signal-safe.
[[noreturn]] void die_by(int signal_number);

/// The termination signal a watch has recorded and not yet acted on, or 0.
/// Async-signal-safe.
int termination_pending();

}  // namespace pacpick
