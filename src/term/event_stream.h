#pragma once

#include <functional>
#include <memory>
#include <thread>

#include "runtime/poll.h"
#include "runtime/result.h"
#include "runtime/waker.h"
#include "term/event.h"
#include "term/event_reader.h"

namespace pacpick::term {

namespace detail {
struct StreamShared;
}

/// The main task's endless stream of terminal events. Polling never blocks: it
/// only tries the reader's lock and waits for no input; when no event is ready,
/// the input wait thread (one per stream) blocks on the reader in the main
/// task's place and wakes it once an event is queued. Exactly one side reads at
/// a time: while a request is with the thread, polls leave the terminal to it.
/// The terminal is read only while a poll is asking for an event, so keys typed
/// while the main task is busy stay in the terminal. Destroying the stream makes
/// a blocked wait give up and returns only once the thread has ended, so nothing
/// of the program reads the terminal afterwards; nothing decoded is lost, it
/// stays in the reader's queue.
class TerminalEventStream {
  public:
    /// On the process's `EventReader`; fails when the input wait thread cannot
    /// be started or the input source cannot be created.
    static Result<std::unique_ptr<TerminalEventStream>> create(SizeQuery size_query);
    /// On a given reader (tests give one on a pseudo-terminal).
    static Result<std::unique_ptr<TerminalEventStream>> create(std::shared_ptr<EventReader> reader);

    ~TerminalEventStream();
    TerminalEventStream(const TerminalEventStream&) = delete;
    TerminalEventStream& operator=(const TerminalEventStream&) = delete;

    /// An event, an error, or pending; after pending, `waker` is woken once an
    /// event may be ready (possibly spuriously).
    rt::Poll<Result<TerminalEvent>> poll_event(const rt::Waker& waker);

    /// A leaf future for the next event, to `co_await` or to select on.
    class NextEvent {
      public:
        explicit NextEvent(TerminalEventStream& stream) : stream_(stream) {}
        rt::Poll<Result<TerminalEvent>> poll(const rt::Waker& waker) {
            return stream_.poll_event(waker);
        }

      private:
        TerminalEventStream& stream_;
    };
    NextEvent next_event() { return NextEvent(*this); }

  private:
    friend struct EventStreamProbe;  // tests hold the thread where a race needs it
    /// Runs on the input wait thread each time it has taken a request, before
    /// it waits on the reader.
    using BeforeWait = std::function<void()>;
    static Result<std::unique_ptr<TerminalEventStream>> create(std::shared_ptr<EventReader> reader,
                                                               BeforeWait before_wait);

    TerminalEventStream(std::shared_ptr<EventReader> reader,
                        std::shared_ptr<detail::StreamShared> shared,
                        std::shared_ptr<rt::WakeLatch> wake);

    std::shared_ptr<EventReader> reader_;
    std::shared_ptr<detail::StreamShared> shared_;
    std::shared_ptr<rt::WakeLatch> wake_;
    std::thread thread_;
};

}  // namespace pacpick::term
