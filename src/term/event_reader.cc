#include "term/event_reader.h"

#include <cassert>

namespace pacpick::term {

void EventReader::check([[maybe_unused]] const Lock& held) const {
    assert(held.owns_lock() && held.mutex() == &mutex_);
}

Result<bool> EventReader::wait_for_event(const Lock& held, Timeout timeout) {
    check(held);
    if (ready_) {
        return true;
    }
    if (!source_) {
        return Error::custom(ErrorKind::Other, "Failed to initialize input reader");
    }
    auto event = source_->read_item(timeout);
    if (!event) {
        if (is_wake_interruption(event.error())) {
            return false;
        }
        return std::move(event).error();
    }
    ready_ = std::move(*event);
    return ready_.has_value();
}

Result<TerminalEvent> EventReader::take_event(const Lock& held) {
    check(held);
    while (!ready_) {
        auto waited = wait_for_event(held, std::nullopt);
        if (!waited) {
            return std::move(waited).error();
        }
    }
    return *std::exchange(ready_, std::nullopt);
}

std::shared_ptr<EventReader> process_event_reader(SizeQuery size_query) {
    // Never destroyed: its descriptors and the window-size handler last until
    // the process ends, whatever thread still looks at them during exit.
    static auto* reader = new std::shared_ptr<EventReader>([&] {
        auto source = InputSource::create(std::move(size_query));
        // Without a source every wait reports it, the stream's creation first.
        return std::make_shared<EventReader>(source ? std::move(*source) : nullptr);
    }());
    return *reader;
}

}  // namespace pacpick::term
