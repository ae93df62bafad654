#pragma once

// What the tests may see of what a type keeps to itself: each probe here is a
// friend of the type it looks into, and exists only in the tests.

#include <functional>
#include <memory>

#include "queries/name_list.h"
#include "runtime/channel.h"
#include "screen/output_stream.h"
#include "term/event_stream.h"

namespace pacpick {

struct NameListProbe {
    static const char* storage(const NameList& list) { return list.storage(); }
};

namespace rt {
struct ReceiverProbe {
    template <typename T>
    static bool empty(const Receiver<T>& receiver) {
        return receiver.empty();
    }
};
}  // namespace rt

namespace screen {
struct OutputStreamProbe {
    static size_t buffered(const OutputStream& stream) { return stream.buffered(); }
};
}  // namespace screen

namespace term {
/// A stream whose input wait thread runs `before_wait` each time it has taken
/// a request, before it waits on the reader: a test holds it there when a
/// race needs that moment.
struct EventStreamProbe {
    static Result<std::unique_ptr<TerminalEventStream>> create(std::shared_ptr<EventReader> reader,
                                                               std::function<void()> before_wait) {
        return TerminalEventStream::create(std::move(reader), std::move(before_wait));
    }
};
}  // namespace term

}  // namespace pacpick
