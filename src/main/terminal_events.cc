#include "main/terminal_events.h"

#include <utility>

#include "screen/terminal_size.h"
#include "term/event_stream.h"

namespace pacpick {

namespace {

class TerminalEvents final : public EventSource {
  public:
    explicit TerminalEvents(std::unique_ptr<term::TerminalEventStream> stream)
        : stream_(std::move(stream)) {}

    rt::Poll<Result<term::TerminalEvent>> poll_event(const rt::Waker& waker) override {
        return stream_->poll_event(waker);
    }

  private:
    std::unique_ptr<term::TerminalEventStream> stream_;
};

Result<term::Resize> current_size() {
    auto size = screen::terminal_size();
    if (!size) {
        return std::move(size).error();
    }
    return term::Resize{size->columns.value, size->rows.value};
}

}  // namespace

Result<std::unique_ptr<EventSource>> open_terminal_events() {
    auto stream = term::TerminalEventStream::create(term::process_event_reader(current_size));
    if (!stream) {
        return std::move(stream).error();
    }
    return std::unique_ptr<EventSource>(std::make_unique<TerminalEvents>(std::move(*stream)));
}

}  // namespace pacpick
