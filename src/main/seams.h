#pragma once

#include <memory>
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
    virtual rt::Poll<Result<term::TerminalEvent>> poll(const rt::Waker& waker) = 0;
};

/// Draws one full frame from the state (the terminal in the program, a
/// recorder in tests).
class FrameDrawer {
  public:
    virtual ~FrameDrawer() = default;
    virtual Result<void> draw(const AppState& state) = 0;
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

// What the program plugs into them (seams.cc).

/// The program's event source: the terminal event stream on the input
/// terminal, whose resize events carry the size the screen layer reports.
Result<std::unique_ptr<EventSource>> open_terminal_events();

/// Draws the real frame on standard output.
class TerminalDrawer final : public FrameDrawer {
  public:
    Result<void> draw(const AppState& state) override;
};

/// Starts the real background queries on the runtime's worker threads.
class PacmanQueries final : public QueryStarter {
  public:
    rt::JoinHandle start_search(std::string query, Mode mode, SearchGeneration generation,
                                rt::Sender<QueryMessage> sender) override;
    rt::JoinHandle start_details(std::string name, DetailsGeneration generation,
                                 rt::Sender<QueryMessage> sender) override;
};

}  // namespace pacpick
