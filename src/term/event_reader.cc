#include "term/event_reader.h"

#include <cassert>
#include <chrono>

namespace pacpick::term {

EventReader::EventReader(SourceFactory make_source)
    : make_source_(std::move(make_source)), queue_(32) {
    set_aside_.reserve(32);
}

void EventReader::check([[maybe_unused]] const Lock& held) const {
    assert(held.owns_lock() && held.mutex() == &mutex_);
}

void EventReader::ensure_created(const Lock& held) {
    check(held);
    if (created_) {
        return;
    }
    created_ = true;
    auto source = make_source_();
    if (source) {
        source_ = std::move(*source);
    }  // otherwise the error is dropped: waits report the missing source instead
}

std::shared_ptr<rt::WakeLatch> EventReader::wake_latch(const Lock& held) const {
    check(held);
    return source_ ? source_->wake_latch() : nullptr;
}

bool EventReader::queue_holds_event() const {
    for (size_t i = 0; i < queue_.size(); ++i) {
        if (std::holds_alternative<TerminalEvent>(queue_[i])) {
            return true;
        }
    }
    return false;
}

Result<bool> EventReader::wait_for_event(const Lock& held, Timeout timeout) {
    check(held);
    if (queue_holds_event()) {
        return true;
    }
    if (!source_) {
        return Error::custom(ErrorKind::Other, "Failed to initialize input reader");
    }
    const auto deadline =
        std::chrono::steady_clock::now() + timeout.value_or(std::chrono::milliseconds(0));
    std::optional<TerminalEvent> found;
    for (;;) {
        Timeout left;
        if (timeout) {
            left = std::max(std::chrono::milliseconds(0),
                            std::chrono::ceil<std::chrono::milliseconds>(
                                deadline - std::chrono::steady_clock::now()));
        }
        auto item = source_->read_item(left);
        if (!item) {
            if (is_wake_interruption(item.error())) {
                return false;
            }
            return std::move(item).error();  // the set-aside reports wait for the next call
        }
        if (auto* event = *item ? std::get_if<TerminalEvent>(&**item) : nullptr) {
            found = std::move(*event);
            break;
        }
        if (*item) {
            set_aside_.push_back(std::move(**item));
        } else if (timeout && std::chrono::steady_clock::now() >= deadline) {
            break;
        }
    }
    for (DecodedItem& report : set_aside_) {
        queue_.push_back(std::move(report));
    }
    set_aside_.clear();
    if (!found) {
        return false;
    }
    queue_.push_front(std::move(*found));
    return true;
}

Result<TerminalEvent> EventReader::take_event(const Lock& held) {
    check(held);
    for (;;) {
        std::vector<DecodedItem> reports;
        std::optional<TerminalEvent> event;
        while (!queue_.empty() && !event) {
            DecodedItem item = queue_.pop_front();
            if (auto* e = std::get_if<TerminalEvent>(&item)) {
                event = std::move(*e);
            } else {
                reports.push_back(std::move(item));
            }
        }
        // Reports met before the event go to the back, in order: never handed out.
        for (DecodedItem& report : reports) {
            queue_.push_back(std::move(report));
        }
        if (event) {
            return std::move(*event);
        }
        auto waited = wait_for_event(held, std::nullopt);
        if (!waited) {
            return std::move(waited).error();
        }
    }
}

std::shared_ptr<EventReader> process_event_reader(SizeQuery size_query) {
    // Deliberately leaked: the detached input wait thread may use it until the
    // very end of the process, after static destructors have run.
    static auto* reader = new std::shared_ptr<EventReader>(std::make_shared<EventReader>(
        [size_query = std::move(size_query)] { return InputSource::create(size_query); }));
    return *reader;
}

}  // namespace pacpick::term
