#include "term/event_reader.h"

#include <cassert>

namespace pacpick::term {

void EventReader::check([[maybe_unused]] const Lock& held) const {
    assert(held.owns_lock() && held.mutex() == &mutex_);
}

Result<bool> EventReader::wait_for_event(const Lock& held, InputSource::Timeout timeout) {
    check(held);
    while (!ready_) {
        auto item = source_->read_item(timeout);
        if (!item) {
            if (InputSource::is_wake_interruption(item.error())) {
                return false;
            }
            return std::move(item).error();
        }
        if (!*item) {
            return false;
        }
        if (auto* event = std::get_if<TerminalEvent>(&**item)) {
            ready_ = std::move(*event);
        }
    }
    return true;
}

TerminalEvent EventReader::take_event(const Lock& held) {
    check(held);
    assert(ready_);
    return *std::exchange(ready_, std::nullopt);
}

std::shared_ptr<EventReader> process_event_reader(InputSource::SizeQuery size_query) {
    // Never destroyed: its descriptors last until the process ends, whatever
    // thread still looks at them during exit.
    static auto* reader = new std::shared_ptr<EventReader>([&]() -> std::shared_ptr<EventReader> {
        // The stream's creation reports a reader without its source.
        auto terminal = open_input_terminal();
        if (!terminal) {
            return nullptr;
        }
        auto source = InputSource::create(std::move(*terminal), std::move(size_query));
        return source ? std::make_shared<EventReader>(std::move(*source)) : nullptr;
    }());
    return *reader;
}

}  // namespace pacpick::term
