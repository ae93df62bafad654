#pragma once

#include <memory>
#include <mutex>
#include <optional>

#include "base/result.h"
#include "term/event.h"
#include "term/input_source.h"

namespace pacpick::term {

/// Owns the `InputSource` and the one event read from it but not yet handed
/// out, behind one lock. Every operation but `lock`/`try_lock` and `wake_latch`
/// takes the held lock as proof.
class EventReader {
  public:
    using Lock = std::unique_lock<std::mutex>;

    explicit EventReader(std::unique_ptr<InputSource> source) : source_(std::move(source)) {}

    /// Waits for the lock. The input wait thread holds it for a whole wait.
    Lock lock() { return Lock(mutex_); }
    /// Takes the lock only if it is free at once.
    Lock try_lock() { return Lock(mutex_, std::try_to_lock); }

    /// The source's wake latch. The source is fixed at construction, so this
    /// needs no lock.
    std::shared_ptr<rt::WakeLatch> wake_latch() const { return source_->wake_latch(); }

    /// True once an event is ready to take; false when the time-out ran out or
    /// the wait was woken. The terminal's reports read meanwhile are dropped:
    /// they answer questions the program never asks.
    Result<bool> wait_for_event(const Lock& held, InputSource::Timeout timeout);
    /// The ready event, once `wait_for_event` has said there is one.
    TerminalEvent take_event(const Lock& held);

  private:
    void check(const Lock& held) const;

    std::mutex mutex_;
    const std::unique_ptr<InputSource> source_;
    std::optional<TerminalEvent> ready_;
};

/// The one reader of the process, on its input terminal, made on the first
/// call (which also fixes its size query) and never destroyed; null when its
/// source could not be made.
std::shared_ptr<EventReader> process_event_reader(InputSource::SizeQuery size_query);

}  // namespace pacpick::term
