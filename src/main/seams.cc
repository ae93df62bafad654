#include "main/seams.h"

#include <utility>

#include "main/app_state.h"
#include "queries/catalog_query.h"
#include "queries/details_query.h"
#include "runtime/runtime.h"
#include "screen/frame.h"
#include "screen/terminal_size.h"
#include "term/event_stream.h"

namespace pacpick {

namespace {

/// The terminal event stream as the loop's source of events.
class TerminalEvents final : public EventSource {
  public:
    explicit TerminalEvents(std::unique_ptr<term::TerminalEventStream> stream)
        : stream_(std::move(stream)) {}

    rt::Poll<Result<term::TerminalEvent>> poll(const rt::Waker& waker) override {
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

Result<void> TerminalDrawer::draw(const AppState& state) {
    const PackageDetails* details = state.details ? &*state.details : nullptr;
    return screen::draw_screen(
        screen::FrameContent{state.query, state.matches, state.selected, details}, state.mode);
}

rt::JoinHandle PacmanQueries::start_search(std::string query, Mode mode,
                                           SearchGeneration generation,
                                           rt::Sender<QueryMessage> sender) {
    return rt::spawn(run_catalog_query(std::move(query), mode, generation, std::move(sender)));
}

rt::JoinHandle PacmanQueries::start_details(std::string name, DetailsGeneration generation,
                                            rt::Sender<QueryMessage> sender) {
    return rt::spawn(run_details_query(std::move(name), generation, std::move(sender)));
}

}  // namespace pacpick
