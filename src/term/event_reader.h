#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "runtime/result.h"
#include "term/event.h"
#include "term/fifo_queue.h"
#include "term/input_source.h"

namespace pacpick::term {

/// Owns the `InputSource` and the decoded items not yet handed out, behind one
/// lock; the source is made on first use and, if that fails, stays absent.
/// Only `TerminalEvent`s are handed out: terminal reports collect in the queue
/// for good. Every operation but `lock`/`try_lock` takes the held lock as proof.
class EventReader {
  public:
    using Lock = std::unique_lock<std::mutex>;
    using SourceFactory = std::function<Result<std::unique_ptr<InputSource>>()>;

    explicit EventReader(SourceFactory make_source);

    /// Waits for the lock. The input wait thread holds it for a whole wait.
    Lock lock() { return Lock(mutex_); }
    /// Takes the lock only if it is free at once.
    Lock try_lock() { return Lock(mutex_, std::try_to_lock); }

    /// Creates the source on the first call; later calls change nothing.
    void ensure_created(const Lock& held);
    /// The source's wake latch; null when the source is absent.
    std::shared_ptr<rt::WakeLatch> wake_latch(const Lock& held) const;

    /// True once a `TerminalEvent` is queued; false when the time-out ran out or
    /// the wait was woken; "Failed to initialize input reader" without a source.
    Result<bool> wait_for_event(const Lock& held, Timeout timeout);
    /// The oldest queued `TerminalEvent`, waiting without limit if none is.
    Result<TerminalEvent> take_event(const Lock& held);

  private:
    bool queue_holds_event() const;
    void check(const Lock& held) const;

    std::mutex mutex_;
    SourceFactory make_source_;
    bool created_ = false;
    std::unique_ptr<InputSource> source_;
    FifoQueue<DecodedItem> queue_;
    std::vector<DecodedItem> set_aside_;  // reports met during one wait
};

/// The one reader of the process, made on the first call (which also fixes its
/// size query) and never destroyed.
std::shared_ptr<EventReader> process_event_reader(SizeQuery size_query);

}  // namespace pacpick::term
