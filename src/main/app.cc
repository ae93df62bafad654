#include "main/app.h"

#include <optional>
#include <utility>

#include "main/app_state.h"
#include "main/main_loop.h"
#include "main/package_action.h"
#include "main/pacman_queries.h"
#include "main/termination.h"
#include "screen/frame.h"
#include "screen/screen_guard.h"

namespace pacpick {

namespace {

/// Draws the real frame on standard output.
class TerminalDrawer final : public FrameDrawer {
  public:
    Result<void> draw(const AppState& state) override {
        const PackageDetails* details = state.details ? &*state.details : nullptr;
        return screen::draw_screen(
            screen::FrameContent{state.query, state.matches, state.selected, details}, state.mode);
    }
};

/// What the main task does once the loop is over, before the terminal goes back
/// or after: the event stream stops first, then the query handles are dropped
/// without cancelling their tasks (nothing waits for them).
void clean_up(AppState& state) {
    state.events.reset();
    state.details_task.reset();
    state.search_task.reset();
}

}  // namespace

rt::Task<Result<void>> main_task(EventSourceOpener open_events) {
    // Without the watch the program still runs; a termination signal then just
    // ends it by its default action, as it would have anyway.
    auto installed = TerminationWatch::install();
    std::unique_ptr<TerminationWatch> watch = installed ? std::move(installed).value() : nullptr;

    auto guard = screen::ScreenGuard::acquire();
    if (!guard) {
        co_return std::move(guard).error();
    }
    auto events = open_events();
    if (!events) {
        co_return std::move(events).error();  // the guard gives the terminal back
    }
    AppState state(std::move(*events));
    state.screen_guard.emplace(std::move(*guard));

    TerminalDrawer drawer;
    PacmanQueries queries;
    Result<LoopEnd> end = LoopEnd::Quit;
    if (auto first = drawer.draw(state); !first) {
        end = std::move(first).error();
    } else {
        end = co_await run_main_loop(state, drawer, queries, watch.get());
    }

    if (!end) {
        clean_up(state);
        std::move(*state.screen_guard).release();
        co_return std::move(end).error();
    }
    std::move(*state.screen_guard).release();
    if (*end == LoopEnd::Stopped) {
        clean_up(state);
        die_by(watch->arrived());
    }
    watch.reset();  // from here on the terminal is the user's again
    Result<void> outcome;
    if (*end == LoopEnd::Action) {
        outcome = co_await run_package_action(*state.pending_action, state.mode);
    }
    clean_up(state);
    co_return outcome;
}

}  // namespace pacpick
