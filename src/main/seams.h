#pragma once

#include <string>

#include "queries/package.h"
#include "runtime/channel.h"
#include "runtime/executor.h"
#include "runtime/poll.h"
#include "runtime/result.h"
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

/// A request from outside to stop the loop at once, such as a termination
/// signal: ready with the signal's number.
class StopSignal {
  public:
    virtual ~StopSignal() = default;
    virtual rt::Poll<int> poll_stop(const rt::Waker& waker) = 0;
};

/// Starts the background queries. Each started task sends exactly one message
/// carrying `generation` through `sender` when it runs to its end, and can be
/// cancelled through the returned handle at any of its waits.
class QueryStarter {
  public:
    virtual ~QueryStarter() = default;
    virtual rt::JoinHandle start_search(std::string query, Mode mode, SearchGeneration generation,
                                        rt::Sender<QueryMessage> sender) = 0;
    virtual rt::JoinHandle start_details(std::string name, DetailsGeneration generation,
                                         rt::Sender<QueryMessage> sender) = 0;
};

}  // namespace pacpick
