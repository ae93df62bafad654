#pragma once

// Friends of the types they look into, for what only the inside can tell.

#include <functional>
#include <memory>

#include "term/event_stream.h"

namespace pacpick::term {
/// A stream whose input wait thread runs `before_wait` each time it has taken
/// a request, before it waits on the reader: where a race needs it held.
struct EventStreamProbe {
    static auto create(std::shared_ptr<EventReader> reader, std::function<void()> before_wait) {
        return TerminalEventStream::create(std::move(reader), std::move(before_wait));
    }
};
}  // namespace pacpick::term
