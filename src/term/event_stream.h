#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "base/result.h"
#include "runtime/poll.h"
#include "runtime/waker.h"
#include "term/event.h"
#include "term/event_reader.h"

namespace pacpick::term {

/// The main task's endless stream of terminal events. Polling never blocks: it
/// only tries the reader's lock and waits for no input; when no event is ready,
/// the input wait thread (one per stream) blocks on the reader in the main
/// task's place and wakes it once an event is ready. Exactly one side reads at
/// a time: while a request is with the thread, polls leave the terminal to it.
/// The terminal is read only while a poll is asking for an event, so keys typed
/// while the main task is busy stay in the terminal. Destroying the stream makes
/// a blocked wait give up and returns only once the thread has ended, so nothing
/// of the program reads the terminal afterwards.
class TerminalEventStream {
  public:
    /// On `reader` (the program's is `process_event_reader`'s); fails when it is
    /// null, the process's reader having no source, or when the input wait
    /// thread cannot be started.
    static Result<std::unique_ptr<TerminalEventStream>> create(std::shared_ptr<EventReader> reader);

    ~TerminalEventStream();
    TerminalEventStream(const TerminalEventStream&) = delete;
    TerminalEventStream& operator=(const TerminalEventStream&) = delete;

    /// An event, an error, or pending; after pending, `waker` is woken once an
    /// event may be ready (possibly spuriously).
    rt::Poll<Result<TerminalEvent>> poll_event(const rt::Waker& waker);

  private:
    explicit TerminalEventStream(std::shared_ptr<EventReader> reader);
    void serve_requests();

    std::shared_ptr<EventReader> reader_;
    std::shared_ptr<rt::WakeLatch> wake_;
    /// The one request slot: at most one request is ever outstanding (see
    /// `wait_in_progress_`), so a slot is all the thread needs. It holds the
    /// waker of the main task, to wake once the request is served.
    std::mutex request_mutex_;
    std::condition_variable request_changed_;
    std::optional<rt::Waker> request_;
    bool closed_ = false;  // the thread ends once it sees this
    /// True from handing a request to the thread until the thread has finished it.
    std::atomic<bool> wait_in_progress_{false};
    /// Asks the thread to give up the request it serves.
    std::atomic<bool> stop_requested_{false};
    std::thread thread_;
};

}  // namespace pacpick::term
