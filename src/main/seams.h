#pragma once

#include <string>

#include "base/result.h"
#include "queries/package.h"
#include "runtime/channel.h"
#include "runtime/executor.h"
#include "runtime/poll.h"
#include "term/event.h"

namespace pacpick {

struct AppState;

/// Where the main loop's terminal events come from: the terminal event stream
/// in the program, a script in tests. Polling must never block; pending means
/// the waker will be woken when an event may be ready.
class EventSource {
  public:
    virtual ~EventSource() = default;
    virtual rt::Poll<Result<term::TerminalEvent>> poll_event(const rt::Waker& waker) = 0;
};

/// Draws one full frame from the state (the terminal in the program, a
/// recorder in tests).
class FrameDrawer {
  public:
    virtual ~FrameDrawer() = default;
    virtual Result<void> draw(const AppState& state) = 0;
};

/// Signals from outside that the main task must answer: ready with the number
/// of a termination signal, which ends the loop at once and is passed on to a
/// command that runs, or with SIGCONT once the program has been continued after
/// a stop, when the terminal is taken again and the frame redrawn.
class SignalSource {
  public:
    virtual ~SignalSource() = default;
    virtual rt::Poll<int> poll_signal(const rt::Waker& waker) = 0;
};

/// The next signal of a `SignalSource` as a leaf future; without a source it
/// never fires.
class NextSignal {
  public:
    explicit NextSignal(SignalSource* signals) : signals_(signals) {}
    rt::Poll<int> poll(const rt::Waker& waker) {
        return signals_ != nullptr ? signals_->poll_signal(waker) : rt::Poll<int>::pending();
    }

  private:
    SignalSource* signals_;
};

/// Starts the background queries. Each started task sends exactly one message
/// carrying `generation` through `sender` when it runs to its end, running out
/// of memory included (an empty answer), unless memory is too short even for
/// the message: the screen then keeps the last answer until the next key. A
/// task can be cancelled through the returned handle at any of its waits.
class QueryStarter {
  public:
    virtual ~QueryStarter() = default;
    virtual rt::JoinHandle start_search(std::string query, Mode mode, SearchGeneration generation,
                                        rt::Sender<QueryMessage> sender) = 0;
    virtual rt::JoinHandle start_details(std::string name, DetailsGeneration generation,
                                         rt::Sender<QueryMessage> sender) = 0;
};

}  // namespace pacpick
